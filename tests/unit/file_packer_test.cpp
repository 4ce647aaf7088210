// Files and folders packed from the file system come back byte for byte, with their names,
// times and permissions; odd inputs are named and left out without stopping the others.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "extract/extraction_run.h"
#include "common/crc16.h"
#include "tests/support/test_support.h"
#include "tools/file_packer.h"
#include "tools/lzh_writer.h"

namespace nivo {
namespace {

namespace fs = std::filesystem;

// The whole archive of the items, end mark included, as the builder writes it to a file.
std::vector<uint8_t> build(const std::vector<PackItem>& items, PackNotes& notes, const BuilderOptions& options = {}) {
    FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    std::string error;
    {
        ArchiveBuilder builder(f, options);
        EXPECT_TRUE(packItems(builder, items, notes, error)) << error;
        EXPECT_TRUE(builder.finish(error)) << error;
        for (const std::string& line : builder.leftOut()) ADD_FAILURE() << line;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(ftello(f)));
    std::rewind(f);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    return bytes;
}

// Packs the inputs into a whole archive, end mark included.
std::vector<uint8_t> pack(const std::vector<PackInput>& inputs, PackNotes& notes, PackOptions options = {}) {
    return build(collectItems(inputs, options, notes), notes, options.builder);
}

// Extracts the archive into the new folder out; false when the run had problems.
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

std::vector<std::string> itemNames(const std::vector<PackItem>& items) {
    std::vector<std::string> names;
    for (const auto& i : items) names.push_back(i.shown);
    return names;
}

// The one note that mentions what, or "" when none or several do.
std::string noteAbout(const std::vector<std::string>& notes, const std::string& what) {
    std::string found;
    for (const auto& n : notes)
        if (n.find(what) != std::string::npos) {
            if (!found.empty()) return "";
            found = n;
        }
    return found;
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
        PackNotes notes;
        PackOptions options;
        options.methodIndex = method;
        std::vector<uint8_t> archive = pack({{src.string(), "tree"}}, notes, options);
        EXPECT_TRUE(notes.skipped.empty() && notes.warnings.empty());
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
    PackNotes notes;
    std::vector<uint8_t> archive = pack({{(dir.path() / "d").string(), "."}}, notes);
    std::string bytes(archive.begin(), archive.end());
    EXPECT_NE(bytes.find("a.txt"), std::string::npos);
    EXPECT_EQ(bytes.find("./"), std::string::npos);
    EXPECT_NE(bytes.find("b.txt"), std::string::npos);
}

// Every level-2 header starts its extended headers with its own CRC, computed over the whole
// header with that field zero; the attribute is 0x20 for the folder too (readers that take a
// level-2 header only with it stop at 0x10; -lhd- says folder), the OS byte Unix, and the
// permissions travel in extended header 0x50.
TEST(FilePacker, Level2HeadersCarryTheirCrcAttributeAndPermissions) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "d");
    std::ofstream(dir.path() / "d" / "f.txt") << "contents";
    ASSERT_EQ(chmod((dir.path() / "d" / "f.txt").c_str(), 0640), 0);
    ASSERT_EQ(chmod((dir.path() / "d").c_str(), 0751), 0);
    PackNotes notes;
    std::vector<uint8_t> a = pack({{dir.path().string(), "d"}}, notes);
    struct Expected {
        uint8_t attribute;
        uint16_t mode;
    } expected[] = {{0x20, 040751}, {0x20, 0100640}};
    makeCrcTable();
    size_t at = 0;
    for (const Expected& e : expected) {
        ASSERT_LT(at + 26, a.size());
        const uint8_t* h = a.data() + at;
        const size_t size = h[0] | h[1] << 8;
        EXPECT_EQ(h[19], e.attribute);
        EXPECT_EQ(h[20], 2);
        EXPECT_EQ(h[23], 'U');
        // The first extended header: size 5, type 0x00, the CRC.
        ASSERT_EQ(h[24] | h[25] << 8, 5);
        ASSERT_EQ(h[26], 0x00);
        const uint16_t stored = static_cast<uint16_t>(h[27] | h[28] << 8);
        std::vector<uint8_t> zeroed(h, h + size);
        zeroed[27] = zeroed[28] = 0;
        EXPECT_EQ(stored, updateCrc(0, zeroed.data(), static_cast<uint32_t>(size)));
        int modes = 0;
        for (size_t x = 24; (h[x] | h[x + 1] << 8) != 0; x += h[x] | h[x + 1] << 8) {
            ASSERT_LT(x + 3, size);
            if (h[x + 2] == 0x50) {
                ++modes;
                EXPECT_EQ(h[x + 3] | h[x + 4] << 8, e.mode);
            }
        }
        EXPECT_EQ(modes, 1);
        at += size + (a[at + 7] | a[at + 8] << 8);
    }
    EXPECT_EQ(a[at], 0);
}

