// The bounds that hostile input runs into: malformed headers, names that climb out or do not
// fit, sizes no file can hold, damaged code lengths, write failures, and the problems a run
// lists for each. Every case here is a way that bad input could crash, hang, exhaust memory,
// write outside the destination or pass for success.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "archive/extraction_run.h"
#include "archive/member_header.h"
#include "decode/crc16.h"
#include "decode/member_decoder.h"
#include "decode/methods.h"
#include "extract/member_extraction.h"
#include "extract/path_helpers.h"
#include "setup/settings_block.h"
#include "tests/support/test_support.h"
#include "tools/lzh_writer.h"

namespace nivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t someTime = 1400000000;

Bytes textBytes(size_t n) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>('a' + i % 26));
    return b;
}

void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// Bytes 2 to 20 of every header: method, sizes, time, attribute, level.
void putCommon(Bytes& h, uint32_t compressed, uint32_t original, uint8_t level) {
    for (char c : std::string("-lh0-")) h.push_back(static_cast<uint8_t>(c));
    put32(h, compressed);
    put32(h, original);
    put32(h, someTime);
    h.push_back(0x20);
    h.push_back(level);
}

// A level-2 header with the given extended headers (type, data) and the end of the list.
Bytes level2Header(const std::vector<std::pair<uint8_t, std::string>>& extended, uint32_t compressed = 0) {
    Bytes h = {0, 0};
    putCommon(h, compressed, compressed, 2);
    put16(h, 0);
    h.push_back('U');
    for (const auto& [type, data] : extended) {
        put16(h, static_cast<uint32_t>(data.size() + 3));
        h.push_back(type);
        h.insert(h.end(), data.begin(), data.end());
    }
    put16(h, 0);
    h[0] = static_cast<uint8_t>(h.size());
    h[1] = static_cast<uint8_t>(h.size() >> 8);
    return h;
}

// A level-0 header with name length n and S - N = layout.
Bytes level0Header(const std::string& name, uint32_t layout) {
    Bytes h = {0, 0};
    putCommon(h, 0, 0, 0);
    h.push_back(static_cast<uint8_t>(name.size()));
    h.insert(h.end(), name.begin(), name.end());
    h[0] = static_cast<uint8_t>(name.size() + layout);
    while (h.size() < h[0] + 2u) h.push_back(0);
    return h;
}

struct HeaderRead {
    HeaderStatus status;
    MemberHeader header;
    long position;  // of the stream after the read
};

HeaderRead readHeader(const Bytes& bytes) {
    ExtractionContext context;
    context.archiveFile = test::fileWithBytes(bytes);
    HeaderRead r{};
    r.status = readMemberHeader(context, r.header);
    r.position = std::ftell(context.archiveFile);
    return r;
}

