// The stored methods (-lh0-, -lz4-): the member's bytes copied from the archive as they are.
#include "extract/stored_copy.h"

#include "common/crc16.h"

namespace nivo {

DecodeResult storedCopy(FILE* input, OutputSink* out, MemberSize count, const ProgressReporter& progress) {
    DecodeResult result;
    uint8_t block[2048];
    MemberSize copied = 0;
    ProgressReporter reporter = progress;
    while (copied < count) {
        uint32_t n = count - copied < 2048 ? static_cast<uint32_t>(count - copied) : 2048;
        size_t got = input ? std::fread(block, 1, n, input) : 0;
        if (got < n) {
            // The archive ends inside the member. What is missing is not invented: the member
            // has failed.
            result.truncated = true;
            result.status = DecodeStatus::damaged;
            break;
        }
        if (out && !out->write(block, n)) {
            result.status = DecodeStatus::writeFailed;
            break;
        }
        result.crc = updateCrc(result.crc, block, n);
        copied += n;
        result.bytesWritten = copied;
        reporter.report(static_cast<uint32_t>(copied));
        if (reporter.aborted()) {
            result.status = DecodeStatus::aborted;
            break;
        }
    }
    return result;
}

}  // namespace nivo
