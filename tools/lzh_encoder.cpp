// The static Huffman compressor (-lh4- to -lh7-).
//
// The data is parsed into literals and matches (length 3 to 256, distance 1 to the window
// size). The fast levels search hash chains over three-byte prefixes and take the longest match
// found, or, with one-step lazy matching, only when the match at the next byte is not longer.
// The top levels keep the earlier positions in a binary tree ordered by the bytes that follow
// them, which yields every useful match at a position in one walk down, and choose among them
// by price: the cheapest path through a stretch of input, each literal, length and position
// priced in bits by the code lengths of the parse before. Symbols are collected into blocks;
// a block ends where two codes cost fewer bits, headers included, than one. Each block is
// written as
//   16 bits   the number of symbols in the block (1 to 65535 here)
//   pre-tree  5-bit count, then 3-bit lengths (7 and more: 7, then a run of 1 bits ended by a
//             0), with a 2-bit count of zero lengths after the third; or a count of 0 and one
//             5-bit value when a single pre-tree symbol is used
//   symbols   9-bit count, then the literal/length code lengths in pre-tree codes: 0 is one
//             zero length, 1 a run of 3 to 18 zeros (4 bits), 2 a run of 20 to 531 zeros
//             (9 bits), 3 to 18 the lengths 1 to 16; or a count of 0 and one 9-bit symbol
//   positions 4-bit (-lh4-, -lh5-) or 5-bit (-lh6-, -lh7-) count, lengths as for the pre-tree
//             without the zero insertion; or a count of 0 and the single position code
// then the symbols: a literal or length code, and behind a length code its position code j
// with j - 1 extra bits (j = 0: distance 1; else distance - 1 = 2^(j-1) + extra).
// Every code is canonical and at most 16 bits long. A code with one symbol uses the
// single-value form, whose symbols take no bits at all.
#include "tools/lzh_encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "lzh/member_header.h"
#include "common/crc16.h"

