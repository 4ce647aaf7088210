// The extraction run and member extraction, into a temporary destination.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extract/extraction_run.h"
#include "lzh/member_header.h"
#include "extract/member_extraction.h"
#include "platform/platform.h"
#include "extract/run_settings.h"
#include "lzh/settings_block.h"
#include "tests/support/bit_writer.h"
#include "tests/support/test_support.h"
#include "tools/lzh_writer.h"

namespace nivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class Recorder : public FrontEnd {
public:
    void memberName(const char* name) override { names.push_back(name); }
    void memberProblem(const char* name, Problem p) override { problems.emplace_back(name, p); }
    void runEnded(bool aborted) override {
        ++ends;
        endedAborted = aborted;
    }
    // Clears keepRunning once the named member has begun.
    void progressPosition(uint32_t) override {
        if (abortDuring && !names.empty() && names.back() == abortDuring) run->keepRunning = 0;
    }
    std::vector<std::string> names;
    std::vector<std::pair<std::string, Problem>> problems;
    int ends = 0;
    bool endedAborted = false;
    const char* abortDuring = nullptr;
    RunValues* run = nullptr;
};

class ExtractionRun : public testing::Test {
protected:
    void SetUp() override {
        old = fs::current_path();
        fs::create_directory(dir.path() / "dest");
        fs::current_path(dir.path() / "dest");
        recorder.run = &context.run;
        context.frontEnd = &recorder;
    }
    void TearDown() override { fs::current_path(old); }

