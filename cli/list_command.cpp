#include "cli/list_command.h"

#include <cstdio>
#include <ctime>

#include "archive/archive_walker.h"
#include "extract/path_helpers.h"
#include "cli/nivosfx_options.h"
#include "platform/posix_names.h"

namespace nivo::cli {

namespace {

std::string timeText(const MemberHeader& h) {
    if (!h.hasModifiedTime) return "-";
    time_t t = static_cast<time_t>(h.modifiedTime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace

int listMembers(ExtractionContext& context, const std::string&) {
    std::printf("%10s %10s %6s %-6s %4s  %-19s  %s\n", "Original", "Packed", "Ratio", "Method", "CRC",
                "Time (UTC)", "Name");
    MemberHeader h;
    uint64_t totalOriginal = 0, totalPacked = 0;
    int members = 0;
    int status = exitOk;
    ArchiveWalker walk(context);
    char shown[pathBufferSize];
    for (;;) {
        HeaderStatus hs = walk.next(h);
        if (hs == HeaderStatus::end) break;
        // Problems are told as the test command tells them.
        if (hs == HeaderStatus::damaged || hs == HeaderStatus::unknownLayout) {
            offsetName(shown, sizeof shown, "header", walk.headerStart);
            std::fprintf(stderr, "nivosfx: %s: %s\n", shown,
                         problemText(hs == HeaderStatus::damaged ? Problem::damagedHeader : Problem::unknownHeader));
            status = exitProblems;
            break;
        }
        if (hs == HeaderStatus::nameTooLong) overlongMemberName(shown, h, walk.headerStart);
        else copyText(shown, sizeof shown, shownName(h.name));
        std::string name = printableName(shown);
        char ratio[16] = "-";
        if (h.originalSize)
            std::snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * h.compressedSize / h.originalSize);
        char crc[8] = "-";
        if (h.hasDataCrc) std::snprintf(crc, sizeof crc, "%04X", h.dataCrc);
        std::string method = printableName(std::string(h.method, 5).c_str());
        std::printf("%10u %10u %6s %-6s %4s  %-19s  %s\n", h.originalSize, h.compressedSize, ratio,
                    method.c_str(), crc, timeText(h).c_str(), name.c_str());
        totalOriginal += h.originalSize;
        totalPacked += h.compressedSize;
        ++members;
        if (walk.endsInside) {
            std::fprintf(stderr, "nivosfx: %s: %s\n", name.c_str(), problemText(Problem::truncated));
            status = exitProblems;
        }
    }
    std::printf("%d members, %llu bytes, %llu packed\n", members,
                static_cast<unsigned long long>(totalOriginal), static_cast<unsigned long long>(totalPacked));
    return status;
}

}  // namespace nivo::cli
