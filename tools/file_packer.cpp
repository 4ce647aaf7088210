#include "tools/file_packer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "platform/posix_names.h"

namespace nivo {

namespace {

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

int packLevelOption(const std::string& arg) {
    if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' + minLevel && arg[1] <= '0' + maxLevel) return arg[1] - '0';
    return 0;
}

unsigned packThreadsOption(const std::string& value) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(value.c_str(), &end, 10);
    return value.empty() || *end || errno || n < 1 || n > 1024 ? 0 : static_cast<unsigned>(n);
}

std::string packOptionsHelp(const std::string& tool) {
    const unsigned threads = defaultThreads();
    const size_t megabytes = (builderMemoryBound(threads) + 999999) / 1000000;
    char text[1200];
    std::snprintf(text, sizeof text,
                  "  -m, --method METHOD   lh0 (stored), lh5, lh6 or lh7 (the default); a file that\n"
                  "                        does not get smaller is stored\n"
                  "  -1 ... -9             compression level: -1 fastest, -9 smallest (-%d when\n"
                  "                        none is given); -6 and above parse near-optimally\n"
                  "  --threads N           compress on N threads (default: one per core, here %u)\n"
                  "\n"
                  "%s writes the archive as it goes; with %u threads it holds at most about %zu MB,\n"
                  "whatever the size of the files.\n",
                  defaultLevel, threads, tool.c_str(), threads, megabytes);
    return text;
}

bool packPath(ArchiveBuilder& archive, const std::string& base, const std::string& rel,
              std::string& error) {
    std::string full = base.empty() ? rel : base + "/" + rel;
    if (rel == ".") {
        // The folder's contents, named without the folder.
        std::vector<std::string> entries;
        if (!listFolder(full, entries, error)) return false;
        for (const auto& e : entries)
            if (!packPath(archive, base, e, error)) return false;
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
        if (!archive.addFolder(name + "/", mtime, error)) return false;
        std::vector<std::string> entries;
        if (!listFolder(full, entries, error)) return false;
        for (const auto& e : entries)
            if (!packPath(archive, base, rel + "/" + e, error)) return false;
        return true;
    }
    if (st.st_size > 0xFFFFFFFF) {
        error = full + ": larger than 4 GB";
        return false;
    }
    return archive.addFile(full, name, mtime, error);
}

}  // namespace nivo
