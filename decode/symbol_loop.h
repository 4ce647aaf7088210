// The loop that decodes symbol by symbol, shared by every method: a literal goes to the output,
// a match is copied from the window. The dictionary loop runs it a stretch at a time, through
// the method table's operations. The wide form runs each method family's own fast loop over the
// buffered input instead (decodeStretchWide), and this loop only where that one cannot go on.
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

// The method operations of one family, for the symbol-by-symbol loop.
struct FamilyOps {
    uint16_t (*decodeSymbol)(DecoderState&);
    uint32_t (*decodeDistance)(DecoderState&);
    uint32_t lengthOffset;
};

// The wide form's stretch. fastItems decodes items with the bit buffer, the input and the
// output in locals, as long as at least `margin` bytes of input are buffered, and returns where
// it stopped: at outLimit, with the input low, on damage, or wherever its family needs the
// checking operations (a block header, say). One item then goes through those operations, and
// the fast loop takes over again. decodedCount is the count at out when fastItems starts, and
// is set here when it returns; a family that reads it on the way keeps it itself.
template <typename FastItems>
inline uint8_t* decodeStretchWide(DecoderState& s, FastItems fastItems, uint32_t margin, const FamilyOps& ops,
                                  uint8_t* out, uint8_t* const outLimit) {
    while (out < outLimit) {
        if (s.inputEnd - s.inputPos < margin) refillInput(s);
        if (s.inputEnd - s.inputPos >= margin) {
            uint8_t* const before = out;
            const uint32_t count = s.decodedCount;
            out = fastItems(s, out, outLimit);
            s.decodedCount = count + static_cast<uint32_t>(out - before);
            if (s.damaged || out >= outLimit) break;
        }
        // Exactly one item: a literal or a match moves out by at least one byte.
        out = decodeSymbolStretch<false>(s, ops.decodeSymbol, ops.decodeDistance, ops.lengthOffset, out, out + 1);
        if (s.damaged || readFarPastEnd(s)) break;
    }
    return out;
}

}  // namespace nivo
