// Win32 side of the platform seam. Paths arrive as code page 932 texts, as the archive holds
// them, and are converted to UTF-16 here for the wide functions, so that the program names its
// files the same on every system, whatever the system's own code page.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <time.h>

#include "common/sjis_text.h"
#include "platform/win32.h"

namespace nivo {

SystemFunctions sys;

namespace {

// The names of the DLLs and their functions, each zero-terminated; a DLL's name starts with 1
// and goes without ".dll", which the loader supplies.
#define NIVO_DLL_NAME(dll) "\1" #dll "\0"
#define NIVO_FUNCTION_NAME(name) #name "\0"
const char systemFunctionNames[] = NIVO_SYSTEM_FUNCTIONS(NIVO_DLL_NAME, NIVO_FUNCTION_NAME);
#undef NIVO_FUNCTION_NAME
#undef NIVO_DLL_NAME

// The table is filled as an array of pointers.
typedef FARPROC __attribute__((__may_alias__)) FunctionSlot;

// Loads a DLL from the system folder: by its name alone where the system searches the system
// folder on request, for the DLL and the DLLs it imports; elsewhere by its full path, with the
// DLLs it imports searched from there.
HMODULE loadSystemDll(const char* name) {
    WCHAR path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH - 16);
    if (n == 0 || n >= MAX_PATH - 16) return nullptr;
    WCHAR* file = path + n;
    *file++ = '\\';
    for (WCHAR* c = file; (*c++ = static_cast<uint8_t>(*name++));) {
    }
    if (HMODULE dll = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return dll;
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Paths in UTF-16, for the wide functions. Only one thread at a time works on files: the
// worker while it runs, the main thread before and after it.
WCHAR pathBuffers[2][MAX_PATH];

// The path in one of the two buffers. A path that is not valid code page 932, or too long,
// comes out empty, which every function that takes a path refuses.
const WCHAR* widePath(const char* path, int buffer = 0) {
    toWide(path, pathBuffers[buffer], MAX_PATH);
    return pathBuffers[buffer];
}

// UTF-16 to code page 932, for the directories that the core composes names with. A character
// that code page 932 cannot hold makes it fail: the caller then does without the directory.
bool toCodePage932(const WCHAR* text, char* out, uint32_t capacity) {
    BOOL lossy = FALSE;
    return WideCharToMultiByte(932, 0, text, -1, out, static_cast<int>(capacity), nullptr, &lossy) != 0 &&
           !lossy;
}

}  // namespace

bool loadSystemFunctions() {
    // Windows' own default puts the program's folder first in the search of every DLL that is
    // not a known DLL, and the shell loads more of them later on the program's behalf.
    if (auto setDefault = reinterpret_cast<decltype(&SetDefaultDllDirectories)>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32"), "SetDefaultDllDirectories"))))
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    else
        SetDllDirectoryW(L"");
    FunctionSlot* slot = reinterpret_cast<FunctionSlot*>(&sys);
    HMODULE dll = nullptr;
    for (const char* name = systemFunctionNames; *name; name += std::strlen(name) + 1) {
        if (*name == '\1')
            dll = loadSystemDll(name + 1);
        else if (!dll || !(*slot++ = GetProcAddress(dll, name)))
            return false;
    }
    return true;
}

bool toWide(const char* text, WCHAR* out, int capacity, DWORD flags) {
    // Runs of code page 932, and between them the escapes of a UTF-16 name's characters.
    WCHAR* o = out;
    for (;;) {
        const char* run = text;
        while (*text && static_cast<uint8_t>(*text) != unicodeEscape) ++text;
        if (text != run) {
            // With no room left (after an escape) the call only counts, and the test below
            // then gives up before anything is written.
            const int n = MultiByteToWideChar(932, flags, run, static_cast<int>(text - run), o, capacity);
            if (!n) break;
            o += n;
            capacity -= n;
        }
        if (capacity < 1) break;
        if (!*text) {
            *o = 0;
            return true;
        }
        const long unit = escapedUnit(reinterpret_cast<const uint8_t*>(text));
        if (unit < 0) break;
        *o++ = static_cast<WCHAR>(unit);
        --capacity;
        text += unicodeEscapeLength;
    }
    out[0] = 0;
    return false;
}

void notifyShellWide(long event, const WCHAR* path) {
    WCHAR full[MAX_PATH];
    const DWORD n = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (n != 0 && n < MAX_PATH) sys.SHChangeNotify(event, SHCNF_PATHW, full, nullptr);
}

namespace platform {

// The C runtime's fpos_t is a 64-bit byte offset; fseek and ftell stop at 2 GiB.
bool seekFile(FILE* f, FileOffset offset) {
    fpos_t position = offset;
    return fsetpos(f, &position) == 0;
}

FileOffset tellFile(FILE* f) {
    fpos_t position;
    return fgetpos(f, &position) == 0 ? position : -1;
}

FileOffset seekEnd(FILE* f) {
    return std::fseek(f, 0, SEEK_END) == 0 ? tellFile(f) : -1;
}

// Only the archive is opened by name, for reading.
FILE* openFile(const char* path, const char* mode) {
    (void)mode;
    return _wfopen(widePath(path), L"rb");
}

// Exclusive: a file that exists under the name, whatever it is, makes this fail.
FILE* createFile(Destination, const char* path) {
    const int fd = _wopen(widePath(path), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    if (FILE* f = _fdopen(fd, "wb")) return f;
    _close(fd);
    return nullptr;
}

bool replaceFile(Destination, const char* from, const char* to) {
    return MoveFileExW(widePath(from), widePath(to, 1), MOVEFILE_REPLACE_EXISTING);
}

bool makeDirectory(Destination, const char* path) {
    return CreateDirectoryW(widePath(path), nullptr);
}

// A name that is not valid code page 932 counts as missing: nothing can be made under it, and
// the member that names it is refused.
PathKind pathKind(Destination, const char* path) {
    const DWORD attributes = GetFileAttributesW(widePath(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::directory : PathKind::file;
}

bool unlinkFile(Destination, const char* path) {
    return DeleteFileW(widePath(path));
}

bool setFileTime(Destination, const char* path, uint32_t unixTime) {
    struct _utimbuf times;
    times.actime = static_cast<time_t>(unixTime);
    times.modtime = times.actime;
    return _wutime(widePath(path), &times) == 0;
}

bool setFilePermissions(Destination, const char* path, uint16_t mode) {
    // Windows files have no Unix permissions; the archive's are not applied.
    (void)path;
    (void)mode;
    return true;
}

long timeZoneOffset() {
    _tzset();
    return _timezone;
}

// GetCurrentDirectoryW and GetWindowsDirectoryW return 0 on failure and the size needed when
// the buffer is too small; either way the buffer must not be used.
bool currentDirectory(char* buf, uint32_t size) {
    WCHAR folder[MAX_PATH];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, folder);
    return n != 0 && n < MAX_PATH && toCodePage932(folder, buf, size);
}

bool windowsDirectory(char* buf, uint32_t size) {
    WCHAR folder[MAX_PATH];
    const UINT n = GetWindowsDirectoryW(folder, MAX_PATH);
    return n != 0 && n < MAX_PATH && toCodePage932(folder, buf, size);
}

uint64_t freePhysicalMemory() {
    MEMORYSTATUS status;
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return status.dwAvailPhys;
}

void notifyShell(long event, const char* path) {
    notifyShellWide(event, widePath(path));
}

}  // namespace platform
}  // namespace nivo
