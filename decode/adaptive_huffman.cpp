// -lh1- and -lh2-: adaptive Huffman trees.
//
// No code table is stored. Decoder and encoder start every member from the same symbol tree and,
// after each symbol, raise that symbol's weight by one and reorder the tree so that it stays a
// Huffman tree for the weights seen so far. -lh2- codes the high part of each distance with a
// second adaptive tree, the position tree, which starts with the single position code 0 and
// gains code k at the first distance after more than 64*k bytes have been produced.
//
// Layout of the trees in the node arrays: the symbol tree in nodes 0 (its root) to 2n-2, the
// position tree in nodes 628 (its root) onwards. An internal node holds its first child c: a 0
// bit leads to c, a 1 bit to c-1. A leaf holds the complement of its value: symbols 0 to 313,
// position code p as 314+p. Weights never increase with the node index (the sibling property).
// Raising a node's weight by one then means swapping it with the lowest node of the same weight,
// found by looking back from it, and raising that, so one update costs one step per tree level.
// Nearly always the node before already weighs more, and the step is one comparison.
//
// The position root's weight is pinned at 0xFFFF once it has children, so that no look-back
// ever passes it; positionTotal counts its true weight instead. A symbol root always weighs more
// than its children, as every symbol weighs at least 1.
//
// Symbols: 0 to 255 are literals; for -lh2-, 256 to 284 are lengths 3 to 31 and 285 is followed
// by 8 bits e for the length 32+e; for -lh1-, 256 to 313 are lengths 3 to 60. A -lh2- distance
// is its position code followed by 6 low bits; -lh1- takes its distances from a fixed code.
#include <cstring>

#include "decode/huffman_table.h"
#include "decode/methods.h"
#include "decode/symbol_loop.h"

