// mklzh: packs files and folders into an LZH archive with level-2 headers.
//
//   mklzh ARCHIVE [-m METHOD] [-1 ... -9] [--threads N] [-C DIR] PATH...
//
// METHOD is lh0 (stored), lh5, lh6 or lh7 (the default); a file that does not get smaller is
// stored. Paths are taken relative to DIR (default: the current directory); folders are packed
// with everything below them, in name order. Names are stored in code page 932. The archive is
// written as it goes, to ARCHIVE.part, which takes ARCHIVE's name once it is complete.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/archive_builder.h"
#include "tools/file_packer.h"

namespace {

struct Source {
    std::string base, rel;
};

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: mklzh ARCHIVE [OPTION]... [-C DIR] PATH...\n"
                 "\n"
                 "Packs the files and folders PATH (names relative to DIR) into the LZH archive\n"
                 "ARCHIVE.\n"
                 "\n"
                 "%s",
                 nivo::packOptionsHelp("mklzh").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc < 3) {
        usage(stderr);
        return 2;
    }
    std::string out = argv[1];
    std::string base;
    std::vector<Source> sources;
    nivo::PackOptions options;
    options.method = 7;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-C") == 0 && i + 1 < argc) {
            base = argv[++i];
            continue;
        }
        if ((std::strcmp(argv[i], "-m") == 0 || std::strcmp(argv[i], "--method") == 0) && i + 1 < argc) {
            options.method = nivo::packMethodIndex(argv[++i]);
            if (options.method < 0) {
                std::fprintf(stderr, "mklzh: unknown method %s (lh0, lh5, lh6 or lh7)\n", argv[i]);
                return 2;
            }
            continue;
        }
        if (int level = nivo::packLevelOption(argv[i])) {
            options.encoder.level = level;
            continue;
        }
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*end || n < 1 || n > 1024) {
                std::fprintf(stderr, "mklzh: --threads needs a number from 1 to 1024\n");
                return 2;
            }
            options.threads = static_cast<unsigned>(n);
            continue;
        }
        std::string rel = argv[i];
        while (rel.size() > 1 && rel.back() == '/') rel.pop_back();
        sources.push_back({base, rel});
    }
    if (sources.empty()) {
        std::fprintf(stderr, "mklzh: nothing to pack\n");
        return 2;
    }
    const std::string temporary = out + ".part";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "mklzh: %s: cannot write: %s\n", out.c_str(), std::strerror(errno));
        return 1;
    }
    bool ok = true;
    std::string error;
    {
        nivo::ArchiveBuilder archive(f, options);
        for (const Source& s : sources)
            if (!nivo::packPath(archive, s.base, s.rel, error)) {
                ok = false;
                break;
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
        return 1;
    }
    return 0;
}
