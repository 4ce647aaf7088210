// nivosfx: lists, tests and extracts self-extracting files and plain LZH archives on POSIX
// systems, and plays a self-extracting file's setup in the terminal.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/archive_walker.h"
#include "archive/extraction_context.h"
#include "archive/extraction_run.h"
#include "archive/member_header.h"
#include "cli/terminal_front_end.h"
#include "extract/path_helpers.h"
#include "platform/posix_names.h"
#include "setup/settings_block.h"

extern char** environ;

namespace {

using namespace nivo;
namespace fs = std::filesystem;

constexpr int exitOk = 0;
constexpr int exitProblems = 2;
constexpr int exitUnreadable = 9;
constexpr int exitUsage = 10;
constexpr int exitDiskFull = 50;
constexpr int exitInterrupted = 80;

const char usageText[] =
    "usage: nivosfx COMMAND FILE [options]\n"
    "\n"
    "FILE is a self-extracting file (it begins with \"MZ\"; its settings block stands at\n"
    "offset 19968, the archive behind it) or a plain LZH archive.\n"
    "\n"
    "commands:\n"
    "  l FILE              list the members: sizes, ratio, method, CRC, time and name\n"
    "  t FILE              decode every member and check its CRC; nothing is written\n"
    "  x FILE [-d DIR] [-y] [--open]\n"
    "                      extract. A self-extracting file's setup is played here: its\n"
    "                      title, the proposed destination and the three shell options.\n"
    "\n"
    "options:\n"
    "  -d DIR    extract into DIR (made with its parents when missing). Default: the\n"
    "            setup's destination without its drive, relative to the current folder,\n"
    "            or the current folder for a plain archive\n"
    "  -y        take the setup's defaults without asking\n"
    "  --open    after a run without problems, open the file the setup names (xdg-open)\n"
    "  -h, --help  show this text\n"
    "\n"
    "Shortcuts cannot be made on this system; nivosfx says which ones the setup asks for.\n"
    "The file the setup names is never started unless --open is given.\n"
    "\n"
    "exit codes:\n"
    "   0  success\n"
    "   2  the run had problems: a member damaged, not extracted, or the archive cut short\n"
    "   9  FILE cannot be opened or read\n"
    "  10  bad usage\n"
    "  50  a write failed (disk full)\n"
    "  80  interrupted (Ctrl-C); the member being written is deleted\n";

std::atomic<int>* keepRunningFlag = nullptr;

void onInterrupt(int) {
    if (keepRunningFlag) keepRunningFlag->store(0);
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

struct Options {
    char command = 0;
    std::string file;
    std::string destination;
    bool assumeYes = false;
    bool open = false;
};

bool parseArguments(int argc, char** argv, Options& o, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            help = true;
            return true;
        } else if (a == "-y") {
            o.assumeYes = true;
        } else if (a == "--open") {
            o.open = true;
        } else if (a == "-d") {
            if (++i >= argc) return false;
            o.destination = argv[i];
        } else if (a.size() > 2 && a.compare(0, 2, "-d") == 0) {
            o.destination = a.substr(2);
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "nivosfx: unknown option %s\n", a.c_str());
            return false;
        } else if (!o.command) {
            if (a != "l" && a != "t" && a != "x") {
                std::fprintf(stderr, "nivosfx: unknown command %s\n", a.c_str());
                return false;
            }
            o.command = a[0];
        } else if (o.file.empty()) {
            o.file = a;
        } else {
            std::fprintf(stderr, "nivosfx: unexpected argument %s\n", a.c_str());
            return false;
        }
    }
    return o.command && !o.file.empty();
}

// Opens FILE and positions it at the archive: behind the settings block of a self-extracting
// file, or at offset 0 of a plain archive.
bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings) {
    const std::string shown = printableText(path);
    context.archiveFile = std::fopen(path.c_str(), "rb");
    if (!context.archiveFile) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), std::strerror(errno));
        return false;
    }
    char magic[2] = {};
    size_t got = std::fread(magic, 1, 2, context.archiveFile);
    // A folder opens, but its first read fails: that is an unreadable file, not an empty archive.
    if (got < 2 && std::ferror(context.archiveFile)) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), std::strerror(errno));
        return false;
    }
    if (got == 2 && magic[0] == 'M' && magic[1] == 'Z') {
        if (std::fseek(context.archiveFile, imageSize, SEEK_SET) != 0 || !readSettingsBlock(context, settings)) {
            std::fprintf(stderr, "nivosfx: %s: the settings block is cut short\n", shown.c_str());
            return false;
        }
        return true;
    }
    return std::fseek(context.archiveFile, 0, SEEK_SET) == 0;
}