TEST(FilePacker, NamesThatWindowsOrShiftJisCannotHoldAreRefused) {
    struct Case {
        const char* name;
        const char* reason;  // part of the refusal; null: stored
    } cases[] = {
        {"readme.txt", nullptr},
        {"日本語/ソフト表示.txt", nullptr},  // second bytes 0x5C are not separators
        {"a/b c/d.e.f", nullptr},
        {"com10.txt", nullptr},
        {"nulx", nullptr},
        {"price¥.txt", "come back"},  // becomes a backslash
        {"over‾line", "come back"},
        {"wave〜dash", "come back"},
        {"emoji😀", "cannot hold"},
        {"é", "cannot hold"},
        {"a:b", "':'"},
        {"q?", "'?'"},
        {"x*", "'*'"},
        {"back\\slash", "'\\'"},
        {"tab\tname", "control character"},
        {"dir/trailing./x", "dot or a space"},
        {"space ", "dot or a space"},
        {"NUL", "device"},
        {"sub/aux.txt", "device"},
        {"Com1.log", "device"},
        {"lpt9", "device"},
        {"CONIN$", "device"},  // and the forms the Windows program refuses on its side
        {"conout$.log", "device"},
        {"com0", "device"},
        {"LPT0.txt", "device"},
        {"prn .txt", "device"},
        {"aux   .c", "device"},
    };
    for (const Case& c : cases) {
        std::string cp932;
        std::string reason = refuseName(c.name, cp932);
        if (!c.reason)
            EXPECT_EQ(reason, "") << c.name;
        else
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
    }
    // With UTF-16 names (mklzh), what Shift-JIS cannot hold or changes becomes "_" beside the
    // name in UTF-16; the other rules stand, and a name that is no UTF-8 has no UTF-16 form.
    std::string umlauts;  // 65 characters, each held in 4 bytes by the extractors: too long
    for (int i = 0; i < 65; ++i) umlauts += "\xC3\x9C";
    struct Wide {
        const char* name;
        const char* cp932;    // null: refused
        const char* unicode;  // the name in UTF-16, or empty for none
    } wide[] = {
        {"\xC3\x9C/\xC3\xA4.txt", "_/_.txt", "\xC3\x9C/\xC3\xA4.txt"},
        {"wave\xE3\x80\x9C\xF0\x9F\x98\x80", "wave__", "wave\xE3\x80\x9C\xF0\x9F\x98\x80"},
        {"\xE6\x97\xA5\xC3\xA9", "\x93\xFA_", "\xE6\x97\xA5\xC3\xA9"},
        {"plain.txt", "plain.txt", ""},
        {"x\xFF.txt", nullptr, ""},
        {"\xC3\x9C?", nullptr, ""},
        {umlauts.c_str(), nullptr, ""},
    };
    for (const Wide& w : wide) {
        std::string cp932, unicode;
        std::string reason = refuseName(w.name, cp932, &unicode);
        EXPECT_EQ(reason.empty(), w.cp932 != nullptr) << w.name << ": " << reason;
        if (!w.cp932) continue;
        EXPECT_EQ(cp932, w.cp932);
        EXPECT_EQ(unicode, w.unicode);
    }
    // 259 bytes in Shift-JIS are the most a reader joins; two-byte characters count twice.
    std::string cp932;
    EXPECT_EQ(refuseName(std::string(259, 'n'), cp932), "");
    EXPECT_EQ(cp932.size(), 259u);
    EXPECT_NE(refuseName(std::string(260, 'n'), cp932), "");
    std::string kana;
    for (int i = 0; i < 130; ++i) kana += "ア";
    EXPECT_NE(refuseName(kana, cp932), "");
}

