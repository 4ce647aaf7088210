// mklzh: packs files and folders into an LZH archive with level-2 headers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/posix_files.h"
#include "tools/archive_builder.h"
#include "tools/file_packer.h"
#include "tools/output_file.h"

namespace {

const std::string usage =
    "usage: mklzh [OPTION]... ARCHIVE PATH...\n"
    "\n"
    "Packs the files and folders PATH into the LZH archive ARCHIVE (level-2 headers, names in\n"
    "code page 932). ARCHIVE is the first argument that is not an option; options may stand\n"
    "anywhere. A folder is packed with everything below it, in name order; \".\" packs a folder's\n"
    "contents without its name. -m and -C apply to the paths behind them.\n"
    "\n"
    "  -m, --method METHOD   lh0 (stored), lh5, lh6 or lh7 (the default); a file that does not\n"
    "                        get smaller is stored\n" +
    nivo::packOptionsHelp("mklzh") +
    "\n"
    "  -C DIR                take the following paths relative to DIR (default: the current\n"
    "                        directory)\n"
    "  -v, --verbose         name each member as it is added, with its packed size in per cent\n"
    "  -L, --follow-links    pack what symbolic links point to (else they are left out)\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n"
    "\n"
    "Leading '/' and '../' are taken off the member names. A name that Shift-JIS cannot hold or\n"
    "turns into another, that Windows does not allow, that is longer than 259 bytes or that is\n"
    "the same on Windows as another member's is refused; a file that cannot be read is left\n"
    "out. Each is named on stderr, and the archive is still written.\n"
    "\n"
    "Exit status: 0 when everything was packed, 3 when the archive was written but inputs were\n"
    "left out, 1 when the archive (or standard output) cannot be written, 10 for bad usage.\n";

constexpr int exitFailure = 1;
constexpr int exitSkipped = 3;
const nivo::cli::Program program{"mklzh", usage.c_str()};

}  // namespace

int run(int argc, char** argv) {
    std::string out, base;
    nivo::PackOptions options;
    int method = options.methodIndex;
    bool verbose = false;
    std::vector<nivo::PackInput> paths;  // each with the -C folder and method in force where it stands
    std::vector<nivo::cli::Option> table = {
        {'m', "method", true, [&](const std::string& v) {
             method = nivo::packMethodIndex(v);
             return method < 0 ? "unknown method " + v + " (lh0, lh5, lh6 or lh7)" : std::string();
         }},
        {'C', nullptr, true, [&](const std::string& v) {
             base = v;
             return std::string();
         }},
        {'v', "verbose", false, [&](const std::string&) {
             verbose = true;
             return std::string();
         }},
        {'L', "follow-links", false, [&](const std::string&) {
             options.builder.followLinks = true;
             return std::string();
         }},
        {0, "no-sync", false, [&](const std::string&) {
             nivo::syncReplacements = false;
             return std::string();
         }},
        {0, "threads", true, [&](const std::string& v) {
             options.builder.threads = nivo::cli::threadsOption(v);
             return options.builder.threads ? std::string() : "--threads needs a number from 1 to 1024";
         }},
    };
    for (int level = nivo::minLevel; level <= nivo::maxLevel; ++level)
        table.push_back({static_cast<char>('0' + level), nullptr, false, [&options, level](const std::string&) {
                             options.builder.encoder.level = level;
                             return std::string();
                         }});
    nivo::cli::ParseOutcome parsed =
        nivo::cli::parseCommandLine(program, argc, argv, table, [&](const std::string& a) {
            if (out.empty())
                out = a;
            else
                paths.push_back({base, a, method});
            return std::string();
        });
    if (!parsed.proceed) return parsed.exitCode;
    if (out.empty()) return nivo::cli::usageError(program, "no ARCHIVE given");
    if (paths.empty()) return nivo::cli::usageError(program, "nothing to pack");

    nivo::PackNotes notes;
    options.exclude = out;
    std::vector<nivo::PackItem> items;
    {
        nivo::PackReporter reporter("mklzh", false, 0);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        items = nivo::collectItems(paths, options, notes);
    }
    uint64_t total = 0;
    for (const auto& item : items) total += item.size;
    // The archive is written as it goes, under a temporary name that becomes ARCHIVE's once it
    // is complete.
    nivo::OutputFile output;
    FILE* f = output.create(out);
    if (!f) {
        std::fprintf(stderr, "mklzh: %s: cannot write: %s\n", out.c_str(), std::strerror(errno));
        return exitFailure;
    }
    std::string error;
    bool written;
    {
        nivo::PackReporter reporter("mklzh", verbose, total);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        nivo::ArchiveBuilder archive(f, options.builder);
        written = nivo::packItems(archive, items, notes, error,
                                  [&reporter](const nivo::PackItem& item, uint64_t original, uint64_t packed) {
                                      reporter.member(item, original, packed);
                                  }) &&
                  archive.finish(error);
        for (const std::string& line : archive.leftOut()) notes.skip(line);
        for (const std::string& line : archive.changed()) notes.warn(line);
    }
    if (!written || !output.commit(error)) {
        std::fprintf(stderr, "mklzh: %s: cannot write: %s\n", out.c_str(), error.c_str());
        return exitFailure;
    }
    if (!notes.skipped.empty()) {
        std::fprintf(stderr, "mklzh: %s written; %zu input%s left out\n", out.c_str(), notes.skipped.size(),
                     notes.skipped.size() == 1 ? "" : "s");
        return exitSkipped;
    }
    return 0;
}

int main(int argc, char** argv) {
    return nivo::cli::closeStandardOutput(program, run(argc, argv), exitFailure);
}
