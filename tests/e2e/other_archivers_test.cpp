// Archives as other archivers write them, unpacked by the nivosfx binary: level-3 headers,
// their quirks, folders stored as empty files, Unix permissions and times, and classic Mac OS
// files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/e2e/program_runner.h"
#include "tests/support/bit_writer.h"
#include "tests/support/test_support.h"
#include "tools/lzh_encoder.h"
#include "tools/lzh_writer.h"

namespace nivo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t someTime = 1300000000;

Bytes textBytes(const std::string& seed, size_t n) {
    Bytes b;
    while (b.size() < n) b.insert(b.end(), seed.begin(), seed.end());
    b.resize(n);
    return b;
}

struct Stat {
    bool exists = false;
    bool folder = false;
    int mode = 0;
    int64_t mtime = 0;
};

Stat statOf(const fs::path& p) {
    struct stat st {};
    Stat s;
    if (::lstat(p.c_str(), &st) != 0) return s;
    s.exists = true;
    s.folder = S_ISDIR(st.st_mode);
    s.mode = static_cast<int>(st.st_mode & 07777);
    s.mtime = st.st_mtime;
    return s;
}

std::string describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

RunResult run(std::vector<std::string> args) {
    RunOptions how;
    how.args = std::move(args);
    return runNivosfx(how);
}

// One archive of every kind of member below, extracted once; each member's result is checked.
TEST(OtherArchivers, EveryKindOfMemberExtracts) {
    struct Case {
        const char* what;
        LzhMember member;
        std::string path;      // where it lands
        Bytes content;         // for files
        bool folder = false;
        int mode = -1;         // expected permission bits, -1 unchecked
        int64_t mtime = someTime;
    };
    const Bytes text = textBytes("The data fork of a file from a Macintosh. ", 3000);
    const Bytes resource = textBytes("rsrc", 700);
    const Bytes mac = macBinary("Read Me", text, resource);
    auto stored = [](const std::string& name, const Bytes& data, int level, auto change) {
        LzhMember m = storedMember(name, data, someTime, level);
        change(m);
        return m;
    };
    auto same = [](LzhMember&) {};
    auto fromMac = [](LzhMember& m) { m.os = 'm'; };
    LzhMember packedMac = *compressMember(5, "packed mac.txt", mac, someTime, 2);
    packedMac.os = 'm';
    ASSERT_EQ(packedMac.method, "-lh5-");
    const Bytes a = textBytes("level three ", 500), b = textBytes("short size ", 90),
                c = textBytes("hello ", 33), d = textBytes("#!/bin/sh\n", 40);

    std::vector<Case> cases = {
        {"level 3", stored("l3/three.txt", a, 3, same), "l3/three.txt", a},
        {"level 3 with a header CRC", stored("l3/crc.txt", a, 3, [](LzhMember& m) { m.headerCrc = true; }),
         "l3/crc.txt", a},
        {"level 2 size 2 bytes short", stored("short.txt", b, 2, [](LzhMember& m) { m.shortLevel2Size = true; }),
         "short.txt", b},
        {"directory without its final separator",
         stored("subdir/subdir2/hello.txt", c, 2, [](LzhMember& m) { m.directoryWithoutSeparator = true; }),
         "subdir/subdir2/hello.txt", c},
        {"stored folder, level 0", stored("empty0/", {}, 0, same), "empty0", {}, true},
        {"stored folder, level 2", stored("nest/empty2/", {}, 2, same), "nest/empty2", {}, true},
        {"set-user bit dropped", stored("tool.sh", d, 1, [](LzhMember& m) { m.unixMode = 0104755; }),
         "tool.sh", d, false, 0755},
        {"owner always reads and writes", stored("locked", c, 2, [](LzhMember& m) { m.unixMode = 0100044; }),
         "locked", c, false, 0644},
        {"Unix time over the MS-DOS stamp",
         stored("unixtime.txt", c, 1, [](LzhMember& m) { m.extended = {unixTimeHeader(someTime + 777)}; }),
         "unixtime.txt", c, false, -1, someTime + 777},
        {"read-only folder stays writable",
         [] { LzhMember m = folderMember("ro/", someTime, 2); m.unixMode = 040555; return m; }(),
         "ro", {}, true, 0755},
        {"a file in the read-only folder", stored("ro/inside.txt", c, 2, same), "ro/inside.txt", c},
        {"Mac file, stored: the data fork", stored("mac.txt", mac, 2, fromMac), "mac.txt", text},
        {"Mac file, compressed: the data fork", packedMac, "packed mac.txt", text},
        {"Mac file, level 1", stored("mac1.txt", mac, 1, fromMac), "mac1.txt", text},
        {"Mac member that is no MacBinary", stored("plain.txt", text, 2, fromMac), "plain.txt", text},
        {"Mac member shorter than a MacBinary header", stored("tiny.txt", c, 2, fromMac), "tiny.txt", c},
        {"MacBinary from another system stays whole", stored("unixmac.bin", mac, 2, same), "unixmac.bin", mac},
        {"MacBinary whose data fork is longer than the member",
         stored("long fork.bin", Bytes(mac.begin(), mac.begin() + 1000), 2, fromMac), "long fork.bin",
         Bytes(mac.begin(), mac.begin() + 1000)},
    };
    Bytes archive;
    for (const Case& k : cases) appendMember(archive, k.member);
    appendEndMark(archive);
    TempDir tmp;
    writeBinary((tmp.path() / "all.lzh").string(), archive);
    fs::path dest = tmp.path() / "out";
    RunResult r = run({"x", (tmp.path() / "all.lzh").string(), "-d", dest.string()});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Stat s = statOf(dest / k.path);
        ASSERT_TRUE(s.exists);
        EXPECT_EQ(s.folder, k.folder);
        if (!k.folder) EXPECT_EQ(readBinary((dest / k.path).string()), k.content);
        if (k.mode >= 0) EXPECT_EQ(s.mode, k.mode);
        if (!k.folder) EXPECT_EQ(s.mtime, k.mtime);
    }
    EXPECT_FALSE(fs::exists(dest / "subdir/subdir2hello.txt"));

    // The test command reads the same archive without a problem and writes nothing.
    RunResult t = run({"t", (tmp.path() / "all.lzh").string()});
    EXPECT_EQ(t.exitCode, 0) << describe(t);
}

