// The table of method facts: every LZH method this program knows, by method index, with its
// identifier, its dictionary, its position code and the family of decoder that reads it. The
// decoder, the encoder, the writer and the tools take these facts from here alone.
#pragma once

#include <array>
#include <cstdint>

namespace nivo {

enum class MethodFamily : uint8_t {
    stored,          // -lh0-, -lz4-: the data is the member
    folder,          // -lhd-: no data
    adaptive,        // -lh1-, -lh2-: adaptive Huffman
    fixedLh3,        // -lh3-: static codes with a ready-made position code
    staticHuffman,   // -lh4- to -lh7-, -lhx-: static Huffman blocks
    lzs,             // -lzs-: plain literals and matches, matches 2 bytes and more
    lz5,             // -lz5-: flag bytes, a preset dictionary
};

struct MethodFacts {
    // The identifier without its dashes ("lh5" for "-lh5-"). Whole identifiers would stand in
    // the Windows program as text like "-lh5-", where readers that scan a self-extracting file
    // for its archive would take them for member headers.
    char letters[3];
    uint8_t dictBits;          // the dictionary is 2^dictBits bytes; 0: not a sliding dictionary
    uint8_t positionCodes;     // static Huffman: the position alphabet, 0 for the other families
    uint8_t positionCodeBits;  // static Huffman: the width of a block header's position count
    MethodFamily family;
};

// The position code of the static Huffman methods follows from the dictionary: one code for
// each possible bit length of a distance (at least 14), their count in 4 bits up to 16 KiB, in
// 5 bits above. The decoder derives it from the dictionary the member is read with.
struct PositionCode {
    uint8_t count;
    uint8_t bits;
};
constexpr PositionCode positionCodeFor(uint32_t dictBits) {
    return dictBits <= 14 ? PositionCode{14, 4} : PositionCode{static_cast<uint8_t>(dictBits + 1), 5};
}

namespace methods {
constexpr MethodFacts plain(char a, char b, char c, uint8_t bits, MethodFamily family) {
    return {{a, b, c}, bits, 0, 0, family};
}
constexpr MethodFacts blocks(char a, char b, char c, uint8_t bits) {
    return {{a, b, c}, bits, positionCodeFor(bits).count, positionCodeFor(bits).bits, MethodFamily::staticHuffman};
}
}  // namespace methods

// By method index: the position in this list is what the headers' identifiers are matched to.
inline constexpr MethodFacts methodFacts[] = {
    methods::plain('l', 'h', '0', 0, MethodFamily::stored),
    methods::plain('l', 'h', '1', 12, MethodFamily::adaptive),
    methods::plain('l', 'h', '2', 13, MethodFamily::adaptive),
    methods::plain('l', 'h', '3', 13, MethodFamily::fixedLh3),
    methods::blocks('l', 'h', '4', 12),
    methods::blocks('l', 'h', '5', 13),
    methods::blocks('l', 'h', '6', 15),
    methods::blocks('l', 'h', '7', 16),
    methods::plain('l', 'z', 's', 11, MethodFamily::lzs),
    methods::plain('l', 'z', '5', 12, MethodFamily::lz5),
    methods::plain('l', 'z', '4', 0, MethodFamily::stored),
    methods::plain('l', 'h', 'd', 0, MethodFamily::folder),
    methods::blocks('l', 'h', 'x', 19),
};
constexpr int methodCount = sizeof methodFacts / sizeof methodFacts[0];

// The index of the method with the given letters; -1 for none.
constexpr int methodOf(const char (&letters)[4]) {
    for (int i = 0; i < methodCount; ++i)
        if (methodFacts[i].letters[0] == letters[0] && methodFacts[i].letters[1] == letters[1] &&
            methodFacts[i].letters[2] == letters[2])
            return i;
    return -1;
}
constexpr int methodStored = methodOf("lh0");
constexpr int methodLzs = methodOf("lzs");
constexpr int methodLz4 = methodOf("lz4");
constexpr int methodFolder = methodOf("lhd");

// The largest dictionary of any method, as a power of two.
constexpr uint32_t maxDictBits = [] {
    uint32_t bits = 0;
    for (const MethodFacts& m : methodFacts) bits = m.dictBits > bits ? m.dictBits : bits;
    return bits;
}();

// Whether the five bytes at id have the shape of a method identifier: "-l", two characters,
// "-". Readers take such bytes two bytes into a block for a member header.
constexpr bool hasMethodShape(const uint8_t* id) {
    return id[0] == '-' && id[1] == 'l' && id[4] == '-';
}

// The facts that readers look up at run time, one array each, so that a program keeps only the
// ones it reads: the letters of every identifier in index order, and the dictionary bits.
inline constexpr auto methodLetters = [] {
    std::array<char, 3 * methodCount> letters{};
    for (int i = 0; i < 3 * methodCount; ++i) letters[i] = methodFacts[i / 3].letters[i % 3];
    return letters;
}();
inline constexpr auto methodDictBits = [] {
    std::array<uint8_t, methodCount> bits{};
    for (int i = 0; i < methodCount; ++i) bits[i] = methodFacts[i].dictBits;
    return bits;
}();

// The dictionary bits of a method index, 0 where there is no sliding dictionary or no such
// method.
inline uint32_t dictBitsOf(int methodIndex) {
    return methodIndex >= 0 && methodIndex < methodCount ? methodDictBits[methodIndex] : 0;
}

// The whole identifier of a method index, "-lh5-", terminated; for writers and listings.
struct MethodId {
    char text[6];
};
constexpr MethodId methodIdOf(int methodIndex) {
    const MethodFacts& m = methodFacts[methodIndex];
    return {{'-', m.letters[0], m.letters[1], m.letters[2], '-', 0}};
}

}  // namespace nivo
