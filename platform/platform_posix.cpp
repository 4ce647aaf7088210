// POSIX side of the platform seam. Shift-JIS paths become UTF-8 here.
//
// A relative path (a member's, under the destination, which is held open) is never followed
// through a symbolic link: its folders are opened from the destination one component at a time
// without following links, and the last component is handled relative to the folder that
// holds it, without following it either. So a member "a" stored as a link, and then a member
// "a/file", cannot write outside the destination, nor can a link put there by anyone else.
#include "platform/platform.h"
#include "platform/posix_files.h"
#include "platform/posix_folder.h"
#include "platform/posix_names.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <mutex>
#include <string>
#include <unordered_map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nivo {

bool syncReplacements = true;

int createLockedFileAt(int folder, const char* name) {
    for (;;) {
        int fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        // Between the creation and the lock another run may have taken the new file for a
        // leftover and removed it: the name must still be this file's once the lock is held.
        struct stat mine {}, named {};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &mine) == 0 &&
            ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && mine.st_dev == named.st_dev &&
            mine.st_ino == named.st_ino)
            return fd;
        ::close(fd);
    }
}

int createLockedFile(const char* path) {
    return createLockedFileAt(AT_FDCWD, path);
}

bool removeUnlockedFileAt(int folder, const char* name) {
    int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat held {}, named {};
    // Locked, the name still this file's: its writer is gone, and nobody else removes it now.
    bool removed = ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                   ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
                   held.st_ino == named.st_ino && ::unlinkat(folder, name, 0) == 0;
    ::close(fd);
    return removed;
}

bool removeUnlockedFile(const char* path) {
    return removeUnlockedFileAt(AT_FDCWD, path);
}

