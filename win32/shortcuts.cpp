// After a finished run: shell links to the shortcut target in the Start menu programs, Desktop
// and Send To folders, each one made only when its option byte has bit 1 (chosen) set, and
// then the file to open, with its default action.
//
// A shortcut is the special folder, "\", the target's base name without its extension, ".lnk";
// it points to the destination folder plus the target, takes its icon from the target and
// works in the destination folder. Without a target there is nothing to point to, and no
// shortcut is made. A path that does not fit its buffer, or a folder the shell cannot locate,
// skips that one shortcut; nothing is reported.
#include "win32/win_setup.h"

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
    const WCHAR* base = target;
    const WCHAR* end = nullptr;  // the name's last "."
    const WCHAR* c = target;
    for (; *c; ++c) {
        if (*c == '\\' || *c == '/') {
            base = c + 1;
            end = nullptr;
        } else if (*c == '.') {
            end = c;
        }
    }
    if (!end) end = c;
    WCHAR* name = linkFile + lstrlenW(linkFile);
    const auto length = end - base;
    if (name + 1 + length + sizeof ".lnk" > linkFile + MAX_PATH) return false;
    *name++ = '\\';
    std::memcpy(name, base, length * sizeof *name);
    lstrcpyW(name + length, L".lnk");
    return true;
}

}  // namespace

// One shell link, set up once and saved in each chosen folder.
void createChosenShortcuts(ExtractionContext& context) {
    static const int folders[optionCount] = {CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY, CSIDL_SENDTO};
    // Files of other makers may hold an empty target: the options then make nothing.
    WCHAR target[MAX_PATH];
    if (!context.shortcutTarget[0] || !underDestination(context.shortcutTarget, target) ||
        FAILED(sys.CoInitialize(nullptr)))
        return;
    IShellLinkW* link;
    if (SUCCEEDED(sys.CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void**>(&link)))) {
        IPersistFile* file;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            link->SetPath(target);
            link->SetIconLocation(target, 0);
            link->SetWorkingDirectory(windows.destination);
            for (int i = 0; i < optionCount; ++i) {
                WCHAR linkFile[MAX_PATH];
                if ((context.*optionFields[i] & optionChosen) && linkFilePath(folders[i], target, linkFile))
                    file->Save(linkFile, TRUE);
            }
            file->Release();
        }
        link->Release();
    }
    sys.CoUninitialize();
}

void openLaunchCommand(ExtractionContext& context) {
    WCHAR path[MAX_PATH];
    if (underDestination(context.launchCommand, path))
        sys.ShellExecuteW(windows.mainWindow, nullptr, path, nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace nivo
