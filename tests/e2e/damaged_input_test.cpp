// Damaged and hostile archives through the nivosfx binary: truncation, flipped bits in headers
// and data, absurd sizes, deep, overlong and climbing paths, control characters in names, and
// a header of a level this program does not read. Whatever the input, every run must end with
// a documented exit code, one line on stderr for each member that failed, no file outside the
// destination, no partial file of a failed member, and bounded memory and time.
#include <gtest/gtest.h>

#include "tests/e2e/program_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "lzh/archive_walker.h"
#include "common/crc16.h"
#include "tests/support/test_support.h"
#include "tools/lzh_encoder.h"
#include "tools/lzh_writer.h"

namespace nivo::damaged {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Generous bounds: a sanitizer build runs the same tests, with its shadow memory and slower
// code. Nothing here needs more than a few megabytes or a fraction of a second natively.
constexpr long maxRssKb = 512 * 1024;
constexpr double maxSeconds = 30;
constexpr double killAfterSeconds = 60;

constexpr int exitOk = 0;
constexpr int exitProblems = 2;
constexpr int exitUnreadable = 9;

constexpr uint32_t someTime = 1400000000;

struct Outcome {
    int exitCode = -1;  // -1 unless the child exited normally
    int signal = 0;
    bool killed = false;
    std::string out, err;
    long rssKb = 0;
    double seconds = 0;
};

// Runs nivosfx with args in cwd and stdin at its end; collects both outputs, the peak resident
// set and the wall time. A child still running after killAfterSeconds is killed.
Outcome runNivosfx(const std::vector<std::string>& args, const fs::path& cwd) {
    test::RunOptions how;
    how.args = args;
    how.cwd = cwd;
    how.timeoutSeconds = killAfterSeconds;
    auto started = std::chrono::steady_clock::now();
    test::RunResult r = test::runNivosfx(how);
    Outcome o;
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    o.exitCode = r.exitCode;
    o.signal = r.termSignal;
    o.killed = r.timedOut;
    o.out = r.out;
    o.err = r.err;
    o.rssKb = r.maxRssKb;
    return o;
}

// A member as composed: where it stands in the archive and what it must extract to.
struct Placed {
    std::string name;      // stored name, "/" separators, as the extractor prints it
    std::string path;      // where it lands under the destination
    Bytes content;
    bool folder = false;
    bool compressed = false;  // decoded data may be whole before a cut, and flips may not show
    size_t headerStart = 0, dataStart = 0, dataEnd = 0;
};

struct Composed {
    Bytes bytes;
    std::vector<Placed> members;
    size_t endMark = 0;
};

void add(Composed& a, const LzhMember& m, const Bytes& content, std::string path = "") {
    Placed p;
    p.name = m.name;
    p.path = path.empty() ? m.name : path;
    p.content = content;
    p.folder = m.method == "-lhd-";
    p.compressed = m.method != "-lh0-" && !p.folder;
    p.headerStart = a.bytes.size();
    appendMember(a.bytes, m);
    p.dataEnd = a.bytes.size();
    p.dataStart = p.dataEnd - m.data.size();
    a.members.push_back(p);
}

void finish(Composed& a) {
    a.endMark = a.bytes.size();
    appendEndMark(a.bytes);
}

Bytes textBytes(size_t n, uint32_t seed) {
    static const char words[] = "the quick brown fox jumps over the lazy dog; ";
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(words[(i * 7 + seed) % (sizeof words - 1)]));
    return b;
}

// Words in a random order: text that compresses, but not to almost nothing.
Bytes proseBytes(size_t n, uint32_t seed) {
    static const char* const words[] = {"archive ", "member ", "header ", "folder ", "the ", "of ",
                                        "data, ", "bytes ", "and ", "a ", "name. ", "\n"};
    std::mt19937 random(seed);
    Bytes b;
    while (b.size() < n) {
        for (const char* w = words[random() % 12]; *w && b.size() < n; ++w) b.push_back(static_cast<uint8_t>(*w));
    }
    return b;
}

uint16_t crcOf(const Bytes& b) {
    makeCrcTable();
    return updateCrc(0, b.data(), static_cast<uint32_t>(b.size()));
}

