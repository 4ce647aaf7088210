// The table builder, the -lh4- to -lh7- block decoder and the dictionary loop around it.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "lzh/member_header.h"
#include "lzh/method_facts.h"
#include "common/crc16.h"
#include "decode/member_decoder.h"
#include "decode/huffman_table.h"
#include "decode/methods.h"
#include "decode/output_window.h"
#include "extract/stored_copy.h"
#include "platform/platform.h"
#include "tests/support/bit_writer.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/test_support.h"
#include "tools/lzh_encoder.h"

namespace nivo {
namespace {

using Bytes = std::vector<uint8_t>;
using test::BitWriter;

struct Table {
    StaticHuffmanState h{};
    uint16_t table[4096];
    Table() { std::fill(std::begin(table), std::end(table), 0xABCD); }
};

// A direct table entry for the symbol with its code length.
uint16_t entry(uint32_t symbol, uint32_t length) {
    return tableEntry(symbol, length);
}

TEST(BuildTable, ShortCodesFillTheDirectTableWithTheirLengths) {
    Table t;
    uint8_t lengths[2] = {1, 1};
    ASSERT_TRUE(buildTable(t.h, 2, lengths, 8, t.table));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(t.table[i], entry(i < 128 ? 0 : 1, 1)) << i;

    // One symbol of length 1: it fills the lower half, the upper half is cleared (symbol 0 of
    // length 0, which consumes nothing).
    Table one;
    uint8_t single[3] = {0, 1, 0};
    ASSERT_TRUE(buildTable(one.h, 3, single, 8, one.table));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(one.table[i], i < 128 ? entry(1, 1) : 0) << i;

    // All codes within the table: every entry written by a code.
    Table full;
    uint8_t lens[4] = {2, 2, 2, 2};
    ASSERT_TRUE(buildTable(full.h, 4, lens, 8, full.table));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(full.table[i], entry(uint32_t(i / 64), 2));
}

// Decodes the code of 16-bit left-aligned bits the way the decoders do.
int lookUp(const Table& t, int n, int tableBits, uint32_t code16, int* steps) {
    uint32_t e = t.table[code16 >> (16 - tableBits)];
    *steps = 0;
    if (!(e & treeEntry)) return int(e >> entrySymbolShift);
    uint32_t j = e;
    for (uint32_t mask = 0x8000u >> tableBits; j >= uint32_t(n); mask >>= 1, ++*steps)
        j = (code16 & mask) ? t.h.treeRight[j & nodeMask] : t.h.treeLeft[j & nodeMask];
    return int(j);
}

TEST(BuildTable, LongCodesGoThroughTheTreeWithNodesWithoutGaps) {
    // A complete code with lengths 1, 2, ..., 15, 16, 16.
    const int n = 17;
    uint8_t lengths[n];
    for (int i = 0; i < 16; ++i) lengths[i] = uint8_t(i + 1);
    lengths[16] = 16;
    Table t;
    ASSERT_TRUE(buildTable(t.h, n, lengths, 12, t.table));
    uint32_t code = 0;
    int maxNode = n - 1;
    for (int s = 0; s < n; ++s) {
        int len = lengths[s];
        uint32_t code16 = code << (16 - len);
        int steps;
        EXPECT_EQ(lookUp(t, n, 12, code16, &steps), s);
        EXPECT_EQ(steps, len > 12 ? len - 12 : 0);
        EXPECT_LE(steps, 4);
        code = (code + 1) << ((s + 1 < n ? lengths[s + 1] : len) - len);
        (void)maxNode;
    }
    // Nodes are numbered from n upwards: the 4 levels below the table take nodes 17 to 20.
    EXPECT_EQ(t.table[0xFFF], treeEntry | n);
    EXPECT_EQ(t.h.treeRight[n], treeEntry | (n + 1));
    EXPECT_EQ(t.h.treeRight[n + 2], treeEntry | (n + 3));
}

TEST(BuildTable, RefusesLengthsAbove16AndOverFullCodes) {
    Table t;
    uint8_t tooLong[3] = {1, 2, 17};
    EXPECT_FALSE(buildTable(t.h, 3, tooLong, 8, t.table));
    uint8_t overFull[3] = {1, 1, 1};
    EXPECT_FALSE(buildTable(t.h, 3, overFull, 8, t.table));
    uint8_t overFullLong[4] = {1, 1, 13, 13};
    EXPECT_FALSE(buildTable(t.h, 4, overFullLong, 12, t.table));
}

TEST(BuildTable, AnEmptyCodeLeavesTheTableAsItWas) {
    Table t;
    t.table[5] = 77;
    uint8_t none[4] = {};
    EXPECT_TRUE(buildTable(t.h, 4, none, 8, t.table));
    EXPECT_EQ(t.table[5], 77);
}

TEST(BuildTable, TheSortedBuildGivesTheTableOfTheSymbolBySymbolOne) {
    // The extractors fill the table run after run in the order of the codes, the Windows
    // program symbol by symbol: the same entries, the same tree, the same verdict, for complete,
    // incomplete and over-full codes, long ones and lengths above 16, over what a table held
    // before.
    std::mt19937 rng(31);
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = trial % 4 == 0 ? 19 : trial % 4 == 1 ? int(14 + rng() % 7) : trial % 4 == 2 ? 128 : 510;
        const int bits = n == 510 ? 12 : 8;
        std::vector<uint8_t> lengths(size_t(n), 0);
        if (trial % 5 == 4) {
            for (uint8_t& l : lengths) l = uint8_t(rng() % 3 ? 0 : rng() % (trial % 50 == 4 ? 18 : 17));
        } else {
            std::vector<uint32_t> freq(static_cast<size_t>(n));
            for (uint32_t& f : freq) f = rng() % 3 == 0 ? 1u << (rng() % 24) : 0;
            freq[rng() % size_t(n)] = 1;
            limitedHuffmanLengths(freq.data(), freq.size(), 16, lengths.data());
            if (trial % 7 == 0) lengths[rng() % size_t(n)] = 0;  // incomplete
        }
        Table sorted, bySymbols;
        for (int i = 0; i < 4096; ++i) sorted.table[i] = bySymbols.table[i] = uint16_t(rng());
        const bool a = buildTable(sorted.h, n, lengths.data(), bits, sorted.table);
        const bool b = buildTableBySymbols(bySymbols.h, n, lengths.data(), bits, bySymbols.table);
        ASSERT_EQ(a, b) << trial;
        if (!a) continue;
        // The same entries for the short codes; the long ones may number their nodes in
        // another order, so every 16 bits must lead to the same symbol in as many steps.
        for (int i = 0; i < (1 << bits); ++i) {
            ASSERT_EQ(sorted.table[i] & treeEntry, bySymbols.table[i] & treeEntry) << trial;
            if (!(sorted.table[i] & treeEntry)) ASSERT_EQ(sorted.table[i], bySymbols.table[i]) << trial;
        }
        for (uint32_t code16 = 0; code16 < 0x10000; code16 += trial % 10 == 0 ? 1 : 61) {
            int stepsSorted, stepsBySymbols;
            ASSERT_EQ(lookUp(sorted, n, bits, code16, &stepsSorted), lookUp(bySymbols, n, bits, code16, &stepsBySymbols))
                << trial << " " << code16;
            ASSERT_EQ(stepsSorted, stepsBySymbols) << trial << " " << code16;
        }
    }
}

DecodeResult decode(const Bytes& data, int method, uint32_t originalSize, Bytes* out = nullptr,
                    const ProgressReporter& progress = {}) {
    makeCrcTable();
    test::VectorSink sink;
    DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), method, originalSize, sink, progress);
    if (out) *out = sink.bytes;
    return r;
}

