#include "archive/archive_walker.h"

#include <cstdio>
#include <cstring>

#include "extract/path_helpers.h"

namespace nivo {

ArchiveWalker::ArchiveWalker(ExtractionContext& c) : context(c) {
    FILE* f = c.archiveFile;
    nextHeader = std::ftell(f);
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        if (end >= 0) c.archiveEnd = end;
    }
}

HeaderStatus ArchiveWalker::next(MemberHeader& header) {
    FILE* f = context.archiveFile;
    if (nextHeader < 0 || std::fseek(f, nextHeader, SEEK_SET) != 0) return HeaderStatus::end;
    headerStart = nextHeader;
    nextHeader = -1;
    HeaderStatus status = readMemberHeader(context, header);
    if (status != HeaderStatus::member && status != HeaderStatus::nameTooLong) return status;
    dataStart = std::ftell(f);
    // A member that reaches the end of the file is the last one; compared before adding, the
    // offset of the next header cannot overflow.
    const auto left = static_cast<unsigned long>(context.archiveEnd - dataStart);
    endsInside = header.compressedSize > left;
    if (header.compressedSize < left) nextHeader = dataStart + static_cast<long>(header.compressedSize);
    return status;
}

void offsetName(char* out, size_t capacity, const char* what, long offset) {
    // " at offset N)", written from its end backwards.
    static const char at[] = " at offset ";
    char tail[32];
    char* p = tail + sizeof tail;
    *--p = '\0';
    *--p = ')';
    auto v = static_cast<unsigned long>(offset);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    p -= sizeof at - 1;
    std::memcpy(p, at, sizeof at - 1);
    copyText(out, capacity, "(");
    appendText(out, capacity, what);
    appendText(out, capacity, p);
}

void overlongMemberName(char* out, const MemberHeader& header, long headerStart) {
    constexpr size_t shown = 40;
    size_t n = 0;
    // Whole characters only: a lead byte takes its second byte along.
    const auto* name = reinterpret_cast<const uint8_t*>(header.name);
    while (name[n] && n < shown) n += isLeadByte(name[n]) && name[n + 1] ? 2 : 1;
    std::memcpy(out, header.name, n);
    std::memcpy(out + n, "\x81\x63 ", 3);  // "…" in code page 932
    offsetName(out + n + 3, pathBufferSize - n - 3, "member", headerStart);
}

}  // namespace nivo
