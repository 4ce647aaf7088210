// Reaching a path's folder without following symbolic links. POSIX builds only.
#pragma once

#include <fcntl.h>
#include <string>

namespace nivo::platform {

// The folder that holds a path's last component (a local path, "/" separators), opened from
// base (an open folder, or AT_FDCWD) one component at a time without following symbolic links.
// An absolute path is taken as given, relative to no folder. ok() is false, with errno set
// (ENOENT: a folder is missing; else a link or a file stands on the way), when it cannot be
// reached so.
struct FolderOf {
    FolderOf(int base, const char* localPath);
    ~FolderOf();
    FolderOf(const FolderOf&) = delete;
    FolderOf& operator=(const FolderOf&) = delete;
    bool ok() const { return fd != failed; }

    static constexpr int failed = -2;  // no descriptor, nor AT_FDCWD
    int fd = AT_FDCWD;  // for a path without folders, base
    std::string leaf;

private:
    bool owned = false;  // fd was opened here
};

}  // namespace nivo::platform
