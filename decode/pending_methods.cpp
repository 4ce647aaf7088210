// Placeholders until the adaptive, -lh3- and -lzs-/-lz5- decoders land: they refuse the data.
#include "decode/methods.h"

namespace nivo {
#define NIVO_PENDING_INIT(name) __attribute__((weak)) void name(DecoderState& s) { s.damaged = true; }
#define NIVO_PENDING_OP(name) __attribute__((weak)) uint16_t name(DecoderState& s) { s.damaged = true; return 0; }
NIVO_PENDING_INIT(decodeInitDynamic)
NIVO_PENDING_INIT(decodeInitFixed)
NIVO_PENDING_INIT(decodeInitLh3)
NIVO_PENDING_INIT(decodeInitLzs)
NIVO_PENDING_INIT(decodeInitLz5)
NIVO_PENDING_OP(decodeSymbolDynamic)
NIVO_PENDING_OP(decodeDistanceDynamic)
NIVO_PENDING_OP(decodeSymbolLh3)
NIVO_PENDING_OP(decodeDistanceTable)
NIVO_PENDING_OP(decodeSymbolLzs)
NIVO_PENDING_OP(decodeDistanceLzs)
NIVO_PENDING_OP(decodeSymbolLz5)
NIVO_PENDING_OP(decodeDistanceLz5)
}  // namespace nivo
