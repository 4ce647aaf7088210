// The static Huffman encoder's parts, shared by its files: the constants of the format and of
// the levels, canonical codes and the bit writer, the per-thread workspace, and the Encoder of
// one segment. Its match finders are in match_finder.cpp, the parses in lz_parser.cpp and the
// blocks in block_writer.cpp; lzh_encoder.h is what the packers use.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lzh/method_facts.h"
#include "tools/lzh_encoder.h"

namespace nivo::encoding {

constexpr uint32_t symbolCount = 510;   // 256 literals, then lengths 3 to 256
constexpr uint32_t preTreeCount = 19;
constexpr uint32_t minMatch = 3;
constexpr uint32_t maxMatch = 256;
constexpr uint32_t maxCodeBits = 16;
constexpr uint32_t noPosition = UINT32_MAX;
// The methods this encoder writes: the static Huffman ones with a window of up to 64 KiB, whose
// position codes number at most 17.
constexpr uint32_t maxWindowBits = 16;
constexpr uint32_t maxPositionCodes = positionCodeFor(maxWindowBits).count;
// A three-byte match farther than this costs more bits than three literals on most data.
constexpr uint32_t farMinimumMatch = 4096;
// Matches at least this long are taken without looking one byte further.
constexpr uint32_t lazyLimit = 32;
// Some readers look a code up by peeking at 8 bits before they know its length, and stop when
// those bits run past the member's data. Others stop at a byte of data the stream does not
// use, so the data cannot simply be padded. The last code therefore starts at least this many
// bits before the end of the data, or the stream ends with fields of fixed width.
constexpr uint32_t readerPeekBits = 8;

// Bits into bytes, most significant bit first.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& o) : out(o), first(o.size()) {}

    // The low n bits of value, n at most 32.
    void put(uint32_t value, uint32_t n) {
        if (n == 0) return;
        acc = acc << n | (value & (n == 32 ? UINT32_MAX : (1u << n) - 1));
        count += n;
        while (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(acc >> count));
        }
    }
    // The bits written so far.
    uint64_t bitCount() const { return uint64_t{out.size() - first} * 8 + count; }
    // Pads the last byte with zero bits.
    void finish() {
        if (count) out.push_back(static_cast<uint8_t>(acc << (8 - count)));
        count = 0;
    }
    // A point to come back to, and the way back: what was written after it is dropped.
    struct Mark {
        size_t size;
        uint64_t acc;
        uint32_t count;
    };
    Mark mark() const { return {out.size(), acc, count}; }
    void rewind(const Mark& m) {
        out.resize(m.size);
        acc = m.acc;
        count = m.count;
    }

private:
    std::vector<uint8_t>& out;
    size_t first;
    uint64_t acc = 0;
    uint32_t count = 0;
};

// A canonical code: within one length, lower symbols get lower codes; shorter codes first.
struct Code {
    uint8_t length[symbolCount] = {};
    uint16_t bits[symbolCount] = {};
    uint32_t used = 0;     // symbols with a non-zero frequency
    uint32_t single = 0;   // the symbol, when used is 1
    uint32_t span = 0;     // last symbol with a length, plus one

    void build(const uint32_t* freq, uint32_t n) {
        used = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (freq[i]) {
                ++used;
                single = i;
            }
        limitedHuffmanLengths(freq, n, maxCodeBits, length);
        span = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (length[i]) span = i + 1;
        uint32_t count[maxCodeBits + 2] = {};
        for (uint32_t i = 0; i < n; ++i) ++count[length[i]];
        count[0] = 0;
        uint32_t next[maxCodeBits + 2] = {};
        for (uint32_t len = 1; len <= maxCodeBits; ++len) next[len] = (next[len - 1] + count[len - 1]) << 1;
        for (uint32_t i = 0; i < n; ++i)
            if (length[i]) bits[i] = static_cast<uint16_t>(next[length[i]]++);
    }
    // A symbol of the code; nothing in the single-value form.
    template <class Writer>
    void put(Writer& w, uint32_t symbol) const {
        if (used > 1) w.put(bits[symbol], length[symbol]);
    }
};

// Position code j of d = distance - 1: 0 for d = 0, else the bit width of d.
inline uint32_t positionCode(uint32_t d) {
    return d == 0 ? 0 : static_cast<uint32_t>(std::bit_width(d));
}

// Counts the bits a BitWriter would write.
struct BitCounter {
    uint64_t bits = 0;
    void put(uint32_t, uint32_t n) { bits += n; }
};

// Block symbols: the literal/length code in the low 16 bits, distance - 1 above.
inline uint32_t literalSymbol(uint8_t b) { return b; }
inline uint32_t matchSymbol(uint32_t length, uint32_t distance) {
    return (length + 253) | (distance - 1) << 16;
}

