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

bool buildTable(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                uint16_t* table) {
    const auto n = static_cast<uint32_t>(alphabetSize);
    const auto bits = static_cast<uint32_t>(tableBits);
    uint32_t count[17] = {};
    for (uint32_t s = 0; s < n; ++s) {
        if (lengths[s] > 16) return false;
        ++count[lengths[s]];
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

    uint32_t nextNode = n;
    for (uint32_t s = 0; s < n; ++s) {
        const uint32_t len = lengths[s];
        if (len == 0) continue;
        const uint32_t code = start[len];
        start[len] = code + (1u << (16 - len));
        if (len <= bits) {
            const uint16_t entry = tableEntry(s, len);
            uint32_t i = code >> shift;
            const uint32_t end = (code + (1u << (16 - len))) >> shift;
            if (!compactDecoder && end - i >= 8) {
                // A run of 8 or more entries starts at a multiple of its length: 16 bytes at
                // a time.
                const uint64_t four = 0x0001000100010001ull * entry;
                const uint64_t eight[2] = {four, four};
                for (; i < end; i += 8) std::memcpy(&table[i], eight, 16);
            } else if (!compactDecoder && end - i >= 4) {
                const uint64_t four = 0x0001000100010001ull * entry;
                std::memcpy(&table[i], &four, 8);
                i = end;
            }
            for (; i < end; ++i) table[i] = entry;
            continue;
        }
        // The table's entry leads to the code's first node, each link to the next; a node
        // is held as treeEntry with its number, in the table and in the links alike.
        uint16_t* slot = &table[code >> shift];
        uint32_t path = code << bits;  // bit 15 is the first bit after the table's part
        for (uint32_t k = bits; k < len; ++k) {
            if (*slot == 0) {
                if (nextNode >= 1024) return false;
                h.treeLeft[nextNode] = 0;
                h.treeRight[nextNode] = 0;
                *slot = static_cast<uint16_t>(treeEntry | nextNode++);
            } else if (!(*slot & treeEntry)) {
                return false;  // a leaf in the way: not a prefix code
            }
            const uint32_t node = *slot & nodeMask;
            slot = (path & 0x8000) ? &h.treeRight[node] : &h.treeLeft[node];
            path <<= 1;
        }
        if (*slot != 0) return false;
        *slot = static_cast<uint16_t>(s);
    }
    return true;
}

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
