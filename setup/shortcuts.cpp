// After a finished run: shell links to the shortcut target in the Start menu programs, Desktop
// and Send To folders, each one made only when its option byte has bit 1 (chosen) set, and
// then the file to open, with its default action.
//
// A shortcut is the special folder, "\", the target's base name without its extension, ".lnk";
// it points to the destination folder plus the target, takes its icon from the target and
// works in the destination folder. Without a target there is nothing to point to, and no
// shortcut is made. A path that does not fit its buffer, or a folder the shell cannot locate,
// skips that one shortcut; nothing is reported.
#include "setup/win_setup.h"

namespace nivo {
namespace {

// The destination, "\" and a text of the settings (code page 932), in a MAX_PATH buffer.
bool underDestination(const char* text, WCHAR* path) {
    lstrcpyW(path, windows.destination);
    WCHAR* end = path + lstrlenW(path);
    if (end == path || end[-1] != '\\') *end++ = '\\';  // a drive's root ends in "\" already
    return end < path + MAX_PATH - 1 && toWide(text, end, static_cast<int>(path + MAX_PATH - end));
}

// The shortcut's own file: the special folder, "\", the target's name up to its last "." and
// ".lnk".
bool linkFilePath(int folder, const WCHAR* target, WCHAR* linkFile) {
    if (!sys.SHGetSpecialFolderPathW(windows.mainWindow, linkFile, folder, FALSE)) return false;
    WCHAR name[MAX_PATH];
    const WCHAR* base = target;
    for (const WCHAR* c = target; *c; ++c)
        if (*c == '\\' || *c == '/') base = c + 1;
    lstrcpyW(name, base);
    if (WCHAR* dot = wcsrchr(name, '.')) *dot = 0;
    return appendWide(linkFile, L"\\") && appendWide(linkFile, name) && appendWide(linkFile, L".lnk");
}

void saveShortcut(int folder, IShellLinkW* link, IPersistFile* file) {
    WCHAR linkFile[MAX_PATH];
    WCHAR target[MAX_PATH];
    if (!underDestination(windows.context->shortcutTarget, target) || !linkFilePath(folder, target, linkFile))
        return;
    link->SetPath(target);
    link->SetIconLocation(target, 0);
    link->SetWorkingDirectory(windows.destination);
    file->Save(linkFile, TRUE);
}

}  // namespace

void createShortcut(int specialFolder) {
    if (FAILED(sys.CoInitialize(nullptr))) return;
    IShellLinkW* link;
    if (SUCCEEDED(sys.CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void**>(&link)))) {
        IPersistFile* file;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            saveShortcut(specialFolder, link, file);
            file->Release();
        }
        link->Release();
    }
    sys.CoUninitialize();
}

void createChosenShortcuts(ExtractionContext& context) {
    static const int folders[optionCount] = {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY, CSIDL_SENDTO};
    // Files of other makers may hold an empty target: the options then make nothing.
    if (!context.shortcutTarget[0]) return;
    for (int i = 0; i < optionCount; ++i)
        if (context.*optionFields[i] & optionChosen) createShortcut(folders[i]);
}

void openLaunchCommand(ExtractionContext& context) {
    WCHAR path[MAX_PATH];
    if (underDestination(context.launchCommand, path))
        sys.ShellExecuteW(windows.mainWindow, nullptr, path, nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace nivo
