#include "decode/bit_reader.h"

namespace nivo {

bool refillInput(BitReader& r) {
    const uint32_t kept = r.inputEnd - r.inputPos;
    const MemberSize inStream = r.compressedLeft - kept;
    if (inStream == 0 || !r.inputStream) {
        if (inStream != 0) {
            r.truncated = true;
            r.compressedLeft = kept;
        }
        return false;
    }
    if (kept) std::memmove(r.inputBuffer, r.inputBuffer + r.inputPos, kept);
    r.inputPos = 0;
    r.inputEnd = kept;
    const uint32_t room = r.inputBufferSize - kept;
    const uint32_t n = inStream < room ? static_cast<uint32_t>(inStream) : room;
    const auto got = static_cast<uint32_t>(std::fread(r.inputBuffer + kept, 1, n, r.inputStream));
    r.inputEnd = kept + got;
    if (got < n) {
        // The file ends inside the member. What it holds are the member's last bytes; the rest
        // comes as the zeros past the member's end, which are counted, so that a decoder
        // running on them far beyond the data ends the member as damaged instead of producing
        // whatever size the header claims.
        r.truncated = true;
        r.compressedLeft = kept + got;
    }
    return got != 0;
}

void fillBitBuffer(BitReader& r) {
    if (r.inputEnd - r.inputPos < BitWindow::refillBytes && r.compressedLeft > r.inputEnd - r.inputPos)
        refillInput(r);
    if (!compactDecoder && r.inputEnd - r.inputPos >= BitWindow::refillBytes) {
        BitWindow w(r);
        w.refill();
        w.store(r);
        return;
    }
    while (r.bitCount < 56) {
        r.bitBuffer |= static_cast<uint64_t>(readInputByte(r)) << (56 - r.bitCount);
        r.bitCount += 8;
    }
}

}  // namespace nivo
