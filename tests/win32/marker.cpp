// A tiny program that the tests pack as the file to open after a finished run. It writes
// launched.txt beside itself, holding the directory it was started in (UTF-8). Wide functions
// throughout, so that it finds itself under any name on any code page.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int main() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = std::wcsrchr(path, L'\\');
    if (n == 0 || n >= MAX_PATH || !slash || slash + 13 >= path + MAX_PATH) return 1;
    std::wcscpy(slash + 1, L"launched.txt");
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    char text[3 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, directory, -1, text, sizeof text, nullptr, nullptr);
    FILE* f = _wfopen(path, L"w");
    if (!f) return 1;
    std::fprintf(f, "%s\n", text);
    return std::fclose(f) == 0 ? 0 : 1;
}
