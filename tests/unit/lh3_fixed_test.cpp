// -lh3- blocks and the table-driven position codes of -lh1- and -lh3-: the ready-made codes,
// the single-value cases, damaged block headers, and a member that starts after one whose data
// ended inside a block.
#include <gtest/gtest.h>

#include <map>

#include "decode/methods.h"
#include "tests/support/decoder_harness.h"

namespace nivo {
namespace {

using test::BitWriter;
using test::MemoryDecoder;

std::vector<uint8_t> text(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Block header pieces, in stream order.
BitWriter& symbolLengths(BitWriter& w, const std::map<int, int>& lengths) {
    for (int i = 0; i < 286; ++i) {
        auto it = lengths.find(i);
        if (it == lengths.end()) {
            w.bits("0");
        } else {
            w.bits("1").put(static_cast<uint32_t>(it->second - 1), 4);
        }
    }
    return w;
}

BitWriter& singleSymbol(BitWriter& w, uint32_t symbol) {
    return w.repeat("1 0000", 3).put(symbol, 9);
}

BitWriter& singlePosition(BitWriter& w, uint32_t code) {
    return w.bits("1").repeat("0001", 3).put(code, 7);
}

BitWriter& readyMadePositions(BitWriter& w) {
    return w.bits("0");
}

TEST(FixedPositionCode, Lh1CodesAreTheReadyMadeOnes) {
    // Lengths 3 (code 0), 4 (1 to 3), 5 (4 to 11), 6 (12 to 23), 7 (24 to 47), 8 (48 to 63).
    struct Case {
        const char* bits;
        uint16_t distance;
        uint64_t consumed;
    };
    const Case cases[] = {
        {"000 000000", 0, 9},
        {"000 000101", 5, 9},
        {"0010 000001", 64 + 1, 10},
        {"01010 000000", 4 * 64, 11},
        {"11111111 111111", 63 * 64 + 63, 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        MemoryDecoder m(BitWriter().bits(c.bits).bytes(), 12);
        decodeInitFixed(m.s);
        EXPECT_EQ(decodeDistanceTable(m.s), c.distance);
        EXPECT_EQ(m.bitsConsumed(), c.consumed);
        EXPECT_FALSE(m.s.damaged);
    }
}

TEST(FixedPositionCode, Lh3ReadyMadeCodeServesABlockWithoutPositionLengths) {
    // Lengths 2 (code 0), 4 (1, 2), 5 (3 to 5), 6 (6 to 12), 7 (13 to 30), 8 (31 to 77) and
    // 9 (78 to 127): the last ones go through the tree behind the 8-bit table.
    struct Case {
        const char* bits;
        uint16_t distance;
        uint64_t codeBits;
    };
    const Case cases[] = {
        {"00 000000", 0, 8},
        {"0100 000000", 64, 10},
        {"0101 000011", 2 * 64 + 3, 10},
        {"111111111 000000", 127 * 64, 15},
        {"111111110 000001", 126 * 64 + 1, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        BitWriter w;
        w.put(1, 16);
        singleSymbol(w, 256);
        readyMadePositions(w);
        const uint64_t header = w.bitCount();
        MemoryDecoder m(w.bits(c.bits).bytes(), 13);
        decodeInitLh3(m.s);
        EXPECT_EQ(decodeSymbolLh3(m.s), 256);
        EXPECT_EQ(m.bitsConsumed(), header);  // the single symbol takes no bits
        EXPECT_EQ(decodeDistanceTable(m.s), c.distance);
        EXPECT_EQ(m.bitsConsumed(), header + c.codeBits);
        EXPECT_FALSE(m.s.damaged);
    }
}

TEST(Lh3, BlocksDecodeToTheirBytes) {
    const std::map<int, int> literalAndMatch = {{'a', 1}, {256, 1}};  // 'a' is 0, a match is 1
    struct Case {
        const char* name;
        BitWriter data;
        uint32_t originalSize;
        std::vector<uint8_t> expected;
    };
    std::vector<Case> cases;
    {
        BitWriter w;
        singleSymbol(w.put(5, 16), 'A');
        readyMadePositions(w);
        cases.push_back({"single symbol, no bits per item", w, 5, text("AAAAA")});
    }
    {
        // A count of 0 is a block of 65536 items.
        BitWriter w;
        readyMadePositions(singleSymbol(w.put(0, 16), 'z'));
        readyMadePositions(singleSymbol(w.put(3, 16), 'q'));
        auto expected = std::vector<uint8_t>(65536, 'z');
        expected.insert(expected.end(), 3, 'q');
        cases.push_back({"65536-item block", w, 65539, expected});
    }
    for (uint32_t code : {0u, 1u}) {
        // Every match of the block has the single position code and takes only its 6 low bits;
        // the item after it must start right behind them.
        BitWriter w;
        symbolLengths(w.put(3, 16), literalAndMatch);
        singlePosition(w, code);
        w.bits("0").bits("1 000000").bits("0");
        cases.push_back({code == 0 ? "single position code 0" : "single position code 1", w, 5,
                         text(code == 0 ? "aaaaa" : "a   a")});
    }
    {
        // Symbol 285 with 00000000 is a match of 32 bytes; the next block starts behind the
        // 8 extra bits and the 6 low ones.
        BitWriter w;
        readyMadePositions(singleSymbol(w.put(1, 16), 'x'));
        singlePosition(singleSymbol(w.put(1, 16), 285), 0);
        w.bits("00000000").bits("000000");
        readyMadePositions(singleSymbol(w.put(1, 16), 'y'));
        auto expected = std::vector<uint8_t>(33, 'x');
        expected.push_back('y');
        cases.push_back({"escape with 0", w, 34, expected});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Decoded d = test::decodeBytes(c.data.bytes(), 3, c.originalSize);
        EXPECT_EQ(d.result.status, DecodeStatus::complete);
        EXPECT_EQ(d.bytes, c.expected);
    }
}

TEST(Lh3, DamagedBlockHeadersEndTheMember) {
    struct Case {
        const char* name;
        BitWriter header;
    };
    std::vector<Case> cases;
    for (uint32_t symbol : {286u, 300u, 511u}) {
        BitWriter w;
        readyMadePositions(singleSymbol(w.put(10, 16), symbol));
        cases.push_back({"single symbol outside the alphabet", w});
    }
    {
        BitWriter w;
        readyMadePositions(symbolLengths(w.put(10, 16), {{10, 1}, {11, 1}, {12, 1}}));
        cases.push_back({"over-full symbol lengths", w});
    }
    {
        BitWriter w;
        symbolLengths(w.put(10, 16), {{'a', 1}, {256, 1}});
        w.bits("1").bits("0001 0001 0010 0001").repeat("0000", 124);
        cases.push_back({"over-full position lengths", w});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Decoded d = test::decodeBytes(c.header.bytes(), 3, 10);
        EXPECT_EQ(d.result.status, DecodeStatus::damaged);
    }
}

TEST(Lh3, MemberAfterOneThatEndedInsideABlockReadsItsOwnHeader) {
    BitWriter first;
    readyMadePositions(singleSymbol(first.put(10, 16), 'a'));
    MemoryDecoder m(first.bytes(), 13);
    decodeInitLh3(m.s);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(decodeSymbolLh3(m.s), 'a');
    ASSERT_NE(m.s.huff.lh3BlockRemaining, 0);  // seven items of the block are left over

    BitWriter second;
    readyMadePositions(singleSymbol(second.put(1, 16), 'b'));
    m.nextMember(second.bytes());
    decodeInitLh3(m.s);
    EXPECT_EQ(decodeSymbolLh3(m.s), 'b');
    EXPECT_FALSE(m.s.damaged);
}

TEST(Lh3, RandomDataEndsWithinBounds) {
    // Three kinds: random bytes; random items behind a complete 8- and 9-bit symbol code and
    // position codes of 9 to 15 bits, so that every distance walks the tree; and symbol codes
    // of 13 to 16 bits, so that every symbol does. Long codes leave most of the code space
    // empty, and walks into it must end.
    std::map<int, int> complete;
    for (int i = 0; i < 286; ++i) complete[i] = i < 226 ? 8 : 9;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        std::vector<uint8_t> random = test::randomBytes(seed, 3000 * seed);
        std::vector<uint8_t> data = random;
        if (seed % 3 != 0) {
            BitWriter w;
            w.put(0, 16);
            if (seed % 3 == 1) {
                symbolLengths(w, complete).bits("1");
                for (int i = 0; i < 128; ++i) w.put(9 + random[static_cast<size_t>(i)] % 7, 4);
            } else {
                std::map<int, int> lengths;
                for (int i = 0; i < 286; ++i) lengths[i] = 13 + random[static_cast<size_t>(i)] % 4;
                readyMadePositions(symbolLengths(w, lengths));
            }
            for (uint8_t b : random) w.put(b, 8);
            data = w.bytes();
        }
        test::Decoded d = test::decodeBytes(data, 3, 1u << 22);
        EXPECT_EQ(d.result.status, DecodeStatus::damaged);
        EXPECT_LT(d.bytes.size(), 1u << 22);
        if (seed % 3 != 0) {
            EXPECT_GT(d.bytes.size(), 1000u);  // the sound headers were decoded
        }
    }
}

}  // namespace
}  // namespace nivo