// The CRC-16 of count bytes of value. The CRC is affine in its state: after a block of the
// bytes it is L(state) ^ c, so the 16 columns of L and c are found once and then applied per block.
uint16_t crcOfRun(uint8_t value, uint64_t count) {
    const Bytes block(1 << 20, value);
    auto blockCrc = [&](uint16_t from) { return lzhCrc16(from, block.data(), block.size()); };
    const uint16_t c = blockCrc(0);
    uint16_t column[16];
    for (int i = 0; i < 16; ++i) column[i] = static_cast<uint16_t>(blockCrc(static_cast<uint16_t>(1u << i)) ^ c);
    uint16_t crc = 0;
    for (uint64_t n = count / block.size(); n > 0; --n) {
        uint16_t next = c;
        for (int i = 0; i < 16; ++i)
            if (crc >> i & 1) next ^= column[i];
        crc = next;
    }
    return lzhCrc16(crc, block.data(), count % block.size());
}

// A member of more than 4 GiB: its sizes stand in extended header 0x42 and are taken over the
// 32-bit fields. An -lh5- stream of 'A' and 256-byte matches at distance 1 makes the 4 GiB
// from a few kilobytes; t decodes it without writing it anywhere.
TEST(OtherArchivers, MemberLargerThan4GiB) {
    // One block of the single symbol s, repeated count times: each of the three codes has a
    // single value and costs no bits (16-bit count, empty pre-tree, single literal/length, single
    // position 0).
    auto block = [](BitWriter& w, uint16_t count, uint16_t symbol) {
        w.put(count, 16).put(0, 5).put(0, 5).put(0, 9).put(symbol, 9).put(0, 4).put(0, 4);
    };
    BitWriter w;
    block(w, 1, 'A');
    const int blocks = 258;
    for (int i = 0; i < blocks; ++i) block(w, 65535, 509);  // 509: a match of 256 bytes
    const uint64_t size = 1 + uint64_t{blocks} * 65535 * 256;
    ASSERT_GT(size, uint64_t{1} << 32);
    LzhMember m;
    m.method = "-lh5-";
    m.name = "zeros.bin";
    m.data = w.bytes();
    m.originalSize = static_cast<uint32_t>(size);  // the low 32 bits, as archivers write them
    m.largeSizes = true;
    m.largeOriginalSize = size;
    m.crc = crcOfRun('A', size);
    m.unixTime = someTime;
    Bytes archive;
    appendMember(archive, m);
    appendMember(archive, storedMember("after.txt", textBytes("behind the large one ", 100), someTime, 2));
    appendEndMark(archive);
    TempDir tmp;
    const fs::path path = tmp.path() / "large.lzh";
    writeBinary(path.string(), archive);

    RunResult l = run({"l", path.string()});
    EXPECT_EQ(l.exitCode, 0) << describe(l);
    EXPECT_NE(l.out.find(std::to_string(size)), std::string::npos) << l.out;
    RunOptions how;
    how.args = {"t", path.string()};
    how.timeoutSeconds = 300;
    RunResult t = runNivosfx(how);
    EXPECT_EQ(t.exitCode, 0) << describe(t);
    EXPECT_NE(t.out.find("No errors in 2 members"), std::string::npos) << describe(t);
}

