// Files and folders packed from the file system come back byte for byte, with their names and
// times, through the extraction run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "archive/extraction_run.h"
#include "tests/support/test_support.h"
#include "tools/file_packer.h"

namespace nivo {
namespace {

namespace fs = std::filesystem;

// The archive that packing the paths gives, read back from the file the builder wrote.
std::vector<uint8_t> pack(const std::string& base, const std::vector<std::string>& rels,
                          const PackOptions& options = {}, std::string* firstError = nullptr) {
    FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    std::string error;
    {
        ArchiveBuilder builder(f, options);
        for (const std::string& rel : rels)
            if (!packPath(builder, base, rel, error)) {
                if (firstError && firstError->empty()) *firstError = error;
                if (!firstError) ADD_FAILURE() << error;
            }
        EXPECT_TRUE(builder.finish(error)) << error;
        for (const std::string& problem : builder.leftOut()) ADD_FAILURE() << problem;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(ftello(f)));
    std::rewind(f);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    return bytes;
}

// Extracts the archive into a new folder out under dir; false when the run had problems.
bool extractInto(const std::vector<uint8_t>& archive, const fs::path& out) {
    fs::create_directory(out);
    fs::path old = fs::current_path();
    fs::current_path(out);
    ExtractionContext context;
    context.archiveFile = test::fileWithBytes(archive);
    extractionRun(context);
    fs::current_path(old);
    return context.problems.empty();
}

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FilePacker, MethodNames) {
    EXPECT_EQ(packMethodIndex("lh0"), 0);
    EXPECT_EQ(packMethodIndex("-lh5-"), 5);
    EXPECT_EQ(packMethodIndex("lh7"), 7);
    EXPECT_EQ(packMethodIndex("lh1"), -1);  // the packer does not write adaptive methods
    EXPECT_EQ(packMethodIndex("lh55"), -1);
}

TEST(FilePacker, PackedFoldersExtractToTheSameFiles) {
    test::TempDir dir;
    fs::path src = dir.path() / "src";
    fs::create_directories(src / "tree" / fs::u8path("日本語"));
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i % 97) + " of the packed text\n";
    std::ofstream(src / "tree" / "text.txt") << text;
    std::ofstream(src / "tree" / fs::u8path("日本語") / "empty.txt");
    std::ofstream(src / "tree" / "one.bin") << 'x';
    fs::last_write_time(src / "tree" / "text.txt", fs::file_time_type::clock::now() - std::chrono::hours(50));
    struct stat st {};
    ASSERT_EQ(stat((src / "tree" / "text.txt").c_str(), &st), 0);

    for (int method : {0, 5, 6, 7}) {
        SCOPED_TRACE(method);
        PackOptions options;
        options.method = method;
        std::vector<uint8_t> archive = pack(src.string(), {"tree"}, options);
        fs::path out = dir.path() / ("out" + std::to_string(method));
        EXPECT_TRUE(extractInto(archive, out));
        EXPECT_EQ(fileText(out / "tree" / "text.txt"), text);
        EXPECT_TRUE(fs::is_regular_file(out / "tree" / fs::u8path("日本語") / "empty.txt"));
        EXPECT_EQ(fs::file_size(out / "tree" / "one.bin"), 1u);
        struct stat got {};
        ASSERT_EQ(stat((out / "tree" / "text.txt").c_str(), &got), 0);
        EXPECT_EQ(got.st_mtime, st.st_mtime);
        if (method != 0) EXPECT_LT(archive.size(), text.size() / 2);  // the text was compressed
    }
}

TEST(FilePacker, DotPacksAFoldersContentsWithoutItsName) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "d" / "sub");
    std::ofstream(dir.path() / "d" / "a.txt") << "a";
    std::ofstream(dir.path() / "d" / "sub" / "b.txt") << "b";
    std::vector<uint8_t> archive = pack((dir.path() / "d").string(), {"."});
    std::string bytes(archive.begin(), archive.end());
    EXPECT_NE(bytes.find("a.txt"), std::string::npos);
    EXPECT_EQ(bytes.find("./"), std::string::npos);
    EXPECT_NE(bytes.find("b.txt"), std::string::npos);
}

