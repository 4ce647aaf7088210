// The destination dialog (dialog 103): the destination folder in an edit field, a button for
// the shell's folder browser, and the three check boxes for the Start menu entry, the Desktop
// shortcut and the Send To entry. OK makes the destination the current directory, creating it
// with its missing parents, and stores the boxes' states in bit 1 of the option bytes. The
// dialog ends with 0 when the destination is ready, with 1 when the user cancelled or the
// folder cannot be made.
//
// The destination stays UTF-16 from the edit field on: a folder the user picks may hold
// characters that code page 932 has not.
#include "win32/win_setup.h"

namespace nivo {

uint8_t ExtractionContext::* const optionFields[optionCount] = {
    &ExtractionContext::startMenuOption,
    &ExtractionContext::desktopOption,
    &ExtractionContext::sendToOption,
};

namespace {

void onInitDialog(HWND dialog, ExtractionContext& context) {
    sys.SetWindowTextW(dialog, windows.title);
    toWide(context.destinationDir, windows.destination, MAX_PATH, displayOnly);
    sys.SetDlgItemTextW(dialog, destinationEdit, windows.destination);
    for (int i = 0; i < optionCount; ++i) {
        uint8_t option = context.*optionFields[i];
        if (option & optionChosen) sys.CheckDlgButton(dialog, startMenuBox + i, BST_CHECKED);
        if (!(option & optionOffered)) sys.EnableWindow(sys.GetDlgItem(dialog, startMenuBox + i), FALSE);
    }
}

void onBrowse(HWND dialog) {
    WCHAR displayName[MAX_PATH];
    BROWSEINFOW browse = {};
    browse.pszDisplayName = displayName;
    browse.lpszTitle = L"解凍先フォルダの指定";
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    if (LPITEMIDLIST chosen = sys.SHBrowseForFolderW(&browse)) {
        if (sys.SHGetPathFromIDListW(chosen, windows.destination))
            sys.SetDlgItemTextW(dialog, destinationEdit, windows.destination);
        // The shell's allocator is the task allocator.
        sys.CoTaskMemFree(chosen);
    }
}

// A folder of the destination's path, announced when it is made here.
void makeFolder(const WCHAR* path) {
    if (CreateDirectoryW(path, nullptr)) notifyShellWide(SHCNE_MKDIR, path);
}

// Makes the destination the current directory, creating it and its missing parents first
// when it is not there. Its full path then replaces what was typed, so that the shortcuts and
// the file to open name the folder that was made, however it was typed.
bool enterDestination() {
    WCHAR* path = windows.destination;
    if (!SetCurrentDirectoryW(path)) {
        // Every folder on the way, from the top; those that exist, and a drive or a share's
        // name, simply fail to be made.
        for (WCHAR* c = path; *c; ++c) {
            if (*c == '/') *c = '\\';
            if (*c == '\\' && c != path) {
                *c = 0;
                makeFolder(path);
                *c = '\\';
            }
        }
        makeFolder(path);
        if (!SetCurrentDirectoryW(path)) return false;
    }
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, path);
    return n != 0 && n < MAX_PATH;
}

void onOk(HWND dialog) {
    ExtractionContext& context = *windows.context;
    sys.GetDlgItemTextW(dialog, destinationEdit, windows.destination, MAX_PATH);
    if (!enterDestination()) {
        sys.MessageBoxW(windows.mainWindow, L"フォルダを作成できません", nullptr, MB_ICONEXCLAMATION);
        sys.EndDialog(dialog, 1);
        return;
    }
    for (int i = 0; i < optionCount; ++i) {
        uint8_t& option = context.*optionFields[i];
        if (sys.IsDlgButtonChecked(dialog, startMenuBox + i) == BST_CHECKED)
            option = static_cast<uint8_t>(option | optionChosen);
        else
            option = static_cast<uint8_t>(option & ~optionChosen);
    }
    sys.EndDialog(dialog, 0);
}

}  // namespace

INT_PTR CALLBACK destinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        onInitDialog(dialog, *reinterpret_cast<ExtractionContext*>(lParam));
        return TRUE;
    case WM_COMMAND:
        // The whole wParam is compared: only clicks (notification code 0) count.
        switch (wParam) {
        case browseButton: onBrowse(dialog); break;
        case IDOK: onOk(dialog); break;
        case IDCANCEL: sys.EndDialog(dialog, 1); break;
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace nivo