TEST(HeaderLimits, MalformedHeadersAreDamageAndTheirEndsAreNot) {
    Bytes level1 = {0, 0};
    putCommon(level1, 4000, 0, 1);
    level1.push_back(1);
    level1.push_back('a');
    put16(level1, 0);   // data CRC
    level1.push_back('U');
    level1[0] = static_cast<uint8_t>(level1.size());  // S: the first extended size follows
    Bytes tooSmall = level1, pastHeader = level2Header({{0x01, "name.txt"}});
    put16(tooSmall, 2);  // an extended header of size 2: no room for its type
    pastHeader[pastHeader.size() - 2] = 0x40;  // the list's end becomes a header that runs past it
    Bytes overBuffer = level1, overCompressed = level1;
    // Level 1: extended headers of 4000 bytes each, more than the 4096-byte header allows.
    put16(overBuffer, 4000);
    overBuffer.push_back(0x40);
    overBuffer.insert(overBuffer.end(), 3997, 0);
    put16(overBuffer, 4000);
    // Level 1: extended headers longer than the compressed size that counts them.
    overCompressed[7] = 10;
    overCompressed[8] = 0;
    put16(overCompressed, 20);
    overCompressed.push_back(0x40);
    overCompressed.insert(overCompressed.end(), 17, 0);
    put16(overCompressed, 0);
    Bytes level2Short = level2Header({});
    level2Short[0] = 25;

    struct Case {
        const char* what;
        Bytes bytes;
        HeaderStatus expected;
    };
    const Case cases[] = {
        {"empty file", {}, HeaderStatus::end},
        {"end mark", {0}, HeaderStatus::end},
        {"header cut after its size byte", {30}, HeaderStatus::damaged},
        {"header cut before its name", [] { Bytes h = level0Header("a.txt", 22); h.resize(15); return h; }(),
         HeaderStatus::damaged},
        {"size too small to reach the name length", {10, 0, '-', 'l', 'h', '0', '-', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0},
         HeaderStatus::damaged},
        {"name longer than the header", [] { Bytes h = level0Header("abcdef", 22); h[21] = 40; return h; }(),
         HeaderStatus::damaged},
        {"level-0 layout of 21", level0Header("a.txt", 21), HeaderStatus::unknownLayout},
        {"level-0 layout of 23", level0Header("a.txt", 23), HeaderStatus::unknownLayout},
        {"level-0 layout of 18: the name runs past the header", level0Header("a.txt", 18), HeaderStatus::damaged},
        {"level-2 size below 26", level2Short, HeaderStatus::damaged},
        {"extended header of size 2", tooSmall, HeaderStatus::damaged},
        {"level-2 extended header past the header", pastHeader, HeaderStatus::damaged},
        {"level-1 extended headers past 4096 bytes", overBuffer, HeaderStatus::damaged},
        {"level-1 extended headers past the compressed size", overCompressed, HeaderStatus::damaged},
        {"level-0 header without CRC", level0Header("a.txt", 20), HeaderStatus::member},
        {"level-0 header with CRC", level0Header("a.txt", 22), HeaderStatus::member},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(readHeader(c.bytes).status, c.expected);
    }
}

TEST(HeaderLimits, Level2HeadersOf256BytesAndMoreAreRead) {
    // A 250-byte name and a 100-byte attribute: the size needs both bytes of its field.
    std::string name(250, 'n');
    Bytes h = level2Header({{0x01, name}, {0x40, std::string(100, 'x')}}, 7);
    ASSERT_GT(h.size(), 255u);
    Bytes archive = h;
    archive.insert(archive.end(), {1, 2, 3, 4, 5, 6, 7, 0});
    HeaderRead r = readHeader(archive);
    ASSERT_EQ(r.status, HeaderStatus::member);
    EXPECT_EQ(std::string(r.header.name), name);
    EXPECT_EQ(r.position, static_cast<long>(h.size()));
    EXPECT_EQ(r.header.compressedSize, 7u);
}

TEST(HeaderLimits, JoinedNamesFitTheirFieldOrAreRefused) {
    struct Case {
        size_t dirLength, fileLength;
        HeaderStatus expected;
    };
    const Case cases[] = {
        {200, 59, HeaderStatus::member},       // 259 bytes, the longest
        {200, 60, HeaderStatus::nameTooLong},  // 260
        {0, 260, HeaderStatus::nameTooLong},
        {1000, 5, HeaderStatus::nameTooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dirLength) + " + " + std::to_string(c.fileLength));
        std::string dir(c.dirLength, 'd');
        if (!dir.empty()) dir.back() = static_cast<char>(0xFF);
        Bytes h = level2Header({{0x02, dir}, {0x01, std::string(c.fileLength, 'f')}}, 3);
        Bytes archive = h;
        archive.insert(archive.end(), {'x', 'y', 'z', 0});
        HeaderRead r = readHeader(archive);
        EXPECT_EQ(r.status, c.expected);
        EXPECT_LT(strnlen(r.header.name, sizeof r.header.name), sizeof r.header.name);
        // Either way the stream stands at the data, so that the run can go on behind it.
        EXPECT_EQ(r.position, static_cast<long>(h.size()));
        EXPECT_EQ(r.header.compressedSize, 3u);
    }
}

