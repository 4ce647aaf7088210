// The match finders: hash chains over three-byte prefixes for the fast levels, and for the
// near-optimal ones a binary tree of the earlier positions ordered by the bytes that follow
// them, which yields every useful match at a position in one walk down.
#include "tools/static_encoder.h"

namespace nivo::encoding {

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

}  // namespace nivo::encoding
