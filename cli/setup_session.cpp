#include "cli/setup_session.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <spawn.h>
#include <sys/wait.h>

#include "extract/extraction_context.h"
#include "extract/member_extraction.h"
#include "common/sjis_text.h"
#include "platform/posix_names.h"

extern char** environ;

namespace nivo::cli {

namespace fs = std::filesystem;

namespace {

// A path from the settings (code page 932, "\\" or "/" between folders) as a path inside the
// folder it is taken relative to: the drive, leading separators and "." components dropped, and
// "/" between folders. False when a ".." component would climb out of that folder.
bool pathInside(const char* text, std::string& inside) {
    char unified[pathBufferSize];
    char relative[pathBufferSize];
    copyText(unified, sizeof unified, text);
    unifySeparators(unified, '/');
    if (!memberOutputPath(unified, relative, sizeof relative)) return false;
    inside = cp932ToUtf8(relative);
    return true;
}

// The destination a setup proposes on this system: no drive and no Program Files here, so the
// destination text without its drive, relative to the current folder. False when it would
// lead out of the current folder.
bool posixDestination(const SetupSettings& s, std::string& destination) {
    if (!pathInside(s.destination, destination)) return false;
    if (destination.empty()) destination = ".";
    return true;
}

struct SetupOption {
    const char* label;
    uint8_t* byte;
};

const char* const optionLabels[3] = {"Start menu entry", "Desktop shortcut", "Send To entry"};

}  // namespace

std::string ask(const std::string& prompt) {
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) {
        std::fputs("\n", stderr);
        return "";
    }
    return line;
}

std::vector<SetupOptionLine> setupOptionLines(const SetupSettings& s) {
    const uint8_t bytes[3] = {s.startMenuOption, s.desktopOption, s.sendToOption};
    std::vector<SetupOptionLine> lines;
    for (int i = 0; i < 3; ++i)
        lines.push_back({optionLabels[i], std::string(bytes[i] & optionChosen ? "yes" : "no") + (bytes[i] & optionOffered ? "" : " (fixed)")});
    return lines;
}

// Plays the destination dialog in the terminal. Bit 0 of an option byte offers the option
// (the user may change it), bit 1 chooses it.
std::string playSetup(SetupSettings& s, const Options& o) {
    const bool quiet = o.verbosity == Verbosity::quiet;
    if (!quiet) std::fprintf(stderr, "%s\n", printableName(s.title[0] ? s.title : defaultTitle).c_str());
    std::string destination = o.destination;
    SetupOption options[3] = {{optionLabels[0], &s.startMenuOption},
                              {optionLabels[1], &s.desktopOption},
                              {optionLabels[2], &s.sendToOption}};
    if (!o.destination.empty()) {
        // -d is the user's own choice and may lead anywhere.
        if (!quiet) std::fprintf(stderr, "Destination: %s\n", printableText(destination).c_str());
    } else if (!posixDestination(s, destination)) {
        // The setup's proposal climbs out of the current folder: only the user may choose that.
        const std::string refused = "the setup's destination " + printableName(s.destination) +
                                    " leads outside the current folder";
        if (o.assumeYes) {
            std::fprintf(stderr, "nivosfx: %s; give the destination with -d DIR\n", refused.c_str());
            return "";
        }
        destination = ask("The " + refused.substr(4) + ".\nDestination: ");
        if (destination.empty()) {
            std::fprintf(stderr, "nivosfx: no destination given; give one with -d DIR\n");
            return "";
        }
    } else if (o.assumeYes) {
        if (!quiet) std::fprintf(stderr, "Destination: %s\n", printableText(destination).c_str());
    } else {
        std::string answer = ask("Destination [" + printableText(destination) + "]: ");
        if (!answer.empty()) destination = answer;
    }
    for (SetupOption& opt : options) {
        bool offered = *opt.byte & optionOffered;
        bool chosen = *opt.byte & optionChosen;
        if (!offered || o.assumeYes) {
            if (!quiet)
                std::fprintf(stderr, "%s: %s%s\n", opt.label, chosen ? "yes" : "no", offered ? "" : " (fixed)");
            continue;
        }
        std::string answer = ask(std::string(opt.label) + (chosen ? " [Y/n]: " : " [y/N]: "));
        if (!answer.empty()) chosen = answer[0] == 'y' || answer[0] == 'Y';
        *opt.byte = static_cast<uint8_t>(chosen ? (*opt.byte | optionChosen) : (*opt.byte & ~optionChosen));
    }
    return destination;
}

bool reportAfterSetup(const SetupSettings& s, const fs::path& destination, bool clean, bool open) {
    uint8_t bytes[3] = {s.startMenuOption, s.desktopOption, s.sendToOption};
    std::string chosen;
    for (int i = 0; i < 3; ++i)
        if (bytes[i] & optionChosen) chosen += std::string(chosen.empty() ? "" : ", ") + optionLabels[i];
    if (!chosen.empty() && clean)
        std::cout << "Shortcuts cannot be made on this system. The setup asks for: " << chosen << ", to "
                  << printableName(s.shortcutTarget) << "\n";
    if (!s.launchCommand[0]) return true;
    std::string launch;
    if (!pathInside(s.launchCommand, launch)) {
        std::fprintf(stderr, "nivosfx: the setup names %s to open; it lies outside the destination and is never opened\n",
                     printableName(s.launchCommand).c_str());
        return true;
    }
    fs::path target = destination / launch;
    if (!clean) {
        std::cout << "The setup names " << printableName(s.launchCommand)
                  << " to open; it is not opened after a run with problems.\n";
        return true;
    }
    if (!open) {
        std::cout << "The setup names " << printableText(target.string()) << " to open; nivosfx does not start it"
                  << " (use --open to open it with xdg-open).\n";
        return true;
    }
    pid_t pid;
    std::string file = target.string();
    char* args[] = {const_cast<char*>("xdg-open"), file.data(), nullptr};
    const int e = posix_spawnp(&pid, "xdg-open", nullptr, nullptr, args, environ);
    if (e != 0) {
        std::fprintf(stderr, "nivosfx: cannot run xdg-open for %s: %s\n", printableText(file).c_str(), std::strerror(e));
        return false;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::fprintf(stderr, "nivosfx: xdg-open could not open %s\n", printableText(file).c_str());
    return false;
}

}  // namespace nivo::cli
