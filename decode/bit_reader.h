// The compressed input of one member and the bit reader over it.
//
// Bytes come from a bounded buffer, refilled from the archive stream as the decoder goes, or
// from the member's bytes in memory. Bits are taken most significant first from a 64-bit
// buffer: the next bit to be read is bit 63. Past the member's end the input gives zero bits
// without end; those bytes are counted, so that a decoder running far on them can be told from
// one that only looks ahead.
//
// Two ways in, one set of names. The operations on BitReader check and refill as they go;
// BitWindow copies the hot fields into locals for loops that decode many codes at a time, and
// refills from memory without a branch.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/sizes.h"

namespace nivo {

// The Windows program is built with the compact form of the decoding loops (smaller code, same
// results); everything else with the wide one.
#ifdef NIVO_COMPACT_DECODER
constexpr bool compactDecoder = true;
#else
constexpr bool compactDecoder = false;
#endif

// Size of the input buffer: the whole compressed member is never read into memory at once.
constexpr uint32_t inputBufferCapacity = 256 * 1024;
// The smaller buffer tried when that one cannot be had.
constexpr uint32_t fallbackInputBufferSize = 16384;

struct BitReader {
    // inputBuffer[inputPos, inputEnd) holds bytes not yet handed out; compressedLeft counts the
    // member's bytes not yet handed out, buffered or still in the stream.
    FILE* inputStream;
    uint8_t* inputBuffer;
    uint32_t inputBufferSize;
    uint32_t inputPos;
    uint32_t inputEnd;
    MemberSize compressedLeft;
    bool truncated;     // the file ended before the member's compressed size; zeros follow
    uint32_t padBytes;  // zero bytes handed out past the member's end

    // The next bits of the stream, most significant first; bitCount of them are valid and
    // the bits below are zero or the true bits that follow.
    uint64_t bitBuffer;
    uint32_t bitCount;
};

// Moves the unread bytes to the front of the buffer and reads more of the member behind them.
// False when nothing could be added: the member has no bytes left in the stream, or the file
// ends (truncated is then set, and the member's data ends where the file does).
bool refillInput(BitReader& r);

// The member's next compressed byte, or 0 past its end.
inline uint32_t readInputByte(BitReader& r) {
    if (r.inputPos == r.inputEnd && !refillInput(r)) {
        ++r.padBytes;
        return 0;
    }
    --r.compressedLeft;
    return r.inputBuffer[r.inputPos++];
}

// Bits taken past the member's end: a few are a decoder looking ahead, more mean the data
// does not describe the member it claims to.
// (padBytes * 8 > bitCount + 64: more than 64 bits of zeros consumed past the end.)
inline bool readFarPastEnd(const BitReader& r) {
    return r.padBytes > (r.bitCount >> 3) + 8;
}

// Tops the bit buffer up to 56 to 63 valid bits. Called only when fewer bits are left
// than a code needs, so it lives out of line: one copy, off the hot path.
void fillBitBuffer(BitReader& r);

// Makes sure that at least n bits (at most 56) are in the buffer.
inline void ensureBits(BitReader& r, uint32_t n) {
    if (r.bitCount < n) fillBitBuffer(r);
}

// The next n bits (1 to 32) without consuming them.
inline uint32_t peekBits(BitReader& r, uint32_t n) {
    ensureBits(r, n);
    return static_cast<uint32_t>(r.bitBuffer >> (64 - n));
}

// Consumes n bits (0 to 32).
inline void skipBits(BitReader& r, uint32_t n) {
    ensureBits(r, n);
    r.bitBuffer <<= n;
    r.bitCount -= n;
}

// The next n bits (0 to 32) as an unsigned number, consumed. Taking 0 bits gives 0.
inline uint32_t takeBits(BitReader& r, uint32_t n) {
    if (n == 0) return 0;
    uint32_t v = peekBits(r, n);
    r.bitBuffer <<= n;
    r.bitCount -= n;
    return v;
}

// Empties the bit buffer and fills it from the member's first bytes.
inline void startBitReader(BitReader& r) {
    r.bitBuffer = 0;
    r.bitCount = 0;
    fillBitBuffer(r);
}

// The bit reader's hot fields in locals. Made from a BitReader, used while at least
// refillBytes bytes remain buffered at in, and stored back.
struct BitWindow {
    // Bytes a refill may read at in: the refill loads eight at once.
    static constexpr uint32_t refillBytes = 8;

    uint64_t bitBuffer;
    uint32_t bitCount;
    const uint8_t* in;
    const uint8_t* const start;

    explicit BitWindow(const BitReader& r)
        : bitBuffer(r.bitBuffer), bitCount(r.bitCount), in(r.inputBuffer + r.inputPos), start(in) {}

    void store(BitReader& r) const {
        const auto used = static_cast<uint32_t>(in - start);
        r.bitBuffer = bitBuffer;
        r.bitCount = bitCount & 63;
        r.inputPos += used;
        r.compressedLeft -= used;
    }

    // Tops the buffer up to 56 to 63 valid bits with one unaligned load of the next eight
    // bytes. The bits of a partly taken byte land below bitCount and are the true next bits,
    // so the next refill ORs the same values over them. At least eight bytes must be there.
    void refill() {
        uint64_t v;
        std::memcpy(&v, in, 8);
        const uint32_t n = bitCount & 63;
        bitBuffer |= __builtin_bswap64(v) >> n;
        in += (63 - n) >> 3;
        bitCount = n | 56;
    }

    // The same refill with its eight bytes read ahead (loadAhead), right after the refill
    // before: the load waits for no code to be consumed, and the refill itself is a shift and
    // an OR. The bytes at in are the ones a refill here would read, however many bits have
    // been consumed since, as long as no refill came between.
    uint64_t loadAhead() const {
        uint64_t v;
        std::memcpy(&v, in, 8);
        return __builtin_bswap64(v);
    }
    void refillAhead(uint64_t& ahead) {
        const uint32_t n = bitCount & 63;
        bitBuffer |= ahead >> n;
        in += (63 - n) >> 3;
        bitCount = n | 56;
        ahead = loadAhead();
    }

    uint32_t peekBits(uint32_t n) const { return static_cast<uint32_t>(bitBuffer >> (64 - n)); }
    void skipBits(uint32_t n) {
        bitBuffer <<= n;
        bitCount -= n;
    }
    // Consumes the bits that the low six bits of entry count: the whole entry is subtracted
    // from bitCount, whose low six bits stay right (the count is below 64), and the next refill
    // or store takes only those. The count comes straight from a table entry, with no masking
    // between the look-up and the shift.
    void skipEntry(uint32_t entry) {
        bitBuffer <<= (entry & 63);
        bitCount -= entry;
    }
};

}  // namespace nivo
