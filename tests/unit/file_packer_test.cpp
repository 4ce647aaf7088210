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
        std::vector<uint8_t> archive;
        std::string error;
        ASSERT_TRUE(packPath(archive, src.string(), "tree", error, method)) << error;
        archive.push_back(0);
        fs::path out = dir.path() / ("out" + std::to_string(method));
        fs::create_directory(out);
        fs::path old = fs::current_path();
        fs::current_path(out);
        ExtractionContext context;
        context.archiveFile = test::fileWithBytes(archive);
        extractionRun(context);
        fs::current_path(old);
        EXPECT_TRUE(context.problems.empty());
        std::ifstream in(out / "tree" / "text.txt", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), text);
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
    std::vector<uint8_t> archive;
    std::string error;
    ASSERT_TRUE(packPath(archive, (dir.path() / "d").string(), ".", error)) << error;
    std::string bytes(archive.begin(), archive.end());
    EXPECT_NE(bytes.find("a.txt"), std::string::npos);
    EXPECT_EQ(bytes.find("./"), std::string::npos);
    EXPECT_NE(bytes.find("b.txt"), std::string::npos);
}

}  // namespace
}  // namespace nivo
