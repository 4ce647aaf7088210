#include "command_line/command_line.h"

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>

#ifndef NIVO_VERSION
#error "NIVO_VERSION comes from the build"
#endif

namespace nivo::cli {

namespace {

std::string shortLabel(char c) {
    return std::string("-") + c;
}

}  // namespace

unsigned threadsOption(const std::string& value) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(value.c_str(), &end, 10);
    return value.empty() || *end || errno || n < 1 || n > 1024 ? 0 : static_cast<unsigned>(n);
}

int usageError(const Program& program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.name, message.c_str(),
                 program.name);
    return exitUsage;
}

void printVersion(const Program& program) {
    std::printf("%s (Nivo SFX) %s\n", program.name, NIVO_VERSION);
}

int closeStandardOutput(const Program& program, int exitCode, int failureCode) {
    // An earlier write may have failed already; its reason is then no longer known.
    int error = std::fflush(stdout) != 0 ? errno : std::ferror(stdout) ? -1 : 0;
    if (std::fclose(stdout) != 0 && !error) error = errno;
    if (!error) return exitCode;
    std::fprintf(stderr, "%s: standard output: cannot write%s%s\n", program.name, error > 0 ? ": " : "",
                 error > 0 ? std::strerror(error) : "");
    return failureCode;
}

ParseOutcome parseCommandLine(const Program& program, int argc, char** argv, const std::vector<Option>& options,
                              const std::function<std::string(const std::string&)>& operand) {
    auto fail = [&](const std::string& message) { return ParseOutcome{false, usageError(program, message)}; };
    auto apply = [&](const Option& o, const std::string& label, const std::string& value) -> std::string {
        std::string error = o.apply(value);
        if (error.empty()) return "";
        // A bare reason gets the option's name in front.
        return error.compare(0, label.size(), label) == 0 ? error : label + ": " + error;
    };
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            std::string error = operand(a);
            if (!error.empty()) return fail(error);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            std::fputs(program.help, stdout);
            return {false, 0};
        }
        if (a == "--version") {
            printVersion(program);
            return {false, 0};
        }
        if (a[1] == '-') {
            size_t eq = a.find('=');
            std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const Option* found = nullptr;
            for (const Option& o : options)
                if (o.longName && name == o.longName) found = &o;
            std::string label = "--" + name;
            if (!found) return fail("unknown option " + label);
            std::string value;
            if (found->takesValue) {
                if (eq != std::string::npos)
                    value = a.substr(eq + 1);
                else if (i + 1 < argc)
                    value = argv[++i];
                else
                    return fail(label + " needs a value");
            } else if (eq != std::string::npos) {
                return fail(label + " takes no value");
            }
            std::string error = apply(*found, label, value);
            if (!error.empty()) return fail(error);
            continue;
        }
        for (size_t k = 1; k < a.size(); ++k) {
            const Option* found = nullptr;
            for (const Option& o : options)
                if (o.shortName == a[k]) found = &o;
            std::string label = shortLabel(a[k]);
            if (!found) return fail("unknown option " + label);
            std::string value;
            if (found->takesValue) {
                if (k + 1 < a.size())
                    value = a.substr(k + 1);
                else if (i + 1 < argc)
                    value = argv[++i];
                else
                    return fail(label + " needs a value");
                k = a.size();
            }
            std::string error = apply(*found, label, value);
            if (!error.empty()) return fail(error);
        }
    }
    return {true, 0};
}

}  // namespace nivo::cli
