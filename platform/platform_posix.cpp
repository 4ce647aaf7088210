// POSIX side of the platform seam. Shift-JIS paths become UTF-8 here.
#include "platform/platform.h"
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
    int fd = ::open(toLocal(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) ::close(fd);
    return f;
}

bool replaceFile(const char* from, const char* to) {
    return std::rename(toLocal(from).c_str(), toLocal(to).c_str()) == 0;
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
    return ::unlink(toLocal(path).c_str()) == 0;
}

bool setFileTime(const char* path, uint32_t unixTime) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixTime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, toLocal(path).c_str(), times, 0) == 0;
}

bool setFilePermissions(const char* path, uint16_t mode) {
    return ::chmod(toLocal(path).c_str(), static_cast<mode_t>(mode & 07777)) == 0;
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
