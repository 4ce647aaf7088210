// Test driver for the Windows program, run under Wine next to it. It plays the user: starts the
// program, finds its windows, types, ticks and presses by window messages, and reports what it
// saw. It also reads shell links back for the checks of the shortcuts.
//
//   driver run PROGRAM [STEP]...    start PROGRAM, carry out the steps, wait for its exit;
//                                   prints "exit N" and exits 0, or "FAIL ..." and exits 1
//   driver link CSIDL NAME          prints the shell link NAME in that special folder as
//                                   target=..., icon=...,N and workdir=..., or "missing"
//   driver acp                      prints the ANSI code page that Wine runs with
//   driver load DLL                 loads DLL as any program would (the default search order)
//                                   and prints "loaded" or "missing"
//
// Arguments and texts are UTF-16 inside, whatever the system's code page, and the driver prints
// UTF-8.
//
// Steps (texts are compared exactly):
//   dialog CAPTION      wait for the destination dialog with that caption
//   edit-is TEXT        the destination field holds TEXT
//   box ID STATE        check box ID is STATE: checked|unchecked, then -enabled|-disabled
//   set-edit TEXT       type TEXT into the destination field
//   toggle ID           tick or untick check box ID
//   press ID            press the dialog's button ID (1 OK, 2 Cancel)
//   message TEXT        wait for a message box whose text contains TEXT, and close it;
//                       TEXT may be several parts separated by "|", all of which must appear
//   answer TEXT ID      the same, closing it with its button ID (e.g. 2 to cancel)
//   progress CAPTION    wait for the visible progress window with that caption
//   member NAME         wait until the progress window shows the member NAME
//   abort               press the abort button "中止"
//   close               close the progress window with its caption button
//   signal FILE         write FILE with the screen rectangle (width height left top) of the
//                       window found last, for a script that takes a screenshot
//   await FILE          wait until FILE exists
//   exit-timeout S      wait up to S seconds for the program's end (60 unless given)
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD stepTimeoutMs = 30000;  // a first window in a new prefix can take long on a busy machine
DWORD exitTimeoutMs = 60000;

DWORD childProcess;

