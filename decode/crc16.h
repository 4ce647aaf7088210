// The CRC-16 of the LZH format: CRC-16/ARC, reflected polynomial 0xA001, initial value 0, no
// final XOR, one table look-up per byte.
#pragma once

#include <cstdint>

namespace nivo {

extern uint16_t crcTable[256];

// Builds crcTable. Cheap and idempotent; every run builds it at its start.
void makeCrcTable();

// Folds count bytes into crc and returns the new value.
uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count);

}  // namespace nivo
