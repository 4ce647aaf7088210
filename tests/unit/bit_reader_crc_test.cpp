#include <gtest/gtest.h>

#include <cstring>

#include "common/crc16.h"
#include "decode/decoder_state.h"

namespace nivo {
namespace {

TEST(Crc16, KnownValuesAndTable) {
    makeCrcTable();
    const char digits[] = "123456789";
    EXPECT_EQ(updateCrc(0, reinterpret_cast<const uint8_t*>(digits), 9), 0xBB3D);
    EXPECT_EQ(updateCrc(0, reinterpret_cast<const uint8_t*>("abc"), 3), 0x9738);
    EXPECT_EQ(updateCrc(0x1234, nullptr, 0), 0x1234);
    EXPECT_EQ(crcTable[1], 0xC0C1);
    EXPECT_EQ(crcTable[2], 0xC181);
    EXPECT_EQ(crcTable[3], 0x0140);
    EXPECT_EQ(crcTable[255], 0x4040);
    // Folding in pieces gives the same as in one go.
    uint16_t crc = updateCrc(0, reinterpret_cast<const uint8_t*>(digits), 4);
    EXPECT_EQ(updateCrc(crc, reinterpret_cast<const uint8_t*>(digits) + 4, 5), 0xBB3D);
}

TEST(Crc16, EveryLengthAndStartAgreesWithTheBitwiseDefinition) {
    // Long runs take the wide paths (16, 64 and 256 bytes at a step); the short ends and odd starts
    // the byte-wise one. All must give the CRC computed one bit at a time.
    auto bitwise = [](uint16_t crc, const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            crc ^= p[i];
            for (int k = 0; k < 8; ++k) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        }
        return crc;
    };
    std::vector<uint8_t> data(5000);
    uint32_t x = 12345;
    for (uint8_t& b : data) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
    // Every form the processor has (tables, 128-bit and 512-bit folding): 256 bytes and more
    // take the widest steps, and 512 bytes and more its four registers.
    const CrcForm chosen = crcForm;
    for (CrcForm form : {CrcForm::slices, CrcForm::folding, CrcForm::wideFolding}) {
        if (form > fastestCrcForm()) continue;
        crcForm = form;
        SCOPED_TRACE(testing::Message() << "form " << int(form));
        for (size_t n : {0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 79, 80, 81, 127, 128, 129, 200, 255, 256,
                         257, 511, 512, 513, 767, 768, 769, 1000, 1023, 1024, 1040, 1295, 4093}) {
            for (size_t offset : {0, 1, 7}) {
                for (uint16_t start : {uint16_t(0x0000), uint16_t(0x0001), uint16_t(0xA5C3), uint16_t(0xFFFF)}) {
                    SCOPED_TRACE(testing::Message() << n << " bytes from " << offset << ", start " << start);
                    EXPECT_EQ(updateCrc(start, data.data() + offset, uint32_t(n)),
                              bitwise(start, data.data() + offset, n));
                }
            }
        }
        // In pieces of every size, as the output window hands them over.
        uint16_t crc = 0;
        size_t at = 0;
        for (size_t piece = 1; at + piece <= data.size(); at += piece, ++piece)
            crc = updateCrc(crc, data.data() + at, uint32_t(piece));
        EXPECT_EQ(crc, bitwise(0, data.data(), at));
    }
    crcForm = chosen;
}

// A bit reader over bytes in memory, as the decoder sets it up.
struct Reader {
    explicit Reader(std::vector<uint8_t> data) : bytes(std::move(data)) {
        std::memset(&s, 0, sizeof s);
        s.inputBuffer = bytes.data();
        s.inputBufferSize = s.inputEnd = static_cast<uint32_t>(bytes.size());
        s.compressedLeft = bytes.size();
        startBitReader(s);
    }
    uint32_t window() { return peekBits(s, 16); }
    std::vector<uint8_t> bytes;
    DecoderState s;
};

TEST(BitReader, StartAndTakeFollowTheStream) {
    Reader r({0xA5, 0x0F});
    EXPECT_EQ(r.window(), 0xA50Fu);
    EXPECT_EQ(takeBits(r.s, 3), 5u);
    EXPECT_EQ(r.window(), 0x2878u);
    EXPECT_EQ(takeBits(r.s, 0), 0u);
    EXPECT_EQ(r.window(), 0x2878u);
    // Past the member's end the input is zeros without end.
    EXPECT_EQ(takeBits(r.s, 13), 0x050Fu);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(takeBits(r.s, 16), 0u);
    EXPECT_FALSE(r.s.truncated);
}

TEST(BitReader, AnEmptyMemberGivesZerosAndReadsNothing) {
    Reader r({});
    EXPECT_EQ(r.window(), 0u);
    EXPECT_EQ(takeBits(r.s, 16), 0u);
    EXPECT_EQ(r.s.inputPos, 0u);
}

TEST(BitReader, LongSkipsEqualShortSteps) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 64; ++i) data.push_back(static_cast<uint8_t>(i * 37 + 11));
    for (uint32_t n : {16u, 17u, 9u, 32u}) {
        Reader a(data), b(data);
        skipBits(a.s, n);
        for (uint32_t left = n; left;) {
            uint32_t step = left > 5 ? 5 : left;
            skipBits(b.s, step);
            left -= step;
        }
        for (int k = 0; k < 20; ++k) EXPECT_EQ(takeBits(a.s, 11), takeBits(b.s, 11)) << n;
    }
}

TEST(BitReader, ReadsFarPastTheEndOnceMoreThan64ZeroBitsAreTaken) {
    // Members of several sizes, read in steps of several widths: the reader counts as far past
    // the end exactly when more than 64 bits past the member's last byte have been taken, however
    // many of the zeros the buffer holds.
    for (size_t size : {0u, 1u, 3u, 9u, 20u}) {
        for (uint32_t step : {1u, 7u, 13u, 16u, 32u}) {
            Reader r(std::vector<uint8_t>(size, 0x5A));
            for (int i = 0; i < 200 / int(step) + 2; ++i) {
                takeBits(r.s, step);
                const int64_t taken = (int64_t{r.s.inputPos} + r.s.padBytes) * 8 - r.s.bitCount;
                ASSERT_EQ(readFarPastEnd(r.s), taken - int64_t(size) * 8 > 64) << size << " " << step << " " << i;
            }
        }
    }
}

TEST(BitReader, TakesExactlyTheMembersBytes) {
    // Two members back to back in one buffer: the first one's reader must not see the second.
    std::vector<uint8_t> data = {0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    Reader r(data);
    r.s.compressedLeft = 3;
    r.s.inputEnd = 3;
    r.s.inputPos = 0;
    r.s.bitBuffer = 0;
    r.s.bitCount = 0;
    startBitReader(r.s);
    EXPECT_EQ(takeBits(r.s, 24), 0xFFFFFFu);
    EXPECT_EQ(takeBits(r.s, 24), 0u);
}

}  // namespace
}  // namespace nivo
