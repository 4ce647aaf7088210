// What the run tells the person at the terminal: a progress bar when stderr is a terminal,
// one line per member when asked, and every problem once, on stderr, in one line naming the
// member.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "command_line/terminal_text.h"
#include "platform/platform.h"

namespace nivo {

// How a problem of a member reads in the terminal.
const char* problemText(Problem problem);

enum class Verbosity : uint8_t { quiet, normal, verbose };

class TerminalFrontEnd final : public FrontEnd {
public:
    // showProgress: draw the bar on stderr. listMembers: print each member once it is done,
    // "OK" or "FAILED" in front for the test command. totalBytes: what the whole run writes.
    TerminalFrontEnd(bool showProgress, bool listMembers, bool test, uint64_t totalBytes);

    void memberName(const char* name) override;
    void progressPosition(uint32_t position) override;
    void memberProblem(const char* name, Problem problem) override;
    void runEnded(bool aborted) override;

    // Prints the line of the member before, if one is due; done before anything else is said
    // of the next member.
    void finishMemberLine();

    // The member that the run waits for, decoded on another thread: the bar names it until
    // its turn comes.
    void waitingFor(const char* name) override;

    // Asks on a line of its own, the bar cleared; the time spent answering is not the run's.
    std::string ask(const std::string& prompt);

    int members() const { return memberCount; }
    bool sawWriteFailure() const { return writeFailure; }
    // The errno of a failure that the destination as a whole gives (no space, quota, read-only),
    // which stopped the run through stopFlag; 0 when none did.
    int destinationFailure() const { return destinationError; }
    std::atomic<int>* stopFlag = nullptr;

private:
    void drawBar();
    void clearBar();

    bool progress;
    bool listing;
    bool testing;
    uint64_t total;
    bool barShown = false;
    bool currentFailed = false;
    bool writeFailure = false;
    int destinationError = 0;
    int memberCount = 0;
    uint32_t percent = 0;
    std::string current;
    std::string waiting;  // the member whose turn the run waits for
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

}  // namespace nivo
