// nivosfx: lists, tests and extracts self-extracting files and plain LZH archives on POSIX
// systems, and plays a self-extracting file's setup in the terminal.
#include <string>
#include <vector>

#include "archive/extraction_context.h"
#include "cli/archive_input.h"
#include "cli/command_line.h"
#include "cli/extract_command.h"
#include "cli/list_command.h"
#include "cli/nivosfx_options.h"
#include "setup/settings_block.h"

namespace {

using namespace nivo;
using namespace nivo::cli;

const char usageText[] =
    "usage: nivosfx COMMAND FILE [options]\n"
    "\n"
    "FILE is a self-extracting file (it begins with \"MZ\"; its settings block stands at\n"
    "offset 19968, the archive behind it), a plain LZH archive, or another maker's\n"
    "self-extracting file, in which the archive is looked for.\n"
    "\n"
    "commands:\n"
    "  l FILE [-v]         list the members: sizes, ratio, method, CRC, time and name\n"
    "  t FILE              decode every member and check its CRC; nothing is written\n"
    "  x FILE [-d DIR] [-y] [--open] [--raw]\n"
    "                      extract. A self-extracting file's setup is played here: its\n"
    "                      title, the proposed destination and the three shell options.\n"
    "\n"
    "options:\n"
    "  -d DIR    extract into DIR (made with its parents when missing). Default: the\n"
    "            setup's destination without its drive, relative to the current folder,\n"
    "            or the current folder for a plain archive\n"
    "  -y        take the setup's defaults without asking\n"
    "  --open    after a run without problems, open the file the setup names (xdg-open)\n"
    "  --raw     keep files from classic Mac OS as stored (MacBinary: header, data and\n"
    "            resource fork) instead of extracting their data fork\n"
    "  -v, --verbose  l: also each member's header level, operating system, attribute\n"
    "            and extended headers\n"
    "  -h, --help  show this text\n"
    "  --version   show the version\n"
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

const Program program{"nivosfx", usageText};

std::vector<Option> optionTable(Options& o) {
    auto flag = [](bool& field) {
        return [&field](const std::string&) {
            field = true;
            return std::string();
        };
    };
    return {
        {'d', nullptr, true, [&o](const std::string& v) {
             o.destination = v;
             return std::string();
         }},
        {'y', nullptr, false, flag(o.assumeYes)},
        {0, "open", false, flag(o.open)},
        {0, "raw", false, flag(o.raw)},
        {'v', "verbose", false, flag(o.verbose)},
    };
}

// COMMAND, then FILE.
std::string takeOperand(Options& o, const std::string& a) {
    if (!o.command) {
        if (a != "l" && a != "t" && a != "x") return "unknown command " + a;
        o.command = a[0];
    } else if (o.file.empty()) {
        o.file = a;
    } else {
        return "unexpected argument " + a;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    ParseOutcome parsed = parseCommandLine(program, argc, argv, optionTable(options),
                                           [&](const std::string& a) { return takeOperand(options, a); });
    if (!parsed.proceed) return parsed.exitCode;
    if (!options.command) return usageError(program, "no command given");
    if (options.file.empty()) return usageError(program, "no FILE given");
    ExtractionContext context;
    SetupSettings settings{};
    ArchiveOrigin origin;
    if (!openArchive(context, options.file, settings, &origin)) return exitUnreadable;
    // The listing names where the archive was found; extraction names it when it was searched for.
    if (options.command == 'l' ? origin.kind != ArchiveOrigin::plain
                               : origin.kind == ArchiveOrigin::otherSelfExtracting)
        std::printf("%s\n", originText(origin).c_str());
    if (options.command == 'l') return listMembers(context, options.file, options.verbose);
    context.keepMacBinary = options.raw;
    return runExtraction(context, options, settings);
}
