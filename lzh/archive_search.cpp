// The search reads the file in blocks and looks at every "-l" that has a "-" three bytes
// further on: a method identifier, which stands two bytes into a header. Code and texts of the
// other maker's program hold such identifiers too, so a candidate is trusted only once its
// whole header has passed the checks that each header level offers.
//
// A program may carry small archives of its own (its usage text, say) in front of the payload.
// The payload is the archive that runs to the end of the file: its end mark or its last
// member's data is the file's end, or only a signature follows it.
#include "lzh/archive_search.h"

#include <cstdlib>
#include <cstring>

#include "lzh/archive_walker.h"
#include "lzh/member_header.h"

namespace nivo {

namespace {

constexpr uint32_t blockSize = 1u << 16;

}  // namespace

bool isTrustedHeader(ArchiveSource& source, long offset, long fileEnd) {
    if (offset < 0 || std::fseek(source.archiveFile, offset, SEEK_SET) != 0) return false;
    ArchiveWalker walk(source);
    MemberHeader header;
    if (walk.next(header) != HeaderStatus::member) return false;
    if (header.level > 3 || methodIndex(header) < 0 || !header.headerIntact) return false;
    if (header.compressedSize > static_cast<unsigned long>(fileEnd - walk.dataStart)) return false;
    if (!header.name[0]) return false;
    for (const char* p = header.name; *p; ++p)
        if (static_cast<uint8_t>(*p) < 0x20 || *p == 0x7F) return false;
    return true;
}

namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Where the archive that starts at offset ends (behind its end mark, or behind its last
// member's data), or -1 when a header of it cannot be read or a member runs past the file.
// reached is where its last whole member ends: the headers before it are its own.
long archiveEndFrom(ArchiveSource& source, long offset, long fileEnd, long& reached) {
    FILE* f = source.archiveFile;
    reached = offset;
    if (std::fseek(f, offset, SEEK_SET) != 0) return -1;
    ArchiveWalker walk(source);
    MemberHeader header;
    for (;;) {
        const HeaderStatus status = walk.next(header);
        if (status == HeaderStatus::end) break;
        if ((status != HeaderStatus::member && status != HeaderStatus::nameTooLong) || walk.endsInside) return -1;
        reached = static_cast<long>(walk.dataStart + static_cast<platform::FileOffset>(header.compressedSize));
    }
    // The walk ended at the end of the file or at an end mark, a 0 byte.
    return reached < fileEnd ? reached + 1 : reached;
}

// Whether the bytes from end to fileEnd are nothing or a signature: up to 7 zero bytes to an
// 8-byte boundary, then one certificate entry (its length, revision 1 or 2, a type) filling
// the rest but for up to 7 bytes of padding.
bool onlySignatureBehind(FILE* f, long end, long fileEnd) {
    if (end == fileEnd) return true;
    uint8_t head[16];
    const long rest = fileEnd - end;
    const size_t n = static_cast<size_t>(rest < 16 ? rest : 16);
    if (std::fseek(f, end, SEEK_SET) != 0 || std::fread(head, 1, n, f) != n) return false;
    size_t zeros = 0;
    while (zeros < n && zeros < 7 && head[zeros] == 0) ++zeros;
    if (zeros == static_cast<size_t>(rest)) return true;
    if (n - zeros < 8) return false;
    const uint32_t length = le32(head + zeros);
    const uint32_t revision = head[zeros + 4] | head[zeros + 5] << 8;
    const long left = rest - static_cast<long>(zeros);
    return (revision == 0x0100 || revision == 0x0200) && length >= 8 && length <= static_cast<unsigned long>(left) &&
           left - static_cast<long>(length) < 8;
}

// The offset of the first trusted header at or after from, or -1.
long nextTrustedHeader(ArchiveSource& source, long from, long fileEnd) {
    FILE* f = source.archiveFile;
    auto* block = static_cast<uint8_t*>(std::malloc(blockSize));
    if (!block) return -1;
    long found = -1;
    // Blocks overlap by 4 bytes, so that an identifier across a block's end is seen whole.
    for (long at = from; found < 0 && at + 21 <= fileEnd; at += blockSize - 4) {
        if (std::fseek(f, at, SEEK_SET) != 0) break;
        const size_t got = std::fread(block, 1, blockSize, f);
        if (got < 5) break;
        for (size_t i = 0; i + 5 <= got; ++i) {
            const auto* dash = static_cast<const uint8_t*>(std::memchr(block + i, '-', got - 4 - i));
            if (!dash) break;
            i = static_cast<size_t>(dash - block);
            const long start = at + static_cast<long>(i) - 2;
            if (hasMethodShape(dash) && start >= from && isTrustedHeader(source, start, fileEnd)) {
                found = start;
                break;
            }
        }
        if (got < blockSize) break;
    }
    std::free(block);
    return found;
}

}  // namespace

std::optional<FoundArchive> findArchive(ArchiveSource& source, long from) {
    FILE* f = source.archiveFile;
    if (std::fseek(f, 0, SEEK_END) != 0) return std::nullopt;
    const long fileEnd = std::ftell(f);
    if (fileEnd < 0) return std::nullopt;
    const long first = nextTrustedHeader(source, from, fileEnd);
    if (first < 0) return std::nullopt;
    // Each archive is walked once: the search goes on behind the members it holds.
    long reached = first;
    for (long at = first; at >= 0; at = nextTrustedHeader(source, reached > at ? reached : at + 1, fileEnd)) {
        const long end = archiveEndFrom(source, at, fileEnd, reached);
        if (end >= 0 && onlySignatureBehind(f, end, fileEnd)) {
            FoundArchive found{at, std::nullopt};
            if (at != first) found.passedOver = first;
            return found;
        }
    }
    // No archive runs to the end (the file is cut short, or damaged): the first one.
    return FoundArchive{first, std::nullopt};
}

}  // namespace nivo
