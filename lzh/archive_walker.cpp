#include "lzh/archive_walker.h"

#include <cstdio>
#include <cstring>

#include "common/sjis_text.h"

namespace nivo {

ArchiveWalker::ArchiveWalker(ArchiveSource& s) : source(s) {
    FILE* f = s.archiveFile;
    nextHeader = platform::tellFile(f);
    const platform::FileOffset end = platform::seekEnd(f);
    if (end >= 0) s.archiveEnd = end;
}

HeaderStatus ArchiveWalker::next(MemberHeader& header) {
    FILE* f = source.archiveFile;
    if (nextHeader < 0 || !platform::seekFile(f, nextHeader)) return HeaderStatus::end;
    headerStart = nextHeader;
    nextHeader = -1;
    HeaderStatus status = readMemberHeader(f, header);
    if (status != HeaderStatus::member && status != HeaderStatus::nameTooLong) return status;
    dataStart = platform::tellFile(f);
    // A member that reaches the end of the file is the last one; compared before adding, the
    // offset of the next header cannot overflow.
    const auto left = static_cast<uint64_t>(source.archiveEnd - dataStart);
    endsInside = header.compressedSize > left;
    if (header.compressedSize < left) nextHeader = dataStart + static_cast<platform::FileOffset>(header.compressedSize);
    return status;
}

void offsetName(char* out, size_t capacity, const char* what, platform::FileOffset offset) {
    // " at offset N)", written from its end backwards.
    static const char at[] = " at offset ";
    char tail[32];
    char* p = tail + sizeof tail;
    *--p = '\0';
    *--p = ')';
    // The offset in 32-bit halves: the Windows program has no 64-bit division.
    auto high = static_cast<uint32_t>(static_cast<uint64_t>(offset) >> 32);
    auto low = static_cast<uint32_t>(offset);
    do {
        // (high * 2^32 + low) / 10, sixteen bits of low at a time.
        uint32_t rest = high % 10;
        high /= 10;
        const uint32_t upper = rest << 16 | low >> 16;
        rest = upper % 10;
        const uint32_t lower = rest << 16 | (low & 0xFFFF);
        low = (upper / 10) << 16 | lower / 10;
        *--p = static_cast<char>('0' + lower % 10);
    } while (high | low);
    p -= sizeof at - 1;
    std::memcpy(p, at, sizeof at - 1);
    copyText(out, capacity, "(");
    appendText(out, capacity, what);
    appendText(out, capacity, p);
}

void overlongMemberName(char* out, const MemberHeader& header, platform::FileOffset headerStart) {
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