// A member that claims more than its data holds fails cleanly at every level, with 64-bit
// sizes too: listed, no file left behind, and no run that says success.
TEST(OtherArchivers, MembersThatClaimMoreThanTheirDataFail) {
    const Bytes data = textBytes("short ", 60);
    struct Case {
        const char* what;
        int level;
        bool large;
        uint64_t claimed;  // compressed and original size
    } cases[] = {
        {"level 0", 0, false, 5000}, {"level 1", 1, false, 5000}, {"level 2", 2, false, 5000},
        {"level 3", 3, false, 5000}, {"level 2, 0x42", 2, true, 5000},
        {"level 3, 0x42 beyond 4 GiB", 3, true, uint64_t{1} << 33},
        {"level 2, 0x42 of 2^63", 2, true, uint64_t{1} << 63},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LzhMember m = storedMember("claims.txt", data, someTime, c.level);
        m.largeSizes = c.large;
        m.largeOriginalSize = c.claimed;
        if (!c.large) m.originalSize = static_cast<uint32_t>(c.claimed);
        Bytes archive = memberHeader(m, static_cast<uint32_t>(c.claimed));
        if (c.large) {
            // Extended header 0x42 comes last: its compressed size is the 16 bytes before the
            // final zero size. (The header CRC no longer holds; the reader does not check it.)
            const size_t at = archive.size() - (c.level == 3 ? 4 : 2) - 16;
            for (int i = 0; i < 8; ++i) archive[at + i] = static_cast<uint8_t>(c.claimed >> (8 * i));
        }
        archive.insert(archive.end(), data.begin(), data.end());
        TempDir tmp;
        const fs::path path = tmp.path() / "claims.lzh", dest = tmp.path() / "out";
        writeBinary(path.string(), archive);
        for (const char* command : {"t", "x"}) {
            std::vector<std::string> args = {command, path.string()};
            if (*command == 'x') args.insert(args.end(), {"-d", dest.string()});
            RunResult r = run(args);
            EXPECT_EQ(r.exitCode, 2) << command << "\n" << describe(r);
            EXPECT_NE(r.err.find("claims.txt"), std::string::npos) << r.err;
        }
        EXPECT_FALSE(fs::exists(dest / "claims.txt"));
    }
}

