// nivosfx choosing what to do with each member: selection by name, replacing existing files,
// standard output, the JSON listing, pipes, free space and what reaches the terminal.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "tests/e2e/program_runner.h"
#include "tests/support/test_support.h"
#include "tools/lzh_writer.h"

namespace nivo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t someTime = 1300000000;  // 2011-03-13 07:06:40 UTC

std::string describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

std::set<std::string> filesUnder(const fs::path& root) {
    std::set<std::string> s;
    if (!fs::exists(root)) return s;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) s.insert(fs::relative(e.path(), root).string());
    return s;
}

// docs/ (a folder entry, stamped an hour later than the files), docs/a.txt, docs/b.md,
// src/main.c, src/util.c, readme.txt and "日本語.txt" (code page 932 in the archive).
Bytes sampleArchive() {
    Bytes a;
    appendMember(a, folderMember("docs/", someTime + 3600));
    appendMember(a, storedMember("docs/a.txt", bytesOf("A"), someTime));
    appendMember(a, storedMember("docs/b.md", bytesOf("B"), someTime));
    appendMember(a, storedMember("src/main.c", bytesOf("main"), someTime));
    appendMember(a, storedMember("src/util.c", bytesOf("util"), someTime));
    appendMember(a, storedMember("readme.txt", bytesOf("read me"), someTime));
    appendMember(a, storedMember("\x93\xfa\x96\x7b\x8c\xea.txt", bytesOf("nihongo"), someTime));
    appendEndMark(a);
    return a;
}

RunResult nivosfx(std::vector<std::string> args, const std::string& input = "", bool terminal = false) {
    RunOptions how;
    how.args = std::move(args);
    how.stdinText = input;
    how.terminal = terminal;
    return runNivosfx(how);
}

TEST(MemberChoice, NamesAndExclusionsChooseTheMembers) {
    TempDir tmp;
    const std::string a = (tmp.path() / "a.lzh").string();
    writeBinary(a, sampleArchive());
    struct Case {
        std::vector<std::string> choice;  // behind FILE
        std::set<std::string> files;
        int exitCode;
    };
    const Case cases[] = {
        {{}, {"docs/a.txt", "docs/b.md", "src/main.c", "src/util.c", "readme.txt", "日本語.txt"}, 0},
        {{"readme.txt"}, {"readme.txt"}, 0},
        {{"*.txt"}, {"docs/a.txt", "readme.txt", "日本語.txt"}, 0},  // "*" crosses "/"
        {{"src"}, {"src/main.c", "src/util.c"}, 0},                  // a folder takes its contents
        {{"docs/"}, {"docs/a.txt", "docs/b.md"}, 0},                 // as l shows a folder
        {{"-x", "src/"}, {"docs/a.txt", "docs/b.md", "readme.txt", "日本語.txt"}, 0},
        {{"docs/?.*"}, {"docs/a.txt", "docs/b.md"}, 0},
        {{"src/[m]*"}, {"src/main.c"}, 0},
        {{"日本*"}, {"日本語.txt"}, 0},                              // UTF-8, as listed
        {{"-x", "*.c"}, {"docs/a.txt", "docs/b.md", "readme.txt", "日本語.txt"}, 0},
        {{"docs", "src", "-x", "*.md", "*util*"}, {"docs/a.txt", "src/main.c"}, 0},
        {{"README.TXT"}, {}, 11},  // case counts
        {{"readme.txt", "missing*"}, {"readme.txt"}, 11},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& s : c.choice) shown += s + " ";
        SCOPED_TRACE(shown);
        fs::path dest = tmp.path() / ("x" + std::to_string(n++));
        std::vector<std::string> args = {"x", a, "-d", dest.string()};
        args.insert(args.end(), c.choice.begin(), c.choice.end());
        RunResult r = nivosfx(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_EQ(filesUnder(dest), c.files);
        if (c.exitCode == 11) EXPECT_TRUE(contains(r.err, "no member matches")) << describe(r);
        if (c.choice.empty()) {
            // The folder keeps its own time, though its files were written after it.
            struct stat st {};
            ASSERT_EQ(::stat((dest / "docs").c_str(), &st), 0);
            EXPECT_EQ(st.st_mtime, someTime + 3600);
        }

        // l and t take the same members.
        args = {"l", a, "--json"};
        args.insert(args.end(), c.choice.begin(), c.choice.end());
        RunResult listed = nivosfx(args);
        EXPECT_EQ(listed.exitCode, c.exitCode) << describe(listed);
        std::set<std::string> listedFiles;
        const nlohmann::json listing = nlohmann::json::parse(listed.out);
        for (const auto& m : listing["members"])
            if (!m["folder"].get<bool>()) listedFiles.insert(m["name"].get<std::string>());
        EXPECT_EQ(listedFiles, c.files);
        args.erase(args.begin() + 2);
        args[0] = "t";
        RunResult tested = nivosfx(args);
        EXPECT_EQ(tested.exitCode, c.exitCode) << describe(tested);
    }
}


