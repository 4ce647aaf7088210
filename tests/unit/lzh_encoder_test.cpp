// The static Huffman compressor, checked against the decoder: whatever it writes must decode to
// the original bytes with the member's CRC-16, across methods, windows and block boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lzh/member_header.h"
#include "common/crc16.h"
#include "decode/huffman_table.h"
#include "tests/support/test_support.h"
#include "tools/lzh_encoder.h"

namespace nivo {
namespace {

// A fixed pseudo-random sequence, the same on every machine.
class Random {
public:
    explicit Random(uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return static_cast<uint32_t>(x >> 16);
    }

private:
    uint64_t x;
};

std::vector<uint8_t> randomBytes(size_t n, uint64_t seed) {
    Random r(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = static_cast<uint8_t>(r.next());
    return v;
}

// Words in random order with punctuation and line breaks: repeats at all distances, like text.
std::vector<uint8_t> textBytes(size_t n, uint64_t seed) {
    static const char* const words[] = {
        "the", "archive", "member", "of", "and", "a", "to", "decoder", "block", "is", "in",
        "window", "that", "for", "code", "length", "with", "as", "position", "table", "on",
        "bits", "by", "this", "symbol", "from", "each", "match", "distance", "literal", "are",
        "be", "or", "dictionary", "stream", "when", "its", "header", "one", "byte", "an",
        "which", "tree", "it", "output", "not", "compressed", "size", "data", "file"};
    Random r(seed);
    std::string s;
    while (s.size() < n) {
        s += words[r.next() % (sizeof words / sizeof words[0])];
        uint32_t p = r.next() % 16;
        s += p == 0 ? ".\n" : p == 1 ? ", " : " ";
    }
    s.resize(n);
    return {s.begin(), s.end()};
}

// Records of counters and small numbers: the kind of structure binary files have.
std::vector<uint8_t> binaryBytes(size_t n, uint64_t seed) {
    Random r(seed);
    std::vector<uint8_t> v;
    for (uint32_t i = 0; v.size() < n; ++i) {
        uint32_t fields[4] = {i * 12, 0x00400000u + i * 4, r.next() % 8, 0xFFFFFFFFu - i};
        for (uint32_t f : fields)
            for (int k = 0; k < 4; ++k) v.push_back(static_cast<uint8_t>(f >> (8 * k)));
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> compress(int method, const std::vector<uint8_t>& in, const EncoderOptions& options = {}) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(compressStaticHuffman(method, in.data(), in.size(), out, options));
    return out;
}

// Decodes packed as the method and checks it gives back original, with its CRC-16.
void expectRoundTrip(int method, const std::vector<uint8_t>& original, const std::vector<uint8_t>& packed) {
    makeCrcTable();
    test::VectorSink sink;
    DecodeResult r = decodeMemberData(packed.data(), static_cast<uint32_t>(packed.size()), method,
                                      static_cast<uint32_t>(original.size()), sink);
    EXPECT_EQ(r.status, DecodeStatus::complete);
    EXPECT_FALSE(r.truncated);
    EXPECT_FALSE(r.overran);
    EXPECT_TRUE(sink.bytes == original) << "decoded " << sink.bytes.size() << " of " << original.size() << " bytes";
    EXPECT_EQ(r.crc, updateCrc(0, original.data(), static_cast<uint32_t>(original.size())));
}

uint32_t windowOf(int method) { return 1u << dictBitsOf(method); }

// Runs of one byte of every length up to 600, with a literal or two between them: long matches
// at distance 1 that end anywhere.
std::vector<uint8_t> runBytes(size_t n, uint64_t seed) {
    Random r(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        v.insert(v.end(), r.next() % 600 + 1, static_cast<uint8_t>(r.next() % 4));
        v.push_back(static_cast<uint8_t>(r.next()));
    }
    v.resize(n);
    return v;
}

enum class Kind { text, binary, zeros, random, runs };

std::vector<uint8_t> makeInput(Kind kind, size_t n, uint64_t seed) {
    switch (kind) {
        case Kind::text: return textBytes(n, seed);
        case Kind::binary: return binaryBytes(n, seed);
        case Kind::zeros: return std::vector<uint8_t>(n, 0);
        case Kind::random: return randomBytes(n, seed);
        case Kind::runs: return runBytes(n, seed);
    }
    return {};
}

class EncoderMethod : public testing::TestWithParam<int> {};

TEST_P(EncoderMethod, RoundTripsEveryKindAndSizeAtEveryLevel) {
    const int method = GetParam();
    const int64_t w = windowOf(method);
    struct Case {
        const char* what;
        Kind kind;
        int64_t size;
        uint32_t segmentBytes;  // 0: one segment
    };
    const Case cases[] = {
        {"empty", Kind::text, 0, 0},
        {"one byte", Kind::text, 1, 0},
        {"two bytes", Kind::zeros, 2, 0},
        {"three zeros", Kind::zeros, 3, 0},
        {"text below the window", Kind::text, w - 1, 0},
        {"text of the window", Kind::text, w, 0},
        {"text above the window", Kind::text, w + 1, 0},
        {"text of several windows", Kind::text, 3 * w + 7, 0},
        {"binary", Kind::binary, 40000, 0},
        {"zeros", Kind::zeros, 70000, 0},
        {"random", Kind::random, 20000, 0},
        {"runs", Kind::runs, 50000, 0},
        // Segments shorter than, equal to and longer than the window: matches reach back into
        // the segments before, and each segment's bits join the last one's mid-byte.
        {"text in short segments", Kind::text, 2 * w + 5, 1000},
        {"text in window-sized segments", Kind::text, 3 * w, static_cast<uint32_t>(w)},
        {"runs in segments", Kind::runs, 2 * w + 1, static_cast<uint32_t>(w) + 3},
        {"one-byte segments", Kind::zeros, 40, 1},
    };
    for (int level = minLevel; level <= maxLevel; ++level) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << ", level " << level);
            auto in = makeInput(c.kind, static_cast<size_t>(c.size), static_cast<uint64_t>(c.size));
            EncoderOptions options;
            options.level = level;
            if (c.segmentBytes) options.segmentBytes = c.segmentBytes;
            expectRoundTrip(method, in, compress(method, in, options));
        }
    }
}

TEST_P(EncoderMethod, ReachesExactlyTheWindowAndNoFurther) {
    // A random run of 300 bytes repeated at distance d costs a few bytes as a match (and a
    // little more header), or its full size as literals; the encoder must use the window to
    // its last byte, and never beyond.
    const int method = GetParam();
    const uint32_t w = windowOf(method);
    const auto run = randomBytes(300, 1);
    for (int level : {1, 5, 9})
    for (uint32_t distance : {w, w + 1}) {
        SCOPED_TRACE(testing::Message() << "distance " << distance << ", level " << level);
        EncoderOptions options;
        options.level = level;
        std::vector<uint8_t> once = run;
        auto filler = randomBytes(distance - run.size(), distance);
        once.insert(once.end(), filler.begin(), filler.end());
        std::vector<uint8_t> twice = once;
        twice.insert(twice.end(), run.begin(), run.end());
        auto packedOnce = compress(method, once, options);
        auto packedTwice = compress(method, twice, options);
        expectRoundTrip(method, twice, packedTwice);
        if (distance == w) {
            EXPECT_LT(packedTwice.size(), packedOnce.size() + 40);
        } else {
            EXPECT_GT(packedTwice.size(), packedOnce.size() + 250);
        }
    }
}

TEST_P(EncoderMethod, CrossesBlockBoundaries) {
    const int method = GetParam();
    // Zeros parse as one literal and then matches of 256: 1 + 256k bytes are k + 1 symbols.
    // Blocks of four then end exactly at, just before and just after the data's end; blocks of
    // matches alone use the single-value form for both codes. Levels that fill their blocks
    // write a full first block; the others may end it earlier where that saves bits, never
    // later.
    for (int level : {1, 5, 9}) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        const bool fills = level <= 2;
        auto expectFirstBlock = [&](const std::vector<uint8_t>& packed, uint32_t full) {
            ASSERT_GE(packed.size(), 2u);
            const uint32_t count = packed[0] << 8 | packed[1];
            if (fills) {
                EXPECT_EQ(count, full);
            } else {
                EXPECT_GE(count, 1u);
                EXPECT_LE(count, full);
            }
        };
        EncoderOptions four;
        four.level = level;
        four.maxBlockSymbols = 4;
        for (uint32_t k : {2u, 3u, 4u, 7u, 8u, 9u}) {
            SCOPED_TRACE(k);
            std::vector<uint8_t> zeros(1 + 256 * k, 0);
            auto packed = compress(method, zeros, four);
            expectFirstBlock(packed, std::min(k + 1, 4u));
            expectRoundTrip(method, zeros, packed);
        }
        for (uint32_t blockSymbols : {1u, 2u, 3u, 100u}) {
            SCOPED_TRACE(blockSymbols);
            EncoderOptions small;
            small.level = level;
            small.maxBlockSymbols = blockSymbols;
            auto text = textBytes(5000, blockSymbols);
            auto packed = compress(method, text, small);
            expectFirstBlock(packed, blockSymbols);
            expectRoundTrip(method, text, packed);
        }
        // Random bytes are almost all literals: the first block is full at 65535 symbols, and
        // later blocks use matches that reach back into it.
        auto random = randomBytes(66500, 7);
        random.insert(random.end(), random.begin() + 63500, random.begin() + 64500);
        auto tail = randomBytes(3500, 8);
        random.insert(random.end(), tail.begin(), tail.end());
        EncoderOptions options;
        options.level = level;
        auto packed = compress(method, random, options);
        expectFirstBlock(packed, 65535);
        expectRoundTrip(method, random, packed);
    }
}

