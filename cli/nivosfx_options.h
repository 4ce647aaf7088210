// What the nivosfx command line asks for, and the program's exit codes.
#pragma once

#include <string>

namespace nivo::cli {

constexpr int exitOk = 0;
constexpr int exitProblems = 2;
constexpr int exitUnreadable = 9;
constexpr int exitDiskFull = 50;
constexpr int exitInterrupted = 80;

struct Options {
    char command = 0;  // 'l', 't' or 'x'
    std::string file;
    std::string destination;
    bool assumeYes = false;
    bool open = false;
    bool verbose = false;  // l: header level, OS, attribute and extended headers per member
    bool raw = false;      // x: classic Mac OS members as stored (MacBinary)
};

}  // namespace nivo::cli