// What happens to a file that is already there: -o, -n, no terminal (replace, as the Windows
// program does), and the answers typed on a terminal.
TEST(MemberChoice, ExistingFilesAreReplacedAsAnswered) {
    TempDir tmp;
    const std::string a = (tmp.path() / "a.lzh").string();
    writeBinary(a, sampleArchive());
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string answers;
        bool terminal;
        std::set<std::string> replaced;  // of docs/a.txt, docs/b.md, readme.txt
        int questions;
    };
    const Case cases[] = {
        {"-o", {"-o"}, "", true, {"docs/a.txt", "docs/b.md", "readme.txt"}, 0},
        {"-n", {"-n"}, "", true, {}, 0},
        {"no terminal", {}, "", false, {"docs/a.txt", "docs/b.md", "readme.txt"}, 0},
        {"yes, no, yes", {}, "y\nn\nyes\n", true, {"docs/a.txt", "readme.txt"}, 3},
        {"no, then all", {}, "n\nA\n", true, {"docs/b.md", "readme.txt"}, 2},
        {"none", {}, "N\n", true, {}, 1},
        {"unclear answer asked again", {}, "what\ny\nn\nn\n", true, {"docs/a.txt"}, 4},
        {"end of input keeps the rest", {}, "y\n\x04", true, {"docs/a.txt"}, 2},
    };
    const char* const existing[] = {"docs/a.txt", "docs/b.md", "readme.txt"};
    int n = 0;
    // With --threads 2 the answers count as on one thread.
    for (const Case& c : cases)
    for (const std::string threads : {"1", "2"}) {
        SCOPED_TRACE(std::string(c.name) + ", --threads " + threads);
        fs::path dest = tmp.path() / ("d" + std::to_string(n++));
        for (const char* e : existing) {
            fs::create_directories((dest / e).parent_path());
            std::ofstream(dest / e) << "old";
        }
        std::vector<std::string> args = {"x", a, "-d", dest.string(), "docs", "readme.txt", "--threads", threads};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = nivosfx(args, c.answers, c.terminal);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        for (const char* e : existing) {
            SCOPED_TRACE(e);
            std::string now = textOf(dest / e);
            EXPECT_EQ(now != "old", c.replaced.count(e) == 1) << now;
        }
        size_t asked = 0;
        for (size_t at = r.err.find("replace "); at != std::string::npos; at = r.err.find("replace ", at + 1)) {
            ++asked;
            // Never behind the bar: it was cleared first. (The typed answers are echoed as soon as
            // they are fed, so a question may follow the one before.)
            const size_t lineStart = r.err.find_last_of("\r\n", at);
            const std::string before = r.err.substr(lineStart == std::string::npos ? 0 : lineStart, at - lineStart);
            EXPECT_EQ(before.find('%'), std::string::npos) << describe(r);
        }
        EXPECT_EQ(asked, static_cast<size_t>(c.questions)) << describe(r);
        EXPECT_FALSE(contains(r.out, "replace ")) << "questions go to the terminal, not stdout";
    }
}

// p writes the chosen members' bytes and nothing else; a damaged member still fails the run.
TEST(MemberChoice, PrintWritesOnlyTheMembersBytes) {
    TempDir tmp;
    const std::string a = (tmp.path() / "a.lzh").string();
    writeBinary(a, sampleArchive());
    SetupBlock s;
    s.title = "Setup";
    s.destination = "C:\\Somewhere";
    const std::string sfx = (tmp.path() / "setup.exe").string();
    writeBinary(sfx, sfxFile(&s, sampleArchive()));
    LzhMember bad = storedMember("bad.txt", bytesOf("xyz"), someTime);
    bad.crc ^= 1;
    Bytes damaged;
    appendMember(damaged, storedMember("good.txt", bytesOf("good"), someTime));
    appendMember(damaged, bad);
    appendEndMark(damaged);
    const std::string d = (tmp.path() / "damaged.lzh").string();
    writeBinary(d, damaged);
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int exitCode;
    };
    const Case cases[] = {
        {{"p", a, "readme.txt"}, "read me", 0},
        {{"p", a, "src"}, "mainutil", 0},
        {{"p", a, "-x", "*.c", "*.txt"}, "B", 0},
        {{"p", sfx, "docs"}, "AB", 0},  // no setup is played for p
        {{"p", d}, "goodxyz", 2},       // the bytes go out; the CRC error is reported
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        RunResult r = nivosfx(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << describe(r);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err.empty(), c.exitCode == 0) << describe(r);
    }
}

