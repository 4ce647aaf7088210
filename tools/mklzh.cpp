// mklzh: packs files and folders into an LZH archive with level-2 headers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "tools/file_packer.h"
#include "tools/lzh_writer.h"

namespace {

const char usage[] =
    "usage: mklzh [OPTION]... ARCHIVE PATH...\n"
    "\n"
    "Packs the files and folders PATH into the LZH archive ARCHIVE (level-2 headers, names in\n"
    "code page 932). A folder is packed with everything below it, in name order. Options apply\n"
    "to the paths behind them.\n"
    "\n"
    "  -m, --method METHOD   lh0 (stored, the default), lh5, lh6 or lh7; a file that does not\n"
    "                        get smaller is stored\n"
    "  -C DIR                take the following paths relative to DIR (default: the current\n"
    "                        directory)\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written, 10 for bad usage.\n";

constexpr int exitFailure = 1;
const nivo::cli::Program program{"mklzh", usage};

struct PathToPack {
    std::string base;
    std::string path;
    int method;
};

}  // namespace

int main(int argc, char** argv) {
    std::string out, base;
    int method = 0;
    std::vector<PathToPack> paths;
    std::vector<nivo::cli::Option> options = {
        {'m', "method", true, [&](const std::string& v) {
             method = nivo::packMethodIndex(v);
             return method < 0 ? "unknown method " + v + " (lh0, lh5, lh6 or lh7)" : std::string();
         }},
        {'C', nullptr, true, [&](const std::string& v) {
             base = v;
             return std::string();
         }},
    };
    nivo::cli::ParseOutcome parsed =
        nivo::cli::parseCommandLine(program, argc, argv, options, [&](const std::string& a) {
            if (out.empty())
                out = a;
            else
                paths.push_back({base, a, method});
            return std::string();
        });
    if (!parsed.proceed) return parsed.exitCode;
    if (out.empty()) return nivo::cli::usageError(program, "no ARCHIVE given");
    if (paths.empty()) return nivo::cli::usageError(program, "nothing to pack");

    std::vector<uint8_t> archive;
    for (PathToPack& p : paths) {
        while (p.path.size() > 1 && p.path.back() == '/') p.path.pop_back();
        std::string error;
        if (!nivo::packPath(archive, p.base, p.path, error, p.method)) {
            std::fprintf(stderr, "mklzh: %s\n", error.c_str());
            return exitFailure;
        }
    }
    nivo::appendEndMark(archive);
    FILE* f = std::fopen(out.c_str(), "wb");
    if (!f || std::fwrite(archive.data(), 1, archive.size(), f) != archive.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "mklzh: %s: cannot write: %s\n", out.c_str(), std::strerror(errno));
        return exitFailure;
    }
    return 0;
}
