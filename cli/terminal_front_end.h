// What the run tells the person at the terminal: a progress bar when stderr is a terminal,
// and every problem once, on stderr, in one line naming the member.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace nivo {

class TerminalFrontEnd final : public FrontEnd {
public:
    // verboseTest: print "OK" or the problem for each member (the test command).
    TerminalFrontEnd(bool showProgress, bool verboseTest);

    void memberName(const char* name) override;
    void progressPosition(uint32_t position) override;
    void memberProblem(const char* name, Problem problem) override;
    void runEnded(bool aborted) override;

    int members() const { return memberCount; }
    bool sawWriteFailure() const { return writeFailure; }

private:
    void drawBar();
    void clearBar();
    void finishTestLine();

    bool progress;
    bool verbose;
    bool barShown = false;
    bool currentFailed = false;
    bool writeFailure = false;
    int memberCount = 0;
    uint32_t percent = 0;
    std::string current;
};

}  // namespace nivo
