// nivosfx: lists, tests and extracts self-extracting files and plain LZH archives.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "archive/extraction_context.h"
#include "archive/member_header.h"
#include "platform/posix_names.h"
#include "setup/settings_block.h"

namespace {

using namespace nivo;

constexpr int exitOk = 0;
constexpr int exitProblems = 2;
constexpr int exitUnreadable = 9;
constexpr int exitUsage = 10;

const char usageText[] =
    "usage: nivosfx COMMAND FILE [options]\n"
    "\n"
    "FILE is a self-extracting file (it begins with \"MZ\") or a plain LZH archive.\n"
    "\n"
    "commands:\n"
    "  l FILE    list the members: name, sizes, ratio, method, CRC and time\n"
    "\n"
    "exit codes: 0 success, 2 the run had problems (damaged data, a member not\n"
    "extracted), 9 FILE cannot be read, 10 bad usage\n";

// Opens FILE and positions it at the archive: behind the settings block of a self-extracting
// file, or at offset 0 of a plain archive.
bool openArchive(ExtractionContext& context, const char* path, SetupSettings& settings) {
    context.archiveFile = std::fopen(path, "rb");
    if (!context.archiveFile) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    char magic[2] = {};
    if (std::fread(magic, 1, 2, context.archiveFile) == 2 && magic[0] == 'M' && magic[1] == 'Z') {
        if (std::fseek(context.archiveFile, imageSize, SEEK_SET) != 0 ||
            !readSettingsBlock(context, settings)) {
            std::fprintf(stderr, "nivosfx: %s: the settings block is cut short\n", path);
            return false;
        }
        return true;
    }
    return std::fseek(context.archiveFile, 0, SEEK_SET) == 0;
}

std::string timeText(const MemberHeader& h) {
    if (!h.hasModifiedTime) return "-";
    time_t t = static_cast<time_t>(h.modifiedTime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

int listMembers(ExtractionContext& context, const char* path) {
    std::printf("%-40s %10s %10s %6s %-5s %4s  %s\n", "Name", "Original", "Packed", "Ratio", "Method",
                "CRC", "Time (UTC)");
    MemberHeader h;
    uint64_t totalOriginal = 0, totalPacked = 0;
    int members = 0;
    int status = exitOk;
    for (;;) {
        HeaderStatus hs = readMemberHeader(context, h);
        if (hs == HeaderStatus::end) break;
        if (hs == HeaderStatus::damaged || hs == HeaderStatus::unknownLayout) {
            std::fprintf(stderr, "nivosfx: %s: damaged header after %d members\n", path, members);
            status = exitProblems;
            break;
        }
        long dataStart = std::ftell(context.archiveFile);
        std::string name = hs == HeaderStatus::nameTooLong ? "(name too long)" : printableName(h.name);
        char ratio[16] = "-";
        if (h.originalSize)
            std::snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * h.compressedSize / h.originalSize);
        char crc[8] = "-";
        if (h.hasDataCrc) std::snprintf(crc, sizeof crc, "%04X", h.dataCrc);
        std::printf("%-40s %10u %10u %6s %.5s  %4s  %s\n", name.c_str(), h.originalSize,
                    h.compressedSize, ratio, h.method, crc, timeText(h).c_str());
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

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(usageText, stdout);
        return exitOk;
    }
    if (argc != 3 || std::strcmp(argv[1], "l") != 0) {
        std::fputs(usageText, stderr);
        return exitUsage;
    }
    ExtractionContext context;
    SetupSettings settings;
    if (!openArchive(context, argv[2], settings)) return exitUnreadable;
    return listMembers(context, argv[2]);
}
