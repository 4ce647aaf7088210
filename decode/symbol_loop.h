// The loop that decodes symbol by symbol, shared by every method: a literal goes to the output,
// a match is copied from the window. The dictionary loop runs it a stretch at a time, through
// the method table's operations; the wide form of a method family instantiates it in the
// family's own file with its operations inlined (decodeStretchLzs and the like).
#pragma once

#include "decode/decoder_state.h"
#include "decode/output_window.h"

namespace nivo {

// Decodes symbols into the output window from out until out reaches outLimit (a match may run
// past it) or the data shows damage, and returns the new end. decodedCount is the count at out
// on entry and on return; the operations see it, and dictPos, as the method table promises.
// lengthOffset: a match code's length is code - lengthOffset.
template <bool compact, typename DecodeSymbol, typename DecodeDistance>
inline uint8_t* decodeSymbolStretch(DecoderState& s, DecodeSymbol decodeSymbol, DecodeDistance decodeDistance,
                                    uint32_t lengthOffset, uint8_t* out, uint8_t* const outLimit) {
    const uint32_t mask = s.dictionarySize - 1;
    uint32_t count = s.decodedCount;
    while (out < outLimit) {
        s.decodedCount = count;
        const uint32_t code = decodeSymbol(s);
        if (s.damaged) break;
        if (code <= 255) {
            *out++ = static_cast<uint8_t>(code);
            ++count;
        } else {
            s.dictPos = count & mask;
            const uint32_t d = decodeDistance(s);
            if (s.damaged) break;
            const uint32_t length = code - lengthOffset;
            out = copyMatch<compact>(out, (d & mask) + 1, length);
            count += length;
        }
        if (readFarPastEnd(s)) break;
    }
    s.decodedCount = count;
    return out;
}

}  // namespace nivo