// l -v names each member's header level, operating system, attribute and extended headers;
// x --raw keeps a classic Mac OS file as stored.
TEST(OtherArchivers, VerboseListingAndRawMacFiles) {
    const Bytes text = textBytes("data fork ", 200);
    const Bytes mac = macBinary("Note", text, textBytes("rsrc", 50));
    LzhMember unix = storedMember("bin/tool", text, someTime, 1);
    unix.unixMode = 0100750;
    unix.extended = {unixTimeHeader(someTime)};
    LzhMember fromMac = storedMember("note.txt", mac, someTime, 3);
    fromMac.os = 'm';
    fromMac.largeSizes = true;
    LzhMember dos = storedMember("DOS.TXT", text, someTime, 0);
    LzhMember shortSize = storedMember("short.txt", text, someTime, 2);
    shortSize.shortLevel2Size = true;
    shortSize.headerCrc = false;
    Bytes archive;
    for (const LzhMember* m : {&unix, &fromMac, &dos, &shortSize}) appendMember(archive, *m);
    appendEndMark(archive);
    TempDir tmp;
    const fs::path path = tmp.path() / "a.lzh";
    writeBinary(path.string(), archive);

    RunResult l = run({"l", "-v", path.string()});
    ASSERT_EQ(l.exitCode, 0) << describe(l);
    const std::string expected[] = {
        "level 1, OS U (Unix), attribute 0x20, extended headers: 0x02 directory, 0x50 permissions 0750, 0x54 Unix time",
        "level 3, OS m (Mac OS), attribute 0x20, extended headers: 0x00 header CRC, 0x01 file name, 0x42 64-bit sizes",
        "level 0, OS not given, attribute 0x20, extended headers: none",
        "level 2, OS U (Unix), attribute 0x20, extended headers: 0x01 file name; header size stated 2 bytes short",
    };
    size_t at = 0;
    for (const std::string& line : expected) {
        size_t found = l.out.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\nin\n" << l.out;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(run({"l", path.string()}).out.find("extended headers"), std::string::npos);

    const fs::path raw = tmp.path() / "raw", plain = tmp.path() / "plain";
    RunResult x = run({"x", path.string(), "-d", raw.string(), "--raw"});
    EXPECT_EQ(x.exitCode, 0) << describe(x);
    EXPECT_EQ(readBinary((raw / "note.txt").string()), mac);
    x = run({"x", path.string(), "-d", plain.string()});
    EXPECT_EQ(x.exitCode, 0) << describe(x);
    EXPECT_EQ(readBinary((plain / "note.txt").string()), text);
}

// Self-extracting files of other makers: their own program first, the archive somewhere
// behind it. The program holds method identifiers of its own (a table of names, a header
// template) that must not be taken for the archive.
TEST(OtherArchivers, SelfExtractingFilesOfOtherMakers) {
    const Bytes one = textBytes("first member ", 700), two = textBytes("second ", 300);
    auto archiveOf = [&](int level, bool headerCrc) {
        Bytes a;
        for (auto [name, data] : {std::pair{"one.txt", &one}, std::pair{"dir/two.txt", &two}}) {
            LzhMember m = storedMember(name, *data, someTime, level);
            m.headerCrc = headerCrc;
            appendMember(a, m);
        }
        appendEndMark(a);
        return a;
    };
    auto program = [](const std::string& magic, size_t size) {
        Bytes p(size);
        for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i * 131 + 7);
        std::copy(magic.begin(), magic.end(), p.begin());
        // A method table as an extractor's code carries it.
        const std::string table = "-lh0-\0-lh1-\0-lh5-\0-lhd-\0-lz5-";
        std::copy(table.begin(), table.end(), p.begin() + 300);
        return p;
    };
    // A header left in the program as a template: level 2, sound but for its header CRC.
    auto decoyHeader = [] {
        LzhMember m = storedMember("decoy.txt", {}, someTime, 2);
        m.headerCrc = true;
        Bytes b;
        appendMember(b, m);
        b[27] ^= 0x55;  // the CRC no longer matches
        return b;
    };
    // A level-0 header whose checksum is wrong.
    auto badChecksum = [] {
        Bytes b;
        appendMember(b, storedMember("bad.txt", {1, 2, 3}, someTime, 0));
        b[1] ^= 1;
        return b;
    };
    struct Case {
        const char* what;
        Bytes program;
        Bytes decoy;
        Bytes archive;
    } cases[] = {
        {"MS-DOS program, level 0", program("MZ", 24000), badChecksum(), archiveOf(0, false)},
        {"Windows program smaller than ours, level 1", program("MZ", 9000), badChecksum(), archiveOf(1, false)},
        {"Windows program, level 2 with header CRCs", program("MZ", 40000), decoyHeader(), archiveOf(2, true)},
        {"Amiga program, level 1", program(std::string("\0\0\x03\xF3", 4), 5000), {}, archiveOf(1, false)},
        {"X68000 program, level 2 without header CRC", program("HU", 7000), decoyHeader(), archiveOf(2, false)},
        {"Atari program, level 3", program("\x60\x1A", 3000), {}, archiveOf(3, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = c.program;
        file.insert(file.end(), c.decoy.begin(), c.decoy.end());
        const size_t archiveAt = file.size();
        file.insert(file.end(), c.archive.begin(), c.archive.end());
        TempDir tmp;
        const fs::path path = tmp.path() / "other.exe";
        writeBinary(path.string(), file);

        RunResult l = run({"l", path.string()});
        EXPECT_EQ(l.exitCode, 0) << describe(l);
        EXPECT_NE(l.out.find("another maker, archive at offset " + std::to_string(archiveAt)), std::string::npos)
            << l.out;
        EXPECT_EQ(l.out.find("decoy"), std::string::npos) << l.out;
        EXPECT_EQ(l.out.find("bad.txt"), std::string::npos) << l.out;

        const fs::path dest = tmp.path() / "out";
        RunResult x = run({"x", path.string(), "-d", dest.string()});
        EXPECT_EQ(x.exitCode, 0) << describe(x);
        EXPECT_NE(x.out.find("archive at offset " + std::to_string(archiveAt)), std::string::npos) << x.out;
        EXPECT_EQ(readBinary((dest / "one.txt").string()), one);
        EXPECT_EQ(readBinary((dest / "dir/two.txt").string()), two);

        // Through a pipe the search needs a copy, in TMPDIR; where none can be kept, it says why.
        RunOptions piped;
        piped.args = {"t", "-"};
        piped.stdinText = std::string(file.begin(), file.end());
        piped.extraEnv = {"TMPDIR=" + tmp.path().string()};
        RunResult t = runNivosfx(piped);
        EXPECT_EQ(t.exitCode, 0) << describe(t);
        EXPECT_NE(t.out.find("archive at offset " + std::to_string(archiveAt)), std::string::npos) << t.out;
        piped.extraEnv = {"TMPDIR=" + (tmp.path() / "missing").string()};
        t = runNivosfx(piped);
        EXPECT_EQ(t.exitCode, 9) << describe(t);
        EXPECT_NE(t.err.find("No such file"), std::string::npos) << t.err;
    }

    // A program that carries an archive of its own in its code (its usage text): the payload is
    // the archive that runs to the end of the file, or that only a signature follows.
    Bytes usage;
    appendMember(usage, storedMember("usage.txt", textBytes("usage: ", 40), someTime, 0));
    appendEndMark(usage);
    Bytes signature = {0x10, 0, 0, 0, 0, 2, 2, 0};  // length 16, revision 2, type 2
    signature.resize(16, 0xAB);
    struct Carrier {
        const char* what;
        Bytes tail;  // behind the payload
    } carriers[] = {{"Amiga program with its usage text", {}}, {"and a signature behind the payload", signature}};
    for (const Carrier& c : carriers) {
        SCOPED_TRACE(c.what);
        Bytes file = program(std::string("\0\0\x03\xF3", 4), 4000);
        const size_t usageAt = file.size();
        file.insert(file.end(), usage.begin(), usage.end());
        file.resize(file.size() + 3000, 0x4E);  // more code
        const size_t archiveAt = file.size();
        const Bytes payload = archiveOf(1, false);
        file.insert(file.end(), payload.begin(), payload.end());
        file.insert(file.end(), c.tail.begin(), c.tail.end());
        TempDir tmp;
        const fs::path path = tmp.path() / "amiga";
        writeBinary(path.string(), file);
        RunResult l = run({"l", path.string()});
        EXPECT_EQ(l.exitCode, 0) << describe(l);
        EXPECT_NE(l.out.find("archive at offset " + std::to_string(archiveAt) +
                             " (the one that runs to the end of the file; passed over the one at offset " +
                             std::to_string(usageAt) + ")"),
                  std::string::npos)
            << l.out;
        EXPECT_EQ(l.out.find("usage.txt"), std::string::npos) << l.out;
        const fs::path dest = tmp.path() / "out";
        RunResult x = run({"x", path.string(), "-d", dest.string()});
        EXPECT_EQ(x.exitCode, 0) << describe(x);
        EXPECT_EQ(readBinary((dest / "dir/two.txt").string()), two);
        EXPECT_FALSE(fs::exists(dest / "usage.txt"));
    }

    // Our own layout is tried first and named; a file with no archive anywhere is no success.
    TempDir tmp;
    const fs::path own = tmp.path() / "own.exe";
    writeBinary(own.string(), sfxFile(nullptr, archiveOf(2, false)));
    RunResult l = run({"l", own.string()});
    EXPECT_EQ(l.exitCode, 0) << describe(l);
    EXPECT_NE(l.out.find("Nivo SFX self-extracting file, archive at offset 19969"), std::string::npos) << l.out;
    const fs::path none = tmp.path() / "none.exe";
    writeBinary(none.string(), program("MZ", 30000));
    RunResult x = run({"x", none.string(), "-d", (tmp.path() / "none").string()});
    EXPECT_EQ(x.exitCode, 9) << describe(x);
    EXPECT_NE(x.err.find("not an LZH archive"), std::string::npos) << x.err;
    EXPECT_FALSE(fs::exists(tmp.path() / "none"));
}

}  // namespace
}  // namespace nivo::test
