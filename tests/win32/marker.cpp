// A tiny program that the tests pack as the file to open after a finished run. It writes
// launched.txt beside itself, holding the directory it was started in.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (n == 0 || n >= MAX_PATH || !slash || slash + 13 >= path + MAX_PATH) return 1;
    std::strcpy(slash + 1, "launched.txt");
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, directory);
    FILE* f = std::fopen(path, "w");
    if (!f) return 1;
    std::fprintf(f, "%s\n", directory);
    return std::fclose(f) == 0 ? 0 : 1;
}