TEST(StaticHuffman, SingleValueBlock) {
    Bytes out;
    DecodeResult r = decode({0x00, 0x03, 0x00, 0x00, 0x04, 0x10, 0x00}, 5, 3, &out);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_EQ(out, Bytes(3, 0x41));
    EXPECT_EQ(r.crc, 0x74A0);
    r = decode({0x00, 0x03, 0x00, 0x00, 0x04, 0x10, 0x00}, 4, 3, &out);  // -lh4- reads it alike
    EXPECT_EQ(r.crc, 0x74A0);
}

TEST(StaticHuffman, PreTreeCodedLengthsAndAnOverlappingMatch) {
    Bytes out;
    DecodeResult r = decode({0x00, 0x02, 0x20, 0x04, 0x30, 0x31, 0x36, 0x46, 0x40, 0x10}, 5, 6, &out);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_EQ(out, Bytes(6, 0x61));
    EXPECT_EQ(r.crc, 0xE313);
}

// A block whose three codes are single values: every symbol is `symbol`, every match has
// position code `position`, and none costs a bit. posWidth: 4 for -lh4-/-lh5-, 5 otherwise.
BitWriter& singleValueBlock(BitWriter& w, uint32_t count, uint32_t symbol, uint32_t position, int posWidth) {
    return w.put(count, 16).put(0, 5).put(0, 5).put(0, 9).put(symbol, 9).put(0, posWidth).put(position, posWidth);
}

class RecordingSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        sizes.push_back(count);
        bytes.insert(bytes.end(), data, data + count);
        return !failAfter || --failAfter > 0;
    }
    std::vector<uint32_t> sizes;
    Bytes bytes;
    int failAfter = 0;
};

// Blocks of 65536 literals `symbol` each.
Bytes literalBlocks(int blocks, uint32_t symbol) {
    BitWriter w;
    for (int i = 0; i < blocks; ++i) singleValueBlock(w, 0, symbol, 0, 4);
    return w.bytes();
}

TEST(DictionaryLoop, WritesWholeOutputAreasAndTheRestOnce) {
    const Bytes data = literalBlocks(5, 'z');
    const uint32_t area = outputAreaSize(8192);
    for (uint32_t size : {8192u, area, area + 1, 2 * area + 5000, 0u}) {
        for (bool compact : {false, true}) {
            RecordingSink sink;
            DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), 5, size, sink, {}, compact);
            EXPECT_EQ(r.status, DecodeStatus::complete);
            std::vector<uint32_t> expected(size / area, area);
            if (size % area) expected.push_back(size % area);
            EXPECT_EQ(sink.sizes, expected) << size;
            EXPECT_EQ(sink.bytes, Bytes(size, 'z'));
            if (size == 0) EXPECT_EQ(r.crc, 0);
        }
    }
}

TEST(CopyMatch, TheWideCopyGivesTheBytesOfTheByteByByteOneForEveryDistanceAndLength) {
    // Distances across the 8- and 16-byte steps (and the short periods below them), lengths
    // across the 48 bytes copied without a look at the length: the wide copy must give the
    // bytes of the compact one, return the match's end, and write nothing more than 47 bytes
    // past it.
    std::mt19937 rng(77);
    constexpr uint32_t history = 400, slack = 64;
    for (uint32_t distance = 1; distance <= 80; ++distance) {
        for (uint32_t length = 1; length <= 300; ++length) {
            Bytes wide(history + length + slack), compact;
            for (uint8_t& b : wide) b = uint8_t(rng());
            compact = wide;
            uint8_t* const end = copyMatch<false>(wide.data() + history, distance, length);
            EXPECT_EQ(end, wide.data() + history + length);
            EXPECT_EQ(copyMatch<true>(compact.data() + history, distance, length), compact.data() + history + length);
            ASSERT_TRUE(std::equal(wide.begin(), wide.begin() + history + length, compact.begin()))
                << "distance " << distance << ", length " << length;
            ASSERT_TRUE(std::equal(wide.begin() + history + length + 47, wide.end(),
                                   compact.begin() + history + length + 47))
                << "distance " << distance << ", length " << length;
        }
    }
}

TEST(DictionaryLoop, MatchesBeforeTheFirstByteCopySpacesAndTheLastOneIsWrittenWhole) {
    // One match of 10 bytes (d = 2^4 + 0 bits, code 5) for members of several original sizes: it
    // is written whole, and it overruns every size below 10.
    BitWriter w;
    singleValueBlock(w, 1, 256 + 7, 5, 4);
    for (uint32_t size : {1u, 4u, 9u, 10u}) {
        for (bool compact : {false, true}) {
            RecordingSink sink;
            const Bytes data = w.bytes();
            DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), 5, size, sink, {}, compact);
            EXPECT_EQ(sink.bytes, Bytes(10, 0x20)) << size;
            EXPECT_EQ(r.bytesWritten, 10u) << size;
            EXPECT_EQ(r.overran, size < 10) << size;
            EXPECT_EQ(r.status, DecodeStatus::complete) << size;
        }
    }
}

