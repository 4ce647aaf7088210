// The process entry. The program links no C runtime start-up objects: msvcrt.dll sets itself
// up when it is loaded, the program takes no arguments and has no static constructors (the
// linker script refuses one), so all that is left is to call WinMain. The C++ language support
// that the compiler may call on is here too, on the C runtime's allocator.
#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

// The image's own header, placed by the linker: the module handle of the program.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The program reads no arguments and shows its windows as it decides (hidden, then shown once
// the run starts), so WinMain is given neither the command line nor the show command.
extern "C" void WinMainCRTStartup() {
    int result = WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr, nullptr, SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(result));
}

void* operator new(size_t size) {
    return std::malloc(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
// The process ends with ExitProcess, so static destructors never run and need not be kept.
// (msvcrt.dll's own atexit is for its own start-up code and is not importable as a function.)
extern "C" int __cdecl atexit(void (__cdecl*)()) {
    return 0;
}
extern "C" void __cxa_pure_virtual() {
    ExitProcess(3);
}
