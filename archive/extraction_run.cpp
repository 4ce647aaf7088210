// The extraction run. The archive is not searched for: it begins where the settings block
// ends, and whatever stands there is read as the first header. Each next header is found by
// seeking from the start of the member's data by its compressed size, whatever the member's
// extraction consumed or read ahead.
#include "archive/extraction_run.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "archive/member_header.h"
#include "decode/crc16.h"
#include "extract/member_extraction.h"
#include "extract/path_helpers.h"

namespace nivo {

namespace {

uint32_t read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// "(what at offset N)": the name under which a problem without a member name is listed. Built
// from its end backwards.
void addProblemAt(ExtractionContext& context, const char* what, long offset, Problem problem) {
    static const char at[] = " at offset ";
    char where[48];
    char* p = where + sizeof where;
    *--p = '\0';
    *--p = ')';
    auto v = static_cast<unsigned long>(offset);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    p -= sizeof at - 1;
    std::memcpy(p, at, sizeof at - 1);
    size_t n = std::strlen(what);  // "header" or "member"
    p -= n;
    std::memcpy(p, what, n);
    *--p = '(';
    context.addProblem(p, problem);
}

}  // namespace

// Reads 21 bytes of each header (the size, the two sizes and the level) and seeks over the
// rest, the member's data included. A level-2 header's length is its 16-bit size; a level-0/1
// header occupies its first byte plus 2, and for level 1 the compressed size already counts
// the extended headers.
uint32_t measureArchive(ExtractionContext& context) {
    FILE* f = context.archiveFile;
    long start = std::ftell(f);
    uint32_t total = 0;
    uint8_t b[21];
    while (std::fread(b, 1, 1, f) == 1 && b[0] != 0) {
        if (std::fread(b + 1, 1, 20, f) != 20) break;
        unsigned long compressed = read32(b + 7);
        total += read32(b + 11);
        unsigned long headerLength = b[20] == 2 ? (b[0] | b[1] << 8) : b[0] + 2;
        // A member that runs past the end of the file is the last one. Checked first, the
        // sum below stays far from overflowing.
        auto rest = static_cast<unsigned long>(context.archiveEnd - std::ftell(f));
        if (compressed >= rest) break;
        unsigned long skip = headerLength + compressed;
        if (skip < 21 || skip - 21 >= rest) break;
        if (std::fseek(f, static_cast<long>(skip - 21), SEEK_CUR) != 0) break;
    }
    std::fseek(f, start, SEEK_SET);
    return total;
}

void extractionRun(ExtractionContext& context) {
    makeCrcTable();
    FILE* f = context.archiveFile;
    // The end of the file bounds every seek and every input buffer.
    long start = std::ftell(f);
    context.archiveEnd = LONG_MAX;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        if (end >= 0) context.archiveEnd = end;
    }
    std::fseek(f, start, SEEK_SET);
    context.run.totalBytes = measureArchive(context);

    MemberHeader header;
    for (;;) {
        long headerStart = std::ftell(f);
        HeaderStatus status = readMemberHeader(context, header);
        if (status == HeaderStatus::end) break;
        if (status == HeaderStatus::damaged || status == HeaderStatus::unknownLayout) {
            addProblemAt(context, "header", headerStart, Problem::damagedHeader);
            break;
        }
        long dataStart = std::ftell(f);
        const int problemsBefore = context.problems.count;
        if (status == HeaderStatus::nameTooLong) {
            // The sizes are known, so the run goes on behind this member.
            addProblemAt(context, "member", headerStart, Problem::nameTooLong);
        } else {
            context.frontEnd->memberName(header.name);
            if (extractMember(context, header) == MemberResult::stop) break;
            notifyShell(context, ShellEvent::memberHandled, header.name);
        }
        context.run.bytesDone += static_cast<uint32_t>(header.originalSize);
        // A member cut short by the end of the file is the last one. Its extraction has
        // listed it when it missed bytes; a member that was whole without them (a decoder that
        // stopped early, a stored size below the compressed size) is listed here, since the
        // archive still ends inside it and whatever followed it is lost.
        const auto left = static_cast<unsigned long>(context.archiveEnd - dataStart);
        if (header.compressedSize > left && context.problems.count == problemsBefore)
            context.addProblem(header.name, Problem::truncated);
        if (header.compressedSize >= left) break;
        if (std::fseek(f, dataStart + static_cast<long>(header.compressedSize), SEEK_SET) != 0) break;
    }
    context.frontEnd->runEnded(context.run.keepRunning.load() == 0);
}

}  // namespace nivo
