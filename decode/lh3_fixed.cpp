// -lh3-: static Huffman blocks with 286 symbols; and the fixed position code of -lh1-.
//
// A -lh3- block header gives, in stream order:
//   16 bits    the number of symbols in the block (0 stands for 65536)
//   symbols    for symbols 0 to 285: 1 bit, and when it is 1 four more bits, the length minus
//              one (1 to 16); a 0 bit means the symbol is not in the block. When the first three
//              lengths are all 1, the rest is replaced by one 9-bit symbol that every item of
//              the block is, taking no bits
//   1 bit      1: position lengths follow; 0: the block uses the ready-made position code
//   positions  4 bits for each of the 128 position codes (lengths 0 to 15); when the first
//              three are all 1, the rest is replaced by one 7-bit position code that every
//              match of the block has, taking no bits
// Symbols 0 to 255 are literals, 256 to 284 match lengths 3 to 31, and 285 is followed by 8
// bits e for the length 32+e. A match is followed by its position code j and 6 low bits: the
// distance is 64*j plus those bits.
//
// -lh1- codes its 64 position codes the same way, with a code that never changes. Both
// ready-made codes are given by their lengths alone: a first length, then the codes at which
// the length grows by one bit (a code listed twice grows it by two), ending at the first 0.
#include "decode/methods.h"
#include "decode/symbol_loop.h"
#include "decode/huffman_table.h"

namespace nivo {

namespace {

constexpr uint32_t lh3SymbolCount = 286;
constexpr uint32_t escapeSymbol = 285;

// Row 0: 64 codes of 3 to 8 bits (-lh1-). Row 1: 128 codes of 2 to 9 bits (-lh3-).
constexpr uint8_t readyMadeTables[2][16] = {  // every value fits a byte
    {3, 1, 4, 12, 24, 48, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {2, 1, 1, 3, 6, 13, 31, 78, 0, 0, 0, 0, 0, 0, 0, 0},
};

}  // namespace

void setReadyMadeLengths(DecoderState& s, int row) {
    StaticHuffmanState& h = s.huff;
    const uint8_t* cursor = readyMadeTables[row];
    uint32_t length = *cursor++;
    for (uint32_t i = 0; i < h.tablePosCodeCount; ++i) {
        while (*cursor == i) {
            ++length;
            ++cursor;
        }
        h.posLen[i] = static_cast<uint8_t>(length);
    }
}

void decodeInitFixed(DecoderState& s) {
    s.adaptive.symbolCount = 314;
    s.adaptive.maxMatch = 60;
    startBitReader(s);
    s.huff.tablePosCodeCount = 64;
    startSymbolTree(s);
    setReadyMadeLengths(s, 0);
    if (!buildTable(s.huff, 64, s.huff.posLen, 8, s.huff.posTable)) s.damaged = true;
}

void decodeInitLh3(DecoderState& s) {
    startBitReader(s);
    s.huff.tablePosCodeCount = 128;
    // Every member starts with a block header, whatever the member before left over.
    s.huff.lh3BlockRemaining = 0;
}

void readSymTreeLh3(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    for (uint32_t i = 0; i < lh3SymbolCount; ++i) {
        h.symLen[i] = takeBits(s, 1) ? static_cast<uint8_t>(takeBits(s, 4) + 1) : 0;
        if (i == 2 && h.symLen[0] == 1 && h.symLen[1] == 1 && h.symLen[2] == 1) {
            const uint32_t c = takeBits(s, 9);
            if (c >= lh3SymbolCount) {
                s.damaged = true;  // outside the alphabet: the table would hold a tree node
                return;
            }
            for (uint32_t k = 0; k < lh3SymbolCount; ++k) h.symLen[k] = 0;
            for (uint16_t& e : h.symTable) e = tableEntry(c, 0);
            return;
        }
    }
    if (!buildTable(h, static_cast<int>(lh3SymbolCount), h.symLen, 12, h.symTable)) s.damaged = true;
}

void readPosTreeLh3(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    for (uint32_t i = 0; i < 128; ++i) {
        h.posLen[i] = static_cast<uint8_t>(takeBits(s, 4));
        if (i == 2 && h.posLen[0] == 1 && h.posLen[1] == 1 && h.posLen[2] == 1) {
            const uint32_t c = takeBits(s, 7);
            // All lengths 0: the caller's buildTable leaves this table as it is.
            for (uint32_t k = 0; k < 128; ++k) h.posLen[k] = 0;
            for (uint16_t& e : h.posTable) e = tableEntry(c, 0);
            return;
        }
    }
}

uint16_t decodeSymbolLh3(DecoderState& s) {
    StaticHuffmanState& h = s.huff;
    if (h.lh3BlockRemaining == 0) {
        h.lh3BlockRemaining = static_cast<uint16_t>(takeBits(s, 16));
        readSymTreeLh3(s);
        if (s.damaged) return 0;
        if (takeBits(s, 1)) {
            readPosTreeLh3(s);
            if (s.damaged) return 0;
        } else {
            setReadyMadeLengths(s, 1);
        }
        if (!buildTable(h, 128, h.posLen, 8, h.posTable)) {
            s.damaged = true;
            return 0;
        }
    }
    --h.lh3BlockRemaining;  // a count of 0 wraps: the block has 65536 symbols
    uint32_t j = decodeWithSymTable(s, lh3SymbolCount);
    if (j == escapeSymbol) j += takeBits(s, 8);
    return static_cast<uint16_t>(j);
}

uint32_t decodeDistanceTable(DecoderState& s) {
    const uint32_t j = decodeWithPosTable(s, s.huff.tablePosCodeCount);
    return 64 * j + takeBits(s, 6);
}

#ifndef NIVO_COMPACT_DECODER
namespace {

struct Lh3Block {
    static constexpr uint32_t symbolCount = lh3SymbolCount;
    static constexpr uint32_t escapeSymbol = nivo::escapeSymbol;
    static uint32_t remaining(const StaticHuffmanState& h) { return h.lh3BlockRemaining; }
    static void setRemaining(StaticHuffmanState& h, uint32_t n) { h.lh3BlockRemaining = static_cast<uint16_t>(n); }
    static uint32_t positionCodes(const StaticHuffmanState& h) { return h.tablePosCodeCount; }
    // Position code j: the distance's upper bits, six low bits follow.
    static constexpr uint32_t distanceOf(uint32_t j, uint32_t length) { return distanceEntry(64 * j, 6, length); }
};

}  // namespace

// A block's first symbol, which comes with its header, goes through decodeSymbolLh3.
uint8_t* decodeStretchLh3(DecoderState& s, uint8_t* out, uint8_t* outLimit) {
    return decodeStretchWide(s, decodeBlockSymbols<Lh3Block>, blockSymbolsInputBytes,
                             {decodeSymbolLh3, decodeDistanceTable, 253}, out, outLimit);
}
#endif

}  // namespace nivo
