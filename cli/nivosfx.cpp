// nivosfx: lists, tests and extracts self-extracting files and plain LZH archives on POSIX
// systems, and plays a self-extracting file's setup in the terminal.
#include <cstdio>
#include <string>
#include <vector>

#include "extract/extraction_context.h"
#include "cli/archive_input.h"
#include "command_line/command_line.h"
#include "cli/extract_command.h"
#include "cli/list_command.h"
#include "command_line/member_selection.h"
#include "cli/nivosfx_options.h"
#include "platform/posix_files.h"
#include "platform/posix_names.h"
#include "lzh/settings_block.h"

namespace {

using namespace nivo;
using namespace nivo::cli;

const char usageText[] =
    "usage: nivosfx COMMAND [OPTION]... FILE [NAME]... [-x NAME...]\n"
    "\n"
    "FILE is a self-extracting file (it begins with \"MZ\"; its settings block stands at\n"
    "offset 19968, the archive behind it), a plain LZH archive, or another maker's\n"
    "self-extracting file, in which the archive is looked for. FILE \"-\" is standard\n"
    "input; a pipe is read once, from front to back, as the run goes (another maker's\n"
    "self-extracting file: up to 64 MiB are kept in TMPDIR to look for its archive).\n"
    "\n"
    "commands:\n"
    "  l   list the setup's settings and the members: sizes, ratio, method, CRC, time, name\n"
    "  t   decode the members and check their CRCs; nothing is written\n"
    "  x   extract. A self-extracting file's setup is played here: its title, the proposed\n"
    "      destination and the three shell options.\n"
    "  p   write the members' bytes to standard output, and nothing else\n"
    "\n"
    "NAME chooses members by shell wildcards (*, ? and [...], where * also matches \"/\"),\n"
    "matched against the names as l shows them; a folder's name, with or without a final\n"
    "\"/\", takes everything in it.\n"
    "-x leaves out the members that the NAMEs behind it match.\n"
    "\n"
    "options:\n"
    "  -d DIR      x: extract into DIR (made with its parents when missing). Default: the\n"
    "              setup's destination without its drive, relative to the current folder,\n"
    "              or the current folder for a plain archive\n"
    "  -y          take the setup's defaults without asking\n"
    "  -o          replace existing files without asking\n"
    "  -n          never replace existing files. Without -o or -n, nivosfx asks for each\n"
    "              file when standard input is a terminal (yes, no, all, none), and\n"
    "              replaces otherwise.\n"
    "  -q          print only problems\n"
    "  -v, --verbose  print each member as it is written (x) or tested (t: \"OK\" in front;\n"
    "              without -v, t prints only problems and the summary); with l, also\n"
    "              each member's header level, operating system, attribute and\n"
    "              extended headers\n"
    "  --json      list as JSON (l); the format is described in nivosfx(1)\n"
    "  --force     extract even when the members need more space than is free (checked\n"
    "              before the run, or member by member when FILE is a pipe)\n"
    "  --open      after a run without problems, open the file the setup names (xdg-open)\n"
    "  --raw       keep files from classic Mac OS as stored (MacBinary: header, data and\n"
    "              resource fork) instead of extracting their data fork\n"
    "  --no-links  make no symbolic links (x): each link member is named and counted\n"
    "  --threads N decode the members on N threads (t, x). Default: one per core, and one\n"
    "              for an archive of one member or of less than 1 MB\n"
    "  --no-sync   replace existing files without writing the new ones through to the\n"
    "              disk first (faster; a power loss may then leave neither)\n"
    "  -h, --help  show this text\n"
    "  --version   show the version\n"
    "\n"
    "Questions and the progress bar go to the terminal on stderr, never to standard output;\n"
    "the bar is left out when stderr is not a terminal or TERM is dumb.\n"
    "Shortcuts cannot be made on this system; nivosfx says which ones the setup asks for.\n"
    "The file the setup names is never started unless --open is given.\n"
    "\n"
    "exit codes:\n"
    "   0  success\n"
    "   2  the run had problems: a member damaged, not extracted, or the archive cut short;\n"
    "      or --open could not open the file\n"
    "   9  FILE cannot be opened or read, or is not an LZH archive (no member header where\n"
    "      one must be, an empty file included)\n"
    "  10  bad usage\n"
    "  11  a NAME matched no member\n"
    "  50  the members need more space than is free, or a write failed (disk full)\n"
    "  80  interrupted (Ctrl-C, SIGTERM, SIGHUP); the member being written is deleted\n";

const Program program{"nivosfx", usageText};

std::vector<Option> optionTable(Options& o) {
    auto set = [](auto& field, auto value) {
        return [&field, value](const std::string&) {
            field = value;
            return std::string();
        };
    };
    // -o and -n say opposite things: only one of them may be given.
    auto overwrite = [&o](Overwrite value) {
        return [&o, value](const std::string&) {
            if (o.overwrite != Overwrite::ask && o.overwrite != value)
                return std::string(value == Overwrite::always ? "-o cannot go with -n" : "-n cannot go with -o");
            o.overwrite = value;
            return std::string();
        };
    };
    return {
        {'d', nullptr, true, [&o](const std::string& v) {
             o.destination = v;
             return std::string();
         }},
        {'x', nullptr, true, [&o](const std::string& v) {
             o.excluding = true;
             o.excluded.push_back(v);
             return std::string();
         }},
        {'y', nullptr, false, set(o.assumeYes, true)},
        {'o', nullptr, false, overwrite(Overwrite::always)},
        {'n', nullptr, false, overwrite(Overwrite::never)},
        {'q', nullptr, false, set(o.verbosity, Verbosity::quiet)},
        {'v', "verbose", false, set(o.verbosity, Verbosity::verbose)},
        {0, "json", false, set(o.json, true)},
        {0, "force", false, set(o.force, true)},
        {0, "open", false, set(o.open, true)},
        {0, "raw", false, set(o.raw, true)},
        {0, "no-links", false, set(o.noLinks, true)},
        {0, "no-sync", false, set(syncReplacements, false)},
        {0, "threads", true, [&o](const std::string& v) {
             o.threads = threadsOption(v);
             return o.threads ? std::string() : "--threads needs a number from 1 to 1024";
         }},
    };
}

// COMMAND, FILE, then the NAMEs to take (or, behind -x, to leave out).
std::string takeOperand(Options& o, const std::string& a) {
    if (!o.command) {
        if (a != "l" && a != "t" && a != "x" && a != "p") return "unknown command " + a;
        o.command = a[0];
    } else if (o.file.empty()) {
        o.file = a;
    } else {
        (o.excluding ? o.excluded : o.names).push_back(a);
    }
    return "";
}

}  // namespace

