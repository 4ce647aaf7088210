// After a finished run: shell links to the shortcut target in the Start menu programs, Desktop
// and Send To folders, each one made only when its option byte has bit 1 (chosen) set, and
// then the file to open, with its default action.
//
// A shortcut is the special folder, "\", the target's base name without its extension, ".lnk";
// it points to the destination folder plus the target, takes its icon from the target and
// works in the destination folder. A path that does not fit its buffer, or a folder the shell
// cannot locate, skips that one shortcut; nothing is reported.
#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstdlib>

#include "extract/path_helpers.h"
#include "setup/win_setup.h"

namespace nivo {
namespace {

// The file-system path of a special folder, or false.
bool specialFolderPath(HWND owner, int folder, char* path) {
    IMalloc* allocator;
    if (FAILED(SHGetMalloc(&allocator))) return false;
    bool found = false;
    LPITEMIDLIST list;
    if (SUCCEEDED(SHGetSpecialFolderLocation(owner, folder, &list))) {
        found = SHGetPathFromIDListA(list, path) != FALSE;
        allocator->Free(list);
    }
    allocator->Release();
    return found;
}

// The shortcut's own file and the path it points to, both in MAX_PATH-byte buffers.
bool shortcutPaths(ExtractionContext& context, int folder, char* linkFile, char* target) {
    if (!specialFolderPath(windows.mainWindow, folder, linkFile)) return false;
    char baseName[_MAX_FNAME];
    _splitpath(context.shortcutTarget, nullptr, nullptr, baseName, nullptr);
    return appendText(linkFile, MAX_PATH, "\\") && appendText(linkFile, MAX_PATH, baseName) &&
           appendText(linkFile, MAX_PATH, ".lnk") &&
           copyText(target, MAX_PATH, context.destinationDir) &&
           appendBackslash(target, MAX_PATH) &&
           appendText(target, MAX_PATH, context.shortcutTarget);
}

void saveShortcut(ExtractionContext& context, int folder, IShellLinkA* link, IPersistFile* file) {
    char linkFile[MAX_PATH];
    char target[MAX_PATH];
    if (!shortcutPaths(context, folder, linkFile, target)) return;
    link->SetPath(target);
    link->SetIconLocation(target, 0);
    link->SetWorkingDirectory(context.destinationDir);
    WCHAR wideLinkFile[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, linkFile, -1, wideLinkFile, MAX_PATH))
        file->Save(wideLinkFile, TRUE);
}

}  // namespace

void createShortcut(ExtractionContext& context, int specialFolder) {
    if (FAILED(CoInitialize(nullptr))) return;
    IShellLinkA* link;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            saveShortcut(context, specialFolder, link, file);
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
}

void createChosenShortcuts(ExtractionContext& context) {
    static const int folders[optionCount] = {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY, CSIDL_SENDTO};
    for (int i = 0; i < optionCount; ++i)
        if (context.*optionFields[i] & optionChosen) createShortcut(context, folders[i]);
}

void openLaunchCommand(ExtractionContext& context) {
    char path[MAX_PATH];
    if (copyText(path, sizeof path, context.destinationDir) && appendText(path, sizeof path, "\\") &&
        appendText(path, sizeof path, context.launchCommand))
        ShellExecuteA(windows.mainWindow, nullptr, path, nullptr, nullptr,
                      SW_SHOWNORMAL);
}

}  // namespace nivo