TEST(DictionaryLoop, MatchesReachBackAcrossTheEndOfTheOutputArea) {
    // The area fills 'a' by 'a' up to two bytes before its end; then either three 'b' (the area
    // is written after the second) and a match of 6 from distance 3, which reads what went out
    // with the area; or a match of 6 that runs past the area's end itself.
    const uint32_t area = outputAreaSize(8192);
    for (bool matchAcross : {false, true}) {
        BitWriter w;
        singleValueBlock(w, 0, 'a', 0, 4);
        singleValueBlock(w, area - 2 - 65536, 'a', 0, 4);
        if (!matchAcross) singleValueBlock(w, 3, 'b', 0, 4);
        singleValueBlock(w, 1, 256 + 3, 2, 4).put(0, 1);  // position code 2: d = 2 + 1 extra bit (0)
        singleValueBlock(w, 1, 'c', 0, 4);
        const uint32_t size = area - 2 + (matchAcross ? 0 : 3) + 6 + 1;
        Bytes expected(area - 2, 'a');
        expected.insert(expected.end(), matchAcross ? 6 : 9, matchAcross ? 'a' : 'b');
        expected.push_back('c');
        Bytes data = w.bytes();
        for (bool compact : {false, true}) {
            RecordingSink sink;
            DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), 5, size, sink, {}, compact);
            EXPECT_EQ(r.status, DecodeStatus::complete);
            EXPECT_EQ(sink.bytes, expected);
            // A match is written whole with the area it ends in.
            EXPECT_EQ(sink.sizes[0], matchAcross ? area + 4 : area);
        }
    }
}

TEST(DictionaryLoop, DamageRightAfterAFullDictionaryWritesNothingEmpty) {
    // Found by fuzzing: -lh7- data whose damage shows just after a whole dictionary went out.
    // Nothing is pending then, and nothing may be written (VectorSink refuses empty writes).
    const Bytes data = {
        0xFF, 0xFF, 0x0A, 0x00, 0x00, 0x45, 0x4C, 0x52, 0xB6, 0x1F, 0xF4, 0xEC, 0xC6, 0x87, 0xCD, 0x00,
        0xA0, 0xFC, 0xAC, 0x52, 0xA7, 0xBD, 0xF9, 0xDC, 0x31, 0xCE, 0xAD, 0x02, 0x34, 0x24, 0x68, 0xCC,
        0x41, 0xDD, 0x7A, 0x46, 0x80, 0xCD, 0x53, 0xB4, 0x57, 0xE3, 0x68, 0x24, 0x80, 0x00, 0x20, 0xED,
        0x5B, 0x70, 0x8B, 0x92, 0xCC, 0x84, 0x16, 0x95, 0xA1, 0x6A, 0x1C, 0x0D, 0x99, 0x3C, 0xB2, 0x60,
        0x8F, 0x88, 0xE5, 0xE9, 0x7F, 0x8C, 0x99, 0xA8, 0xEC, 0xC7, 0x4A, 0x8B, 0x5F, 0xAF, 0x85, 0xBD,
        0xE3, 0xBF, 0xD0, 0x9F, 0xCF, 0xE7, 0xF3, 0xF9, 0xFC, 0xFE, 0x7F, 0x3F, 0x9F, 0xFF, 0xFC,
    };
    Bytes out;
    DecodeResult r = decode(data, 7, 130689, &out);
    EXPECT_EQ(r.status, DecodeStatus::damaged);
    EXPECT_EQ(r.bytesWritten, out.size());
}

TEST(StaticHuffman, PositionCodesByMethod) {
    // -lh7- has 17 position codes: code 16 reads 15 extra bits, d from 32768 to 65535.
    BitWriter w;
    singleValueBlock(w, 40000, 'q', 0, 5);
    singleValueBlock(w, 1, 256 + 0, 16, 5).put(0x7FFF, 15);  // d = 65535: 65536 back
    Bytes out;
    DecodeResult r = decode(w.bytes(), 7, 40003, &out);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    Bytes expected(40000, 'q');
    expected.insert(expected.end(), 3, 0x20);  // 65536 back: positions not yet written
    EXPECT_EQ(out, expected);
    // -lh5- has 14: a single position value of 14 lies outside its alphabet.
    BitWriter bad;
    singleValueBlock(bad, 1, 256, 14, 4);
    EXPECT_EQ(decode(bad.bytes(), 5, 3).status, DecodeStatus::damaged);
    // -lh6- has 16: 16 is outside, 15 inside.
    BitWriter six;
    singleValueBlock(six, 1, 256, 16, 5);
    EXPECT_EQ(decode(six.bytes(), 6, 3).status, DecodeStatus::damaged);
}