TEST(HeaderLimits, MonthsOutsideTheYearMakeTheStampAbsent) {
    struct Case {
        uint32_t month;
        bool valid;
    };
    for (const Case c : {Case{0, false}, Case{1, true}, Case{12, true}, Case{13, false}, Case{15, false}}) {
        bool valid = !c.valid;
        uint32_t stamp = 20u << 25 | c.month << 21 | 1u << 16;
        dosTimeToUnixTime(stamp, &valid);
        EXPECT_EQ(valid, c.valid) << "month " << c.month;
    }
}

TEST(PathLimits, MembersStayInsideTheDestination) {
    struct Case {
        const char* name;
        const char* path;  // null: refused
    };
    const Case cases[] = {
        {"a/b.txt", "a/b.txt"},     {"/abs.txt", "abs.txt"},     {"///abs.txt", "abs.txt"},
        {"C:/x.txt", "x.txt"},      {"c:x.txt", "x.txt"},        {"C:/D:/x.txt", "x.txt"},
        {"..", nullptr},            {"../x", nullptr},           {"a/../x", nullptr},
        {"a/..", nullptr},          {"/../x", nullptr},          {"C:../x", nullptr},
        {"...", "..."},             {"a..b/..c", "a..b/..c"},    {"", nullptr},
        {"/", nullptr},             {"C:", nullptr},
    };
    for (const Case& c : cases) {
        char out[pathBufferSize];
        bool ok = memberOutputPath(c.name, out, sizeof out);
        EXPECT_EQ(ok, c.path != nullptr) << c.name;
        if (ok && c.path) {
            EXPECT_STREQ(out, c.path) << c.name;
        }
    }
}

TEST(PathLimits, CompositionsNeverOverrunTheirBuffers) {
    char path[8] = "abcdef";
    EXPECT_FALSE(appendBackslash(path, 7));  // no room for the separator
    EXPECT_STREQ(path, "abcdef");
    EXPECT_TRUE(appendBackslash(path, 8));
    EXPECT_STREQ(path, "abcdef\\");

    // A current directory long enough that folder, separator and a 255-byte text cannot fit:
    // the destination stays the text as given.
    test::TempDir dir;
    fs::path deep = dir.path();
    while (deep.string().size() < 200) deep /= "long-folder-name";
    fs::create_directories(deep);
    fs::path before = fs::current_path();
    fs::current_path(deep);
    std::string text(255, 't');
    char out[pathBufferSize];
    composeDestination(text.c_str(), false, out, sizeof out);
    EXPECT_EQ(std::string(out), text);
    composeDestination("short", false, out, sizeof out);
    EXPECT_EQ(std::string(out), fs::current_path().string() + "\\short");
    // No Windows directory on this system: the text as given, never an unfilled buffer.
    composeDestination("Tool", true, out, sizeof out);
    EXPECT_STREQ(out, "Tool");
    char small[6];
    composeDestination("Toolbox", false, small, sizeof small);
    EXPECT_LT(strnlen(small, sizeof small), sizeof small);
    fs::current_path(before);
}

// Bits most significant first, as the decoders read them.
class BitWriter {
public:
    void put(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            if (bits % 8 == 0) bytes.push_back(0);
            if ((value >> i) & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
            ++bits;
        }
    }
    Bytes bytes;

private:
    size_t bits = 0;
};

DecodeResult decodeLh5(const Bytes& data, uint32_t originalSize, test::VectorSink& sink) {
    makeCrcTable();
    return decodeMemberData(data.data(), static_cast<uint32_t>(data.size()), 5, originalSize, sink);
}

