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

}  // namespace nivo
