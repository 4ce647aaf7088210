#include "cli/list_command.h"

#include <climits>
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

// The operating systems that archivers name in their headers.
const char* osName(uint8_t id) {
    static const struct {
        char id;
        const char* name;
    } names[] = {{'M', "MS-DOS"},  {'2', "OS/2"},     {'9', "OS-9"},       {'K', "OS/68K"},
                 {'3', "OS/386"},  {'H', "Human68K"}, {'U', "Unix"},       {'C', "CP/M"},
                 {'F', "FLEX"},    {'m', "Mac OS"},   {'R', "Runser"},     {'T', "Towns OS"},
                 {'X', "XOSK"},    {'w', "Windows"},  {'W', "Windows NT"}, {'J', "Java"},
                 {'A', "Amiga"}};
    for (const auto& n : names)
        if (n.id == static_cast<char>(id)) return n.name;
    return "unknown";
}

const char* extendedName(unsigned type) {
    switch (type) {
        case 0x00: return "header CRC";
        case 0x01: return "file name";
        case 0x02: return "directory";
        case 0x3F: return "comment";
        case 0x40: return "attribute";
        case 0x41: return "Windows times";
        case 0x42: return "64-bit sizes";
        case 0x50: return "permissions";
        case 0x51: return "group and user id";
        case 0x52: return "group name";
        case 0x53: return "user name";
        case 0x54: return "Unix time";
        default: return nullptr;
    }
}

// "level 2, OS U (Unix), attribute 0x20, extended headers: 0x00 header CRC, 0x01 file name"
std::string headerDetails(const MemberHeader& h) {
    char part[96];
    std::snprintf(part, sizeof part, "level %u, ", h.level);
    std::string s = part;
    if (h.osId >= 0x21 && h.osId < 0x7F)
        std::snprintf(part, sizeof part, "OS %c (%s), ", h.osId, osName(h.osId));
    else
        std::snprintf(part, sizeof part, "OS %s, ", h.osId ? "unknown" : "not given");
    s += part;
    std::snprintf(part, sizeof part, "attribute 0x%02X, extended headers:", h.attribute);
    s += part;
    bool any = false;
    for (unsigned type = 0; type < 256; ++type) {
        if (!hasExtendedType(h, static_cast<uint8_t>(type))) continue;
        const char* name = extendedName(type);
        std::snprintf(part, sizeof part, "%s 0x%02X%s%s", any ? "," : "", type, name ? " " : "", name ? name : "");
        s += part;
        if (type == extUnixMode && h.hasUnixMode) {
            std::snprintf(part, sizeof part, " %04o", h.unixMode & 07777);
            s += part;
        }
        any = true;
    }
    if (!any) s += " none";
    if (h.shortHeaderSize) s += "; header size stated 2 bytes short";
    return s;
}

}  // namespace

int listMembers(ExtractionContext& context, const std::string&, bool verbose) {
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
            std::snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * static_cast<double>(h.compressedSize) / static_cast<double>(h.originalSize));
        char crc[8] = "-";
        if (h.hasDataCrc) std::snprintf(crc, sizeof crc, "%04X", h.dataCrc);
        std::string method = printableName(std::string(h.method, 5).c_str());
        std::printf("%10llu %10llu %6s %-6s %4s  %-19s  %s\n", static_cast<unsigned long long>(h.originalSize),
                    static_cast<unsigned long long>(h.compressedSize), ratio,
                    method.c_str(), crc, timeText(h).c_str(), name.c_str());
        if (verbose) std::printf("%10s %s\n", "", headerDetails(h).c_str());
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
