// Win32 side of the platform seam. Paths are code page 932 texts and go to the ANSI functions
// and the C runtime unchanged.
#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <time.h>

namespace nivo::platform {

FILE* openFile(const char* path, const char* mode) {
    return fopen(path, mode);
}

// The caller has found the name free; a file that appears under it in the meantime is
// overwritten, as "wb" does.
FILE* createFile(const char* path) {
    return fopen(path, "wb");
}

bool replaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool makeDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

PathKind pathKind(const char* path) {
    struct _stat st;
    if (_stat(path, &st) != 0) return PathKind::missing;
    return (st.st_mode & _S_IFDIR) ? PathKind::directory : PathKind::file;
}

bool unlinkFile(const char* path) {
    return _unlink(path) == 0;
}

bool setFileTime(const char* path, uint32_t unixTime) {
    struct _utimbuf times;
    times.actime = static_cast<time_t>(unixTime);
    times.modtime = times.actime;
    return _utime(path, &times) == 0;
}

bool setFilePermissions(const char* path, uint16_t mode) {
    // Windows files have no Unix permissions; the archive's are not applied.
    (void)path;
    (void)mode;
    return true;
}

long timeZoneOffset() {
    _tzset();
    return _timezone;
}

// GetCurrentDirectoryA and GetWindowsDirectoryA return 0 on failure and the size needed when
// the buffer is too small; either way the buffer must not be used.
bool currentDirectory(char* buf, uint32_t size) {
    DWORD n = GetCurrentDirectoryA(size, buf);
    return n != 0 && n < size;
}

bool windowsDirectory(char* buf, uint32_t size) {
    UINT n = GetWindowsDirectoryA(buf, size);
    return n != 0 && n < size;
}

uint64_t freePhysicalMemory() {
    MEMORYSTATUS status;
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return status.dwAvailPhys;
}

void notifyShell(long event, const char* path) {
    SHChangeNotify(event, SHCNF_PATHA, path, nullptr);
}

}  // namespace nivo::platform
