// The blocks of the static Huffman methods. Symbols are collected into blocks; a block ends
// where two codes cost fewer bits, headers included, than one. Each block is written as
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
#include <algorithm>
#include <vector>

#include "tools/static_encoder.h"

namespace nivo::encoding {

namespace {

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

}  // namespace

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
        std::copy(posFreq[k - 1], posFreq[k - 1] + maxPositionCodes, posFreq[k]);
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
        uint32_t restSym[symbolCount], restPos[maxPositionCodes];
        for (int k = 1; k < parts; ++k) {
            if (cut[k] == 0 || cut[k] == n) continue;
            if (!mustSplit && (cut[k] < minPart || n - cut[k] < minPart)) continue;
            for (uint32_t i = 0; i < symbolCount; ++i) restSym[i] = symFreq[parts][i] - symFreq[k][i];
            for (uint32_t i = 0; i < maxPositionCodes; ++i) restPos[i] = posFreq[parts][i] - posFreq[k][i];
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

}  // namespace nivo::encoding

namespace nivo {

using encoding::maxCodeBits;

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

}  // namespace nivo
