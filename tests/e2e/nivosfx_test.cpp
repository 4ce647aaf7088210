// The nivosfx binary run as a user runs it: on the corpus, and on self-extracting files and
// archives composed here. Each test checks the exit code, the files written and their times,
// what was refused, and what reached the terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iconv.h>
#include <map>
#include <optional>
#include <pty.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/program_runner.h"
#include "tests/support/bit_writer.h"
#include "tests/support/test_support.h"
#include "tools/lzh_encoder.h"
#include "tools/lzh_writer.h"

namespace nivo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t someTime = 1300000000;  // 2011-03-13 07:06:40 UTC

void writeText(const fs::path& p, const std::string& s) {
    writeBinary(p.string(), bytesOf(s));
}

// Member names are code page 932 in the archive and UTF-8 on disk.
std::string recode(const char* to, const char* from, const std::string& s) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return s;
    std::string out(s.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(s.data());
    size_t inLeft = s.size(), outLeft = out.size();
    char* o = out.data();
    size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return s;
    out.resize(out.size() - outLeft);
    return out;
}

std::string utf8FromCp932(const std::string& s) {
    return recode("UTF-8", "CP932", s);
}

std::string cp932FromUtf8(const std::string& s) {
    return recode("CP932", "UTF-8", s);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int64_t mtimeOf(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return -1;
    return st.st_mtime;
}

// What a folder holds, recursively: relative path -> kind, size, time and (for files up to a
// few megabytes) the SHA-256 of the contents. Links are recorded, not followed.
struct Entry {
    bool folder = false;
    uintmax_t size = 0;
    int64_t mtime = 0;
    std::string sha256;
    uint32_t mode = 0;  // permission bits
    bool operator==(const Entry&) const = default;
};
using Tree = std::map<std::string, Entry>;

Tree snapshot(const fs::path& root) {
    Tree t;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
        Entry e;
        e.folder = it->is_directory() && !it->is_symlink();
        e.mtime = mtimeOf(it->path());
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0) e.mode = st.st_mode & 07777;
        if (it->is_symlink()) {
            e.sha256 = "link to " + fs::read_symlink(it->path()).string();
        } else if (!e.folder) {
            e.size = it->file_size();
            if (e.size <= (8u << 20)) e.sha256 = sha256Hex(readBinary(it->path().string()));
        }
        t[fs::relative(it->path(), root).string()] = e;
    }
    return t;
}

std::set<std::string> filesIn(const Tree& t) {
    std::set<std::string> s;
    for (const auto& [name, e] : t)
        if (!e.folder) s.insert(name);
    return s;
}

Bytes archiveOf(const std::vector<LzhMember>& members) {
    Bytes a;
    for (const LzhMember& m : members) appendMember(a, m);
    appendEndMark(a);
    return a;
}

LzhMember unknownMember(const std::string& name, const std::string& data) {
    LzhMember m = storedMember(name, bytesOf(data), someTime);
    m.method = "-lh9-";
    return m;
}

// A -lh5- block whose three codes are single values: every symbol of the block is symbol and
// costs no bits. Fields: 16-bit symbol count; pre-tree count 0 (5 bits) and its value; literal/
// length count 0 (9 bits) and the symbol; position count 0 (4 bits) and the value 0, so every
// match has distance 1.
void putSingleValueBlock(BitWriter& w, uint16_t count, uint16_t symbol) {
    w.put(count, 16).put(0, 5).put(0, 5).put(0, 9).put(symbol, 9).put(0, 4).put(0, 4);
}

// A -lh5- member of one literal 'A' followed by runs of 256-byte matches at distance 1: about
// 16 MB of 'A' per block from 7 bytes of data, so large output costs nothing to compose.
LzhMember lh5RunOfA(const std::string& name, int blocks) {
    BitWriter w;
    putSingleValueBlock(w, 1, 'A');
    const uint16_t perBlock = 65535;
    for (int i = 0; i < blocks; ++i) putSingleValueBlock(w, perBlock, 509);  // 509: length 256
    LzhMember m;
    m.method = "-lh5-";
    m.name = name;
    m.data = w.bytes();
    uint64_t size = 1 + uint64_t(blocks) * perBlock * 256;
    m.originalSize = static_cast<uint32_t>(size);
    std::vector<uint8_t> chunk(1 << 20, 'A');
    uint16_t crc = 0;
    for (uint64_t done = 0; done < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
        crc = lzhCrc16(crc, chunk.data(), n);
        done += n;
    }
    m.crc = crc;
    m.unixTime = someTime;
    return m;
}

// Writes a plain archive whose member `name` is a stored run of `size` zero bytes, with the
// members `before` ahead of it and `after` behind it. The zeros are a hole in the file, so a
// member of hundreds of megabytes costs no time or disk to compose.
void writeArchiveWithHole(const fs::path& path, const std::vector<LzhMember>& before, const std::string& name,
                          uint32_t size, const std::vector<LzhMember>& after) {
    Bytes head;
    for (const LzhMember& m : before) appendMember(head, m);
    LzhMember big = storedMember(name, {}, someTime, 2);
    big.originalSize = size;
    big.crc = 0;  // the CRC-16 of zeros from the initial value 0
    size_t headerAt = head.size();
    appendMember(head, big);
    // The level-2 header carries no checksum, so its compressed size is set in place.
    for (int i = 0; i < 4; ++i) head[headerAt + 7 + i] = static_cast<uint8_t>(size >> (8 * i));
    Bytes tail;
    for (const LzhMember& m : after) appendMember(tail, m);
    appendEndMark(tail);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(size), SEEK_CUR), static_cast<off_t>(head.size() + size));
    ASSERT_EQ(::write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    ::close(fd);
}

// Every line of the output, for checks that a name never starts a line of its own.
std::vector<std::string> linesOf(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i)
        if (i == s.size() || s[i] == '\n') {
            lines.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    return lines;
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// The line of the output that starts with label, or "".
std::string lineStartingWith(const std::string& out, const std::string& label) {
    for (const std::string& l : linesOf(out))
        if (l.rfind(label, 0) == 0) return l;
    return "";
}

RunResult run(std::vector<std::string> args, const fs::path& cwd = {}, const std::string& stdinText = "") {
    RunOptions how;
    how.args = std::move(args);
    how.cwd = cwd;
    how.stdinText = stdinText;
    return runNivosfx(how);
}

std::string describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err;
}

std::string paramName(const std::string& path) {
    std::string base = path.substr(corpusDir().size() + 1);
    std::string out;
    for (char c : base) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return out;
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The entries in which two trees differ, by name.
std::string treeDifference(const Tree& a, const Tree& b) {
    std::string names;
    for (const auto& [name, e] : a)
        if (!b.count(name) || !(b.at(name) == e)) names += " " + name;
    for (const auto& [name, e] : b)
        if (!a.count(name)) names += " " + name;
    return names;
}

// Runs t and x on the archive with --threads 1, 2 and 4: the exit code, what is printed (the
// destination's name aside) and the files written with their contents, times and permissions
// must all be the same. prepare readies each destination first (old files, obstacles); how
// gives the rest of the run. Times of the run itself (folders made without an entry) count as
// one. Returns the exit code of x.
int expectSameOnEveryThreadCount(const fs::path& archive, const std::vector<std::string>& extra = {},
                                  void (*prepare)(const fs::path&) = nullptr, const RunOptions& how = {}) {
    const int64_t started = std::time(nullptr);
    int exitCode = -1;
    for (const std::string command : {"t", "x"}) {
        std::optional<RunResult> first;
        Tree firstFiles;
        for (const char* threads : {"1", "2", "4"}) {
            SCOPED_TRACE(command + " --threads " + threads);
            TempDir tmp;
            fs::path dest = tmp.path() / "out";
            fs::create_directories(dest);
            if (prepare) prepare(dest);
            RunOptions r = how;
            r.cwd = tmp.path();
            r.args = {command, archive.string(), "--threads", threads};
            if (command == "x") r.args.insert(r.args.end(), {"-d", dest.string()});
            r.args.insert(r.args.end(), extra.begin(), extra.end());
            RunResult got = runNivosfx(r);
            got.out = replaceAll(got.out, dest.string(), "DEST");
            got.err = replaceAll(got.err, dest.string(), "DEST");
            Tree files = snapshot(dest);
            for (auto& [name, e] : files)
                if (e.mtime >= started) e.mtime = 0;
            if (!first) {
                EXPECT_FALSE(got.timedOut);
                exitCode = got.exitCode;
                first = got;
                firstFiles = files;
                continue;
            }
            EXPECT_EQ(got.exitCode, first->exitCode) << describe(got);
            EXPECT_EQ(got.out, first->out);
            EXPECT_EQ(got.err, first->err);
            EXPECT_TRUE(files == firstFiles) << "differ:" << treeDifference(files, firstFiles);
        }
    }
    return exitCode;
}

// ---------------------------------------------------------------------------------------------
// The corpus: every archive extracts to exactly the manifest's files.

class GeneratedCorpusExtraction : public testing::TestWithParam<CorpusArchive> {};

TEST_P(GeneratedCorpusExtraction, WritesTheManifestsNamesBytesAndTimes) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    TempDir tmp;
    fs::path dest = tmp.path() / "out";
    RunResult r = run({"x", a.path, "-d", dest.string()});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    Tree t = snapshot(dest);

    std::set<std::string> expectedFiles;
    for (const ExpectedMember& e : a.members) {
        std::string name = utf8FromCp932(e.name);
        if (e.folder) {
            name.pop_back();  // the trailing "/"
            SCOPED_TRACE(name);
            ASSERT_TRUE(t.count(name)) << "folder missing";
            EXPECT_TRUE(t[name].folder);
            EXPECT_EQ(t[name].mtime, e.mtime);
            continue;
        }
        SCOPED_TRACE(name);
        expectedFiles.insert(name);
        auto it = t.find(name);
        ASSERT_NE(it, t.end()) << "file missing";
        EXPECT_EQ(it->second.size, e.size);
        EXPECT_EQ(it->second.sha256, e.sha256);
        EXPECT_EQ(it->second.mtime, e.mtime);
    }
    EXPECT_EQ(filesIn(t), expectedFiles);
}