TEST(ArchiveBuilder, ArchivesDoNotDependOnThreadsAndEveryFileComesBack) {
    // Files of several segments (the segments are made small here), incompressible and empty
    // files, packed on one thread and on several: the same archive, and the same files out.
    test::TempDir dir;
    fs::path src = dir.path() / "src";
    fs::create_directories(src / "d");
    std::string text, noise, runs;
    uint32_t x = 1;
    for (int i = 0; i < 6000; ++i) text += "entry " + std::to_string(i % 331) + " in the long list\n";
    for (int i = 0; i < 30000; ++i) noise += static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
    for (int i = 0; i < 300; ++i) runs += std::string(static_cast<size_t>(i * 7 % 500 + 1), static_cast<char>('a' + i % 3));
    std::ofstream(src / "d" / "text.txt") << text;
    std::ofstream(src / "d" / "noise.bin") << noise;
    std::ofstream(src / "d" / "runs.txt") << runs;
    std::ofstream(src / "d" / "empty");
    for (int method : {0, 5, 7}) {
        for (int level : {1, 6, 9}) {
            SCOPED_TRACE(testing::Message() << "method " << method << ", level " << level);
            PackOptions options;
            options.method = method;
            options.encoder.level = level;
            options.encoder.segmentBytes = 20000;
            options.threads = 1;
            std::vector<uint8_t> one = pack(src.string(), {"d"}, options);
            options.threads = 4;
            std::vector<uint8_t> several = pack(src.string(), {"d"}, options);
            EXPECT_TRUE(one == several);
            fs::path out = dir.path() / ("out" + std::to_string(method) + std::to_string(level));
            EXPECT_TRUE(extractInto(several, out));
            EXPECT_EQ(fileText(out / "d" / "text.txt"), text);
            EXPECT_EQ(fileText(out / "d" / "noise.bin"), noise);
            EXPECT_EQ(fileText(out / "d" / "runs.txt"), runs);
            EXPECT_TRUE(fs::is_regular_file(out / "d" / "empty"));
            // Noise does not get smaller and is stored; the archive is not much larger than it.
            const size_t bound = method ? noise.size() + text.size() / 4 + runs.size() / 4 : noise.size() + text.size() + runs.size();
            EXPECT_LT(several.size(), bound + 1000);
        }
    }
}

TEST(ArchiveBuilder, AFileThatCannotBeReadLeavesNothingBehind) {
    test::TempDir dir;
    std::ofstream(dir.path() / "a.txt") << "first";
    std::ofstream(dir.path() / "c.txt") << "third";
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::string error;
    {
        ArchiveBuilder builder(f, PackOptions{});
        ASSERT_TRUE(builder.addFile((dir.path() / "a.txt").string(), "a.txt", 0, error)) << error;
        EXPECT_FALSE(builder.addFile((dir.path() / "missing").string(), "b.txt", 0, error));
        EXPECT_NE(error.find("missing"), std::string::npos) << error;
        // A folder stands where a file is expected: it opens but cannot be read.
        EXPECT_FALSE(builder.addFile(dir.path().string(), "folder.txt", 0, error));
        EXPECT_NE(error.find(dir.path().string()), std::string::npos) << error;
        ASSERT_TRUE(builder.addFile((dir.path() / "c.txt").string(), "c.txt", 0, error)) << error;
        ASSERT_TRUE(builder.finish(error)) << error;
    }
    std::vector<uint8_t> archive(static_cast<size_t>(ftello(f)));
    std::rewind(f);
    ASSERT_EQ(std::fread(archive.data(), 1, archive.size(), f), archive.size());
    std::fclose(f);
    const std::string bytes(archive.begin(), archive.end());
    EXPECT_EQ(bytes.find("b.txt"), std::string::npos);
    EXPECT_EQ(bytes.find("folder.txt"), std::string::npos);
    fs::path out = dir.path() / "out";
    EXPECT_TRUE(extractInto(archive, out));
    EXPECT_EQ(fileText(out / "a.txt"), "first");
    EXPECT_EQ(fileText(out / "c.txt"), "third");
}

}  // namespace
}  // namespace nivo
