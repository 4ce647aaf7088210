// The command-line conventions that nivosfx, mksfx and mklzh share: one table of options per
// program, -h/--help and --version on every one, and one exit code for bad usage. A usage error
// is one line naming the problem and a hint to --help, on stderr.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nivo::cli {

// Bad usage, the same in every program.
constexpr int exitUsage = 10;

struct Program {
    const char* name;  // as it prefixes messages: "nivosfx"
    const char* help;  // the whole --help text
};

// One option. Either name may be absent. An option that takes a value accepts "-d DIR",
// "-dDIR", "--dest DIR" and "--dest=DIR"; short options without a value may be bundled ("-yq").
struct Option {
    char shortName;        // 0: none
    const char* longName;  // without the leading "--"; nullptr: none
    bool takesValue;
    // Takes the option (and its value); returns an error message, empty when accepted.
    std::function<std::string(const std::string& value)> apply;
};

struct ParseOutcome {
    bool proceed;  // false: end now with exitCode; help, version or the error are printed
    int exitCode;
};

// Reads argv against the table. Everything that is not an option (and everything behind "--",
// and a lone "-") goes to operand, in order; operand returns an error message or "".
ParseOutcome parseCommandLine(const Program& program, int argc, char** argv, const std::vector<Option>& options,
                              const std::function<std::string(const std::string&)>& operand);

// The value of --threads: 1 to 1024, else 0.
unsigned threadsOption(const std::string& value);

// Prints "NAME: message" and the hint to --help on stderr; returns exitUsage.
int usageError(const Program& program, const std::string& message);

// "NAME (Nivo SFX) VERSION" on stdout.
void printVersion(const Program& program);

// The program's last step: flushes and closes standard output. A write or close that failed
// there (a full disk, a closed file) is an error, named in one line on stderr; returns
// failureCode then, else exitCode.
int closeStandardOutput(const Program& program, int exitCode, int failureCode);

}  // namespace nivo::cli