TEST(StaticHuffman, DamagedBlockHeadersEndTheMember) {
    struct Case {
        const char* what;
        Bytes data;
    } cases[] = {
        // Literal count 0 and a single value of 510 or more.
        {"single symbol outside the alphabet", BitWriter().put(1, 16).put(0, 5).put(0, 5).put(0, 9).put(510, 9).bytes()},
        {"pre-tree single value outside", BitWriter().put(1, 16).put(0, 5).put(19, 5).bytes()},
        // Pre-tree of 3 lengths 7+ with a run of 1 bits making a length of 17.
        {"length above 16", BitWriter().put(1, 16).put(3, 5).bits("111 1111111111 0").put(1, 3).put(1, 3).put(0, 2).bytes()},
        // Three pre-tree codes of length 1: over-full.
        {"over-full pre-tree", BitWriter().put(1, 16).put(3, 5).put(1, 3).put(1, 3).put(1, 3).put(0, 2).bytes()},
        // Literal count of 511: past the 510 lengths.
        {"count past 510", BitWriter().put(1, 16).put(0, 5).put(2, 5).put(511, 9).bytes()},
        // Pre-tree single value 2 (a run of 20 + 9 bits) running past 510.
        {"zero run past 510", BitWriter().put(1, 16).put(0, 5).put(2, 5).put(500, 9).put(511, 9).bytes()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out;
        DecodeResult r = decode(c.data, 5, 1000, &out);
        EXPECT_EQ(r.status, DecodeStatus::damaged);
        EXPECT_LT(out.size(), 1000u);
    }
}

// Both forms of the loop, checked against each other; the wide form's result.
DecodeResult decodeBothForms(const Bytes& data, int method, uint32_t originalSize, Bytes* out = nullptr) {
    test::Decoded d = test::decodeBothForms(data, method, originalSize);
    if (out) *out = std::move(d.bytes);
    return d.result;
}

TEST(StaticHuffman, RandomDataEndsWithoutHarmForEveryMethod) {
    std::mt19937 rng(12345);
    for (int method : {4, 5, 6, 7, 12}) {
        for (int trial = 0; trial < 200; ++trial) {
            Bytes data(size_t(rng() % 600), 0);
            for (uint8_t& b : data) b = uint8_t(rng());
            Bytes out;
            DecodeResult r = decodeBothForms(data, method, 50000, &out);
            // Either damaged, or decoded to the size (a match may run a little past it).
            if (r.status == DecodeStatus::complete) {
                EXPECT_GE(out.size(), 50000u);
                EXPECT_LE(out.size(), 50000u + 256);
            } else {
                EXPECT_EQ(r.status, DecodeStatus::damaged);
            }
        }
    }
}

TEST(StaticHuffman, DamagedStreamsGiveTheSameVerdictInBothForms) {
    // Real compressed data with small blocks, then bits flipped, bytes cut off or the sizes
    // claimed wrong: the wide loop must stop, write and judge exactly as the compact one.
    Bytes text;
    std::mt19937 rng(99);
    static const char* words[] = {"lorem ", "ipsum ", "dolor ", "sit ", "amet, ", "\n", "0123456789 "};
    while (text.size() < 200000) {
        const char* w = words[rng() % 7];
        text.insert(text.end(), w, w + std::strlen(w));
        if (rng() % 50 == 0) text.push_back(uint8_t(rng()));
    }
    for (int method : {5, 7}) {
        EncoderOptions options;
        options.maxBlockSymbols = uint32_t(1000 + rng() % 3000);
        Bytes packed;
        ASSERT_TRUE(compressStaticHuffman(method, text.data(), text.size(), packed, options));
        Bytes out;
        DecodeResult clean = decodeBothForms(packed, method, uint32_t(text.size()), &out);
        EXPECT_EQ(clean.status, DecodeStatus::complete);
        EXPECT_EQ(out, text);
        for (int trial = 0; trial < 60; ++trial) {
            Bytes damaged = packed;
            uint32_t size = uint32_t(text.size());
            switch (trial % 3) {
            case 0:
                for (int k = 0; k < 1 + trial / 10; ++k) damaged[rng() % damaged.size()] ^= uint8_t(1 << (rng() % 8));
                break;
            case 1:
                damaged.resize(rng() % damaged.size());
                break;
            default:
                size += uint32_t(rng() % 100000);
                break;
            }
            SCOPED_TRACE(trial);
            decodeBothForms(damaged, method, size);
        }
    }
}

// Code lengths in 3 bits, 7 and more as 7 and a run of 1 bits ended by a 0.
void putLengths(BitWriter& w, const std::vector<uint8_t>& lengths) {
    for (uint8_t l : lengths) {
        w.put(l < 7 ? l : 7, 3);
        for (int k = 7; k < l; ++k) w.put(1, 1);
        if (l >= 7) w.put(0, 1);
    }
}

// The canonical codes of the lengths: shorter codes first, lower symbols first within a length.
std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (int len = 1; len <= 16; ++len, code <<= 1)
        for (size_t i = 0; i < lengths.size(); ++i)
            if (lengths[i] == len) codes[i] = code++;
    return codes;
}

