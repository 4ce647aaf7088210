// The output window: the dictionary and the output buffer in one block of memory.
//
//   [ history: dictionarySize bytes ][ output area ][ slack ]
//
// Bytes are produced into the output area, one after another, so a match's source is always
// the plain address out - distance: the history in front holds the dictionary's last bytes
// (spaces, or the -lz5- contents, when a member starts). When the area is full it is written
// out in one block, and its last dictionarySize bytes are moved to the history. The slack
// behind the area takes a match that starts just before the area's end, and the few bytes that
// a copy by 16-byte blocks writes past a match.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace nivo {

// The longest match of any method (-lh2- and -lh3-: 32 plus an 8-bit extension), and the slack
// behind the output area.
constexpr uint32_t maxMatchLength = 287;
constexpr uint32_t windowSlack = maxMatchLength + 64;

// The output area: large blocks for the file, and at least twice the dictionary, so that the
// move to the history costs little against the bytes produced.
constexpr uint32_t outputAreaSize(uint32_t dictionarySize) {
    return dictionarySize * 2 > 128 * 1024 ? dictionarySize * 2 : 128 * 1024;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void store64(uint8_t* p, uint64_t v) {
    std::memcpy(p, &v, 8);
}

// Sixteen bytes, in one register where the processor has one that wide.
struct Bytes16 {
    uint8_t b[16];
};

inline Bytes16 load128(const uint8_t* p) {
    Bytes16 v;
    std::memcpy(&v, p, 16);
    return v;
}

inline void store128(uint8_t* p, const Bytes16& v) {
    std::memcpy(p, &v, 16);
}

// Copies a match of length bytes from distance bytes back (1 or more) to out and returns the
// end of the match. A match whose distance is shorter than its length repeats what it has just
// written, as a byte-by-byte copy would. The wide form copies blocks of 16 bytes (8 for
// distances below 16) and may write up to 47 bytes past the match (into the slack, or over
// bytes not yet produced); the compact form copies byte by byte.
template <bool compact>
inline uint8_t* copyMatch(uint8_t* out, uint32_t distance, uint32_t length) {
    const uint8_t* src = out - distance;
    uint8_t* const end = out + length;
    if constexpr (compact) {
        do *out++ = *src++;
        while (out != end);
        return end;
    } else {
        if (distance >= 16) {
            // Every block read lies behind the block written: earlier bytes of this match
            // included, they are already in place. Most matches are short: three blocks of
            // sixteen bytes without a branch on the length, which would be hard to predict.
            store128(out, load128(src));
            store128(out + 16, load128(src + 16));
            store128(out + 32, load128(src + 32));
            if (length > 48) {
                src += 48;
                out += 48;
                do {
                    store128(out, load128(src));
                    src += 16;
                    out += 16;
                } while (out < end);
            }
        } else if (distance >= 8) {
            do {
                store64(out, load64(src));
                src += 8;
                out += 8;
            } while (out < end);
        } else {
            // A short period (1 to 7 bytes): a word of whole periods, the period's bytes
            // repeated from the match's start, written again at each multiple of the period
            // that a word's start can take. No word waits for the one before it.
            // The step, 8 - 8 % distance, from a table: no division on the way.
            constexpr uint8_t wholePeriods[8] = {0, 8, 8, 6, 8, 5, 6, 7};
            const uint32_t step = wholePeriods[distance];
            uint64_t v = load64(src);
            if constexpr (std::endian::native == std::endian::little) {
                v &= (1ull << (8 * distance)) - 1;
                for (uint32_t have = distance; have < 8; have *= 2) v |= v << (8 * have);
            } else {
                v &= ~(~0ull >> (8 * distance));
                for (uint32_t have = distance; have < 8; have *= 2) v |= v >> (8 * have);
            }
            do {
                store64(out, v);
                out += step;
            } while (out < end);
        }
        return end;
    }
}

}  // namespace nivo
