// -lh4- to -lh7- and -lhx-: static Huffman blocks.
//
// The data is a sequence of blocks. Each block header gives, in stream order:
//   16 bits   the number of symbols in the block (0 stands for 65536)
//   pre-tree  5-bit count, then 3-bit lengths (7 and more: 7 plus a run of 1 bits ended by a 0),
//             with a 2-bit count of zero lengths after the third; a count of 0 is followed by
//             one 5-bit value that every look-up yields
//   symbols   9-bit count, then lengths coded with the pre-tree: 0 is one zero length, 1 a run
//             of 3 to 18 zeros (4 bits), 2 a run of 20 to 531 zeros (9 bits), 3 to 18 the
//             lengths 1 to 16; a count of 0 is followed by one 9-bit symbol
//   positions 4-bit (-lh4-, -lh5-) or 5-bit (-lh6-, -lh7-, -lhx-) count, lengths as for the
//             pre-tree without the zero insertion
// Symbols 0 to 255 are literals, 256 to 509 matches of length 3 to 256. A match is followed by
// its position code j: d = 0 for j = 0, else 2^(j-1) plus j-1 extra bits. The methods differ in
// their dictionary, 2^12 to 2^16 bytes and 2^19 for -lhx-, and in the position codes that
// follow from it: 14 for the small ones, one more than the dictionary's bits for the others.
//
// The symbols of a block are decoded a stretch at a time (decodeBlockSymbols), with the bit
// buffer, the input and the output in locals: one refill from memory per step gives the bits of
// a match and its position code, or of two literals.
#include "decode/huffman_table.h"
#include "decode/methods.h"
#include "lzh/method_facts.h"
#include "decode/output_window.h"
#include "decode/symbol_loop.h"

