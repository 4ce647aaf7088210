// The few operating-system services that the portable core needs, behind one narrow seam.
//
// Paths handed to these functions are code page 932 (Shift-JIS) texts, as they are stored in
// the archive and in the settings block. The Win32 implementation converts them to UTF-16 for
// the wide functions, so that names come out the same whatever the system's code page; the
// POSIX implementation converts them to UTF-8, so that files on Linux get readable names. The seam carries services only: logic that two platforms share
// lives in the core.
#pragma once

#include <cstdint>
#include <cstdio>

namespace nivo {

// The front end's callbacks: what the run tells the person watching it. The Win32 stub turns
// them into window messages, the command-line extractor into terminal output, tests record
// them. Every callback has a do-nothing default.
enum class Problem : uint8_t {
    unknownMethod,    // the method identifier is not one this program reads
    cannotCreate,     // the output file could not be created, even after making its folders
    writeFailed,      // a write or the close of the output file failed; the file was deleted
    crcMismatch,      // decoded to its full length, but the CRC-16 differs from the header's
    damagedData,      // the compressed data is malformed; the partial file was deleted
    truncated,        // the archive ends inside this member's data
    outsideDestination,  // the name climbs out of the destination; nothing was written
    linkRefused,      // a symbolic link entry; links are never created
    nameTooLong,      // the joined name does not fit 259 bytes; the member was skipped
    noMemory,         // the dictionary or the input buffer could not be allocated
    damagedHeader,    // a header is cut short or malformed; the run ended there
    sizeMismatch,     // the decoded data ran past the original size given in the header
    unknownHeader,    // a level-0/1 header of a layout this program does not know; the run ended
    noFileName,       // the name is empty, or only separators and drives: nothing to write
    reservedName,     // a device name (NUL, COM1, ...) or a stream (":"), refused on Windows
    damagedKept,      // failed a check (listed before) where a file was: not written, the old file kept
};

class FrontEnd {
public:
    // Before each member is extracted; the text is the member's stored name.
    virtual void memberName(const char* name) { (void)name; }
    // A new position of the progress bar, 0 to 100 (a little more near the end of a run).
    virtual void progressPosition(uint32_t position) { (void)position; }
    // A member that was not extracted correctly. Called once per problem.
    virtual void memberProblem(const char* name, Problem problem) { (void)name; (void)problem; }
    // The run's very last action: aborted is true when keepRunning was cleared. The problems
    // of the run are in the context's problem list.
    virtual void runEnded(bool aborted) { (void)aborted; }
#ifndef NIVO_STUB
    // The member whose turn the run waits for while a worker decodes it (the extractor's runs
    // on several threads).
    virtual void waitingFor(const char* name) { (void)name; }
#endif

protected:
    ~FrontEnd() = default;  // front ends are never deleted through this interface
};

namespace platform {

// link: a symbolic link, which is never followed as a folder.
enum class PathKind : uint8_t { missing, file, directory, link };
// Whether pathKind reports links at all; where it does not, nobody needs to look for one.
#ifdef _WIN32
constexpr bool reportsLinks = false;
#else
constexpr bool reportsLinks = true;
#endif

// Shell change notification events (the Win32 values).
constexpr long notifyCreate = 2;     // SHCNE_CREATE
constexpr long notifyMakeDir = 8;    // SHCNE_MKDIR

// A position in a file. An archive may be larger than 2 GiB, which a long cannot hold on
// Windows, so positions are 64-bit on every platform.
#if defined(NIVO_STUB) && defined(__i386__)
// Four-byte aligned in the 32-bit Windows program, as the processor needs: eight would make
// every function that keeps one on its stack realign the stack first.
typedef int64_t FileOffset __attribute__((aligned(4)));
#else
using FileOffset = int64_t;
#endif
// Moves to offset bytes from the start of the file; false when it cannot.
bool seekFile(FILE* f, FileOffset offset);
// The position in the file, or -1 when it cannot be had.
FileOffset tellFile(FILE* f);
// Moves to the end of the file and returns its size, or -1.
FileOffset seekEnd(FILE* f);

FILE* openFile(const char* path, const char* mode);

// The folder that a run's paths are relative to: the destination. The POSIX side holds it open
// and reaches every path from it, so that the process's current folder never matters; the
// Windows program makes the destination its current folder, and the handle has nothing in it.
struct Destination {
#ifndef _WIN32
    int fd = -1;  // an open folder; -1: the current folder
#endif
};

// The services below take paths relative to at (an absolute path is taken as given).
// Creates path, which must not exist (a link there included), and opens it for writing ("wb"),
// readable and writable by the owner alone; none when it cannot. Until replaceFile or
// unlinkFile takes it away, closed or not, the file counts as being written: removeLeftover
// leaves it alone.
FILE* createFile(Destination at, const char* path);
// Removes the file at path when it is a temporary that nobody writes any more (a run that was
// killed left it); false when there is none or it is still being written.
bool removeLeftover(Destination at, const char* path);
// Puts from in the place of to, replacing a file there, so that at every instant one of the two
// exists under to's name. A file that is replaced is first written through to the disk, so
// that a power loss leaves either the old file or the whole new one.
bool replaceFile(Destination at, const char* from, const char* to);
bool makeDirectory(Destination at, const char* path);
PathKind pathKind(Destination at, const char* path);
bool unlinkFile(Destination at, const char* path);
// Sets access and modification time, seconds since 1970-01-01 00:00 UTC, of the file or folder
// itself: a link at path is never followed.
bool setFileTime(Destination at, const char* path, uint32_t unixTime);
// Sets the permission bits (the low 12 bits of mode, as Unix stores them); never through a link.
// Mode 0 gives those that a new file gets (0666 less the umask).
bool setFilePermissions(Destination at, const char* path, uint16_t mode);
// Seconds west of UTC of local standard time, as the C runtime's _timezone gives it.
long timeZoneOffset();
// Fill buf (size bytes) with the directory; false when it cannot be had or does not fit.
bool currentDirectory(char* buf, uint32_t size);
bool windowsDirectory(char* buf, uint32_t size);
// Available physical memory in bytes, or 0 when unknown.
uint64_t freePhysicalMemory();
// Tells the shell of a change at path, relative to the current folder.
void notifyShell(long event, const char* path);

#ifndef NIVO_STUB
// Makes path a symbolic link to target (both code page 932); false when path exists. The
// Windows program makes no links.
bool makeLink(Destination at, const char* target, const char* path);

// The file opened once more, for reading, with a position of its own; none when it cannot be.
FILE* reopenFile(FILE* f);

// What tells one file from another while both exist, whatever their names.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
};
// The identity of an open file; false when it cannot be had.
bool identityOf(FILE* f, FileIdentity& identity);
// Whether path (its last component itself, never through a link) is the file of identity.
bool pathIs(Destination at, const char* path, const FileIdentity& identity);

// How many threads the machine runs at once; at least 1.
unsigned processorCount();

// Threads for the extractor's scheduler, which decodes members ahead on workers. (The Windows
// program runs its one worker thread itself.) The objects are neither copied nor moved.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

private:
    friend class Condition;
    alignas(16) unsigned char storage[64];
};

// Holds a mutex for as long as it lives.
class Locked {
public:
    explicit Locked(Mutex& m) : mutex(m) { mutex.lock(); }
    ~Locked() { mutex.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Mutex& mutex;
};

class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // Waits, the mutex (held by the caller) released meanwhile, until notified (or woken
    // spuriously); waitFor at most that many milliseconds.
    void wait(Mutex& mutex);
    void waitFor(Mutex& mutex, uint32_t milliseconds);
    void notifyOne();
    void notifyAll();

private:
    alignas(16) unsigned char storage[64];
};

class Thread {
public:
    Thread() = default;
    ~Thread() { join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Runs body(argument) on a new thread; false when none can be started.
    bool start(void (*body)(void*), void* argument);
    // Waits for the thread to end; nothing when none was started.
    void join();

private:
    uint64_t handle = 0;
    bool running = false;
};

#endif

}  // namespace platform
}  // namespace nivo
