#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "extract/extraction_context.h"
#include "common/sjis_text.h"
#include "extract/output_folders.h"
#include "tests/support/test_support.h"

namespace nivo {
namespace {

namespace fs = std::filesystem;

// 表 is 0x95 0x5C and ソ is 0x83 0x5C in code page 932: their second byte is a backslash.
const std::string hyo = "\x95\x5C";
const std::string so = "\x83\x5C";

TEST(AppendBackslash, TreatsATrailingSecondByteAsPartOfItsCharacter) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"\\", "\\"},
        {"C:\\", "C:\\"},
        {"C:\\dl", "C:\\dl\\"},
        {"C:\\" + hyo, "C:\\" + hyo + "\\"},   // 0x5C closing a two-byte character
        {"C:\\" + so, "C:\\" + so + "\\"},
        {"C:\\\xB1\\", "C:\\\xB1\\"},            // one-byte katakana before a real "\"
        {"C:\\\x80\\", "C:\\\x80\\"},            // 0x80 is no lead byte in code page 932
    };
    for (const Case& c : cases) {
        char buf[pathBufferSize] = {};
        std::snprintf(buf, sizeof buf, "%s", c.in.c_str());
        EXPECT_TRUE(appendBackslash(buf, sizeof buf));
        EXPECT_EQ(std::string(buf), c.out) << c.in;
    }
}

TEST(AppendBackslash, RefusesToOverrunTheBuffer) {
    char buf[4] = "abc";
    EXPECT_FALSE(appendBackslash(buf, sizeof buf));
    EXPECT_STREQ(buf, "abc");
}

TEST(UnifySeparators, ReplacesEveryLoneSeparatorButNoSecondByte) {
    std::string text = "a\\b\xFF" "c/" + hyo + "\\" + so + "d\x80\\e";
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    unifySeparators(buf.data(), '/');
    EXPECT_EQ(std::string(buf.data()), "a/b/c/" + hyo + "/" + so + "d\x80/e");
}

TEST(UnifySeparators, StopsAtATerminatorBehindALeadByte) {
    char buf[] = "ab\x95";
    unifySeparators(buf, '/');
    EXPECT_STREQ(buf, "ab\x95");
}

TEST(NamesDeviceOrStream, EveryFormOfADeviceAndAStream) {
    struct Case {
        const char* path;
        bool refused;
    } cases[] = {
        {"NUL", true}, {"aux", true}, {"Con", true}, {"PRN", true}, {"COM1", true}, {"com0", true},
        {"LPT9", true}, {"CONIN$", true}, {"conout$", true}, {"nul.txt", true}, {"COM1.tar.gz", true},
        {"sub/aux.txt", true}, {"nul/x.txt", true}, {"NUL ", true}, {"nul .txt", true}, {"con..", true},
        {"file:stream", true}, {"a/b:c", true}, {"aux      .txt", true}, {"con         ", true},
        {"COM", false}, {"com10", false}, {"LPT", false}, {"nulx", false}, {"xnul", false},
        {"con1", false}, {"conin", false}, {"nul_/a", false}, {"a/b/c.txt", false}, {" nul", false},
        {"auxiliary.txt", false}, {"aux     x", false}, {"conout$ x", false}, {"com#", false},
        {"\x83\x5Cnul", false},
    };
    for (const Case& c : cases) EXPECT_EQ(namesDeviceOrStream(c.path), c.refused) << c.path;
}

class MakeParentDirectories : public testing::Test {
protected:
    void SetUp() override {
        old = fs::current_path();
        fs::current_path(dir.path());
    }
    void TearDown() override { fs::current_path(old); }
    test::TempDir dir;
    fs::path old;
    ExtractionContext context;
};

TEST_F(MakeParentDirectories, MakesEveryMissingLevel) {
    EXPECT_TRUE(makeParentDirectories(context, "a/b/c/file.txt"));
    EXPECT_TRUE(fs::is_directory("a/b/c"));
    EXPECT_FALSE(fs::exists("a/b/c/file.txt"));
    EXPECT_TRUE(makeParentDirectories(context, "a/b/c/other.txt"));  // exists already
}

TEST_F(MakeParentDirectories, RefusesBareNamesAndARootOnlyPath) {
    EXPECT_FALSE(makeParentDirectories(context, "file.txt"));
    EXPECT_FALSE(makeParentDirectories(context, "/file.txt"));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(MakeParentDirectories, FailsWhenAFileStandsInTheWay) {
    std::ofstream("plain").put('x');
    EXPECT_FALSE(makeParentDirectories(context, "plain/file.txt"));
    EXPECT_FALSE(makeParentDirectories(context, "plain/deeper/file.txt"));
}

TEST_F(MakeParentDirectories, MakesFoldersWithDoubleByteNames) {
    std::string name = hyo + "/" + so + "/x.txt";
    EXPECT_TRUE(makeParentDirectories(context, name.c_str()));
    EXPECT_TRUE(fs::is_directory(fs::u8path("表/ソ")));
}

}  // namespace
}  // namespace nivo