namespace nivo {

namespace {

constexpr uint32_t symbolCount = 510;
constexpr uint32_t preTreeCount = 19;

}  // namespace

void readPosLengths(DecoderState& s, int alphabetSize, int countWidth, int insertionIndex) {
    StaticHuffmanState& h = s.huff;
    const auto n = static_cast<uint32_t>(alphabetSize);
    const uint32_t count = takeBits(s, static_cast<uint32_t>(countWidth));
    if (count == 0) {
        // A single value: every look-up yields it and consumes no bits.
        uint32_t c = takeBits(s, static_cast<uint32_t>(countWidth));
        if (c >= n) {
            s.damaged = true;
            return;
        }
        for (uint32_t i = 0; i < n; ++i) h.posLen[i] = 0;
        for (uint16_t& e : h.posTable) e = tableEntry(c, 0);
        return;
    }
    uint32_t i = 0;
    while (i < count) {
        uint32_t c = peekBits(s, 3);
        if (c == 7) {
            // 7 and more: a run of 1 bits after the three, ended by a 0 (at most 13 looked at).
            uint32_t window = peekBits(s, 16);
            for (uint32_t mask = 1u << 12; mask && (window & mask); mask >>= 1) ++c;
            skipBits(s, c - 3);
        } else {
            skipBits(s, 3);
        }
        h.posLen[i++] = static_cast<uint8_t>(c);
        if (i == static_cast<uint32_t>(insertionIndex)) {
            for (uint32_t z = takeBits(s, 2); z; --z) h.posLen[i++] = 0;
        }
    }
    // count and the zero insertion stay below 35, inside posLen; lengths for symbols past the
    // alphabet are read and left out of the table.
    for (; i < n; ++i) h.posLen[i] = 0;
    if (!buildTable(h, alphabetSize, h.posLen, 8, h.posTable)) s.damaged = true;
}

void readSymLengths(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    const uint32_t count = takeBits(s, 9);
    if (count == 0) {
        uint32_t c = takeBits(s, 9);
        if (c >= symbolCount) {
            s.damaged = true;
            return;
        }
        for (uint8_t& e : h.symLen) e = 0;
        for (uint16_t& e : h.symTable) e = tableEntry(c, 0);
        return;
    }
    if (count > symbolCount) {
        s.damaged = true;
        return;
    }
    uint32_t i = 0;
    while (i < count) {
        uint32_t c = decodeWithPosTable(s, preTreeCount);
        if (s.damaged) return;
        if (c > 2) {
            h.symLen[i++] = static_cast<uint8_t>(c - 2);
            continue;
        }
        uint32_t run = c == 0 ? 1 : c == 1 ? takeBits(s, 4) + 3 : takeBits(s, 9) + 20;
        if (i + run > symbolCount) {
            s.damaged = true;
            return;
        }
        for (; run; --run) h.symLen[i++] = 0;
    }
    for (; i < symbolCount; ++i) h.symLen[i] = 0;
    if (!buildTable(h, symbolCount, h.symLen, 12, h.symTable)) s.damaged = true;
}

void decodeInitStatic(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    const PositionCode code = positionCodeFor(s.dictBits);
    h.posCodeCount = code.count;
    h.posCodeBits = code.bits;
    startBitReader(s);
    h.blockRemaining = 0;
}

// The block header: the symbol count (0 stands for 65536) and the three codes.
static void readBlockHeader(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    const uint32_t count = takeBits(s, 16);
    h.blockRemaining = count ? count : 0x10000;
    readPosLengths(s, static_cast<int>(preTreeCount), 5, 3);
    if (!s.damaged) readSymLengths(s);
    if (!s.damaged)
        readPosLengths(s, static_cast<int>(h.posCodeCount), static_cast<int>(h.posCodeBits), -1);
}

uint16_t decodeSymbolStatic(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    if (h.blockRemaining == 0) [[unlikely]] {
        readBlockHeader(s);
        if (s.damaged) return 0;
    }
    --h.blockRemaining;
    return static_cast<uint16_t>(decodeWithSymTable(s, symbolCount));
}

uint32_t decodeDistanceStatic(DecoderState& s) {
    ensureBits(s, 16 + 18);  // the longest position code and its extra bits
    const uint32_t j = decodeWithPosTable(s, s.huff.posCodeCount);
    if (j <= 1) return j;
    // j - 1 extra bits, most significant first, below the implied leading 1.
    return (1u << (j - 1)) + takeBits(s, j - 1);
}

// The wide form's stretch: whole stretches of a block's symbols with the state in locals. The
// Windows program, short of room, decodes these methods symbol by symbol instead.
#ifndef NIVO_COMPACT_DECODER
namespace {

struct StaticBlock {
    static constexpr uint32_t symbolCount = nivo::symbolCount;
    static constexpr uint32_t escapeSymbol = 0xFFFF;  // none
    static uint32_t remaining(const StaticHuffmanState& h) { return h.blockRemaining; }
    static void setRemaining(StaticHuffmanState& h, uint32_t n) { h.blockRemaining = n; }
    static uint32_t positionCodes(const StaticHuffmanState& h) { return h.posCodeCount; }
    // Position code j: 0 and 1 are the distances themselves, j - 1 low bits follow the others.
    static constexpr uint32_t distanceOf(uint32_t j, uint32_t length) {
        return j <= 1 ? distanceEntry(j, 0, length) : distanceEntry(1u << (j - 1), j - 1, length);
    }
};

uint8_t* staticItems(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    return decodeBlockSymbols<StaticBlock>(s, out, outLimit);
}

#if defined(__x86_64__) || defined(__i386__)
// The same loop built for processors with BMI2, whose shifts (shlx, shrx) take any register and
// leave the flags alone, and whose bzhi masks the low bits in one step.
[[gnu::target("bmi2")]] uint8_t* staticItemsBmi2(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    return decodeBlockSymbols<StaticBlock>(s, out, outLimit);
}
#else
uint8_t* staticItemsBmi2(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    return staticItems(s, out, outLimit);
}
#endif

}  // namespace

bool processorHasBmi2() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("bmi2");
#else
    return false;
#endif
}

bool staticLoopBmi2 = processorHasBmi2();

uint8_t* decodeStretchStatic(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    return decodeStretchWide(s, staticLoopBmi2 ? staticItemsBmi2 : staticItems, BitWindow::refillBytes,
                             {decodeSymbolStatic, decodeDistanceStatic, 253}, out, outLimit);
}
#endif

}  // namespace nivo
