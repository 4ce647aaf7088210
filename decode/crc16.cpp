#include "decode/crc16.h"

namespace nivo {

uint16_t crcTable[256];

void makeCrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
        crcTable[i] = static_cast<uint16_t>(r);
    }
}

uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>(crcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

}  // namespace nivo