int run(int argc, char** argv) {
    Options options;
    ParseOutcome parsed = parseCommandLine(program, argc, argv, optionTable(options),
                                           [&](const std::string& a) { return takeOperand(options, a); });
    if (!parsed.proceed) return parsed.exitCode;
    if (!options.command) return usageError(program, "no command given");
    if (options.file.empty()) return usageError(program, "no FILE given");
    if (options.json && options.command != 'l') return usageError(program, "--json goes with l");
    if (!options.destination.empty() && options.command != 'x') return usageError(program, "-d goes with x");
    ExtractionContext context;
    SetupSettings settings{};
    ArchiveOrigin origin;
    if (!openArchive(context, options.file, settings, &origin)) return exitUnreadable;
    options.streamed = origin.streamed;
    MemberSelection selection(options.names, options.excluded);
    // The listing names where the archive was found; extraction names it when it was searched
    // for. Never on p's standard output, nor in the JSON listing.
    if (options.command == 'l' ? origin.kind != ArchiveOrigin::plain && !options.json
                               : origin.kind == ArchiveOrigin::otherSelfExtracting &&
                                     options.verbosity != Verbosity::quiet)
        std::fprintf(options.command == 'p' ? stderr : stdout, "%s\n", originText(origin).c_str());
    if (options.command == 'l') {
        int status = listMembers(context, options, settings, selection);
        for (const std::string& name : selection.unmatched())
            std::fprintf(stderr, "nivosfx: %s: no member matches\n", printableText(name).c_str());
        return status == exitOk && !selection.unmatched().empty() ? exitNoMatch : status;
    }
    context.keepMacBinary = options.raw;
    return runExtraction(context, options, settings, selection);
}

int main(int argc, char** argv) {
    return closeStandardOutput(program, run(argc, argv), exitDiskFull);
}
