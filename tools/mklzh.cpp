// mklzh: packs files and folders into an LZH archive with level-2 headers.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fnmatch.h>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "command_line/command_line.h"
#include "command_line/member_selection.h"
#include "platform/posix_files.h"
#include "platform/posix_names.h"
#include "tools/archive_builder.h"
#include "tools/existing_archive.h"
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
    "An ARCHIVE that exists is updated: a member of the same name as a PATH is replaced, the\n"
    "others are kept as they are (copied, not packed again), and the new members follow them.\n"
    "\n"
    "  -m, --method METHOD   lh0 (stored), lh5, lh6 or lh7 (the default); a file that does not\n"
    "                        get smaller is stored\n" +
    nivo::packOptionsHelp("mklzh") +
    "\n"
    "  -C DIR                take the following paths relative to DIR (default: the current\n"
    "                        directory)\n"
    "  -u, --update          replace a member only by a newer file (and add new ones)\n"
    "  --exclude PATTERN     leave out the files and folders that the shell wildcard PATTERN\n"
    "                        matches: a member name (\"*\" also matches \"/\"), one of the\n"
    "                        folders it lies in, or, without a \"/\", any part of the name\n"
    "  -q, --quiet           no progress line and no warnings; inputs left out are still named\n"
    "  -v, --verbose         name each member as it is added, with its packed size in per cent\n"
    "  -L, --follow-links    pack what symbolic links point to (else each is stored as a\n"
    "                        link, which nivosfx and Unix archivers make again)\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n"
    "\n"
    "Leading '/' and '../' are taken off the member names. A name that Shift-JIS cannot hold or\n"
    "turns into another is stored with '_' for those characters, beside its UTF-16 form. A name\n"
    "longer than 259 bytes is refused; a file that cannot be read is left out. Each is named on\n"
    "stderr, and the archive is still written. A name that only Windows cannot hold (a character\n"
    "or device name it does not allow, a part ending in a dot or a space, the same name but for\n"
    "case as another member's) is packed with a warning; mksfx refuses such names.\n"
    "\n"
    "Exit status: 0 when everything was packed, 3 when the archive was written but inputs were\n"
    "left out, or when there was nothing to pack (ARCHIVE is then left as it was), 1 when the\n"
    "archive (or standard output) cannot be written or an existing ARCHIVE cannot be read, 10\n"
    "for bad usage.\n";

constexpr int exitFailure = 1;
constexpr int exitSkipped = 3;
const nivo::cli::Program program{"mklzh", usage.c_str()};

// A name as members are compared: "/" between folders, a folder without its final "/".
std::string memberKey(std::string name) {
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

// Whether --exclude leaves the input of that UTF-8 name out: a pattern matches the name or a
// folder it lies in, and a pattern without "/" any single part of the name.
bool isExcluded(const std::vector<std::string>& patterns, const std::string& name) {
    const std::string key = memberKey(name);
    for (const std::string& p : patterns) {
        if (nivo::cli::nameMatches(p, key)) return true;
        if (memberKey(p).find('/') != std::string::npos) continue;
        for (size_t from = 0; from <= key.size();) {
            const size_t slash = std::min(key.find('/', from), key.size());
            if (fnmatch(memberKey(p).c_str(), key.substr(from, slash - from).c_str(), 0) == 0) return true;
            from = slash + 1;
        }
    }
    return false;
}

// Updating an archive: a member of an input's name gives way to it, unless updateOnly and the
// member is not older, in which case the input gives way. kept keeps what stays of the archive.
void chooseUpdate(std::vector<nivo::ExistingMember>& kept, std::vector<nivo::PackItem>& items, bool updateOnly) {
    std::map<std::string, const nivo::ExistingMember*> byName;
    for (const nivo::ExistingMember& m : kept) byName[memberKey(m.header.name)] = &m;
    std::set<std::string> replaced;
    std::erase_if(items, [&](const nivo::PackItem& item) {
        const std::string key = memberKey(item.name);
        auto old = byName.find(key);
        if (old == byName.end()) return false;
        const nivo::MemberHeader& h = old->second->header;
        if (updateOnly && h.hasModifiedTime && h.modifiedTime >= item.mtime) return true;
        replaced.insert(key);
        return false;
    });
    std::erase_if(kept, [&](const nivo::ExistingMember& m) { return replaced.count(memberKey(m.header.name)) > 0; });
}

// The members kept from the archive at path, copied as they stand to out.
bool copyKept(const std::string& path, const std::vector<nivo::ExistingMember>& kept, FILE* out, std::string& error) {
    if (kept.empty()) return true;
    FILE* in = std::fopen(path.c_str(), "rb");
    bool copied = in != nullptr;
    if (!in) error = std::strerror(errno);
    for (size_t i = 0; copied && i < kept.size(); ++i) copied = nivo::copyBytes(in, kept[i].start, kept[i].end, out, error);
    if (in) std::fclose(in);
    return copied;
}

}  // namespace

int run(int argc, char** argv) {
    std::string out, base;
    nivo::PackOptions options;
    options.unicodeNames = true;
    int method = options.methodIndex;
    bool verbose = false, quiet = false, updateOnly = false;
    std::vector<std::string> excluded;
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
        {'q', "quiet", false, [&](const std::string&) {
             quiet = true;
             return std::string();
         }},
        {'u', "update", false, [&](const std::string&) {
             updateOnly = true;
             return std::string();
         }},
        {0, "exclude", true, [&](const std::string& v) {
             excluded.push_back(v);
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
    notes.quiet = quiet;
    options.exclude = out;
    options.windowsNames = false;  // a plain archive may be for any system
    std::vector<nivo::PackItem> items;
    {
        nivo::PackReporter reporter("mklzh", false, 0);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        items = nivo::collectItems(paths, options, notes);
    }
    std::erase_if(items, [&](const nivo::PackItem& item) { return isExcluded(excluded, item.shown); });
    std::vector<nivo::ExistingMember> kept;
    std::string error;
    const std::string shownOut = nivo::printableText(out);
    if (access(out.c_str(), F_OK) == 0 && !nivo::readExistingArchive(out, kept, error)) {
        std::fprintf(stderr, "mklzh: %s: %s; left as it was\n", shownOut.c_str(), error.c_str());
        return exitFailure;
    }
    const size_t inputs = items.size();
    chooseUpdate(kept, items, updateOnly);
    if (items.empty()) {
        if (inputs > 0) {
            if (!quiet) std::fprintf(stderr, "mklzh: %s: every member is up to date\n", shownOut.c_str());
            return 0;
        }
        std::fprintf(stderr, "mklzh: nothing to pack; %s %s\n", shownOut.c_str(),
                     kept.empty() ? "not written" : "left as it was");
        return exitSkipped;
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
    bool written = copyKept(out, kept, f, error);
    if (written) {
        nivo::PackReporter reporter("mklzh", verbose, quiet ? 0 : total);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        reporter.follow(options.builder);
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