namespace nivo {

namespace {

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

// A length in the 3-bit form: 0 to 6 as they are, 7 and more as 7 followed by (length - 7)
// one bits and a zero bit.
template <class Writer>
void putSmallLength(Writer& w, uint32_t length) {
    if (length < 7) {
        w.put(length, 3);
    } else {
        w.put(7, 3);
        w.put(((1u << (length - 7)) - 1) << 1, length - 6);
    }
}

// Lengths of the pre-tree or of the position code. insertionIndex: after that many lengths a
// 2-bit count of zero lengths follows (the pre-tree), or 0 for none.
template <class Writer>
void putSmallCode(Writer& w, const Code& code, uint32_t countWidth, uint32_t insertionIndex) {
    if (code.used <= 1) {
        // The single-value form; a code that is never used takes the same form with value 0.
        w.put(0, countWidth);
        w.put(code.used ? code.single : 0, countWidth);
        return;
    }
    w.put(code.span, countWidth);
    for (uint32_t i = 0; i < code.span;) {
        putSmallLength(w, code.length[i++]);
        if (i == insertionIndex) {
            uint32_t zeros = 0;
            while (zeros < 3 && i + zeros < code.span && code.length[i + zeros] == 0) ++zeros;
            w.put(zeros, 2);
            i += zeros;
        }
    }
}

// A pre-tree symbol with its extra bits, as the literal/length code lengths are sent.
struct PreSymbol {
    uint8_t symbol;
    uint16_t extra;
};

// The literal/length code lengths as pre-tree symbols, zero runs folded.
std::vector<PreSymbol> preTreeSymbols(const Code& code) {
    std::vector<PreSymbol> out;
    for (uint32_t i = 0; i < code.span;) {
        if (code.length[i]) {
            out.push_back({static_cast<uint8_t>(code.length[i] + 2), 0});
            ++i;
            continue;
        }
        uint32_t run = 0;
        while (i + run < code.span && code.length[i + run] == 0) ++run;
        i += run;
        while (run) {
            if (run <= 2) {
                out.push_back({0, 0});
                --run;
            } else if (run <= 18) {
                out.push_back({1, static_cast<uint16_t>(run - 3)});
                run = 0;
            } else if (run == 19) {
                out.push_back({0, 0});
                out.push_back({1, 15});
                run = 0;
            } else {
                uint32_t take = std::min(run, 531u);
                out.push_back({2, static_cast<uint16_t>(take - 20)});
                run -= take;
            }
        }
    }
    return out;
}

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
constexpr LevelParams levelParams[maxLevel + 1] = {
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

Encoder::Encoder(int method, const uint8_t* bytes, uint32_t history, uint32_t length,
                 const EncoderOptions& options, Workspace& w, std::vector<uint8_t>& out)
    : data(bytes),
      start(history),
      size(history + length),
      window(encoderWindow(method)),
      posCodeCount(methodFacts[method].positionCodes),
      posCodeBits(methodFacts[method].positionCodeBits),
      maxBlock(std::clamp(options.maxBlockSymbols, 1u, 65535u)),
      params(levelParams[std::clamp(options.level, minLevel, maxLevel)]),
      ws(w),
      writer(out),
      output(out) {
    // Small inputs clear a smaller table.
    flushAt = params.splitBlocks ? 4u * maxBlock : maxBlock;
    hashBits = std::clamp<uint32_t>(static_cast<uint32_t>(std::bit_width(size)), 10, 16);
    ws.head.assign(size_t{1} << hashBits, noPosition);
    if (params.parse == Parse::optimal) ws.head3.assign(size_t{1} << hashBits, noPosition);
    // The binary tree keeps two links per position over twice the window, so that a node at
    // the window's full distance is still its own.
    const uint32_t slots = params.parse == Parse::optimal ? 2 * window : window;
    linkMask = slots - 1;
    if (ws.links.size() < size_t{2} * slots) ws.links.resize(size_t{2} * slots);
    ws.symbols.clear();
}

[[gnu::always_inline]] inline uint32_t Encoder::matchLength(uint32_t a, uint32_t b, uint32_t limit) const {
    uint32_t len = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (len + 8 <= limit) {
            uint64_t x, y;
            std::memcpy(&x, data + a + len, 8);
            std::memcpy(&y, data + b + len, 8);
            if (x != y) return len + static_cast<uint32_t>(std::countr_zero(x ^ y)) / 8;
            len += 8;
        }
    }
    while (len < limit && data[a + len] == data[b + len]) ++len;
    return len;
}

// The longest match for pos among the positions already inserted (all below pos).
Encoder::Match Encoder::find(uint32_t pos, uint32_t chain) const {
    Match best;
    const uint32_t limit = std::min(maxMatch, size - pos);
    if (limit < minMatch) return best;
    const uint32_t nice = std::min(params.nice, limit);
    uint32_t cand = ws.head[hashAt(pos)];
    uint32_t bestLength = minMatch - 1;
    while (cand != noPosition && pos - cand <= window) {
        // A candidate can only win if it also matches at the current best length.
        if (data[cand + bestLength] == data[pos + bestLength]) {
            uint32_t len = matchLength(cand, pos, limit);
            if (len > bestLength) {
                bestLength = len;
                best = {len, pos - cand};
                if (len >= nice) break;
            }
        }
        if (--chain == 0) break;
        uint32_t next = ws.links[cand & linkMask];
        if (next >= cand) break;
        cand = next;
    }
    if (best.length == minMatch && best.distance > farMinimumMatch) best = {};
    return best;
}

void Encoder::runHashChains() {
    for (uint32_t p = 0; p < start; ++p) insert(p);
    const uint32_t chain = params.depth;
    const bool lazy = params.parse == Parse::lazy;
    uint32_t pos = start;
    Match cur = find(pos, chain);
    insert(pos);
    while (pos < size) {
        if (cur.length < minMatch) {
            addSymbol(literalSymbol(data[pos++]));
            if (pos < size) {
                cur = find(pos, chain);
                insert(pos);
            }
            flushWhenFull();
            continue;
        }
        uint32_t inserted = pos + 1;
        if (lazy && cur.length < lazyLimit && cur.length < params.nice) {
            // A good match already found makes a long search for a better one less worthwhile.
            Match next = find(pos + 1, cur.length >= 8 ? std::max(chain / 4, 1u) : chain);
            insert(pos + 1);
            ++inserted;
            if (next.length > cur.length) {
                addSymbol(literalSymbol(data[pos++]));
                cur = next;
                continue;
            }
        }
        addSymbol(matchSymbol(cur.length, cur.distance));
        // The fastest level leaves the inside of long matches out of the chains.
        const uint32_t insertEnd = params.depth <= 2 ? std::min(pos + cur.length, inserted + 8) : pos + cur.length;
        for (uint32_t p = inserted; p < insertEnd; ++p) insert(p);
        pos += cur.length;
        if (pos < size) {
            cur = find(pos, chain);
            insert(pos);
        }
        flushWhenFull();
    }
    flushSymbols(true, true);
}

// Inserts pos into the binary tree of earlier positions with the same four-byte hash, ordered
// by the bytes that follow them, and with record writes the matches met on the way down: each
// longer than the one before, so each at a larger distance. A three-byte match comes from the
// latest position with the same three-byte hash, which is never farther than a longer match.
// Returns how many. Positions with fewer than three bytes behind them are not inserted.
uint32_t Encoder::treeAdvance(uint32_t pos, bool record, Workspace::Match* found) {
    const uint32_t maxLen = std::min(maxMatch, size - pos);
    if (maxLen < minMatch) return 0;
    uint32_t n = 0;
    uint32_t bestLen = minMatch - 1;
    const uint32_t h3 = hashAt(pos);
    const uint32_t near = ws.head3[h3];
    ws.head3[h3] = pos;
    if (record && near != noPosition && pos - near <= window && data[near] == data[pos] &&
        data[near + 1] == data[pos + 1] && data[near + 2] == data[pos + 2]) {
        found[n++] = {static_cast<uint16_t>(minMatch), static_cast<uint16_t>(pos - near - 1)};
        bestLen = minMatch;
    }
    if (maxLen < 4) return n;
    const uint32_t nice = std::min(params.nice, maxLen);
    const uint32_t h = hash4At(pos);
    uint32_t cand = ws.head[h];
    ws.head[h] = pos;
    uint32_t* pendingLt = &ws.links[2 * (pos & linkMask)];
    uint32_t* pendingGt = pendingLt + 1;
    uint32_t bestLtLen = 0, bestGtLen = 0, len = 0;
    uint32_t depth = params.depth;
    while (cand != noPosition && pos - cand <= window) {
        uint32_t* links = &ws.links[2 * (cand & linkMask)];
        if (data[cand + len] == data[pos + len]) {
            len += 1 + matchLength(cand + len + 1, pos + len + 1, maxLen - len - 1);
            if (!record || len > bestLen) {
                if (record) {
                    bestLen = len;
                    found[n++] = {static_cast<uint16_t>(len), static_cast<uint16_t>(pos - cand - 1)};
                }
                if (len >= nice) {
                    // The candidate's subtrees become the new node's.
                    *pendingLt = links[0];
                    *pendingGt = links[1];
                    return n;
                }
            }
        }
        if (data[cand + len] < data[pos + len]) {
            *pendingLt = cand;
            pendingLt = &links[1];
            cand = *pendingLt;
            bestLtLen = len;
            len = std::min(len, bestGtLen);
        } else {
            *pendingGt = cand;
            pendingGt = &links[0];
            cand = *pendingGt;
            bestGtLen = len;
            len = std::min(len, bestLtLen);
        }
        if (--depth == 0) break;
    }
    *pendingLt = *pendingGt = noPosition;
    return n;
}

// Finds the matches of every position in [from, to) into the workspace; returns where the
// stretch ends, which is earlier when the match store is full.
uint32_t Encoder::collectMatches(uint32_t from, uint32_t to) {
    const uint32_t n = to - from;
    // Room for a generous number per position; a stretch that uses it up ends early.
    const size_t capacity = size_t{n} * 8 + maxMatch;
    if (ws.matches.size() < capacity) ws.matches.resize(capacity);
    ws.matchCount.assign(n, 0);
    size_t used = 0;
    uint32_t pos = from;
    while (pos < to) {
        if (used + maxMatch > capacity) break;
        uint32_t count = treeAdvance(pos, true, &ws.matches[used]);
        ws.matchCount[pos - from] = static_cast<uint16_t>(count);
        used += count;
        ++pos;
        if (count && ws.matches[used - 1].length >= params.nice) {
            // Inside a long match, searching again rarely pays: the positions are only
            // inserted.
            uint32_t skipEnd = std::min(pos - 1 + ws.matches[used - 1].length, to);
            for (; pos < skipEnd; ++pos) treeAdvance(pos, false, nullptr);
        }
    }
    return pos;
}

// The cheapest parse of the n bytes from `from` under the given prices, by a shortest path
// from the end backwards; the symbols go to the workspace.
void Encoder::parseStretch(uint32_t from, uint32_t n, const uint32_t* symbolPrice,
                           const uint32_t* positionPrice) {
    ws.cost.resize(n + 1);
    ws.choice.resize(n);
    uint32_t* cost = ws.cost.data();
    uint32_t* choice = ws.choice.data();
    // The matches of position i start where those of the positions before it end.
    size_t offset = 0;
    for (uint32_t i = 0; i < n; ++i) offset += ws.matchCount[i];
    cost[n] = 0;
    for (uint32_t i = n; i-- > 0;) {
        const uint32_t count = ws.matchCount[i];
        offset -= count;
        uint32_t best = symbolPrice[data[from + i]] + cost[i + 1];
        uint32_t bestChoice = literalSymbol(data[from + i]);
        const Workspace::Match* m = &ws.matches[offset];
        uint32_t len = minMatch;
        const uint32_t room = n - i;
        for (uint32_t k = 0; k < count && len <= room; ++k) {
            const uint32_t d = m[k].distanceMinus1;
            const uint32_t j = positionCode(d);
            const uint32_t distPrice = positionPrice[j];
            const uint32_t end = std::min<uint32_t>(m[k].length, room);
            for (; len <= end; ++len) {
                uint32_t c = symbolPrice[len + 253] + distPrice + cost[i + len];
                if (c < best) {
                    best = c;
                    bestChoice = (len + 253) | d << 16;
                }
            }
        }
        cost[i] = best;
        choice[i] = bestChoice;
    }
    for (uint32_t i = 0; i < n;) {
        const uint32_t s = choice[i];
        addSymbol(s);
        i += (s & 0xFFFF) > 255 ? (s & 0xFFFF) - 253 : 1;
    }
}

// Prices in bits from the lengths of a code; symbols the code lacks cost a little more than its
// longest length, so that a later parse may still take them.
void pricesFromFrequencies(const uint32_t* freq, uint32_t n, uint32_t* price) {
    uint8_t length[symbolCount];
    limitedHuffmanLengths(freq, n, maxCodeBits, length);
    uint32_t longest = 1;
    for (uint32_t i = 0; i < n; ++i) longest = std::max<uint32_t>(longest, length[i]);
    for (uint32_t i = 0; i < n; ++i) price[i] = length[i] ? length[i] : std::min(longest + 2, maxCodeBits);
}

void Encoder::runOptimal() {
    for (uint32_t p = 0; p < start; ++p) treeAdvance(p, false, nullptr);
    uint32_t symFreq[symbolCount];
    uint32_t posFreq[maxPositionCodes];
    uint32_t symbolPrice[symbolCount];
    uint32_t positionPrice[maxPositionCodes];
    bool priced = false;
    auto tally = [&](const uint32_t* s, size_t n) {
        std::fill(symFreq, symFreq + symbolCount, 0u);
        std::fill(posFreq, posFreq + maxPositionCodes, 0u);
        for (size_t k = 0; k < n; ++k) {
            ++symFreq[s[k] & 0xFFFF];
            if ((s[k] & 0xFFFF) > 255) ++posFreq[positionCode(s[k] >> 16)];
        }
        pricesFromFrequencies(symFreq, symbolCount, symbolPrice);
        pricesFromFrequencies(posFreq, posCodeCount, positionPrice);
        for (uint32_t j = 2; j < posCodeCount; ++j) positionPrice[j] += j - 1;
        priced = true;
    };
    uint32_t pos = start;
    while (pos < size) {
        const uint32_t end = collectMatches(pos, std::min(size - pos, optimalStretch) + pos);
        const uint32_t n = end - pos;
        if (!priced) {
            // The first prices come from a greedy parse of the longest matches.
            size_t offset = 0;
            for (uint32_t i = 0; i < n;) {
                uint32_t count = ws.matchCount[i];
                const Workspace::Match* m = &ws.matches[offset];
                uint32_t len = count ? std::min<uint32_t>(m[count - 1].length, n - i) : 0;
                if (len >= minMatch) {
                    addSymbol(matchSymbol(len, m[count - 1].distanceMinus1 + 1u));
                    for (uint32_t k = 0; k < len; ++k) offset += ws.matchCount[i + k];
                    i += len;
                } else {
                    addSymbol(literalSymbol(data[pos + i]));
                    offset += count;
                    ++i;
                }
            }
            tally(ws.symbols.data(), ws.symbols.size());
            ws.symbols.clear();
        }
        for (uint32_t pass = 0; pass < params.passes; ++pass) {
            ws.symbols.clear();
            parseStretch(pos, n, symbolPrice, positionPrice);
            tally(ws.symbols.data(), ws.symbols.size());
        }
        flushSymbols(true, end == size);
        pos = end;
    }
}

// Writes the collected symbols as blocks: all of them, or with all false only once a few
// blocks' worth have gathered.
void Encoder::flushSymbols(bool all, bool final) {
    std::vector<uint32_t>& s = ws.symbols;
    if (!all && s.size() < flushAt) return;
    if (!final || s.empty()) return writeSymbols(all);
    // The end of the segment's data. When the last code starts too close to the end, the last
    // symbol is written again in a block of its own: its single-value codes take no bits, and
    // the data ends with the block's fixed fields.
    const BitWriter::Mark before = writer.mark();
    std::vector<uint32_t> symbolsBefore = s;
    writeSymbols(true);
    if (!endsTooSoon()) return;
    writer.rewind(before);
    s = std::move(symbolsBefore);
    const uint32_t last = s.back();
    s.pop_back();
    writeSymbols(true);
    writeBlock(&last, 1);
}

// Whether fewer than readerPeekBits bits of the member's data may follow the start of the last
// code. Only a segment that begins the member knows where in a byte it ends; for the others it
// is whenever the last code and what follows it are shorter.
bool Encoder::endsTooSoon() const {
    const uint64_t behind = writer.bitCount() - lastCode;
    if (behind >= readerPeekBits) return false;
    if (start != 0) return true;
    return behind + (8 - writer.bitCount() % 8) % 8 < readerPeekBits;
}

void Encoder::writeSymbols(bool all) {
    std::vector<uint32_t>& s = ws.symbols;
    if (!params.splitBlocks) {
        size_t k = 0;
        for (; k + maxBlock <= s.size(); k += maxBlock) writeBlock(&s[k], maxBlock);
        if (all && k < s.size()) {
            writeBlock(&s[k], static_cast<uint32_t>(s.size() - k));
            k = s.size();
        }
        s.erase(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(k));
        return;
    }
    emit(s.data(), s.size());
    s.clear();
}

// Writes n symbols as one block or more, cut where separate codes save more than the
// headers they cost. The near-optimal levels try a cut at each eighth, also where a block must
// be cut for its size; the others try the middle, and halve an overlong run unpriced.
void Encoder::emit(const uint32_t* s, size_t n) {
    if (n == 0) return;
    const bool thorough = params.parse == Parse::optimal;
    if (!thorough && n > maxBlock) {
        emit(s, n / 2);
        emit(s + n / 2, n - n / 2);
        return;
    }
    const int parts = thorough ? 8 : 2;
    constexpr int maxParts = 8;
    uint32_t symFreq[maxParts + 1][symbolCount];
    uint32_t posFreq[maxParts + 1][maxPositionCodes];
    std::fill(symFreq[0], symFreq[0] + symbolCount, 0u);
    std::fill(posFreq[0], posFreq[0] + maxPositionCodes, 0u);
    // Frequencies of the prefixes that end at each cut.
    size_t cut[maxParts + 1];
    for (int k = 0; k <= parts; ++k) cut[k] = n * k / parts;
    for (int k = 1; k <= parts; ++k) {
        std::copy(symFreq[k - 1], symFreq[k - 1] + symbolCount, symFreq[k]);
        std::copy(posFreq[k - 1], posFreq[k - 1] + 17, posFreq[k]);
        for (size_t i = cut[k - 1]; i < cut[k]; ++i) {
            ++symFreq[k][s[i] & 0xFFFF];
            if ((s[i] & 0xFFFF) > 255) ++posFreq[k][positionCode(s[i] >> 16)];
        }
    }
    const bool mustSplit = n > maxBlock;
    uint64_t bestBits = mustSplit ? UINT64_MAX : blockBits(symFreq[parts], posFreq[parts], uint32_t(n));
    int bestCut = 0;
    const size_t minPart = thorough ? minSplitSymbols : minSplitSymbolsFast;
    if (n >= 2 * minPart || mustSplit) {
        uint32_t restSym[symbolCount], restPos[17];
        for (int k = 1; k < parts; ++k) {
            if (cut[k] == 0 || cut[k] == n) continue;
            if (!mustSplit && (cut[k] < minPart || n - cut[k] < minPart)) continue;
            for (uint32_t i = 0; i < symbolCount; ++i) restSym[i] = symFreq[parts][i] - symFreq[k][i];
            for (uint32_t i = 0; i < 17; ++i) restPos[i] = posFreq[parts][i] - posFreq[k][i];
            const uint32_t left = static_cast<uint32_t>(std::min<size_t>(cut[k], UINT32_MAX));
            const uint32_t right = static_cast<uint32_t>(std::min<size_t>(n - cut[k], UINT32_MAX));
            uint64_t b = blockBits(symFreq[k], posFreq[k], left) + blockBits(restSym, restPos, right);
            if (b < bestBits) {
                bestBits = b;
                bestCut = k;
            }
        }
    }
    if (bestCut == 0) {
        if (n <= maxBlock) {
            writeBlock(s, static_cast<uint32_t>(n));
            return;
        }
        bestCut = parts / 2;
    }
    emit(s, cut[bestCut]);
    emit(s + cut[bestCut], n - cut[bestCut]);
}

// The bits of a block with these frequencies, the position codes' extra bits left out.
uint64_t Encoder::blockBits(const uint32_t* symFreq, const uint32_t* posFreq, uint32_t count) {
    symbols.build(symFreq, symbolCount);
    positions.build(posFreq, posCodeCount);
    BitCounter counter;
    putBlockHeader(counter, count);
    uint64_t total = counter.bits;
    if (symbols.used > 1)
        for (uint32_t i = 0; i < symbolCount; ++i) total += uint64_t{symFreq[i]} * symbols.length[i];
    if (positions.used > 1)
        for (uint32_t i = 0; i < posCodeCount; ++i) total += uint64_t{posFreq[i]} * positions.length[i];
    return total;
}

// The block's symbol count and its three codes; symbols and positions are built.
template <class Writer>
void Encoder::putBlockHeader(Writer& w, uint32_t count) {
    w.put(count, 16);
    if (symbols.used == 1) {
        // The pre-tree is read but never used.
        w.put(0, 5);
        w.put(0, 5);
        w.put(0, 9);
        w.put(symbols.single, 9);
    } else {
        std::vector<PreSymbol> pre = preTreeSymbols(symbols);
        uint32_t preFreq[preTreeCount] = {};
        for (const PreSymbol& p : pre) ++preFreq[p.symbol];
        preTree.build(preFreq, preTreeCount);
        putSmallCode(w, preTree, 5, 3);
        w.put(symbols.span, 9);
        for (const PreSymbol& p : pre) {
            preTree.put(w, p.symbol);
            if (p.symbol == 1) w.put(p.extra, 4);
            if (p.symbol == 2) w.put(p.extra, 9);
        }
    }
    putSmallCode(w, positions, posCodeBits, 0);
}

void Encoder::writeBlock(const uint32_t* s, uint32_t n) {
    uint32_t symFreq[symbolCount] = {};
    uint32_t posFreq[maxPositionCodes] = {};
    for (uint32_t k = 0; k < n; ++k) {
        uint32_t code = s[k] & 0xFFFF;
        ++symFreq[code];
        if (code > 255) ++posFreq[positionCode(s[k] >> 16)];
    }
    symbols.build(symFreq, symbolCount);
    positions.build(posFreq, posCodeCount);
    putBlockHeader(writer, n);
    for (uint32_t k = 0; k < n; ++k) {
        uint32_t code = s[k] & 0xFFFF;
        if (k + 1 == n) lastCode = writer.bitCount();
        symbols.put(writer, code);
        if (code <= 255) continue;
        uint32_t d = s[k] >> 16;
        uint32_t j = positionCode(d);
        if (k + 1 == n) lastCode = writer.bitCount();
        positions.put(writer, j);
        if (j > 1) writer.put(d, j - 1);  // the bits below the leading 1
    }
}

void Encoder::run() {
    if (size > start) {
        if (params.parse == Parse::optimal)
            runOptimal();
        else
            runHashChains();
    }
    bits = writer.bitCount();
    writer.finish();
}

thread_local Workspace workspace;

}  // namespace

uint32_t encoderWindow(int methodIndex) {
    if (methodIndex < 0 || methodIndex >= methodCount) return 0;
    const MethodFacts& m = methodFacts[methodIndex];
    return m.family == MethodFamily::staticHuffman && m.dictBits <= maxWindowBits ? 1u << m.dictBits : 0;
}

bool compressSegment(int methodIndex, const uint8_t* bytes, size_t historyBytes, size_t length,
                     BitChunk& out, const EncoderOptions& options) {
    out.bytes.clear();
    out.bitCount = 0;
    const uint32_t window = encoderWindow(methodIndex);
    if (window == 0 || length > UINT32_MAX - window) return false;
    const size_t history = std::min<size_t>(historyBytes, window);
    out.bytes.reserve(length / 2 + 64);
    Encoder e(methodIndex, bytes + historyBytes - history, static_cast<uint32_t>(history),
              static_cast<uint32_t>(length), options, workspace, out.bytes);
    e.run();
    out.bitCount = e.bitCount();
    return true;
}

void BitJoiner::append(const BitChunk& chunk, std::vector<uint8_t>& out) {
    const size_t whole = static_cast<size_t>(chunk.bitCount / 8);
    const uint32_t rest = static_cast<uint32_t>(chunk.bitCount % 8);
    if (count == 0) {
        out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.begin() + static_cast<std::ptrdiff_t>(whole));
    } else {
        for (size_t i = 0; i < whole; ++i) {
            acc = acc << 8 | chunk.bytes[i];
            out.push_back(static_cast<uint8_t>(acc >> count));
        }
    }
    if (rest) {
        acc = acc << rest | static_cast<uint32_t>(chunk.bytes[whole] >> (8 - rest));
        count += rest;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(acc >> count));
        }
    }
    acc &= (1u << count) - 1;
}

