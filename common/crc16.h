// The CRC-16 of the LZH format: CRC-16/ARC, reflected polynomial 0xA001, initial value 0, no
// final XOR.
#pragma once

#include <cstdint>

namespace nivo {

// crcTable[i]: the CRC of the single byte i. The extractors carry their tables ready-made, so
// the CRC needs no set-up and any thread may use it at any time; the Windows program, short of
// room, builds its one table at the start of the run.
#ifdef NIVO_COMPACT_DECODER
extern uint16_t crcTable[256];
#else
extern const uint16_t* const crcTable;
#endif

// Builds crcTable where it is built at run time; does nothing elsewhere. Cheap and idempotent.
void makeCrcTable();

// Folds count bytes into crc and returns the new value.
uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count);

}  // namespace nivo