// A pre-tree in which symbol 2 (a long zero run) has the code 0 and symbol 15 (length 13) the
// code 1, for symbol lengths of one code of 13 bits.
void preTreeForOneLongCode(BitWriter& w) {
    w.put(16, 5);   // 16 pre-tree lengths
    w.put(0, 3);    // 0
    w.put(0, 3);    // 1
    w.put(1, 3);    // 2: length 1
    w.put(3, 2);    // three zero lengths inserted: 3, 4, 5
    for (int i = 6; i < 15; ++i) w.put(0, 3);
    w.put(1, 3);    // 15: length 1
}

TEST(CodeLimits, DamagedCodeLengthsEndTheMember) {
    struct Case {
        const char* what;
        void (*write)(BitWriter&);
    };
    const Case cases[] = {
        {"pre-tree single value outside its 19 symbols",
         [](BitWriter& w) { w.put(1, 16); w.put(0, 5); w.put(19, 5); }},
        {"symbol single value outside its 510 symbols",
         [](BitWriter& w) { w.put(1, 16); w.put(0, 5); w.put(3, 5); w.put(0, 9); w.put(510, 9); }},
        {"position single value outside its 14 codes",
         [](BitWriter& w) { w.put(1, 16); w.put(0, 5); w.put(3, 5); w.put(0, 9); w.put(65, 9); w.put(0, 4); w.put(14, 4); }},
        {"symbol length count past 510",
         [](BitWriter& w) { w.put(1, 16); w.put(0, 5); w.put(2, 5); w.put(511, 9); }},
        {"zero run past 510 symbols",
         [](BitWriter& w) { w.put(1, 16); w.put(0, 5); w.put(2, 5); w.put(510, 9); w.put(511, 9); }},
        {"pre-tree length of 17",
         [](BitWriter& w) { w.put(1, 16); w.put(1, 5); w.put(7, 3); w.put(0x3FF, 10); w.put(0, 1); }},
        {"over-full pre-tree: three codes of one bit",
         [](BitWriter& w) { w.put(1, 16); w.put(3, 5); w.put(1, 3); w.put(1, 3); w.put(1, 3); w.put(0, 2); }},
        {"a tree walk that leaves the only long code",
         [](BitWriter& w) {
             w.put(1, 16);
             preTreeForOneLongCode(w);
             w.put(66, 9);              // lengths of symbols 0 to 65
             w.put(0, 1); w.put(45, 9);  // 65 zeros
             w.put(1, 1);               // symbol 65: 13 bits
             w.put(0, 4); w.put(0, 4);  // position: the single code 0
             w.put(0, 12); w.put(1, 1);  // the table's bits of that code, then the branch it lacks
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        c.write(w);
        w.put(0, 32);
        test::VectorSink sink;
        DecodeResult r = decodeLh5(w.bytes, 1, sink);
        EXPECT_EQ(r.status, DecodeStatus::damaged);
    }
    // The same long code, followed to its end, is a symbol like any other.
    BitWriter w;
    w.put(1, 16);
    preTreeForOneLongCode(w);
    w.put(66, 9);
    w.put(0, 1);
    w.put(45, 9);
    w.put(1, 1);
    w.put(0, 4);
    w.put(0, 4);
    w.put(0, 13);
    w.put(0, 16);
    test::VectorSink sink;
    DecodeResult r = decodeLh5(w.bytes, 1, sink);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_EQ(sink.bytes, Bytes{65});
}

TEST(CodeLimits, TableBuilderRefusesLengthsItCannotPlace) {
    StaticHuffmanState h{};
    uint16_t table[256];
    const uint8_t over16[3] = {1, 2, 17};
    const uint8_t overFull[3] = {1, 1, 2};
    const uint8_t complete[3] = {1, 2, 2};
    EXPECT_FALSE(buildTable(h, 3, over16, 8, table));
    EXPECT_FALSE(buildTable(h, 3, overFull, 8, table));
    EXPECT_TRUE(buildTable(h, 3, complete, 8, table));
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[0x80], 1);
    EXPECT_EQ(table[0xC0], 2);
}

// One -lh5- block of 2 symbols: the literal 0x61 and a match of length 5 at distance 1.
const Bytes sixLetters = {0x00, 0x02, 0x20, 0x04, 0x30, 0x31, 0x36, 0x46, 0x40, 0x10};

TEST(SizeLimits, InputBufferNeverExceedsWhatTheFileHolds) {
    FILE* f = test::fileWithBytes(sixLetters);
    ASSERT_NE(f, nullptr);
    test::VectorSink sink;
    MemberDecoder decoder(f, sink, 6, 0xFFFFFFFF, 13, 5);
    decoder.setInputLimit(sixLetters.size());
    makeCrcTable();
    DecodeResult r = decoder.run();
    std::fclose(f);
    EXPECT_LE(decoder.state.inputBufferSize, sixLetters.size());
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_EQ(sink.bytes, Bytes(6, 'a'));
}

// A member that claims more data than the file holds, and far more output: once the file has
// ended, the decoder runs on zeros only so far before the member ends as damaged. (It used to
// take the zeros for data and write whatever size the header claimed.)
TEST(SizeLimits, TruncatedDataDoesNotDecodeToTheClaimedSize) {
    for (uint32_t claimed : {16u << 20, 0xFFFFFFFFu}) {
        FILE* f = test::fileWithBytes(sixLetters);
        ASSERT_NE(f, nullptr);
        test::VectorSink sink;
        MemberDecoder decoder(f, sink, claimed, claimed, 13, 5);
        decoder.setInputLimit(sixLetters.size());
        makeCrcTable();
        DecodeResult r = decoder.run();
        std::fclose(f);
        EXPECT_EQ(r.status, DecodeStatus::damaged);
        EXPECT_TRUE(r.truncated);
        ASSERT_LT(sink.bytes.size(), 1u << 20);  // before the rest, which a fault would make 4 GB
        ASSERT_GE(sink.bytes.size(), 6u);
        EXPECT_EQ(Bytes(sink.bytes.begin(), sink.bytes.begin() + 6), Bytes(6, 'a'));
    }
}

// Records every problem of a run.
class RecordingFrontEnd final : public FrontEnd {
public:
    void memberProblem(const char* name, Problem problem) override { problems.emplace_back(name, problem); }
    std::vector<std::pair<std::string, Problem>> problems;
};

// The current directory for the length of a test.
class InDirectory {
public:
    explicit InDirectory(const fs::path& p) : before(fs::current_path()) { fs::current_path(p); }
    ~InDirectory() { fs::current_path(before); }

private:
    fs::path before;
};

std::vector<std::pair<std::string, Problem>> runArchive(FILE* archive) {
    ExtractionContext context;
    RecordingFrontEnd frontEnd;
    context.frontEnd = &frontEnd;
    context.archiveFile = archive;
    extractionRun(context);
    EXPECT_EQ(context.problems.count, static_cast<int>(frontEnd.problems.size()));
    return frontEnd.problems;
}

std::vector<std::pair<std::string, Problem>> runArchive(const Bytes& archive) {
    return runArchive(test::fileWithBytes(archive));
}

TEST(RunLimits, EveryFailedMemberIsListedAndTheRunGoesOn) {
    test::TempDir dir;
    InDirectory in(dir.path());
    fs::create_directories("blocker");
    std::ofstream("file") << "a file, not a folder";

    Bytes archive;
    Bytes good = textBytes(100);
    LzhMember unknown = storedMember("unknown.bin", good, someTime);
    unknown.method = "-lhx-";
    appendMember(archive, unknown);
    LzhMember badCrc = storedMember("badcrc.txt", good, someTime);
    badCrc.crc ^= 1;
    appendMember(archive, badCrc);
    appendMember(archive, folderMember("link|/etc", someTime));
    appendMember(archive, folderMember("plainfolder", someTime));  // no trailing "/"
    appendMember(archive, storedMember("file/inside.txt", good, someTime));
    appendMember(archive, storedMember("../outside.txt", good, someTime));
    appendMember(archive, storedMember("good.txt", good, someTime));
    appendEndMark(archive);

    auto problems = runArchive(archive);
    const std::vector<std::pair<std::string, Problem>> expected = {
        {"unknown.bin", Problem::unknownMethod},     {"badcrc.txt", Problem::crcMismatch},
        {"link|/etc", Problem::linkRefused},         {"file/inside.txt", Problem::outsideDestination},
        {"../outside.txt", Problem::outsideDestination},
    };
    EXPECT_EQ(problems, expected);
    EXPECT_FALSE(fs::exists("unknown.bin"));
    EXPECT_EQ(test::readBinary("badcrc.txt"), good);  // kept, as other archivers do, and listed
    EXPECT_FALSE(fs::exists("link"));
    EXPECT_TRUE(fs::is_directory("plainfolder"));
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "outside.txt"));
    EXPECT_EQ(test::readBinary("good.txt"), good);
}