std::string timeText(const MemberHeader& h) {
    if (!h.hasModifiedTime) return "-";
    time_t t = static_cast<time_t>(h.modifiedTime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

int listMembers(ExtractionContext& context) {
    std::printf("%10s %10s %6s %-6s %4s  %-19s  %s\n", "Original", "Packed", "Ratio", "Method", "CRC",
                "Time (UTC)", "Name");
    MemberHeader h;
    uint64_t totalOriginal = 0, totalPacked = 0;
    int members = 0;
    int status = exitOk;
    ArchiveWalker walk(context);
    char shown[pathBufferSize];
    for (;;) {
        HeaderStatus hs = walk.next(h);
        if (hs == HeaderStatus::end) break;
        if (hs == HeaderStatus::damaged || hs == HeaderStatus::unknownLayout) {
            offsetName(shown, sizeof shown, "header", walk.headerStart);
            std::fprintf(stderr, "nivosfx: %s: %s\n", shown,
                         problemText(hs == HeaderStatus::damaged ? Problem::damagedHeader : Problem::unknownHeader));
            status = exitProblems;
            break;
        }
        if (hs == HeaderStatus::nameTooLong) overlongMemberName(shown, h, walk.headerStart);
        else copyText(shown, sizeof shown, shownName(h.name));
        std::string name = printableName(shown);
        char ratio[16] = "-";
        if (h.originalSize)
            std::snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * h.compressedSize / h.originalSize);
        char crc[8] = "-";
        if (h.hasDataCrc) std::snprintf(crc, sizeof crc, "%04X", h.dataCrc);
        std::string method = printableName(std::string(h.method, 5).c_str());
        std::printf("%10u %10u %6s %-6s %4s  %-19s  %s\n", h.originalSize, h.compressedSize, ratio,
                    method.c_str(), crc, timeText(h).c_str(), name.c_str());
        totalOriginal += h.originalSize;
        totalPacked += h.compressedSize;
        ++members;
        if (walk.endsInside) {
            std::fprintf(stderr, "nivosfx: %s: %s\n", name.c_str(), problemText(Problem::truncated));
            status = exitProblems;
        }
    }
    std::printf("%d members, %llu bytes, %llu packed\n", members,
                static_cast<unsigned long long>(totalOriginal), static_cast<unsigned long long>(totalPacked));
    return status;
}

// The destination a setup proposes on this system: no drive and no Program Files here, so the
// destination text without its drive, with "/" separators, relative to the current folder.
std::string posixDestination(const SetupSettings& s) {
    std::string d = cp932ToUtf8(s.destination);
    if (d.size() >= 2 && std::isalpha(static_cast<unsigned char>(d[0])) && d[1] == ':') d.erase(0, 2);
    for (char& c : d)
        if (c == '\\') c = '/';
    while (!d.empty() && d[0] == '/') d.erase(0, 1);
    return d.empty() ? "." : d;
}

struct SetupOption {
    const char* label;
    uint8_t* byte;
};

// Reads one answer line; an empty line or the end of input takes the default.
std::string ask(const std::string& prompt) {
    std::cout << prompt << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
        std::cout << "\n";
        return "";
    }
    return line;
}

// Plays the destination dialog in the terminal. Bit 0 of an option byte offers the option
// (the user may change it), bit 1 chooses it.
std::string playSetup(SetupSettings& s, const Options& o) {
    std::cout << printableName(s.title[0] ? s.title : defaultTitle) << "\n";
    std::string destination = o.destination.empty() ? posixDestination(s) : o.destination;
    SetupOption options[3] = {{"Start menu entry", &s.startMenuOption},
                              {"Desktop shortcut", &s.desktopOption},
                              {"Send To entry", &s.sendToOption}};
    if (o.assumeYes || !o.destination.empty()) {
        std::cout << "Destination: " << printableText(destination) << "\n";
    } else {
        std::string answer = ask("Destination [" + printableText(destination) + "]: ");
        if (!answer.empty()) destination = answer;
    }
    for (SetupOption& opt : options) {
        bool offered = *opt.byte & 1;
        bool chosen = *opt.byte & 2;
        if (!offered || o.assumeYes) {
            std::cout << opt.label << ": " << (chosen ? "yes" : "no") << (offered ? "" : " (fixed)") << "\n";
            continue;
        }
        std::string answer = ask(std::string(opt.label) + (chosen ? " [Y/n]: " : " [y/N]: "));
        if (!answer.empty()) chosen = answer[0] == 'y' || answer[0] == 'Y';
        *opt.byte = static_cast<uint8_t>(chosen ? (*opt.byte | 2) : (*opt.byte & ~2));
    }
    return destination;
}

