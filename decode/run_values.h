// What a run shares with the decoders: the progress of the whole run and the abort request,
// and the reporter that moves the progress bar through the front end's callbacks. Small on
// purpose, so that the decoders need nothing of the extraction context.
#pragma once

#include <atomic>
#include <cstdint>

namespace nivo {

class FrontEnd;

// The run's shared values. keepRunning goes from 1 to 0 once, when the user aborts; the worker
// polls it after every block, and the decoders after every stretch of symbols.
struct RunValues {
    std::atomic<int> keepRunning{1};
    uint32_t totalBytes = 0;   // sum of the original sizes of all members
    uint32_t bytesDone = 0;    // sum of the original sizes of the members already finished
    uint32_t lastPercent = 0;  // the last position sent to the progress bar
    // The smallest bytesDone + d at which the position moves past lastPercent, so that the
    // per-symbol report is one comparison. Kept by reportProgress.
    uint32_t nextReportAt = 0;
};

// Moves the progress bar as bytes are produced. Without run values it does nothing.
struct ProgressReporter {
    RunValues* run = nullptr;
    FrontEnd* frontEnd = nullptr;

    // d: bytes produced within the current member. One comparison unless the position moves.
    void report(uint32_t d) {
        if (run && static_cast<uint32_t>(run->bytesDone + d) >= run->nextReportAt) reportProgress(d);
    }
    // How many more bytes the member may produce, from d on, before the position can move: a
    // decoder runs that far between reports and reports where it stops. At least 1.
    uint32_t bytesBeforeReport(uint32_t d) const {
        if (!run) return UINT32_MAX;
        const uint32_t at = run->bytesDone + d;
        return at < run->nextReportAt ? run->nextReportAt - at : 1;
    }
    void reportProgress(uint32_t d);
    bool aborted() const { return run && run->keepRunning.load(std::memory_order_relaxed) == 0; }
};

}  // namespace nivo
