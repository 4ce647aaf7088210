// mklzh and mksfx run as a user runs them: where the archive name may stand, what an odd input
// does to the exit code, what mksfx checks before it writes, and that nothing in front of the
// first member looks like a member header to a reader that scans for one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "tests/e2e/program_runner.h"
#include "tests/support/test_support.h"
#include "tools/lzh_writer.h"
#include "lzh/settings_block.h"

namespace nivo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int exitUsage = 10;
constexpr int exitFailure = 1;
constexpr int exitSkipped = 3;

RunResult run(const std::string& program, std::vector<std::string> args, const fs::path& cwd) {
    RunOptions how;
    how.program = program;
    how.args = std::move(args);
    how.cwd = cwd;
    return runNivosfx(how);
}

// Where a reader that scans for an archive inside a file would first see a member header: the
// offset of the first "-l??-" less the two bytes in front of the method, or npos.
size_t firstHeaderLike(const Bytes& file) {
    for (size_t i = 2; i + 5 <= file.size(); ++i)
        if (file[i] == '-' && file[i + 1] == 'l' && file[i + 4] == '-') return i - 2;
    return std::string::npos;
}

// A tree with a file and a folder, and a stand-in program image: "MZ" and zeros.
struct Workspace {
    TempDir dir;
    fs::path src() const { return dir.path() / "src"; }
    fs::path stub() const { return dir.path() / "stub.exe"; }
    Workspace() {
        fs::create_directories(src() / "tree" / "docs");
        std::ofstream(src() / "tree" / "tool.exe") << "MZ tool";
        std::ofstream(src() / "tree" / "docs" / "readme.txt") << std::string(5000, 'r');
        Bytes image = sfxFile(nullptr, {});
        image.pop_back();  // the absent block's byte
        writeBinary(stub().string(), image);
    }
    RunResult nivosfx(const fs::path& file, const std::string& to) const {
        return run("", {"x", file.string(), "-d", (dir.path() / to).string(), "-y"}, dir.path());
    }
};

