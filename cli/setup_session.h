// A self-extracting file's setup played in the terminal: the title, the destination and the
// three shell options before the run, and what the setup asks for afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "cli/nivosfx_options.h"
#include "lzh/settings_block.h"

namespace nivo::cli {

// Asks on the terminal (stderr) and reads one answer line from stdin; the end of input gives
// "".
std::string ask(const std::string& prompt);

// How the setup's three options stand: "yes", "no", with " (fixed)" when not offered.
struct SetupOptionLine {
    const char* label;
    std::string value;
};
std::vector<SetupOptionLine> setupOptionLines(const SetupSettings& s);

// Asks for the destination and the options (or takes the defaults with -y); returns the
// destination and updates the option bytes. A setup's destination that climbs out of the
// current folder is never taken: the user is asked for one, and without an answer (or with -y)
// the result is empty and the reason printed.
std::string playSetup(SetupSettings& s, const Options& o);

// Names the shortcuts the setup asks for and the file it names to open; opens that file with
// xdg-open when asked to and the run was clean. False when it was asked to and could not.
bool reportAfterSetup(const SetupSettings& s, const std::filesystem::path& destination, bool clean, bool open);

}  // namespace nivo::cli