// One -lh5- block of 2 symbols: the literal 0x61 and a match of length 5 at distance 1.
LzhMember sixLettersLh5(const std::string& name, int level) {
    LzhMember m;
    m.method = "-lh5-";
    m.name = name;
    m.data = {0x00, 0x02, 0x20, 0x04, 0x30, 0x31, 0x36, 0x46, 0x40, 0x10};
    m.originalSize = 6;
    m.crc = crcOf(Bytes(6, 'a'));
    m.unixTime = someTime;
    m.level = level;
    return m;
}

// Every header level, stored and compressed data (-lh5- and -lh7-), a folder entry and nested
// folders.
Composed baseArchive() {
    Composed a;
    Bytes readme = textBytes(1500, 1), guide = textBytes(700, 2), notes;
    for (int i = 0; i < 300; ++i) notes.push_back(static_cast<uint8_t>(i * 37 + 11));
    add(a, storedMember("readme.txt", readme, someTime, 2), readme);
    add(a, storedMember("docs/guide.txt", guide, someTime, 1), guide);
    add(a, sixLettersLh5("six.txt", 0), Bytes(6, 'a'));
    add(a, folderMember("empty/", someTime, 2), {}, "empty");
    add(a, storedMember("docs/more/notes.bin", notes, someTime, 2), notes);
    // Small blocks, so that damage lands in block headers as often as in codes.
    Bytes packed = proseBytes(6000, 13);
    EncoderOptions small;
    small.maxBlockSymbols = 200;
    add(a, *compressMember(7, "docs/packed.txt", packed, someTime, 1, small), packed);
    finish(a);
    return a;
}

// A fresh sandbox per run: the archive beside a chain of folders with the destination at its
// bottom, so that a member climbing out by up to chainDepth levels lands where it is seen.
constexpr int chainDepth = 4;

struct Sandbox {
    test::TempDir dir;
    fs::path archive() const { return dir.path() / "archive.lzh"; }
    fs::path destination() const {
        fs::path p = dir.path();
        for (int i = 0; i < chainDepth; ++i) p /= "up";
        return p / "dest";
    }
};