// Odd inputs are named once each and left out; everything else is still packed.
TEST(FilePacker, OddInputsAreNamedAndLeftOut) {
    test::TempDir dir;
    const fs::path src = dir.path() / "src";
    fs::create_directories(src / "tree" / "sub");
    std::ofstream(src / "tree" / "Readme.txt") << "r";
    std::ofstream(src / "tree" / "readme.TXT") << "R";  // the same name on Windows
    std::ofstream(src / "tree" / fs::u8path("¥.txt")) << "y";
    std::ofstream(src / "tree" / "sub" / "kept.txt") << "k";
    std::ofstream(src / "tree" / "gone.txt") << "g";
    fs::create_directory_symlink("..", src / "tree" / "sub" / "up");  // a loop when followed
    fs::create_symlink("kept.txt", src / "tree" / "sub" / "link.txt");
    fs::create_symlink("nowhere", src / "tree" / "dangling");

    for (bool follow : {false, true}) {
        SCOPED_TRACE(follow);
        PackNotes notes;
        PackOptions options;
        options.builder.followLinks = follow;
        std::vector<PackItem> items = collectItems({{src.string(), "tree"}, {src.string(), "tree/sub/kept.txt"}},
                                                   options, notes);
        // Without -L each link is a member of its own, named "name|target" in the archive.
        std::vector<std::string> want = {"tree/", "tree/Readme.txt", "tree/gone.txt", "tree/sub/",
                                         "tree/sub/kept.txt", "tree/sub/link.txt"};
        if (!follow) {
            want.insert(want.begin() + 2, "tree/dangling -> nowhere");
            want.back() += " -> kept.txt";
            want.push_back("tree/sub/up -> ..");
        }
        EXPECT_EQ(itemNames(items), want);
        EXPECT_NE(noteAbout(notes.skipped, "readme.TXT").find("collides with tree/Readme.txt"), std::string::npos);
        EXPECT_NE(noteAbout(notes.skipped, "tree/¥.txt").find("refused"), std::string::npos);
        if (follow) {
            EXPECT_NE(noteAbout(notes.skipped, "tree/sub/up").find("loop"), std::string::npos);
            EXPECT_NE(noteAbout(notes.skipped, "tree/dangling").find("leads nowhere"), std::string::npos);
            EXPECT_EQ(notes.skipped.size(), 4u);
            EXPECT_TRUE(notes.warnings.empty());
        } else {
            for (const PackItem& item : items)
                EXPECT_EQ(item.link, !item.linkTarget.empty()) << item.name;
            EXPECT_TRUE(notes.warnings.empty());
            EXPECT_EQ(notes.skipped.size(), 2u);
        }

        // A file that cannot be read when its turn comes is named with the reason; the rest is
        // packed and extracts.
        const fs::path gone = src / "tree" / "gone.txt";
        fs::remove(gone);
        std::vector<uint8_t> archive = build(items, notes, options.builder);
        std::ofstream(gone) << "g";
        EXPECT_NE(noteAbout(notes.skipped, "tree/gone.txt").find("No such file"), std::string::npos);
        fs::path out = dir.path() / (follow ? "followed" : "plain");
        fs::create_directory(out);
        fs::path old = fs::current_path();
        fs::current_path(out);
        ExtractionContext context;
        context.archiveFile = test::fileWithBytes(archive);
        extractionRun(context);
        fs::current_path(old);
        EXPECT_TRUE(context.problems.empty());
        EXPECT_TRUE(fs::is_regular_file(out / "tree" / "sub" / "kept.txt"));
        EXPECT_EQ(fs::is_regular_file(fs::symlink_status(out / "tree" / "sub" / "link.txt")), follow);
        EXPECT_FALSE(fs::exists(out / "tree" / "gone.txt"));
        if (!follow) {
            EXPECT_EQ(fs::read_symlink(out / "tree" / "sub" / "link.txt"), "kept.txt");
            EXPECT_EQ(fs::read_symlink(out / "tree" / "sub" / "up"), "..");
            EXPECT_EQ(fs::read_symlink(out / "tree" / "dangling"), "nowhere");
        }
    }
}

