// The Win32 front end of the setup: the pieces that start-up, the main window, the destination
// dialog and the shortcuts share.
#pragma once

#include "extract/extraction_context.h"
#include "lzh/settings_block.h"
#include "platform/win32.h"

namespace nivo {

// Messages of the program's own. PBM_SETPOS (WM_USER + 2) goes to the progress bar.
constexpr UINT UM_START = WM_USER;             // start-up to the main window, sent once
constexpr UINT UM_MEMBER_NAME = WM_USER + 1;   // worker: lParam is the member's name
constexpr UINT UM_RUN_FINISHED = WM_USER + 3;  // worker, posted last: keepRunning still set
constexpr UINT UM_RUN_ABORTED = WM_USER + 4;   // worker, posted last: the user aborted

// Resources (resources/sfx.rc).
constexpr WORD abortPanelResource = 101;
constexpr WORD iconResource = 102;
constexpr WORD destinationDialogResource = 103;
constexpr int memberNameLabel = 1100;     // in the abort panel
constexpr int progressBarControl = 1101;  // in the abort panel
constexpr int destinationEdit = 1000;
constexpr int browseButton = 1001;
constexpr int startMenuBox = 1002;  // then the Desktop box 1003 and the Send To box 1004

// The three option bytes in the order of their check boxes and of the shortcuts: offered, the
// box is enabled; chosen, it is checked and the shortcut is made.
constexpr int optionCount = 3;
extern uint8_t ExtractionContext::* const optionFields[optionCount];

// The Windows program's own state, beside the portable extraction context: the instance, the
// windows, the texts as the wide functions take them and how the run stands. One per process,
// on the main thread; the worker reaches the windows only by messages.
struct WindowState {
    ExtractionContext* context;
    HINSTANCE instance;
    HWND mainWindow;
    HWND labelWindow;     // the member's name
    HWND abortDialog;     // the abort panel (dialog 101)
    HWND progressBar;
    bool workerRunning;   // from a successful thread start until the end message
    bool closing;         // the user closed the window during the run; waiting for the worker
    int exitCode;
    WCHAR modulePath[MAX_PATH];   // the program's own file
    WCHAR title[256];             // the settings' title, or the default
    // The destination: the dialog's edit field as shown and as read, then the full path of
    // the folder it made current, which the shortcuts and the file to open are built on.
    WCHAR destination[MAX_PATH];
};
extern WindowState windows;

INT_PTR CALLBACK destinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// After a finished run: the chosen shortcuts, then the file to open.
void createChosenShortcuts(ExtractionContext& context);
void openLaunchCommand(ExtractionContext& context);

}  // namespace nivo
