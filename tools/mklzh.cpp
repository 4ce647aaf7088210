// mklzh: packs files and folders into an LZH archive with level-2 headers.
//
//   mklzh ARCHIVE [-m METHOD] [-C DIR] PATH...
//
// METHOD is lh0 (stored, the default), lh5, lh6 or lh7; a file that does not get smaller is
// stored.
// Paths are taken relative to DIR (default: the current directory); folders are packed with
// everything below them, in name order. Names are stored in code page 932.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/file_packer.h"
#include "tools/lzh_writer.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: mklzh ARCHIVE [-m lh0|lh5|lh6|lh7] [-C DIR] PATH...\n");
        return 2;
    }
    std::string out = argv[1];
    std::string base;
    std::vector<uint8_t> archive;
    int added = 0;
    int method = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-C") == 0 && i + 1 < argc) {
            base = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "-m") == 0 && i + 1 < argc) {
            method = nivo::packMethodIndex(argv[++i]);
            if (method < 0) {
                std::fprintf(stderr, "mklzh: unknown method %s (lh0, lh5, lh6 or lh7)\n", argv[i]);
                return 2;
            }
            continue;
        }
        std::string rel = argv[i];
        while (rel.size() > 1 && rel.back() == '/') rel.pop_back();
        std::string error;
        if (!nivo::packPath(archive, base, rel, error, method)) {
            std::fprintf(stderr, "mklzh: %s\n", error.c_str());
            return 1;
        }
        ++added;
    }
    if (added == 0) {
        std::fprintf(stderr, "mklzh: nothing to pack\n");
        return 2;
    }
    nivo::appendEndMark(archive);
    FILE* f = std::fopen(out.c_str(), "wb");
    if (!f || std::fwrite(archive.data(), 1, archive.size(), f) != archive.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "mklzh: %s: cannot write\n", out.c_str());
        return 1;
    }
    return 0;
}
