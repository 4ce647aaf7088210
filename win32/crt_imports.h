// Included first in every source file of the Windows program (win32/CMakeLists.txt). The C
// runtime functions that the program calls from only a few places are declared as what they
// are, imports from msvcrt.dll, so that those calls go through the import table directly and
// the 8-byte jump stub of each function is left out. A call through the table is a byte longer
// than a direct one, so the functions called from many places (fread, free, strlen, strchr)
// keep their stubs. The declarations match the runtime headers'.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

extern "C" {
__declspec(dllimport) FILE* __cdecl _wfopen(const wchar_t* name, const wchar_t* mode);
__declspec(dllimport) int __cdecl fclose(FILE* file);
__declspec(dllimport) size_t __cdecl fwrite(const void* buffer, size_t size, size_t count, FILE* file);
__declspec(dllimport) int __cdecl fseek(FILE* file, long offset, int origin);
__declspec(dllimport) int __cdecl fgetpos(FILE* file, fpos_t* position);
__declspec(dllimport) int __cdecl fsetpos(FILE* file, const fpos_t* position);
__declspec(dllimport) void* __cdecl malloc(size_t size);
__declspec(dllimport) int __cdecl memcmp(const void* a, const void* b, size_t count);
__declspec(dllimport) void* __cdecl memmove(void* to, const void* from, size_t count);
__declspec(dllimport) char* __cdecl strrchr(const char* text, int c);
}