TEST_P(EncoderMethod, MembersCompressWhenItPaysAndAreStoredOtherwise) {
    const int method = GetParam();
    makeCrcTable();
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool compressed;
    };
    const Case cases[] = {
        {"text", textBytes(30000, 3), true},
        {"zeros", std::vector<uint8_t>(5000, 0), true},
        {"random", randomBytes(5000, 3), false},
        {"empty", {}, false},
        {"one byte", {0x41}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto m = compressMember(method, "dir/name.txt", c.bytes, 1000000000u);
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->name, "dir/name.txt");
        EXPECT_EQ(m->originalSize, c.bytes.size());
        EXPECT_EQ(m->crc, updateCrc(0, c.bytes.data(), static_cast<uint32_t>(c.bytes.size())));
        if (c.compressed) {
            EXPECT_EQ(m->method, methodIdOf(method).text);
            EXPECT_LT(m->data.size(), c.bytes.size());
            test::VectorSink sink;
            DecodeResult r = decodeMemberData(m->data.data(), static_cast<uint32_t>(m->data.size()), method,
                                              m->originalSize, sink);
            EXPECT_EQ(r.status, DecodeStatus::complete);
            EXPECT_EQ(r.crc, m->crc);
            EXPECT_TRUE(sink.bytes == c.bytes);
        } else {
            EXPECT_EQ(m->method, "-lh0-");
            EXPECT_TRUE(m->data == c.bytes);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, EncoderMethod, testing::Values(4, 5, 6, 7),
                         [](const auto& p) { return "lh" + std::to_string(p.param); });

TEST(Encoder, CompressesTextLikeAnArchiverAndBetterAtHigherLevels) {
    // Pure Huffman coding of this text would take about half its size; matches must do most
    // of the work. The lazy parse finds no fewer matches than the greedy one, and the priced
    // parse never does worse than the lazy one, whose parse it could have chosen.
    auto text = textBytes(200000, 11);
    for (int method : {5, 7}) {
        SCOPED_TRACE(method);
        size_t bytes[maxLevel + 1] = {};
        for (int level : {1, 3, 5, 6, 9}) {
            EncoderOptions options;
            options.level = level;
            bytes[level] = compress(method, text, options).size();
            EXPECT_LT(bytes[level], text.size() * 35 / 100) << "level " << level;
        }
        EXPECT_LT(bytes[3], bytes[1]);
        EXPECT_LE(bytes[6], bytes[5]);
        EXPECT_LT(bytes[9], bytes[5] * 99 / 100);
    }
}

// Walks a static Huffman stream of original bytes as a reader that looks every code up by
// peeking at 8 bits would, and returns how many bits such a peek would need past the data's
// end at most (0 when none does), or -1 for a stream it cannot walk; end receives the bits the
// stream used.
long peekPastTheEnd(int method, const std::vector<uint8_t>& data, uint64_t original, uint64_t& end) {
    const uint64_t total = uint64_t{data.size()} * 8;
    uint64_t at = 0;
    auto bits = [&](uint32_t n) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < n; ++i, ++at)
            v = v << 1 | (at < total ? data[at / 8] >> (7 - at % 8) & 1 : 0);
        return v;
    };
    long worst = 0;
    struct Table {
        std::vector<uint8_t> length;
        int single = -1;
        uint32_t count[17] = {};
        std::vector<int> sorted;  // symbols by length, then by value
        void prepare() {
            for (uint32_t len = 1; len <= 16; ++len)
                for (size_t sym = 0; sym < length.size(); ++sym)
                    if (length[sym] == len) ++count[len], sorted.push_back(static_cast<int>(sym));
        }
    };
    // A code read by a peek of 8 bits: the single-value form reads nothing.
    auto decode = [&](const Table& t) -> int {
        if (t.single >= 0) return t.single;
        worst = std::max(worst, static_cast<long>(at + 8) - static_cast<long>(total));
        uint32_t code = 0, first = 0, index = 0;
        for (uint32_t len = 1; len <= 16; ++len) {
            code |= bits(1);
            if (code - first < t.count[len]) return t.sorted[index + code - first];
            index += t.count[len];
            first = (first + t.count[len]) << 1;
            code <<= 1;
        }
        return -1;
    };
    auto small = [&](uint32_t n, uint32_t width, int special) {
        Table t;
        t.length.assign(n, 0);
        const uint32_t count = bits(width);
        if (count == 0) {
            t.single = static_cast<int>(bits(width));
            return t;
        }
        for (uint32_t i = 0; i < count && i < n; ++i) {
            uint32_t l = bits(3);
            if (l == 7)
                while (bits(1)) ++l;
            t.length[i] = static_cast<uint8_t>(l);
            if (static_cast<int>(i) == special - 1) i += bits(2);
        }
        t.prepare();
        return t;
    };
    const uint32_t positionCodes = method <= 5 ? 14 : method == 6 ? 16 : 17;
    const uint32_t positionWidth = method <= 5 ? 4 : 5;
    for (uint64_t out = 0; out < original;) {
        if (at >= total) return -1;
        uint32_t count = bits(16);
        Table pre = small(19, 5, 3);
        Table symbols;
        symbols.length.assign(510, 0);
        const uint32_t span = bits(9);
        if (span == 0) symbols.single = static_cast<int>(bits(9));
        for (uint32_t i = 0; i < span;) {
            const int c = decode(pre);
            if (c < 0) return -1;
            if (c <= 2) i += c == 0 ? 1 : c == 1 ? bits(4) + 3 : bits(9) + 20;
            else symbols.length[i++] = static_cast<uint8_t>(c - 2);
        }
        symbols.prepare();
        Table positions = small(positionCodes, positionWidth, -1);
        for (; count && out < original; --count) {
            const int c = decode(symbols);
            if (c < 0) return -1;
            if (c < 256) {
                ++out;
                continue;
            }
            const int j = decode(positions);
            if (j < 0) return -1;
            if (j > 1) bits(static_cast<uint32_t>(j - 1));
            out += static_cast<uint64_t>(c - 253);
        }
    }
    end = at;
    return worst;
}