TEST(StaticHuffman, FastLoopMeetsLongCodesEveryPositionCodeAndBlockEnds) {
    // Blocks of 1 to 4 symbols between long ones, with codes of up to 16 bits for literals,
    // matches and positions alike, and every position code with all its low bits: each form of
    // the loop must give what a byte-by-byte model of the format gives.
    std::mt19937 rng(2024);
    for (int method : {5, 7, 12}) {
        SCOPED_TRACE(method);
        const uint32_t positionCodes = method == 5 ? 14 : method == 7 ? 17 : 20;
        const int posWidth = method == 5 ? 4 : 5;
        BitWriter w;
        Bytes expected;
        for (int block = 0; block < 40; ++block) {
            const uint32_t count = block % 3 == 0 ? 1 + rng() % 4 : 1 + rng() % 3000;
            // Skewed frequencies, so that the rare symbols get codes of up to 16 bits.
            std::vector<uint32_t> symFreq(510), posFreq(positionCodes);
            for (uint32_t& f : symFreq) f = rng() % 3 == 0 ? 1u << (rng() % 24) : 0;
            for (uint32_t& f : posFreq) f = 1u << (rng() % 24);
            symFreq[rng() % 510] = 1;
            std::vector<uint8_t> symLen(510), posLen(positionCodes);
            limitedHuffmanLengths(symFreq.data(), symFreq.size(), 16, symLen.data());
            limitedHuffmanLengths(posFreq.data(), posFreq.size(), 16, posLen.data());
            const std::vector<uint32_t> symCode = canonicalCodes(symLen), posCode = canonicalCodes(posLen);
            std::vector<uint32_t> used;
            for (uint32_t i = 0; i < 510; ++i)
                if (symLen[i]) used.push_back(i);

            // The header: the pre-tree gives each of its 19 symbols a 5-bit code, so that
            // pre-tree symbol k is written as k in 5 bits (a length L as L + 2).
            w.put(count, 16).put(19, 5).put(5, 3).put(5, 3).put(5, 3).put(0, 2);
            for (int k = 3; k < 19; ++k) w.put(5, 3);
            w.put(510, 9);
            for (uint8_t l : symLen) w.put(l ? l + 2u : 0u, 5);
            w.put(positionCodes, posWidth);
            putLengths(w, posLen);

            for (uint32_t n = 0; n < count; ++n) {
                const uint32_t c = used[rng() % used.size()];
                w.put(symCode[c], symLen[c]);
                if (c < 256) {
                    expected.push_back(uint8_t(c));
                    continue;
                }
                const uint32_t j = uint32_t(rng() % positionCodes);
                uint32_t d = j;
                w.put(posCode[j], posLen[j]);
                if (j >= 2) {
                    const uint32_t low = uint32_t(rng()) & ((1u << (j - 1)) - 1);
                    w.put(low, int(j - 1));
                    d = (1u << (j - 1)) + low;
                }
                // Before the first byte, the dictionary holds spaces.
                for (uint32_t k = 0; k < c - 253; ++k) {
                    const size_t at = expected.size();
                    expected.push_back(at > d ? expected[at - d - 1] : uint8_t(0x20));
                }
            }
        }
        Bytes out;
        DecodeResult r = decodeBothForms(w.bytes(), method, uint32_t(expected.size()), &out);
        EXPECT_EQ(r.status, DecodeStatus::complete);
        EXPECT_TRUE(out == expected);
        // From the file through input buffers just above and below what the fast loop needs
        // (blockSymbolsInputBytes): it meets the buffer's end at every step of its own. In the
        // loop's BMI2 build and its portable one.
        const bool chosen = staticLoopBmi2;
        for (uint32_t limit : {2u, blockSymbolsInputBytes - 1, blockSymbolsInputBytes, blockSymbolsInputBytes + 1,
                               blockSymbolsInputBytes + 7, 2 * blockSymbolsInputBytes + 3, 1000u}) {
            for (bool bmi2 : {false, true}) {
                if (bmi2 && !processorHasBmi2()) continue;
                staticLoopBmi2 = bmi2;
                SCOPED_TRACE(testing::Message() << "input buffer of " << limit << (bmi2 ? ", BMI2" : ", portable"));
                const Bytes data = w.bytes();
                FILE* f = test::fileWithBytes(data);
                ASSERT_NE(f, nullptr);
                test::VectorSink streamed;
                MemberDecoder decoder(f, streamed, expected.size(), data.size(), static_cast<int>(dictBitsOf(method)), method);
                decoder.setInputLimit(limit);
                DecodeResult sr = decoder.run();
                std::fclose(f);
                EXPECT_EQ(sr.status, DecodeStatus::complete);
                EXPECT_EQ(sr.crc, r.crc);
                EXPECT_TRUE(streamed.bytes == expected);
            }
        }
        staticLoopBmi2 = chosen;
    }
}

