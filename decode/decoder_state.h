// The working state of one member's decoding.
//
// One DecoderState belongs to one MemberDecoder; the method operations get it by reference.
// Its tables are fixed arrays: nothing is allocated per member here beyond the dictionary and
// the input buffer, which MemberDecoder owns.
#pragma once

#include <cstdint>

#include "decode/bit_reader.h"

namespace nivo {

// Static Huffman tables, shared by -lh4- to -lh7- and by -lh1-/-lh3-.
struct StaticHuffmanState {
    uint8_t symLen[510];      // code length of each literal/length symbol, 0 = not in the code
    uint16_t symTable[4096];  // 12-bit direct table of the literal/length code (tableEntry)
    uint8_t posLen[128];      // pre-tree lengths, then position code lengths
    uint16_t posTable[256];   // 8-bit direct table of the pre-tree, then of the position code
    // Tree links for codes longer than the direct table; node numbers start at the alphabet
    // size, so the 510-symbol code needs nodes up to 1018.
    uint16_t treeLeft[1024];
    uint16_t treeRight[1024];
    uint32_t blockRemaining;  // symbols left in the current static block; 0: a header is next
    uint32_t posCodeCount;    // position alphabet of -lh4- to -lh7- and -lhx-: 14, 16, 17 or 20
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
    int16_t leafNode[442];
    uint32_t symbolCount;
    uint16_t maxMatch;
    uint32_t escapeSymbol;
    uint32_t positionTreeLast;
    uint16_t positionTotal;
    uint32_t nextLeafAt;
    uint32_t positionLimit;
#ifndef NIVO_COMPACT_DECODER
    // For the wide form's walk: where the next pathTableBits bits of the stream lead from a
    // root, the nodes passed, the last of them (the root, if the root is a leaf) and how many;
    // a walk ends early at a leaf. onTablePath marks the nodes an entry passes on its way, whose
    // links the entries depend on, and pathCode holds the code (shifted left by 4) and depth of
    // each node an entry passes or ends at, and 0 for every other node.
    static constexpr uint32_t pathTableBits = 7;
    struct PathEntry {
        int16_t nodes[pathTableBits];
        int16_t last;
        uint32_t depth;
    };
    PathEntry symbolPaths[1u << pathTableBits];
    PathEntry positionPaths[1u << pathTableBits];
    bool onTablePath[nodeCount];
    uint16_t pathCode[nodeCount];
#endif
};

// The plain sliding-dictionary methods -lzs- and -lz5-.
struct SlidingState {
    uint32_t matchPosition;
    int32_t flagCount;
    int32_t flagByte;
};

// Everything a member's decoding works on: the bit reader over its compressed bytes, the
// dictionary, and each method family's tables.
struct DecoderState : BitReader {
    // The dictionary: dictionarySize bytes of history, the last bytes produced, at any moment.
    // Index i holds the byte of position i modulo dictionarySize; a new member starts with
    // spaces (or the -lz5- contents). Method operations read dictPos and decodedCount.
    uint8_t* dictionary;
    uint32_t dictionarySize;
    uint16_t dictBits;
    uint32_t dictPos;       // where the next byte goes: decodedCount modulo dictionarySize
    uint32_t decodedCount;  // bytes of the member produced so far, a match with its whole length

    // Set by a method operation that meets malformed data; the member then ends as damaged.
    bool damaged;

    StaticHuffmanState huff;
    AdaptiveHuffmanState adaptive;
    SlidingState sliding;
};

}  // namespace nivo