// How hard each level works.
enum class Parse : uint8_t { greedy, lazy, optimal };
struct LevelParams {
    Parse parse;
    uint32_t depth;   // hash-chain candidates or binary-tree depth per position
    uint32_t nice;    // a match this long ends the search
    uint32_t passes;  // near-optimal parses per stretch, each priced by the one before
    bool splitBlocks; // end blocks where that saves bits, rather than when they are full
};
inline constexpr LevelParams levelParams[maxLevel + 1] = {
    {Parse::greedy, 1, 8, 0, false},  // unused
    {Parse::greedy, 2, 16, 0, false},
    {Parse::greedy, 6, 32, 0, false},
    {Parse::lazy, 8, 32, 0, true},
    {Parse::lazy, 32, 64, 0, true},
    {Parse::lazy, 112, 256, 0, true},
    {Parse::optimal, 12, 48, 1, true},
    {Parse::optimal, 24, 96, 2, true},
    {Parse::optimal, 48, 192, 3, true},
    {Parse::optimal, 128, 256, 4, true},
};

// Bytes parsed near-optimally at a time; blocks never span two such stretches.
constexpr uint32_t optimalStretch = 1u << 17;
// No block is cut into parts shorter than this: at the near-optimal levels, and at the others,
// which try fewer cuts.
constexpr uint32_t minSplitSymbols = 1024;
constexpr uint32_t minSplitSymbolsFast = 16384;

// The tables of one compression, kept per thread so that many small members do not allocate.
struct Workspace {
    std::vector<uint32_t> head;
    std::vector<uint32_t> head3;   // binary tree: the latest position of each three-byte hash
    std::vector<uint32_t> links;   // hash chains: one per position; binary tree: two
    struct Match {
        uint16_t length;
        uint16_t distanceMinus1;
    };
    std::vector<Match> matches;    // the stretch's matches, position by position
    std::vector<uint16_t> matchCount;
    std::vector<uint32_t> cost;
    std::vector<uint32_t> choice;  // the symbol chosen at each position
    std::vector<uint32_t> symbols;
};

class Encoder {
public:
    Encoder(int method, const uint8_t* bytes, uint32_t history, uint32_t length,
            const EncoderOptions& options, Workspace& ws, std::vector<uint8_t>& out);

    void run();
    uint64_t bitCount() const { return bits; }

private:
    struct Match {
        uint32_t length = 0;
        uint32_t distance = 0;
    };

    uint32_t hashAt(uint32_t pos) const {
        uint32_t v = static_cast<uint32_t>(data[pos]) << 16 | static_cast<uint32_t>(data[pos + 1]) << 8 |
                     data[pos + 2];
        return (v * 2654435761u) >> (32 - hashBits);
    }
    uint32_t hash4At(uint32_t pos) const {
        uint32_t v;
        std::memcpy(&v, data + pos, 4);
        return (v * 2654435761u) >> (32 - hashBits);
    }
    uint32_t matchLength(uint32_t a, uint32_t b, uint32_t limit) const;

    // Hash chains (levels 1 to 5).
    void insert(uint32_t pos) {
        if (size - pos < minMatch) return;
        uint32_t h = hashAt(pos);
        ws.links[pos & linkMask] = ws.head[h];
        ws.head[h] = pos;
    }
    Match find(uint32_t pos, uint32_t chain) const;
    void runHashChains();

    // Binary tree (levels 6 to 9).
    uint32_t treeAdvance(uint32_t pos, bool record, Workspace::Match* found);
    void runOptimal();
    uint32_t collectMatches(uint32_t from, uint32_t to);
    void parseStretch(uint32_t from, uint32_t n, const uint32_t* symbolPrice, const uint32_t* positionPrice);

    void addSymbol(uint32_t s) { ws.symbols.push_back(s); }
    void flushSymbols(bool all, bool final = false);
    void writeSymbols(bool all);
    bool endsTooSoon() const;
    // Writes blocks once a few blocks' worth of symbols have gathered.
    void flushWhenFull() {
        if (ws.symbols.size() >= flushAt) flushSymbols(false);
    }
    void emit(const uint32_t* s, size_t n);
    uint64_t blockBits(const uint32_t* symFreq, const uint32_t* posFreq, uint32_t count);
    void writeBlock(const uint32_t* s, uint32_t n);
    template <class Writer>
    void putBlockHeader(Writer& w, uint32_t count);

    const uint8_t* data;
    uint32_t start;  // the first byte to compress; the ones before are history
    uint32_t size;
    uint32_t window;
    uint32_t posCodeCount;
    uint32_t posCodeBits;
    uint32_t maxBlock;
    LevelParams params;
    uint32_t hashBits;
    uint32_t linkMask;
    size_t flushAt;
    Workspace& ws;
    BitWriter writer;
    std::vector<uint8_t>& output;
    uint64_t bits = 0;
    uint64_t lastCode = 0;  // where the last code written starts, in bits
    Code symbols;
    Code preTree;
    Code positions;
};

}  // namespace nivo::encoding