void reportAfterSetup(const SetupSettings& s, const fs::path& destination, bool clean, bool open) {
    const char* names[3] = {"Start menu entry", "Desktop shortcut", "Send To entry"};
    uint8_t bytes[3] = {s.startMenuOption, s.desktopOption, s.sendToOption};
    std::string chosen;
    for (int i = 0; i < 3; ++i)
        if (bytes[i] & 2) chosen += std::string(chosen.empty() ? "" : ", ") + names[i];
    if (!chosen.empty() && clean)
        std::cout << "Shortcuts cannot be made on this system. The setup asks for: " << chosen << ", to "
                  << printableName(s.shortcutTarget) << "\n";
    if (!s.launchCommand[0]) return;
    std::string launch = cp932ToUtf8(s.launchCommand);
    for (char& c : launch)
        if (c == '\\') c = '/';
    fs::path target = destination / launch;
    if (!clean) {
        std::cout << "The setup names " << printableName(s.launchCommand)
                  << " to open; it is not opened after a run with problems.\n";
        return;
    }
    if (!open) {
        std::cout << "The setup names " << printableText(target.string()) << " to open; nivosfx does not start it"
                  << " (use --open to open it with xdg-open).\n";
        return;
    }
    pid_t pid;
    std::string file = target.string();
    char* args[] = {const_cast<char*>("xdg-open"), file.data(), nullptr};
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, args, environ) != 0) {
        std::fprintf(stderr, "nivosfx: cannot run xdg-open for %s\n", printableText(file).c_str());
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

int runExtraction(ExtractionContext& context, Options& o, SetupSettings& settings) {
    bool test = o.command == 't';
    std::string destination = o.destination;
    if (!test && settings.present) destination = playSetup(settings, o);
    fs::path destPath = destination.empty() ? fs::current_path() : fs::path(destination);
    if (!test) {
        std::error_code ec;
        fs::create_directories(destPath, ec);
        if (ec || !fs::is_directory(destPath) || chdir(destPath.c_str()) != 0) {
            std::fprintf(stderr, "nivosfx: cannot create the destination %s\n", printableText(destPath).c_str());
            return exitProblems;
        }
        destPath = fs::current_path();
        ExtractionContext::replaceText(context.destinationDir, destPath.c_str());
    }
    context.testOnly = test;
    TerminalFrontEnd frontEnd(isatty(STDERR_FILENO) != 0, test);
    context.frontEnd = &frontEnd;
    keepRunningFlag = &context.run.keepRunning;
    std::signal(SIGINT, onInterrupt);
    extractionRun(context);
    std::signal(SIGINT, SIG_DFL);
    keepRunningFlag = nullptr;

    bool aborted = context.run.keepRunning.load() == 0;
    int problems = context.problems.count;
    if (aborted) {
        std::fprintf(stderr, "nivosfx: interrupted; the member being written was deleted\n");
        return exitInterrupted;
    }
    if (problems) {
        std::fprintf(stderr, "nivosfx: %d problem%s in %d members\n", problems, problems == 1 ? "" : "s",
                     frontEnd.members());
    } else if (test) {
        std::printf("No errors in %d members\n", frontEnd.members());
    } else {
        std::printf("Extracted %d members into %s\n", frontEnd.members(), printableText(destPath).c_str());
    }
    if (!test && settings.present) reportAfterSetup(settings, destPath, problems == 0, o.open);
    if (!problems) return exitOk;
    return frontEnd.sawWriteFailure() ? exitDiskFull : exitProblems;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!parseArguments(argc, argv, options, help)) {
        if (!help) {
            std::fputs(usageText, stderr);
            return exitUsage;
        }
    }
    if (help) {
        std::fputs(usageText, stdout);
        return exitOk;
    }
    ExtractionContext context;
    SetupSettings settings{};
    if (!openArchive(context, options.file, settings)) return exitUnreadable;
    if (options.command == 'l') return listMembers(context);
    return runExtraction(context, options, settings);
}
