#include "decode/crc16.h"

namespace nivo {

uint16_t crcTable[256];

namespace {
// crcAhead[k - 1][i]: the effect of byte i followed by k zero bytes, so that four bytes are
// folded in with four independent look-ups instead of a chain of four.
uint16_t crcAhead[3][256];
}

void makeCrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
        crcTable[i] = static_cast<uint16_t>(r);
    }
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = crcTable[i];
        for (auto& ahead : crcAhead) {
            c = static_cast<uint16_t>(crcTable[c & 0xFF] ^ (c >> 8));
            ahead[i] = c;
        }
    }
}

uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    for (; count >= 4; count -= 4, bytes += 4) {
        uint32_t x = crc ^ (bytes[0] | static_cast<uint32_t>(bytes[1]) << 8);
        crc = static_cast<uint16_t>(crcAhead[2][x & 0xFF] ^ crcAhead[1][x >> 8] ^ crcAhead[0][bytes[2]] ^
                                    crcTable[bytes[3]]);
    }
    for (; count; --count, ++bytes)
        crc = static_cast<uint16_t>(crcTable[(crc ^ *bytes) & 0xFF] ^ (crc >> 8));
    return crc;
}

}  // namespace nivo
