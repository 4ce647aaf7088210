#include <gtest/gtest.h>

#include <filesystem>

#include "extract/extraction_context.h"
#include "extract/run_settings.h"
#include "lzh/settings_block.h"
#include "lzh/settings_writer.h"
#include "tests/support/test_support.h"

namespace nivo {
namespace {

using Bytes = std::vector<uint8_t>;

// The example block: title "ABC", Program Files flag set, destination "Tool", shortcut
// target "tool.exe", options 3, 1, 0, nothing to open. 24 bytes.
const Bytes exampleBlock = {0x01, 0x03, 'A', 'B', 'C', 0x01, 0x04, 'T', 'o', 'o', 'l', 0x08, 't', 'o',
                            'o',  'l',  '.', 'e', 'x', 'e', 0x03, 0x01, 0x00, 0x00};

struct Opened {
    ExtractionContext context;
    bool ok = false;
    long position = 0;
};

void readBlock(const Bytes& bytes, Opened& o) {
    o.context.archiveFile = test::fileWithBytes(bytes);
    o.ok = readSetupSettings(o.context);
    o.position = std::ftell(o.context.archiveFile);
}

TEST(SettingsBlock, ReadsTheExampleBlockAndStopsAtTheArchive) {
    Bytes bytes = exampleBlock;
    bytes.push_back(0x00);  // the archive's end mark
    Opened o;
    readBlock(bytes, o);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.position, 24);
    EXPECT_STREQ(o.context.titleText, "ABC");
    EXPECT_STREQ(o.context.shortcutTarget, "tool.exe");
    ASSERT_NE(o.context.launchCommand, nullptr);
    EXPECT_STREQ(o.context.launchCommand, "");
    EXPECT_EQ(o.context.startMenuOption, 3);
    EXPECT_EQ(o.context.desktopOption, 1);
    EXPECT_EQ(o.context.sendToOption, 0);
    EXPECT_EQ(o.context.hasSetupSettings, 1);
    // No Windows directory on this system: the text is kept as given.
    EXPECT_STREQ(o.context.destinationDir, "Tool");
}

// The writer makes the example block byte for byte, the single 0 byte for an absent block, and
// refuses a text its length byte cannot announce without writing anything.
TEST(SettingsBlock, TheWriterMakesWhatTheReaderReads) {
    SettingsFields fields{"ABC", 1, "Tool", "tool.exe", 3, 1, 0, ""};
    Bytes written = {0xAA};
    ASSERT_TRUE(appendSettingsBlock(written, &fields));
    EXPECT_EQ(Bytes(written.begin() + 1, written.end()), exampleBlock);
    Bytes absent;
    ASSERT_TRUE(appendSettingsBlock(absent, nullptr));
    EXPECT_EQ(absent, Bytes{0x00});

    fields.launchCommand = std::string(255, 'x');
    Bytes longest;
    ASSERT_TRUE(appendSettingsBlock(longest, &fields));
    Opened o;
    readBlock(longest, o);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(std::string(o.context.launchCommand), fields.launchCommand);
    for (std::string SettingsFields::*text : {&SettingsFields::title, &SettingsFields::destination,
                                              &SettingsFields::shortcutTarget, &SettingsFields::launchCommand}) {
        SettingsFields overlong = fields;
        overlong.*text = std::string(256, 'x');
        Bytes refused = {0xAA};
        EXPECT_FALSE(appendSettingsBlock(refused, &overlong));
        EXPECT_EQ(refused, Bytes{0xAA});
    }
}

TEST(SettingsBlock, AnAbsentBlockIsOneZeroByte) {
    Opened o;
    readBlock({0x00, 0x1A}, o);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.position, 1);
    EXPECT_STREQ(o.context.titleText, "Nivo SFX");
    EXPECT_EQ(o.context.shortcutTarget, nullptr);
    EXPECT_EQ(o.context.launchCommand, nullptr);
    EXPECT_EQ(o.context.hasSetupSettings, 0);
    EXPECT_EQ(std::filesystem::path(o.context.destinationDir), std::filesystem::current_path());
}

TEST(SettingsBlock, AFileEndingInsideAnyFieldFails) {
    // Every cut from nothing at all to one byte short of the block.
    for (size_t n = 0; n < exampleBlock.size(); ++n) {
        Opened o;
        readBlock(Bytes(exampleBlock.begin(), exampleBlock.begin() + long(n)), o);
        EXPECT_FALSE(o.ok) << n;
    }
    Opened whole;  // the block's last byte is the file's last byte: an empty archive
    readBlock(exampleBlock, whole);
    EXPECT_TRUE(whole.ok);
}

TEST(SettingsBlock, EmptyTextsAndTheDefaultTitle) {
    Opened o;
    readBlock({0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x03, 0x00}, o);
    ASSERT_TRUE(o.ok);
    EXPECT_STREQ(o.context.titleText, "Nivo SFX");
    EXPECT_STREQ(o.context.shortcutTarget, "");
    EXPECT_STREQ(o.context.launchCommand, "");
    EXPECT_EQ(std::filesystem::path(o.context.destinationDir), std::filesystem::current_path());
    EXPECT_EQ(o.context.startMenuOption, 2);
    EXPECT_EQ(o.context.desktopOption, 1);
    EXPECT_EQ(o.context.sendToOption, 3);
}

TEST(ComposeDestination, WorkedExamples) {
    struct Case {
        const char* text;
        bool programFiles;
        const char* windows;
        const char* current;
        const char* result;
    } cases[] = {
        {"D:\\Apps\\Tool", true, "C:\\WINDOWS", "E:\\dl", "D:\\Apps\\Tool"},
        {"D:\\Apps\\Tool", false, "C:\\WINDOWS", "E:\\dl", "D:\\Apps\\Tool"},
        {"Apps\\Tool", true, "C:\\WINDOWS", "E:\\dl", "C:\\Program Files\\Apps\\Tool"},
        {"Tool", true, "C:\\WINDOWS", nullptr, "C:\\Program Files\\Tool"},
        {"Apps\\Tool", false, "C:\\WINDOWS", "E:\\dl", "E:\\dl\\Apps\\Tool"},
        {"Apps\\Tool", false, nullptr, "E:\\", "E:\\Apps\\Tool"},
        {"D:Tool", true, "C:\\WINDOWS", "E:\\dl", "D:Tool"},  // a drive without a separator
        // A directory that cannot be had: the text as given, never an unfilled buffer.
        {"Apps\\Tool", true, nullptr, "E:\\dl", "Apps\\Tool"},
        {"Apps\\Tool", false, "C:\\WINDOWS", nullptr, "Apps\\Tool"},
    };
    for (const Case& c : cases) {
        char out[pathBufferSize];
        composeDestinationFrom(c.text, c.programFiles, c.windows, c.current, out, sizeof out);
        EXPECT_STREQ(out, c.result) << c.text;
    }
}

TEST(ComposeDestination, AnOverlongCompositionNeverOverruns) {
    std::string current = "E:\\" + std::string(250, 'c');
    std::string text(200, 't');
    char out[pathBufferSize + 8];
    std::memset(out, 0x7E, sizeof out);
    composeDestinationFrom(text.c_str(), false, nullptr, current.c_str(), out, pathBufferSize);
    EXPECT_EQ(std::string(out), text);  // refused: the text alone
    for (size_t i = pathBufferSize; i < sizeof out; ++i) EXPECT_EQ(out[i], 0x7E);
}

}  // namespace
}  // namespace nivo