TEST_P(GeneratedCorpusExtraction, TestCommandPasses) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    TempDir tmp;
    RunResult r = run({"t", a.path}, tmp.path());
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(fs::is_empty(tmp.path())) << "the test command wrote files";
}

TEST_P(GeneratedCorpusExtraction, ThreadsChangeNothing) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    expectSameOnEveryThreadCount(a.path);
}

std::vector<CorpusArchive> generatedOrPlaceholder() {
    auto v = generatedArchives();
    if (v.empty()) v.push_back(CorpusArchive{});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Corpus, GeneratedCorpusExtraction, testing::ValuesIn(generatedOrPlaceholder()),
                         [](const auto& p) { return p.param.path.empty() ? "absent" : paramName(p.param.path); });

// Entries of the real corpus's manifest that no extractor can produce from the archive: dos2/
// lz4.lzs holds one member, gpl-2.gz, and the manifest's second file "lz4" is that member
// unpacked once more by gzip (its SHA-256 is that of gpl-2), an extra step of an extractor
// behind the manifest.
const std::set<std::pair<std::string, std::string>> notInTheArchive = {{"dos2/lz4.lzs", "lz4"}};

class RealCorpusExtraction : public testing::TestWithParam<CorpusArchive> {};

TEST_P(RealCorpusExtraction, WritesTheManifestsFiles) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    std::string key = a.path.substr(corpusDir().size() + std::string("/real/").size());
    TempDir tmp;
    fs::path dest = tmp.path() / "out";
    RunResult r = run({"x", a.path, "-d", dest.string()});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    Tree t = snapshot(dest);
    // Names are compared in lower case: MS-DOS archivers store upper-case names.
    std::map<std::string, Entry> written;
    for (const auto& [name, e] : t)
        if (!e.folder) written[lower(name)] = e;
    std::set<std::string> expected;
    for (const ExpectedMember& e : a.members) {
        if (notInTheArchive.count({key, e.name})) continue;
        SCOPED_TRACE(e.name);
        expected.insert(e.name);
        auto it = written.find(e.name);
        ASSERT_NE(it, written.end()) << "file missing";
        // The manifest records an empty file where the extractors behind it could not read the
        // member. For those the run's own CRC-16 check, which a clean exit implies, speaks.
        if (e.sha256 == sha256Hex(nullptr, 0)) {
            EXPECT_TRUE(it->second.size == 0 || r.exitCode == 0);
        } else {
            EXPECT_EQ(it->second.sha256, e.sha256);
        }
    }
    std::set<std::string> names;
    for (const auto& [name, e] : written) names.insert(name);
    EXPECT_EQ(names, expected);
}

TEST_P(RealCorpusExtraction, TestCommandPasses) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    RunResult r = run({"t", a.path});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
}

TEST_P(RealCorpusExtraction, ThreadsChangeNothing) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    expectSameOnEveryThreadCount(a.path);
}

// The regression archives, which state what must happen instead, have a test of their own.
std::vector<CorpusArchive> realOrPlaceholder() {
    std::vector<CorpusArchive> v;
    for (CorpusArchive& a : realArchives())
        if (a.expect.empty()) v.push_back(std::move(a));
    if (v.empty()) v.push_back(CorpusArchive{});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Corpus, RealCorpusExtraction, testing::ValuesIn(realOrPlaceholder()),
                         [](const auto& p) { return p.param.path.empty() ? "absent" : paramName(p.param.path); });

// The hand-made regression archives: paths that climb out or are absolute, and an archive cut
// off inside a member. Nothing may be written outside the destination.
TEST(RegressionArchives, StayInsideTheDestinationAndReportDamage) {
    NIVO_REQUIRE_CORPUS();
    struct Case {
        const char* archive;
        int exitCode;
        std::set<std::string> filesInside;        // exactly these, unless checkFiles is false
        bool checkFiles;
        std::vector<std::string> namedOnStderr;   // members the run reports
    };
    const Case cases[] = {
        {"dotdot.lzh", 2, {}, true, {"../evil1.txt", "foo/../../evil2.txt"}},
        {"abspath.lzh", 0, {"tmp/absolute_path.txt"}, true, {}},
        // Whether the part before the cut is kept is the member's business; it must be reported.
        {"truncated.lzh", 2, {}, false, {"GPL-2"}},
    };
    const fs::path absolute = "/tmp/absolute_path.txt";
    const bool absoluteExisted = fs::exists(absolute);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        TempDir tmp;
        fs::path parent = tmp.path() / "parent";
        fs::path dest = parent / "dest";
        fs::create_directories(dest);
        writeText(parent / "neighbour.txt", "untouched");
        Tree before = snapshot(parent);
        before.erase("dest");
        RunResult r = run({"x", corpusDir() + "/real/regression/" + c.archive, "-d", dest.string()}, parent);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        for (const std::string& name : c.namedOnStderr) EXPECT_TRUE(contains(r.err, name)) << describe(r);
        Tree after = snapshot(parent);
        for (auto it = after.begin(); it != after.end();)
            it = it->first == "dest" || it->first.rfind("dest/", 0) == 0 ? after.erase(it) : std::next(it);
        EXPECT_EQ(after, before) << "something was written outside the destination";
        if (c.checkFiles) { EXPECT_EQ(filesIn(snapshot(dest)), c.filesInside); }
        RunResult test = run({"t", corpusDir() + "/real/regression/" + c.archive});
        EXPECT_EQ(test.exitCode == 0, c.exitCode == 0) << describe(test);
        expectSameOnEveryThreadCount(corpusDir() + "/real/regression/" + c.archive);
    }
    if (!absoluteExisted) {
        EXPECT_FALSE(fs::exists(absolute)) << "an absolute member path was followed";
    }
}

// ---------------------------------------------------------------------------------------------
// Self-extracting files: the setup played in the terminal.

Bytes smallArchive() {
    return archiveOf({storedMember("readme.txt", bytesOf("read me\n"), someTime),
                      storedMember("sub/data.bin", bytesOf("data"), someTime + 60, 1)});
}

// A folder to run in, with the self-extracting file beside it (not inside).
struct SetupRun {
    TempDir tmp;
    fs::path file = tmp.path() / "setup.exe";
    fs::path cwd = tmp.path() / "work";
    fs::path home = tmp.path() / "home";
    fs::path bin = tmp.path() / "bin";

    SetupRun(const SetupBlock* settings, const Bytes& archive) {
        writeBinary(file.string(), sfxFile(settings, archive));
        fs::create_directories(cwd);
        fs::create_directories(home);
        fs::create_directories(bin);
    }
    RunResult operator()(std::vector<std::string> args, const std::string& stdinText = "") {
        RunOptions how;
        how.args = {"x", file.string()};
        how.args.insert(how.args.end(), args.begin(), args.end());
        how.cwd = cwd;
        how.stdinText = stdinText;
        // A home of its own, so that anything made for a desktop would be found, and a PATH
        // whose first folder holds the test's xdg-open.
        how.extraEnv = {"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / ".config").string(),
                         "XDG_DATA_HOME=" + (home / ".local/share").string(),
                         "PATH=" + bin.string() + ":/usr/bin:/bin"};
        return runNivosfx(how);
    }
    // An xdg-open that records its argument in the marker file instead of opening anything.
    fs::path installFakeXdgOpen() {
        fs::path marker = tmp.path() / "opened";
        fs::path script = bin / "xdg-open";
        writeText(script, "#!/bin/sh\nprintf '%s' \"$1\" > '" + marker.string() + "'\n");
        fs::permissions(script, fs::perms::owner_all);
        return marker;
    }
};

