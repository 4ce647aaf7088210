// Start-up, the progress window and the message loop of the Windows program.
//
// The main window is a small fixed window with the member's name, a progress bar and the
// abort panel (dialog 101). It stays hidden while the destination dialog asks; then the worker
// thread runs the extraction and reaches the window only by messages: the member's name and
// the bar's position are sent, the end of the run is posted as the worker's last action.
#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include "archive/extraction_run.h"
#include "extract/path_helpers.h"
#include "setup/settings_block.h"
#include "setup/win_setup.h"

namespace nivo {
namespace {

const char className[] = "NIVOSFXCLASS";

// Exit codes: 0 for a finished, cancelled or aborted run; these when it went wrong.
constexpr int exitProblems = 2;    // members were not extracted correctly
constexpr int exitNoWorker = 3;    // the worker thread could not be started


// The worker's side of the window: everything goes through messages.
class WindowFrontEnd final : public FrontEnd {
public:
    void memberName(const char* name) override {
        SendMessageA(windows.mainWindow, UM_MEMBER_NAME, 0, reinterpret_cast<LPARAM>(name));
    }
    void progressPosition(uint32_t position) override {
        SendMessageA(windows.progressBar, PBM_SETPOS, position, 0);
    }
    void runEnded(bool aborted) override {
        PostMessageA(windows.mainWindow, aborted ? UM_RUN_ABORTED : UM_RUN_FINISHED, 0, 0);
    }
};

void __cdecl workerBody(void* context) {
    extractionRun(*static_cast<ExtractionContext*>(context));
}

// One message for the whole run, naming the members that went wrong, as many as the problem
// list keeps, and "…" when there were more.
void showProblems(ExtractionContext& context) {
    const ProblemList& problems = context.problems;
    char text[80 + ProblemList::kept * (pathBufferSize + 1) + 8];
    copyText(text, sizeof text, "次のファイルを正しく展開できませんでした。\n");
    for (int i = 0; i < problems.count && i < ProblemList::kept; ++i) {
        appendText(text, sizeof text, "\n");
        appendText(text, sizeof text, problems.entries[i].name);
    }
    if (problems.count > ProblemList::kept) appendText(text, sizeof text, "\n…");
    MessageBoxA(windows.mainWindow, text, context.titleText,
                MB_ICONEXCLAMATION);
}

void onStart(HWND window) {
    ExtractionContext& context = *windows.context;
    if (context.hasSetupSettings &&
        DialogBoxParamA(windows.instance,
                        MAKEINTRESOURCEA(destinationDialogResource), window,
                        destinationDialogProc, reinterpret_cast<LPARAM>(&context)) != 0) {
        DestroyWindow(window);
        return;
    }
    if (_beginthread(workerBody, 0, &context) == static_cast<uintptr_t>(-1)) {
        MessageBoxA(window, "展開を開始できません。", context.titleText, MB_ICONHAND);
        windows.exitCode = exitNoWorker;
        DestroyWindow(window);
        return;
    }
    windows.workerRunning = true;
    SetWindowTextA(window, context.titleText);
    ShowWindow(window, SW_SHOW);
}

// Closing the window during the run stops the worker first: the window stays until the
// worker's end message, so that the context outlives the run.
void onClose(HWND window) {
    if (!windows.workerRunning) {
        DestroyWindow(window);
        return;
    }
    windows.context->run.keepRunning = 0;
    windows.closing = true;
}

// The member being written when the run stopped. A member that was written completely has
// already cleared outputPath, so a late abort keeps it.
void deleteUnfinishedMember() {
    if (windows.context->outputPath[0]) platform::unlinkFile(windows.context->outputPath);
}

void onRunAborted(HWND window) {
    windows.workerRunning = false;
    deleteUnfinishedMember();
    DestroyWindow(window);
}

void onRunFinished(HWND window) {
    ExtractionContext& context = *windows.context;
    windows.workerRunning = false;
    if (windows.closing) {
        deleteUnfinishedMember();
    } else if (!context.problems.empty()) {
        // A damaged program must not be started, and no shortcut should lead to it.
        showProblems(context);
        windows.exitCode = exitProblems;
    } else {
        if (context.hasSetupSettings) createChosenShortcuts(context);
        if (context.launchCommand && context.launchCommand[0]) openLaunchCommand(context);
    }
    DestroyWindow(window);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(windows.exitCode);
        return 0;
    case WM_CLOSE:
        onClose(window);
        return 0;
    case UM_START:
        onStart(window);
        return 0;
    case UM_MEMBER_NAME:
        SetWindowTextA(windows.labelWindow, reinterpret_cast<const char*>(lParam));
        return 0;
    case UM_RUN_FINISHED:
        onRunFinished(window);
        return 0;
    case UM_RUN_ABORTED:
        onRunAborted(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

INT_PTR CALLBACK abortPanelProc(HWND, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (wParam == IDCANCEL) windows.context->run.keepRunning = 0;
        return TRUE;
    }
    return FALSE;
}

HWND createChild(const char* windowClass, DWORD style, int y) {
    return CreateWindowExA(0, windowClass, nullptr, WS_CHILD | WS_VISIBLE | style, 7, y, 200, 20,
                           windows.mainWindow, nullptr, windows.instance, nullptr);
}

bool startUp(ExtractionContext& context) {
    DWORD length = GetModuleFileNameA(nullptr, context.modulePath, pathBufferSize);
    if (length == 0 || length >= pathBufferSize) return false;
    context.archiveFile = platform::openFile(context.modulePath, "rb");
    if (!context.archiveFile || std::fseek(context.archiveFile, imageSize, SEEK_SET) != 0 ||
        !readSetupSettings(context))
        return false;

    HINSTANCE instance = windows.instance;
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(iconResource));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    if (!RegisterClassExA(&windowClass)) return false;

    // Registers the progress bar's class, among the other common controls, where the system
    // does not do it by itself.
    InitCommonControls();

    POINT pointer;
    GetCursorPos(&pointer);
    HWND window = CreateWindowExA(0, className, defaultTitle, WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                  pointer.x - 110, pointer.y + 32, 220, 100, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) return false;
    windows.mainWindow = window;
    windows.labelWindow = createChild("STATIC", 0, 3);
    if (!windows.labelWindow) return false;
    windows.abortDialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(abortPanelResource), window,
                                             abortPanelProc, 0);
    if (!windows.abortDialog) return false;
    windows.progressBar = createChild(PROGRESS_CLASSA, PBS_SMOOTH, 23);
    if (!windows.progressBar) return false;

    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    SendMessageA(window, UM_START, 0, 0);
    return true;
}

int runMessageLoop() {
    MSG message;
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return got == 0 ? static_cast<int>(message.wParam) : 0;
}

}  // namespace

WindowState windows;

}  // namespace nivo

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    nivo::ExtractionContext context;
    nivo::WindowFrontEnd frontEnd;
    context.frontEnd = &frontEnd;
    context.windowsNames = true;
    nivo::windows.context = &context;
    nivo::windows.instance = instance;
    return nivo::startUp(context) ? nivo::runMessageLoop() : 0;
}