TEST(Packers, TheArchiveNameMayStandAnywhereAmongTheArguments) {
    Workspace w;
    const std::string src = w.src().string();
    const std::vector<std::vector<std::string>> orders = {
        {"-m", "lh5", "x.lzh", "-C", src, "tree"},
        {"x.lzh", "-m", "lh5", "-C", src, "tree"},
        {"-C", src, "x.lzh", "tree", "-m", "lh5"},
        {"-v", "-m", "lh5", "x.lzh", "-C", src, "tree"},
        // Levels and threads are options like the others.
        {"-9", "--threads", "3", "x.lzh", "-C", src, "tree"},
        {"x.lzh", "-1", "-m", "lh6", "-C", src, "tree", "--threads=1"},
    };
    for (const auto& args : orders) {
        SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
        fs::remove_all(w.dir.path() / "out");
        RunResult r = run(mklzhPath(), args, w.dir.path());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        RunResult x = w.nivosfx(w.dir.path() / "x.lzh", "out");
        EXPECT_EQ(x.exitCode, 0) << x.err;
        EXPECT_EQ(fs::file_size(w.dir.path() / "out" / "tree" / "docs" / "readme.txt"), 5000u);
        if (args[0] == "-v") {
            EXPECT_NE(r.out.find("adding: tree/docs/readme.txt ("), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("adding: tree/\n"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out, "");
        }
    }
    // On a terminal a progress line shows, and is cleared before the program ends.
    RunOptions how;
    how.program = mklzhPath();
    how.args = {"y.lzh", "-C", src, "tree"};
    how.cwd = w.dir.path();
    how.stderrTerminal = true;
    RunResult r = runNivosfx(how);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("mklzh: 100% tree/"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\r\033[K")) << r.err;
    // A big file shows progress before it is done, and no line is wider than the terminal.
    writeBinary((w.src() / "big.bin").string(), Bytes(3u << 20, 'b'));
    how.args = {"z.lzh", "-C", src, "big.bin", "--threads", "1"};
    how.columns = 18;
    r = runNivosfx(how);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("mklzh:  33% ..."), std::string::npos) << r.err;
    for (size_t at = r.err.find("\r\033[K"); at != std::string::npos; at = r.err.find("\r\033[K", at + 1))
        EXPECT_LT(std::min(r.err.find_first_of("\r\n", at + 4), r.err.size()) - (at + 4), 18u) << r.err;
}

// An input that cannot be packed is named; the rest is written and the exit code says so. A
// name only Windows cannot hold is refused by mksfx, and packed by mklzh with a warning. A name
// that Shift-JIS cannot hold is packed by both beside its UTF-16 form.
TEST(Packers, AnOddInputIsNamedAndTheArchiveStillWritten) {
    Workspace w;
    std::ofstream(w.src() / "tree" / "bad:name.txt") << "b";
    std::ofstream(w.src() / "tree" / "Grüße €.txt") << "g";
    std::ofstream(w.src() / "tree" / "TOOL.exe") << "differs from tool.exe in case only";
    for (const std::string& tool : {mklzhPath(), mksfxPath()}) {
        SCOPED_TRACE(tool);
        const bool forWindows = tool == mksfxPath();
        fs::remove_all(w.dir.path() / "out");
        fs::remove(w.dir.path() / "out.exe");
        std::vector<std::string> args = {"out.exe", "-C", w.src().string(), "tree", "missing"};
        if (forWindows) args.insert(args.begin(), {"--stub", w.stub().string()});
        RunResult r = run(tool, args, w.dir.path());
        EXPECT_EQ(r.exitCode, exitSkipped) << r.err;
        for (const char* name : {"tree/bad:name.txt: ", "tree/tool.exe: "}) {
            const size_t at = r.err.find(name);
            ASSERT_NE(at, std::string::npos) << r.err;
            EXPECT_EQ(r.err.compare(at + std::strlen(name), 8, "refused:") == 0, forWindows) << r.err;
        }
        EXPECT_NE(r.err.find("missing: No such file or directory"), std::string::npos) << r.err;
        RunResult x = w.nivosfx(w.dir.path() / "out.exe", "out");
        EXPECT_EQ(x.exitCode, 0) << x.err;
        EXPECT_TRUE(fs::is_regular_file(w.dir.path() / "out" / "tree" / "TOOL.exe"));
        EXPECT_EQ(readBinary((w.dir.path() / "out" / "tree" / "Grüße €.txt").string()), Bytes{'g'});
        EXPECT_EQ(fs::is_regular_file(w.dir.path() / "out" / "tree" / "tool.exe"), !forWindows);
        EXPECT_EQ(fs::is_regular_file(w.dir.path() / "out" / "tree" / "bad:name.txt"), !forWindows);
    }
}

// mklzh updates an archive that is there: a member of an input's name is replaced (with -u only
// by a newer file), the others are kept byte for byte; with nothing to pack nothing is written.
TEST(Packers, MklzhUpdatesAnExistingArchive) {
    Workspace w;
    const fs::path src = w.src(), archive = w.dir.path() / "app.lzh";
    const std::string a = archive.string();
    auto names = [&] {
        RunResult l = run("", {"l", a}, w.dir.path());
        std::vector<std::string> found;
        for (const char* n : {"tree/tool.exe", "b.txt", "tree/docs/readme.txt", "x:y.txt"})
            if (l.out.find(std::string(" ") + n + "\n") != std::string::npos) found.push_back(n);
        return found;
    };
    auto content = [&](const std::string& name) { return run("", {"p", a, name}, w.dir.path()).out; };
    std::ofstream(src / "b.txt") << "b";
    std::ofstream(src / "x:y.txt") << "x";
    ASSERT_EQ(run(mklzhPath(), {a, "-C", src.string(), "tree/tool.exe"}, w.dir.path()).exitCode, 0);
    const Bytes first = readBinary(a);
    ASSERT_EQ(run(mklzhPath(), {a, "-C", src.string(), "b.txt"}, w.dir.path()).exitCode, 0);
    EXPECT_EQ(names(), (std::vector<std::string>{"tree/tool.exe", "b.txt"}));
    const Bytes second = readBinary(a);
    EXPECT_TRUE(std::equal(first.begin(), first.end() - 1, second.begin())) << "the kept member was not copied as it was";

    std::ofstream(src / "tree" / "tool.exe") << "MZ new";
    fs::last_write_time(src / "tree" / "tool.exe", fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    struct Step {
        std::vector<std::string> args;  // behind ARCHIVE
        int exitCode;
        std::vector<std::string> names;
        std::string tool;  // the content of tree/tool.exe afterwards
    };
    const Step steps[] = {
        {{"-u", "tree/tool.exe"}, 0, {"tree/tool.exe", "b.txt"}, "MZ tool"},  // not newer: kept
        {{"tree/tool.exe"}, 0, {"b.txt", "tree/tool.exe"}, "MZ new"},
        {{"tree", "--exclude", "docs"}, 0, {"b.txt", "tree/tool.exe"}, "MZ new"},
        {{"-q", "x:y.txt"}, 0, {"b.txt", "tree/tool.exe", "x:y.txt"}, "MZ new"},  // no warning with -q
        {{"missing"}, 3, {"b.txt", "tree/tool.exe", "x:y.txt"}, "MZ new"},       // nothing to pack: untouched
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args[0] + " " + step.args.back());
        std::vector<std::string> args = {a, "-C", src.string()};
        args.insert(args.end(), step.args.begin(), step.args.end());
        const Bytes before = readBinary(a);
        RunResult r = run(mklzhPath(), args, w.dir.path());
        EXPECT_EQ(r.exitCode, step.exitCode) << r.err;
        if (step.args[0] == "-q") EXPECT_EQ(r.err, "");
        if (step.exitCode != 0 || step.args[0] == "-u") EXPECT_EQ(readBinary(a), before);
        std::vector<std::string> want = step.names;
        std::sort(want.begin(), want.end());
        std::vector<std::string> got = names();
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(content("tree/tool.exe"), step.tool);
    }
    // Nothing to pack writes nothing; a file that is not an archive is never replaced.
    EXPECT_EQ(run(mklzhPath(), {"new.lzh", "missing"}, w.dir.path()).exitCode, 3);
    EXPECT_FALSE(fs::exists(w.dir.path() / "new.lzh"));
    std::ofstream(w.dir.path() / "notes.txt") << "notes";
    RunResult r = run(mklzhPath(), {"notes.txt", "-C", src.string(), "b.txt"}, w.dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not an LZH archive"), std::string::npos) << r.err;
    EXPECT_EQ(textOf(w.dir.path() / "notes.txt"), "notes");
}

// What is in the folder besides the workspace's own files.
std::set<std::string> outputsIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    names.erase("src");
    names.erase("stub.exe");
    return names;
}

// The packers write to a fresh file of their own beside the archive and rename it over the
// archive only once complete: an old ".part", a link at the archive's name and an old archive
// are never written through, and no temporary is left behind. A failed write to standard
// output is an error.
TEST(Packers, OutputTakesTheArchivesNameOnlyWhenComplete) {
    struct Case {
        const char* name;
        bool mksfx;
        const char* prepare;  // a shell command run in the folder first
        std::string redirect;
        int64_t fileSizeLimit;
        int exitCode;
        std::set<std::string> after;  // what the folder holds then
        unsigned mode;                // of the archive, when written
    };
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const Case cases[] = {
        {"an old .part stays", false, "echo keep > x.lzh.part", "", -1, 0, {"x.lzh", "x.lzh.part"}, 0666 & ~mask},
        // mklzh updates an archive that is there: an empty one (its end mark alone) serves.
        {"a link at the name is replaced", false, "printf '\\0' > o; ln -s o x.lzh", "", -1, 0, {"x.lzh", "o"}, 0666 & ~mask},
        {"an old archive keeps its mode", true, "echo old > x.lzh; chmod 640 x.lzh", "", -1, 0, {"x.lzh"}, 0640},
        {"a failed write keeps the old archive", false, "printf '\\0' > x.lzh", "", 100, exitFailure, {"x.lzh"}, 0},
        {"mksfx: a failed write keeps the old file", true, "echo old > x.lzh", "", 20000, exitFailure, {"x.lzh"}, 0},
        {"standard output full", false, "", " -v > /dev/full", -1, exitFailure, {"x.lzh"}, 0666 & ~mask},
        {"mksfx: standard output full", true, "", " -v > /dev/full", -1, exitFailure, {"x.lzh"}, 0666 & ~mask},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        const fs::path d = w.dir.path();
        RunOptions how;
        how.program = "/bin/sh";
        how.args = {"-c", std::string(c.prepare) + "\nexec \"$0\" \"$@\"" + c.redirect,
                    c.mksfx ? mksfxPath() : mklzhPath(), "x.lzh", "-C", w.src().string(), "tree"};
        if (c.mksfx) how.args.insert(how.args.end(), {"--stub", w.stub().string()});
        how.cwd = d;
        how.fileSizeLimit = c.fileSizeLimit;
        RunResult r = runNivosfx(how);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(outputsIn(d), c.after);
        if (fs::exists(d / "o")) EXPECT_EQ(textOf(d / "o"), std::string(1, '\0'));
        if (fs::exists(d / "x.lzh.part")) EXPECT_EQ(textOf(d / "x.lzh.part"), "keep\n");
        if (!c.mode) {
            EXPECT_EQ(textOf(d / "x.lzh"), c.mksfx ? "old\n" : std::string(1, '\0'));
            continue;
        }
        EXPECT_EQ(run("", {"t", (d / "x.lzh").string()}, d).exitCode, 0);
        EXPECT_EQ(static_cast<unsigned>(fs::symlink_status(d / "x.lzh").permissions()), c.mode);
        if (!c.redirect.empty()) EXPECT_NE(r.err.find("standard output: cannot write"), std::string::npos) << r.err;
    }
}

// SIGINT, SIGTERM and SIGHUP while the archive is written: the temporary is removed and the old
// archive stays. Two runs writing one archive at once both finish, and it is whole.
TEST(Packers, StopSignalsAndConcurrentRuns) {
    Workspace w;
    const fs::path d = w.dir.path();
    std::mt19937 random(7);
    Bytes noise(24u << 20);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    writeBinary((w.src() / "noise.bin").string(), noise);
    RunOptions how;
    how.program = mklzhPath();
    how.cwd = d;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        writeBinary((d / "x.lzh").string(), Bytes{0});  // an empty archive, which mklzh updates
        how.args = {"-9", "x.lzh", "-C", w.src().string(), "noise.bin"};
        ChildProcess p(how);
        while (p.running() && outputsIn(d).size() < 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_TRUE(p.running()) << "the archive was written before the signal could be sent";
        ::kill(p.pid(), signal);
        EXPECT_EQ(p.wait().termSignal, signal);
        EXPECT_EQ(outputsIn(d), std::set<std::string>{"x.lzh"});
        EXPECT_EQ(readBinary((d / "x.lzh").string()), Bytes{0});
    }
    how.args = {"-1", "x.lzh", "-C", w.src().string(), "noise.bin"};
    ChildProcess a(how);
    how.args = {"-1", "x.lzh", "-C", w.src().string(), "tree"};
    ChildProcess b(how);
    EXPECT_EQ(a.wait().exitCode, 0);
    EXPECT_EQ(b.wait().exitCode, 0);
    EXPECT_EQ(outputsIn(d), std::set<std::string>{"x.lzh"});
    RunResult t = run("", {"t", "-v", (d / "x.lzh").string()}, d);
    EXPECT_EQ(t.exitCode, 0) << t.err;
    // Each run updates the archive it found: the later one's, whole, with its members at least.
    EXPECT_TRUE(t.out.find("noise.bin") != std::string::npos || t.out.find("tool.exe") != std::string::npos) << t.out;
}

// Nothing before the first real header looks like one: not in the archive, and not in the
// program image and settings in front of it. The real image is scanned by the Wine tests.
TEST(Packers, NothingBeforeTheFirstMemberLooksLikeAHeader) {
    Workspace w;
    RunResult a = run(mklzhPath(), {"x.lzh", "-C", w.src().string(), "tree"}, w.dir.path());
    ASSERT_EQ(a.exitCode, 0) << a.err;
    EXPECT_EQ(firstHeaderLike(readBinary((w.dir.path() / "x.lzh").string())), 0u);
    RunResult s = run(mksfxPath(), {"--stub", w.stub().string(), "--title", "T", "x.exe", "-C", w.src().string(), "tree"},
                      w.dir.path());
    ASSERT_EQ(s.exitCode, 0) << s.err;
    Bytes file = readBinary((w.dir.path() / "x.exe").string());
    // Behind the block: marker, "T" with its length, flag, two empty texts, options, empty text.
    EXPECT_EQ(firstHeaderLike(file), size_t(imageSize) + 10);
}

// The real program image, when the cross build has made it: it holds nothing header-like, and a
// file signed by mksfx is accepted by osslsigncode and still unpacks. (The Wine tests run the
// signed file on Windows.)
TEST(Packers, TheRealImageScansCleanAndASignedFileUnpacks) {
    const std::string stub = NIVO_STUB_PATH;
    if (!fs::exists(stub)) GTEST_SKIP() << stub << " is not built (scripts/build_stub.sh)";
    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "osslsigncode or openssl is missing";
    Workspace w;
    const fs::path d = w.dir.path();
    EXPECT_EQ(firstHeaderLike(readBinary(stub)), std::string::npos);
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test -keyout '" +
                             (d / "key.pem").string() + "' -out '" + (d / "cert.pem").string() + "' 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const std::vector<std::string> pack = {"-C", w.src().string(), "tree"};
    std::vector<std::string> plainArgs = {"--stub", stub, "plain.exe"};
    plainArgs.insert(plainArgs.end(), pack.begin(), pack.end());
    std::vector<std::string> signedArgs = {"--stub", stub, "--sign", "cert.pem", "--key", "key.pem", "signed.exe"};
    signedArgs.insert(signedArgs.end(), pack.begin(), pack.end());
    ASSERT_EQ(run(mksfxPath(), plainArgs, d).exitCode, 0);
    RunResult s = run(mksfxPath(), signedArgs, d);
    ASSERT_EQ(s.exitCode, 0) << s.err;
    EXPECT_EQ(s.out + s.err, "");
    const Bytes plain = readBinary((d / "plain.exe").string());
    const Bytes signedFile = readBinary((d / "signed.exe").string());
    EXPECT_EQ(firstHeaderLike(plain), size_t(imageSize) + 1);
    // The settings block and the archive, end mark included, are where they were; the
    // signature stands behind them.
    ASSERT_GT(signedFile.size(), plain.size() + 256);
    EXPECT_TRUE(std::equal(plain.begin() + imageSize, plain.end(), signedFile.begin() + imageSize));
    const std::string verify = "osslsigncode verify -CAfile '" + (d / "cert.pem").string() + "' -in '" +
                               (d / "signed.exe").string() + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(verify.c_str()), 0);
    RunResult x = w.nivosfx(d / "signed.exe", "out");
    EXPECT_EQ(x.exitCode, 0) << x.err;
    EXPECT_EQ(fs::file_size(d / "out" / "tree" / "docs" / "readme.txt"), 5000u);
}

// The execution level in the manifest: chosen from the destination, or by hand, rewritten in its
// field in place.
TEST(Packers, MksfxSetsTheExecutionLevel) {
    Workspace w;
    const fs::path dir = w.dir.path();
    const struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* level;  // what the field then holds
    } cases[] = {
        {{}, 0, "asInvoker"},
        {{"--title", "T"}, 0, "asInvoker"},
        {{"--destination", "App", "--program-files"}, 0, "requireAdministrator"},
        {{"--destination", "C:\\Program Files (x86)\\App"}, 0, "requireAdministrator"},
        {{"--destination", "c:/program files/App"}, 0, "requireAdministrator"},
        {{"--destination", "C:\\Program Filesystem\\App"}, 0, "asInvoker"},
        {{"--destination", "D:\\Apps\\Tool"}, 0, "asInvoker"},
        {{"--program-files"}, 0, "asInvoker"},  // no destination: the current directory
        {{"--elevation", "highestAvailable"}, 0, "highestAvailable"},
        {{"--destination", "App", "--program-files", "--elevation", "asInvoker"}, 0, "asInvoker"},
        {{"--elevation", "root"}, exitUsage, nullptr},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--stub", w.stub().string(), "out.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"-C", w.src().string(), "tree"});
        SCOPED_TRACE(::testing::PrintToString(c.args));
        fs::remove(dir / "out.exe");
        RunResult r = run(mksfxPath(), args, dir);
        ASSERT_EQ(r.exitCode, c.exitCode) << r.err;
        if (!c.level) continue;
        const Bytes file = readBinary((dir / "out.exe").string());
        const std::string field = manifestLevelField(c.level);
        EXPECT_TRUE(std::search(file.begin(), file.begin() + imageSize, field.begin(), field.end()) !=
                    file.begin() + imageSize);
    }
    // An image without the field is not the program.
    Bytes image = readBinary(w.stub().string());
    image[0x400] = 'L';
    writeBinary((dir / "old.exe").string(), image);
    RunResult r = run(mksfxPath(), {"--stub", (dir / "old.exe").string(), "x.exe", "-C", w.src().string(), "tree"}, dir);
    EXPECT_EQ(r.exitCode, exitFailure);
    EXPECT_NE(r.err.find("no manifest with an execution level"), std::string::npos) << r.err;
}