// Leading "/" and ".." are taken off the names, with one warning per argument.
TEST(FilePacker, LeadingRootAndParentComponentsAreTakenOff) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "a" / "b");
    std::ofstream(dir.path() / "a" / "b" / "f") << "f";
    const std::string abs = (dir.path() / "a" / "b" / "f").string();
    struct Case {
        std::string base, path, name;
        int warnings;
    } cases[] = {
        {(dir.path() / "a" / "b").string(), "../b/f", "b/f", 1},
        {(dir.path() / "a").string(), "b/../b/./f", "b/f", 0},
        {"", abs, abs.substr(1), 1},
        {(dir.path() / "a").string(), "../../" + dir.path().filename().string() + "/a/b/f",
         dir.path().filename().string() + "/a/b/f", 1},
    };
    for (const Case& c : cases) {
        PackNotes notes;
        std::vector<PackItem> items = collectItems({{c.base, c.path}}, {}, notes);
        ASSERT_EQ(items.size(), 1u) << c.path;
        EXPECT_EQ(items[0].name, c.name);
        EXPECT_EQ(notes.warnings.size(), size_t(c.warnings)) << c.path;
        EXPECT_TRUE(notes.skipped.empty());
    }
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
            PackNotes notes;
            PackOptions options;
            options.methodIndex = method;
            options.builder.encoder.level = level;
            options.builder.encoder.segmentBytes = 20000;
            options.builder.threads = 1;
            std::vector<uint8_t> one = pack({{src.string(), "d"}}, notes, options);
            options.builder.threads = 4;
            std::vector<uint8_t> several = pack({{src.string(), "d"}}, notes, options);
            EXPECT_TRUE(notes.skipped.empty());
            EXPECT_TRUE(one == several);
            fs::path out = dir.path() / ("out" + std::to_string(method) + std::to_string(level));
            EXPECT_TRUE(extractInto(several, out));
            EXPECT_EQ(fileText(out / "d" / "text.txt"), text);
            EXPECT_EQ(fileText(out / "d" / "noise.bin"), noise);
            EXPECT_EQ(fileText(out / "d" / "runs.txt"), runs);
            EXPECT_TRUE(fs::is_regular_file(out / "d" / "empty"));
            // Noise does not get smaller and is stored; the archive is not much larger than it.
            const size_t all = noise.size() + text.size() + runs.size();
            const size_t bound = method ? noise.size() + text.size() / 4 + runs.size() / 4 : all;
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
    auto member = [](const char* name) {
        LzhMember m;
        m.name = name;
        return m;
    };
    {
        ArchiveBuilder builder(f, BuilderOptions{});
        ASSERT_TRUE(builder.addFile((dir.path() / "a.txt").string(), member("a.txt"), 7, error)) << error;
        EXPECT_FALSE(builder.addFile((dir.path() / "missing").string(), member("b.txt"), 7, error));
        EXPECT_NE(error.find("No such file"), std::string::npos) << error;
        // A folder where a file is expected opens, but cannot be read: what was written of the
        // member is taken back.
        EXPECT_FALSE(builder.addFile(dir.path().string(), member("folder.txt"), 7, error));
        EXPECT_FALSE(builder.failedToWrite());
        // A FIFO put where a file was listed is refused at once, never waited on; a link too,
        // unless links are followed.
        ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
        EXPECT_FALSE(builder.addFile((dir.path() / "fifo").string(), member("fifo.txt"), 7, error));
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
        fs::create_symlink("a.txt", dir.path() / "link");
        EXPECT_FALSE(builder.addFile((dir.path() / "link").string(), member("link.txt"), 7, error));
        // A file that grew since it was listed is packed as it was then, and named.
        ASSERT_TRUE(builder.addFile((dir.path() / "c.txt").string(), member("c.txt"), 0, error, {}, 3)) << error;
        ASSERT_EQ(builder.changed().size(), 1u);
        EXPECT_NE(builder.changed()[0].find("grew while it was packed"), std::string::npos);
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
    EXPECT_EQ(fileText(out / "c.txt"), "thi");
}

}  // namespace
}  // namespace nivo
