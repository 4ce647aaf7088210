// -lzs- and -lz5-: plain sliding-dictionary methods, without Huffman coding. A match names an
// absolute dictionary position and a length.
//
// -lzs- (2 KB dictionary) is a bit stream, most significant bit first. Each item is
//   1 bit 1, 8 bits               a literal byte
//   1 bit 0, 11 bits, 4 bits      a match: position p, length minus 2 (2 to 17)
//
// -lz5- (4 KB dictionary) is a byte stream in groups of eight items. A flag byte leads each
// group; its bit 0 belongs to the first item, bit 7 to the eighth: 1 is a literal (one byte), 0
// a match (two bytes: the low 8 bits of p; then the high 4 bits of p over the length minus 3,
// 3 to 18).
//
// The encoders number the dictionary so that the member's first byte lands at position 2031
// (-lzs-) or 4078 (-lz5-): position p names the byte at p+17 or p+18 as the decoder counts,
// modulo the dictionary size. -lz5- starts from a dictionary with fixed contents: runs of every
// byte value, both byte ramps, zeros and spaces.
#include "decode/methods.h"
#include "decode/symbol_loop.h"

namespace nivo {

namespace {

// The distance back (less one) from the byte at dictionary position here to the byte that a
// match's position names. here may be any count of bytes produced, as the mask takes it modulo
// the dictionary.
inline uint32_t lzsDistance(uint32_t here, uint32_t position) {
    return (here - position - 18) & 0x7FF;
}

inline uint32_t lz5Distance(uint32_t here, uint32_t position) {
    return (here - position - 19) & 0xFFF;
}

}  // namespace

void decodeInitLzs(DecoderState& s) {
    startBitReader(s);
}

uint16_t decodeSymbolLzs(DecoderState& s) {
    // A whole item is at most 16 bits: look at them once.
    const uint32_t item = peekBits(s, 16);
    if (item & 0x8000) {
        skipBits(s, 9);
        return static_cast<uint16_t>((item >> 7) & 0xFF);
    }
    s.sliding.matchPosition = (item >> 4) & 0x7FF;
    skipBits(s, 16);
    return static_cast<uint16_t>(256 + (item & 0xF));
}

uint32_t decodeDistanceLzs(DecoderState& s) {
    return lzsDistance(s.dictPos, s.sliding.matchPosition);
}

void decodeInitLz5(DecoderState& s) {
    s.sliding.flagCount = 0;
    uint8_t* d = s.dictionary;  // 4096 bytes, filled with spaces by the caller
    std::memset(d, 0x00, 18);
    for (uint32_t v = 0; v < 256; ++v) std::memset(d + 18 + 13 * v, static_cast<int>(v), 13);
    for (uint32_t v = 0; v < 256; ++v) d[3346 + v] = static_cast<uint8_t>(v);
    for (uint32_t v = 0; v < 256; ++v) d[3602 + v] = static_cast<uint8_t>(255 - v);
    std::memset(d + 3858, 0x00, 128);
    std::memset(d + 3986, 0x20, 110);
}

uint16_t decodeSymbolLz5(DecoderState& s) {
    // Bytes past the member's compressed size come as zeros: nothing beyond it is read.
    SlidingState& z = s.sliding;
    if (z.flagCount == 0) {
        z.flagCount = 8;
        z.flagByte = static_cast<int32_t>(readInputByte(s));
    }
    --z.flagCount;
    uint32_t c = readInputByte(s);
    if ((z.flagByte & 1) == 0) {
        const uint32_t b = readInputByte(s);
        z.matchPosition = c + ((b & 0xF0) << 4);
        c = (b & 0x0F) + 256;
    }
    z.flagByte >>= 1;
    return static_cast<uint16_t>(c);
}

uint32_t decodeDistanceLz5(DecoderState& s) {
    return lz5Distance(s.dictPos, s.sliding.matchPosition);
}

// The wide form's fast loops. Both stop where the checking operations take over: with fewer
// bytes buffered than the longest item needs.
#ifndef NIVO_COMPACT_DECODER
namespace {

// -lzs-: a refill gives at least 56 bits, three items of at most 16.
uint8_t* fastItemsLzs(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    BitWindow w(s);
    const uint8_t* const inLast = s.inputBuffer + s.inputEnd - BitWindow::refillBytes;
    // The dictionary position of out is the count of bytes produced before it.
    const uint8_t* const start = out;
    const uint32_t count = s.decodedCount;
    while (out < outLimit && w.in <= inLast) {
        w.refill();
        for (int k = 0; k < 3 && out < outLimit; ++k) {
            const uint32_t item = w.peekBits(16);
            if (item & 0x8000) {
                w.skipBits(9);
                *out++ = static_cast<uint8_t>(item >> 7);
            } else {
                w.skipBits(16);
                const uint32_t here = count + static_cast<uint32_t>(out - start);
                out = copyMatch<false>(out, lzsDistance(here, (item >> 4) & 0x7FF) + 1, (item & 0xF) + 2);
            }
        }
    }
    w.store(s);
    return out;
}

// -lz5-: an item takes at most three bytes, a flag byte and a match.
constexpr uint32_t lz5ItemBytes = 3;

uint8_t* fastItemsLz5(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    SlidingState& z = s.sliding;
    const uint8_t* in = s.inputBuffer + s.inputPos;
    const uint8_t* const inLast = s.inputBuffer + s.inputEnd - lz5ItemBytes;
    const uint8_t* const start = out;
    const uint32_t count = s.decodedCount;
    int32_t flagCount = z.flagCount;
    uint32_t flags = static_cast<uint32_t>(z.flagByte);
    while (out < outLimit && in <= inLast) {
        if (flagCount == 0) {
            flagCount = 8;
            flags = *in++;
        }
        --flagCount;
        if (flags & 1) {
            *out++ = *in++;
        } else {
            const uint32_t position = in[0] | (in[1] & 0xF0u) << 4;
            const uint32_t length = (in[1] & 0x0Fu) + 3;
            in += 2;
            const uint32_t here = count + static_cast<uint32_t>(out - start);
            out = copyMatch<false>(out, lz5Distance(here, position) + 1, length);
        }
        flags >>= 1;
    }
    z.flagCount = flagCount;
    z.flagByte = static_cast<int32_t>(flags);
    const auto used = static_cast<uint32_t>(in - (s.inputBuffer + s.inputPos));
    s.inputPos += used;
    s.compressedLeft -= used;
    return out;
}

}  // namespace

uint8_t* decodeStretchLzs(DecoderState& s, uint8_t* out, uint8_t* outLimit) {
    return decodeStretchWide(s, fastItemsLzs, BitWindow::refillBytes, {decodeSymbolLzs, decodeDistanceLzs, 254},
                             out, outLimit);
}

uint8_t* decodeStretchLz5(DecoderState& s, uint8_t* out, uint8_t* outLimit) {
    return decodeStretchWide(s, fastItemsLz5, lz5ItemBytes, {decodeSymbolLz5, decodeDistanceLz5, 253}, out,
                             outLimit);
}
#endif

}  // namespace nivo
