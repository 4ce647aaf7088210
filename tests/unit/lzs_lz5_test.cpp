// -lzs- and -lz5-: items, absolute match positions, the -lz5- initial dictionary, and the end
// of a member's data.
#include <gtest/gtest.h>

#include <functional>

#include "decode/methods.h"
#include "tests/support/decoder_harness.h"

namespace nivo {
namespace {

using test::BitWriter;
using Bytes = std::vector<uint8_t>;

constexpr int lzs = 8;
constexpr int lz5 = 9;

Bytes repeated(std::initializer_list<std::pair<uint8_t, size_t>> runs) {
    Bytes out;
    for (auto [value, count] : runs) out.insert(out.end(), count, value);
    return out;
}

TEST(Lz5, InitialDictionaryHoldsRunsRampsZerosAndSpaces) {
    test::MemoryDecoder m({}, 12);
    decodeInitLz5(m.s);
    struct Range {
        uint32_t first, last;
        std::function<uint8_t(uint32_t)> value;
    };
    const Range ranges[] = {
        // The 18 bytes before the first byte of a member are zeros: the encoder that writes
        // -lz5- refers to them so (see the corpus member dos2/initial.lzs).
        {0, 17, [](uint32_t) { return uint8_t{0}; }},
        {18, 3345, [](uint32_t p) { return static_cast<uint8_t>((p - 18) / 13); }},
        {3346, 3601, [](uint32_t p) { return static_cast<uint8_t>(p - 3346); }},
        {3602, 3857, [](uint32_t p) { return static_cast<uint8_t>(255 - (p - 3602)); }},
        {3858, 3985, [](uint32_t) { return uint8_t{0}; }},
        {3986, 4095, [](uint32_t) { return uint8_t{0x20}; }},
    };
    for (const Range& r : ranges) {
        for (uint32_t p = r.first; p <= r.last; ++p) ASSERT_EQ(m.dictionary[p], r.value(p)) << "position " << p;
    }
}

struct ItemCase {
    const char* name;
    int method;
    Bytes data;
    uint32_t originalSize;
    Bytes expected;
};

Bytes ascendingMatches() {
    // Flag 0x00 and eight matches of 3 bytes over the ascending ramp: position 3328 + 3k
    // copies from 3346 + 3k.
    Bytes out = {0x00};
    for (uint32_t k = 0; k < 8; ++k) {
        uint32_t p = 3328 + 3 * k;
        out.push_back(static_cast<uint8_t>(p & 0xFF));
        out.push_back(static_cast<uint8_t>((p >> 8) << 4));
    }
    return out;
}

Bytes counting(uint8_t from, uint8_t to) {
    Bytes out;
    for (uint32_t v = from; v <= to; ++v) out.push_back(static_cast<uint8_t>(v));
    return out;
}

TEST(LzsLz5, ItemsDecodeToTheirBytes) {
    const Bytes abcd = {'A', 'B', 'C', 'D'};
    auto lzsBits = [](std::function<void(BitWriter&)> f) {
        BitWriter w;
        f(w);
        return w.bytes();
    };
    const ItemCase cases[] = {
        {"lz5 literals", lz5, {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, 8,
         {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}},
        {"lz5 eight matches", lz5, ascendingMatches(), 24, counting(0, 23)},
        {"lz5 position 3328, length 3", lz5, {0x00, 0x00, 0xD0}, 3, {0x00, 0x01, 0x02}},
        {"lz5 position 0, length 18", lz5, {0x00, 0x00, 0x0F}, 18, repeated({{0x00, 13}, {0x01, 5}})},
        // Position 4078 copies from 0, the bytes before the member's first.
        {"lz5 position 4078, length 3", lz5, {0x00, 0xEE, 0xF0}, 3, {0x00, 0x00, 0x00}},
        // Flag bits are used from bit 0: match, then literals.
        {"lz5 mixed group", lz5, {0xFE, 0x00, 0xD0, 'x', 'y'}, 5, {0x00, 0x01, 0x02, 'x', 'y'}},
        {"lz5 second group reads a new flag byte", lz5,
         {0xFF, '1', '2', '3', '4', '5', '6', '7', '8', 0xFE, 0x00, 0xD0, '9'}, 12,
         {'1', '2', '3', '4', '5', '6', '7', '8', 0x00, 0x01, 0x02, '9'}},
        {"lzs literal", lzs, lzsBits([](BitWriter& w) { w.bits("1 01000001"); }), 1, {'A'}},
        // Position p copies from p + 17: 2031 is the first byte of the member. The match
        // overlaps what it writes.
        {"lzs match of 17", lzs,
         lzsBits([](BitWriter& w) {
             w.bits("1 01000001 1 01000010 1 01000011 1 01000100");
             w.bits("0").put(2031, 11).bits("1111");
         }),
         21, [&] {
             Bytes v = abcd;
             for (int i = 0; i < 17; ++i) v.push_back(abcd[static_cast<size_t>(i % 4)]);
             return v;
         }()},
        {"lzs match of 2 from unwritten positions", lzs,
         lzsBits([](BitWriter& w) { w.bits("1 01000001 0").put(100, 11).bits("0000"); }), 3, {'A', ' ', ' '}},
        {"lzs position wraps", lzs,
         lzsBits([](BitWriter& w) {
             w.bits("1 01000001 1 01000010");
             w.bits("0").put(2032, 11).bits("0000");  // copies from 1
         }),
         4, {'A', 'B', 'B', 'B'}},
    };
    for (const ItemCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::Decoded d = test::decodeBytes(c.data, c.method, c.originalSize);
        EXPECT_EQ(d.result.status, DecodeStatus::complete);
        EXPECT_EQ(d.bytes, c.expected);
    }
}

TEST(Lz5, ReadsNothingPastTheCompressedSize) {
    // The bytes behind the member's data belong to the next header; past its size the member
    // gives zeros.
    const Bytes buffer = {0xFF, 'A', 'B', 'C', 'D'};
    test::VectorSink sink;
    DecodeResult r = decodeMemberData(buffer.data(), 2, lz5, 3, sink);
    EXPECT_EQ(sink.bytes, (Bytes{'A', 0x00, 0x00}));
    EXPECT_EQ(r.status, DecodeStatus::complete);

    // A size far beyond the data ends as damaged, soon.
    test::Decoded d = test::decodeBytes({0xFF, 'A'}, lz5, 1000000);
    EXPECT_EQ(d.result.status, DecodeStatus::damaged);
    EXPECT_LT(d.bytes.size(), 64u);
}

TEST(LzsLz5, RandomDataEndsWithinBounds) {
    for (int method : {lzs, lz5}) {
        for (uint32_t seed = 1; seed <= 6; ++seed) {
            SCOPED_TRACE(testing::Message() << "method " << method << " seed " << seed);
            Bytes data = test::randomBytes(seed, 5000 * seed);
            test::Decoded d = test::decodeBytes(data, method, 1u << 22);
            // Every byte string is valid data: it decodes until it runs out.
            EXPECT_EQ(d.result.status, DecodeStatus::damaged);
            EXPECT_GT(d.bytes.size(), data.size());
            EXPECT_LT(d.bytes.size(), 1u << 22);
        }
    }
}

}  // namespace
}  // namespace nivo
