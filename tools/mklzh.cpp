// mklzh: packs files and folders into an LZH archive with level-2 headers. The archive is
// written as it goes, to ARCHIVE.part, which takes ARCHIVE's name once it is complete.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "tools/archive_builder.h"
#include "tools/file_packer.h"

namespace {

const std::string usage =
    "usage: mklzh [OPTION]... ARCHIVE PATH...\n"
    "\n"
    "Packs the files and folders PATH into the LZH archive ARCHIVE (level-2 headers, names in\n"
    "code page 932). A folder is packed with everything below it, in name order. Options apply\n"
    "to the paths behind them.\n"
    "\n"
    "  -C DIR                take the following paths relative to DIR (default: the current\n"
    "                        directory)\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n" +
    nivo::packOptionsHelp("mklzh") +
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written, 10 for bad usage.\n";

constexpr int exitFailure = 1;
const nivo::cli::Program program{"mklzh", usage.c_str()};

struct PathToPack {
    std::string base;
    std::string path;
    int method;
    int level;
};

}  // namespace

int main(int argc, char** argv) {
    std::string out, base;
    nivo::PackOptions pack;
    pack.method = 7;
    std::vector<PathToPack> paths;
    std::vector<nivo::cli::Option> options = {
        {'m', "method", true, [&](const std::string& v) {
             pack.method = nivo::packMethodIndex(v);
             return pack.method < 0 ? "unknown method " + v + " (lh0, lh5, lh6 or lh7)" : std::string();
         }},
        {'C', nullptr, true, [&](const std::string& v) {
             base = v;
             return std::string();
         }},
        {0, "threads", true, [&](const std::string& v) {
             pack.threads = nivo::packThreadsOption(v);
             return pack.threads ? std::string() : "--threads needs a number from 1 to 1024";
         }},
    };
    for (int level = nivo::minLevel; level <= nivo::maxLevel; ++level)
        options.push_back({static_cast<char>('0' + level), nullptr, false, [&pack, level](const std::string&) {
                               pack.encoder.level = level;
                               return std::string();
                           }});
    nivo::cli::ParseOutcome parsed =
        nivo::cli::parseCommandLine(program, argc, argv, options, [&](const std::string& a) {
            if (out.empty())
                out = a;
            else
                paths.push_back({base, a, pack.method, pack.encoder.level});
            return std::string();
        });
    if (!parsed.proceed) return parsed.exitCode;
    if (out.empty()) return nivo::cli::usageError(program, "no ARCHIVE given");
    if (paths.empty()) return nivo::cli::usageError(program, "nothing to pack");

    const std::string temporary = out + ".part";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "mklzh: %s: cannot write: %s\n", out.c_str(), std::strerror(errno));
        return exitFailure;
    }
    bool ok = true;
    std::string error;
    {
        nivo::ArchiveBuilder archive(f, pack);
        for (PathToPack& p : paths) {
            while (p.path.size() > 1 && p.path.back() == '/') p.path.pop_back();
            archive.setCompression(p.method, p.level);
            if (!(ok = nivo::packPath(archive, p.base, p.path, error))) break;
        }
        if (ok) ok = archive.finish(error);
        for (const std::string& problem : archive.leftOut()) std::fprintf(stderr, "mklzh: %s\n", problem.c_str());
        if (ok && !archive.leftOut().empty()) {
            ok = false;
            error = "the archive lacks the files named above";
        }
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = out + ": cannot write: " + std::strerror(errno);
    }
    if (ok && std::rename(temporary.c_str(), out.c_str()) != 0) {
        ok = false;
        error = out + ": cannot write: " + std::strerror(errno);
    }
    if (!ok) {
        std::remove(temporary.c_str());
        std::fprintf(stderr, "mklzh: %s\n", error.c_str());
        return exitFailure;
    }
    return 0;
}
