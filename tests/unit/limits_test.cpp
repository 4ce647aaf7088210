// Bounds that hostile input runs into and that the tests of each part leave out: damaged
// codes, sizes that no file can hold, data that runs past the end of the file, and writes that
// fail half-way through a member.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>

#include "extract/extraction_run.h"
#include "common/crc16.h"
#include "decode/member_decoder.h"
#include "tests/support/bit_writer.h"
#include "tests/support/test_support.h"
#include "tools/lzh_encoder.h"
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

DecodeResult decodeLh5(const Bytes& data, uint32_t originalSize, test::VectorSink& sink) {
    makeCrcTable();
    return decodeMemberData(data.data(), static_cast<uint32_t>(data.size()), 5, originalSize, sink);
}

// A pre-tree in which symbol 2 (a long zero run) has the code 0 and symbol 15 (length 13) the
// code 1, for symbol lengths of one code of 13 bits.
void preTreeForOneLongCode(test::BitWriter& w) {
    w.put(16, 5);   // 16 pre-tree lengths
    w.put(0, 3);    // 0
    w.put(0, 3);    // 1
    w.put(1, 3);    // 2: length 1
    w.put(3, 2);    // three zero lengths inserted: 3, 4, 5
    for (int i = 6; i < 15; ++i) w.put(0, 3);
    w.put(1, 3);    // 15: length 1
}

// The block header of a -lh5- block of one symbol whose literal/length code is a single code
// of 13 bits, for symbol 65, and whose position code is the single value 0.
test::BitWriter oneLongCodeBlock() {
    test::BitWriter w;
    w.put(1, 16);
    preTreeForOneLongCode(w);
    w.put(66, 9);              // lengths of symbols 0 to 65:
    w.put(0, 1).put(45, 9);    // a run of 65 zeros,
    w.put(1, 1);               // then 13 bits for symbol 65
    w.put(0, 4).put(0, 4);     // positions: the single value 0
    return w;
}

// What the other decoder tests leave out: a single value outside the position alphabet, and a
// walk into a branch of the tree that no code uses (the code is incomplete, so the branch
// leads nowhere).
TEST(CodeLimits, DamagedCodesEndTheMember) {
    test::BitWriter outsidePositions;
    outsidePositions.put(1, 16).put(0, 5).put(3, 5).put(0, 9).put(65, 9).put(0, 4).put(14, 4).put(0, 32);
    test::BitWriter lostBranch = oneLongCodeBlock();
    lostBranch.put(0, 12).put(1, 1).put(0, 32);  // the table's bits of the code, then the other branch
    test::BitWriter wholeCode = oneLongCodeBlock();
    wholeCode.put(0, 13).put(0, 32);

    test::VectorSink sink;
    EXPECT_EQ(decodeLh5(outsidePositions.bytes(), 1, sink).status, DecodeStatus::damaged);
    EXPECT_EQ(decodeLh5(lostBranch.bytes(), 1, sink).status, DecodeStatus::damaged);
    sink.bytes.clear();
    EXPECT_EQ(decodeLh5(wholeCode.bytes(), 1, sink).status, DecodeStatus::complete);
    EXPECT_EQ(sink.bytes, Bytes{65});
}

// One -lh5- block of 2 symbols: the literal 0x61 and a match of length 5 at distance 1.
const Bytes sixLetters = {0x00, 0x02, 0x20, 0x04, 0x30, 0x31, 0x36, 0x46, 0x40, 0x10};

