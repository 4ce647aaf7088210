#include "cli/extract_command.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "archive/extraction_run.h"
#include "cli/command_line.h"
#include "cli/setup_session.h"
#include "cli/terminal_front_end.h"
#include "platform/posix_names.h"

namespace nivo::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<int>* keepRunningFlag = nullptr;

// Ctrl-C, and the requests to end that a terminal closing or a system shutting down send: the
// run stops as the abort button stops it, and the member being written is deleted.
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signal) {
    if (keepRunningFlag) keepRunningFlag->store(0);
    std::signal(signal, SIG_DFL);  // a second one ends the program at once
}

void handleStopSignals(void (*handler)(int)) {
    for (int signal : stopSignals) std::signal(signal, handler);
}

}  // namespace

int runExtraction(ExtractionContext& context, Options& o, SetupSettings& settings) {
    bool test = o.command == 't';
    std::string destination = o.destination;
    if (!test && settings.present) {
        destination = playSetup(settings, o);
        if (destination.empty()) return exitUsage;  // refused, and said why
    }
    fs::path destPath = destination.empty() ? fs::current_path() : fs::path(destination);
    if (!test) {
        std::error_code ec;
        fs::create_directories(destPath, ec);
        if (ec || !fs::is_directory(destPath) || chdir(destPath.c_str()) != 0) {
            std::fprintf(stderr, "nivosfx: cannot create the destination %s\n", printableText(destPath).c_str());
            return exitProblems;
        }
        destPath = fs::current_path();
        ExtractionContext::replaceText(context.destinationDir, destPath.c_str());
    }
    context.testOnly = test;
    TerminalFrontEnd frontEnd(isatty(STDERR_FILENO) != 0, test);
    context.frontEnd = &frontEnd;
    keepRunningFlag = &context.run.keepRunning;
    handleStopSignals(onStopSignal);
    extractionRun(context);
    handleStopSignals(SIG_DFL);
    keepRunningFlag = nullptr;

    bool aborted = context.run.keepRunning.load() == 0;
    int problems = context.problems.count;
    if (aborted) {
        std::fprintf(stderr, "nivosfx: interrupted; the member being written was deleted, any old file of its name kept\n");
        return exitInterrupted;
    }
    if (problems) {
        std::fprintf(stderr, "nivosfx: %d problem%s in %d members\n", problems, problems == 1 ? "" : "s",
                     frontEnd.members());
    } else if (test) {
        std::printf("No errors in %d members\n", frontEnd.members());
    } else {
        std::printf("Extracted %d members into %s\n", frontEnd.members(), printableText(destPath).c_str());
    }
    if (!test && settings.present) reportAfterSetup(settings, destPath, problems == 0, o.open);
    if (!problems) return exitOk;
    return frontEnd.sawWriteFailure() ? exitDiskFull : exitProblems;
}

}  // namespace nivo::cli