// A member whose data runs past the end of the file is listed even when what was there made a
// whole member: the archive is cut short, and whatever stood behind it is lost. (It used to end
// the run as a success.)
TEST(RunLimits, DataRunningPastTheEndOfTheFileIsListed) {
    struct Case {
        const char* what;
        bool compressed;
        uint32_t claimedData;
    };
    for (const Case c : {Case{"stored, data claimed past the end", false, 0xFFFFFFF0},
                         Case{"compressed, data claimed past the end", true, 0xFFFFFFF0},
                         Case{"compressed, one byte past the end", true, 11}}) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        InDirectory in(dir.path());
        Bytes archive;
        LzhMember m = storedMember("whole.txt", Bytes(6, 'a'), someTime);
        if (c.compressed) {
            m.method = "-lh5-";
            m.data = sixLetters;
        }
        appendMember(archive, m);
        // The compressed size of the level-2 header, bytes 7 to 10.
        for (int i = 0; i < 4; ++i) archive[7 + i] = static_cast<uint8_t>(c.claimedData >> (8 * i));
        auto problems = runArchive(archive);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].first, "whole.txt");
        EXPECT_EQ(problems[0].second, Problem::truncated);
    }
}

// A write that fails half-way deletes the partial file and lists the member. The limit on file
// sizes is set in a child process, which reports through its exit status.
TEST(RunLimits, FailedWritesLeaveNoPartialFile) {
    test::TempDir dir;
    Bytes archive;
    appendMember(archive, storedMember("big.txt", textBytes(50000), someTime));
    appendMember(archive, storedMember("small.txt", textBytes(100), someTime));
    appendEndMark(archive);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        InDirectory in(dir.path());
        FILE* f = test::fileWithBytes(archive);  // before the limit, which would cut it short
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = 10000;
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
        auto problems = runArchive(f);
        bool listed = problems.size() == 1 && problems[0].first == "big.txt" && problems[0].second == Problem::writeFailed;
        _exit(listed ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "big.txt not listed as a failed write";
    EXPECT_FALSE(fs::exists(dir.path() / "big.txt"));
    EXPECT_EQ(test::readBinary((dir.path() / "small.txt").string()), textBytes(100));
}

TEST(RunLimits, OutputFailuresOfTheSinkEndTheMember) {
    class RefusingSink final : public OutputSink {
    public:
        bool write(const uint8_t*, uint32_t) override { return false; }
    } sink;
    makeCrcTable();
    EXPECT_EQ(decodeMemberData(sixLetters.data(), 10, 5, 6, sink).status, DecodeStatus::writeFailed);
    Bytes stored = textBytes(10);
    EXPECT_EQ(decodeMemberData(stored.data(), 10, 0, 10, sink).status, DecodeStatus::writeFailed);
}

}  // namespace
}  // namespace nivo
