#include "cli/terminal_front_end.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/posix_names.h"

namespace nivo {

namespace {

int terminalWidth() {
    struct winsize ws {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 40) return ws.ws_col;
    return 80;
}

// Cuts UTF-8 text to at most width characters, keeping whole characters.
std::string fitWidth(const std::string& text, int width) {
    int chars = 0;
    size_t i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == width) break;
            ++chars;
        }
    }
    return text.substr(0, i);
}

}  // namespace

TerminalFrontEnd::TerminalFrontEnd(bool showProgress, bool verboseTest)
    : progress(showProgress), verbose(verboseTest) {}

void TerminalFrontEnd::clearBar() {
    if (!barShown) return;
    std::fputs("\r\033[K", stderr);
    barShown = false;
}

void TerminalFrontEnd::drawBar() {
    if (!progress) return;
    const int barWidth = 30;
    uint32_t shown = percent > 100 ? 100 : percent;
    int filled = static_cast<int>(shown * barWidth / 100);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(barWidth - filled), ' ');
    int room = terminalWidth() - barWidth - 10;
    std::fprintf(stderr, "\r\033[K%3u%% [%s] %s", shown, bar.c_str(), fitWidth(current, room).c_str());
    std::fflush(stderr);
    barShown = true;
}

void TerminalFrontEnd::finishTestLine() {
    if (verbose && !current.empty() && !currentFailed) {
        clearBar();
        std::printf("OK      %s\n", current.c_str());
        std::fflush(stdout);
    }
}

void TerminalFrontEnd::memberName(const char* name) {
    finishTestLine();
    current = printableName(name);
    currentFailed = false;
    ++memberCount;
    drawBar();
}

void TerminalFrontEnd::progressPosition(uint32_t position) {
    percent = position;
    drawBar();
}

void TerminalFrontEnd::memberProblem(const char* name, Problem problem) {
    clearBar();
    std::string shown = printableName(name);
    if (shown == current) currentFailed = true;
    if (problem == Problem::writeFailed) writeFailure = true;
    if (verbose) {
        std::fflush(stdout);
        std::printf("FAILED  %s\n", shown.c_str());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), problemText(problem));
    drawBar();
}

void TerminalFrontEnd::runEnded(bool aborted) {
    if (!aborted) finishTestLine();
    clearBar();
}

}  // namespace nivo
