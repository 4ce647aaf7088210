// mklzh: packs files and folders into an LZH archive of stored members with level-2 headers.
//
//   mklzh ARCHIVE [-C DIR] PATH...
//
// Paths are taken relative to DIR (default: the current directory); folders are packed with
// everything below them, in name order. Names are stored in code page 932.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/posix_names.h"
#include "tools/lzh_writer.h"

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool addPath(std::vector<uint8_t>& archive, const std::string& base, const std::string& rel) {
    std::string full = base.empty() ? rel : base + "/" + rel;
    struct stat st {};
    if (stat(full.c_str(), &st) != 0) {
        std::fprintf(stderr, "mklzh: %s: %s\n", full.c_str(), std::strerror(errno));
        return false;
    }
    std::string name;
    if (!nivo::utf8ToCp932(rel, name)) {
        std::fprintf(stderr, "mklzh: %s: name cannot be stored in code page 932\n", rel.c_str());
        return false;
    }
    auto mtime = static_cast<uint32_t>(st.st_mtime);
    if (S_ISDIR(st.st_mode)) {
        nivo::appendMember(archive, nivo::folderMember(name + "/", mtime));
        DIR* d = opendir(full.c_str());
        if (!d) return false;
        std::vector<std::string> entries;
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) entries.push_back(e->d_name);
        closedir(d);
        std::sort(entries.begin(), entries.end());
        for (const auto& e : entries)
            if (!addPath(archive, base, rel + "/" + e)) return false;
        return true;
    }
    std::vector<uint8_t> bytes;
    if (!readFile(full, bytes)) {
        std::fprintf(stderr, "mklzh: %s: cannot read\n", full.c_str());
        return false;
    }
    if (bytes.size() > 0xFFFFFFFFu) return false;
    nivo::appendMember(archive, nivo::storedMember(name, bytes, mtime));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: mklzh ARCHIVE [-C DIR] PATH...\n");
        return 2;
    }
    std::string out = argv[1];
    std::string base;
    std::vector<uint8_t> archive;
    int added = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-C") == 0 && i + 1 < argc) {
            base = argv[++i];
            continue;
        }
        std::string rel = argv[i];
        while (rel.size() > 1 && rel.back() == '/') rel.pop_back();
        if (!addPath(archive, base, rel)) return 1;
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
