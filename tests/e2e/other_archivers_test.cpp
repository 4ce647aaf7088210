// Archives as other archivers write them, unpacked by the nivosfx binary: level-3 headers,
// their quirks, folders stored as empty files, Unix permissions and times, and classic Mac OS
// files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/e2e/program_runner.h"
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
        {"set-user bit dropped", stored("tool.sh", d, 1, [](LzhMember& m) { m.extended = {unixModeHeader(0104755)}; }),
         "tool.sh", d, false, 0755},
        {"owner always reads and writes", stored("locked", c, 2, [](LzhMember& m) { m.extended = {unixModeHeader(0100044)}; }),
         "locked", c, false, 0644},
        {"Unix time over the MS-DOS stamp",
         stored("unixtime.txt", c, 1, [](LzhMember& m) { m.extended = {unixTimeHeader(someTime + 777)}; }),
         "unixtime.txt", c, false, -1, someTime + 777},
        {"read-only folder stays writable",
         [] { LzhMember m = folderMember("ro/", someTime, 2); m.extended = {unixModeHeader(040555)}; return m; }(),
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

}  // namespace
}  // namespace nivo::test
