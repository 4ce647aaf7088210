#include <gtest/gtest.h>

#include <cstring>

#include "decode/member_decoder.h"
#include "decode/methods.h"
#include "lzh/member_header.h"
#include "tests/support/decoder_harness.h"
#include "tools/lzh_encoder.h"

namespace nivo {
namespace {

// What each method is on the wire, written out once more by hand: a slip in the table, or a
// decoder or encoder that reads it otherwise, fails here.
TEST(MethodFacts, AgreeWithTheHeaderReaderTheDecoderAndTheEncoder) {
    struct Row {
        const char* id;
        uint32_t dictBits;
        uint32_t positionCodes, positionCodeBits;  // static Huffman only
        bool decoded;                              // through the method table
        bool encoded;
    };
    const Row rows[] = {
        {"-lh0-", 0, 0, 0, false, false},  {"-lh1-", 12, 0, 0, true, false},
        {"-lh2-", 13, 0, 0, true, false},  {"-lh3-", 13, 0, 0, true, false},
        {"-lh4-", 12, 14, 4, true, true},  {"-lh5-", 13, 14, 4, true, true},
        {"-lh6-", 15, 16, 5, true, true},  {"-lh7-", 16, 17, 5, true, true},
        {"-lzs-", 11, 0, 0, true, false},  {"-lz5-", 12, 0, 0, true, false},
        {"-lz4-", 0, 0, 0, false, false},  {"-lhd-", 0, 0, 0, false, false},
        {"-lhx-", 19, 20, 5, true, false},
    };
    ASSERT_EQ(std::size(rows), size_t(methodCount));
    for (int i = 0; i < methodCount; ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.id);
        EXPECT_STREQ(methodIdOf(i).text, row.id);
        MemberHeader header{};
        std::memcpy(header.method, row.id, 5);
        EXPECT_EQ(methodIndex(header), i);
        EXPECT_TRUE(hasMethodShape(reinterpret_cast<const uint8_t*>(row.id)));
        EXPECT_EQ(dictBitsOf(i), row.dictBits);
        EXPECT_EQ(methodTable[i].decodeInit != nullptr, row.decoded);
        EXPECT_EQ(encoderWindow(i), row.encoded ? 1u << row.dictBits : 0u);
        EXPECT_EQ(methodFacts[i].positionCodes, row.positionCodes);
        if (methodFacts[i].family == MethodFamily::staticHuffman) {
            // The decoder takes its position alphabet from the dictionary it reads with.
            test::MemoryDecoder m({0, 0, 0, 0}, static_cast<uint16_t>(row.dictBits));
            decodeInitStatic(m.s);
            EXPECT_EQ(m.s.huff.posCodeCount, row.positionCodes);
            EXPECT_EQ(m.s.huff.posCodeBits, row.positionCodeBits);
        }
    }
    EXPECT_EQ(dictBitsOf(-1), 0u);
    EXPECT_EQ(dictBitsOf(methodCount), 0u);
    EXPECT_EQ(maxDictBits, 19u);
    // One character too few or a missing dash is no identifier; letters outside the table are
    // an identifier of an unknown method.
    for (const char* other : {"-lh5 ", " lh5-", "-Lh5-", "-lh9-", "-lhX-"}) {
        MemberHeader header{};
        std::memcpy(header.method, other, 5);
        EXPECT_EQ(methodIndex(header), -1) << other;
    }
    EXPECT_FALSE(hasMethodShape(reinterpret_cast<const uint8_t*>("-LH5-")));
}

}  // namespace
}  // namespace nivo
