#include "cli/list_command.h"

#include <cstdio>
#include <ctime>

#include "archive/member_header.h"
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

int listMembers(ExtractionContext& context, const std::string& path) {
    std::printf("%10s %10s %6s %-6s %4s  %-19s  %s\n", "Original", "Packed", "Ratio", "Method", "CRC",
                "Time (UTC)", "Name");
    MemberHeader h;
    uint64_t totalOriginal = 0, totalPacked = 0;
    int members = 0;
    int status = exitOk;
    for (;;) {
        long headerStart = std::ftell(context.archiveFile);
        HeaderStatus hs = readMemberHeader(context, h);
        if (hs == HeaderStatus::end) break;
        if (hs == HeaderStatus::damaged || hs == HeaderStatus::unknownLayout) {
            std::fprintf(stderr, "nivosfx: %s: damaged header at offset %ld\n", printableText(path).c_str(),
                         headerStart);
            status = exitProblems;
            break;
        }
        long dataStart = std::ftell(context.archiveFile);
        std::string name = hs == HeaderStatus::nameTooLong ? "(name too long)" : printableName(h.name);
        char ratio[16] = "-";
        if (h.originalSize)
            std::snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * static_cast<double>(h.compressedSize) / static_cast<double>(h.originalSize));
        char crc[8] = "-";
        if (h.hasDataCrc) std::snprintf(crc, sizeof crc, "%04X", h.dataCrc);
        std::string method = printableName(std::string(h.method, 5).c_str());
        std::printf("%10llu %10llu %6s %-6s %4s  %-19s  %s\n", static_cast<unsigned long long>(h.originalSize),
                    static_cast<unsigned long long>(h.compressedSize), ratio,
                    method.c_str(), crc, timeText(h).c_str(), name.c_str());
        totalOriginal += h.originalSize;
        totalPacked += h.compressedSize;
        ++members;
        if (std::fseek(context.archiveFile, dataStart + static_cast<long>(h.compressedSize), SEEK_SET) != 0) {
            status = exitProblems;
            break;
        }
    }
    std::printf("%d members, %llu bytes, %llu packed\n", members,
                static_cast<unsigned long long>(totalOriginal), static_cast<unsigned long long>(totalPacked));
    return status;
}

}  // namespace nivo::cli