void BitJoiner::finish(std::vector<uint8_t>& out) {
    if (count) out.push_back(static_cast<uint8_t>(acc << (8 - count)));
    acc = count = 0;
}

bool compressStaticHuffman(int methodIndex, const uint8_t* bytes, size_t size,
                           std::vector<uint8_t>& out, const EncoderOptions& options) {
    out.clear();
    if (encoderWindow(methodIndex) == 0 || size > UINT32_MAX) return false;
    const size_t segment = std::max<uint32_t>(options.segmentBytes, 1);
    BitJoiner joiner;
    BitChunk chunk;
    for (size_t at = 0; at < size; at += segment) {
        compressSegment(methodIndex, bytes, at, std::min(segment, size - at), chunk, options);
        joiner.append(chunk, out);
    }
    joiner.finish(out);
    return true;
}

void limitedHuffmanLengths(const uint32_t* freq, size_t n, uint32_t maxBits, uint8_t* lengths) {
    std::fill(lengths, lengths + n, uint8_t{0});
    std::vector<uint32_t> used;
    for (size_t i = 0; i < n; ++i)
        if (freq[i]) used.push_back(static_cast<uint32_t>(i));
    if (used.empty()) return;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return;
    }
    // Rising frequency, equal ones in symbol order.
    std::vector<uint64_t> keys(used.size());
    for (size_t i = 0; i < used.size(); ++i) keys[i] = uint64_t{freq[used[i]]} << 32 | used[i];
    std::sort(keys.begin(), keys.end());
    for (size_t i = 0; i < used.size(); ++i) used[i] = static_cast<uint32_t>(keys[i]);

    // Huffman's construction with two queues: the leaves in rising frequency, and the inner
    // nodes, which are made in rising weight. Node k's children are always below k.
    const size_t m = used.size();
    std::vector<uint64_t> weight(2 * m - 1);
    std::vector<uint32_t> parent(2 * m - 1, 0);
    for (size_t i = 0; i < m; ++i) weight[i] = freq[used[i]];
    size_t leaf = 0, inner = m;
    auto takeSmallest = [&](size_t built) {
        if (leaf < m && (inner == built || weight[leaf] <= weight[inner])) return leaf++;
        return inner++;
    };
    for (size_t k = m; k < 2 * m - 1; ++k) {
        size_t a = takeSmallest(k);
        size_t b = takeSmallest(k);
        weight[k] = weight[a] + weight[b];
        parent[a] = parent[b] = static_cast<uint32_t>(k);
    }
    std::vector<uint32_t> depth(2 * m - 1, 0);
    uint32_t count[maxCodeBits + 1] = {};
    for (size_t k = 2 * m - 1; k-- > 0;) {
        if (k != 2 * m - 2) depth[k] = depth[parent[k]] + 1;
        if (k < m) ++count[std::min(depth[k], maxBits)];
    }

    // Leaves deeper than maxBits were lifted to maxBits, which over-fills the code space. Each
    // step moves a leaf from the deepest level below maxBits one level down, next to a leaf
    // taken from maxBits: one unit of the 2^maxBits space is freed.
    uint64_t kraft = 0;
    for (uint32_t len = 1; len <= maxBits; ++len) kraft += static_cast<uint64_t>(count[len]) << (maxBits - len);
    while (kraft > (uint64_t{1} << maxBits)) {
        uint32_t b = maxBits - 1;
        while (b > 0 && count[b] == 0) --b;
        if (b == 0 || count[maxBits] == 0) break;  // cannot happen for n <= 2^maxBits
        --count[b];
        count[b + 1] += 2;
        --count[maxBits];
        --kraft;
    }
    // The most frequent symbols take the shortest lengths.
    uint32_t len = 1;
    for (size_t i = m; i-- > 0;) {
        while (count[len] == 0) ++len;
        lengths[used[i]] = static_cast<uint8_t>(len);
        --count[len];
    }
}

std::optional<LzhMember> compressMember(int methodIndex, const std::string& name,
                                        const std::vector<uint8_t>& bytes, uint32_t unixTime,
                                        int level, const EncoderOptions& options) {
    if (bytes.size() > UINT32_MAX) return std::nullopt;
    std::vector<uint8_t> packed;
    if (methodIndex != methodStored && !compressStaticHuffman(methodIndex, bytes.data(), bytes.size(), packed, options))
        return std::nullopt;
    makeCrcTable();
    LzhMember m;
    m.name = name;
    m.originalSize = static_cast<uint32_t>(bytes.size());
    m.crc = updateCrc(0, bytes.data(), m.originalSize);
    m.unixTime = unixTime;
    m.level = level;
    if (methodIndex != methodStored && packed.size() < bytes.size()) {
        m.method = methodIdOf(methodIndex).text;
        m.data = std::move(packed);
    } else {
        m.method = methodIdOf(methodStored).text;
        m.data = bytes;
    }
    return m;
}

}  // namespace nivo
