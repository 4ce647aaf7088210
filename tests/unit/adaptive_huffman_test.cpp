// -lh1- and -lh2-: the fresh trees' codes, the updates that move them, the growth of the
// position tree, both rebuilds, and the soundness of the trees under long
// runs of updates.
#include <gtest/gtest.h>

#include <algorithm>

#include "decode/methods.h"
#include "tests/support/decoder_harness.h"

namespace nivo {
namespace {

using test::BitWriter;
using test::MemoryDecoder;
using Tree = AdaptiveHuffmanState;

constexpr int positionRoot = 628;

MemoryDecoder lh2(const std::vector<uint8_t>& data) {
    MemoryDecoder m(data, 13);
    decodeInitDynamic(m.s);
    return m;
}

// The bits that lead from the root to a node, read off the parent links: a node c that its
// parent names as first child is reached by a 0 bit, its neighbour c - 1 by a 1 bit.
std::string codeOf(const Tree& a, int node, int root) {
    std::string code;
    while (node != root) {
        int parent = a.nodeParent[node];
        code.insert(code.begin(), a.nodeChild[parent] == node ? '0' : '1');
        node = parent;
    }
    return code;
}

// Checks one tree, nodes root to last: links, and weights (each internal node the sum of its
// children, never increasing with the index; a pinned root above all the others).
void expectSoundTree(const Tree& a, int root, int last, bool pinnedRoot) {
    const int first = pinnedRoot ? root + 1 : root;
    for (int i = root; i <= last; ++i) {
        const int c = a.nodeChild[i];
        if (c < 0) {
            ASSERT_EQ(a.leafNode[~c], i);
        } else {
            ASSERT_GT(c - 1, i);
            ASSERT_LE(c, last);
            ASSERT_EQ(a.nodeParent[c], i);
            ASSERT_EQ(a.nodeParent[c - 1], i);
            if (i >= first) {
                ASSERT_EQ(a.nodeFreq[i], a.nodeFreq[c] + a.nodeFreq[c - 1]) << "node " << i;
            }
        }
        if (i > first) {
            ASSERT_LE(a.nodeFreq[i], a.nodeFreq[i - 1]) << "node " << i;
        }
    }
    if (pinnedRoot) {
        ASSERT_EQ(a.nodeFreq[root], 0xFFFF);
        if (first <= last) ASSERT_LT(a.nodeFreq[first], 0xFFFF);
    }
}

// The path table of the tree at root, nodes root to last, against walks of its codes from the
// root: each entry must name the nodes such a walk passes, and exactly the nodes passed on the
// way to an entry's end must be marked.
void expectTrueTable(const Tree& a, const Tree::PathEntry* table, int root, int last) {
    constexpr uint32_t width = Tree::pathTableBits;
    std::vector<bool> passed(Tree::nodeCount, false);
    for (uint32_t code = 0; code < 1u << width; ++code) {
        const Tree::PathEntry& e = table[code];
        int node = root;
        uint32_t depth = 0;
        while (a.nodeChild[node] >= 0 && depth < width) {
            if (depth > 0) passed[node] = true;
            node = a.nodeChild[node] - static_cast<int>(code >> (width - 1 - depth) & 1);
            ASSERT_EQ(e.nodes[depth], node) << "code " << code << " depth " << depth;
            ++depth;
        }
        ASSERT_EQ(e.depth, depth) << "code " << code;
        ASSERT_EQ(e.last, node) << "code " << code;
    }
    for (int i = root; i <= last; ++i) ASSERT_EQ(a.onTablePath[i], passed[i]) << "node " << i;
}

// Both trees, and their tables.
void expectSoundTrees(const DecoderState& s, bool withPositions) {
    const Tree& a = s.adaptive;
    const int symbolLast = static_cast<int>(2 * a.symbolCount - 2);
    expectSoundTree(a, 0, symbolLast, false);
    expectTrueTable(a, a.symbolPaths, 0, symbolLast);
    if (withPositions) {
        const int last = static_cast<int>(a.positionTreeLast);
        expectSoundTree(a, positionRoot, last, last != positionRoot);
        expectTrueTable(a, a.positionPaths, positionRoot, last);
    }
}

TEST(AdaptiveHuffman, FreshTreesDecodeTheirCodesAndMoveThemOnUpdate) {
    // In a fresh tree node j has the children 2j+2 (0 bit) and 2j+1 (1 bit), and symbol v sits
    // at node 2n-2-v: for -lh2- symbol 0 has the 9-bit code below and symbol 285 the 8-bit one.
    struct Case {
        const char* name;
        bool lh1;
        const char* bits;
        std::vector<uint32_t> symbols;
        uint64_t consumed;
    };
    const Case cases[] = {
        // Raised to weight 2, symbol 0 trades places with the leader of the leaves' block,
        // symbol 285, and takes its code.
        {"lh2 symbol 0, then its new code", false, "111000100 11100001", {0, 0}, 17},
        {"lh2 escape with 8 extra bits", false, "11100001 11111111", {540}, 16},
        {"lh2 escape with 0", false, "11100001 00000000", {285}, 16},
        {"lh1 symbol 313 reads no extra bits", true, "11000101 11111111", {313}, 8},
        {"lh1 symbol 0", true, "110001100", {0}, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryDecoder m(BitWriter().bits(c.bits).bytes(), c.lh1 ? 12 : 13);
        if (c.lh1) {
            decodeInitFixed(m.s);
        } else {
            decodeInitDynamic(m.s);
        }
        for (uint32_t expected : c.symbols) EXPECT_EQ(decodeSymbolDynamic(m.s), expected);
        EXPECT_EQ(m.bitsConsumed(), c.consumed);
        EXPECT_FALSE(m.s.damaged);
    }
}

TEST(AdaptiveHuffman, PositionCodesJoinAfterEverySixtyFourBytes) {
    struct Case {
        uint32_t decodedCount;
        const char* bits;
        int distance;  // -1: not checked
        uint64_t consumed;
        uint32_t last;  // positionTreeLast afterwards
        uint32_t nextLeafAt;
    };
    const Case cases[] = {
        {0, "101101", 45, 6, 628, 64},  // a lone root leaf takes no bits
        {64, "111111", 63, 6, 628, 64},
        {65, "0 000011", 64 + 3, 7, 630, 128},  // code 1 joins on the 0 side
        {65, "1 000011", 3, 7, 630, 128},
        {321, "", -1, 0, 638, 384},  // codes 1 to 5 join in one call
        // Codes 1 to 127 join; 64 * 128 is the 8 KB dictionary, so no more ever do.
        {9000, "", -1, 0, 882, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.decodedCount);
        MemoryDecoder m = lh2(BitWriter().bits(c.bits).bytes());
        m.s.decodedCount = c.decodedCount;
        uint32_t d = decodeDistanceDynamic(m.s);
        if (c.distance >= 0) {
            EXPECT_EQ(d, c.distance);
            EXPECT_EQ(m.bitsConsumed(), c.consumed);
        }
        EXPECT_EQ(m.s.adaptive.positionTreeLast, c.last);
        EXPECT_EQ(m.s.adaptive.nextLeafAt, c.nextLeafAt);
        expectSoundTrees(m.s, true);
    }
}

// Weights that fall off steeply make deep trees and many blocks of distinct weight.
uint32_t skewed(std::mt19937& rng, uint32_t n) {
    uint32_t v = 0;
    while (v + 1 < n && (rng() & 3) != 0) v += 1 + static_cast<uint32_t>(rng() & 7);
    return std::min(v, n - 1);
}

TEST(AdaptiveHuffman, SymbolTreeStaysSoundAndIsRebuiltAtTheLimit) {
    for (bool lh1 : {false, true}) {
        SCOPED_TRACE(lh1 ? "lh1" : "lh2");
        MemoryDecoder m({}, lh1 ? 12 : 13);
        if (lh1) {
            decodeInitFixed(m.s);
        } else {
            decodeInitDynamic(m.s);
        }
        Tree& a = m.s.adaptive;
        const uint32_t n = a.symbolCount;
        std::mt19937 rng(lh1 ? 5 : 6);
        for (int updates = 0; a.nodeFreq[0] != 0x8000; ++updates) {
            updateSymbol(m.s, skewed(rng, n));
            if (updates % 1024 == 0) {
                ASSERT_NO_FATAL_FAILURE(expectSoundTrees(m.s, !lh1));
            }
        }
        ASSERT_NO_FATAL_FAILURE(expectSoundTrees(m.s, !lh1));

        std::vector<uint32_t> before(n);
        for (uint32_t v = 0; v < n; ++v) before[v] = a.nodeFreq[a.leafNode[v]];
        const uint32_t raised = 3;
        updateSymbol(m.s, raised);
        for (uint32_t v = 0; v < n; ++v)
            EXPECT_EQ(a.nodeFreq[a.leafNode[v]], (before[v] + 1) / 2 + (v == raised)) << v;
        ASSERT_NO_FATAL_FAILURE(expectSoundTrees(m.s, !lh1));

        // The rebuilt tree still decodes every symbol from its code, and nothing more.
        for (uint32_t v = 0; v < n; ++v) {
            std::string code = codeOf(a, a.leafNode[v], 0);
            MemoryDecoder probe(BitWriter().bits(code).bytes(), m.s.dictBits);
            probe.s.adaptive = a;
            startBitReader(probe.s);
            EXPECT_EQ(decodeSymbolDynamic(probe.s), v);
            EXPECT_EQ(probe.bitsConsumed(), code.size() + (v == a.escapeSymbol ? 8 : 0));
        }
    }
}

TEST(AdaptiveHuffman, PositionTreeStaysSoundAndIsRebuiltAtTheLimit) {
    MemoryDecoder m = lh2({});
    Tree& a = m.s.adaptive;
    std::mt19937 rng(9);
    // Codes join one by one, as distances with growing counts would add them.
    for (uint32_t p = 1; p < 128; ++p) {
        addPositionLeaf(m.s, p);
        for (int k = 0; k < 40; ++k) updatePosition(m.s, skewed(rng, p + 1));
        ASSERT_NO_FATAL_FAILURE(expectSoundTrees(m.s, true));
    }
    for (int updates = 0; a.positionTotal != 0x8000; ++updates) {
        updatePosition(m.s, skewed(rng, 128));
        if (updates % 1024 == 0) {
            ASSERT_NO_FATAL_FAILURE(expectSoundTrees(m.s, true));
        }
    }
    std::vector<uint32_t> before(128);
    for (uint32_t p = 0; p < 128; ++p) before[p] = a.nodeFreq[a.leafNode[314 + p]];
    const uint32_t raised = 100;
    updatePosition(m.s, raised);
    uint32_t total = 0;
    for (uint32_t p = 0; p < 128; ++p) {
        EXPECT_EQ(a.nodeFreq[a.leafNode[314 + p]], (before[p] + 1) / 2 + (p == raised)) << p;
        total += (before[p] + 1) / 2;
    }
    // The root stays pinned; the count stands in for its weight.
    EXPECT_EQ(a.positionTotal, total + 1);
    ASSERT_NO_FATAL_FAILURE(expectSoundTrees(m.s, true));
}

TEST(AdaptiveHuffman, WalkThroughCorruptLinksEndsAsDamaged) {
    // Links that loop can only come from a fault in the trees; the walk still ends.
    MemoryDecoder m = lh2(std::vector<uint8_t>(64, 0x55));
    Tree& a = m.s.adaptive;
    a.nodeChild[0] = 2;
    a.nodeChild[1] = a.nodeChild[2] = 2;
    decodeSymbolDynamic(m.s);
    EXPECT_TRUE(m.s.damaged);

    MemoryDecoder p = lh2(std::vector<uint8_t>(64, 0x55));
    addPositionLeaf(p.s, 1);
    p.s.adaptive.nodeChild[629] = p.s.adaptive.nodeChild[630] = 630;
    decodeDistanceDynamic(p.s);
    EXPECT_TRUE(p.s.damaged);
}

TEST(AdaptiveHuffman, RandomDataEndsWithinBounds) {
    for (int method : {1, 2}) {
        for (uint32_t seed = 1; seed <= 6; ++seed) {
            SCOPED_TRACE(testing::Message() << "method " << method << " seed " << seed);
            auto data = test::randomBytes(seed, seed * 7000);
            test::Decoded d = test::decodeBytes(data, method, 1u << 22);
            // Every bit string leads to a leaf: random data decodes until it runs out.
            EXPECT_EQ(d.result.status, DecodeStatus::damaged);
            EXPECT_LT(d.bytes.size(), 1u << 22);
            EXPECT_GT(d.bytes.size(), seed * 7000u);
        }
    }
}

}  // namespace
}  // namespace nivo