TEST(StaticHuffman, LhxReachesBackMoreThan16Bits) {
    // -lhx-: a 2^19-byte dictionary, 20 position codes with a 5-bit count. 'A', then 2^18 + 5
    // times 'q', then a match of 3 whose position code 19 (18 extra bits) reaches back to the 'A'.
    const uint32_t run = (1u << 18) + 5;
    const uint32_t d = run;  // distance - 1: the 'A' is run + 1 bytes behind
    BitWriter w;
    singleValueBlock(w, 1, 'A', 0, 5);
    for (uint32_t left = run; left;) {
        const uint32_t n = left > 65535 ? 65535 : left;
        singleValueBlock(w, n, 'q', 0, 5);
        left -= n;
    }
    singleValueBlock(w, 1, 256, 19, 5).put(d - (1u << 18), 18);
    MemberHeader h{};
    std::memcpy(h.method, "-lhx-", 5);
    const int method = methodIndex(h);
    ASSERT_EQ(method, 12);
    Bytes out;
    DecodeResult r = decodeBothForms(w.bytes(), method, run + 4, &out);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    ASSERT_EQ(out.size(), run + 4);
    EXPECT_EQ(std::string(out.end() - 4, out.end()), "qAqq");
    // The same code is outside -lh7-'s 17 position codes.
    EXPECT_EQ(decodeBothForms(w.bytes(), 7, run + 4).status, DecodeStatus::damaged);
}

TEST(StaticHuffman, ABlockCountOfZeroMeans65536Symbols) {
    BitWriter w;
    singleValueBlock(w, 0, 'k', 0, 4);
    singleValueBlock(w, 1, 'm', 0, 4);
    Bytes out;
    DecodeResult r = decode(w.bytes(), 5, 65537, &out);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    ASSERT_EQ(out.size(), 65537u);
    EXPECT_EQ(out[65535], 'k');
    EXPECT_EQ(out[65536], 'm');
}

TEST(StaticHuffman, DataThatRunsFarPastItsEndIsDamaged) {
    // One literal per block of one symbol: after the data, zero bits make blocks of 65536
    // zero symbols from almost nothing; the decoder must not take that for data.
    BitWriter w;
    singleValueBlock(w, 1, 'x', 0, 4);
    DecodeResult r = decode(w.bytes(), 5, 1u << 30);
    EXPECT_EQ(r.status, DecodeStatus::damaged);
}

using test::PositionRecorder;

TEST(Progress, PositionsFollowTheTwoFormulas) {
    struct Case {
        uint32_t total, done, produced, expected;
    } cases[] = {{500, 0, 250, 50}, {1000000, 0, 250000, 25}, {1099, 0, 1099, 109}, {1000, 400, 100, 50}};
    for (const Case& c : cases) {
        RunValues run;
        run.totalBytes = c.total;
        run.bytesDone = c.done;
        PositionRecorder fe;
        ProgressReporter p{&run, &fe};
        p.report(c.produced);
        EXPECT_EQ(fe.positions, std::vector<uint32_t>{c.expected}) << c.total;
        p.report(c.produced);  // unchanged: nothing sent
        EXPECT_EQ(fe.positions.size(), 1u);
    }
    RunValues empty;
    PositionRecorder fe;
    ProgressReporter p{&empty, &fe};
    p.report(100);
    EXPECT_TRUE(fe.positions.empty());
}

