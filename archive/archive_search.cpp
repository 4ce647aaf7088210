// The search reads the file in blocks and looks at every "-l" that has a "-" three bytes
// further on: a method identifier, which stands two bytes into a header. Code and texts of the
// other maker's program hold such identifiers too, so a candidate is trusted only once its
// whole header has passed the checks that each header level offers.
#include "archive/archive_search.h"

#include <cstdlib>
#include <cstring>

#include "archive/member_header.h"
#include "decode/crc16.h"

namespace nivo {

namespace {

constexpr uint32_t blockSize = 1u << 16;

// The level-2 and level-3 header CRC: CRC-16 of the whole header with its own field zero.
bool headerCrcHolds(FILE* f, long offset, long end, uint32_t crcAt) {
    const auto length = static_cast<size_t>(end - offset);
    if (crcAt + 2 > length) return false;
    auto* bytes = static_cast<uint8_t*>(std::malloc(length));
    if (!bytes) return false;
    bool holds = std::fseek(f, offset, SEEK_SET) == 0 && std::fread(bytes, 1, length, f) == length;
    if (holds) {
        const uint16_t stored = static_cast<uint16_t>(bytes[crcAt] | bytes[crcAt + 1] << 8);
        bytes[crcAt] = bytes[crcAt + 1] = 0;
        makeCrcTable();
        holds = updateCrc(0, bytes, static_cast<uint32_t>(length)) == stored;
    }
    std::free(bytes);
    return holds;
}

bool knownMethod(const uint8_t* id) {
    MemberHeader h;
    std::memcpy(h.method, id, 5);
    return methodIndex(h) >= 0;
}

class QuietFrontEnd final : public FrontEnd {};

}  // namespace

bool isTrustedHeader(ExtractionContext& context, long offset, long fileEnd) {
    FILE* f = context.archiveFile;
    uint8_t base[257];
    if (offset < 0 || std::fseek(f, offset, SEEK_SET) != 0 || std::fread(base, 1, 21, f) != 21) return false;
    const uint8_t level = base[20];
    if (level > 3 || !knownMethod(base + 2)) return false;
    if (level < 2) {
        // The checksum: the sum of the base header's bytes behind the first two.
        const uint32_t size = base[0];
        if (size < 20 || std::fread(base + 21, 1, size - 19, f) != size - 19) return false;
        uint8_t sum = 0;
        for (uint32_t i = 2; i < size + 2; ++i) sum = static_cast<uint8_t>(sum + base[i]);
        if (sum != base[1]) return false;
    }

    MemberHeader header;
    FrontEnd* frontEnd = context.frontEnd;
    QuietFrontEnd quiet;  // a candidate of an unknown layout is no "Unknown header" to report
    context.frontEnd = &quiet;
    std::fseek(f, offset, SEEK_SET);
    const HeaderStatus status = readMemberHeader(context, header);
    context.frontEnd = frontEnd;
    const long dataStart = std::ftell(f);
    if (status != HeaderStatus::member || dataStart < 0) return false;
    if (header.compressedSize > static_cast<unsigned long>(fileEnd - dataStart)) return false;
    if (!header.name[0]) return false;
    for (const char* p = header.name; *p; ++p)
        if (static_cast<uint8_t>(*p) < 0x20 || *p == 0x7F) return false;
    return header.headerCrcAt == 0 || headerCrcHolds(f, offset, dataStart, header.headerCrcAt);
}

long findArchive(ExtractionContext& context, long from) {
    FILE* f = context.archiveFile;
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    const long fileEnd = std::ftell(f);
    auto* block = static_cast<uint8_t*>(std::malloc(blockSize));
    if (!block || fileEnd < 0) {
        std::free(block);
        return -1;
    }
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
            if (dash[1] == 'l' && dash[4] == '-' && start >= from && isTrustedHeader(context, start, fileEnd)) {
                found = start;
                break;
            }
        }
        if (got < blockSize) break;
    }
    std::free(block);
    return found;
}

}  // namespace nivo
