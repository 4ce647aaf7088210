#include "cli/list_command.h"

#include <climits>
#include <cstdio>
#include <ctime>

#include "lzh/archive_walker.h"
#include "common/sjis_text.h"
#include "extract/extraction_run.h"
#include "cli/setup_session.h"
#include "cli/terminal_front_end.h"
#include "platform/posix_names.h"

namespace nivo::cli {

namespace {

std::string timeText(const MemberHeader& h, const char* format) {
    time_t t = static_cast<time_t>(h.modifiedTime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

bool isFolder(const MemberHeader& h) {
    return methodIndex(h) == methodFolder;
}

// A JSON string: UTF-8 as it is, with quotes, backslashes and control characters escaped.
std::string jsonString(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || b == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", b);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonOption(uint8_t byte) {
    return std::string("{\"offered\": ") + (byte & optionOffered ? "true" : "false") + ", \"chosen\": " +
           (byte & optionChosen ? "true" : "false") + "}";
}

void printSettingsJson(const SetupSettings& s) {
    if (!s.present) {
        std::printf("  \"settings\": null,\n");
        return;
    }
    std::printf("  \"settings\": {\n");
    std::printf("    \"title\": %s,\n", jsonString(cp932ToUtf8(s.title)).c_str());
    std::printf("    \"destination\": %s,\n", jsonString(cp932ToUtf8(s.destination)).c_str());
    std::printf("    \"programFiles\": %s,\n", s.programFilesFlag ? "true" : "false");
    std::printf("    \"shortcutTarget\": %s,\n", jsonString(cp932ToUtf8(s.shortcutTarget)).c_str());
    std::printf("    \"startMenu\": %s,\n", jsonOption(s.startMenuOption).c_str());
    std::printf("    \"desktop\": %s,\n", jsonOption(s.desktopOption).c_str());
    std::printf("    \"sendTo\": %s,\n", jsonOption(s.sendToOption).c_str());
    std::printf("    \"open\": %s\n", jsonString(cp932ToUtf8(s.launchCommand)).c_str());
    std::printf("  },\n");
}

void printMemberJson(const MemberHeader& h, const std::string& name, bool first) {
    std::string method = cp932ToUtf8(std::string(h.method, 5).c_str());
    std::printf("%s    {\"name\": %s, \"size\": %llu, \"packedSize\": %llu, \"method\": %s, ", first ? "" : ",\n",
                jsonString(name).c_str(), static_cast<unsigned long long>(h.originalSize),
                static_cast<unsigned long long>(h.compressedSize), jsonString(method).c_str());
    if (h.hasDataCrc)
        std::printf("\"crc\": \"%04X\", ", h.dataCrc);
    else
        std::printf("\"crc\": null, ");
    if (h.hasModifiedTime)
        std::printf("\"time\": \"%s\", ", timeText(h, "%Y-%m-%dT%H:%M:%SZ").c_str());
    else
        std::printf("\"time\": null, ");
    std::printf("\"folder\": %s", isFolder(h) && !h.linkTarget ? "true" : "false");
    if (const char* target = linkTargetOf(h)) std::printf(", \"link\": %s", jsonString(cp932ToUtf8(target)).c_str());
    std::printf("}");
}

void printSettingsText(const SetupSettings& s) {
    if (!s.present) return;
    std::string destination = printableName(s.destination);
    std::printf("Title:            %s\n", printableName(s.title[0] ? s.title : defaultTitle).c_str());
    std::printf("Destination:      %s%s\n", destination.c_str(), s.programFilesFlag ? " (under Program Files)" : "");
    for (const SetupOptionLine& line : setupOptionLines(s))
        std::printf("%-18s%s\n", (std::string(line.label) + ":").c_str(), line.value.c_str());
    std::printf("Shortcut target:  %s\n", s.shortcutTarget[0] ? printableName(s.shortcutTarget).c_str() : "-");
    std::printf("File to open:     %s\n\n", s.launchCommand[0] ? printableName(s.launchCommand).c_str() : "-");
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
        case 0x44: return "UTF-16 file name";
        case 0x45: return "UTF-16 directory";
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
    if (h.hasUnixArea) {
        std::snprintf(part, sizeof part, "; Unix area: mode %04o", h.unixMode & 07777);
        s += part;
    }
    if (h.shortHeaderSize) s += "; header size stated 2 bytes short";
    return s;
}

}  // namespace

int listMembers(ExtractionContext& context, const Options& o, const SetupSettings& settings,
                MemberSelection& selection) {
    if (o.json) {
        std::printf("{\n  \"format\": 1,\n  \"file\": %s,\n", jsonString(o.file).c_str());
        printSettingsJson(settings);
        std::printf("  \"members\": [\n");
    } else {
        printSettingsText(settings);
        std::printf("%10s %10s %6s %-6s %4s  %-19s  %s\n", "Original", "Packed", "Ratio", "Method", "CRC",
                    "Time (UTC)", "Name");
    }
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
                         problemText(headerProblem(hs)));
            status = exitProblems;
            break;
        }
        if (hs == HeaderStatus::nameTooLong) overlongMemberName(shown, h, walk.headerStart);
        else copyText(shown, sizeof shown, shownName(h.name));
        std::string name = cp932ToUtf8(shown);
        if (hs == HeaderStatus::nameTooLong || selection.includes(cp932ToUtf8(h.name))) {
            if (o.json) {
                printMemberJson(h, name, members == 0);
            } else {
                char ratio[16] = "-";
                if (h.originalSize)
                    std::snprintf(ratio, sizeof ratio, "%5.1f%%",
                                  100.0 * static_cast<double>(h.compressedSize) / static_cast<double>(h.originalSize));
                char crc[8] = "-";
                if (h.hasDataCrc) std::snprintf(crc, sizeof crc, "%04X", h.dataCrc);
                std::string method = printableName(std::string(h.method, 5).c_str());
                if (const char* target = linkTargetOf(h)) name += " -> " + cp932ToUtf8(target);
                std::printf("%10llu %10llu %6s %-6s %4s  %-19s  %s\n",
                            static_cast<unsigned long long>(h.originalSize),
                            static_cast<unsigned long long>(h.compressedSize), ratio, method.c_str(), crc, h.hasModifiedTime ? timeText(h, "%Y-%m-%d %H:%M:%S").c_str() : "-",
                            printableText(name).c_str());
                if (o.verbosity == Verbosity::verbose) std::printf("%10s %s\n", "", headerDetails(h).c_str());
            }
            totalOriginal += h.originalSize;
            totalPacked += h.compressedSize;
            ++members;
            if (walk.endsInside) {
                std::fprintf(stderr, "nivosfx: %s: %s\n", printableText(name).c_str(), problemText(Problem::truncated));
                status = exitProblems;
            }
        }
    }
    if (o.json) {
        std::printf("%s  ],\n  \"complete\": %s\n}\n", members ? "\n" : "", status == exitOk ? "true" : "false");
    } else {
        std::printf("%d members, %llu bytes, %llu packed\n", members,
                    static_cast<unsigned long long>(totalOriginal), static_cast<unsigned long long>(totalPacked));
    }
    return status;
}

}  // namespace nivo::cli
