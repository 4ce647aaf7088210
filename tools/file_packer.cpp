#include "tools/file_packer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

#include "platform/posix_names.h"
#include "tools/lzh_encoder.h"
#include "tools/lzh_writer.h"

namespace nivo {

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The names in a folder, in name order, without "." and "..".
bool listFolder(const std::string& path, std::vector<std::string>& entries, std::string& error) {
    DIR* d = opendir(path.c_str());
    if (!d) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) entries.push_back(e->d_name);
    closedir(d);
    std::sort(entries.begin(), entries.end());
    return true;
}

}  // namespace

int packMethodIndex(const std::string& name) {
    std::string n = name;
    if (n.size() == 5 && n.front() == '-' && n.back() == '-') n = n.substr(1, 3);
    if (n == "lh0") return 0;
    if (n == "lh5") return 5;
    if (n == "lh6") return 6;
    if (n == "lh7") return 7;
    return -1;
}

bool packPath(std::vector<uint8_t>& archive, const std::string& base, const std::string& rel,
              std::string& error, int methodIndex) {
    std::string full = base.empty() ? rel : base + "/" + rel;
    if (rel == ".") {
        // The folder's contents, named without the folder.
        std::vector<std::string> entries;
        if (!listFolder(full, entries, error)) return false;
        for (const auto& e : entries)
            if (!packPath(archive, base, e, error, methodIndex)) return false;
        return true;
    }
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
        std::vector<std::string> entries;
        if (!listFolder(full, entries, error)) return false;
        for (const auto& e : entries)
            if (!packPath(archive, base, rel + "/" + e, error, methodIndex)) return false;
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
    std::optional<LzhMember> member = compressMember(methodIndex, name, bytes, mtime);
    if (!member) {
        error = full + ": cannot be packed with that method";
        return false;
    }
    appendMember(archive, *member);
    return true;
}

}  // namespace nivo