// Some readers look every code up by peeking at 8 bits and stop when the peek runs past the
// data; others stop at a byte the stream does not use. So the last code starts at least 8 bits
// before the end of the data, or the last symbol stands in a block of its own whose codes take
// no bits. The squares, one a line, are the data of such an ending at several levels.
TEST(Encoder, NoCodeIsPeekedAtPastTheEndOfTheData) {
    std::vector<std::vector<uint8_t>> inputs;
    for (int first : {0, 1, 2}) {
        for (const char* separator : {"\n", ","}) {
            std::string text;
            for (int i = first; i < 30000; ++i) text += (i > first ? separator : "") + std::to_string(i * i);
            inputs.emplace_back(text.begin(), text.end());
        }
    }
    inputs.push_back(textBytes(5000, 4));
    inputs.push_back(runBytes(3001, 5));
    for (int method : {5, 7}) {
        for (int level : {1, 3, 5, 9}) {
            for (uint32_t segment : {0u, 100000u}) {
                for (size_t i = 0; i < inputs.size(); ++i) {
                    SCOPED_TRACE(testing::Message() << "method " << method << ", level " << level << ", input " << i
                                                    << (segment ? ", in segments" : ""));
                    EncoderOptions options;
                    options.level = level;
                    if (segment) options.segmentBytes = segment;
                    std::vector<uint8_t> packed = compress(method, inputs[i], options);
                    uint64_t end = 0;
                    EXPECT_EQ(peekPastTheEnd(method, packed, inputs[i].size(), end), 0);
                    // Never a byte the stream does not need.
                    EXPECT_LT(packed.size() * 8 - end, 8u);
                }
            }
        }
    }
}