// The buffer is never larger than what the file holds, and a file that holds less than the
// member's compressed size cuts the member short even where the decoder ends before the
// missing bytes: with bytes behind the data, the decoder stops without reading to the file's
// end, and how far it reads ahead must not decide the verdict.
TEST(SizeLimits, InputBufferNeverExceedsWhatTheFileHolds) {
    Bytes behind = sixLetters;
    behind.insert(behind.end(), 32, 0x55);
    const struct {
        const char* label;
        Bytes file;
        uint32_t compressedSize;
        bool truncated;
    } cases[] = {
        {"the data, exactly", sixLetters, static_cast<uint32_t>(sixLetters.size()), false},
        {"the data, 4 GB claimed", sixLetters, 0xFFFFFFFF, true},
        {"the data and more, 4 GB claimed", behind, 0xFFFFFFFF, true},
    };
    makeCrcTable();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FILE* f = test::fileWithBytes(c.file);
        ASSERT_NE(f, nullptr);
        test::VectorSink sink;
        MemberDecoder decoder(f, sink, 6, c.compressedSize, 13, 5);
        decoder.setInputLimit(static_cast<uint32_t>(c.file.size()));
        DecodeResult r = decoder.run();
        std::fclose(f);
        EXPECT_LE(decoder.state.inputBufferSize, c.file.size());
        EXPECT_EQ(r.status, DecodeStatus::complete);
        EXPECT_EQ(r.truncated, c.truncated);
        EXPECT_EQ(sink.bytes, Bytes(6, 'a'));
    }
}

// A member whose compressed data is several times the input buffer is read through a buffer
// of bounded size, refilled as the decoder goes, and gives the same bytes as from memory; cut
// short anywhere, it still ends as damaged and truncated.
TEST(SizeLimits, TheInputBufferIsBoundedAndRefilled) {
    std::mt19937 rng(7);
    Bytes original(5 * inputBufferCapacity);
    for (uint8_t& b : original) b = static_cast<uint8_t>('a' + rng() % 20);  // barely compressible
    Bytes packed;
    ASSERT_TRUE(compressStaticHuffman(7, original.data(), original.size(), packed));
    ASSERT_GT(packed.size(), 2 * inputBufferCapacity);
    const auto size = static_cast<uint32_t>(original.size());
    for (size_t cut : {packed.size(), packed.size() - 1, size_t{inputBufferCapacity} + 3, size_t{1000}}) {
        SCOPED_TRACE(cut);
        FILE* f = test::fileWithBytes(Bytes(packed.begin(), packed.begin() + static_cast<long>(cut)));
        ASSERT_NE(f, nullptr);
        test::VectorSink sink;
        MemberDecoder decoder(f, sink, size, static_cast<uint32_t>(packed.size()), 16, 7);
        DecodeResult r = decoder.run();
        std::fclose(f);
        EXPECT_LE(decoder.state.inputBufferSize, inputBufferCapacity);
        if (cut == packed.size()) {
            EXPECT_EQ(r.status, DecodeStatus::complete);
            EXPECT_FALSE(r.truncated);
            EXPECT_EQ(sink.bytes, original);
        } else {
            // Always told as truncated. Without its last byte the data may still decode to its
            // size, the missing bits taken as zeros (extraction lists the member all the same);
            // otherwise it is damaged.
            EXPECT_TRUE(r.truncated);
            if (r.status == DecodeStatus::complete) {
                EXPECT_EQ(cut, packed.size() - 1);
                ASSERT_EQ(sink.bytes.size(), original.size());
                EXPECT_TRUE(std::equal(original.begin(), original.end() - 256, sink.bytes.begin()));
            } else {
                EXPECT_EQ(r.status, DecodeStatus::damaged);
                EXPECT_LT(sink.bytes.size(), original.size());
            }
        }
    }
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
        decoder.setInputLimit(static_cast<uint32_t>(sixLetters.size()));
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
        // The compressed size of the level-2 header, bytes 7 to 10; a stored member's original
        // size, bytes 11 to 14, claims as much, or its sizes would differ.
        for (int i = 0; i < 4; ++i) archive[7 + i] = static_cast<uint8_t>(c.claimedData >> (8 * i));
        if (!c.compressed) std::copy(archive.begin() + 7, archive.begin() + 11, archive.begin() + 11);
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

}  // namespace
}  // namespace nivo