Outcome extract(const Sandbox& box, const Bytes& archive) {
    test::writeBinary(box.archive().string(), archive);
    fs::create_directories(box.destination().parent_path());
    return runNivosfx({"x", box.archive().string(), "-d", box.destination().string(), "-y"}, box.dir.path());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The stderr lines that name a member (or a header offset) with its problem.
bool names(const Outcome& o, const std::string& what) {
    for (const std::string& l : lines(o.err))
        if (l.rfind("nivosfx: " + what + ": ", 0) == 0) return true;
    return false;
}

// What holds for every run, whatever the damage.
void checkEveryRun(const Sandbox& box, const Outcome& o) {
    EXPECT_FALSE(o.killed) << "still running after " << killAfterSeconds << " s";
    EXPECT_EQ(o.signal, 0) << o.err;
    EXPECT_TRUE(o.exitCode == exitOk || o.exitCode == exitProblems) << "exit " << o.exitCode << "\n" << o.err;
    EXPECT_LT(o.rssKb, maxRssKb);
    EXPECT_LT(o.seconds, maxSeconds);

    // Nothing beside the archive and the chain, and only files, folders and links inside.
    fs::path p = box.dir.path();
    for (int i = 0; i <= chainDepth; ++i) {
        for (const auto& e : fs::directory_iterator(p)) {
            std::string n = e.path().filename().string();
            EXPECT_TRUE(n == (i == chainDepth ? "dest" : "up") || (i == 0 && n == "archive.lzh"))
                << "written outside the destination: " << e.path();
        }
        p /= i == chainDepth ? "dest" : "up";
    }
    if (fs::exists(box.destination())) {
        for (const auto& e : fs::recursive_directory_iterator(box.destination())) {
            auto st = e.symlink_status();
            EXPECT_TRUE(fs::is_regular_file(st) || fs::is_directory(st) || fs::is_symlink(st)) << e.path();
        }
    }

    // One line per problem, each naming what failed, never a raw control character.
    for (const std::string& l : lines(o.err)) {
        EXPECT_EQ(l.rfind("nivosfx: ", 0), 0u) << l;
        for (unsigned char c : l) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "control character in: " << l;
    }
    if (o.exitCode == exitOk) {
        EXPECT_EQ(o.err, "");
    }
    if (o.exitCode == exitProblems) {
        EXPECT_GE(lines(o.err).size(), 2u) << "no member named:\n" << o.err;
    }
}

// A member either extracted exactly and unnamed, or named on stderr and then absent or of at
// least its full size: a failed member never leaves a partial file, and no wrong file is
// reported as a success. The full size is the composed one while the header is intact.
bool checkMember(const Sandbox& box, const Outcome& o, const Placed& m, bool headerIntact) {
    fs::path p = box.destination() / m.path;
    bool named = names(o, m.name);
    if (m.folder) return named;
    if (named) {
        if (headerIntact && fs::exists(p)) {
            EXPECT_GE(fs::file_size(p), m.content.size()) << "partial file of " << m.name;
        }
    } else if (fs::is_regular_file(p)) {
        EXPECT_EQ(test::readBinary(p.string()), m.content) << m.name << " differs without a word";
    }
    return named;
}

void checkAll(const Sandbox& box, const Outcome& o, const Composed& a, bool headersIntact = true) {
    checkEveryRun(box, o);
    for (const Placed& m : a.members) checkMember(box, o, m, headersIntact);
}

TEST(DamagedInput, UndamagedBaseArchiveExtractsExactly) {
    Composed a = baseArchive();
    Sandbox box;
    Outcome o = extract(box, a.bytes);
    checkAll(box, o, a);
    EXPECT_EQ(o.exitCode, exitOk) << o.err;
    for (const Placed& m : a.members) {
        fs::path p = box.destination() / m.path;
        if (m.folder) EXPECT_TRUE(fs::is_directory(p));
        else EXPECT_EQ(test::readBinary(p.string()), m.content) << m.name;
    }
}

TEST(DamagedInput, TruncatedAtManyOffsets) {
    Composed a = baseArchive();
    std::vector<size_t> cuts;
    for (const Placed& m : a.members) {
        for (size_t c = m.headerStart; c < m.dataStart; c += 3) cuts.push_back(c);  // in the header
        cuts.push_back(m.dataStart);
        for (size_t c = m.dataStart + 1; c < m.dataEnd; c += 97) cuts.push_back(c);  // in the data
        if (m.dataEnd > m.dataStart) cuts.push_back(m.dataEnd - 1);
    }
    cuts.push_back(a.endMark);
    for (size_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Sandbox box;
        Outcome o = extract(box, Bytes(a.bytes.begin(), a.bytes.begin() + static_cast<long>(cut)));
        if (cut < 7) {  // the first method identifier is not whole: nothing says it is an archive
            EXPECT_EQ(o.exitCode, exitUnreadable) << o.err;
            EXPECT_NE(o.err.find("not an LZH archive"), std::string::npos) << o.err;
            continue;
        }
        checkAll(box, o, a);
        bool atBoundary = cut == a.endMark;
        for (const Placed& m : a.members) {
            fs::path p = box.destination() / m.path;
            if (cut >= m.dataEnd && cut != m.headerStart) {
                // Wholly before the cut: extracted as if nothing had happened.
                EXPECT_FALSE(names(o, m.name)) << m.name;
                EXPECT_TRUE(m.folder ? fs::is_directory(p) : fs::is_regular_file(p)) << m.name;
            } else if (cut == m.headerStart) {
                atBoundary = true;  // the file ends where a header would start: the normal end
            } else if (cut < m.dataStart) {
                EXPECT_TRUE(names(o, "(header at offset " + std::to_string(m.headerStart) + ")")) << o.err;
            } else {
                // Data cut short: named. Stored data leaves no file; compressed data may have
                // decoded in full before the cut, and then its file is whole.
                EXPECT_TRUE(names(o, m.name)) << o.err;
                if (!m.compressed) {
                    EXPECT_FALSE(fs::exists(p)) << m.name;
                }
            }
            if (cut < m.dataEnd || cut == m.headerStart) {
                // Nothing behind the cut is extracted.
                for (const Placed& later : a.members)
                    if (later.headerStart > m.headerStart && !later.folder) {
                        EXPECT_FALSE(fs::exists(box.destination() / later.path)) << later.name;
                    }
                break;
            }
        }
        EXPECT_EQ(o.exitCode, atBoundary ? exitOk : exitProblems) << o.err;
    }
}

TEST(DamagedInput, FlippedBitsInHeaders) {
    Composed a = baseArchive();
    for (const Placed& m : a.members) {
        for (size_t at = m.headerStart; at < m.dataStart; ++at) {
            SCOPED_TRACE(m.name + ": header byte " + std::to_string(at - m.headerStart));
            Bytes damaged = a.bytes;
            damaged[at] ^= static_cast<uint8_t>(1u << (at % 8));
            Sandbox box;
            Outcome o = extract(box, damaged);
            checkAll(box, o, a, false);
            // Members before the damaged header are untouched by it.
            for (const Placed& earlier : a.members) {
                if (earlier.headerStart >= m.headerStart) break;
                EXPECT_FALSE(names(o, earlier.name)) << earlier.name;
            }
        }
    }
}

TEST(DamagedInput, FlippedBitsInData) {
    Composed a = baseArchive();
    std::mt19937 random(7);
    for (const Placed& m : a.members) {
        if (m.dataEnd == m.dataStart) continue;
        for (int k = 0; k < 8; ++k) {
            size_t at = m.dataStart + random() % (m.dataEnd - m.dataStart);
            uint8_t bit = static_cast<uint8_t>(1u << (random() % 8));
            SCOPED_TRACE(m.name + ": data byte " + std::to_string(at - m.dataStart));
            Bytes damaged = a.bytes;
            damaged[at] ^= bit;
            Sandbox box;
            Outcome o = extract(box, damaged);
            checkAll(box, o, a);
            // CRC-16 sees every single-bit error in stored data; the rest of the archive is read.
            if (!m.compressed) {
                EXPECT_TRUE(names(o, m.name)) << o.err;
            }
            for (const Placed& other : a.members)
                if (other.headerStart != m.headerStart) {
                    EXPECT_FALSE(names(o, other.name)) << other.name;
                }
        }
    }
}

// The same on archives that real archivers made, with real compressed data in every method.
TEST(DamagedInput, FlippedBitsInRealArchives) {
    NIVO_REQUIRE_CORPUS();
    std::mt19937 random(11);
    int runs = 0;
    for (const auto& real : test::realArchives()) {
        if (!real.expect.empty()) continue;
        Bytes original = test::readBinary(real.path);
        // The members as the header reader finds them, so that the flips land in their data.
        Composed a;
        a.bytes = original;
        {
            ExtractionContext context;
            context.archiveFile = std::fopen(real.path.c_str(), "rb");
            ASSERT_NE(context.archiveFile, nullptr);
            MemberHeader h;
            ArchiveWalker walk(context);
            while (walk.next(h) == HeaderStatus::member) {
                Placed p;
                p.name = h.name;
                p.headerStart = static_cast<size_t>(walk.headerStart);
                p.dataStart = static_cast<size_t>(walk.dataStart);
                p.dataEnd = std::min(original.size(), p.dataStart + h.compressedSize);
                a.members.push_back(p);
            }
        }
        for (const Placed& m : a.members) {
            if (m.dataEnd <= m.dataStart) continue;
            for (int k = 0; k < 3; ++k) {
                size_t at = m.dataStart + random() % (m.dataEnd - m.dataStart);
                SCOPED_TRACE(real.path + ": " + m.name + " data byte " + std::to_string(at - m.dataStart));
                Bytes damaged = original;
                damaged[at] ^= static_cast<uint8_t>(1u << (random() % 8));
                Sandbox box;
                Outcome o = extract(box, damaged);
                checkEveryRun(box, o);
                ++runs;
            }
        }
    }
    EXPECT_GT(runs, 20);
}

// Sizes that no small file can hold: nothing of that size is allocated or written, the member
// is named, and the run goes on behind it where the header allows.
TEST(DamagedInput, AbsurdSizes) {
    struct Case {
        const char* what;
        bool compressed;
        uint32_t compressedSize;  // 0: the data's true size
        uint32_t originalSize;
        bool followerExtracted;  // the member behind it can be found
    };
    const Case cases[] = {
        {"stored member claims 4 GB of data and output", false, 0xFFFFFFFF, 0xFFFFFFFF, false},
        {"stored member claims 4 GB of output", false, 0, 0xFFFFFFFF, true},
        {"compressed member claims 4 GB of data and output", true, 0xFFFFFFFF, 0xFFFFFFFF, false},
        {"compressed member claims 4 GB of output", true, 0, 0xFFFFFFFF, true},
        {"compressed member claims 4 GB of data", true, 0xFFFFFFF0, 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Composed a;
        LzhMember m = c.compressed ? sixLettersLh5("huge.bin", 2) : storedMember("huge.bin", textBytes(100, 3), someTime);
        m.originalSize = c.originalSize;
        add(a, m, c.compressed ? Bytes(6, 'a') : textBytes(100, 3));
        if (c.compressedSize) {
            size_t at = a.members[0].headerStart + 7;
            for (int i = 0; i < 4; ++i) a.bytes[at + i] = static_cast<uint8_t>(c.compressedSize >> (8 * i));
        }
        Bytes after = textBytes(50, 4);
        add(a, storedMember("after.txt", after, someTime), after);
        finish(a);

        Sandbox box;
        Outcome o = extract(box, a.bytes);
        checkAll(box, o, a);
        EXPECT_EQ(o.exitCode, exitProblems) << o.err;
        EXPECT_TRUE(names(o, "huge.bin")) << o.err;
        if (c.originalSize > 6) {
            EXPECT_FALSE(fs::exists(box.destination() / "huge.bin"));
        }
        EXPECT_EQ(fs::is_regular_file(box.destination() / "after.txt"), c.followerExtracted);
    }
}

TEST(DamagedInput, DeepOverlongAndClimbingPaths) {
    struct Case {
        std::string name;
        int level;
        std::string landsAt;  // empty: refused, nothing written
    };
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "d/";
    const std::string longest = std::string(100, 'x') + "/" + std::string(100, 'y') + "/" + std::string(57, 'z');
    const Case cases[] = {
        {deep + "deep.txt", 2, deep + "deep.txt"},
        {longest, 2, longest},  // 259 bytes, the longest a name may be
        {"../evil.txt", 2, ""},
        {"docs/../../evil.txt", 2, ""},
        {"..\\evil.txt", 0, ""},
        {"docs/..", 2, ""},
        {"/abs.txt", 2, "abs.txt"},
        {"//twice.txt", 0, "twice.txt"},
        {"C:/drive.txt", 0, "drive.txt"},
        {"C:..\\evil.txt", 0, ""},
        {"./here.txt", 2, "./here.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 60));
        Composed a;
        Bytes content = textBytes(40, 5);
        add(a, storedMember(c.name, content, someTime, c.level), content, c.landsAt.empty() ? "never" : c.landsAt);
        Bytes after = textBytes(30, 6);
        add(a, storedMember("after.txt", after, someTime), after);
        finish(a);
        Sandbox box;
        Outcome o = extract(box, a.bytes);
        checkAll(box, o, a);
        EXPECT_TRUE(fs::is_regular_file(box.destination() / "after.txt"));
        if (c.landsAt.empty()) {
            EXPECT_EQ(o.exitCode, exitProblems);
            std::string shown = c.name;
            for (char& ch : shown)
                if (ch == '\\') ch = '/';
            EXPECT_TRUE(names(o, shown)) << o.err;
            EXPECT_EQ(std::distance(fs::recursive_directory_iterator(box.destination()),
                                    fs::recursive_directory_iterator()), 1) << "only after.txt";
        } else {
            EXPECT_EQ(o.exitCode, exitOk) << o.err;
            EXPECT_EQ(test::readBinary((box.destination() / c.landsAt).string()), content);
        }
    }
}

TEST(DamagedInput, NameLongerThanTheLimitIsSkippedAndTheRunGoesOn) {
    Composed a;
    Bytes content = textBytes(40, 7);
    // 260 bytes: one past the longest name.
    std::string name = std::string(120, 'p') + "/" + std::string(120, 'q') + "/" + std::string(18, 'r');
    add(a, storedMember(name, content, someTime, 2), content);
    Bytes after = textBytes(30, 8);
    add(a, storedMember("after.txt", after, someTime), after);
    finish(a);
    Sandbox box;
    Outcome o = extract(box, a.bytes);
    checkAll(box, o, a);
    EXPECT_EQ(o.exitCode, exitProblems);
    // Its first characters (whole ones) and where its header stands.
    EXPECT_TRUE(names(o, std::string(40, 'p') + "… (member at offset 0)")) << o.err;
    EXPECT_FALSE(fs::exists(box.destination() / std::string(120, 'p')));
    EXPECT_EQ(test::readBinary((box.destination() / "after.txt").string()), after);
}

TEST(DamagedInput, ControlCharactersInNames) {
    Composed a;
    Bytes good = textBytes(20, 9), bad = textBytes(20, 10);
    add(a, storedMember("ctl\x01\x1b[31m.txt", good, someTime), good);
    LzhMember wrong = storedMember("bad\nname\r.txt", bad, someTime);
    wrong.crc ^= 0x1234;  // a damaged member, so that its name reaches stderr
    add(a, wrong, bad);
    finish(a);
    Sandbox box;
    Outcome o = extract(box, a.bytes);
    checkEveryRun(box, o);
    EXPECT_EQ(o.exitCode, exitProblems);
    EXPECT_EQ(test::readBinary((box.destination() / "ctl\x01\x1b[31m.txt").string()), good);
    EXPECT_TRUE(names(o, "bad\\x0aname\\x0d.txt")) << o.err;
    EXPECT_EQ(lines(o.err).size(), 2u) << o.err;  // the member's line and the summary
}

TEST(DamagedInput, HeaderOfLevelThreeAndOfAnUnknownLevel) {
    // A level-1 header whose level byte is not one of the four levels is read as level 1 is.
    {
        Composed a;
        Bytes content = textBytes(64, 11);
        add(a, storedMember("docs/three.txt", content, someTime, 1), content);
        a.bytes[a.members[0].headerStart + 20] = 5;
        finish(a);
        Sandbox box;
        Outcome o = extract(box, a.bytes);
        checkAll(box, o, a);
        EXPECT_EQ(o.exitCode, exitOk) << o.err;
        EXPECT_EQ(test::readBinary((box.destination() / "docs/three.txt").string()), content);
    }
    // A header in the level-3 layout, made by hand: a 16-bit word size of 4 in front, 32-bit
    // header size and extended header sizes behind.
    {
        Bytes header = {0x04, 0x00, '-', 'l', 'h', '0', '-'};
        auto put32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i) header.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        Bytes content = textBytes(32, 12);
        put32(static_cast<uint32_t>(content.size()));
        put32(static_cast<uint32_t>(content.size()));
        put32(someTime);
        header.push_back(0x20);  // attribute
        header.push_back(3);     // level
        uint16_t crc = crcOf(content);
        header.push_back(static_cast<uint8_t>(crc));
        header.push_back(static_cast<uint8_t>(crc >> 8));
        header.push_back('U');
        put32(44);  // whole header
        put32(12);  // file name header: size, type, 7 bytes
        header.push_back(0x01);
        for (char ch : std::string("lvl.txt")) header.push_back(static_cast<uint8_t>(ch));
        put32(0);
        Bytes archive = header;
        archive.insert(archive.end(), content.begin(), content.end());
        archive.push_back(0);
        Sandbox box;
        Outcome o = extract(box, archive);
        checkEveryRun(box, o);
        EXPECT_EQ(o.exitCode, exitOk) << o.err;
        EXPECT_EQ(test::readBinary((box.destination() / "lvl.txt").string()), content);
    }
}

// A self-extracting file cut inside its settings block cannot be read at all.
TEST(DamagedInput, SelfExtractingFileCutInItsSettings) {
    Bytes image = test::sfxFile(nullptr, {});
    image.pop_back();  // the absent block's 0 byte
    test::SetupBlock fields;
    fields.title = "ABC";
    fields.destination = "Tool";
    Bytes settings;
    ASSERT_TRUE(appendSettingsBlock(settings, &fields));
    for (size_t cut = 0; cut < settings.size(); cut += 3) {
        SCOPED_TRACE("settings cut at " + std::to_string(cut));
        Bytes file = image;
        file.insert(file.end(), settings.begin(), settings.begin() + static_cast<long>(cut));
        Sandbox box;
        test::writeBinary(box.archive().string(), file);
        Outcome o = runNivosfx({"x", box.archive().string(), "-d", box.destination().string(), "-y"},
                               box.dir.path());
        EXPECT_EQ(o.exitCode, exitUnreadable) << o.err;
        EXPECT_EQ(lines(o.err).size(), 1u) << o.err;
        EXPECT_FALSE(fs::exists(box.destination()));
    }
}

}  // namespace
}  // namespace nivo::damaged
