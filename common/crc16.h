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

#ifndef NIVO_COMPACT_DECODER
// The ways the extractors compute it, all with the same results: by tables (sixteen bytes a
// step), by carry-less multiplication in 128-bit registers (PCLMULQDQ), and in 512-bit ones
// (VPCLMULQDQ with AVX-512). crcForm is the processor's fastest (fastestCrcForm) unless a
// test or the benchmark chooses another that the processor has.
enum class CrcForm : uint8_t { slices, folding, wideFolding };
extern CrcForm crcForm;
CrcForm fastestCrcForm();
#endif

}  // namespace nivo
