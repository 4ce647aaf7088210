// Look-ups in the tables that buildTable makes, shared by the static Huffman decoders of
// -lh4- to -lh7-, -lh3- and the fixed position code of -lh1-.
//
// A code of up to tableBits bits is found with one look-up of the next tableBits bits. A longer
// code's entry holds a tree node (alphabet size or more), and the bits after the first tableBits
// pick treeRight (1) or treeLeft (0) until a symbol is reached. No valid code is longer than 16
// bits, so no walk takes more than 16 bits in all, and one refill check serves a whole code.
#pragma once

#include "decode/decoder_state.h"

namespace nivo {

// The bit reader holds at least this many bits after the refill checks below: enough for one
// code (at most 16 bits), or for a position code and its extra bits (at most 16 + 15).
constexpr uint32_t codeBits = 16;
constexpr uint32_t positionBits = 32;

inline void ensureBits(DecoderState& s, uint32_t n) {
    if (s.bitCount < n) fillBitBuffer(s);
}

// The next n bits (1 to 32), with at least n in the buffer.
inline uint32_t nextBits(const DecoderState& s, uint32_t n) {
    return static_cast<uint32_t>(s.bitBuffer >> (64 - n));
}

// Consumes n bits, with at least n in the buffer.
inline void dropBits(DecoderState& s, uint32_t n) {
    s.bitBuffer <<= n;
    s.bitCount -= n;
}

// Finishes a look-up whose table entry j is a tree node: follows the bits after the first
// tableBits, with at least 16 bits in the buffer. A walk past 16 bits, or one that ends on a
// code no longer than the table, comes from damaged lengths: the member is marked damaged and
// symbol 0 stands in. Only codes longer than the direct table come here, so it is out of line.
uint32_t walkTree(DecoderState& s, uint32_t j, uint32_t alphabet, uint32_t tableBits,
                  const uint8_t* lengths);

// One symbol of a code: look-up of the next tableBits bits, the tree for longer codes, then
// the code's own length consumed.
inline uint32_t decodeWithTable(DecoderState& s, const uint16_t* table, uint32_t tableBits,
                                const uint8_t* lengths, uint32_t alphabet) {
    ensureBits(s, codeBits);
    uint32_t j = table[nextBits(s, tableBits)];
    if (j >= alphabet) j = walkTree(s, j, alphabet, tableBits, lengths);
    dropBits(s, lengths[j]);
    return j;
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
