// Hand-built compressed data for the decoder tests: bit strings written most significant bit
// first, and a DecoderState that reads them from memory the way MemberDecoder sets one up.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decode/decoder_state.h"
#include "decode/member_decoder.h"
#include "tests/support/bit_writer.h"
#include "tests/support/test_support.h"

namespace nivo::test {

// A DecoderState over bytes in memory, with a dictionary of spaces; no MemberDecoder around it,
// so that a test can call the method operations one by one and look at the state between them.
class MemoryDecoder {
public:
    MemoryDecoder(std::vector<uint8_t> data, uint16_t dictBits) : holder(new DecoderState()), s(*holder) {
        std::memset(&s, 0, sizeof s);
        dictionary.assign(size_t{1} << dictBits, 0x20);
        s.dictionary = dictionary.data();
        s.dictionarySize = static_cast<uint32_t>(dictionary.size());
        s.dictBits = dictBits;
        nextMember(std::move(data));
    }
    // Points the same state at another member's data, as the next member of a run would find
    // it; the method's start operation is the caller's.
    void nextMember(std::vector<uint8_t> data) {
        input = std::move(data);
        s.inputBuffer = input.data();
        s.inputBufferSize = static_cast<uint32_t>(input.size());
        s.inputPos = 0;
        s.inputEnd = static_cast<uint32_t>(input.size());
        s.compressedLeft = static_cast<uint32_t>(input.size());
        s.padBytes = 0;
        s.damaged = false;
    }
    // Bits taken from the stream so far (bits in the buffer are not taken yet).
    uint64_t bitsConsumed() const { return (uint64_t{s.inputPos} + s.padBytes) * 8 - s.bitCount; }

    std::unique_ptr<DecoderState> holder;
    DecoderState& s;
    std::vector<uint8_t> input;
    std::vector<uint8_t> dictionary;
};

// Decodes a whole member from memory.
struct Decoded {
    DecodeResult result;
    std::vector<uint8_t> bytes;
};

inline Decoded decodeBytes(const std::vector<uint8_t>& data, int methodIndex, uint32_t originalSize) {
    VectorSink sink;
    Decoded out;
    out.result = decodeMemberData(data.data(), static_cast<uint32_t>(data.size()), methodIndex, originalSize, sink);
    out.bytes = std::move(sink.bytes);
    return out;
}

inline std::vector<uint8_t> randomBytes(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace nivo::test
