// What the nivosfx command line asks for, and the program's exit codes.
#pragma once

#include <string>
#include <vector>

#include "cli/terminal_front_end.h"

namespace nivo::cli {

constexpr int exitOk = 0;
constexpr int exitProblems = 2;
constexpr int exitUnreadable = 9;
constexpr int exitNoMatch = 11;
constexpr int exitDiskFull = 50;
constexpr int exitInterrupted = 80;

enum class Overwrite : uint8_t { ask, always, never };

struct Options {
    char command = 0;  // 'l', 't', 'x' or 'p'
    std::string file;
    std::vector<std::string> names;     // members to take (all when empty)
    std::vector<std::string> excluded;  // members to leave out
    bool excluding = false;             // names behind -x are excluded
    std::string destination;
    bool assumeYes = false;
    bool open = false;
    bool json = false;
    bool force = false;  // extract even when the members seem not to fit
    Overwrite overwrite = Overwrite::ask;
    Verbosity verbosity = Verbosity::normal;
    bool raw = false;  // x: classic Mac OS members as stored (MacBinary)
    bool noLinks = false;  // x: symbolic link members are left out, each named
    unsigned threads = 0;  // t, x: decoding threads; 0 for one per core
    bool streamed = false;  // FILE is a pipe, read once as the run goes
};

}  // namespace nivo::cli
