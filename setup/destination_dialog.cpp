// The destination dialog (dialog 103): the destination folder in an edit field, a button for
// the shell's folder browser, and the three check boxes for the Start menu entry, the Desktop
// shortcut and the Send To entry. OK makes the destination the current directory, creating it
// with its missing parents, and stores the boxes' states in bit 1 of the option bytes. The
// dialog ends with 0 when the destination is ready, with 1 when the user cancelled or the
// folder cannot be made.
#include <windows.h>
#include <shlobj.h>

#include <cstring>

#include "extract/path_helpers.h"
#include "setup/win_setup.h"

namespace nivo {

uint8_t ExtractionContext::* const optionFields[optionCount] = {
    &ExtractionContext::startMenuOption,
    &ExtractionContext::desktopOption,
    &ExtractionContext::sendToOption,
};

namespace {

void onInitDialog(HWND dialog, ExtractionContext& context) {
    SetWindowTextA(dialog, context.titleText);
    copyText(windows.editText, sizeof windows.editText, context.destinationDir);  // at most 259 bytes
    SetDlgItemTextA(dialog, destinationEdit, windows.editText);
    for (int i = 0; i < optionCount; ++i) {
        uint8_t option = context.*optionFields[i];
        if (option & optionChosen) CheckDlgButton(dialog, startMenuBox + i, BST_CHECKED);
        if (!(option & optionOffered)) EnableWindow(GetDlgItem(dialog, startMenuBox + i), FALSE);
    }
}

void onBrowse(HWND dialog) {
    IMalloc* allocator;
    if (FAILED(SHGetMalloc(&allocator))) return;
    char displayName[MAX_PATH];
    BROWSEINFOA browse = {};
    browse.pszDisplayName = displayName;
    browse.lpszTitle = "解凍先フォルダの指定";
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    if (LPITEMIDLIST chosen = SHBrowseForFolderA(&browse)) {
        if (SHGetPathFromIDListA(chosen, windows.editText)) SetDlgItemTextA(dialog, destinationEdit, windows.editText);
        allocator->Free(chosen);
    }
    allocator->Release();
}

// A path with a drive and a root (D:\x) or a share (\\server\x).
bool isFullPath(const char* path) {
    if (!path[0] || !path[1]) return false;
    if (path[1] == ':') return path[2] == '\\' || path[2] == '/';
    return (path[0] == '\\' || path[0] == '/') && path[1] == path[0];
}

// Makes the destination the current directory, creating it and its missing parents. A
// destination typed relative to the current directory is then stored as the full path, so that
// the shortcuts and the file to open name the folder that was made.
bool enterDestination(ExtractionContext& context) {
    if (!SetCurrentDirectoryA(context.destinationDir)) {
        char folder[pathBufferSize];
        if (!copyText(folder, sizeof folder, context.destinationDir) ||
            !appendBackslash(folder, sizeof folder))
            return false;
        unifySeparators(folder, '/');
        if (!makeParentDirectories(context, folder) || !SetCurrentDirectoryA(context.destinationDir))
            return false;
    }
    if (isFullPath(context.destinationDir)) return true;
    char full[pathBufferSize];
    return platform::currentDirectory(full, sizeof full) &&
           ExtractionContext::replaceText(context.destinationDir, full);
}

void onOk(HWND dialog) {
    ExtractionContext& context = *windows.context;
    GetDlgItemTextA(dialog, destinationEdit, windows.editText, sizeof windows.editText);
    if (!ExtractionContext::replaceText(context.destinationDir, windows.editText) ||
        !enterDestination(context)) {
        MessageBoxA(windows.mainWindow, "フォルダを作成できません", nullptr,
                    MB_ICONEXCLAMATION);
        EndDialog(dialog, 1);
        return;
    }
    for (int i = 0; i < optionCount; ++i) {
        uint8_t& option = context.*optionFields[i];
        if (IsDlgButtonChecked(dialog, startMenuBox + i) == BST_CHECKED)
            option = static_cast<uint8_t>(option | optionChosen);
        else
            option = static_cast<uint8_t>(option & ~optionChosen);
    }
    EndDialog(dialog, 0);
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
        case IDCANCEL: EndDialog(dialog, 1); break;
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace nivo