std::string utf8(const std::wstring& text) {
    std::string out(text.size() * 3 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

bool fail(const std::wstring& what) {
    std::printf("FAIL %s\n", utf8(what).c_str());
    return false;
}

std::wstring windowText(HWND window) {
    wchar_t text[1024] = {};
    // WM_GETTEXT, not GetWindowText: only the message reads an edit field of another process.
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

std::wstring className(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

struct Search {
    const wchar_t* windowClass;
    std::vector<HWND> found;
};

BOOL CALLBACK collectTopLevel(HWND window, LPARAM p) {
    auto& s = *reinterpret_cast<Search*>(p);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == childProcess && className(window) == s.windowClass) s.found.push_back(window);
    return TRUE;
}

BOOL CALLBACK collectChild(HWND window, LPARAM p) {
    reinterpret_cast<std::vector<HWND>*>(p)->push_back(window);
    return TRUE;
}

// The started program's top-level windows of one class.
std::vector<HWND> childWindows(const wchar_t* windowClass) {
    Search search{windowClass, {}};
    EnumWindows(collectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> descendants(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Polls until find returns a window, or the step times out.
template <typename Find>
HWND waitFor(Find find) {
    DWORD start = GetTickCount();
    do {
        if (HWND w = find()) return w;
        Sleep(5);
    } while (GetTickCount() - start < stepTimeoutMs);
    return nullptr;
}

HWND destinationDialog;
HWND progressWindow;
HWND lastWindow;  // the window that the last dialog or progress step found

HWND findDialog(const std::wstring& caption) {
    for (HWND w : childWindows(L"#32770"))
        if (IsWindowVisible(w) && windowText(w) == caption && GetDlgItem(w, 1000)) return w;
    return nullptr;
}

// A message box with a text that holds every "|"-separated part of parts.
HWND findMessageBox(const std::wstring& parts) {
    for (HWND w : childWindows(L"#32770")) {
        for (HWND c : descendants(w)) {
            if (className(c) != L"Static") continue;
            std::wstring text = windowText(c);
            bool all = true;
            for (size_t at = 0; all && at <= parts.size();) {
                size_t bar = parts.find(L'|', at);
                if (bar == std::wstring::npos) bar = parts.size();
                all = text.find(parts.substr(at, bar - at)) != std::wstring::npos;
                at = bar + 1;
            }
            if (all) return w;
        }
    }
    return nullptr;
}

HWND findProgressWindow() {
    std::vector<HWND> windows = childWindows(L"NIVOSFXCLASS");
    return windows.empty() ? nullptr : windows.front();
}

HWND childOfClass(HWND parent, const wchar_t* windowClass) {
    for (HWND c : descendants(parent))
        if (className(c) == windowClass) return c;
    return nullptr;
}

bool needDialog() {
    return destinationDialog ? true : fail(L"no destination dialog found before this step");
}

bool checkBox(int id, const std::wstring& state) {
    if (!needDialog()) return false;
    HWND box = GetDlgItem(destinationDialog, id);
    if (!box) return fail(L"no check box " + std::to_wstring(id));
    bool checked = SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
    std::wstring seen = std::wstring(checked ? L"checked" : L"unchecked") +
                        (IsWindowEnabled(box) ? L"-enabled" : L"-disabled");
    return seen == state ? true : fail(L"box " + std::to_wstring(id) + L" is " + seen + L", not " + state);
}

bool pressAbort() {
    if (!progressWindow) return fail(L"no progress window found before abort");
    HWND panel = childOfClass(progressWindow, L"#32770");
    if (!panel) return fail(L"no abort panel");
    for (HWND c : descendants(panel)) {
        if (className(c) == L"Button" && windowText(c) == L"中止") {
            int id = GetDlgCtrlID(c);
            if (id != IDCANCEL) return fail(L"the abort button has identifier " + std::to_wstring(id));
            PostMessageW(panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(c));
            return true;
        }
    }
    return fail(L"no button 中止 on the abort panel");
}

// Carries out one step; argument index i is advanced past its operands.
bool step(int argc, wchar_t** argv, int& i) {
    std::wstring op = argv[i];
    auto operand = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
    if (op == L"dialog") {
        std::wstring caption = operand();
        lastWindow = destinationDialog = waitFor([&] { return findDialog(caption); });
        return destinationDialog ? true : fail(L"no destination dialog with caption " + caption);
    }
    if (op == L"edit-is") {
        std::wstring want = operand();
        if (!needDialog()) return false;
        std::wstring seen = windowText(GetDlgItem(destinationDialog, 1000));
        return seen == want ? true : fail(L"the destination field holds '" + seen + L"'");
    }
    if (op == L"box") {
        int id = _wtoi(operand().c_str());
        return checkBox(id, operand());
    }
    if (op == L"set-edit") {
        std::wstring text = operand();
        if (!needDialog()) return false;
        SendMessageW(GetDlgItem(destinationDialog, 1000), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(text.c_str()));
        return true;
    }
    if (op == L"toggle") {
        int id = _wtoi(operand().c_str());
        if (!needDialog()) return false;
        HWND box = GetDlgItem(destinationDialog, id);
        bool checked = SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(box, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
        return true;
    }
    if (op == L"press") {
        int id = _wtoi(operand().c_str());
        if (!needDialog()) return false;
        PostMessageW(destinationDialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(destinationDialog, id)));
        return true;
    }
    if (op == L"message" || op == L"answer") {
        std::wstring text = operand();
        int button = op == L"answer" ? _wtoi(operand().c_str()) : IDOK;
        HWND box = waitFor([&] { return findMessageBox(text); });
        if (!box) return fail(L"no message box saying " + text);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return true;
    }
    if (op == L"progress") {
        std::wstring caption = operand();
        progressWindow = waitFor([&]() -> HWND {
            HWND w = findProgressWindow();
            return w && IsWindowVisible(w) && windowText(w) == caption ? w : nullptr;
        });
        lastWindow = progressWindow;
        return progressWindow ? true : fail(L"no visible progress window with caption " + caption);
    }
    if (op == L"member") {
        std::wstring name = operand();
        HWND label = waitFor([&]() -> HWND {
            progressWindow = findProgressWindow();
            HWND l = progressWindow ? childOfClass(progressWindow, L"Static") : nullptr;
            return l && windowText(l) == name ? l : nullptr;
        });
        return label ? true : fail(L"the progress window never showed " + name);
    }
    if (op == L"abort") return pressAbort();
    if (op == L"close") {
        if (!progressWindow) return fail(L"no progress window found before close");
        PostMessageW(progressWindow, WM_CLOSE, 0, 0);
        return true;
    }
    if (op == L"signal") {
        std::wstring file = operand();
        RECT r = {};
        GetWindowRect(lastWindow, &r);
        FILE* f = _wfopen(file.c_str(), L"w");
        if (!f) return fail(L"cannot create " + file);
        std::fprintf(f, "%ld %ld %ld %ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return std::fclose(f) == 0 ? true : fail(L"cannot write " + file);
    }
    if (op == L"await") {
        std::wstring file = operand();
        DWORD start = GetTickCount();
        while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount() - start > 4 * stepTimeoutMs) return fail(L"no " + file);
            Sleep(20);
        }
        return true;
    }
    if (op == L"exit-timeout") {
        exitTimeoutMs = static_cast<DWORD>(_wtoi(operand().c_str())) * 1000;
        return true;
    }
    return fail(L"unknown step " + op);
}

int run(int argc, wchar_t** argv) {
    const int first = 2;
    std::wstring command = std::wstring(L"\"") + argv[first] + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fail(L"cannot start " + std::wstring(argv[first]));
        return 1;
    }
    childProcess = process.dwProcessId;
    bool ok = true;
    for (int i = first + 1; ok && i < argc; ++i) ok = step(argc, argv, i);
    if (ok && WaitForSingleObject(process.hProcess, exitTimeoutMs) != WAIT_OBJECT_0)
        ok = fail(L"the program did not end");
    if (!ok) {
        TerminateProcess(process.hProcess, 99);
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("exit %lu\n", code);
    return 0;
}

int readLink(int folder, const wchar_t* name) {
    wchar_t path[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, path, folder, FALSE)) {
        fail(L"no special folder " + std::to_wstring(folder));
        return 1;
    }
    std::wstring file = std::wstring(path) + L"\\" + name;
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("missing\n");
        return 0;
    }
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    IPersistFile* persist = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))) ||
        FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) ||
        FAILED(persist->Load(file.c_str(), STGM_READ))) {
        fail(L"cannot load " + file);
        return 1;
    }
    wchar_t target[MAX_PATH] = {}, icon[MAX_PATH] = {}, workdir[MAX_PATH] = {};
    int iconIndex = -1;
    // The target from the link's item list, which holds the names in UTF-16 (the path string
    // beside it may be stored in the system's code page); else the path as stored
    // (SLGP_RAWPATH: not resolved against the file system).
    LPITEMIDLIST items = nullptr;
    if (FAILED(link->GetIDList(&items)) || !items || !SHGetPathFromIDListW(items, target))
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    CoTaskMemFree(items);
    link->GetIconLocation(icon, MAX_PATH, &iconIndex);
    link->GetWorkingDirectory(workdir, MAX_PATH);
    std::printf("target=%s\nicon=%s,%d\nworkdir=%s\n", utf8(target).c_str(), utf8(icon).c_str(), iconIndex,
                utf8(workdir).c_str());
    persist->Release();
    link->Release();
    CoUninitialize();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc >= 2 ? argv[1] : L"";
    if (argc >= 3 && command == L"run") return run(argc, argv);
    if (argc == 4 && command == L"link") return readLink(_wtoi(argv[2]), argv[3]);
    if (argc == 2 && command == L"acp") return std::printf("%u\n", GetACP()) < 0;
    if (argc == 3 && command == L"load") return std::puts(LoadLibraryW(argv[2]) ? "loaded" : "missing") < 0;
    std::fprintf(stderr, "usage: driver run PROGRAM [STEP]... | driver link CSIDL NAME | driver acp | driver load DLL\n");
    return 2;
}
