// POSIX side of the platform seam. Shift-JIS paths become UTF-8 here.
//
// A relative path (a member's, under the destination, which is the current directory) is
// never followed through a symbolic link: its folders are opened one component at a time
// without following links, and the last component is handled relative to the folder that
// holds it, without following it either. So a member "a" stored as a link, and then a member
// "a/file", cannot write outside the destination, nor can a link put there by anyone else.
#include "platform/platform.h"
#include "platform/posix_folder.h"
#include "platform/posix_names.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace nivo::platform {
namespace {

std::string toLocal(const char* path) {
    return cp932ToUtf8(path);
}

}  // namespace

FolderOf::FolderOf(const char* localPath) {
    const std::string path = localPath;
    const size_t slash = path.rfind('/');
    if (path.empty() || path[0] == '/' || slash == std::string::npos) {
        // An absolute path is the caller's own, and is taken as given.
        leaf = slash == std::string::npos || path[0] == '/' ? path : path.substr(slash + 1);
        return;
    }
    leaf = path.substr(slash + 1);
#ifdef O_PATH
    constexpr int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
    fd = ::openat(AT_FDCWD, ".", flags);
    for (size_t at = 0; fd >= 0 && at < slash;) {
        size_t end = path.find('/', at);
        if (end == std::string::npos || end > slash) end = slash;
        const std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        const int next = ::openat(fd, part.c_str(), flags);
        const int e = errno;
        ::close(fd);
        errno = e;
        fd = next;
    }
    if (fd < 0) fd = failed;
}

FolderOf::~FolderOf() {
    if (fd >= 0) ::close(fd);
}

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
    // O_EXCL: a name that exists, a symbolic link included, is never opened.
    const FolderOf folder(toLocal(path).c_str());
    if (!folder.ok()) return nullptr;
    int fd = ::openat(folder.fd, folder.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) ::close(fd);
    return f;
}

bool replaceFile(const char* from, const char* to) {
    // A link where the file goes is replaced itself; its target is never touched.
    const FolderOf a(toLocal(from).c_str());
    const FolderOf b(toLocal(to).c_str());
    return a.ok() && b.ok() && ::renameat(a.fd, a.leaf.c_str(), b.fd, b.leaf.c_str()) == 0;
}

bool makeDirectory(const char* path) {
    const FolderOf folder(toLocal(path).c_str());
    return folder.ok() && ::mkdirat(folder.fd, folder.leaf.c_str(), 0777) == 0;
}

bool makeLink(const char* target, const char* path) {
    const FolderOf folder(toLocal(path).c_str());
    return folder.ok() && ::symlinkat(toLocal(target).c_str(), folder.fd, folder.leaf.c_str()) == 0;
}

PathKind pathKind(const char* path) {
    const FolderOf folder(toLocal(path).c_str());
    // A link or a file on the way: the path cannot be reached without following one.
    if (!folder.ok()) return errno == ENOENT ? PathKind::missing : PathKind::link;
    struct stat st {};
    // A symbolic link is never taken for the folder it points to.
    if (::fstatat(folder.fd, folder.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return PathKind::missing;
    if (S_ISLNK(st.st_mode)) return PathKind::link;
    return S_ISDIR(st.st_mode) ? PathKind::directory : PathKind::file;
}

bool unlinkFile(const char* path) {
    const FolderOf folder(toLocal(path).c_str());
    return folder.ok() && ::unlinkat(folder.fd, folder.leaf.c_str(), 0) == 0;
}

bool setFileTime(const char* path, uint32_t unixTime) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixTime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    // A link gets the time itself.
    const FolderOf folder(toLocal(path).c_str());
    return folder.ok() && ::utimensat(folder.fd, folder.leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool setFilePermissions(const char* path, uint16_t mode) {
    // Opened without following a link, so that only the file itself changes; links have no
    // permissions of their own.
    const FolderOf folder(toLocal(path).c_str());
    if (!folder.ok()) return false;
    const int fd = ::openat(folder.fd, folder.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool done = ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
    ::close(fd);
    return done;
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
