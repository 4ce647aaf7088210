// The progress bar's position: the bytes produced so far over the run's total, as a bar of 0
// to 100 shows it, sent to the front end only when it moves.
#include "decode/run_values.h"
#include "platform/platform.h"

namespace nivo {

void ProgressReporter::reportProgress(uint32_t d) {
    RunValues& r = *run;
    r.nextReportAt = UINT32_MAX;
    if (r.totalBytes == 0) return;
    // The position as a bar of 0 to 100 shows it. The two formulas keep the multiplication
    // away from large totals and the division away from a divisor of 0. Beside it, the
    // smallest byte count at which the position moves on, so that the reports in between
    // cost one comparison.
    uint32_t x = r.bytesDone + d;
    uint32_t position;
    if (r.totalBytes <= 1000) {
        position = x * 100 / r.totalBytes;
        // Counts near the total (the only ones a run produces) cannot overflow here.
        r.nextReportAt = x < 0x01000000 ? ((position + 1) * r.totalBytes + 99) / 100 : x + 1;
    } else {
        uint32_t divisor = r.totalBytes / 100;
        position = x / divisor;
        uint32_t next = x - x % divisor + divisor;
        if (next > x) r.nextReportAt = next;
    }
    if (position != r.lastPercent) {
        r.lastPercent = position;
        if (frontEnd) frontEnd->progressPosition(position);
    }
}

}  // namespace nivo
