// Canonical Huffman lookup tables.
//
// Codes are canonical: shorter codes come first, and within one length lower symbols get lower
// codes. Every code of up to tableBits bits fills 2^(tableBits - length) consecutive entries of
// the direct table. A longer code starts in the entry of its first tableBits bits and goes on
// through a binary tree: the entry holds a node number (alphabetSize or more), and each further
// bit picks treeRight (1) or treeLeft (0) until a symbol is reached.
#include "decode/huffman_table.h"

#include <cstring>

namespace nivo {

namespace {

// Places the code of symbol s, longer than the table: the table's entry leads to the code's
// first node, each link to the next; a node is held as treeEntry with its number, in the table
// and in the links alike. New nodes are numbered from nextNode on. False where another code is
// in the way: not a prefix code.
[[gnu::always_inline]] inline bool placeLongCode(StaticHuffmanState& h, uint16_t* table, uint32_t bits, uint32_t s,
                                                 uint32_t len, uint32_t code, uint32_t& nextNode) {
    uint16_t* slot = &table[code >> (16 - bits)];
    uint32_t path = code << bits;  // bit 15 is the first bit after the table's part
    for (uint32_t k = bits; k < len; ++k) {
        if (*slot == 0) {
            if (nextNode >= 1024) return false;
            h.treeLeft[nextNode] = 0;
            h.treeRight[nextNode] = 0;
            *slot = static_cast<uint16_t>(treeEntry | nextNode++);
        } else if (!(*slot & treeEntry)) {
            return false;
        }
        const uint32_t node = *slot & nodeMask;
        slot = (path & 0x8000) ? &h.treeRight[node] : &h.treeLeft[node];
        path <<= 1;
    }
    if (*slot != 0) return false;
    *slot = static_cast<uint16_t>(s);
    return true;
}

// bySort: the short codes in the order of their codes (the extractors' form); otherwise symbol
// by symbol (the Windows program's, smaller). The results are the same.
template <bool bySort>
bool build(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits, uint16_t* table) {
    const auto n = static_cast<uint32_t>(alphabetSize);
    const auto bits = static_cast<uint32_t>(tableBits);
    uint32_t count[17] = {};
    if constexpr (bySort) {
        // Four counts side by side, so that a run of equal lengths is not one chain of
        // increments through memory; eight lengths of 0 at a time are only counted.
        uint32_t counts[4][17] = {};
        uint32_t s = 0;
        for (; s + 8 <= n; s += 8) {
            uint64_t eight;
            std::memcpy(&eight, lengths + s, 8);
            if (eight == 0) {
                counts[0][0] += 8;
                continue;
            }
            // A byte above 16 sets its top bit, itself or with 0x6F added (a carry into the
            // next byte only sends the eight to the exact look).
            if (((eight + 0x6F6F6F6F6F6F6F6Full) | eight) & 0x8080808080808080ull) {
                for (uint32_t k = 0; k < 8; ++k)
                    if (lengths[s + k] > 16) return false;
            }
            for (uint32_t k = 0; k < 8; ++k) ++counts[k & 3][lengths[s + k]];
        }
        for (; s < n; ++s) {
            if (lengths[s] > 16) return false;
            ++counts[0][lengths[s]];
        }
        for (uint32_t i = 0; i <= 16; ++i) count[i] = counts[0][i] + counts[1][i] + counts[2][i] + counts[3][i];
    } else {
        for (uint32_t s = 0; s < n; ++s) {
            if (lengths[s] > 16) return false;
            ++count[lengths[s]];
        }
    }
    if (count[0] == n) return true;  // an empty code leaves the table as it was

    // start[i]: the first code of length i, left-aligned in 16 bits.
    uint32_t start[18];
    uint32_t total = 0;
    for (uint32_t i = 1; i <= 16; ++i) {
        start[i] = total;
        total += count[i] << (16 - i);
    }
    if (total > 0x10000) return false;  // over-full: two codes would share a path
    start[17] = total;

    const uint32_t shift = 16 - bits;
    const uint32_t tableSize = 1u << bits;
    // Entries past the short codes belong to long codes (or to no code at all); they start
    // empty, so that no node of an earlier table stays reachable.
    for (uint32_t i = start[bits + 1] >> shift; i < tableSize; ++i) table[i] = 0;

    if constexpr (bySort) {
        // The short codes in the order of their codes, which is the table's: by length, and
        // by symbol within a length (a counting sort). Each fills the run of entries after
        // the one before, 2^(bits - length) of them, by 16, 8, 4 or 2 bytes a store.
        uint16_t sorted[1024];
        uint32_t at[18];
        at[0] = 0;
        for (uint32_t i = 0; i <= 16; ++i) at[i + 1] = at[i] + count[i];
        for (uint32_t s = 0; s < n; ++s) {
            if (s + 8 <= n) {
                uint64_t eight;
                std::memcpy(&eight, lengths + s, 8);
                if (eight == 0) {
                    s += 7;
                    continue;
                }
            }
            if (lengths[s]) sorted[at[lengths[s]]++] = static_cast<uint16_t>(s);
        }
        uint16_t* fill = table;
        const uint16_t* next = sorted + count[0];
        for (uint32_t len = 1; len <= bits; ++len) {
            const uint32_t run = 1u << (bits - len);
            const uint16_t* const end = next + count[len];
            for (; next != end; ++next) {
                const uint64_t four = 0x0001000100010001ull * tableEntry(*next, len);
                if (run >= 8) {
                    const uint64_t eight[2] = {four, four};
                    for (uint32_t i = 0; i < run; i += 8) std::memcpy(fill + i, eight, 16);
                } else if (run == 4) {
                    std::memcpy(fill, &four, 8);
                } else if (run == 2) {
                    std::memcpy(fill, &four, 4);
                } else {
                    std::memcpy(fill, &four, 2);
                }
                fill += run;
            }
        }
        // The long codes, length by length from the sorted list: each takes its path of
        // nodes from the table's entry of its first bits.
        uint32_t nextNode = n;
        for (uint32_t len = bits + 1; len <= 16; ++len) {
            uint32_t code = start[len];
            const uint16_t* const end = next + count[len];
            for (; next != end; ++next, code += 1u << (16 - len))
                if (!placeLongCode(h, table, bits, *next, len, code, nextNode)) return false;
        }
        return true;
    }

    uint32_t nextNode = n;
    for (uint32_t s = 0; s < n; ++s) {
        const uint32_t len = lengths[s];
        if (len == 0) continue;
        const uint32_t code = start[len];
        start[len] = code + (1u << (16 - len));
        if (len <= bits) {
            const uint16_t entry = tableEntry(s, len);
            for (uint32_t i = code >> shift, end = (code + (1u << (16 - len))) >> shift; i < end; ++i)
                table[i] = entry;
            continue;
        }
        if (!placeLongCode(h, table, bits, s, len, code, nextNode)) return false;
    }
    return true;
}

}  // namespace

bool buildTable(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                uint16_t* table) {
    return build<!compactDecoder>(h, alphabetSize, lengths, tableBits, table);
}

#ifndef NIVO_COMPACT_DECODER
bool buildTableBySymbols(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                         uint16_t* table) {
    return build<false>(h, alphabetSize, lengths, tableBits, table);
}
#endif

uint32_t walkTree(DecoderState& s, uint32_t entry, uint32_t next16, uint32_t alphabet, uint32_t tableBits,
                  const uint8_t* lengths) {
    const StaticHuffmanState& h = s.huff;
    uint32_t j = entry;
    uint32_t mask = 1u << (15 - tableBits);
    for (uint32_t step = tableBits; j >= alphabet; ++step, mask >>= 1) {
        if (step == 16) {
            s.damaged = true;
            return 0;
        }
        j = (next16 & mask) ? h.treeRight[j & nodeMask] : h.treeLeft[j & nodeMask];
    }
    if (lengths[j] <= tableBits) {
        s.damaged = true;
        return 0;
    }
    return j;
}

}  // namespace nivo
