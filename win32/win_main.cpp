// Start-up, the progress window and the message loop of the Windows program.
//
// The main window is a small fixed window with the member's name, a progress bar and the
// abort panel (dialog 101). It stays hidden while the destination dialog asks; then the worker
// thread runs the extraction and reaches the window only by messages: the member's name and
// the bar's position are sent, the end of the run is posted as the worker's last action.
#include <process.h>

#include "extract/extraction_run.h"
#include "common/sjis_text.h"
#include "extract/run_settings.h"
#include "lzh/settings_block.h"
#include "win32/win_setup.h"

namespace nivo {
namespace {

const WCHAR className[] = L"NIVOSFXCLASS";

// Exit codes: 0 for a finished, cancelled or aborted run; these when it went wrong.
constexpr int exitProblems = 2;    // members were not extracted correctly
constexpr int exitNoWorker = 3;    // the worker thread could not be started


// The worker's side of the window: everything goes through messages.
class WindowFrontEnd final : public FrontEnd {
public:
    void memberName(const char* name) override {
        sys.SendMessageW(windows.mainWindow, UM_MEMBER_NAME, 0, reinterpret_cast<LPARAM>(name));
    }
    void progressPosition(uint32_t position) override {
        sys.SendMessageW(windows.progressBar, PBM_SETPOS, position, 0);
    }
    void runEnded(bool aborted) override {
        sys.PostMessageW(windows.mainWindow, aborted ? UM_RUN_ABORTED : UM_RUN_FINISHED, 0, 0);
    }
};

void __cdecl workerBody(void* context) {
    extractionRun(*static_cast<ExtractionContext*>(context));
}

// One message for the whole run, naming the members that went wrong, as many as the problem
// list keeps, and "…" when there were more.
void showProblems(ExtractionContext& context) {
    const ProblemList& problems = context.problems;
    WCHAR text[32 + ProblemList::kept * pathBufferSize + 4];
    lstrcpyW(text, L"次のファイルを正しく展開できませんでした。\n");
    for (int i = 0; i < problems.count && i < ProblemList::kept; ++i) {
        WCHAR* end = text + lstrlenW(text);
        *end++ = '\n';
        toWide(problems.entries[i].name, end, pathBufferSize, displayOnly);
    }
    if (problems.count > ProblemList::kept) lstrcpyW(text + lstrlenW(text), L"\n…");
    sys.MessageBoxW(windows.mainWindow, text, windows.title, MB_ICONEXCLAMATION);
}

void onStart(HWND window) {
    ExtractionContext& context = *windows.context;
    if (context.hasSetupSettings &&
        sys.DialogBoxParamW(windows.instance, MAKEINTRESOURCEW(destinationDialogResource), window,
                            destinationDialogProc, reinterpret_cast<LPARAM>(&context)) != 0) {
        sys.DestroyWindow(window);
        return;
    }
    if (_beginthread(workerBody, 0, &context) == static_cast<uintptr_t>(-1)) {
        sys.MessageBoxW(window, L"展開を開始できません。", windows.title, MB_ICONHAND);
        windows.exitCode = exitNoWorker;
        sys.DestroyWindow(window);
        return;
    }
    windows.workerRunning = true;
    // The window carries the title from its creation on.
    sys.ShowWindow(window, SW_SHOW);
}

// Closing the window during the run stops the worker first: the window stays until the
// worker's end message, so that the context outlives the run.
void onClose(HWND window) {
    if (!windows.workerRunning) {
        sys.DestroyWindow(window);
        return;
    }
    windows.context->run.keepRunning = 0;
    windows.closing = true;
}

// The member being written when the run stopped. A member that was written completely has
// already cleared outputPath, so a late abort keeps it.
void deleteUnfinishedMember() {
    if (windows.context->outputPath[0]) platform::unlinkFile(windows.context->destination, windows.context->outputPath);
}

void onRunAborted(HWND window) {
    windows.workerRunning = false;
    deleteUnfinishedMember();
    sys.DestroyWindow(window);
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
    sys.DestroyWindow(window);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        sys.PostQuitMessage(windows.exitCode);
        return 0;
    case WM_CLOSE:
        onClose(window);
        return 0;
    case UM_START:
        onStart(window);
        return 0;
    case UM_MEMBER_NAME: {
        WCHAR name[pathBufferSize];
        toWide(reinterpret_cast<const char*>(lParam), name, pathBufferSize, displayOnly);
        sys.SetWindowTextW(windows.labelWindow, name);
        return 0;
    }
    case UM_RUN_FINISHED:
        onRunFinished(window);
        return 0;
    case UM_RUN_ABORTED:
        onRunAborted(window);
        return 0;
    }
    return sys.DefWindowProcW(window, message, wParam, lParam);
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

bool startUp(ExtractionContext& context) {
    if (!loadSystemFunctions()) return false;
    DWORD length = GetModuleFileNameW(nullptr, windows.modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    context.archiveFile = _wfopen(windows.modulePath, L"rb");
    if (!context.archiveFile || !platform::seekFile(context.archiveFile, imageSize) ||
        !readSetupSettings(context))
        return false;
    toWide(context.titleText, windows.title, 256, displayOnly);

    HINSTANCE instance = windows.instance;
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = sys.LoadIconW(instance, MAKEINTRESOURCEW(iconResource));
    windowClass.hCursor = sys.LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    if (!sys.RegisterClassExW(&windowClass)) return false;

    // Registers the progress bar's class, among the other common controls, where the system
    // does not do it by itself.
    sys.InitCommonControls();

    // The panel (dialog 101) fills the window and holds the member's name, the progress bar and
    // the abort button, all laid out in dialog units: the program is DPI aware, and the
    // window, sized to the panel, grows with the screen's DPI as the panel does.
    constexpr DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    POINT pointer;
    sys.GetCursorPos(&pointer);
    HWND window = sys.CreateWindowExW(0, className, windows.title, style, pointer.x - 110, pointer.y + 32, 0, 0,
                                      nullptr, nullptr, instance, nullptr);
    if (!window) return false;
    windows.mainWindow = window;
    HWND panel = sys.CreateDialogParamW(instance, MAKEINTRESOURCEW(abortPanelResource), window, abortPanelProc, 0);
    if (!panel) return false;
    windows.abortDialog = panel;
    windows.labelWindow = sys.GetDlgItem(panel, memberNameLabel);
    windows.progressBar = sys.GetDlgItem(panel, progressBarControl);
    RECT size;
    sys.GetWindowRect(panel, &size);
    sys.AdjustWindowRect(&size, style, FALSE);
    sys.SetWindowPos(window, nullptr, 0, 0, size.right - size.left, size.bottom - size.top,
                     SWP_NOMOVE | SWP_NOZORDER);

    // The window was made without WS_VISIBLE: it stays hidden until the run starts.
    sys.SendMessageW(window, UM_START, 0, 0);
    return true;
}

int runMessageLoop() {
    MSG message;
    BOOL got;
    while ((got = sys.GetMessageW(&message, nullptr, 0, 0)) > 0) {
        sys.TranslateMessage(&message);
        sys.DispatchMessageW(&message);
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
