#include "tools/file_packer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

#include "platform/posix_names.h"
#include "tools/lzh_writer.h"

namespace nivo {

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

bool packPath(std::vector<uint8_t>& archive, const std::string& base, const std::string& rel,
              std::string& error) {
    std::string full = base.empty() ? rel : base + "/" + rel;
    struct stat st {};
    if (stat(full.c_str(), &st) != 0) {
        error = full + ": " + std::strerror(errno);
        return false;
    }
    std::string name;
    if (!utf8ToCp932(rel, name)) {
        error = rel + ": name cannot be stored in code page 932";
        return false;
    }
    auto mtime = static_cast<uint32_t>(st.st_mtime);
    if (S_ISDIR(st.st_mode)) {
        appendMember(archive, folderMember(name + "/", mtime));
        DIR* d = opendir(full.c_str());
        if (!d) {
            error = full + ": " + std::strerror(errno);
            return false;
        }
        std::vector<std::string> entries;
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) entries.push_back(e->d_name);
        closedir(d);
        std::sort(entries.begin(), entries.end());
        for (const auto& e : entries)
            if (!packPath(archive, base, rel + "/" + e, error)) return false;
        return true;
    }
    std::vector<uint8_t> bytes;
    if (!readFile(full, bytes)) {
        error = full + ": cannot read";
        return false;
    }
    if (bytes.size() > 0xFFFFFFFFu) {
        error = full + ": larger than 4 GB";
        return false;
    }
    appendMember(archive, storedMember(name, bytes, mtime));
    return true;
}

}  // namespace nivo
