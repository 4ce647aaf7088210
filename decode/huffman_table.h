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

// A direct table entry: the symbol in the low 10 bits and the code's length above them, or
// treeEntry with a node number for the codes longer than the table. The tree links hold a
// symbol, or treeEntry with the next node's number. An entry of 0 is symbol 0
// of length 0: what a code that does not fill the table leaves, and it consumes nothing.
constexpr uint32_t treeEntry = 0x8000;
constexpr uint32_t entrySymbolMask = 0x3FF;
constexpr uint32_t entryLengthShift = 10;

constexpr uint16_t tableEntry(uint32_t symbol, uint32_t length) {
    return static_cast<uint16_t>(symbol | length << entryLengthShift);
}

// Builds the direct table of 2^tableBits entries and the tree links for the longer codes, node
// numbers from alphabetSize upwards. Lengths above 16 or lengths that over-fill the code space
// are refused (false) and leave nothing out of bounds. A list of lengths that are all 0 leaves
// the table as it was.
bool buildTable(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                uint16_t* table);

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
    skipBits(s, e >> entryLengthShift);
    return e & entrySymbolMask;
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

// The wide form's loop over the symbols of a table-coded block (-lh3- to -lh7-, -lhx-), with
// the bit buffer, the input and the output in locals. It runs until the block ends, out reaches
// outLimit, fewer than eight bytes of input remain buffered, or a code is damaged. After a
// refill at least 56 bits are in the buffer: enough for a symbol (16) with its length
// extension (8), position code (16) and low bits (18 at most), or for three literals.
//
// Block describes the family: symbolCount, escapeSymbol (whose 8 extra bits extend the
// length; none if above the alphabet), remaining(h) and setRemaining(h, n) (the block's
// symbols left, 0 = a header is next), positionCodes(h), and distance(w, j), the distance less
// one of position code j with its low bits taken from the window.
template <typename Block>
uint8_t* decodeBlockSymbols(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    StaticHuffmanState& h = s.huff;
    BitWindow w(s);
    const uint8_t* const inLast = s.inputBuffer + s.inputEnd - BitWindow::refillBytes;
    const uint16_t* const symTable = h.symTable;
    const uint16_t* const posTable = h.posTable;
    const uint32_t mask = s.dictionarySize - 1;
    const uint32_t positionCodes = Block::positionCodes(h);
    uint32_t left = Block::remaining(h);
    while (left != 0 && out < outLimit && w.in <= inLast) {
        w.refill();
        uint32_t e = symTable[w.peekBits(12)];
        if (e & treeEntry) [[unlikely]] {
            e = longCode(s, w, e, Block::symbolCount, 12, h.symLen);
            if (s.damaged) break;
        }
        w.skipBits(e >> entryLengthShift);
        --left;
        uint32_t c = e & entrySymbolMask;
        if (c < 256) {
            *out++ = static_cast<uint8_t>(c);
            // Up to two more literals from the same refill, while the next code is one of at
            // most 12 bits.
            for (int more = 0; more < 2; ++more) {
                e = symTable[w.peekBits(12)];
                if ((e & (treeEntry | 0x300)) != 0 || left == 0 || out >= outLimit) break;
                w.skipBits(e >> entryLengthShift);
                --left;
                *out++ = static_cast<uint8_t>(e);
            }
            continue;
        }
        if (c == Block::escapeSymbol) {
            c += w.peekBits(8);
            w.skipBits(8);
        }
        uint32_t p = posTable[w.peekBits(8)];
        if (p & treeEntry) [[unlikely]] {
            p = longCode(s, w, p, positionCodes, 8, h.posLen);
            if (s.damaged) break;
        }
        w.skipBits(p >> entryLengthShift);
        const uint32_t d = Block::distance(w, p & entrySymbolMask);
        out = copyMatch<false>(out, (d & mask) + 1, c - 253);
    }
    Block::setRemaining(h, left);
    w.store(s);
    return out;
}
#endif

}  // namespace nivo