// The JSON listing against what the file was made of, and the settings in the text listing.
TEST(MemberChoice, ListingShowsTheSettingsAndTheMembersAsJson) {
    TempDir tmp;
    SetupBlock s;
    s.title = "Tool \"setup\"";
    s.programFilesFlag = 1;
    s.destination = "Tools\\Tool";
    s.shortcutTarget = "tool.exe";
    s.startMenuOption = 3;
    s.desktopOption = 1;
    s.sendToOption = 2;
    s.launchCommand = "readme.txt";
    Bytes archive;
    appendMember(archive, folderMember("docs/", someTime));
    LzhMember level0 = storedMember("\x93\xfa\x96\x7b.txt", bytesOf("nihon"), someTime, 0);
    appendMember(archive, level0);
    appendEndMark(archive);
    const std::string sfx = (tmp.path() / "setup.exe").string();
    writeBinary(sfx, sfxFile(&s, archive));

    RunResult r = nivosfx({"l", "--json", sfx});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["format"], 1);
    EXPECT_EQ(j["complete"], true);
    const auto& set = j["settings"];
    EXPECT_EQ(set["title"], "Tool \"setup\"");
    EXPECT_EQ(set["destination"], "Tools\\Tool");
    EXPECT_EQ(set["programFiles"], true);
    EXPECT_EQ(set["shortcutTarget"], "tool.exe");
    EXPECT_EQ(set["startMenu"], (nlohmann::json{{"offered", true}, {"chosen", true}}));
    EXPECT_EQ(set["desktop"], (nlohmann::json{{"offered", true}, {"chosen", false}}));
    EXPECT_EQ(set["sendTo"], (nlohmann::json{{"offered", false}, {"chosen", true}}));
    EXPECT_EQ(set["open"], "readme.txt");
    ASSERT_EQ(j["members"].size(), 2u);
    const auto& folder = j["members"][0];
    EXPECT_EQ(folder["name"], "docs/");
    EXPECT_EQ(folder["folder"], true);
    EXPECT_EQ(folder["method"], "-lhd-");
    const auto& file = j["members"][1];
    EXPECT_EQ(file["name"], "日本.txt");
    EXPECT_EQ(file["size"], 5);
    EXPECT_EQ(file["packedSize"], 5);
    EXPECT_EQ(file["method"], "-lh0-");
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", level0.crc);
    EXPECT_EQ(file["crc"], crc);
    EXPECT_EQ(file["time"], "2011-03-13T07:06:40Z");
    EXPECT_EQ(file["folder"], false);

    // A plain archive has no settings.
    const std::string plain = (tmp.path() / "plain.lzh").string();
    writeBinary(plain, archive);
    r = nivosfx({"l", plain, "--json"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(nlohmann::json::parse(r.out)["settings"].is_null());

    r = nivosfx({"l", sfx});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    const std::pair<const char*, const char*> shown[] = {
        {"Title:", "Tool \"setup\""},           {"Destination:", "Tools\\Tool (under Program Files)"},
        {"Start menu entry:", "yes"},           {"Desktop shortcut:", "no"},
        {"Send To entry:", "yes (fixed)"},      {"Shortcut target:", "tool.exe"},
        {"File to open:", "readme.txt"}};
    std::istringstream lines(r.out);
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(':');
        if (colon != std::string::npos && line.find_first_not_of(' ', colon + 1) != std::string::npos)
            fields[line.substr(0, colon + 1)] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    for (const auto& [label, value] : shown) EXPECT_EQ(fields[label], value) << label << "\n" << r.out;
}

// FILE "-" and a pipe: read once, front to back, settings block included, as the run goes:
// no copy is kept (no TMPDIR, and no file of more than 1 MiB may be written), and a member of
// 6 MiB is passed over.
TEST(MemberChoice, ArchivesComeThroughPipes) {
    TempDir tmp;
    SetupBlock s;
    s.destination = "Piped";
    Bytes archive;
    appendMember(archive, storedMember("big.bin", Bytes(6 << 20, 0x42), someTime));
    const Bytes sample = sampleArchive();
    archive.insert(archive.end(), sample.begin(), sample.end());
    Bytes sfx = sfxFile(&s, archive);
    RunOptions how;
    how.args = {"x", "-", "-y", "readme.txt"};
    how.stdinText = std::string(sfx.begin(), sfx.end());
    how.cwd = tmp.path();
    how.extraEnv = {"TMPDIR=" + (tmp.path() / "missing").string()};
    how.fileSizeLimit = 1 << 20;
    RunResult r = runNivosfx(how);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(textOf(tmp.path() / "Piped" / "readme.txt"), "read me");

    how.args = {"t", "/dev/stdin"};
    r = runNivosfx(how);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(contains(r.out, "No errors in 8 members")) << describe(r);
    how.args = {"p", "-", "src/"};
    r = runNivosfx(how);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(r.out, "mainutil");
}

// Members that cannot fit are refused before anything is written, unless --force.
TEST(MemberChoice, RefusesMembersThatCannotFit) {
    TempDir tmp;
    struct statvfs st {};
    ASSERT_EQ(::statvfs(tmp.path().c_str(), &st), 0);
    const uint64_t free = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    // Members of 4 GB each, with enough data to make that much (about 1 KB): nothing of them is
    // ever decoded.
    Bytes a;
    appendMember(a, storedMember("first.txt", bytesOf("first"), someTime));
    for (uint64_t claimed = 0; claimed <= free; claimed += 0xFFFFFFFFu) {
        LzhMember big = storedMember("big" + std::to_string(claimed) + ".bin", Bytes(1100, 0x55), someTime);
        big.method = "-lh5-";
        big.originalSize = 0xFFFFFFFFu;
        appendMember(a, big);
    }
    appendEndMark(a);
    const std::string archive = (tmp.path() / "big.lzh").string();
    writeBinary(archive, a);
    fs::path dest = tmp.path() / "out";
    RunResult r = nivosfx({"x", archive, "-d", dest.string()});
    EXPECT_EQ(r.exitCode, 50) << describe(r);
    EXPECT_TRUE(contains(r.err, dest.string())) << describe(r);
    EXPECT_TRUE(contains(r.err, "--force")) << describe(r);
    EXPECT_TRUE(filesUnder(dest).empty());
    // Chosen by name, the small member fits.
    r = nivosfx({"x", archive, "-d", dest.string(), "first.txt"});
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(textOf(dest / "first.txt"), "first");
}

// -q leaves only problems, -v names each member; on a terminal the bar measures wide
// characters as two columns and fits the width; TERM=dumb has no bar.
TEST(MemberChoice, WhatReachesTheTerminal) {
    TempDir tmp;
    const std::string a = (tmp.path() / "a.lzh").string();
    std::string longName;
    for (int i = 0; i < 60; ++i) longName += "\x93\xfa";  // 60 times a two-column character
    Bytes archive;
    appendMember(archive, storedMember(longName + ".txt", Bytes(1 << 20, 7), someTime));
    appendMember(archive, storedMember("readme.txt", bytesOf("read me"), someTime));
    appendEndMark(archive);
    writeBinary(a, archive);
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool terminal;
        const char* term;
        bool summary, eachMember, bar;
    };
    const Case cases[] = {
        {"plain", {}, false, "xterm", true, false, false},
        {"-q", {"-q"}, true, "xterm", false, false, false},
        {"-v", {"-v"}, false, "xterm", true, true, false},
        {"terminal", {}, true, "xterm", true, false, true},
        {"dumb terminal", {}, true, "dumb", true, false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions how;
        how.args = {"x", a, "-d", (tmp.path() / ("o" + std::to_string(n++))).string()};
        how.args.insert(how.args.end(), c.options.begin(), c.options.end());
        how.stderrTerminal = c.terminal;
        how.extraEnv = {std::string("TERM=") + c.term};
        RunResult r = runNivosfx(how);
        EXPECT_EQ(r.exitCode, 0) << describe(r);
        EXPECT_EQ(contains(r.out, "Extracted 2 members"), c.summary) << describe(r);
        EXPECT_EQ(contains(r.out, "readme.txt\n"), c.eachMember) << describe(r);
        EXPECT_EQ(contains(r.err, "%"), c.bar) << describe(r);
        if (!c.bar) continue;
        // Every state of the bar fits the 80 columns of the test's terminal.
        size_t start = 0;
        for (size_t at = r.err.find("\r\x1b[K"); at != std::string::npos; at = r.err.find("\r\x1b[K", at + 1)) {
            std::string line = r.err.substr(start, at - start);
            start = at + 4;
            size_t columns = 0;
            for (size_t i = 0; i < line.size(); ++i) {
                auto b = static_cast<unsigned char>(line[i]);
                if ((b & 0xC0) == 0x80) continue;
                columns += b >= 0xE0 ? 2 : 1;  // every three-byte character here is a wide one
            }
            EXPECT_LE(columns, 80u) << line;
        }
        EXPECT_TRUE(contains(r.err, "\x93\xfa") == false);
        EXPECT_TRUE(contains(r.err, "日日日")) << describe(r);
    }
}

}  // namespace
}  // namespace nivo::test
