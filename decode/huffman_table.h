// Canonical Huffman tables and the look-ups in them, shared by the static Huffman decoders of
// -lh4- to -lh7- and -lhx-, -lh3- and the fixed position code of -lh1-.
//
// A code of up to tableBits bits is found with one look-up of the next tableBits bits, whose
// entry holds the symbol together with the code's length: one look-up, one shift. A longer
// code's entry holds a tree node, and the bits after the first tableBits pick treeRight (1) or
// treeLeft (0) until a symbol is reached. No valid code is longer than 16 bits, so no walk takes
// more than 16 bits in all, and one refill check serves a whole code.
#pragma once

#include "decode/decoder_state.h"
#include "decode/output_window.h"

namespace nivo {

// A direct table entry: the code's length in the low six bits and the symbol (below 512) above
// them, or treeEntry with a node number (nodeMask) for the codes longer than the table. With
// the length at the bottom the entry itself serves as a shift count: a 64-bit shift takes the
// count's low six bits. (The Windows program, whose loop shifts by a byte count, keeps the
// symbol in the low ten bits and the length above: its code is smaller so.) The tree links
// hold a symbol, or treeEntry with the next node's number. An entry of 0 is symbol 0 of length
// 0: what a code that does not fill the table leaves, and it consumes nothing.
constexpr uint32_t treeEntry = 0x8000;
constexpr uint32_t nodeMask = 0x3FF;
#ifdef NIVO_COMPACT_DECODER
constexpr uint32_t entryLength(uint32_t e) { return e >> 10; }
constexpr uint32_t entrySymbol(uint32_t e) { return e & 0x3FF; }
constexpr uint16_t tableEntry(uint32_t symbol, uint32_t length) {
    return static_cast<uint16_t>(symbol | length << 10);
}
#else
constexpr uint32_t entryLengthMask = 0x3F;
constexpr uint32_t entrySymbolShift = 6;
constexpr uint32_t entryLength(uint32_t e) { return e & entryLengthMask; }
constexpr uint32_t entrySymbol(uint32_t e) { return e >> entrySymbolShift; }
constexpr uint16_t tableEntry(uint32_t symbol, uint32_t length) {
    return static_cast<uint16_t>(symbol << entrySymbolShift | length);
}
#endif

// Builds the direct table of 2^tableBits entries and the tree links for the longer codes, node
// numbers from alphabetSize upwards. Lengths above 16 or lengths that over-fill the code space
// are refused (false) and leave nothing out of bounds. A list of lengths that are all 0 leaves
// the table as it was.
// The extractors fill the direct table in the order of the codes, after a counting sort of
// the symbols by length, run after run; the Windows program symbol by symbol.
bool buildTable(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                uint16_t* table);

#ifndef NIVO_COMPACT_DECODER
// The Windows program's way, for the tests that hold the two against each other.
bool buildTableBySymbols(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                         uint16_t* table);
#endif

// Finishes a look-up whose entry is a tree node: follows the bits of next16 (the next 16 bits
// of the stream) after the first tableBits. A walk past 16 bits, or one that ends on a code no
// longer than the table, comes from damaged lengths: the member is marked damaged and symbol 0
// stands in. Only codes longer than the direct table come here, so it is out of line.
uint32_t walkTree(DecoderState& s, uint32_t entry, uint32_t next16, uint32_t alphabet,
                  uint32_t tableBits, const uint8_t* lengths);

// One symbol of a code: look-up of the next tableBits bits, the tree for longer codes, then
// the code's own length consumed.
inline uint32_t decodeWithTable(DecoderState& s, const uint16_t* table, uint32_t tableBits,
                                const uint8_t* lengths, uint32_t alphabet) {
    const uint32_t next16 = peekBits(s, 16);
    const uint32_t e = table[next16 >> (16 - tableBits)];
    if (e & treeEntry) {
        const uint32_t j = walkTree(s, e, next16, alphabet, tableBits, lengths);
        skipBits(s, lengths[j]);
        return j;
    }
    skipBits(s, entryLength(e));
    return entrySymbol(e);
}

// The literal/length code: a 12-bit table in symTable, lengths in symLen.
inline uint32_t decodeWithSymTable(DecoderState& s, uint32_t alphabet) {
    return decodeWithTable(s, s.huff.symTable, 12, s.huff.symLen, alphabet);
}

// The pre-tree and position codes: an 8-bit table in posTable, lengths in posLen.
inline uint32_t decodeWithPosTable(DecoderState& s, uint32_t alphabet) {
    return decodeWithTable(s, s.huff.posTable, 8, s.huff.posLen, alphabet);
}

#ifndef NIVO_COMPACT_DECODER
// A code longer than the direct table, looked up in the window's bits; the result is a table
// entry of the symbol with its full length, or 0 with the member marked damaged.
inline uint32_t longCode(DecoderState& s, const BitWindow& w, uint32_t entry, uint32_t alphabet, uint32_t tableBits,
                         const uint8_t* lengths) {
    const uint32_t j = walkTree(s, entry, w.peekBits(16), alphabet, tableBits, lengths);
    return s.damaged ? 0 : tableEntry(j, lengths[j]);
}

// The wide form's position entries: everything a match's distance needs from one look-up. The
// bits to consume (the code's length and its low bits together) in bits 0 to 5, the count of
// low bits in bits 6 to 10, the distance of the code's first value from bit 11 on; longEntry
// with the direct table's entry for a code longer than the table.
constexpr uint32_t distanceBitsMask = 0x3F;
constexpr uint32_t distanceExtraShift = 6;
constexpr uint32_t distanceBaseShift = 11;
constexpr uint32_t longEntry = 0x80000000u;

constexpr uint32_t distanceEntry(uint32_t base, uint32_t extra, uint32_t codeLength) {
    return base << distanceBaseShift | extra << distanceExtraShift | (codeLength + extra);
}

// The distance, less one, that a position entry gives with the bits that follow in the window,
// and those bits consumed: the code's length and its low bits in one step.
inline uint32_t takeDistance(BitWindow& w, uint32_t p) {
    const uint32_t total = p & distanceBitsMask;
    const uint32_t extra = (p >> distanceExtraShift) & 0x1F;
    // The next `total` bits (up to 34, and none for a code of length 0), the low bits at their
    // bottom.
    const auto next = static_cast<uint32_t>((w.bitBuffer >> 1) >> (63 - total));
    w.skipEntry(p);
    return (p >> distanceBaseShift) + (next & ((1u << extra) - 1));
}

// The wide form's loop over the symbols of a table-coded block (-lh3- to -lh7-, -lhx-), with
// the bit buffer, the input and the output in locals, built in the manner of the fastest
// deflate decoders:
//   - where the bits behind a symbol lead is looked up before the symbol is known to be a
//     literal or a match: the next symbol's entry and the position entry both, so that either
//     way the look-up is under way, and a mispredicted branch finds it done;
//   - up to three literals come from one refill, with no check between them: the loop runs
//     while at least three symbols are left in the block and three bytes before outLimit;
//   - a match's position code and low bits come from one entry of a table made from the
//     position code's (positionEntries), consumed together, with no branch on the code; the
//     next symbol's entry is looked up before the refill;
//   - the refill's eight bytes are read ahead (BitWindow::refillAhead), so that it waits for
//     no look-up: a shift and an OR.
// It runs until the block has fewer than three symbols left, out comes within three bytes of
// outLimit (a match may run past it), fewer than blockSymbolsInputBytes of input remain
// buffered, or a code is damaged; the checking operations take the rest. A step refills at
// most twice (once before a match that follows literals, once at its end), each time up to 56
// or more bits: enough for three literals and the next look-up, or for a symbol (16) with its
// length extension (8, -lh3- only), a position code and its low bits (26 from the table, 34
// for a longer code, which refills before the next look-up) and the next symbol's 12 bits.
//
// Block describes the family: symbolCount, escapeSymbol (whose 8 extra bits extend the
// length; none if above the alphabet), remaining(h) and setRemaining(h, n) (the block's
// symbols left, 0 = a header is next), positionCodes(h), and distanceOf(j, length), the
// position entry (distanceEntry) of position code j of that length.
// Input the loop needs buffered: two refills of at most seven bytes each, and the eight read
// ahead behind them.
constexpr uint32_t blockSymbolsInputBytes = 24;

template <typename Block>
[[gnu::always_inline]] inline uint8_t* decodeBlockSymbols(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    StaticHuffmanState& h = s.huff;
    uint32_t left = Block::remaining(h);
    // Up to two refills a step: sixteen bytes.
    if (left < 3 || outLimit - out < 3 || s.inputEnd - s.inputPos < blockSymbolsInputBytes) return out;
    const uint8_t* const inLast = s.inputBuffer + s.inputEnd - blockSymbolsInputBytes;

    // The position entries of the block's code, made afresh on each call: 256 entries, against
    // the 4096 of the symbol table that each block builds.
    const uint32_t positionCodes = Block::positionCodes(h);
    uint32_t positionEntries[256];
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t e = h.posTable[i];
        positionEntries[i] =
            (e & treeEntry) ? longEntry | e : Block::distanceOf(e >> entrySymbolShift, e & entryLengthMask);
    }

