#include "decode/crc16.h"

namespace nivo {

namespace {

constexpr uint16_t crcOfByte(uint32_t i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
    return static_cast<uint16_t>(r);
}

}  // namespace

#ifdef NIVO_COMPACT_DECODER

uint16_t crcTable[256];

void makeCrcTable() {
    for (uint32_t i = 0; i < 256; ++i) crcTable[i] = crcOfByte(i);
}

uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    for (; count; --count, ++bytes) crc = static_cast<uint16_t>(crcTable[(crc ^ *bytes) & 0xFF] ^ (crc >> 8));
    return crc;
}

#else

namespace {

// slice[k][i]: the CRC of byte i followed by k zero bytes. Sixteen bytes are then folded in
// with sixteen independent look-ups instead of a chain of sixteen.
struct CrcSlices {
    uint16_t slice[16][256];
};

constexpr CrcSlices makeSlices() {
    CrcSlices t{};
    for (uint32_t i = 0; i < 256; ++i) t.slice[0][i] = crcOfByte(i);
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = t.slice[0][i];
        for (int k = 1; k < 16; ++k) {
            c = static_cast<uint16_t>(t.slice[0][c & 0xFF] ^ (c >> 8));
            t.slice[k][i] = c;
        }
    }
    return t;
}

alignas(64) constexpr CrcSlices crcSlices = makeSlices();

uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

const uint16_t* const crcTable = crcSlices.slice[0];

void makeCrcTable() {}

uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    const auto& t = crcSlices.slice;
    for (; count >= 16; count -= 16, bytes += 16) {
        const uint32_t a = load32(bytes) ^ crc;
        const uint32_t b = load32(bytes + 4);
        const uint32_t c = load32(bytes + 8);
        const uint32_t d = load32(bytes + 12);
        crc = static_cast<uint16_t>(
            t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
            t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
            t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
            t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24]);
    }
    for (; count; --count, ++bytes) crc = static_cast<uint16_t>(t[0][(crc ^ *bytes) & 0xFF] ^ (crc >> 8));
    return crc;
}

#endif

}  // namespace nivo