    // Runs over archive bytes placed behind a program image and an absent settings block.
    void run(const Bytes& archive) {
        Bytes file(imageSize, 0);
        file[0] = 'M';
        file[1] = 'Z';
        file.push_back(0x00);
        file.insert(file.end(), archive.begin(), archive.end());
        test::writeBinary((dir.path() / "setup.exe").string(), file);
        context.archiveFile = std::fopen((dir.path() / "setup.exe").c_str(), "rb");
        ASSERT_NE(context.archiveFile, nullptr);
        std::fseek(context.archiveFile, imageSize, SEEK_SET);
        ASSERT_TRUE(readSetupSettings(context));
        ASSERT_EQ(std::ftell(context.archiveFile), imageSize + 1);
        extractionRun(context);
    }
    std::string contents(const char* path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
    // Files a member was being written to that were left in the destination.
    int unfinishedFiles() {
        int n = 0;
        for (const auto& e : fs::recursive_directory_iterator(fs::current_path()))
            if (e.path().filename().string().rfind("~nivo", 0) == 0) ++n;
        return n;
    }

    test::TempDir dir;
    fs::path old;
    ExtractionContext context;
    Recorder recorder;
};

TEST_F(ExtractionRun, AnArchiveOfOnlyTheEndMark) {
    run({0x00});
    EXPECT_EQ(context.run.totalBytes, 0u);
    EXPECT_TRUE(recorder.names.empty());
    EXPECT_EQ(recorder.ends, 1);
    EXPECT_FALSE(recorder.endedAborted);
    EXPECT_TRUE(context.problems.empty());
}

TEST_F(ExtractionRun, MembersOfEveryLevelWithFoldersAndTimes) {
    Bytes a;
    appendMember(a, storedMember("top.txt", bytes("level zero"), 1262337634, 0));
    appendMember(a, folderMember("sub/", 1300000000, 2));
    appendMember(a, storedMember("sub/deep/one.txt", bytes("level one"), 1262337600, 1));
    appendMember(a, storedMember("sub/deep/two.txt", bytes("level two"), 1262337635, 2));
    appendEndMark(a);
    run(a);
    EXPECT_EQ(context.run.totalBytes, 28u);
    EXPECT_EQ(context.run.bytesDone, 28u);
    EXPECT_EQ(recorder.names, (std::vector<std::string>{"top.txt", "sub/", "sub/deep/one.txt", "sub/deep/two.txt"}));
    EXPECT_TRUE(context.problems.empty());
    struct stat st {};
    ASSERT_EQ(stat("top.txt", &st), 0);
    EXPECT_EQ(st.st_mtime, 1262337634);  // level 0: MS-DOS local time, TZ=UTC
    ASSERT_EQ(stat("sub/deep/two.txt", &st), 0);
    EXPECT_EQ(st.st_mtime, 1262337635);
    EXPECT_EQ(st.st_atime, 1262337635);
    ASSERT_EQ(stat("sub", &st), 0);
    EXPECT_NE(st.st_mtime, 1300000000);  // members were written into it afterwards
    EXPECT_EQ(contents("top.txt"), "level zero");
    EXPECT_EQ(contents("sub/deep/one.txt"), "level one");
    EXPECT_EQ(contents("sub/deep/two.txt"), "level two");
}

TEST_F(ExtractionRun, NamesStayInsideTheDestination) {
    Bytes a;
    appendMember(a, storedMember("/abs.txt", bytes("a"), 0));
    appendMember(a, storedMember("C:/drive.txt", bytes("b"), 0));
    appendMember(a, storedMember("../up.txt", bytes("c"), 0));
    appendMember(a, storedMember("in/../../up2.txt", bytes("d"), 0));
    appendMember(a, storedMember("ok/..hidden", bytes("e"), 0));
    // A link is made with its stored target; a member through it is refused.
    fs::create_directory(dir.path() / "outside");
    appendMember(a, folderMember("link|" + (dir.path() / "outside").string() + "/", 0));
    appendMember(a, storedMember("link/escape.txt", bytes("f"), 0));
    appendEndMark(a);
    run(a);
    EXPECT_EQ(contents("abs.txt"), "a");
    EXPECT_EQ(contents("drive.txt"), "b");
    EXPECT_EQ(contents("ok/..hidden"), "e");
    EXPECT_FALSE(fs::exists(dir.path() / "up.txt"));
    EXPECT_FALSE(fs::exists(dir.path() / "up2.txt"));
    EXPECT_FALSE(fs::exists("in"));
    EXPECT_EQ(fs::read_symlink("link"), dir.path() / "outside");
    EXPECT_FALSE(fs::exists(dir.path() / "outside" / "escape.txt"));
    ASSERT_EQ(context.problems.count, 3);
    EXPECT_EQ(context.problems.entries[0].problem, Problem::outsideDestination);
    EXPECT_EQ(context.problems.entries[1].problem, Problem::outsideDestination);
    EXPECT_EQ(context.problems.entries[2].problem, Problem::outsideDestination);
    EXPECT_STREQ(context.problems.entries[2].name, "link/escape.txt");
}

TEST_F(ExtractionRun, ALinkInTheDestinationDoesNotLeadOutside) {
    fs::create_directory(dir.path() / "outside");
    fs::create_directory_symlink(dir.path() / "outside", "via");
    Bytes a;
    appendMember(a, storedMember("via/escape.txt", bytes("x"), 0));
    appendEndMark(a);
    run(a);
    EXPECT_FALSE(fs::exists(dir.path() / "outside" / "escape.txt"));
    ASSERT_EQ(context.problems.count, 1);
}

TEST_F(ExtractionRun, UnknownMethodsAreSkippedAndListed) {
    std::ofstream("keep.txt") << "old";
    Bytes a;
    LzhMember odd = storedMember("keep.txt", bytes("new!"), 0);
    odd.method = "-lh9-";
    appendMember(a, odd);
    appendMember(a, storedMember("after.txt", bytes("after"), 0));
    appendEndMark(a);
    run(a);
    EXPECT_EQ(contents("keep.txt"), "old");  // untouched
    EXPECT_EQ(contents("after.txt"), "after");
    EXPECT_EQ(context.run.bytesDone, 9u);
    ASSERT_EQ(recorder.problems.size(), 1u);
    EXPECT_EQ(recorder.problems[0], std::make_pair(std::string("keep.txt"), Problem::unknownMethod));
}

TEST_F(ExtractionRun, ExistingFilesAreReplacedAndFoldersEntriesAreMade) {
    std::ofstream("old.txt") << "a much longer old content";
    Bytes a;
    appendMember(a, storedMember("old.txt", bytes("new"), 0));
    LzhMember bare = folderMember("bare", 0);  // a folder entry without its final "/"
    appendMember(a, bare);
    appendEndMark(a);
    run(a);
    EXPECT_EQ(contents("old.txt"), "new");
    EXPECT_TRUE(fs::is_directory("bare"));
    EXPECT_TRUE(context.problems.empty());
}

TEST_F(ExtractionRun, AFileThatCannotBeCreatedIsListed) {
    std::ofstream("blocker") << "a file where a folder is needed";
    Bytes a;
    appendMember(a, storedMember("blocker/inner.txt", bytes("x"), 0));
    appendMember(a, storedMember("fine.txt", bytes("y"), 0));
    appendEndMark(a);
    run(a);
    EXPECT_EQ(contents("fine.txt"), "y");
    ASSERT_EQ(context.problems.count, 1);
    EXPECT_EQ(context.problems.entries[0].problem, Problem::cannotCreate);
}

TEST_F(ExtractionRun, ACrcMismatchKeepsTheFileAndIsListed) {
    Bytes a;
    LzhMember m = storedMember("bad.txt", bytes("contents"), 0);
    m.crc ^= 0x0101;
    appendMember(a, m);
    appendEndMark(a);
    run(a);
    EXPECT_EQ(contents("bad.txt"), "contents");
    ASSERT_EQ(recorder.problems.size(), 1u);
    EXPECT_EQ(recorder.problems[0].second, Problem::crcMismatch);
}

// Whether a member takes the place of an old file of its name: only when it passed every check.
// Where no file was, a member that failed its CRC is written all the same and listed.
TEST_F(ExtractionRun, AnOldFileIsReplacedOnlyByAMemberThatPassedEveryCheck) {
    struct Case {
        const char* name;
        bool crcBroken;
        bool modeStored;
        const char* old;       // the file there before, or none
        const char* expected;  // what the file holds after
        std::vector<Problem> problems;
    };
    const Case cases[] = {
        {"sound member over an old file", false, true, "old", "new", {}},
        {"sound member without permissions", false, false, "old", "new", {}},
        {"CRC error over an old file", true, true, "old", "old", {Problem::crcMismatch, Problem::damagedKept}},
        {"CRC error where no file was", true, true, nullptr, "new", {Problem::crcMismatch}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove("m.txt");
        if (c.old) std::ofstream("m.txt") << c.old;
        LzhMember m = storedMember("m.txt", bytes("new"), 1234567890);
        if (c.modeStored) m.unixMode = 0100640;
        if (c.crcBroken) m.crc ^= 0x0101;
        Bytes a;
        appendMember(a, m);
        appendEndMark(a);
        recorder.problems.clear();
        context.problems.count = 0;
        run(a);
        EXPECT_EQ(contents("m.txt"), c.expected);
        EXPECT_EQ(unfinishedFiles(), 0);
        std::vector<Problem> listed;
        for (const auto& [name, problem] : recorder.problems) listed.push_back(problem);
        EXPECT_EQ(listed, c.problems);
        struct stat st {};
        ASSERT_EQ(::stat("m.txt", &st), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        // Set before the rename: never left at the owner-only mode of the temporary.
        if (std::string(c.expected) == "new") EXPECT_EQ(st.st_mode & 0777, c.modeStored ? 0640u : 0666u & ~mask);
    }
}

// The names of the files members are written to until they are complete: never a member's,
// never one that another run is writing, and a leftover of a killed run is removed and reused.
TEST_F(ExtractionRun, TemporaryNames) {
    struct Case {
        const char* name;
        void (*prepare)();
        bool memberNamedFirst;  // "~nivo0.tmp" is where a member of the archive goes
        const char* expected;
        bool leftoverRemains;  // what stood at "~nivo0.tmp" is still there
    };
    static int heldLock = -1;
    const Case cases[] = {
        {"empty folder", [] {}, false, "sub/~nivo0.tmp", false},
        {"a killed run's leftover", [] { std::ofstream("sub/~nivo0.tmp") << "partial"; }, false, "sub/~nivo1.tmp", false},
        {"a file another run is writing",
         [] {
             std::ofstream("sub/~nivo0.tmp") << "being written";
             heldLock = ::open("sub/~nivo0.tmp", O_RDONLY);
             ::flock(heldLock, LOCK_EX);
         },
         false, "sub/~nivo1.tmp", true},
        {"a member's name", [] { std::ofstream("sub/~nivo0.tmp") << "a member"; }, true, "sub/~nivo1.tmp", true},
        {"a link", [] { fs::create_symlink("../outside", "sub/~nivo0.tmp"); }, false, "sub/~nivo1.tmp", true},
        {"a folder", [] { fs::create_directory("sub/~nivo0.tmp"); }, false, "sub/~nivo1.tmp", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all("sub");
        fs::create_directory("sub");
        c.prepare();
        context.nextTemporary = 0;
        context.isMemberPath = [&c](const char* p) { return c.memberNamedFirst && std::string(p) == "sub/~nivo0.tmp"; };
        char temp[writingPathSize] = "sub/";
        FILE* f = createTemporary(context, temp, 4);
        ASSERT_NE(f, nullptr);
        EXPECT_STREQ(temp, c.expected);
        struct stat st {};
        ASSERT_EQ(::fstat(fileno(f), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // Held while written: nobody takes it for a leftover.
        EXPECT_FALSE(platform::removeLeftover(context.destination, temp));
        std::fclose(f);
        EXPECT_EQ(fs::symlink_status("sub/~nivo0.tmp").type() != fs::file_type::not_found, c.leftoverRemains ||
                                                                                               std::string(temp) == "sub/~nivo0.tmp");
        if (heldLock >= 0) ::close(heldLock);
        heldLock = -1;
    }
    EXPECT_FALSE(fs::exists("outside"));
}

TEST_F(ExtractionRun, DamagedDataDeletesThePartialFile) {
    // A -lh5- member whose block header is malformed (a single symbol of 510).
    Bytes data = test::BitWriter().put(1, 16).put(0, 5).put(0, 5).put(0, 9).put(510, 9).bytes();
    LzhMember m;
    m.method = "-lh5-";
    m.name = "broken.bin";
    m.data = data;
    m.originalSize = 100;
    Bytes a;
    appendMember(a, m);
    appendMember(a, storedMember("next.txt", bytes("next"), 0));
    appendEndMark(a);
    std::ofstream("broken.bin") << "old";
    run(a);
    EXPECT_EQ(contents("broken.bin"), "old");  // the file that was there stays
    EXPECT_EQ(unfinishedFiles(), 0);
    EXPECT_EQ(contents("next.txt"), "next");
    ASSERT_EQ(recorder.problems.size(), 1u);
    EXPECT_EQ(recorder.problems[0].second, Problem::damagedData);
}

TEST_F(ExtractionRun, ADamagedHeaderEndsTheRunAndIsListed) {
    Bytes a;
    appendMember(a, storedMember("first.txt", bytes("1"), 0));
    size_t second = a.size();
    appendMember(a, storedMember("second.txt", bytes("2"), 0));
    appendMember(a, storedMember("third.txt", bytes("3"), 0));
    appendEndMark(a);
    a[second + 1] = 0;  // level-2 size of 2 bytes: too short for any header
    a[second] = 2;
    run(a);
    EXPECT_EQ(contents("first.txt"), "1");
    EXPECT_FALSE(fs::exists("second.txt"));
    EXPECT_FALSE(fs::exists("third.txt"));
    ASSERT_EQ(context.problems.count, 1);
    EXPECT_EQ(context.problems.entries[0].problem, Problem::damagedHeader);
    EXPECT_EQ(std::string(context.problems.entries[0].name),
              "(header at offset " + std::to_string(imageSize + 1 + long(second)) + ")");
    EXPECT_FALSE(recorder.endedAborted);
}

TEST_F(ExtractionRun, AnArchiveCutInsideAMemberIsDamaged) {
    Bytes a;
    appendMember(a, storedMember("whole.txt", bytes("whole"), 0));
    appendMember(a, storedMember("cut.bin", Bytes(10000, 7), 0));
    a.resize(a.size() - 5000);
    std::ofstream("cut.bin") << "old";
    run(a);
    EXPECT_EQ(contents("whole.txt"), "whole");
    EXPECT_EQ(contents("cut.bin"), "old");  // the file that was there stays
    EXPECT_EQ(unfinishedFiles(), 0);
    ASSERT_EQ(recorder.problems.size(), 1u);
    EXPECT_EQ(recorder.problems[0], std::make_pair(std::string("cut.bin"), Problem::truncated));
}

TEST_F(ExtractionRun, AnAbortDeletesOnlyTheUnfinishedMember) {
    Bytes a;
    appendMember(a, storedMember("done.txt", bytes("done"), 1234567890));
    appendMember(a, storedMember("big.bin", Bytes(200000, 1), 0));
    appendMember(a, storedMember("never.txt", bytes("never"), 0));
    appendEndMark(a);
    recorder.abortDuring = "big.bin";
    run(a);
    EXPECT_TRUE(recorder.endedAborted);
    EXPECT_EQ(contents("done.txt"), "done");
    EXPECT_EQ(fs::last_write_time("done.txt").time_since_epoch().count() != 0, true);
    EXPECT_FALSE(fs::exists("big.bin"));
    EXPECT_FALSE(fs::exists("never.txt"));
    EXPECT_STREQ(context.outputPath, "");  // nothing left for the front end to delete
}

TEST_F(ExtractionRun, AFinishedMemberIsNoLongerTheOneBeingWritten) {
    Bytes a;
    appendMember(a, storedMember("last.txt", bytes("last"), 0));
    appendEndMark(a);
    run(a);
    EXPECT_STREQ(context.outputPath, "");
}

TEST_F(ExtractionRun, TestOnlyWritesNothing) {
    Bytes a;
    appendMember(a, folderMember("dir/", 0));
    appendMember(a, storedMember("dir/file.txt", bytes("x"), 0));
    LzhMember bad = storedMember("bad.txt", bytes("y"), 0);
    bad.crc ^= 1;
    appendMember(a, bad);
    appendEndMark(a);
    context.testOnly = true;
    run(a);
    EXPECT_TRUE(fs::is_empty(fs::current_path()));
    ASSERT_EQ(recorder.problems.size(), 1u);
    EXPECT_EQ(recorder.problems[0].second, Problem::crcMismatch);
}

TEST_F(ExtractionRun, ALevel2HeaderOf256BytesIsNoEndMark) {
    // The middle member's name makes its header exactly 256 bytes: its first byte is 0.
    Bytes a;
    appendMember(a, storedMember("first.txt", bytes("1"), 0));
    size_t middle = a.size();
    std::string name;
    for (size_t n = 200; n < 259; ++n) {
        Bytes m;
        appendMember(m, storedMember("d/" + std::string(n, 'm'), bytes("2"), 0));
        if (m.size() - 1 == 256) name = "d/" + std::string(n, 'm');
    }
    ASSERT_FALSE(name.empty());
    appendMember(a, storedMember(name, bytes("2"), 0));
    ASSERT_EQ(a[middle], 0);
    appendMember(a, storedMember("third.txt", bytes("3"), 0));
    appendEndMark(a);
    run(a);
    EXPECT_EQ(context.run.totalBytes, 3u);
    EXPECT_EQ(contents("first.txt"), "1");
    EXPECT_EQ(contents(name.c_str()), "2");
    EXPECT_EQ(contents("third.txt"), "3");
    EXPECT_TRUE(context.problems.empty());
}

// Every problem names its member: names that would show nothing get a placeholder, and a
// header that cannot be read is named by its offset, once.
TEST_F(ExtractionRun, ProblemsNameTheirMember) {
    Bytes a;
    appendMember(a, storedMember("", bytes("e"), 0));
    appendMember(a, storedMember("/", bytes("s"), 0));
    appendMember(a, storedMember("C:", bytes("d"), 0));
    appendMember(a, folderMember("./", 0));  // the destination itself: nothing to do
    LzhMember sizes = storedMember("sizes.txt", bytes("twelve bytes"), 0);
    sizes.originalSize = 5;  // a stored member's two sizes differ
    appendMember(a, sizes);
    appendMember(a, storedMember("a/./b/x.txt", bytes("x"), 0));
    size_t odd = a.size();
    appendMember(a, storedMember("odd", bytes("o"), 0, 0));
    appendMember(a, storedMember("never.txt", bytes("n"), 0));
    appendEndMark(a);
    a[odd] = static_cast<uint8_t>(a[odd] + 1);  // S - N of 23: a layout nobody writes
    a.insert(a.begin() + long(odd) + 24, 0);
    run(a);
    EXPECT_EQ(contents("a/b/x.txt"), "x");
    EXPECT_FALSE(fs::exists("sizes.txt"));
    EXPECT_FALSE(fs::exists("never.txt"));
    using P = std::pair<std::string, Problem>;
    EXPECT_EQ(recorder.problems, (std::vector<P>{
                                     {"(empty name)", Problem::noFileName},
                                     {"(no file name)", Problem::noFileName},
                                     {"(no file name)", Problem::noFileName},
                                     {"sizes.txt", Problem::damagedData},
                                     {"(header at offset " + std::to_string(imageSize + 1 + long(odd)) + ")",
                                      Problem::unknownHeader},
                                 }));
}

TEST_F(ExtractionRun, WindowsDeviceNamesAndStreamsAreRefusedWhereTheyMeanSomething) {
    for (bool windows : {false, true}) {
        SCOPED_TRACE(windows);
        fs::current_path(dir.path());
        fs::remove_all(dir.path() / "dest");
        fs::create_directory(dir.path() / "dest");
        fs::current_path(dir.path() / "dest");
        context.problems.count = 0;
        recorder.problems.clear();
        context.windowsNames = windows;
        Bytes a;
        for (const char* name : {"NUL", "aux", "COM1.txt", "sub/nul.txt", "file.txt:stream", "fine.txt"})
            appendMember(a, storedMember(name, bytes("x"), 0));
        appendEndMark(a);
        if (context.archiveFile) std::fclose(context.archiveFile);
        run(a);
        EXPECT_EQ(contents("fine.txt"), "x");
        EXPECT_EQ(fs::exists("COM1.txt"), !windows);
        EXPECT_EQ(fs::exists("sub/nul.txt"), !windows);
        EXPECT_EQ(recorder.problems.size(), windows ? 5u : 0u);
        for (const auto& p : recorder.problems) EXPECT_EQ(p.second, Problem::reservedName) << p.first;
    }
}

TEST(MeasureArchive, SkipsExtendedHeadersAndDataAndStaysPut) {
    Bytes a;
    appendMember(a, storedMember("a/b/c.txt", Bytes(300, 1), 0, 1));  // level 1 with a folder header
    appendMember(a, storedMember(std::string(270, 'n'), Bytes(5, 1), 0, 2));  // level 2 over 256 bytes
    appendMember(a, storedMember("z", Bytes(7, 1), 0, 0));
    appendEndMark(a);
    ExtractionContext context;
    context.archiveFile = test::fileWithBytes(a);
    EXPECT_EQ(measureArchive(context), 312u);
    EXPECT_EQ(std::ftell(context.archiveFile), 0);
}

// What a run left under a folder: every path, with a file's contents or "/" for a folder.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::ifstream in(e.path(), std::ios::binary);
        tree[fs::relative(e.path(), root).string()] =
            e.is_directory() ? "/" : std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return tree;
}

class StringSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        text.append(reinterpret_cast<const char*>(data), count);
        return true;
    }
    std::string text;
};

// The run as every front end calls it: on one thread or on workers, into the current folder
// or into a destination handed over as an open folder while the current folder is elsewhere,
// for x, t and p, with members left out by the choice. Every way writes the same files, lists
// the same problems and ends its bar at 100; nothing lands outside the destination.
TEST(RunMembers, EveryWayWritesTheSameIntoTheDestinationItIsGiven) {
    Bytes a;
    appendMember(a, storedMember("top.txt", Bytes{'t', 'o', 'p'}, 0));
    appendMember(a, folderMember("sub/", 0));
    appendMember(a, storedMember("sub/deep/a.txt", Bytes(100000, 'a'), 0));
    appendMember(a, storedMember("skip/b.txt", Bytes{'b'}, 0));
    appendMember(a, storedMember("../up.txt", Bytes{'u'}, 0));
    LzhMember odd = storedMember("odd.txt", Bytes{'o'}, 0);
    odd.method = "-lh9-";
    appendMember(a, odd);
    appendMember(a, storedMember("sub/deep/c.txt", Bytes{'c'}, 0));
    // A CRC error in a member whose name is too long for a file of this system: both are
    // listed, once each, though a worker wrote it in another folder.
    LzhMember unnamed = storedMember("b/" + std::string(256, 'n'), Bytes{'x'}, 0);
    unnamed.crc ^= 0x0101;
    appendMember(a, unnamed);
    appendEndMark(a);
    using Problems = std::vector<std::pair<std::string, Problem>>;
    const std::map<std::string, std::string> written = {
        {"top.txt", "top"}, {"sub", "/"}, {"sub/deep", "/"}, {"sub/deep/a.txt", std::string(100000, 'a')},
        {"sub/deep/c.txt", "c"}, {"b", "/"}};
    const Problems refused = {{"../up.txt", Problem::outsideDestination}, {"odd.txt", Problem::unknownMethod}};
    Problems onOneThread;  // what x lists on one thread
    struct Way {
        char command;
        unsigned threads;
        bool handle;  // the destination as an open folder, the current folder elsewhere
    } ways[] = {{'x', 1, false}, {'x', 1, true}, {'x', 2, true}, {'x', 4, true}, {'t', 1, true},
                {'t', 3, true},  {'p', 1, true}};
    for (const Way& way : ways) {
        SCOPED_TRACE(std::string(1, way.command) + " on " + std::to_string(way.threads) + " threads" +
                     (way.handle ? ", by handle" : ""));
        test::TempDir dir;
        fs::create_directory(dir.path() / "dest");
        fs::create_directory(dir.path() / "elsewhere");
        const fs::path old = fs::current_path();
        fs::current_path(dir.path() / (way.handle ? "elsewhere" : "dest"));
        StringSink printed;
        Recorder recorder;
        uint32_t lastPosition = 0;
        {
            ExtractionContext context;
            context.archiveFile = test::fileWithBytes(a);
            context.frontEnd = &recorder;
            context.testOnly = way.command == 't';
            const int folder = ::open((dir.path() / "dest").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(folder, 0);
            if (way.handle) context.destination.fd = folder;
            RunChoices choices;
            choices.wanted = [](void*, const MemberHeader& h) { return std::strncmp(h.name, "skip/", 5) != 0; };
            choices.choose = choices.wanted;
            choices.threads = way.threads;
            choices.print = way.command == 'p' ? &printed : nullptr;
            struct Position final : FrontEnd {
                Recorder& to;
                uint32_t& last;
                Position(Recorder& r, uint32_t& l) : to(r), last(l) {}
                void memberName(const char* name) override { to.memberName(name); }
                void progressPosition(uint32_t position) override { last = position; }
                void memberProblem(const char* name, Problem p) override { to.memberProblem(name, p); }
                void runEnded(bool aborted) override { to.runEnded(aborted); }
            } position(recorder, lastPosition);
            context.frontEnd = &position;
            runMembers(context, choices, measureChosen(context, choices));
            ::close(folder);
        }
        fs::current_path(old);
        EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere"));
        EXPECT_EQ(recorder.ends, 1);
        EXPECT_EQ(lastPosition, 100u);
        ASSERT_EQ(recorder.names.size(), 7u);
        EXPECT_EQ(recorder.names[5], "sub/deep/c.txt");
        ASSERT_GE(recorder.problems.size(), 2u);
        const std::string unnamedShown = recorder.problems.back().first;
        if (way.command == 'x') {
            EXPECT_EQ(treeOf(dir.path() / "dest"), written);
            if (onOneThread.empty()) {
                onOneThread = refused;
                onOneThread.emplace_back(unnamedShown, Problem::crcMismatch);
                onOneThread.emplace_back(unnamedShown, Problem::cannotCreate);
            }
            EXPECT_EQ(recorder.problems, onOneThread);
        } else if (way.command == 't') {
            EXPECT_TRUE(fs::is_empty(dir.path() / "dest"));
            Problems tested = refused;
            tested.emplace_back(unnamedShown, Problem::crcMismatch);
            EXPECT_EQ(recorder.problems, tested);
        } else {
            // p gives the bytes of every file it can decode, whatever its name.
            EXPECT_TRUE(fs::is_empty(dir.path() / "dest"));
            EXPECT_EQ(printed.text, "top" + std::string(100000, 'a') + "ucx");
            EXPECT_EQ(recorder.problems,
                      (Problems{{"odd.txt", Problem::unknownMethod}, {unnamedShown, Problem::crcMismatch}}));
        }
    }
}

// The platform's threads, as the scheduler uses them: workers that count under the mutex and
// wake a waiter, which also wakes by itself once its time is up; join waits for the end.
TEST(PlatformThreads, WorkersCountUnderTheMutexAndWakeTheWaiter) {
    struct Shared {
        platform::Mutex mutex;
        platform::Condition done;
        int count = 0;
    } shared;
    constexpr int workers = 4, steps = 20000;
    {
        platform::Locked l(shared.mutex);
        shared.done.waitFor(shared.mutex, 1);  // nobody notifies: the wait ends by itself
    }
    platform::Thread threads[workers];
    for (platform::Thread& t : threads)
        ASSERT_TRUE(t.start(
            [](void* p) {
                auto& s = *static_cast<Shared*>(p);
                for (int i = 0; i < steps; ++i) {
                    platform::Locked l(s.mutex);
                    if (++s.count == workers * steps) s.done.notifyAll();
                }
            },
            &shared));
    {
        platform::Locked l(shared.mutex);
        while (shared.count < workers * steps) shared.done.wait(shared.mutex);
    }
    for (platform::Thread& t : threads) t.join();
    EXPECT_EQ(shared.count, workers * steps);
}

TEST(MemberOutputPath, RemovesDrivesAndLeadingSeparatorsAndRefusesClimbing) {
    struct Case {
        const char* name;
        const char* path;  // null: refused
    } cases[] = {
        {"a/b.txt", "a/b.txt"}, {"/a", "a"}, {"//a", "a"}, {"C:a", "a"}, {"c:/a/b", "a/b"},
        {"..", nullptr}, {"a/../b", nullptr}, {"a/..", nullptr}, {"a/./../b", nullptr},
        {"/", ""}, {"", ""}, {"C:", ""}, {".", ""},  // nothing left: the caller decides
        {"..a/b..", "..a/b.."}, {"a/./b/x", "a/b/x"}, {"./a/.", "a"}, {"a//b/", "a/b"}, {"sub/", "sub"},
    };
    for (const Case& c : cases) {
        char out[pathBufferSize];
        bool ok = memberOutputPath(c.name, out, sizeof out);
        EXPECT_EQ(ok, c.path != nullptr) << c.name;
        if (ok && c.path) EXPECT_STREQ(out, c.path);
    }
}

}  // namespace
}  // namespace nivo