TEST(SetupDefaults, DestinationIsTheSettingsTextWithoutDriveUnderTheCurrentFolder) {
    struct Case {
        const char* destinationUtf8;  // the settings text, written as code page 932
        uint8_t programFilesFlag;
        const char* expected;         // relative to the current folder
    };
    const Case cases[] = {
        {"C:\\Apps\\Tool", 0, "Apps/Tool"},
        {"Apps\\Tool", 1, "Apps/Tool"},  // no Program Files here
        {"Tool", 0, "Tool"},
        {"D:Tool", 0, "Tool"},
        {"\\Top\\Level", 0, "Top/Level"},
        {"", 0, "."},
        // "ソ" is 0x83 0x5C in code page 932: its second byte is not a separator.
        {"ソフト\\表示", 0, "ソフト/表示"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destinationUtf8);
        SetupBlock s;
        s.title = "Tool setup";
        s.programFilesFlag = c.programFilesFlag;
        s.destination = cp932FromUtf8(c.destinationUtf8);
        SetupRun setup(&s, smallArchive());
        RunResult r = setup({"-y"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        fs::path dest = setup.cwd / c.expected;
        EXPECT_EQ(textOf(dest / "readme.txt"), "read me\n");
        EXPECT_EQ(textOf(dest / "sub/data.bin"), "data");
        EXPECT_EQ(mtimeOf(dest / "sub/data.bin"), someTime + 60);
        EXPECT_EQ(filesIn(snapshot(setup.cwd)).size(), 2u) << "files outside the destination";
        EXPECT_TRUE(contains(r.err, "Tool setup")) << describe(r);
    }
}

// A destination that climbs out of the current folder is refused: nivosfx asks for one
// instead, and with -y it stops and says to give -d. Nothing is written anywhere.
TEST(SetupDefaults, ADestinationThatClimbsOutIsRefused) {
    for (const char* destination : {"..\\..\\x", "C:\\..\\..\\x", "\\\\srv\\..\\x", "a\\..\\b",
                                    "x\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\tmp\\nivo-climb"}) {
        SCOPED_TRACE(destination);
        SetupBlock s;
        s.destination = destination;
        SetupRun setup(&s, smallArchive());
        Tree before = snapshot(setup.tmp.path());
        RunResult r = setup({"-y"});
        EXPECT_EQ(r.exitCode, 10) << describe(r);
        EXPECT_TRUE(contains(r.err, "-d")) << describe(r);
        EXPECT_EQ(snapshot(setup.tmp.path()), before) << "something was written";
        EXPECT_FALSE(fs::exists("/tmp/nivo-climb"));
        // Asked instead, the user may name any folder; with no answer nothing happens.
        r = setup({}, "");
        EXPECT_EQ(r.exitCode, 10) << describe(r);
        EXPECT_EQ(snapshot(setup.tmp.path()), before) << "something was written";
        fs::path chosen = setup.tmp.path() / "chosen";
        r = setup({}, chosen.string() + "\n");
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_EQ(textOf(chosen / "readme.txt"), "read me\n");
    }
}

TEST(SetupDefaults, WithoutSettingsUnpacksIntoTheCurrentFolderWithoutAsking) {
    SetupRun setup(nullptr, smallArchive());
    RunResult r = setup({}, "somewhere/else\ny\n");
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(filesIn(snapshot(setup.cwd)), (std::set<std::string>{"readme.txt", "sub/data.bin"}));
    EXPECT_FALSE(contains(r.out + r.err, "somewhere")) << describe(r);
}

TEST(SetupDefaults, DashDOverridesTheSettingsDestination) {
    SetupBlock s;
    s.destination = "C:\\Apps\\Tool";
    SetupRun setup(&s, smallArchive());
    fs::path dest = setup.tmp.path() / "chosen";
    RunResult r = setup({"-y", "-d", dest.string()});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(filesIn(snapshot(dest)), (std::set<std::string>{"readme.txt", "sub/data.bin"}));
    EXPECT_TRUE(fs::is_empty(setup.cwd));
}

// The answers a user types: the destination first, then each option that is offered. An empty
// answer or the end of input keeps the default.
TEST(SetupQuestions, AnswersOnStdinChooseTheDestinationAndTheOptions) {
    struct Case {
        const char* name;
        uint8_t options[3];        // Start menu, Desktop, Send To
        std::string answers;
        const char* destination;   // relative to the current folder
        bool chosen[3];            // what the run reports as asked for
    };
    const Case cases[] = {
        {"typed destination", {0, 0, 0}, "typed/here\n", "typed/here", {false, false, false}},
        {"defaults by empty answers", {1, 3, 2}, "\n\n\n", "Default", {false, true, true}},
        {"end of input keeps defaults", {1, 3, 2}, "", "Default", {false, true, true}},
        {"offered options toggled", {1, 3, 2}, "\ny\nn\n", "Default", {true, false, true}},
        {"fixed options cannot be changed", {0, 2, 3}, "\nn\n", "Default", {false, true, false}},
    };
    const char* labels[3] = {"Start menu entry", "Desktop shortcut", "Send To entry"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetupBlock s;
        s.destination = "Default";
        s.shortcutTarget = "tool.exe";
        s.startMenuOption = c.options[0];
        s.desktopOption = c.options[1];
        s.sendToOption = c.options[2];
        SetupRun setup(&s, smallArchive());
        RunResult r = setup({}, c.answers);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_EQ(textOf(setup.cwd / c.destination / "readme.txt"), "read me\n") << describe(r);
        std::string asked = lineStartingWith(r.out, "Shortcuts cannot be made");
        for (int i = 0; i < 3; ++i) EXPECT_EQ(contains(asked, labels[i]), c.chosen[i]) << labels[i] << "\n" << r.out;
        bool anyChosen = c.chosen[0] || c.chosen[1] || c.chosen[2];
        EXPECT_EQ(contains(asked, "tool.exe"), anyChosen) << r.out;
    }
}

// Bit 0 offers an option (the user may change it), bit 1 chooses it; bits 2 to 7 mean nothing.
TEST(SetupQuestions, OptionBytesShowAsTheDialogWould) {
    struct Case {
        uint8_t byte;
        bool chosen;
        bool fixed;
    };
    const Case cases[] = {{0, false, true}, {1, false, false}, {2, true, true},
                          {3, true, false}, {0xFC, false, true}, {0xFF, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.byte));
        SetupBlock s;
        s.shortcutTarget = "tool.exe";
        s.startMenuOption = c.byte;
        s.desktopOption = c.byte;
        s.sendToOption = c.byte;
        SetupRun setup(&s, smallArchive());
        RunResult r = setup({"-y"});
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        for (const char* label : {"Start menu entry", "Desktop shortcut", "Send To entry"}) {
            std::string line = lineStartingWith(r.err, std::string(label) + ":");
            ASSERT_FALSE(line.empty()) << label << "\n" << r.err;
            EXPECT_EQ(contains(line, "yes"), c.chosen) << line;
            EXPECT_EQ(contains(line, "no"), !c.chosen) << line;
            EXPECT_EQ(contains(line, "fixed"), c.fixed) << line;
        }
        // Asked without -y: only the offered ones are questions.
        RunResult asked = setup({"-d", (setup.tmp.path() / "again").string()}, "\n\n\n");
        EXPECT_EQ(asked.exitCode, 0) << describe(asked);
        size_t questions = 0;
        for (size_t at = asked.err.find("]: "); at != std::string::npos; at = asked.err.find("]: ", at + 1))
            ++questions;
        EXPECT_EQ(questions, c.fixed ? 0u : 3u) << asked.err;
    }
}

TEST(SetupActions, ShortcutsAreReportedAndNeverMade) {
    SetupBlock s;
    s.destination = "App";
    s.shortcutTarget = "bin\\tool.exe";
    s.startMenuOption = 3;
    s.desktopOption = 2;
    s.sendToOption = 3;
    SetupRun setup(&s, smallArchive());
    RunResult r = setup({"-y"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(contains(r.out, "tool.exe")) << r.out;
    EXPECT_TRUE(fs::is_empty(setup.home)) << "something was made in the home folder";
    EXPECT_EQ(filesIn(snapshot(setup.cwd)), (std::set<std::string>{"App/readme.txt", "App/sub/data.bin"}));
}

TEST(SetupActions, TheFileToOpenIsNamedButOnlyOpenedWithOpen) {
    // The named file is a script that would leave a trace if anything ran it.
    auto archiveWith = [](const fs::path& trace, bool damaged) {
        std::vector<LzhMember> members = {
            storedMember("bin/start.sh", bytesOf("#!/bin/sh\ntouch '" + trace.string() + "'\n"), someTime)};
        if (damaged) members.push_back(unknownMember("odd.bin", "xxxx"));
        return archiveOf(members);
    };
    struct Case {
        const char* name;
        bool open;
        bool damaged;
        bool opened;
        int exitCode;
        const char* launch = "bin\\start.sh";
        bool xdgOpenFails = false;
    };
    const Case cases[] = {
        {"named only", false, false, false, 0},
        {"opened with --open", true, false, true, 0},
        {"never after a run with problems", true, true, false, 2},
        {"never outside the destination", true, false, false, 0, "..\\App\\bin\\start.sh"},
        {"a leading separator stays inside", true, false, true, 0, "\\bin\\start.sh"},
        {"xdg-open failing is an error", true, false, false, 2, "bin\\start.sh", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir traceDir;
        fs::path trace = traceDir.path() / "started";
        SetupBlock s;
        s.destination = "App";
        s.launchCommand = c.launch;
        SetupRun setup(&s, archiveWith(trace, c.damaged));
        fs::path marker = setup.installFakeXdgOpen();
        if (c.xdgOpenFails) writeText(setup.bin / "xdg-open", "#!/bin/sh\nexit 4\n");
        std::vector<std::string> args = {"-y"};
        if (c.open) args.push_back("--open");
        RunResult r = setup(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        if (!c.opened) {
            EXPECT_TRUE(contains(r.out + r.err, "start.sh")) << describe(r);
        }
        EXPECT_FALSE(fs::exists(trace)) << "the file was started";
        ASSERT_EQ(fs::exists(marker), c.opened) << describe(r);
        if (c.opened) { EXPECT_EQ(fs::path(textOf(marker)), fs::canonical(setup.cwd / "App/bin/start.sh")); }
    }
}

// ---------------------------------------------------------------------------------------------
// Members that cannot be extracted, and runs that cannot finish.

TEST(MemberProblems, UnknownMethodIsListedAndTheRestExtracted) {
    TempDir tmp;
    fs::path archive = tmp.path() / "a.lzh";
    writeBinary(archive.string(), archiveOf({storedMember("first.txt", bytesOf("one"), someTime),
                                             unknownMember("odd.bin", "not to be written"),
                                             unknownMember("keep.txt", "nor this"),
                                             storedMember("last.txt", bytesOf("three"), someTime, 0)}));
    fs::path dest = tmp.path() / "out";
    fs::create_directories(dest);
    // An existing file of an extracted member is replaced; one of a skipped member is kept.
    writeText(dest / "first.txt", "old contents, longer than the new");
    writeText(dest / "keep.txt", "kept");
    RunResult r = run({"x", archive.string(), "-d", dest.string()});
    EXPECT_EQ(r.exitCode, 2) << describe(r);
    EXPECT_TRUE(contains(r.err, "odd.bin")) << r.err;
    EXPECT_TRUE(contains(r.err, "keep.txt")) << r.err;
    EXPECT_EQ(textOf(dest / "first.txt"), "one");
    EXPECT_EQ(mtimeOf(dest / "first.txt"), someTime);
    EXPECT_EQ(textOf(dest / "keep.txt"), "kept");
    EXPECT_EQ(textOf(dest / "last.txt"), "three");
    EXPECT_FALSE(fs::exists(dest / "odd.bin"));

    RunResult list = run({"l", archive.string()});
    EXPECT_EQ(list.exitCode, 0) << describe(list);
    EXPECT_TRUE(contains(list.out, "odd.bin") && contains(list.out, "-lh9-")) << list.out;
    EXPECT_NE(run({"t", archive.string()}).exitCode, 0);
    expectSameOnEveryThreadCount(archive, {}, [](const fs::path& d) {
        writeText(d / "first.txt", "old contents, longer than the new");
        writeText(d / "keep.txt", "kept");
    });
}

TEST(MemberProblems, FileThatCannotBeCreatedIsListedAndTheRestExtracted) {
    struct Case {
        const char* name;
        const char* member;
        void (*obstacle)(const fs::path& dest);
    };
    const Case cases[] = {
        {"folder of the same name", "clash.txt",
         [](const fs::path& d) { fs::create_directories(d / "clash.txt/inner"); }},
        {"file in the way of a folder", "sub/clash.txt", [](const fs::path& d) { writeText(d / "sub", "a file"); }},
        // A link is never followed out of the destination, to a folder or to a file.
        {"link to a folder outside", "link/clash.txt",
         [](const fs::path& d) { fs::create_directory_symlink("../outside", d / "link"); }},
        {"link to a folder outside, folder entry", "link/deeper/",
         [](const fs::path& d) { fs::create_directory_symlink("../outside", d / "link"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        fs::path archive = tmp.path() / "a.lzh";
        std::string member = c.member;
        LzhMember blocked = member.back() == '/' ? folderMember(member, someTime)
                                                 : storedMember(member, bytesOf("blocked"), someTime);
        writeBinary(archive.string(), archiveOf({blocked, storedMember("fine.txt", bytesOf("fine"), someTime)}));
        fs::path dest = tmp.path() / "out";
        fs::create_directories(dest);
        fs::create_directories(tmp.path() / "outside");
        c.obstacle(dest);
        Tree before = snapshot(dest);
        RunResult r = run({"x", archive.string(), "-d", dest.string()});
        EXPECT_EQ(r.exitCode, 2) << describe(r);
        EXPECT_TRUE(contains(r.err, c.member)) << r.err;
        EXPECT_EQ(textOf(dest / "fine.txt"), "fine");
        Tree after = snapshot(dest);
        after.erase("fine.txt");
        EXPECT_EQ(after, before) << "the obstacle was changed";
        EXPECT_TRUE(fs::is_empty(tmp.path() / "outside")) << "written through a link";
        expectSameOnEveryThreadCount(archive, {}, c.obstacle);
    }
}

// Links stored by Unix archivers ("name|target" folder entries) are made with their stored
// target and listed as "name -> target"; a member through a link, or through a link made by
// the archive itself, never leaves the destination; --no-links names and counts them instead.
TEST(MemberProblems, LinksAreMadeButNeverWrittenThrough) {
    TempDir tmp;
    const fs::path outside = tmp.path() / "outside";
    fs::create_directories(outside);
    const fs::path archive = tmp.path() / "links.lzh";
    writeBinary(archive.string(),
                archiveOf({folderMember("dir2/", someTime), storedMember("file1", bytesOf("one"), someTime),
                           folderMember("dir2/symlink1|../file1", someTime),
                           folderMember("away|" + outside.string(), someTime, 1),
                           storedMember("away/escape.txt", bytesOf("escape"), someTime),
                           storedMember("dir2/symlink1", bytesOf("replaces the link"), someTime, 0)}));
    RunResult l = run({"l", archive.string()});
    EXPECT_EQ(l.exitCode, 0) << describe(l);
    EXPECT_TRUE(contains(l.out, "dir2/symlink1 -> ../file1")) << l.out;
    EXPECT_TRUE(contains(l.out, "away -> " + outside.string())) << l.out;

    const fs::path dest = tmp.path() / "out";
    RunResult x = run({"x", archive.string(), "-d", dest.string()});
    EXPECT_EQ(x.exitCode, 2) << describe(x);
    EXPECT_TRUE(contains(x.err, "away/escape.txt")) << x.err;
    EXPECT_EQ(fs::read_symlink(dest / "away"), outside);
    EXPECT_TRUE(fs::is_empty(outside)) << "written through a link";
    // The file of the same name took the link's place; the file it pointed to is untouched.
    EXPECT_FALSE(fs::is_symlink(dest / "dir2" / "symlink1"));
    EXPECT_EQ(textOf(dest / "dir2" / "symlink1"), "replaces the link");
    EXPECT_EQ(textOf(dest / "file1"), "one");

    const fs::path plain = tmp.path() / "plain";
    RunResult n = run({"x", archive.string(), "-d", plain.string(), "--no-links", "-x", "away/escape.txt"});
    EXPECT_EQ(n.exitCode, 0) << describe(n);
    EXPECT_TRUE(contains(n.out, "link not made: dir2/symlink1 -> ../file1")) << n.out;
    EXPECT_TRUE(contains(n.out, "link not made: away -> " + outside.string())) << n.out;
    EXPECT_TRUE(contains(n.out, "; 2 links not made (--no-links)")) << n.out;
    EXPECT_FALSE(fs::exists(fs::symlink_status(plain / "away")));
    EXPECT_EQ(textOf(plain / "dir2" / "symlink1"), "replaces the link");
}

// A full disk, played by the file size limit: writes past it fail with EFBIG. The partial file
// is deleted, the run goes on with the next member, and the exit code says that a write failed.
TEST(MemberProblems, WriteFailureDeletesThePartialFile) {
    struct Case {
        const char* name;
        LzhMember big;
    };
    Bytes megabytes(3u << 20);
    for (size_t i = 0; i < megabytes.size(); ++i) megabytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    const Case cases[] = {
        {"stored", storedMember("big.bin", megabytes, someTime)},
        {"decoded", lh5RunOfA("big.bin", 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        fs::path archive = tmp.path() / "a.lzh";
        writeBinary(archive.string(), archiveOf({storedMember("small.txt", bytesOf("small"), someTime), c.big,
                                                 storedMember("after.txt", bytesOf("after"), someTime)}));
        fs::path dest = tmp.path() / "out";
        RunOptions how;
        how.args = {"x", archive.string(), "-d", dest.string()};
        how.fileSizeLimit = 1 << 20;
        RunResult r = runNivosfx(how);
        EXPECT_EQ(r.exitCode, 50) << describe(r);
        EXPECT_TRUE(contains(r.err, "big.bin: write failed: File too large")) << r.err;  // with the reason
        EXPECT_FALSE(fs::exists(dest / "big.bin")) << "the partial file was left";
        EXPECT_EQ(textOf(dest / "small.txt"), "small");
        EXPECT_EQ(textOf(dest / "after.txt"), "after");
        expectSameOnEveryThreadCount(archive, {}, nullptr, how);
    }
}

// A destination that takes nothing more (a full or read-only file system, here a small one
// mounted for the test) stops the run at the first member it refuses, with one line naming
// the reason and one counting what was not written; nothing half-written stays.
TEST(MemberProblems, AFullDestinationStopsTheRunOnce) {
    TempDir tmp;
    const fs::path mount = tmp.path() / "small";
    fs::create_directories(mount);
    if (::system(("mount -t tmpfs -o size=1m tmpfs '" + mount.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small file system here (needs root and mount rights)";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::system(("umount '" + at.string() + "'").c_str()); }
    } unmount{mount};
    std::vector<LzhMember> members;
    for (int i = 0; i < 6; ++i) {
        Bytes noise(400000);
        for (size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<uint8_t>((k * 2654435761u + i) >> 13);
        members.push_back(storedMember("m" + std::to_string(i) + ".bin", noise, someTime));
    }
    fs::path archive = tmp.path() / "a.lzh";
    writeBinary(archive.string(), archiveOf(members));
    struct Case {
        const char* remount;  // nullptr: full
        const char* reason;
        int exitCode;
    };
    for (const Case& c : {Case{nullptr, "No space left on device", 50}, Case{"remount,ro", "Read-only file system", 2}}) {
        SCOPED_TRACE(c.reason);
        if (c.remount) ASSERT_EQ(::system(("mount -o " + std::string(c.remount) + " '" + mount.string() + "'").c_str()), 0);
        RunResult r = run({"x", archive.string(), "-d", mount.string(), "--force", "-o"});
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        size_t lines = 0;
        for (size_t at = r.err.find(c.reason); at != std::string::npos; at = r.err.find(c.reason, at + 1)) ++lines;
        EXPECT_EQ(lines, 2u) << r.err;
        EXPECT_TRUE(contains(r.err, " of 6 not written")) << r.err;
        for (const auto& e : fs::directory_iterator(mount)) {
            EXPECT_EQ(fs::file_size(e.path()), 400000u) << e.path();  // whole files only
        }
    }
}

// Where an archive ends, and a member whose bytes do not match its CRC-16: the end of the file at
// a header boundary is a normal end; a cut inside a header or inside data, or a wrong CRC, is
// damage that the exit code must show. A member with a wrong CRC is kept, as other archivers do.
TEST(MemberProblems, DamagedArchivesFailAndKeepWhatWasSound) {
    Bytes first, second;
    appendMember(first, storedMember("first.txt", bytesOf("first"), someTime));
    appendMember(second, storedMember("second.txt", bytesOf("second member"), someTime));
    auto join = [](std::initializer_list<Bytes> parts, size_t cutFromEnd) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        out.resize(out.size() - cutFromEnd);
        return out;
    };
    LzhMember wrong = storedMember("wrong.txt", bytesOf("checked"), someTime);
    wrong.crc = static_cast<uint16_t>(wrong.crc ^ 0x0101);
    Bytes wrongCrc;
    appendMember(wrongCrc, wrong);
    struct Case {
        const char* name;
        Bytes archive;
        int exitCode;
        std::set<std::string> files;  // exactly the files written
        const char* named;             // on stderr, or null
        int listExitCode;              // the listing sees damage to the archive, not to data
    };
    const Case cases[] = {
        {"no end mark", join({first, second}, 0), 0, {"first.txt", "second.txt"}, nullptr, 0},
        {"cut inside the second header", join({first, second}, second.size() - 9), 2, {"first.txt"}, nullptr, 2},
        {"cut inside the second member's data", join({first, second}, 4), 2, {"first.txt"}, "second.txt", 2},
        {"wrong CRC-16", join({wrongCrc, first, {0}}, 0), 2, {"wrong.txt", "first.txt"}, "wrong.txt", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        fs::path archive = tmp.path() / "a.lzh";
        writeBinary(archive.string(), c.archive);
        fs::path dest = tmp.path() / "out";
        RunResult r = run({"x", archive.string(), "-d", dest.string()});
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_EQ(filesIn(snapshot(dest)), c.files);
        if (c.named) {
            EXPECT_TRUE(contains(r.err, c.named)) << r.err;
        }
        EXPECT_EQ(textOf(dest / "first.txt"), "first");
        EXPECT_EQ(run({"t", archive.string()}).exitCode, c.exitCode);
        RunResult list = run({"l", archive.string()});
        EXPECT_EQ(list.exitCode, c.listExitCode) << describe(list);
        if (c.named && c.listExitCode) { EXPECT_TRUE(contains(list.err, c.named)) << list.err; }
        expectSameOnEveryThreadCount(archive);
    }
}

// Many members decoded on several threads: whatever happens to them, the run is the run on one
// thread, in the same order.
TEST(MemberProblems, ManyMembersOnSeveralThreadsAsOnOne) {
    // Text of a few kilobytes per member, different in each, packed with -lh5- and -lh7-.
    auto text = [](int i) {
        std::string s;
        for (int line = 0; s.size() < 3000u + 97u * static_cast<unsigned>(i); ++line)
            s += "member " + std::to_string(i) + " line " + std::to_string(line * i % 1013) + "\n";
        return bytesOf(s);
    };
    auto packed = [&](int i, const std::string& name) {
        return *compressMember(i % 2 ? 5 : 7, name, text(i), someTime + static_cast<uint32_t>(i));
    };
    auto many = [&](int count, const std::string& prefix) {
        std::vector<LzhMember> v;
        for (int i = 0; i < count; ++i) v.push_back(packed(i, prefix + "m" + std::to_string(i) + ".txt"));
        return v;
    };
    auto join = [](std::vector<LzhMember> a, const std::vector<LzhMember>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    std::vector<LzhMember> damaged = many(30, "");
    damaged[4].crc = static_cast<uint16_t>(damaged[4].crc ^ 0x8001);  // a CRC error, kept
    damaged[11].data[damaged[11].data.size() / 2] ^= 0x5A;          // damaged data
    damaged[17].data.resize(3);                                      // far too short
    damaged[17].crc ^= 1;
    damaged[23].method = "-lh9-";                                    // unknown method
    std::vector<LzhMember> duplicates = many(12, "");
    for (int i = 0; i < 3; ++i) duplicates.push_back(packed(40 + i, "m5.txt"));  // the last one wins
    std::vector<LzhMember> folders = join(many(8, "a/b/"), many(8, "a/"));
    folders.insert(folders.begin() + 3, folderMember("a/b/", someTime + 5000));
    folders.push_back(folderMember("a/", someTime + 6000));
    folders.push_back(folderMember("empty/", someTime + 7000));
    folders.push_back(packed(50, "m3.txt/inner.txt"));  // a file of that name stands in the way
    folders.push_back(packed(51, "../out.txt"));        // refused
    std::vector<LzhMember> modes = many(10, "x/");
    for (size_t i = 0; i < modes.size(); ++i) modes[i].unixMode = static_cast<uint16_t>(i % 2 ? 0100755 : 0100640);
    std::vector<LzhMember> writeFails = join(many(4, ""), {lh5RunOfA("big1.bin", 1), packed(7, "after.txt"),
                                                          lh5RunOfA("big2.bin", 1), packed(8, "last.txt")});
    struct Case {
        const char* name;
        Bytes archive;
        std::vector<std::string> extra;
        void (*prepare)(const fs::path&);
        int64_t fileSizeLimit;
        int exitCode;  // of x
    };
    // Members named as the files that workers write to until a member's turn comes.
    std::vector<LzhMember> tempNames = join({packed(60, "~nivo13.tmp"), packed(61, "~nivo14.tmp")}, many(20, ""));
    Bytes cut = archiveOf(many(20, ""));
    cut.resize(cut.size() - 40);  // inside the last member's data
    Bytes cutHeader = archiveOf(many(20, ""));
    Bytes lastHeader = archiveOf({packed(19, "m19.txt")});
    cutHeader.resize(cutHeader.size() - lastHeader.size() + 10);  // inside the last header
    auto oldDamaged = [](const fs::path& d) {  // under the damaged members' names
        for (const char* name : {"m4.txt", "m11.txt", "m17.txt"}) writeText(d / name, "old");
    };
    auto oldFiles = [](const fs::path& d) {
        writeText(d / "m2.txt", "old");
        writeText(d / "m5.txt", "old");
        fs::create_directories(d / "m9.txt");  // a folder where a file goes
    };
    const Case cases[] = {
        {"damaged members", archiveOf(damaged), {}, nullptr, -1, 2},
        {"damaged members, verbose", archiveOf(damaged), {"-v"}, nullptr, -1, 2},
        {"damaged members over old files", archiveOf(damaged), {"-o"}, oldDamaged, -1, 2},
        {"cut inside the last member", cut, {}, nullptr, -1, 2},
        {"cut inside the last header", cutHeader, {}, nullptr, -1, 2},
        {"duplicate names", archiveOf(duplicates), {}, nullptr, -1, 0},
        {"old files replaced", archiveOf(duplicates), {"-o"}, oldFiles, -1, 2},
        {"old files kept", archiveOf(duplicates), {"-n", "-v"}, oldFiles, -1, 2},
        {"folders", archiveOf(folders), {"-v"}, nullptr, -1, 2},
        {"chosen by name", archiveOf(folders), {"a/b/*", "m1*", "-x", "m10.txt", "nothing"}, nullptr, -1, 11},
        {"permissions", archiveOf(modes), {}, nullptr, -1, 0},
        {"names of unfinished files", archiveOf(tempNames), {}, nullptr, -1, 0},
        {"writes that fail", archiveOf(writeFails), {}, nullptr, 1 << 20, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        fs::path archive = tmp.path() / "a.lzh";
        writeBinary(archive.string(), c.archive);
        RunOptions how;
        how.fileSizeLimit = c.fileSizeLimit;
        EXPECT_EQ(expectSameOnEveryThreadCount(archive, c.extra, c.prepare, how), c.exitCode);
    }
}

int64_t sizeOr(const fs::path& p, int64_t missing) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_size : missing;
}

bool isStopped(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = all.rfind(')');
    return paren != std::string::npos && paren + 2 < all.size() && all[paren + 2] == 'T';
}

// The file a member is being written to before it takes the member's name: the largest file in
// the folder besides the names given (members behind it may be written ahead, on other threads).
fs::path unfinishedFile(const fs::path& folder, const std::set<std::string>& known) {
    std::error_code ec;
    fs::path largest;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (!known.count(e.path().filename().string()) && (largest.empty() || sizeOr(e.path(), 0) > sizeOr(largest, 0)))
            largest = e.path();
    return largest;
}

// Ctrl-C, SIGTERM or SIGHUP while a large member is being written over an existing file: the
// old file stays as it was, the unfinished one is gone, the earlier members remain with their
// times, the later ones are not written, and the exit code says so.
TEST(Interrupt, KeepsTheOldFileAndEarlierMembersAndLeavesNothingUnfinished) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        // On a busy machine the member may be written whole before this process is scheduled
        // again to send the signal; such a try proves nothing, and the next one starts afresh.
        bool caught = false;
        for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
            TempDir tmp;
            fs::path archive = tmp.path() / "a.lzh";
            const uint32_t bigSize = 256u << 20;
            writeArchiveWithHole(archive, {storedMember("first.txt", bytesOf("first"), someTime)}, "big.bin",
                                 bigSize, {storedMember("later.txt", bytesOf("later"), someTime)});
            fs::path dest = tmp.path() / "out";
            fs::create_directories(dest);
            writeText(dest / "big.bin", "the old contents");
            RunOptions how;
            how.args = {"x", archive.string(), "-d", dest.string()};
            ChildProcess p(how);
            // Stop the child once it is well into the member, to know for certain that the
            // signal comes while the member is still being written.
            while (p.running()) {
                fs::path unfinished = unfinishedFile(dest, {"first.txt", "big.bin"});
                if (!unfinished.empty() && sizeOr(unfinished, -1) >= (1 << 20)) {
                    ::kill(p.pid(), SIGSTOP);
                    while (!isStopped(p.pid()) && p.running())
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                    caught = sizeOr(unfinished, bigSize) < int64_t(bigSize) - (1 << 20);
                    ::kill(p.pid(), signal);
                    ::kill(p.pid(), SIGCONT);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            RunResult r = p.wait();
            if (!caught) continue;
            EXPECT_EQ(r.exitCode, 80) << describe(r);
            EXPECT_EQ(textOf(dest / "big.bin"), "the old contents");
            EXPECT_EQ(unfinishedFile(dest, {"first.txt", "big.bin"}), fs::path()) << "an unfinished file was left";
            EXPECT_EQ(textOf(dest / "first.txt"), "first");
            EXPECT_EQ(mtimeOf(dest / "first.txt"), someTime);
            EXPECT_FALSE(fs::exists(dest / "later.txt"));
        }
        if (!caught) ADD_FAILURE() << "the member was written whole before the signal could be sent, three times";
    }
}

// Ctrl-C while members are decoded on several threads: every worker stops, no unfinished file
// is left anywhere, an old file is either kept or replaced by its whole member, and no member
// behind is written.
TEST(Interrupt, OnSeveralThreadsLeavesNoUnfinishedFile) {
    for (const char* threads : {"2", "4"}) {
        SCOPED_TRACE(std::string("--threads ") + threads);
        TempDir tmp;
        fs::path archive = tmp.path() / "a.lzh";
        std::vector<LzhMember> members = {storedMember("first.txt", bytesOf("first"), someTime)};
        for (int i = 0; i < 6; ++i) members.push_back(lh5RunOfA("sub/big" + std::to_string(i) + ".bin", 2));
        members.push_back(storedMember("later.txt", bytesOf("later"), someTime));
        writeBinary(archive.string(), archiveOf(members));
        const auto bigSize = static_cast<int64_t>(members[1].originalSize);
        fs::path dest = tmp.path() / "out";
        fs::create_directories(dest / "sub");
        writeText(dest / "sub/big1.bin", "the old contents");
        RunOptions how;
        how.args = {"x", archive.string(), "-d", dest.string(), "--threads", threads};
        ChildProcess p(how);
        bool caught = false;
        while (p.running() && !caught) {
            for (const auto& e : fs::directory_iterator(dest / "sub")) {
                if (e.path().filename().string().rfind("~nivo", 0) != 0 || sizeOr(e.path(), 0) < (1 << 20)) continue;
                ::kill(p.pid(), SIGINT);
                caught = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        RunResult r = p.wait();
        if (!caught) {
            ADD_FAILURE() << "the members were written before the signal could be sent";
            continue;
        }
        EXPECT_EQ(r.exitCode, 80) << describe(r);
        for (const auto& [name, e] : snapshot(dest)) {
            SCOPED_TRACE(name);
            EXPECT_EQ(name.find("~nivo"), std::string::npos) << "an unfinished file was left";
            if (name == "sub/big1.bin" && e.size != uintmax_t(bigSize)) {
                EXPECT_EQ(textOf(dest / name), "the old contents");
            } else if (!e.folder && name != "first.txt") {
                EXPECT_EQ(e.size, uintmax_t(bigSize)) << "a member was left unfinished";
            }
        }
        EXPECT_FALSE(fs::exists(dest / "later.txt"));
    }
}

// Files whose name starts as the files members are written to until complete.
// The temporaries below root. A run may be making and renaming them meanwhile: a file that goes
// away during the walk is simply not listed.
std::vector<std::string> temporariesIn(const fs::path& root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind("~nivo", 0) == 0)
            found.push_back(it->path().lexically_relative(root).generic_string());
    std::sort(found.begin(), found.end());
    return found;
}

RunOptions runOf(std::vector<std::string> args, std::string program = "") {
    RunOptions how;
    how.args = std::move(args);
    how.program = std::move(program);
    return how;
}

// Two runs into one folder at once, one on two threads: both finish, every member whole. After
// kill -9 the next run removes the leftovers, but never one that a live writer holds.
TEST(SafeOutput, ConcurrentRunsAndLeftovers) {
    TempDir tmp;
    std::vector<LzhMember> members;
    for (int i = 0; i < 1000; ++i)
        members.push_back(storedMember((i % 3 ? "d" + std::to_string(i % 7) + "/f" : "f") + std::to_string(i),
                                       bytesOf("member " + std::to_string(i)), someTime));
    const fs::path archive = tmp.path() / "a.lzh", dest = tmp.path() / "out", big = tmp.path() / "big.lzh";
    writeBinary(archive.string(), archiveOf(members));
    RunOptions one, two;
    one.args = {"x", archive.string(), "-d", dest.string(), "-o", "-q", "--no-sync"};
    two.args = {"x", archive.string(), "-d", dest.string(), "-o", "-q", "--threads", "2", "--no-sync"};
    ChildProcess a(one), b(two);
    const RunResult ra = a.wait(), rb = b.wait();
    EXPECT_EQ(ra.exitCode, 0) << describe(ra);
    EXPECT_EQ(rb.exitCode, 0) << describe(rb);
    for (int i = 0; i < 1000; i += 7) EXPECT_EQ(textOf(dest / members[size_t(i)].name), "member " + std::to_string(i));
    EXPECT_EQ(filesIn(snapshot(dest)).size(), 1000u);

    writeArchiveWithHole(big, {}, "big.bin", 256u << 20, {storedMember("d1/after", bytesOf("after"), someTime)});
    const fs::path left = tmp.path() / "left";
    ChildProcess k(runOf({"x", big.string(), "-d", left.string()}));
    while (k.running() && temporariesIn(left).empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    ::kill(k.pid(), SIGKILL);
    k.wait();
    fs::create_directories(left / "d1");
    for (int i : {0, 1, 2, 3, 25}) writeText(left / "d1" / ("~nivo" + std::to_string(i) + ".tmp"), "left over");
    const int held = ::open((left / "d1/~nivo3.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    RunResult r = runNivosfx(runOf({"x", big.string(), "-d", left.string(), "d1/after"}));
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(temporariesIn(left), std::vector<std::string>{"d1/~nivo3.tmp"});
    ::close(held);
}

// No folder time goes through a link that leads out of the destination; SIGHUP ignored at start
// (nohup) stays ignored; a listing that cannot be written is an error.
TEST(SafeOutput, LinksNohupAndStandardOutput) {
    TempDir tmp;
    const fs::path archive = tmp.path() / "a.lzh", dest = tmp.path() / "out", outside = tmp.path() / "outside";
    writeBinary(archive.string(), archiveOf({folderMember("a/", 920000000), folderMember("a/sub/", 920000000),
                                             storedMember("a/sub/x.txt", bytesOf("x"), 920000000)}));
    fs::create_directories(outside / "sub");
    fs::create_directories(dest);
    fs::create_directory_symlink("../outside", dest / "a");
    const int64_t before = mtimeOf(outside / "sub");
    EXPECT_EQ(runNivosfx(runOf({"x", archive.string(), "-d", dest.string()})).exitCode, 2);
    EXPECT_EQ(mtimeOf(outside / "sub"), before);
    EXPECT_FALSE(fs::exists(outside / "sub/x.txt"));
    for (const char* command : {"l", "t"})
        EXPECT_EQ(runNivosfx(runOf({"-c", "exec \"$0\" \"$@\" > /dev/full", nivosfxPath(), command, archive.string()},
                                   "/bin/sh"))
                      .exitCode,
                  50)
            << command;

    writeArchiveWithHole(archive, {}, "big.bin", 64u << 20, {});
    ChildProcess p(runOf({"-c", "trap '' HUP; exec \"$0\" \"$@\"", nivosfxPath(), "x", archive.string(), "-d",
                          (tmp.path() / "nohup").string()},
                         "/bin/sh"));
    while (p.running() && temporariesIn(tmp.path() / "nohup").empty())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ::kill(p.pid(), SIGHUP);
    EXPECT_EQ(p.wait().exitCode, 0);
    EXPECT_EQ(fs::file_size(tmp.path() / "nohup/big.bin"), 64u << 20);
}

// ---------------------------------------------------------------------------------------------
// What reaches the terminal.

TEST(TerminalOutput, ControlCharactersInNamesAreNeverPrintedRaw) {
    SetupBlock s;
    s.title = "Title\x1b]0;owned\x07";
    s.destination = "Dest\x1b[2J";
    s.shortcutTarget = "tool\x1b[31m.exe";
    s.startMenuOption = 3;
    s.launchCommand = "run\x1b[1m.sh";
    Bytes archive = archiveOf({storedMember("bell\x07.txt", bytesOf("1"), someTime),
                               storedMember("esc\x1b[2J.txt", bytesOf("2"), someTime),
                               storedMember("line\nforged.txt", bytesOf("3"), someTime),
                               // Not code page 932, but UTF-8 for the C1 control U+009B (CSI).
                               storedMember("csi\xC2\x9B" "2J.txt", bytesOf("6"), someTime),
                               storedMember("run\x1b[1m.sh", bytesOf("4"), someTime),
                               unknownMember("odd\x1b[0m\r.bin", "5")});
    SetupRun setup(&s, archive);
    writeBinary((setup.tmp.path() / "plain.lzh").string(), archive);
    std::vector<std::pair<std::string, RunResult>> runs;
    runs.emplace_back("x -y", setup({"-y"}));
    runs.emplace_back("x asked", setup({"-d", (setup.tmp.path() / "asked").string()}, "\n\n"));
    runs.emplace_back("l", run({"l", (setup.tmp.path() / "plain.lzh").string()}));
    runs.emplace_back("t", run({"t", (setup.tmp.path() / "plain.lzh").string()}));
    for (const auto& [name, r] : runs) {
        SCOPED_TRACE(name);
        EXPECT_NE(r.exitCode, -1) << describe(r);
        for (const std::string* stream : {&r.out, &r.err}) {
            for (size_t i = 0; i < stream->size(); ++i) {
                auto c = static_cast<unsigned char>((*stream)[i]);
                auto next = i + 1 < stream->size() ? static_cast<unsigned char>((*stream)[i + 1]) : static_cast<unsigned char>(0);
                bool control = (c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F);
                EXPECT_FALSE(control) << "raw control character " << int(c) << " in\n" << *stream;
                if (control) break;
            }
            for (const std::string& line : linesOf(*stream))
                EXPECT_NE(line.rfind("forged.txt", 0), 0u) << "a name broke the line:\n" << *stream;
        }
    }
    // Written under their own names all the same: the names are only shown escaped.
    EXPECT_EQ(textOf(setup.cwd / "Dest\x1b[2J" / "line\nforged.txt"), "3");
}

TEST(TerminalOutput, ExitCodesOfUsageAndUnreadableFiles) {
    TempDir tmp;
    fs::path archive = tmp.path() / "a.lzh";
    writeBinary(archive.string(), smallArchive());
    fs::path imageOnly = tmp.path() / "image.exe";
    Bytes image = sfxFile(nullptr, {});
    image.resize(sfxImageSize);  // the file ends where the settings block should begin
    writeBinary(imageOnly.string(), image);
    SetupBlock s;
    s.title = "cut";
    s.launchCommand = "start.exe";
    Bytes cutBlock = sfxFile(&s, {});
    cutBlock.resize(cutBlock.size() - 3);  // the file ends inside the name of the file to open
    fs::path cut = tmp.path() / "cut.exe";
    writeBinary(cut.string(), cutBlock);
    const fs::path empty = tmp.path() / "empty.lzh", text = tmp.path() / "notes.txt";
    writeText(empty, "");
    writeText(text, "a text, not an archive\n");
    const std::string a = archive.string();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        bool usageOnStdout;
    };
    const Case cases[] = {
        {{}, 10, false},
        {{"x"}, 10, false},
        {{"q", a}, 10, false},
        {{"x", a, "--bogus"}, 10, false},
        {{"x", a, "-d"}, 10, false},
        {{"t", a, "--threads", "0"}, 10, false},
        {{"t", a, "--threads", "2x"}, 10, false},
        {{"t", a, "--threads=1025"}, 10, false},
        {{"t", a, "--threads", "1024"}, 0, false},
        {{"l", a, "nothing-such"}, 11, false},
        {{"l", (tmp.path() / "missing.lzh").string()}, 9, false},
        {{"x", (tmp.path() / "missing.lzh").string(), "-y"}, 9, false},
        {{"t", tmp.path().string()}, 9, false},  // a folder is not an archive
        {{"x", imageOnly.string(), "-y", "-d", (tmp.path() / "o1").string()}, 9, false},
        {{"l", cut.string()}, 9, false},
        {{"l", empty.string()}, 9, false},
        {{"t", "/dev/null"}, 9, false},
        {{"x", text.string(), "-d", (tmp.path() / "o1").string()}, 9, false},
        {{"--help"}, 0, true},
        {{"x", a, "-h"}, 0, true},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += arg + " ";
        SCOPED_TRACE(shown);
        RunResult r = run(c.args, tmp.path());
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_EQ(contains(r.out, "usage: nivosfx"), c.usageOnStdout) << describe(r);
        if (c.exitCode == 10) {
            // One line naming the problem and a hint, not the whole help.
            EXPECT_EQ(linesOf(r.err).size(), 3u) << describe(r);
            EXPECT_TRUE(contains(r.err, "Try 'nivosfx --help'")) << describe(r);
        }
        if (c.exitCode == 9) { EXPECT_FALSE(r.err.empty()); }
    }
    EXPECT_FALSE(fs::exists(tmp.path() / "o1"));
}

TEST(TerminalOutput, ProgressBarOnlyOnATerminal) {
    TempDir tmp;
    fs::path archive = tmp.path() / "a.lzh";
    // Large members, decoded in their turn, and small ones, which workers decode ahead.
    std::vector<LzhMember> members = {storedMember("one.bin", Bytes(1 << 20, 1), someTime)};
    for (int i = 0; i < 24; ++i) {
        Bytes text;
        for (int line = 0; text.size() < 100000; ++line) {
            Bytes l = bytesOf("line " + std::to_string(line * (i + 3) % 7919) + "\n");
            text.insert(text.end(), l.begin(), l.end());
        }
        members.push_back(*compressMember(5, "small" + std::to_string(i) + ".txt", text, someTime));
        if (i == 12) members.push_back(storedMember("two.bin", Bytes(1 << 20, 2), someTime));
    }
    writeBinary(archive.string(), archiveOf(members));
    int master = -1, slave = -1;
    const bool haveTerminals = ::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0;
    if (haveTerminals) {
        ::close(master);
        ::close(slave);
    }
    for (bool terminal : {false, true})
    for (const std::string threads : {"1", "4"}) {
        if (terminal && !haveTerminals) GTEST_SKIP() << "no pseudo-terminals here; the quiet half passed";
        SCOPED_TRACE(std::string(terminal ? "terminal" : "pipe") + ", --threads " + threads);
        RunOptions how;
        how.args = {"x", archive.string(), "-d", (tmp.path() / (terminal ? "t" : "p") / threads).string(),
                    "--threads", threads};
        how.stderrTerminal = terminal;
        how.columns = threads == "1" ? 30 : 80;
        RunResult r = runNivosfx(how);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_EQ(contains(r.err, "\r"), terminal) << describe(r);
        // Every drawing of the bar fits the width, so that none wraps.
        for (size_t at = r.err.find("\r\033[K"); at != std::string::npos; at = r.err.find("\r\033[K", at + 1)) {
            const size_t from = at + 4, to = r.err.find_first_of("\r\n", from);
            EXPECT_LT(r.err.substr(from, to - from).size(), how.columns) << r.err.substr(from, to - from);
        }
        EXPECT_EQ(contains(r.err, "%"), terminal) << describe(r);
        if (terminal) {
            EXPECT_TRUE(contains(r.err, "100%")) << r.err;
            EXPECT_TRUE(contains(r.err, "two.bin")) << r.err;
            // The bar counts every member's bytes and never goes back.
            std::vector<int> positions;
            for (size_t at = r.err.find('%'); at != std::string::npos; at = r.err.find('%', at + 1))
                if (at >= 3) positions.push_back(std::atoi(r.err.substr(at - 3, 3).c_str()));
            EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
    }
}

// Memory stays bounded whatever the member's size: stored data goes through in blocks, decoded
// data through the dictionary.
TEST(Resources, LargeMembersExtractInBoundedMemory) {
    TempDir tmp;
    fs::path stored = tmp.path() / "stored.lzh";
    const uint32_t storedSize = 100u << 20;
    writeArchiveWithHole(stored, {}, "zeros.bin", storedSize, {});
    fs::path decoded = tmp.path() / "decoded.lzh";
    LzhMember run = lh5RunOfA("a.txt", 6);
    writeBinary(decoded.string(), archiveOf({run}));
    struct Case {
        fs::path archive;
        std::string member;
        uint64_t size;
        uint8_t fill;
    };
    // A member whose compressed data is far larger than any buffer should be: 24 MiB of bytes
    // below 128, which pack to about 21 MiB. The input is read through a bounded buffer.
    fs::path big = tmp.path() / "big.lzh";
    Bytes noise(24u << 20);
    uint32_t x = 12345;
    for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24) & 0x7F;
    std::optional<LzhMember> bigMember = compressMember(5, "noise.bin", noise, someTime);
    ASSERT_TRUE(bigMember && bigMember->method == "-lh5-" && bigMember->data.size() > (16u << 20));
    writeBinary(big.string(), archiveOf({*bigMember}));
    // What the program holds for a member of six bytes is its floor: the runtime, and under the
    // sanitizers their shadow memory. A large member may add the buffers, never its own size.
    RunOptions small;
    small.args = {"t", decoded.string()};
    RunResult floor = runNivosfx(small);
    ASSERT_EQ(floor.exitCode, 0) << describe(floor);
    const long limitKb = floor.maxRssKb + 16 * 1024;
    const Case cases[] = {{stored, "zeros.bin", storedSize, 0},
                          {decoded, "a.txt", run.originalSize, 'A'},
                          {big, "noise.bin", noise.size(), 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.member);
        fs::path dest = tmp.path() / ("out-" + c.member);
        RunOptions how;
        how.args = {"t", c.archive.string()};
        RunResult t = runNivosfx(how);
        EXPECT_EQ(t.exitCode, 0) << describe(t);
        EXPECT_LT(t.maxRssKb, limitKb) << "peak resident set of " << t.maxRssKb << " KB";
        how.args = {"x", c.archive.string(), "-d", dest.string()};
        RunResult r = runNivosfx(how);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_LT(r.maxRssKb, limitKb) << "peak resident set of " << r.maxRssKb << " KB";
        fs::path out = dest / c.member;
        ASSERT_EQ(fs::file_size(out), c.size);
        if (&c == &cases[2]) {
            EXPECT_TRUE(readBinary(out.string()) == noise);
            fs::remove(out);
            continue;
        }
        std::ifstream in(out, std::ios::binary);
        std::vector<char> chunk(1 << 20);
        bool uniform = true;
        while (in && uniform) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            for (std::streamsize i = 0; i < in.gcount(); ++i)
                if (static_cast<uint8_t>(chunk[static_cast<size_t>(i)]) != c.fill) uniform = false;
        }
        EXPECT_TRUE(uniform);
        fs::remove(out);
    }
    // Large members on four threads: each worker holds its buffers, none a whole member. The
    // floor is then that of four threads on two small members, measured once the archive is
    // composed and let go: a child starts as a copy of this process, and its peak counts what
    // this process held then.
    fs::path manyArchive = tmp.path() / "many.lzh";
    {
        std::vector<LzhMember> many;
        for (int i = 0; i < 3; ++i) {
            many.push_back(*bigMember);
            many.back().name = "noise" + std::to_string(i) + ".bin";
            many.push_back(lh5RunOfA("run" + std::to_string(i) + ".txt", 1));
        }
        writeBinary(manyArchive.string(), archiveOf(many));
    }
    fs::path twoSmall = tmp.path() / "two.lzh";
    writeBinary(twoSmall.string(), archiveOf({run, lh5RunOfA("b.txt", 0)}));
    small.args = {"t", twoSmall.string(), "--threads", "4"};
    RunResult threadsFloor = runNivosfx(small);
    ASSERT_EQ(threadsFloor.exitCode, 0) << describe(threadsFloor);
    for (const std::string command : {"t", "x"}) {
        SCOPED_TRACE(command + " --threads 4");
        RunOptions how;
        how.args = {command, manyArchive.string(), "--threads", "4"};
        if (command == "x") how.args.insert(how.args.end(), {"-d", (tmp.path() / "out-many").string()});
        RunResult r = runNivosfx(how);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_LT(r.maxRssKb, threadsFloor.maxRssKb + 16 * 1024) << "peak resident set of " << r.maxRssKb << " KB";
    }
    EXPECT_TRUE(readBinary((tmp.path() / "out-many/noise2.bin").string()) == noise);
}

}  // namespace
}  // namespace nivo::test
