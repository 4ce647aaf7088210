// The static Huffman compressor (-lh4- to -lh7-).
//
// The data is parsed into literals and matches (length 3 to 256, distance 1 to the window
// size) by hash chains over three-byte prefixes, with one-step lazy matching: a match is taken
// only when the match at the next byte is not longer. Symbols are collected into blocks; each
// block is written as
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

#include "archive/member_header.h"
#include "decode/crc16.h"

namespace nivo {

namespace {

constexpr uint32_t symbolCount = 510;   // 256 literals, then lengths 3 to 256
constexpr uint32_t preTreeCount = 19;
constexpr uint32_t minMatch = 3;
constexpr uint32_t maxMatch = 256;
constexpr uint32_t maxCodeBits = 16;
constexpr uint32_t noPosition = UINT32_MAX;
// A three-byte match farther than this costs more bits than three literals on most data.
constexpr uint32_t farMinimumMatch = 4096;
// Matches at least this long are taken without looking one byte further.
constexpr uint32_t lazyLimit = 32;

// Bits into bytes, most significant bit first.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& o) : out(o) {}

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
    // Pads the last byte with zero bits.
    void finish() {
        if (count) out.push_back(static_cast<uint8_t>(acc << (8 - count)));
        count = 0;
    }

private:
    std::vector<uint8_t>& out;
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
    void put(BitWriter& w, uint32_t symbol) const {
        if (used > 1) w.put(bits[symbol], length[symbol]);
    }
};

// A length in the 3-bit form: 0 to 6 as they are, 7 and more as 7 followed by (length - 7)
// one bits and a zero bit.
void putSmallLength(BitWriter& w, uint32_t length) {
    if (length < 7) {
        w.put(length, 3);
    } else {
        w.put(7, 3);
        w.put(((1u << (length - 7)) - 1) << 1, length - 6);
    }
}

// Lengths of the pre-tree or of the position code. insertionIndex: after that many lengths a
// 2-bit count of zero lengths follows (the pre-tree), or 0 for none.
void putSmallCode(BitWriter& w, const Code& code, uint32_t countWidth, uint32_t insertionIndex) {
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

class Encoder {
public:
    Encoder(const uint8_t* bytes, uint32_t n, int dictBits, uint32_t positionCodes,
            uint32_t positionCountWidth, const EncoderOptions& options, std::vector<uint8_t>& out)
        : data(bytes),
          size(n),
          window(1u << dictBits),
          posCodeCount(positionCodes),
          posCodeBits(positionCountWidth),
          maxBlock(std::clamp(options.maxBlockSymbols, 1u, 65535u)),
          maxChain(std::max(options.maxChain, 1u)),
          head(hashSize, noPosition),
          prev(window, noPosition),
          writer(out) {
        block.reserve(maxBlock);
    }

    void run();

private:
    static constexpr uint32_t hashBits = 16;
    static constexpr uint32_t hashSize = 1u << hashBits;

    struct Match {
        uint32_t length = 0;
        uint32_t distance = 0;
    };

    uint32_t hashAt(uint32_t pos) const {
        uint32_t v = static_cast<uint32_t>(data[pos]) << 16 | static_cast<uint32_t>(data[pos + 1]) << 8 |
                     data[pos + 2];
        return (v * 2654435761u) >> (32 - hashBits);
    }
    void insert(uint32_t pos) {
        if (size - pos < minMatch) return;
        uint32_t h = hashAt(pos);
        prev[pos & (window - 1)] = head[h];
        head[h] = pos;
    }
    uint32_t matchLength(uint32_t a, uint32_t b, uint32_t limit) const;
    Match find(uint32_t pos, uint32_t chain) const;
    void literal(uint8_t b) { addSymbol(b); }
    void match(const Match& m) { addSymbol((m.length + 253) | (m.distance - 1) << 16); }
    void addSymbol(uint32_t s) {
        block.push_back(s);
        if (block.size() == maxBlock) writeBlock();
    }
    void writeBlock();

    const uint8_t* data;
    uint32_t size;
    uint32_t window;
    uint32_t posCodeCount;
    uint32_t posCodeBits;
    uint32_t maxBlock;
    uint32_t maxChain;
    // head: the latest position of each hash; prev: the position before it with the same
    // hash, indexed by position modulo the window. Only positions inside the window are valid,
    // and every valid chain runs to lower positions.
    std::vector<uint32_t> head;
    std::vector<uint32_t> prev;
    // The block's symbols: the literal/length code in the low 16 bits, distance - 1 above.
    std::vector<uint32_t> block;
    BitWriter writer;
    Code symbols;
    Code preTree;
    Code positions;
};

uint32_t Encoder::matchLength(uint32_t a, uint32_t b, uint32_t limit) const {
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
    uint32_t cand = head[hashAt(pos)];
    uint32_t bestLength = minMatch - 1;
    while (cand != noPosition && pos - cand <= window) {
        // A candidate can only win if it also matches at the current best length.
        if (data[cand + bestLength] == data[pos + bestLength]) {
            uint32_t len = matchLength(cand, pos, limit);
            if (len > bestLength) {
                bestLength = len;
                best = {len, pos - cand};
                if (len == limit) break;
            }
        }
        if (--chain == 0) break;
        uint32_t next = prev[cand & (window - 1)];
        if (next >= cand) break;
        cand = next;
    }
    if (best.length == minMatch && best.distance > farMinimumMatch) best = {};
    return best;
}

void Encoder::run() {
    if (size == 0) return;
    uint32_t pos = 0;
    Match cur = find(0, maxChain);
    insert(0);
    while (pos < size) {
        if (cur.length < minMatch) {
            literal(data[pos++]);
            if (pos < size) {
                cur = find(pos, maxChain);
                insert(pos);
            }
            continue;
        }
        uint32_t inserted = pos + 1;
        if (cur.length < lazyLimit) {
            // A good match already found makes a long search for a better one less worthwhile.
            Match next = find(pos + 1, cur.length >= 8 ? std::max(maxChain / 4, 1u) : maxChain);
            insert(pos + 1);
            ++inserted;
            if (next.length > cur.length) {
                literal(data[pos++]);
                cur = next;
                continue;
            }
        }
        match(cur);
        for (uint32_t p = inserted; p < pos + cur.length; ++p) insert(p);
        pos += cur.length;
        if (pos < size) {
            cur = find(pos, maxChain);
            insert(pos);
        }
    }
    if (!block.empty()) writeBlock();
    writer.finish();
}

void Encoder::writeBlock() {
    uint32_t symFreq[symbolCount] = {};
    uint32_t posFreq[17] = {};
    for (uint32_t s : block) {
        uint32_t code = s & 0xFFFF;
        ++symFreq[code];
        if (code > 255) ++posFreq[positionCode(s >> 16)];
    }
    symbols.build(symFreq, symbolCount);
    positions.build(posFreq, posCodeCount);

    writer.put(static_cast<uint32_t>(block.size()), 16);
    if (symbols.used == 1) {
        // The pre-tree is read but never used.
        writer.put(0, 5);
        writer.put(0, 5);
        writer.put(0, 9);
        writer.put(symbols.single, 9);
    } else {
        std::vector<PreSymbol> pre = preTreeSymbols(symbols);
        uint32_t preFreq[preTreeCount] = {};
        for (const PreSymbol& p : pre) ++preFreq[p.symbol];
        preTree.build(preFreq, preTreeCount);
        putSmallCode(writer, preTree, 5, 3);
        writer.put(symbols.span, 9);
        for (const PreSymbol& p : pre) {
            preTree.put(writer, p.symbol);
            if (p.symbol == 1) writer.put(p.extra, 4);
            if (p.symbol == 2) writer.put(p.extra, 9);
        }
    }
    putSmallCode(writer, positions, posCodeBits, 0);

    for (uint32_t s : block) {
        uint32_t code = s & 0xFFFF;
        symbols.put(writer, code);
        if (code <= 255) continue;
        uint32_t d = s >> 16;
        uint32_t j = positionCode(d);
        positions.put(writer, j);
        if (j > 1) writer.put(d, j - 1);  // the bits below the leading 1
    }
    block.clear();
}

}  // namespace

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
    std::stable_sort(used.begin(), used.end(), [&](uint32_t a, uint32_t b) { return freq[a] < freq[b]; });

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

bool compressStaticHuffman(int methodIndex, const uint8_t* bytes, size_t size,
                           std::vector<uint8_t>& out, const EncoderOptions& options) {
    out.clear();
    if (methodIndex < 4 || methodIndex > 7 || size > UINT32_MAX) return false;
    static const uint8_t dictBits[4] = {12, 13, 15, 16};
    const int bits = dictBits[methodIndex - 4];
    // The position alphabet follows from the window: codes up to the window's bit width.
    const uint32_t positionCodes = bits <= 14 ? 14 : bits == 15 ? 16 : 17;
    const uint32_t countWidth = bits <= 14 ? 4 : 5;
    out.reserve(size / 2 + 64);
    Encoder(bytes, static_cast<uint32_t>(size), bits, positionCodes, countWidth, options, out).run();
    return true;
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
        m.method = methodIds[methodIndex];
        m.data = std::move(packed);
    } else {
        m.method = methodIds[methodStored];
        m.data = bytes;
    }
    return m;
}

}  // namespace nivo
