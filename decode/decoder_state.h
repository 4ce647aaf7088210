// The working state of one member's decoding, and the bit reader over its compressed bytes.
//
// One DecoderState belongs to one MemberDecoder; the method operations get it by reference.
// Its tables are fixed arrays: nothing is allocated per member here beyond the dictionary and
// the input buffer, which MemberDecoder owns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "archive/member_size.h"

namespace nivo {

// Static Huffman tables, shared by -lh4- to -lh7- and by -lh1-/-lh3-.
struct StaticHuffmanState {
    uint8_t symLen[510];      // code length of each literal/length symbol, 0 = not in the code
    uint16_t symTable[4096];  // 12-bit direct table of the literal/length code
    uint8_t posLen[128];      // pre-tree lengths, then position code lengths
    uint16_t posTable[256];   // 8-bit direct table of the pre-tree, then of the position code
    // Tree links for codes longer than the direct table; node numbers start at the alphabet
    // size, so the 510-symbol code needs nodes up to 1018.
    uint16_t treeLeft[1024];
    uint16_t treeRight[1024];
    uint16_t blockRemaining;  // symbols left in the current -lh4- to -lh7- block
    uint32_t posCodeCount;    // position alphabet of -lh4- to -lh7-: 14, 16 or 17
    uint32_t posCodeBits;     // width of the position length count: 4 or 5
    uint32_t tablePosCodeCount;  // position codes served by the table distance decoder
    uint16_t lh3BlockRemaining;  // symbols left in the current -lh3- block
};

// Adaptive Huffman trees of -lh1- and -lh2-: the symbol tree in nodes 0 to 627, the position
// tree in nodes 628 to 883.
struct AdaptiveHuffmanState {
    static constexpr int nodeCount = 884;
    uint16_t nodeFreq[nodeCount];
    int16_t nodeChild[nodeCount];   // internal: first child c (0 bit: c, 1 bit: c - 1); leaf: ~value
    int16_t nodeParent[nodeCount];
    int16_t nodeBlock[nodeCount];
    int16_t blockLeader[nodeCount];
    int16_t blockPool[nodeCount];
    int32_t poolNext;
    int16_t leafNode[442];
    uint32_t symbolCount;
    uint16_t maxMatch;
    uint32_t escapeSymbol;
    uint32_t positionTreeLast;
    uint16_t positionTotal;
    uint32_t nextLeafAt;
    uint32_t positionLimit;
};

// The plain sliding-dictionary methods -lzs- and -lz5-.
struct SlidingState {
    uint32_t matchPosition;
    int32_t flagCount;
    int32_t flagByte;
};

struct DecoderState {
    // Compressed input. inputBuffer[inputPos, inputEnd) holds bytes not yet handed out;
    // compressedLeft counts the member's bytes not yet handed out, buffered or not. Past the
    // member's end the input gives zeros without end.
    FILE* inputStream;
    uint8_t* inputBuffer;
    uint32_t inputBufferSize;
    uint32_t inputPos;
    uint32_t inputEnd;
    MemberSize compressedLeft;
    bool truncated;  // the file ended before the member's compressed size; zeros follow
    uint32_t padBytes;  // zero bytes handed out past the member's end

    // The next bits of the stream, most significant first; bitCount of them are valid and
    // the bits below are zero or the true bits that follow.
    uint64_t bitBuffer;
    uint32_t bitCount;

    uint8_t* dictionary;
    uint32_t dictionarySize;
    uint16_t dictBits;
    uint32_t dictPos;
    uint32_t decodedCount;

    // Set by a method operation that meets malformed data; the member then ends as damaged.
    bool damaged;

    StaticHuffmanState huff;
    AdaptiveHuffmanState adaptive;
    SlidingState sliding;
};

// Refills inputBuffer from inputStream. False when the member has no bytes left: the caller
// then takes a zero. A short read sets truncated and ends the member's data where the file ends.
bool refillInput(DecoderState& s);

// The member's next compressed byte, or 0 past its end.
inline uint32_t readInputByte(DecoderState& s) {
    if (s.inputPos == s.inputEnd && !refillInput(s)) return 0;
    --s.compressedLeft;
    return s.inputBuffer[s.inputPos++];
}

// Bits taken past the member's end: a few are a decoder looking ahead, more mean the data
// does not describe the member it claims to.
inline bool readFarPastEnd(const DecoderState& s) {
    return s.padBytes != 0 && static_cast<uint64_t>(s.padBytes) * 8 > s.bitCount + 64;
}

// Tops the bit buffer up to at least 56 valid bits. Called only when fewer bits are left
// than a look-up needs, so it lives out of line: one copy, off the hot path.
void fillBitBuffer(DecoderState& s);

// The next n bits (1 to 32) without consuming them.
inline uint32_t peekBits(DecoderState& s, uint32_t n) {
    if (s.bitCount < n) fillBitBuffer(s);
    return static_cast<uint32_t>(s.bitBuffer >> (64 - n));
}

// Consumes n bits (0 to 32).
inline void skipBits(DecoderState& s, uint32_t n) {
    if (s.bitCount < n) fillBitBuffer(s);
    s.bitBuffer <<= n;
    s.bitCount -= n;
}

// The next n bits (0 to 32) as an unsigned number, consumed. Taking 0 bits gives 0.
inline uint32_t takeBits(DecoderState& s, uint32_t n) {
    if (n == 0) return 0;
    uint32_t v = peekBits(s, n);
    s.bitBuffer <<= n;
    s.bitCount -= n;
    return v;
}

// Empties the bit buffer and fills it from the member's first bytes.
inline void startBitReader(DecoderState& s) {
    s.bitBuffer = 0;
    s.bitCount = 0;
    fillBitBuffer(s);
}

}  // namespace nivo
