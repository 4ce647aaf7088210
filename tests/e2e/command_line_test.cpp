// The command-line conventions nivosfx, mksfx and mklzh share: --help, --version, one-line
// usage errors with a hint, one exit code for bad usage, and the forms an option may take.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/program_runner.h"
#include "tests/support/test_support.h"

namespace nivo::test {
namespace {

namespace fs = std::filesystem;

std::string describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

// "<program> (Nivo SFX) X.Y.Z" and a newline, with whole numbers X, Y and Z. Written out by hand:
// <regex> trips GCC's maybe-uninitialized warning in the sanitizer build.
static bool isVersionLine(const std::string& out, const std::string& program) {
    const std::string lead = program + " (Nivo SFX) ";
    if (out.rfind(lead, 0) != 0 || out.empty() || out.back() != '\n') return false;
    int numbers = 0;
    bool inNumber = false;
    for (size_t i = lead.size(); i + 1 < out.size(); i++) {
        char ch = out[i];
        if (ch >= '0' && ch <= '9') {
            if (!inNumber) numbers++;
            inNumber = true;
        } else if (ch == '.' && inNumber && numbers < 3) {
            inNumber = false;
        } else {
            return false;
        }
    }
    return numbers == 3 && inNumber;
}

TEST(CommandLine, OptionsFollowTheSameConventionsInEveryProgram) {
    TempDir tmp;
    {
        std::ofstream(tmp.path() / "-dash.txt") << "dash";
        std::ofstream(tmp.path() / "a.txt") << "a";
    }
    const std::string out = (tmp.path() / "out.lzh").string();
    enum Expect { help, version, usageError, success };
    struct Case {
        std::string program;
        std::vector<std::string> args;
        Expect expect;
        std::string errorText;  // for usage errors: what the first line must say
    };
    const Case cases[] = {
        {"nivosfx", {"--help"}, help, ""},
        {"nivosfx", {"x", "a.lzh", "-h"}, help, ""},
        {"nivosfx", {"--version"}, version, ""},
        {"nivosfx", {}, usageError, "no command"},
        {"nivosfx", {"l"}, usageError, "no FILE"},
        {"nivosfx", {"x", "a.lzh", "--bogus"}, usageError, "unknown option --bogus"},
        {"nivosfx", {"x", "a.lzh", "-yZ"}, usageError, "unknown option -Z"},
        {"nivosfx", {"x", "a.lzh", "-d"}, usageError, "-d needs a value"},
        {"nivosfx", {"x", "a.lzh", "--open=yes"}, usageError, "--open takes no value"},
        {"nivosfx", {"x", "a.lzh", "--json"}, usageError, "--json goes with l"},
        {"nivosfx", {"l", "a.lzh", "-x"}, usageError, "-x needs a value"},
        {"nivosfx", {"x", "a.lzh", "-o", "-n"}, usageError, "-n cannot go with -o"},
        {"nivosfx", {"t", "a.lzh", "-d", "out"}, usageError, "-d goes with x"},
        {"nivosfx", {"u", "a.lzh"}, usageError, "unknown command u"},
        {"mksfx", {"--help"}, help, ""},
        {"mksfx", {"-h"}, help, ""},
        {"mksfx", {"--version"}, version, ""},
        {"mksfx", {}, usageError, "no output"},
        {"mksfx", {"--bogus", "x.exe", "a.txt"}, usageError, "unknown option --bogus"},
        {"mksfx", {"x.exe", "a.txt", "--title"}, usageError, "--title needs a value"},
        {"mklzh", {"--help"}, help, ""},
        {"mklzh", {"-h"}, help, ""},
        {"mklzh", {"--version"}, version, ""},
        {"mklzh", {}, usageError, "no ARCHIVE"},
        {"mklzh", {out}, usageError, "nothing to pack"},
        {"mklzh", {"--bogus", out, "a.txt"}, usageError, "unknown option --bogus"},
        {"mklzh", {out, "a.txt", "-m"}, usageError, "-m needs a value"},
        {"mklzh", {"-m", "lh9", out, "a.txt"}, usageError, "unknown method lh9"},
        // Values joined to the option, and "--" ending the options.
        {"mklzh", {"-mlh5", out, "a.txt"}, success, ""},
        {"mklzh", {"--method=lh5", out, "--", "-dash.txt"}, success, ""},
    };
    for (const Case& c : cases) {
        std::string shown = c.program;
        for (const std::string& a : c.args) shown += " " + a;
        SCOPED_TRACE(shown);
        RunOptions how;
        how.program = c.program == "nivosfx" ? nivosfxPath() : c.program == "mksfx" ? mksfxPath() : mklzhPath();
        how.args = c.args;
        how.cwd = tmp.path();
        RunResult r = runNivosfx(how);
        switch (c.expect) {
        case help:
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_EQ(r.out.rfind("usage: " + c.program + " ", 0), 0u) << describe(r);
            EXPECT_NE(r.out.find("--version"), std::string::npos) << describe(r);
            EXPECT_EQ(r.err, "");
            break;
        case version:
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(isVersionLine(r.out, c.program)) << describe(r);
            EXPECT_EQ(r.err, "");
            break;
        case usageError:
            EXPECT_EQ(r.exitCode, 10) << describe(r);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind(c.program + ": ", 0), 0u) << describe(r);
            EXPECT_NE(r.err.substr(0, r.err.find('\n')).find(c.errorText), std::string::npos) << describe(r);
            EXPECT_EQ(r.err.substr(r.err.find('\n') + 1),
                      "Try '" + c.program + " --help' for more information.\n")
                << describe(r);
            break;
        case success:
            EXPECT_EQ(r.exitCode, 0) << describe(r);
            EXPECT_TRUE(fs::exists(out)) << describe(r);
            fs::remove(out);
            break;
        }
    }
    // The member behind "--" is named "-dash.txt", packed with -lh5- or stored when it does not
    // get smaller; either way nivosfx gives it back.
    RunOptions pack;
    pack.program = mklzhPath();
    pack.args = {out, "--", "-dash.txt"};
    pack.cwd = tmp.path();
    ASSERT_EQ(runNivosfx(pack).exitCode, 0);
    RunOptions unpack;
    unpack.args = {"x", out, "-d", (tmp.path() / "back").string()};
    RunResult r = runNivosfx(unpack);
    EXPECT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_TRUE(fs::exists(tmp.path() / "back" / "-dash.txt")) << describe(r);
}

}  // namespace
}  // namespace nivo::test