TEST(Progress, EveryChangeIsSentOnceAndInOrder) {
    RunValues run;
    run.totalBytes = 123457;
    PositionRecorder fe;
    ProgressReporter p{&run, &fe};
    std::vector<uint32_t> expected;
    uint32_t last = 0;
    for (uint32_t d = 0; d <= run.totalBytes; d += 7) {
        p.report(d);
        uint32_t pos = d / (run.totalBytes / 100);
        if (pos != last) expected.push_back(last = pos);
    }
    EXPECT_EQ(fe.positions, expected);
}

TEST(Progress, MovesOnlyBetweenSymbolsNeverInsideAMatch) {
    // One literal, then matches of 256 bytes: the symbols end at 1, 257, 513, 769 and 1025 bytes.
    // With a total of 1000 the bar goes to 25, 51, 76 and 102 (the last match runs past the
    // size), never to a position that a count inside a match would give.
    BitWriter w;
    singleValueBlock(w, 1, 'a', 0, 4);
    singleValueBlock(w, 4, 509, 0, 4);
    const Bytes data = w.bytes();
    for (bool compact : {false, true}) {
        RunValues run;
        run.totalBytes = 1000;
        PositionRecorder fe;
        test::VectorSink sink;
        DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), 5, 1000, sink, ProgressReporter{&run, &fe},
                                          compact);
        EXPECT_EQ(r.status, DecodeStatus::complete);
        EXPECT_EQ(fe.positions, (std::vector<uint32_t>{25, 51, 76, 102})) << compact;
    }
}

TEST(StoredCopy, CopiesInBlocksWithTheCrcAndProgress) {
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    FILE* f = test::fileWithBytes(data);
    RunValues run;
    run.totalBytes = 5000;
    PositionRecorder fe;
    RecordingSink sink;
    makeCrcTable();
    DecodeResult r = storedCopy(f, &sink, 5000, ProgressReporter{&run, &fe});
    std::fclose(f);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_EQ(sink.sizes, (std::vector<uint32_t>{2048, 2048, 904}));
    EXPECT_EQ(sink.bytes, data);
    EXPECT_EQ(r.crc, updateCrc(0, data.data(), 5000));
    // Reported after each block: 2048, 4096 and 5000 bytes of 5000.
    EXPECT_EQ(fe.positions, (std::vector<uint32_t>{40, 81, 100}));
}

TEST(StoredCopy, NothingForZeroBytesAndTruncationIsToldApart) {
    FILE* f = test::fileWithBytes({1, 2, 3});
    RecordingSink sink;
    DecodeResult r = storedCopy(f, &sink, 0, {});
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_TRUE(sink.sizes.empty());
    EXPECT_EQ(r.crc, 0);
    r = storedCopy(f, &sink, 10, {});
    EXPECT_EQ(r.status, DecodeStatus::damaged);
    EXPECT_TRUE(r.truncated);
    std::fclose(f);
}

TEST(Abort, StopsAtTheReportAndWritesNothingMore) {
    const Bytes data = literalBlocks(5, 'a');
    RunValues run;
    run.totalBytes = 300000;
    struct Aborter : FrontEnd {
        RunValues* run;
        void progressPosition(uint32_t p) override {
            if (p >= 50) run->keepRunning = 0;
        }
    } fe;
    fe.run = &run;
    RecordingSink sink;
    DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), 5, 300000, sink, ProgressReporter{&run, &fe});
    EXPECT_EQ(r.status, DecodeStatus::aborted);
    // Aborted at 150000 bytes: only the whole output area written before reaches the output.
    EXPECT_EQ(sink.bytes.size(), outputAreaSize(8192));
}

TEST(WriteErrors, AreReportedAndStopTheMember) {
    const Bytes data = literalBlocks(5, 'a');
    RecordingSink sink;
    sink.failAfter = 2;
    DecodeResult r = decodeMemberData(data.data(), uint32_t(data.size()), 5, 300000, sink);
    EXPECT_EQ(r.status, DecodeStatus::writeFailed);
    EXPECT_EQ(sink.sizes.size(), 2u);
}

}  // namespace
}  // namespace nivo
