// Test driver for the Windows program, run under Wine next to it. It plays the user: starts the
// program, finds its windows, types, ticks and presses by window messages, and reports what it
// saw. It also reads shell links back for the checks of the shortcuts.
//
//   driver run PROGRAM [STEP]...    start PROGRAM, carry out the steps, wait for its exit;
//                                   prints "exit N" and exits 0, or "FAIL ..." and exits 1
//   driver link CSIDL NAME          prints the shell link NAME in that special folder as
//                                   target=..., icon=...,N and workdir=..., or "missing"
//   driver acp                      prints the ANSI code page that Wine runs with
//
// Steps (texts are compared exactly, in the ANSI code page):
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
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD stepTimeoutMs = 15000;
constexpr DWORD exitTimeoutMs = 60000;

DWORD childProcess;

bool fail(const std::string& what) {
    std::printf("FAIL %s\n", what.c_str());
    return false;
}

std::string windowText(HWND window) {
    char text[1024] = {};
    // WM_GETTEXT, not GetWindowText: only the message reads an edit field of another process.
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

std::string className(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Search {
    const char* windowClass;
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
std::vector<HWND> childWindows(const char* windowClass) {
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

HWND findDialog(const std::string& caption) {
    for (HWND w : childWindows("#32770"))
        if (IsWindowVisible(w) && windowText(w) == caption && GetDlgItem(w, 1000)) return w;
    return nullptr;
}

// A message box with a text that holds every "|"-separated part of parts.
HWND findMessageBox(const std::string& parts) {
    for (HWND w : childWindows("#32770")) {
        for (HWND c : descendants(w)) {
            if (className(c) != "Static") continue;
            std::string text = windowText(c);
            bool all = true;
            for (size_t at = 0; all && at <= parts.size();) {
                size_t bar = parts.find('|', at);
                if (bar == std::string::npos) bar = parts.size();
                all = text.find(parts.substr(at, bar - at)) != std::string::npos;
                at = bar + 1;
            }
            if (all) return w;
        }
    }
    return nullptr;
}

HWND findProgressWindow() {
    std::vector<HWND> windows = childWindows("NIVOSFXCLASS");
    return windows.empty() ? nullptr : windows.front();
}

HWND childOfClass(HWND parent, const char* windowClass) {
    for (HWND c : descendants(parent))
        if (className(c) == windowClass) return c;
    return nullptr;
}

bool needDialog() {
    return destinationDialog ? true : fail("no destination dialog found before this step");
}

bool checkBox(int id, const std::string& state) {
    if (!needDialog()) return false;
    HWND box = GetDlgItem(destinationDialog, id);
    if (!box) return fail("no check box " + std::to_string(id));
    bool checked = SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
    std::string seen = std::string(checked ? "checked" : "unchecked") +
                       (IsWindowEnabled(box) ? "-enabled" : "-disabled");
    return seen == state ? true : fail("box " + std::to_string(id) + " is " + seen + ", not " + state);
}

bool pressAbort() {
    if (!progressWindow) return fail("no progress window found before abort");
    HWND panel = childOfClass(progressWindow, "#32770");
    if (!panel) return fail("no abort panel");
    for (HWND c : descendants(panel)) {
        if (className(c) == "Button" && windowText(c) == "中止") {
            int id = GetDlgCtrlID(c);
            if (id != IDCANCEL) return fail("the abort button has identifier " + std::to_string(id));
            PostMessageA(panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(c));
            return true;
        }
    }
    return fail("no button 中止 on the abort panel");
}

// Carries out one step; argument index i is advanced past its operands.
bool step(int argc, char** argv, int& i) {
    std::string op = argv[i];
    auto operand = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (op == "dialog") {
        std::string caption = operand();
        lastWindow = destinationDialog = waitFor([&] { return findDialog(caption); });
        return destinationDialog ? true : fail("no destination dialog with caption " + caption);
    }
    if (op == "edit-is") {
        std::string want = operand();
        if (!needDialog()) return false;
        std::string seen = windowText(GetDlgItem(destinationDialog, 1000));
        return seen == want ? true : fail("the destination field holds '" + seen + "'");
    }
    if (op == "box") {
        int id = std::atoi(operand().c_str());
        return checkBox(id, operand());
    }
    if (op == "set-edit") {
        std::string text = operand();
        if (!needDialog()) return false;
        SendMessageA(GetDlgItem(destinationDialog, 1000), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(text.c_str()));
        return true;
    }
    if (op == "toggle") {
        int id = std::atoi(operand().c_str());
        if (!needDialog()) return false;
        HWND box = GetDlgItem(destinationDialog, id);
        bool checked = SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageA(box, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
        return true;
    }
    if (op == "press") {
        int id = std::atoi(operand().c_str());
        if (!needDialog()) return false;
        PostMessageA(destinationDialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(destinationDialog, id)));
        return true;
    }
    if (op == "message" || op == "answer") {
        std::string text = operand();
        int button = op == "answer" ? std::atoi(operand().c_str()) : IDOK;
        HWND box = waitFor([&] { return findMessageBox(text); });
        if (!box) return fail("no message box saying " + text);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return true;
    }
    if (op == "progress") {
        std::string caption = operand();
        progressWindow = waitFor([&]() -> HWND {
            HWND w = findProgressWindow();
            return w && IsWindowVisible(w) && windowText(w) == caption ? w : nullptr;
        });
        lastWindow = progressWindow;
        return progressWindow ? true : fail("no visible progress window with caption " + caption);
    }
    if (op == "member") {
        std::string name = operand();
        HWND label = waitFor([&]() -> HWND {
            progressWindow = findProgressWindow();
            HWND l = progressWindow ? childOfClass(progressWindow, "Static") : nullptr;
            return l && windowText(l) == name ? l : nullptr;
        });
        return label ? true : fail("the progress window never showed " + name);
    }
    if (op == "abort") return pressAbort();
    if (op == "close") {
        if (!progressWindow) return fail("no progress window found before close");
        PostMessageA(progressWindow, WM_CLOSE, 0, 0);
        return true;
    }
    if (op == "signal") {
        std::string file = operand();
        RECT r = {};
        GetWindowRect(lastWindow, &r);
        FILE* f = std::fopen(file.c_str(), "w");
        if (!f) return fail("cannot create " + file);
        std::fprintf(f, "%ld %ld %ld %ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return std::fclose(f) == 0 ? true : fail("cannot write " + file);
    }
    if (op == "await") {
        std::string file = operand();
        DWORD start = GetTickCount();
        while (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount() - start > 4 * stepTimeoutMs) return fail("no " + file);
            Sleep(20);
        }
        return true;
    }
    return fail("unknown step " + op);
}

int run(int argc, char** argv) {
    const int first = 2;
    std::string command = std::string("\"") + argv[first] + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fail("cannot start " + std::string(argv[first]));
        return 1;
    }
    childProcess = process.dwProcessId;
    bool ok = true;
    for (int i = first + 1; ok && i < argc; ++i) ok = step(argc, argv, i);
    if (ok && WaitForSingleObject(process.hProcess, exitTimeoutMs) != WAIT_OBJECT_0)
        ok = fail("the program did not end");
    if (!ok) {
        TerminateProcess(process.hProcess, 99);
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("exit %lu\n", code);
    return 0;
}

int readLink(int folder, const char* name) {
    char path[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, path, folder, FALSE)) {
        fail("no special folder " + std::to_string(folder));
        return 1;
    }
    std::string file = std::string(path) + "\\" + name;
    if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("missing\n");
        return 0;
    }
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    IPersistFile* persist = nullptr;
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))) ||
        FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) ||
        FAILED(persist->Load(wide, STGM_READ))) {
        fail("cannot load " + file);
        return 1;
    }
    char target[MAX_PATH] = {}, icon[MAX_PATH] = {}, workdir[MAX_PATH] = {};
    int iconIndex = -1;
    // SLGP_RAWPATH: the path as stored, not resolved against the file system.
    link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    link->GetIconLocation(icon, MAX_PATH, &iconIndex);
    link->GetWorkingDirectory(workdir, MAX_PATH);
    std::printf("target=%s\nicon=%s,%d\nworkdir=%s\n", target, icon, iconIndex, workdir);
    persist->Release();
    link->Release();
    CoUninitialize();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "run") == 0) return run(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "link") == 0) return readLink(std::atoi(argv[2]), argv[3]);
    if (argc == 2 && std::strcmp(argv[1], "acp") == 0) return std::printf("%u\n", GetACP()) < 0;
    std::fprintf(stderr, "usage: driver run PROGRAM [STEP]... | driver link CSIDL NAME | driver acp\n");
    return 2;
}