namespace {

// Writes path, opened from folder (AT_FDCWD: the current one), through to the disk.
bool syncOpenedAt(int folder, const char* path, int flags) {
    const int fd = ::openat(folder, path, flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// The same for the folder that holds path.
bool syncFolderOf(int folder, const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) return syncOpenedAt(folder, ".", O_DIRECTORY);
    const std::string holder(path, slash == path ? 1 : static_cast<size_t>(slash - path));
    return syncOpenedAt(folder, holder.c_str(), O_DIRECTORY);
}

}  // namespace

bool renameOverAt(int fromFolder, const char* from, int toFolder, const char* to) {
    struct stat st {};
    const bool replacing = syncReplacements && ::fstatat(toFolder, to, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (replacing && !syncOpenedAt(fromFolder, from, O_NOFOLLOW | O_NONBLOCK)) return false;
    if (::renameat(fromFolder, from, toFolder, to) != 0) return false;
    // The rename itself is only safe once the folder is on the disk.
    if (replacing) syncFolderOf(toFolder, to);
    return true;
}

bool renameOver(const char* from, const char* to) {
    return renameOverAt(AT_FDCWD, from, AT_FDCWD, to);
}

}  // namespace nivo

namespace nivo::platform {
namespace {

std::string toLocal(const char* path) {
    return cp932ToUtf8(path);
}

// The folder a destination's paths start from.
int baseOf(Destination at) {
    return at.fd >= 0 ? at.fd : AT_FDCWD;
}

// A path as the held locks know it: in its destination.
std::string lockKey(Destination at, const std::string& local) {
    return std::to_string(at.fd) + ":" + local;
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

FolderOf::FolderOf(int base, const char* localPath) : fd(base) {
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
    fd = ::openat(base, ".", flags);
    owned = true;
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
    if (owned && fd >= 0) ::close(fd);
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

FILE* createFile(Destination at, const char* path) {
    // O_EXCL: a name that exists, a symbolic link included, is never opened; nor is a folder
    // on the way followed through a link.
    const std::string local = toLocal(path);
    const FolderOf folder(baseOf(at), local.c_str());
    if (!folder.ok()) return nullptr;
    int fd = createLockedFileAt(folder.fd, folder.leaf.c_str());
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::unlinkat(folder.fd, folder.leaf.c_str(), 0);
        ::close(fd);
        return nullptr;
    }
    holdLock(lockKey(at, local), fd);
    return f;
}

bool removeLeftover(Destination at, const char* path) {
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    return folder.ok() && removeUnlockedFileAt(folder.fd, folder.leaf.c_str());
}

bool replaceFile(Destination at, const char* from, const char* to) {
    // A link where the file goes is replaced itself; its target is never touched.
    const std::string local = toLocal(from);
    const std::string target = toLocal(to);
    const FolderOf a(baseOf(at), local.c_str());
    const FolderOf b(baseOf(at), target.c_str());
    bool ok = a.ok() && b.ok() && renameOverAt(a.fd, a.leaf.c_str(), b.fd, b.leaf.c_str());
    releaseLock(lockKey(at, local));
    return ok;
}

bool makeDirectory(Destination at, const char* path) {
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    return folder.ok() && ::mkdirat(folder.fd, folder.leaf.c_str(), 0777) == 0;
}

bool makeLink(Destination at, const char* target, const char* path) {
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    return folder.ok() && ::symlinkat(toLocal(target).c_str(), folder.fd, folder.leaf.c_str()) == 0;
}

PathKind pathKind(Destination at, const char* path) {
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    // A link or a file on the way: the path cannot be reached without following one.
    if (!folder.ok()) return errno == ENOENT ? PathKind::missing : PathKind::link;
    struct stat st {};
    // A symbolic link is never taken for the folder it points to.
    if (::fstatat(folder.fd, folder.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return PathKind::missing;
    if (S_ISLNK(st.st_mode)) return PathKind::link;
    return S_ISDIR(st.st_mode) ? PathKind::directory : PathKind::file;
}

bool unlinkFile(Destination at, const char* path) {
    const std::string local = toLocal(path);
    const FolderOf folder(baseOf(at), local.c_str());
    bool ok = folder.ok() && ::unlinkat(folder.fd, folder.leaf.c_str(), 0) == 0;
    releaseLock(lockKey(at, local));
    return ok;
}

bool setFileTime(Destination at, const char* path, uint32_t unixTime) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixTime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    // A link gets the time itself.
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    return folder.ok() && ::utimensat(folder.fd, folder.leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool setFilePermissions(Destination at, const char* path, uint16_t mode) {
    // Opened without following a link, so that only the file itself changes; links have no
    // permissions of their own.
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    if (!folder.ok()) return false;
    const int fd = ::openat(folder.fd, folder.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (mode == 0) {
        static const mode_t mask = [] {
            mode_t m = ::umask(0);
            ::umask(m);
            return m;
        }();
        mode = static_cast<uint16_t>(0666 & ~mask);
    }
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

FILE* reopenFile(FILE* f) {
    // Through /proc, where there is one: the file itself, whatever its name is now.
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", ::fileno(f));
    return std::fopen(path, "rb");
}

bool identityOf(FILE* f, FileIdentity& identity) {
    struct stat st {};
    if (::fstat(::fileno(f), &st) != 0) return false;
    identity.device = static_cast<uint64_t>(st.st_dev);
    identity.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool pathIs(Destination at, const char* path, const FileIdentity& identity) {
    const FolderOf folder(baseOf(at), toLocal(path).c_str());
    struct stat st {};
    return folder.ok() && ::fstatat(folder.fd, folder.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           static_cast<uint64_t>(st.st_dev) == identity.device && static_cast<uint64_t>(st.st_ino) == identity.inode;
}

unsigned processorCount() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

static_assert(sizeof(pthread_mutex_t) <= 64 && alignof(pthread_mutex_t) <= 16);
static_assert(sizeof(pthread_cond_t) <= 64 && alignof(pthread_cond_t) <= 16);
static_assert(sizeof(pthread_t) <= sizeof(uint64_t));

namespace {

pthread_mutex_t* nativeMutex(unsigned char* storage) {
    return reinterpret_cast<pthread_mutex_t*>(storage);
}
pthread_cond_t* nativeCondition(unsigned char* storage) {
    return reinterpret_cast<pthread_cond_t*>(storage);
}

}  // namespace

Mutex::Mutex() {
    ::pthread_mutex_init(nativeMutex(storage), nullptr);
}
Mutex::~Mutex() {
    ::pthread_mutex_destroy(nativeMutex(storage));
}
void Mutex::lock() {
    ::pthread_mutex_lock(nativeMutex(storage));
}
void Mutex::unlock() {
    ::pthread_mutex_unlock(nativeMutex(storage));
}

Condition::Condition() {
    // Timed waits count on the monotonic clock, which no change of the date moves.
    pthread_condattr_t attributes;
    ::pthread_condattr_init(&attributes);
    ::pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    ::pthread_cond_init(nativeCondition(storage), &attributes);
    ::pthread_condattr_destroy(&attributes);
}
Condition::~Condition() {
    ::pthread_cond_destroy(nativeCondition(storage));
}
void Condition::wait(Mutex& mutex) {
    ::pthread_cond_wait(nativeCondition(storage), nativeMutex(mutex.storage));
}
void Condition::waitFor(Mutex& mutex, uint32_t milliseconds) {
    struct timespec until {};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(milliseconds / 1000);
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    ::pthread_cond_timedwait(nativeCondition(storage), nativeMutex(mutex.storage), &until);
}
void Condition::notifyOne() {
    ::pthread_cond_signal(nativeCondition(storage));
}
void Condition::notifyAll() {
    ::pthread_cond_broadcast(nativeCondition(storage));
}

namespace {

struct ThreadStart {
    void (*body)(void*);
    void* argument;
};

void* runThread(void* start) {
    const ThreadStart s = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    s.body(s.argument);
    return nullptr;
}

}  // namespace

bool Thread::start(void (*body)(void*), void* argument) {
    join();
    auto* s = new ThreadStart{body, argument};
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, runThread, s) != 0) {
        delete s;
        return false;
    }
    handle = 0;
    std::memcpy(&handle, &thread, sizeof thread);
    running = true;
    return true;
}

void Thread::join() {
    if (!running) return;
    pthread_t thread;
    std::memcpy(&thread, &handle, sizeof thread);
    ::pthread_join(thread, nullptr);
    running = false;
}

}  // namespace nivo::platform