TEST(Encoder, RefusesMethodsItDoesNotWrite) {
    std::vector<uint8_t> bytes = textBytes(100, 1);
    for (int method : {1, 2, 3, 8, 9, 10, 11, -1, 12}) {
        SCOPED_TRACE(method);
        std::vector<uint8_t> out;
        EXPECT_FALSE(compressStaticHuffman(method, bytes.data(), bytes.size(), out));
        EXPECT_FALSE(compressMember(method, "a", bytes, 0).has_value());
    }
    auto stored = compressMember(methodStored, "a", bytes, 0);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->method, "-lh0-");
    EXPECT_TRUE(stored->data == bytes);
}

TEST(LimitedHuffmanLengths, GivesOptimalLengthsWithinTheLimit) {
    struct Case {
        std::vector<uint32_t> freq;
        std::vector<uint8_t> lengths;
    };
    const Case cases[] = {
        {{1, 1, 2, 4}, {3, 3, 2, 1}},
        {{5, 5, 5, 5}, {2, 2, 2, 2}},
        {{0, 9, 0, 3}, {0, 1, 0, 1}},
        {{0, 7, 0}, {0, 1, 0}},
        {{0, 0}, {0, 0}},
        {{10, 1, 1, 1, 1, 1, 1, 1, 1}, {1, 4, 4, 4, 4, 4, 4, 4, 4}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> got(c.freq.size());
        limitedHuffmanLengths(c.freq.data(), c.freq.size(), 16, got.data());
        EXPECT_EQ(got, c.lengths);
    }
}

TEST(LimitedHuffmanLengths, LimitsDeepCodesToACompleteCodeTheDecoderAccepts) {
    // Fibonacci frequencies make an unlimited Huffman code as deep as the alphabet is long.
    for (uint32_t maxBits : {16u, 12u, 8u}) {
        SCOPED_TRACE(maxBits);
        std::vector<uint32_t> freq(40);
        uint32_t a = 1, b = 1;
        for (uint32_t& f : freq) {
            f = a;
            uint32_t c = a + b;
            a = b;
            b = c;
        }
        std::vector<uint8_t> len(freq.size());
        limitedHuffmanLengths(freq.data(), freq.size(), maxBits, len.data());
        uint64_t kraft = 0;
        for (size_t i = 0; i < len.size(); ++i) {
            ASSERT_GE(len[i], 1);
            ASSERT_LE(len[i], maxBits);
            if (i > 0) {
                EXPECT_LE(len[i], len[i - 1]) << "a more frequent symbol got a longer code";
            }
            kraft += uint64_t{1} << (maxBits - len[i]);
        }
        EXPECT_EQ(kraft, uint64_t{1} << maxBits);
        StaticHuffmanState h{};
        uint16_t table[256];
        EXPECT_TRUE(buildTable(h, static_cast<int>(len.size()), len.data(), 8, table));
    }
}

}  // namespace
}  // namespace nivo
