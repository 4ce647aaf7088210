// mklzh: packs files and folders into an LZH archive with level-2 headers.
//
//   mklzh [-m METHOD] [-v] [-L] ARCHIVE [-C DIR] PATH...
//
// The archive is the first argument that is not an option; options may come anywhere. METHOD
// is lh0 (stored, the default), lh5, lh6 or lh7; a file that does not get smaller is stored.
// Paths are taken relative to the DIR of the -C before them (default: the current directory);
// folders are packed with everything below them, in name order. Names are stored in code page
// 932. -v names each member as it is added; -L packs what symbolic links point to.
//
// Exit status: 0 when everything was packed; 3 when the archive was written but some inputs
// were left out (each is named); 1 when the archive cannot be written; 2 for a usage error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/file_packer.h"
#include "tools/lzh_writer.h"

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr int exitSkipped = 3;

int usageError(const std::string& message) {
    std::fprintf(stderr, "mklzh: %s\nusage: mklzh [-m lh0|lh5|lh6|lh7] [-v] [-L] ARCHIVE [-C DIR] PATH...\n",
                 message.c_str());
    return exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    nivo::PackOptions options;
    bool verbose = false;
    std::vector<nivo::PackInput> paths;  // each with the -C folder in force where it stands
    std::string base;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            if (a == "--") {
                optionsEnded = true;
            } else if (a == "-C") {
                if (++i >= argc) return usageError("-C needs a folder");
                base = argv[i];
            } else if (a == "-m") {
                if (++i >= argc) return usageError("-m needs a method");
                options.methodIndex = nivo::packMethodIndex(argv[i]);
                if (options.methodIndex < 0)
                    return usageError(std::string("unknown method ") + argv[i] + " (lh0, lh5, lh6 or lh7)");
            } else if (a == "-v") {
                verbose = true;
            } else if (a == "-L") {
                options.followLinks = true;
            } else {
                return usageError("unknown option " + a);
            }
        } else if (out.empty()) {
            out = a;
        } else {
            paths.push_back({base, a});
        }
    }
    if (out.empty()) return usageError("no archive named");
    if (paths.empty()) return usageError("nothing to pack");

    std::vector<nivo::PackItem> items;
    nivo::PackNotes notes;
    options.exclude = out;
    uint64_t total = 0;
    {
        nivo::PackReporter names("mklzh", false, 0);
        notes.onNote = [&names](const std::string& line) { names.note(line); };
        items = nivo::collectItems(paths, options, notes);
    }
    for (const auto& item : items) total += item.size;

    std::vector<uint8_t> archive;
    {
        nivo::PackReporter reporter("mklzh", verbose, total);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        nivo::packItems(archive, items, options, notes,
                        [&reporter](const nivo::PackItem& item, uint64_t original, uint64_t packed) {
                            reporter.member(item, original, packed);
                        });
    }
    nivo::appendEndMark(archive);

    std::string temporary = out + ".part";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    bool written = f && std::fwrite(archive.data(), 1, archive.size(), f) == archive.size();
    if (f && std::fclose(f) != 0) written = false;
    if (!written || std::rename(temporary.c_str(), out.c_str()) != 0) {
        std::fprintf(stderr, "mklzh: %s: cannot write: %s\n", out.c_str(), std::strerror(errno));
        std::remove(temporary.c_str());
        return exitFailure;
    }
    if (!notes.skipped.empty()) {
        std::fprintf(stderr, "mklzh: %s written; %zu input%s left out\n", out.c_str(), notes.skipped.size(),
                     notes.skipped.size() == 1 ? "" : "s");
        return exitSkipped;
    }
    return 0;
}
