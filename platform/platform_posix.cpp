// POSIX side of the platform seam. Shift-JIS paths become UTF-8 here.
#include "platform/platform.h"
#include "platform/posix_files.h"
#include "platform/posix_names.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unordered_map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nivo {

bool syncReplacements = true;

int createLockedFile(const char* path) {
    for (;;) {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        // Between the creation and the lock another run may have taken the new file for a
        // leftover and removed it: the name must still be this file's once the lock is held.
        struct stat mine {}, named {};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &mine) == 0 && ::lstat(path, &named) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
            return fd;
        ::close(fd);
    }
}

bool removeUnlockedFile(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat held {}, named {};
    // Locked, the name still this file's: its writer is gone, and nobody else removes it now.
    bool removed = ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                   ::lstat(path, &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino &&
                   ::unlink(path) == 0;
    ::close(fd);
    return removed;
}

namespace {

bool syncOpened(const char* path, int flags) {
    int fd = ::open(path, flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool syncFile(const char* path) {
    return syncOpened(path, O_NOFOLLOW | O_NONBLOCK);
}

bool syncFolderOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) return syncOpened(".", O_DIRECTORY);
    std::string folder(path, slash == path ? 1 : static_cast<size_t>(slash - path));
    return syncOpened(folder.c_str(), O_DIRECTORY);
}

bool renameOver(const char* from, const char* to) {
    struct stat st {};
    const bool replacing = syncReplacements && ::lstat(to, &st) == 0;
    if (replacing && !syncFile(from)) return false;
    if (std::rename(from, to) != 0) return false;
    // The rename itself is only safe once the folder is on the disk.
    if (replacing) syncFolderOf(to);
    return true;
}

}  // namespace nivo

namespace nivo::platform {
namespace {

std::string toLocal(const char* path) {
    return cp932ToUtf8(path);
}

// The locks on the temporaries this process writes, held from their creation until they are
// renamed or removed: the file that writes one is closed before that, and a closed file would
// look like a killed run's leftover to another run.
std::mutex heldMutex;
std::unordered_map<std::string, int> heldLocks;

void holdLock(const std::string& path, int fd) {
    int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (kept < 0) return;
    std::lock_guard<std::mutex> lock(heldMutex);
    auto [it, added] = heldLocks.emplace(path, kept);
    if (!added) {
        ::close(it->second);
        it->second = kept;
    }
}

void releaseLock(const std::string& path) {
    std::lock_guard<std::mutex> lock(heldMutex);
    auto it = heldLocks.find(path);
    if (it == heldLocks.end()) return;
    ::close(it->second);
    heldLocks.erase(it);
}

}  // namespace

bool seekFile(FILE* f, FileOffset offset) {
    return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

FileOffset tellFile(FILE* f) {
    return ::ftello(f);
}

FileOffset seekEnd(FILE* f) {
    return ::fseeko(f, 0, SEEK_END) == 0 ? ::ftello(f) : -1;
}

FILE* openFile(const char* path, const char* mode) {
    return std::fopen(toLocal(path).c_str(), mode);
}

FILE* createFile(const char* path) {
    const std::string local = toLocal(path);
    int fd = createLockedFile(local.c_str());
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::unlink(local.c_str());
        ::close(fd);
        return nullptr;
    }
    holdLock(local, fd);
    return f;
}

bool removeLeftover(const char* path) {
    return removeUnlockedFile(toLocal(path).c_str());
}

bool replaceFile(const char* from, const char* to) {
    const std::string local = toLocal(from);
    bool ok = renameOver(local.c_str(), toLocal(to).c_str());
    releaseLock(local);
    return ok;
}

bool makeDirectory(const char* path) {
    return ::mkdir(toLocal(path).c_str(), 0777) == 0;
}

PathKind pathKind(const char* path) {
    struct stat st {};
    // lstat: a symbolic link is never taken for the folder it points to.
    if (::lstat(toLocal(path).c_str(), &st) != 0) return PathKind::missing;
    if (S_ISLNK(st.st_mode)) return PathKind::link;
    return S_ISDIR(st.st_mode) ? PathKind::directory : PathKind::file;
}

bool unlinkFile(const char* path) {
    const std::string local = toLocal(path);
    bool ok = ::unlink(local.c_str()) == 0;
    releaseLock(local);
    return ok;
}

bool setFileTime(const char* path, uint32_t unixTime) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixTime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    // Relative paths start at the destination, the current folder of an extraction.
    return ::utimensat(AT_FDCWD, toLocal(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool setFilePermissions(const char* path, uint16_t mode) {
    // chmod would follow a link; a link's own permissions mean nothing, so one is left alone.
    int fd = ::open(toLocal(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (mode == 0) {
        static const mode_t mask = [] {
            mode_t m = ::umask(0);
            ::umask(m);
            return m;
        }();
        mode = static_cast<uint16_t>(0666 & ~mask);
    }
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
    ::close(fd);
    return ok;
}

long timeZoneOffset() {
    tzset();
    return timezone;
}

bool currentDirectory(char* buf, uint32_t size) {
    return ::getcwd(buf, size) != nullptr;
}

bool windowsDirectory(char* buf, uint32_t size) {
    // There is no Windows directory here; callers fall back to what they were given.
    (void)buf;
    (void)size;
    return false;
}

uint64_t freePhysicalMemory() {
    long pages = ::sysconf(_SC_AVPHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

void notifyShell(long event, const char* path) {
    // No shell to tell on POSIX systems.
    (void)event;
    (void)path;
}

}  // namespace nivo::platform