namespace nivo {

namespace {

using Tree = AdaptiveHuffmanState;

constexpr int symbolRoot = 0;
constexpr int positionRoot = 628;
constexpr int positionLeafBase = 314;    // leaf value of position code 0
constexpr uint32_t maxPositionCodes = 128;
constexpr uint16_t weightLimit = 0x8000;  // a tree whose root reaches this is rebuilt
constexpr uint16_t pinnedWeight = 0xFFFF;

// Points the node (or leaf) held in nodeChild[node] back at node.
inline void linkChildren(Tree& a, int node) {
    const int c = a.nodeChild[node];
    if (c >= 0) {
        a.nodeParent[c] = a.nodeParent[c - 1] = static_cast<int16_t>(node);
    } else {
        a.leafNode[~c] = static_cast<int16_t>(node);
    }
}

// Walks from the child c of a root to a leaf, taking the bits of the stream 32 at a time, and
// returns the leaf's value. No tree is deeper than its node count; a walk that goes further
// (possible only if the arrays were corrupt) marks the member damaged.
inline uint32_t walkAdaptive(DecoderState& s, int c, uint32_t nodes) {
    const Tree& a = s.adaptive;
    uint32_t window = peekBits(s, 32);
    uint32_t used = 0;
    uint32_t walked = 0;
    while (c > 0) {
        if (used == 32) {
            skipBits(s, 32);
            window = peekBits(s, 32);
            used = 0;
            walked += 32;
            if (walked > nodes) {
                s.damaged = true;
                return 0;
            }
        }
        c = a.nodeChild[c - static_cast<int>(window >> 31)];
        window <<= 1;
        ++used;
    }
    skipBits(s, used);
    return static_cast<uint32_t>(~c);
}

#ifndef NIVO_COMPACT_DECODER
// The wide form's path tables. An entry names nodes, not a leaf's value, so it stays true while
// the links of the nodes it passes on its way stay: a swap of two leaves changes no entry, and a
// swap that moves a subtree changes only the entries that pass the two nodes swapped, or end at
// one that becomes a parent. Entries are changed a whole range at a time: those of the codes
// that start with the code of one node, which a root has as code 0 of depth 0. forgetPaths
// takes back the marks and codes of the nodes they reach below that node, and fillPaths walks
// them anew from it, marking what they pass and noting the codes of the nodes they pass or end
// at. A swap of two nodes that no entry reaches needs nothing.

inline Tree::PathEntry* pathsOf(Tree& a, int node) {
    return node < positionRoot ? a.symbolPaths : a.positionPaths;
}

void forgetPaths(Tree& a, int node) {
    constexpr uint32_t width = Tree::pathTableBits;
    const uint32_t depth = a.pathCode[node] & 15u;
    const Tree::PathEntry* const table = pathsOf(a, node);
    const uint32_t first = (a.pathCode[node] >> 4) << (width - depth);
    for (uint32_t i = first; i < first + (1u << (width - depth)); ++i) {
        const Tree::PathEntry& e = table[i];
        for (uint32_t k = depth; k < e.depth; ++k) {
            a.onTablePath[e.nodes[k]] = false;
            a.pathCode[e.nodes[k]] = 0;
        }
    }
}

void fillPaths(Tree& a, int from) {
    constexpr uint32_t width = Tree::pathTableBits;
    const uint32_t depth = a.pathCode[from] & 15u;
    Tree::PathEntry* const table = pathsOf(a, from);
    const uint32_t first = (a.pathCode[from] >> 4) << (width - depth);
    a.onTablePath[from] = false;
    for (uint32_t i = first; i < first + (1u << (width - depth)); ++i) {
        Tree::PathEntry& e = table[i];
        int node = from;
        uint32_t k = depth;
        for (int c = a.nodeChild[node]; c >= 0 && k < width; c = a.nodeChild[node]) {
            if (k > 0) a.onTablePath[node] = true;
            node = c - static_cast<int>(i >> (width - 1 - k) & 1);
            e.nodes[k++] = static_cast<int16_t>(node);
            a.pathCode[node] = static_cast<uint16_t>((i >> (width - k)) << 4 | k);
        }
        e.last = static_cast<int16_t>(node);
        e.depth = k;
    }
}

// The whole table of the tree at root, whose nodes end at last.
[[gnu::noinline]] void buildPaths(Tree& a, int root, int last) {
    for (int i = root; i <= last; ++i) {
        a.onTablePath[i] = false;
        a.pathCode[i] = 0;  // no code: a node the table does not reach is never taken for an end
    }
    fillPaths(a, root);
}

// Whether entries end at node short of the table's width: a node they reach, short of the
// width, and do not pass.
inline bool endsAt(const Tree& a, int node) {
    const uint32_t depth = a.pathCode[node] & 15u;
    return depth != 0 && depth < Tree::pathTableBits && !a.onTablePath[node];
}

// After a swap of the subtrees at p and q, not both leaves: the entries that passed either are
// walked anew, and those that ended at one that is now a parent go on below it.
[[gnu::noinline]] void refreshSwapped(Tree& a, int p, int q) {
    const bool onP = a.onTablePath[p];
    const bool onQ = a.onTablePath[q];
    const bool endP = a.nodeChild[p] >= 0 && endsAt(a, p);
    const bool endQ = a.nodeChild[q] >= 0 && endsAt(a, q);
    // Forgetting below one of them leaves the other's code, as neither lies below the other.
    if (onP) forgetPaths(a, p);
    if (onQ) forgetPaths(a, q);
    if (onP || endP) fillPaths(a, p);
    if (onQ || endQ) fillPaths(a, q);
}
#endif

}  // namespace

void startSymbolTree(DecoderState& s) {
    Tree& a = s.adaptive;
    const int n = static_cast<int>(a.symbolCount);
    a.escapeSymbol = a.symbolCount >= a.maxMatch + 254u ? 512 : a.symbolCount - 1;

    // Every symbol starts with weight 1; symbol 0 sits at the highest node.
    for (int v = 0; v < n; ++v) {
        const int j = 2 * n - 2 - v;
        a.leafNode[v] = static_cast<int16_t>(j);
        a.nodeFreq[j] = 1;
        a.nodeChild[j] = static_cast<int16_t>(~v);
    }

    // Internal nodes from the bottom up, each over the next two nodes from the top.
    for (int j = n - 2, i = 2 * n - 2; j >= 0; --j, i -= 2) {
        a.nodeFreq[j] = static_cast<uint16_t>(a.nodeFreq[i] + a.nodeFreq[i - 1]);
        a.nodeChild[j] = static_cast<int16_t>(i);
        a.nodeParent[i] = a.nodeParent[i - 1] = static_cast<int16_t>(j);
    }
#ifndef NIVO_COMPACT_DECODER
    buildPaths(a, symbolRoot, 2 * n - 2);
#endif
}

void decodeInitDynamic(DecoderState& s) {
    Tree& a = s.adaptive;
    a.symbolCount = 286;
    a.maxMatch = 256;
    startBitReader(s);
    startSymbolTree(s);

    // The position tree starts as a single leaf, position code 0, and reads no bits.
    a.positionTotal = 0;
    a.nodeFreq[positionRoot] = 1;
    a.nodeChild[positionRoot] = static_cast<int16_t>(~positionLeafBase);
    a.leafNode[positionLeafBase] = positionRoot;
    // The tree has room for 128 codes, which is what an 8 KB dictionary needs.
    a.positionLimit = s.dictBits < 13 ? 1u << s.dictBits : 64 * maxPositionCodes;
    a.positionTreeLast = positionRoot;
    a.nextLeafAt = 64;
#ifndef NIVO_COMPACT_DECODER
    buildPaths(a, positionRoot, positionRoot);
#endif
}

namespace {

// Raises the weight of node p by one and returns its parent: one step of an update, inline so
// that the update loops hold the arrays in registers.
inline int raiseNode(Tree& a, int p) {
    const uint16_t f = a.nodeFreq[p];
    if (a.nodeFreq[p - 1] == f) [[unlikely]] {
        // Swap the subtrees at p and at the lowest node of its weight, and raise that one.
        int q = p - 1;
        while (a.nodeFreq[q - 1] == f) --q;
        const int16_t child = a.nodeChild[p];
        a.nodeChild[p] = a.nodeChild[q];
        a.nodeChild[q] = child;
        linkChildren(a, q);
        linkChildren(a, p);
#ifndef NIVO_COMPACT_DECODER
        if ((child & a.nodeChild[p]) >= 0 && (a.pathCode[p] | a.pathCode[q]) != 0) refreshSwapped(a, p, q);
#endif
        p = q;
    }
    a.nodeFreq[p] = static_cast<uint16_t>(f + 1);
    return a.nodeParent[p];
}

}  // namespace

void rebuildTree(DecoderState& s, int start, int end) {
    Tree& a = s.adaptive;
    // Gather the leaves at the front with their weights halved, rounding up so that none drops
    // to 0.
    int j = start;
    for (int i = start; i < end; ++i) {
        if (a.nodeChild[i] < 0) {
            a.nodeFreq[j] = static_cast<uint16_t>((a.nodeFreq[i] + 1) / 2);
            a.nodeChild[j] = a.nodeChild[i];
            ++j;
        }
    }
    --j;

    // Rebuild from the top: the two lowest-placed nodes l, l+1 get a parent of their summed
    // weight, put in order among the leaves not yet placed.
    int i = end - 1;
    for (int l = end - 2; i >= start; l -= 2) {
        for (; i >= l; --i, --j) {
            a.nodeFreq[i] = a.nodeFreq[j];
            a.nodeChild[i] = a.nodeChild[j];
        }
        const uint32_t f = static_cast<uint32_t>(a.nodeFreq[l]) + a.nodeFreq[l + 1];
        int k = start;
        while (f < a.nodeFreq[k]) ++k;  // stops at l at the latest
        for (; j >= k; --i, --j) {
            a.nodeFreq[i] = a.nodeFreq[j];
            a.nodeChild[i] = a.nodeChild[j];
        }
        a.nodeFreq[i] = static_cast<uint16_t>(f);
        a.nodeChild[i] = static_cast<int16_t>(l + 1);
        --i;
    }

    // Relink parents and leaves.
    for (i = start; i < end; ++i) linkChildren(a, i);
#ifndef NIVO_COMPACT_DECODER
    buildPaths(a, start, end - 1);
#endif
}

void updateSymbol(DecoderState& s, uint32_t symbol) {
    Tree& a = s.adaptive;
    if (a.nodeFreq[symbolRoot] == weightLimit)
        rebuildTree(s, symbolRoot, static_cast<int>(2 * a.symbolCount - 1));
    ++a.nodeFreq[symbolRoot];
    int q = a.leafNode[symbol];
    do {
        q = raiseNode(a, q);
    } while (q != symbolRoot);
}

uint16_t decodeSymbolDynamic(DecoderState& s) {
    Tree& a = s.adaptive;
    uint32_t symbol = walkAdaptive(s, a.nodeChild[symbolRoot], 2 * a.symbolCount);
    if (s.damaged) return 0;
    updateSymbol(s, symbol);
    // The tree counts the escape itself; its 8 extra bits extend the length.
    if (symbol == a.escapeSymbol) symbol += takeBits(s, 8);
    return static_cast<uint16_t>(symbol);
}

void updatePosition(DecoderState& s, uint32_t positionCode) {
    Tree& a = s.adaptive;
    if (a.positionTotal == weightLimit) {
        rebuildTree(s, positionRoot, static_cast<int>(a.positionTreeLast + 1));
        a.positionTotal = a.nodeFreq[positionRoot];
        a.nodeFreq[positionRoot] = pinnedWeight;
    }
    int q = a.leafNode[positionLeafBase + positionCode];
    while (q != positionRoot) q = raiseNode(a, q);
    ++a.positionTotal;
}

void addPositionLeaf(DecoderState& s, uint32_t positionCode) {
    Tree& a = s.adaptive;
    // The last node m, always a leaf, becomes internal: its leaf moves to m+1 (1 bit) and the
    // new code enters at m+2 (0 bit) with weight 0, then is counted once.
    const int m = static_cast<int>(a.positionTreeLast);
    const int r = m + 1;
    const int q = m + 2;
    a.nodeChild[r] = a.nodeChild[m];
    a.leafNode[~a.nodeChild[m]] = static_cast<int16_t>(r);
    a.nodeChild[q] = static_cast<int16_t>(~(positionLeafBase + static_cast<int>(positionCode)));
    a.nodeChild[m] = static_cast<int16_t>(q);
    a.nodeFreq[r] = a.nodeFreq[m];
    a.nodeFreq[q] = 0;
    if (m == positionRoot) a.nodeFreq[positionRoot] = pinnedWeight;
    a.nodeParent[q] = a.nodeParent[r] = static_cast<int16_t>(m);
    a.leafNode[positionLeafBase + positionCode] = static_cast<int16_t>(q);
    a.positionTreeLast = static_cast<uint32_t>(q);
#ifndef NIVO_COMPACT_DECODER
    a.onTablePath[r] = a.onTablePath[q] = false;  // new nodes, on no path yet
    a.pathCode[r] = a.pathCode[q] = 0;
    // Entries that ended at m go on below it.
    if (m == positionRoot) {
        buildPaths(a, positionRoot, q);
    } else if (endsAt(a, m)) {
        fillPaths(a, m);
    }
#endif
    updatePosition(s, positionCode);
}

namespace {

// Position code k joins at the first distance after more than 64*k bytes.
inline void growPositionTree(DecoderState& s) {
    Tree& a = s.adaptive;
    while (s.decodedCount > a.nextLeafAt) {
        addPositionLeaf(s, a.nextLeafAt / 64);
        a.nextLeafAt += 64;
        if (a.nextLeafAt >= a.positionLimit) a.nextLeafAt = 0xFFFFFFFF;  // the tree is complete
    }
}

}  // namespace

uint32_t decodeDistanceDynamic(DecoderState& s) {
    Tree& a = s.adaptive;
    growPositionTree(s);
    // While the root is still a leaf, the position code takes no bits.
    const uint32_t leaf = walkAdaptive(s, a.nodeChild[positionRoot], 2 * maxPositionCodes);
    if (s.damaged) return 0;
    const uint32_t p = leaf - positionLeafBase;
    updatePosition(s, p);
    return 64 * p + takeBits(s, 6);
}

// The wide form's fast loop.
#ifndef NIVO_COMPACT_DECODER
namespace {

// The nodes a walk passed, the leaf's last, and how many.
struct WalkPath {
    static constexpr uint32_t capacity = 64;  // more than a refill holds bits
    int16_t nodes[capacity];
    uint32_t depth;
};

// Walks from a root to a leaf with the window's bits, the first levels in one step through the
// tree's path table, leaving at least reserve bits for what follows the code, and returns the
// leaf's value; path holds the nodes passed. A tree whose weights stay below 2^15 is at most 22
// levels deep, well within a refill; a walk that goes on comes from corrupt links, and marks
// the member damaged.
inline uint32_t walkWindow(DecoderState& s, BitWindow& w, const Tree::PathEntry* table, uint32_t reserve,
                           WalkPath& path) {
    const int16_t* const child = s.adaptive.nodeChild;
    const uint32_t limit = w.bitCount - reserve;
    uint64_t bits = w.bitBuffer;
    // The first levels from the table.
    const Tree::PathEntry& e = table[bits >> (64 - Tree::pathTableBits)];
    std::memcpy(path.nodes, e.nodes, sizeof e.nodes);
    uint32_t k = e.depth;
    bits <<= k;
    int c = child[e.last];
    while (c > 0) {
        if (k == limit) {
            s.damaged = true;
            return 0;
        }
        const int node = c - static_cast<int>(bits >> 63);
        path.nodes[k] = static_cast<int16_t>(node);
        c = child[node];
        bits <<= 1;
        ++k;
    }
    path.depth = k;
    w.skipBits(k);
    return static_cast<uint32_t>(~c);
}

// The update of the tree at root after a walk, raising the nodes it passed from the leaf up.
// Until a node needs a swap the nodes are known beforehand, so that no step waits for the one
// before it; from a swap on, the path changes, and the steps follow the parent links.
inline void raisePath(Tree& a, const WalkPath& path, int root) {
    for (uint32_t i = path.depth; i-- > 0;) {
        const int p = path.nodes[i];
        const uint16_t f = a.nodeFreq[p];
        if (a.nodeFreq[p - 1] == f) [[unlikely]] {
            for (int q = raiseNode(a, p); q != root; q = raiseNode(a, q)) {
            }
            return;
        }
        a.nodeFreq[p] = static_cast<uint16_t>(f + 1);
    }
}

// Bytes that one item may take from the buffer: a refill for the symbol and one for the
// position.
constexpr uint32_t adaptiveItemBytes = 2 * BitWindow::refillBytes;

// Items with the bit buffer, the input and the output in locals, until out reaches outLimit,
// the input runs low or the trees show damage. adaptivePositions: -lh2-'s position tree;
// otherwise -lh1-'s fixed position code.
template <bool adaptivePositions>
uint8_t* fastItemsAdaptive(DecoderState& s, uint8_t* out, uint8_t* const outLimit) {
    Tree& a = s.adaptive;
    const StaticHuffmanState& h = s.huff;
    BitWindow w(s);
    const uint8_t* const inLast = s.inputBuffer + s.inputEnd - adaptiveItemBytes;
    const uint8_t* const start = out;
    const uint32_t count = s.decodedCount;
    const uint32_t mask = s.dictionarySize - 1;
    WalkPath path;
    while (out < outLimit && w.in <= inLast) {
        w.refill();
        uint32_t symbol = walkWindow(s, w, a.symbolPaths, 8, path);
        if (s.damaged) break;
        if (a.nodeFreq[symbolRoot] == weightLimit) [[unlikely]] {
            updateSymbol(s, symbol);  // rebuilds the tree first
        } else {
            ++a.nodeFreq[symbolRoot];
            raisePath(a, path, symbolRoot);
        }
        if (symbol < 256) {
            *out++ = static_cast<uint8_t>(symbol);
            continue;
        }
        if (symbol == a.escapeSymbol) {
            symbol += w.peekBits(8);
            w.skipBits(8);
        }
        w.refill();
        uint32_t p;
        if constexpr (adaptivePositions) {
            s.decodedCount = count + static_cast<uint32_t>(out - start);
            growPositionTree(s);
            p = walkWindow(s, w, a.positionPaths, 6, path) - positionLeafBase;
            if (s.damaged) break;
            if (a.positionTotal == weightLimit) [[unlikely]] {
                updatePosition(s, p);  // rebuilds the tree first
            } else {
                raisePath(a, path, positionRoot);
                ++a.positionTotal;
            }
        } else {
            uint32_t e = h.posTable[w.peekBits(8)];
            if (e & treeEntry) [[unlikely]] {
                e = longCode(s, w, e, h.tablePosCodeCount, 8, h.posLen);
                if (s.damaged) break;
            }
            w.skipBits(entryLength(e));
            p = entrySymbol(e);
        }
        const uint32_t d = 64 * p + w.peekBits(6);
        w.skipBits(6);
        out = copyMatch<false>(out, (d & mask) + 1, symbol - 253);
    }
    w.store(s);
    return out;
}

}  // namespace

uint8_t* decodeStretchLh1(DecoderState& s, uint8_t* out, uint8_t* outLimit) {
    return decodeStretchWide(s, fastItemsAdaptive<false>, adaptiveItemBytes,
                             {decodeSymbolDynamic, decodeDistanceTable, 253}, out, outLimit);
}

uint8_t* decodeStretchLh2(DecoderState& s, uint8_t* out, uint8_t* outLimit) {
    return decodeStretchWide(s, fastItemsAdaptive<true>, adaptiveItemBytes,
                             {decodeSymbolDynamic, decodeDistanceDynamic, 253}, out, outLimit);
}
#endif

}  // namespace nivo