// The real program image as Windows reads it: the DLLs it imports, its manifest and its size.
TEST(Packers, TheRealImageImportsOnlyKernel32AndCarriesItsManifest) {
    const std::string stub = NIVO_STUB_PATH;
    if (!fs::exists(stub)) GTEST_SKIP() << stub << " is not built (scripts/build_stub.sh)";
    const Bytes f = readBinary(stub);
    ASSERT_EQ(f.size(), size_t(imageSize));
    auto u16 = [&](size_t at) { return at + 2 <= f.size() ? uint32_t(f[at] | f[at + 1] << 8) : 0u; };
    auto u32 = [&](size_t at) { return at + 4 <= f.size() ? u16(at) | u16(at + 2) << 16 : 0u; };
    const size_t pe = u32(0x3C);
    ASSERT_EQ(u32(pe), 0x4550u);  // "PE\0\0"
    const size_t optional = pe + 24, sections = optional + u16(pe + 20);
    const bool pe32 = u16(optional) == 0x10B;
    const size_t directories = optional + (pe32 ? 96 : 112);
    // A virtual address to its place in the file, through the section table.
    auto place = [&](uint32_t rva) -> size_t {
        for (uint32_t i = 0; i < u16(pe + 6); ++i) {
            const size_t h = sections + 40 * i;
            if (rva >= u32(h + 12) && rva < u32(h + 12) + std::max(u32(h + 8), u32(h + 16)))
                return rva - u32(h + 12) + u32(h + 20);
        }
        return f.size();
    };
    std::vector<std::string> dlls;
    for (size_t d = place(u32(directories + 8)); d + 20 <= f.size() && u32(d + 12); d += 20) {
        std::string name(reinterpret_cast<const char*>(&f[place(u32(d + 12))]));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        dlls.push_back(name);
    }
    std::sort(dlls.begin(), dlls.end());
    EXPECT_EQ(dlls, (std::vector<std::string>{"kernel32.dll", "msvcrt.dll"}));
    // The resource tree: type 24, name 1, the first language, its data.
    auto child = [&](size_t table, uint32_t id) -> uint32_t {
        const size_t entries = table + 16, n = u16(table + 12) + u16(table + 14);
        for (size_t i = 0; i < n; ++i)
            if (u32(entries + 8 * i) == id || id == 0) return u32(entries + 8 * i + 4) & 0x7FFFFFFF;
        return UINT32_MAX;
    };
    const size_t root = place(u32(directories + 16));
    const uint32_t type = child(root, 24);
    ASSERT_NE(type, UINT32_MAX) << "no manifest";
    const uint32_t name = child(root + type, 1);
    ASSERT_NE(name, UINT32_MAX);
    const uint32_t data = child(root + name, 0);
    const size_t at = place(u32(root + data));
    const std::string manifest(reinterpret_cast<const char*>(&f[at]), std::min<size_t>(u32(root + data + 4), f.size() - at));
    for (const char* part : {"<requestedExecutionLevel level=\"asInvoker\"", "name=\"Microsoft.Windows.Common-Controls\"",
                             "version=\"6.0.0.0\"", ">true</dpiAware>",
                             "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part << " not in " << manifest;
    EXPECT_NE(manifest.find(manifestLevelField("asInvoker")), std::string::npos) << "no field for mksfx";
}

// mksfx takes only an archive that the program can unpack whole, and checks its settings
// against the members.
TEST(Packers, MksfxChecksItsArchiveAndSettings) {
    Workspace w;
    const fs::path dir = w.dir.path();
    Bytes good;
    appendMember(good, folderMember("bin/", 0));
    appendMember(good, storedMember("bin/Tool.exe", {'M', 'Z'}, 0));
    appendEndMark(good);
    writeBinary((dir / "good.lzh").string(), good);
    Bytes strange(good.begin(), good.end() - 1);  // without the end mark
    LzhMember odd = storedMember("x\x1b.bin", {1, 2, 3}, 0);  // quoted escaped
    odd.method = "-lh9-";
    appendMember(strange, odd);
    appendEndMark(strange);
    writeBinary((dir / "strange.lzh").string(), strange);
    writeBinary((dir / "text.lzh").string(), Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', ',', ' ',
                                                  'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e'});
    writeBinary((dir / "empty.lzh").string(), Bytes{0});
    writeBinary((dir / "setup.exe").string(), sfxFile(nullptr, good));
    writeBinary((dir / "cut.lzh").string(), Bytes(good.begin(), good.end() - 2));  // one data byte and the end gone
    const std::string stub = w.stub().string();

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* said;  // part of stderr; "" for nothing at all
    } cases[] = {
        {{"--archive", "good.lzh", "--target", "bin\\tool.exe", "--desktop", "3", "--open", "BIN/tool.exe"}, 0, ""},
        {{"--archive", "good.lzh", "--target", "bin\\other.exe", "--desktop", "1"}, 0,
         "--target bin\\other.exe names no member"},
        {{"--archive", "good.lzh", "--open", "readme.txt"}, 0, "--open readme.txt names no member"},
        {{"--archive", "strange.lzh"}, exitFailure, "x\\x1b.bin: method -lh9- is not one the program reads"},
        {{"--archive", "setup.exe"}, exitFailure, "setup.exe: is a self-extracting file; give its archive"},
        {{"--archive", "text.lzh"}, exitFailure, "not an LZH archive"},
        {{"--archive", "empty.lzh"}, exitFailure, "holds no members"},
        {{"--archive", "cut.lzh"}, exitFailure, "cut short in the member at offset"},
        {{"--archive", "good.lzh", "--start-menu", "offered"}, exitUsage, "--start-menu needs --target"},
        {{"--archive", "good.lzh", "--send-to", "2", "--title", "T"}, exitUsage, "--send-to needs --target"},
        {{"--archive", "good.lzh", "--sign", "cert.pem"}, exitUsage, "--sign and --key go together"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + (c.args.size() > 2 ? c.args[2] : ""));
        fs::remove(dir / "out.exe");
        std::vector<std::string> args = {"--stub", stub, "out.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(mksfxPath(), args, dir);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (*c.said)
            EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        else
            EXPECT_EQ(r.err, "");
        EXPECT_EQ(fs::exists(dir / "out.exe"), c.exitCode == 0);
    }
    // An image that is not there: the message says how to get one.
    RunResult r = run(mksfxPath(), {"--stub", (dir / "none.exe").string(), "out.exe", "--archive", "good.lzh"}, dir);
    EXPECT_EQ(r.exitCode, exitFailure);
    EXPECT_NE(r.err.find("none.exe"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("scripts/build_stub.sh"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace nivo::test
