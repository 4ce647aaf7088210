#include <gtest/gtest.h>

#include "lzh/member_header.h"
#include "platform/posix_names.h"
#include "tests/support/test_support.h"
#include "tools/lzh_writer.h"
#include "extract/extraction_context.h"

namespace nivo {
namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// Bytes 2 to 20 of every level: method, sizes, stamp, attribute, level.
void common(Bytes& b, const char* method, uint32_t packed, uint32_t original, uint32_t stamp, uint8_t level) {
    b.insert(b.end(), method, method + 5);
    put32(b, packed);
    put32(b, original);
    put32(b, stamp);
    b.push_back(0x20);
    b.push_back(level);
}

// A level-0 header of the given S - N layout; the name as given.
Bytes level0(const std::string& name, int layout, uint32_t stamp = 0x28210000) {
    Bytes b = {0, 0};
    common(b, "-lh0-", 0, 0, stamp, 0);
    b.push_back(uint8_t(name.size()));
    b.insert(b.end(), name.begin(), name.end());
    for (int i = 20; i < layout; ++i) b.push_back(i == 20 ? 0x34 : 0x12);  // CRC 0x1234, OS byte
    b[0] = uint8_t(b.size() - 2);
    return b;
}

struct Read {
    HeaderStatus status;
    MemberHeader header;
    long position;  // where the stream stands afterwards
};

// Reads the header from a file, and from the bytes alone: both readers must agree on every
// form, the bytes' reader taking exactly the bytes the file's reader read.
Read readOne(const Bytes& bytes) {
    ExtractionContext context;
    context.archiveFile = test::fileWithBytes(bytes);
    Read r{};
    r.status = readMemberHeader(context.archiveFile, r.header);
    r.position = std::ftell(context.archiveFile);

    MemberHeader fromBytes;
    const HeaderBytes read = parseMemberHeader(bytes.data(), static_cast<uint32_t>(bytes.size()), fromBytes);
    EXPECT_EQ(read.status, r.status);
    if (r.status == HeaderStatus::member || r.status == HeaderStatus::nameTooLong) {
        EXPECT_EQ(std::memcmp(&fromBytes, &r.header, sizeof fromBytes), 0);
        EXPECT_EQ(long{read.length}, r.position);
    }
    // Given fewer bytes than the header takes, the reader asks for more, and never for fewer
    // than it was given.
    if (read.length > 1 && read.length <= bytes.size() && r.status == HeaderStatus::member) {
        const HeaderBytes cut = parseMemberHeader(bytes.data(), read.length - 1, fromBytes);
        EXPECT_GE(cut.length, read.length);
    }
    return r;
}

// A stored level-2 member whose header is exactly headerBytes long, found by the name's length.
Bytes level2MemberOf(size_t headerBytes) {
    for (size_t n = 1; n < headerBytes; ++n) {
        Bytes b;
        appendMember(b, storedMember(std::string(n, 'h'), {9}, 0, 2));
        if (b.size() - 1 == headerBytes) return b;
    }
    ADD_FAILURE() << "no name gives a header of " << headerBytes << " bytes";
    return {};
}

TEST(HeaderReader, Level0Layouts) {
    struct Case {
        int layout;
        HeaderStatus status;
        uint8_t hasCrc;
    } cases[] = {
        {20, HeaderStatus::member, 0},
        {22, HeaderStatus::member, 1},
        {24, HeaderStatus::member, 1},
        {27, HeaderStatus::member, 1},  // an extended level-0 header: the rest is ignored
        {21, HeaderStatus::unknownLayout, 0},
        {23, HeaderStatus::unknownLayout, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        Bytes b = level0("file.txt", c.layout);
        Read r = readOne(b);
        EXPECT_EQ(r.status, c.status);
        if (c.status != HeaderStatus::member) continue;
        EXPECT_EQ(r.header.hasDataCrc, c.hasCrc);
        if (c.hasCrc) EXPECT_EQ(r.header.dataCrc, 0x1234);
        EXPECT_STREQ(r.header.name, "file.txt");
        EXPECT_EQ(r.position, long(b.size()));
    }
}

TEST(HeaderReader, BackslashesBecomeSlashesButNotSecondBytes) {
    struct Case {
        std::string stored, name;
    } cases[] = {
        {"dir\\\x95\x5C.txt", "dir/\x95\x5C.txt"},  // dir\表.txt: 0x5C closes 表
        // 0x80 stands alone in code page 932: the "\" behind it separates, and ".." shows.
        {"\x80\\..\\x", "\x80/../x"},
    };
    for (const Case& c : cases) {
        Read r = readOne(level0(c.stored, 22));
        ASSERT_EQ(r.status, HeaderStatus::member);
        EXPECT_EQ(std::string(r.header.name), c.name);
    }
}

TEST(HeaderReader, Level1DirectoryHeaderAndSizeReduction) {
    Bytes b = {0, 0};
    common(b, "-lh5-", 100, 300, 0x28210000, 1);
    b.push_back(5);
    for (char c : std::string("f.txt")) b.push_back(uint8_t(c));
    put16(b, 0xBEEF);
    b.push_back('M');
    put16(b, 7);  // first extended header: directory "a", 0xFF, "b", 0xFF
    b[0] = uint8_t(b.size() - 2);
    b.push_back(0x02);
    for (int c : {0x61, 0xFF, 0x62, 0xFF}) b.push_back(uint8_t(c));
    put16(b, 6);  // an unknown type, skipped
    b.push_back(0x7E);
    b.push_back(1);
    b.push_back(2);
    b.push_back(3);
    put16(b, 0);
    Read r = readOne(b);
    ASSERT_EQ(r.status, HeaderStatus::member);
    EXPECT_STREQ(r.header.name, "a/b/f.txt");
    EXPECT_EQ(r.header.compressedSize, 100u - 7 - 6);
    EXPECT_EQ(r.header.dataCrc, 0xBEEF);
    EXPECT_EQ(r.position, long(b.size()));
}

TEST(HeaderReader, Level2ExampleOf48Bytes) {
    Bytes b = {48, 0};
    common(b, "-lh5-", 10, 20, 1600000000, 2);
    put16(b, 0xCAFE);
    b.push_back('W');
    put16(b, 5);                  // header CRC, not verified
    b.push_back(0x00);
    put16(b, 0x1111);
    put16(b, 12);                 // nine-character file name
    b.push_back(0x01);
    for (char c : std::string("ninechars")) b.push_back(uint8_t(c));
    put16(b, 5);                  // attribute
    b.push_back(0x40);
    put16(b, 0x20);
    put16(b, 0);
    ASSERT_EQ(b.size(), 48u);
    b.push_back(0xAA);  // the member's first data byte
    Read r = readOne(b);
    ASSERT_EQ(r.status, HeaderStatus::member);
    EXPECT_STREQ(r.header.name, "ninechars");
    EXPECT_EQ(r.header.modifiedTime, 1600000000u);
    EXPECT_EQ(r.header.dataCrc, 0xCAFE);
    EXPECT_EQ(r.header.compressedSize, 10u);
    EXPECT_EQ(r.position, 48);
}

TEST(HeaderReader, Level2HeadersOf256BytesAndMoreUseTheFullSize) {
    std::string name(300, 'n');
    name[0] = 'd';
    name[3] = '/';
    LzhMember m = storedMember(name.substr(0, 250), {1, 2, 3}, 1000, 2);
    Bytes b;
    appendMember(b, m);
    ASSERT_GE(b.size(), 256u + 3);
    Read r = readOne(b);
    ASSERT_EQ(r.status, HeaderStatus::member);
    EXPECT_EQ(std::string(r.header.name), name.substr(0, 250));
    EXPECT_EQ(r.position, long(b.size() - 3));
}

// What other archivers write, read back from headers made by the project's writer: level 3,
// the level-2 size that leaves out the chain's final zero, a directory without its final
// separator, 64-bit sizes and the Unix extended headers.
TEST(HeaderReader, OtherArchiversHeaders) {
    setenv("TZ", "UTC", 1);
    const Bytes data = {1, 2, 3, 4, 5};
    constexpr uint32_t t = 1300000000;
    struct Case {
        const char* what;
        LzhMember member;
        const char* name;
        uint64_t packed, original;
        uint32_t time;
        int mode;  // -1: none
    };
    auto with = [&](int level, auto change) {
        LzhMember m = storedMember("dir/sub/file.txt", data, t, level);
        change(m);
        return m;
    };
    Case cases[] = {
        {"level 3", with(3, [](LzhMember&) {}), "dir/sub/file.txt", 5, 5, t, -1},
        {"level 3 with a header CRC and OS 'm'", with(3, [](LzhMember& m) { m.headerCrc = true; m.os = 'm'; }),
         "dir/sub/file.txt", 5, 5, t, -1},
        {"level 2 size 2 bytes short", with(2, [](LzhMember& m) { m.shortLevel2Size = true; }),
         "dir/sub/file.txt", 5, 5, t, -1},
        {"level 2 size short, no extended headers",
         [&] { LzhMember m = storedMember("", data, t, 2); m.shortLevel2Size = true; return m; }(), "", 5, 5, t, -1},
        {"directory without its final separator, level 2",
         with(2, [](LzhMember& m) { m.directoryWithoutSeparator = true; }), "dir/sub/file.txt", 5, 5, t, -1},
        {"directory without its final separator, level 1",
         with(1, [](LzhMember& m) { m.directoryWithoutSeparator = true; }), "dir/sub/file.txt", 5, 5, t, -1},
        {"directory ending in a two-byte character whose second byte is 0x5C",
         [&] { LzhMember m = storedMember("\x95\x5C/f", data, t, 2); m.directoryWithoutSeparator = true; return m; }(),
         "\x95\x5C/f", 5, 5, t, -1},
        {"64-bit sizes, level 2", with(2, [](LzhMember& m) { m.largeSizes = true; m.largeOriginalSize = 0x123456789; }),
         "dir/sub/file.txt", 5, 0x123456789, t, -1},
        {"64-bit sizes, level 1", with(1, [](LzhMember& m) { m.largeSizes = true; m.largeOriginalSize = 0x100000000; }),
         "dir/sub/file.txt", 5, 0x100000000, t, -1},
        {"64-bit sizes, level 3", with(3, [](LzhMember& m) { m.largeSizes = true; }), "dir/sub/file.txt", 5, 5, t, -1},
        {"Unix permissions, ids, names and time, level 1", with(1, [](LzhMember& m) {
             m.unixMode = 0100755;
             m.extended = {{0x51, "\xE8\x03\xE9\x03"}, {0x52, "staff"}, {0x53, "me"},
                           unixTimeHeader(1234567890)};
         }),
         "dir/sub/file.txt", 5, 5, 1234567890, 0100755},
        {"Unix time in a level-3 header", with(3, [](LzhMember& m) { m.extended = {unixTimeHeader(77)}; }),
         "dir/sub/file.txt", 5, 5, 77, -1},
        {"short extended headers are ignored", with(2, [](LzhMember& m) { m.extended = {{0x50, "x"}, {0x54, "abc"}, {0x42, "0123"}}; }),
         "dir/sub/file.txt", 5, 5, t, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b;
        appendMember(b, c.member);
        Read r = readOne(b);
        ASSERT_EQ(r.status, HeaderStatus::member);
        EXPECT_STREQ(r.header.name, c.name);
        EXPECT_EQ(r.header.compressedSize, c.packed);
        EXPECT_EQ(r.header.originalSize, c.original);
        EXPECT_EQ(r.header.modifiedTime, c.time);
        EXPECT_EQ(r.header.hasUnixMode, c.mode >= 0);
        if (c.mode >= 0) EXPECT_EQ(r.header.unixMode, c.mode);
        EXPECT_EQ(r.header.level, c.member.level);
        if (c.member.level > 0) EXPECT_EQ(r.header.osId, uint8_t(c.member.os));
        EXPECT_EQ(r.header.dataCrc, c.member.crc);
        EXPECT_EQ(r.position, long(b.size() - data.size()));  // at the first data byte
        EXPECT_EQ(r.header.shortHeaderSize, c.member.shortLevel2Size);
        if (c.member.largeSizes) EXPECT_TRUE(hasExtendedType(r.header, 0x42));
        EXPECT_EQ(r.header.headerCrcAt != 0, c.member.headerCrc && c.member.level >= 2);
        EXPECT_TRUE(r.header.headerIntact);
    }
}

// The header's checksum and CRC are reported for every reader; a header that fails them is
// still read (extraction does not look at them), and only the search for an archive refuses it.
TEST(HeaderReader, ChecksumAndHeaderCrcAreReported) {
    for (int level : {0, 1, 2, 3}) {
        for (bool crc : {false, true}) {
            if (crc && level == 0) continue;
            SCOPED_TRACE(testing::Message() << "level " << level << (crc ? " with a header CRC" : ""));
            LzhMember m = storedMember("dir/file.txt", {1, 2, 3}, 0, level);
            m.headerCrc = crc;
            Bytes b;
            appendMember(b, m);
            const Read sound = readOne(b);
            ASSERT_EQ(sound.status, HeaderStatus::member);
            EXPECT_TRUE(sound.header.headerIntact);
            // The checksum of a level-0/1 base header (byte 1), or the CRC field.
            const size_t at = level < 2 ? 1 : sound.header.headerCrcAt;
            if (at == 0) continue;
            b[at] ^= 0x40;
            const Read damaged = readOne(b);
            EXPECT_EQ(damaged.status, HeaderStatus::member);
            EXPECT_FALSE(damaged.header.headerIntact);
            EXPECT_STREQ(damaged.header.name, "dir/file.txt");
        }
    }
}

// What Unix archivers and libraries with Unicode names write, each form in its levels: the
// Unix area of levels 0 and 1 (time and mode, as 0x54 and 0x50 give them), UTF-16 names (0x44,
// 0x45) that name the member over the code page 932 ones, and links stored as "name|target"
// folder entries.
TEST(HeaderReader, UnixAreasUnicodeNamesAndLinks) {
    setenv("TZ", "UTC", 1);
    struct Case {
        const char* what;
        LzhMember member;
        const char* name;    // as the POSIX side shows it, UTF-8
        const char* target;  // of a link, or null
        uint32_t time;
        int mode;            // -1: none
    };
    auto area = [](int level, uint32_t time) {
        LzhMember m = storedMember("bin/tool", {1, 2}, time, level);
        m.unixArea = true;
        m.unixMode = 0100750;
        return m;
    };
    auto unicode = [](int level, const std::string& cp932, const std::string& utf8) {
        LzhMember m = storedMember(cp932, {1}, 1300000000, level);
        m.unicodeName = utf8;
        return m;
    };
    auto link = [](int level, const std::string& name) { return folderMember(name, 1300000000, level); };
    const char* umlauts = "\xC3\x9C\xC3\x96\xC3\x84\xC3\xBC\xC3\xB6\xC3\xA4/\xC3\xA4\xC3\xB6\xC3\xBC.txt";
    Case cases[] = {
        // The MS-DOS stamp of 0 would read as 1980; the area's time is 1970 and a day.
        {"Unix area, level 0", area(0, 86400), "bin/tool", nullptr, 86400, 0100750},
        {"Unix area, level 1", area(1, 1234567890), "bin/tool", nullptr, 1234567890, 0100750},
        {"Unix area of time 0, level 0", area(0, 0), "bin/tool", nullptr, 0, 0100750},
        {"Unix area and a 0x54 time, level 1",
         [&] { LzhMember m = area(1, 5); m.extended = {unixTimeHeader(77)}; return m; }(), "bin/tool", nullptr, 77,
         0100750},
        {"UTF-16 names, level 2", unicode(2, "______/___.txt", umlauts), umlauts, nullptr, 1300000000, -1},
        {"UTF-16 names, level 1", unicode(1, "______/___.txt", umlauts), umlauts, nullptr, 1300000000, -1},
        {"UTF-16 names, level 3", unicode(3, "______/___.txt", umlauts), umlauts, nullptr, 1300000000, -1},
        {"UTF-16 file name only, a surrogate pair", unicode(2, "_.txt", "\xF0\x9F\x98\x80.txt"),
         "\xF0\x9F\x98\x80.txt", nullptr, 1300000000, -1},
        {"UTF-16 folder", [&] { LzhMember m = folderMember("a/_/", 1300000000, 2); m.unicodeName = "a/\xC3\x9C/"; return m; }(),
         "a/\xC3\x9C/", nullptr, 1300000000, -1},
        {"link, level 2", link(2, "dir2/symlink1|../file1"), "dir2/symlink1", "../file1", 1300000000, -1},
        {"link, level 1", link(1, "dir2/symlink1|../file1"), "dir2/symlink1", "../file1", 1300000000, -1},
        {"link, level 0", link(0, "dir2/symlink1|../file1"), "dir2/symlink1", "../file1", 1300000000, -1},
        {"link stored with a final separator", link(2, "l|/abs/dir/"), "l", "/abs/dir", 1300000000, -1},
        // "ポ" is 0x83 0x7C in code page 932: its second byte is no "|".
        {"link whose name ends in a two-byte character with 0x7C", link(2, "\x83\x7C|t"), "\xE3\x83\x9D", "t",
         1300000000, -1},
        {"a file with a | is no link", storedMember("a|b", {1}, 1300000000, 2), "a|b", nullptr, 1300000000, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b;
        appendMember(b, c.member);
        Read r = readOne(b);
        ASSERT_EQ(r.status, HeaderStatus::member);
        EXPECT_EQ(cp932ToUtf8(r.header.name), c.name);
        if (c.target) EXPECT_STREQ(linkTargetOf(r.header), c.target);
        else EXPECT_EQ(linkTargetOf(r.header), nullptr);
        EXPECT_TRUE(r.header.hasModifiedTime);
        EXPECT_EQ(r.header.modifiedTime, c.time);
        EXPECT_EQ(r.header.hasUnixMode, c.mode >= 0);
        if (c.mode >= 0) EXPECT_EQ(r.header.unixMode, c.mode);
        EXPECT_EQ(r.header.hasUnixArea, c.member.unixArea);
        EXPECT_EQ(r.position, long(b.size() - c.member.data.size()));
    }
}

// Level-3 and short level-2 headers that are damaged end the run, as any damaged header does.
TEST(HeaderReader, DamagedLevel3AndShortLevel2Headers) {
    auto made = [](int level, auto change) {
        LzhMember m = storedMember("d/f", {9}, 1000, level);
        m.shortLevel2Size = level == 2;
        Bytes b;
        appendMember(b, m);
        change(b);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"level 3 word size other than 4", made(3, [](Bytes& b) { b[0] = 2; })},
        {"level 3 header size below 32", made(3, [](Bytes& b) { b[24] = 30; })},
        {"level 3 header size over 64 KiB", made(3, [](Bytes& b) { b[26] = 1; })},
        {"level 3 extended header past the header", made(3, [](Bytes& b) { b[28] = 200; })},
        {"level 3 extended header size below 5", made(3, [](Bytes& b) { b[28] = 4; })},
        {"level 3 cut inside the header", made(3, [](Bytes& b) { b.resize(30); })},
        {"short level 2 whose next bytes are not the final zero", made(2, [](Bytes& b) { b[b.size() - 2] = 1; })},
        {"level 2 size 1 byte short", made(2, [](Bytes& b) { ++b[0]; })},
        {"level 2 size 3 bytes short", made(2, [](Bytes& b) { --b[0]; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(readOne(c.bytes).status, HeaderStatus::damaged);
    }
}

TEST(HeaderReader, EndOfArchiveIsToldApartFromDamage) {
    Bytes good = level0("x", 22);
    struct Case {
        const char* what;
        Bytes bytes;
        HeaderStatus status;
    } cases[] = {
        {"empty file", {}, HeaderStatus::end},
        {"end mark", {0x00, 0x55}, HeaderStatus::end},
        {"end mark before what reads as a level-0 header", [] { Bytes b = level0("x", 22); b.insert(b.begin(), 0); return b; }(),
         HeaderStatus::end},
        {"level-2 header of 256 bytes", level2MemberOf(256), HeaderStatus::member},
        {"level-2 header of 512 bytes (its name too long)", level2MemberOf(512), HeaderStatus::nameTooLong},
        {"cut inside the common bytes", Bytes(good.begin(), good.begin() + 12), HeaderStatus::damaged},
        {"cut inside the name", Bytes(good.begin(), good.begin() + 22), HeaderStatus::damaged},
        {"size too small to reach the level", [] { Bytes b = level0("x", 22); b[0] = 10; return b; }(),
         HeaderStatus::damaged},
        {"name past the header", [] { Bytes b = level0("xyz", 20); b[0] = 20; return b; }(),
         HeaderStatus::damaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(readOne(c.bytes).status, c.status);
    }
}

// A level-2 header with one extended header of the given size field and body.
Bytes level2With(uint32_t z, size_t bodyBytes) {
    Bytes b = {0, 0};
    common(b, "-lh0-", 0, 0, 0, 2);
    put16(b, 0);
    b.push_back('U');
    put16(b, z);
    for (size_t i = 0; i < bodyBytes; ++i) b.push_back(0x01);
    put16(b, 0);
    b[0] = uint8_t(b.size());
    return b;
}

TEST(HeaderReader, MalformedExtendedHeadersAreRejected) {
    EXPECT_EQ(readOne(level2With(2, 0)).status, HeaderStatus::damaged);    // Z below 3
    EXPECT_EQ(readOne(level2With(1, 0)).status, HeaderStatus::damaged);
    EXPECT_EQ(readOne(level2With(200, 4)).status, HeaderStatus::damaged);  // past the header
    EXPECT_EQ(readOne(level2With(3, 1)).status, HeaderStatus::member);     // an empty file name

    // Level 1: extended headers that claim more than the compressed size, or more than the
    // 4096 bytes that base and extended headers may take together.
    auto level1With = [](uint32_t packed, uint32_t z) {
        Bytes b = {0, 0};
        common(b, "-lh0-", packed, 0, 0, 1);
        b.push_back(1);
        b.push_back('f');
        put16(b, 0);
        b.push_back('U');
        put16(b, z);
        b[0] = uint8_t(b.size() - 2);
        b.push_back(0x40);
        b.resize(b.size() + z - 1, 0);  // the body and a final size of 0
        return b;
    };
    EXPECT_EQ(readOne(level1With(6, 6)).status, HeaderStatus::member);
    EXPECT_EQ(readOne(level1With(4, 6)).status, HeaderStatus::damaged);
    EXPECT_EQ(readOne(level1With(9000, 5000)).status, HeaderStatus::damaged);
}

// A name of up to 259 bytes is read whole; a longer one refuses only its member, which keeps the
// first 259 bytes to be named by. The separator put behind a directory that lacks one counts, and
// a UTF-16 name counts as it is kept: four bytes for each character that is not ASCII.
TEST(HeaderReader, AnOverlongNameRefusesOnlyThatMember) {
    struct Case {
        const char* what;
        std::string name;     // as stored in code page 932
        std::string unicode;  // UTF-8 of the UTF-16 name, or empty
        bool withoutSeparator;
        bool tooLong;
        std::string read;     // UTF-8
    };
    const std::string d(200, 'd'), u8 = "\xC3\x9C";  // U+00DC
    std::string umlauts64, umlauts65;
    for (int i = 0; i < 64; ++i) umlauts64 += u8;
    umlauts65 = umlauts64 + u8;
    Case cases[] = {
        {"259 bytes", d + "/" + std::string(58, 'f'), "", false, false, d + "/" + std::string(58, 'f')},
        {"260 bytes", d + "/" + std::string(59, 'f'), "", false, true, d + "/" + std::string(58, 'f')},
        {"259 bytes with the separator put in", d + "/" + std::string(58, 'f'), "", true, false,
         d + "/" + std::string(58, 'f')},
        {"260 bytes with the separator put in", d + "/" + std::string(59, 'f'), "", true, true,
         d + "/" + std::string(58, 'f')},
        {"UTF-16, 258 bytes", "d/" + std::string(64, '_'), "d/" + umlauts64, false, false, "d/" + umlauts64},
        {"UTF-16, 262 bytes, 258 kept", "d/" + std::string(65, '_'), "d/" + umlauts65, false, true, "d/" + umlauts64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LzhMember m = storedMember(c.name, {7, 7}, 0, 2);
        m.unicodeName = c.unicode;
        m.directoryWithoutSeparator = c.withoutSeparator;
        Bytes b;
        appendMember(b, m);
        Read r = readOne(b);
        EXPECT_EQ(r.status, c.tooLong ? HeaderStatus::nameTooLong : HeaderStatus::member);
        EXPECT_EQ(r.header.compressedSize, 2u);
        EXPECT_EQ(r.position, long(b.size() - 2));  // the data can be skipped
        EXPECT_EQ(cp932ToUtf8(r.header.name), c.read);
    }
}

TEST(DosTime, ConvertsLocalStandardTime) {
    setenv("TZ", "UTC", 1);
    // 2000-03-01 00:00:00: 2000 is a leap year, so February had 29 days.
    uint32_t stamp = (20u << 25) | (3u << 21) | (1u << 16);
    EXPECT_EQ(dosTimeToUnixTime(stamp), 951868800u);
    // 2010-01-01 09:20:34
    EXPECT_EQ(dosTimeToUnixTime(0x3C214A91), 1262337634u);
    EXPECT_EQ(dosTimeToUnixTime(0), 0u);
    setenv("TZ", "JST-9", 1);
    EXPECT_EQ(dosTimeToUnixTime(0x3C214A91), 1262337634u - 9 * 3600);
    setenv("TZ", "UTC", 1);
}

TEST(DosTime, AMonthOutsideTheYearLeavesTheStampAbsent) {
    for (uint32_t month : {0u, 13u, 15u}) {
        bool valid = true;
        dosTimeToUnixTime((30u << 25) | (month << 21) | (1u << 16), &valid);
        EXPECT_FALSE(valid) << month;
        Read r = readOne(level0("x", 22, (30u << 25) | (month << 21) | (1u << 16)));
        ASSERT_EQ(r.status, HeaderStatus::member);
        EXPECT_EQ(r.header.hasModifiedTime, 0);
    }
}

}  // namespace
}  // namespace nivo
