#include "cli/terminal_front_end.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <unistd.h>

#include "cli/setup_session.h"
#include "command_line/terminal_text.h"
#include "platform/posix_names.h"

namespace nivo {

const char* problemText(Problem problem) {
    switch (problem) {
    case Problem::unknownMethod: return "unknown method";
    case Problem::cannotCreate: return "cannot create the file";
    case Problem::writeFailed: return "write failed";
    case Problem::crcMismatch: return "CRC error";
    case Problem::damagedData: return "damaged data";
    case Problem::truncated: return "archive ends inside the member";
    case Problem::outsideDestination: return "path leads outside the destination";
    case Problem::linkRefused: return "symbolic link not extracted";
    case Problem::nameTooLong: return "name too long";
    case Problem::noMemory: return "out of memory";
    case Problem::damagedHeader: return "damaged header";
    case Problem::sizeMismatch: return "data longer than the original size";
    case Problem::unknownHeader: return "Unknown header";
    case Problem::noFileName: return "no file name";
    case Problem::reservedName: return "device or stream name, refused on Windows";
    case Problem::damagedKept: return "not written: the existing file kept";
    }
    return "problem";
}

namespace {

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
    // From a pipe the run's size is not known: the bar names the member alone.
    std::string line = total ? head : "";
    if (total && barWidth >= shortestBar) {
        const int filled = static_cast<int>(shown) * barWidth / 100;
        line += " [" + std::string(static_cast<size_t>(filled), '#') +
                std::string(static_cast<size_t>(barWidth - filled), ' ') + "]";
    }
    line += stats + (total ? "  " : "") + (current.empty() ? waiting : current);
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

void TerminalFrontEnd::waitingFor(const char* name) {
    finishMemberLine();
    waiting = printableName(name);
    drawBar();
}

void TerminalFrontEnd::memberName(const char* name) {
    finishMemberLine();
    waiting.clear();
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
    // A file that cannot be made or written says why: the failed call's errno, which the run
    // leaves as it was until here.
    const int error = problem == Problem::cannotCreate || problem == Problem::writeFailed ? errno : 0;
    if (destinationError) return;  // the run is stopping: the members behind the first are not named
    clearBar();
    std::string shown = printableName(name);
    if (shown == current) currentFailed = true;
    if (problem == Problem::writeFailed) writeFailure = true;
    if (listing && testing) {
        std::fflush(stdout);
        std::printf("FAILED  %s\n", shown.c_str());
        std::fflush(stdout);
    }
    std::string reason = problemText(problem);
    if (error) reason += std::string(": ") + std::strerror(error);
    std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), reason.c_str());
    // When the destination itself takes nothing more, every later member would fail alike.
    if ((error == ENOSPC || error == EDQUOT || error == EROFS) && stopFlag) {
        destinationError = error;
        stopFlag->store(0);
    }
    drawBar();
}

void TerminalFrontEnd::runEnded(bool aborted) {
    if (!aborted) finishMemberLine();
    clearBar();
}

}  // namespace nivo
