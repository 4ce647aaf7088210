// What the Windows program's platform seam and its front end share: the functions of the
// system DLLs, and the conversions between the archive's code page 932 and UTF-16.
//
// The import table names kernel32 and the C runtime alone, which Windows always takes from the
// system folder. Every other DLL is loaded from the system folder at start-up and its functions
// are found by name: a self-extracting file is started from a downloads folder as often as not,
// and a DLL lying there under a system DLL's name must never be loaded.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

namespace nivo {

// The DLLs in the order they are loaded, each with the functions the program calls. msimg32 is
// loaded first and for nothing of its own: the common controls of some systems load it late, as
// a delayed import, and then by a search that does not keep to the system folder.
#define NIVO_SYSTEM_FUNCTIONS(DLL, FUNCTION)                                                      \
    DLL(msimg32) DLL(user32) FUNCTION(AdjustWindowRect) FUNCTION(CheckDlgButton) FUNCTION(CreateDialogParamW) FUNCTION(CreateWindowExW)   \
    FUNCTION(DefWindowProcW) FUNCTION(DestroyWindow) FUNCTION(DialogBoxParamW)                    \
    FUNCTION(DispatchMessageW) FUNCTION(EnableWindow) FUNCTION(EndDialog) FUNCTION(GetCursorPos)  \
    FUNCTION(GetDlgItem) FUNCTION(GetDlgItemTextW) FUNCTION(GetMessageW) FUNCTION(GetWindowRect)                     \
    FUNCTION(IsDlgButtonChecked) FUNCTION(LoadCursorW) FUNCTION(LoadIconW) FUNCTION(MessageBoxW)  \
    FUNCTION(PostMessageW) FUNCTION(PostQuitMessage) FUNCTION(RegisterClassExW)                   \
    FUNCTION(SendMessageW) FUNCTION(SetDlgItemTextW) FUNCTION(SetWindowPos) FUNCTION(SetWindowTextW) \
    FUNCTION(ShowWindow)                                                                          \
    FUNCTION(TranslateMessage)                                                                       \
    DLL(comctl32) FUNCTION(InitCommonControls)                                                    \
    DLL(shell32) FUNCTION(SHBrowseForFolderW) FUNCTION(SHChangeNotify)                            \
    FUNCTION(SHGetPathFromIDListW) FUNCTION(SHGetSpecialFolderPathW) FUNCTION(ShellExecuteW)      \
    DLL(ole32) FUNCTION(CoCreateInstance) FUNCTION(CoInitialize) FUNCTION(CoTaskMemFree)          \
    FUNCTION(CoUninitialize)

// One pointer per function, named as the function and of its type.
struct SystemFunctions {
#define NIVO_NO_FIELD(dll)
#define NIVO_FIELD(name) decltype(&::name) name;
    NIVO_SYSTEM_FUNCTIONS(NIVO_NO_FIELD, NIVO_FIELD)
#undef NIVO_FIELD
#undef NIVO_NO_FIELD
};
extern SystemFunctions sys;

// Restricts the DLL search of the process to the system folder, then loads the DLLs and finds
// the functions. False when one is missing.
bool loadSystemFunctions();

// Code page 932 text to UTF-16. By default a text that is not valid code page 932 fails, as a
// name of a file must; with displayOnly, such bytes show as the default character. False when the
// text does not fit capacity characters, terminator included.
constexpr DWORD displayOnly = 0;
bool toWide(const char* text, WCHAR* out, int capacity, DWORD flags = MB_ERR_INVALID_CHARS);

// Tells the shell of event at path, relative to the current folder (the destination) or full.
void notifyShellWide(long event, const WCHAR* path);

}  // namespace nivo
