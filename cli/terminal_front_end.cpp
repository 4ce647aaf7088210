#include "cli/terminal_front_end.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/setup_session.h"
#include "platform/posix_names.h"

namespace nivo {

namespace {

int terminalWidth() {
    struct winsize ws {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// The next code point of UTF-8 text at i, and how many bytes it takes. A byte that starts no
// valid sequence counts as one character of its own.
char32_t nextCodePoint(const std::string& s, size_t i, size_t& length) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t c = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : extra == 1 ? b & 0x1F : b;
    length = 1;
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return b;
        c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    length = static_cast<size_t>(extra) + 1;
    return c;
}

int columnsOf(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0xFE00 && c <= 0xFE0F)) return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

std::string clockText(double seconds) {
    auto s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

}  // namespace

int displayColumns(const std::string& utf8) {
    int columns = 0;
    for (size_t i = 0, n = 0; i < utf8.size(); i += n) columns += columnsOf(nextCodePoint(utf8, i, n));
    return columns;
}

std::string fitColumns(const std::string& utf8, int columns) {
    int used = 0;
    size_t i = 0;
    for (size_t n = 0; i < utf8.size(); i += n) {
        int w = columnsOf(nextCodePoint(utf8, i, n));
        if (used + w > columns) break;
        used += w;
    }
    return utf8.substr(0, i);
}

TerminalFrontEnd::TerminalFrontEnd(bool showProgress, bool listMembers, bool test, uint64_t totalBytes)
    : progress(showProgress), listing(listMembers), testing(test), total(totalBytes) {}

void TerminalFrontEnd::clearBar() {
    if (!barShown) return;
    std::fputs("\r\033[K", stderr);
    barShown = false;
}

// "45% [#############                 ] 12.3 MB/s 0:05 left  name", fitted to the terminal's
// width: on a narrow one the bar gets shorter, then goes, then the rate and the time left go;
// the name takes what is left. The rate and the time left appear once the run has gone on for
// a second; the time spent answering questions does not count.
void TerminalFrontEnd::drawBar() {
    if (!progress) return;
    constexpr int longestBar = 30, shortestBar = 8, nameRoom = 12;
    const int width = terminalWidth() - 1;  // the last column would wrap on some terminals
    uint32_t shown = percent > 100 ? 100 : percent;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%3u%%", shown);
    const std::string head = buf;
    std::string stats;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double done = static_cast<double>(total) * shown / 100;
    if (elapsed >= 1 && done > 0) {
        double rate = done / elapsed;
        std::snprintf(buf, sizeof buf, " %.1f MB/s", rate / 1e6);
        stats = buf;
        if (shown < 100) stats += " " + clockText((static_cast<double>(total) - done) / rate) + " left";
    }
    if (static_cast<int>(head.size() + stats.size()) + nameRoom > width) stats.clear();
    const int barWidth = std::min(longestBar, width - static_cast<int>(head.size() + stats.size()) - 3 - nameRoom);
    std::string line = head;
    if (barWidth >= shortestBar) {
        const int filled = static_cast<int>(shown) * barWidth / 100;
        line += " [" + std::string(static_cast<size_t>(filled), '#') +
                std::string(static_cast<size_t>(barWidth - filled), ' ') + "]";
    }
    line += stats + "  " + current;
    std::fprintf(stderr, "\r\033[K%s", fitColumns(line, width).c_str());
    std::fflush(stderr);
    barShown = true;
}

std::string TerminalFrontEnd::ask(const std::string& prompt) {
    clearBar();
    const auto asked = std::chrono::steady_clock::now();
    std::string answer = cli::ask(prompt);
    started += std::chrono::steady_clock::now() - asked;
    return answer;
}

void TerminalFrontEnd::finishMemberLine() {
    if (listing && !current.empty() && !currentFailed) {
        clearBar();
        std::printf(testing ? "OK      %s\n" : "%s\n", current.c_str());
        std::fflush(stdout);
    }
    current.clear();
}

void TerminalFrontEnd::memberName(const char* name) {
    finishMemberLine();
    current = printableName(name);
    currentFailed = false;
    ++memberCount;
    drawBar();
}

void TerminalFrontEnd::progressPosition(uint32_t position) {
    // Members decoded on several threads are counted as they come; the bar never goes back.
    if (position <= percent) return;
    percent = position;
    drawBar();
}

void TerminalFrontEnd::memberProblem(const char* name, Problem problem) {
    clearBar();
    std::string shown = printableName(name);
    if (shown == current) currentFailed = true;
    if (problem == Problem::writeFailed) writeFailure = true;
    if (listing && testing) {
        std::fflush(stdout);
        std::printf("FAILED  %s\n", shown.c_str());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), problemText(problem));
    drawBar();
}

void TerminalFrontEnd::runEnded(bool aborted) {
    if (!aborted) finishMemberLine();
    clearBar();
}

}  // namespace nivo