    BitWindow w(s);
    const uint16_t* const symTable = h.symTable;
    const uint32_t mask = s.dictionarySize - 1;
    constexpr uint32_t literalLimit = 256u << entrySymbolShift;  // entries below are literals
    w.refill();
    uint64_t ahead = w.loadAhead();
    uint32_t e = symTable[w.peekBits(12)];
    while (left >= 3 && outLimit - out >= 3 && w.in <= inLast) {
        // e: the next symbol's entry, its bits not consumed yet. Where the bits after it lead
        // is looked up before e is known to be a literal or a match: the next symbol's entry
        // for a literal, the position entry for a match.
        uint64_t after = w.bitBuffer << (e & 63);
        uint32_t p = positionEntries[after >> 56];
        if (e < literalLimit) {
            uint32_t n = symTable[after >> 52];
            w.bitBuffer = after;
            w.bitCount -= e;
            *out++ = static_cast<uint8_t>(e >> entrySymbolShift);
            --left;
            e = n;
            after = w.bitBuffer << (e & 63);
            p = positionEntries[after >> 56];
            if (e < literalLimit) {
                n = symTable[after >> 52];
                w.bitBuffer = after;
                w.bitCount -= e;
                *out++ = static_cast<uint8_t>(e >> entrySymbolShift);
                --left;
                e = n;
                after = w.bitBuffer << (e & 63);
                p = positionEntries[after >> 56];
                if (e < literalLimit) {
                    n = symTable[after >> 52];
                    w.bitBuffer = after;
                    w.bitCount -= e;
                    *out++ = static_cast<uint8_t>(e >> entrySymbolShift);
                    --left;
                    e = n;
                    w.refillAhead(ahead);
                    continue;
                }
            }
            if (e & treeEntry) {
                w.refillAhead(ahead);
                continue;
            }
            // A match after one or two literals: its symbol consumed, then a refill for its
            // position code, low bits and the next look-up.
            w.bitBuffer = after;
            w.bitCount -= e;
            w.refillAhead(ahead);
        } else {
            if (e & treeEntry) [[unlikely]] {
                e = longCode(s, w, e, Block::symbolCount, 12, h.symLen);
                if (s.damaged) break;
                if (e < literalLimit) {
                    // A literal of a code longer than the table.
                    w.skipEntry(e);
                    --left;
                    *out++ = static_cast<uint8_t>(e >> entrySymbolShift);
                    w.refillAhead(ahead);
                    e = symTable[w.peekBits(12)];
                    continue;
                }
                after = w.bitBuffer << (e & 63);
                p = positionEntries[after >> 56];
            }
            w.bitBuffer = after;
            w.bitCount -= e;
        }
        --left;
        uint32_t c = e >> entrySymbolShift;
        if (c == Block::escapeSymbol) {
            c += w.peekBits(8);
            w.skipBits(8);
            p = positionEntries[w.peekBits(8)];
        }
        if (p & longEntry) [[unlikely]] {
            p = longCode(s, w, p & ~longEntry, positionCodes, 8, h.posLen);
            if (s.damaged) break;
            p = Block::distanceOf(p >> entrySymbolShift, p & entryLengthMask);
            const uint32_t d = takeDistance(w, p);
            w.refillAhead(ahead);
            e = symTable[w.peekBits(12)];
            out = copyMatch<false>(out, (d & mask) + 1, c - 253);
            continue;
        }
        const uint32_t d = takeDistance(w, p);
        e = symTable[w.peekBits(12)];
        w.refillAhead(ahead);
        out = copyMatch<false>(out, (d & mask) + 1, c - 253);
    }
    Block::setRemaining(h, left);
    w.store(s);
    return out;
}
#endif

}  // namespace nivo
