// The parses of the input into literals and matches. The fast levels take the longest match
// found, or, with one-step lazy matching, only when the match at the next byte is not longer.
// The top levels choose among every match by price: the cheapest path through a stretch of
// input, each literal, length and position priced in bits by the code lengths of the parse
// before.
#include "tools/static_encoder.h"

namespace nivo::encoding {

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

}  // namespace nivo::encoding
