// Hand-built compressed data for the decoder tests: bit strings written most significant bit
// first, and a DecoderState that reads them from memory the way MemberDecoder sets one up.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "decode/decoder_state.h"
#include "decode/member_decoder.h"
#include "decode/methods.h"
#include "decode/run_values.h"
#include "platform/platform.h"
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

// Records the positions that a run's progress bar is sent.
class PositionRecorder : public FrontEnd {
public:
    void progressPosition(uint32_t p) override { positions.push_back(p); }
    std::vector<uint32_t> positions;
};

// The forms of the decoding loop that must agree: the wide one as the extractor runs it, the
// compact one of the Windows program, and, where the processor has BMI2 or carry-less
// multiplication, the wide one's portable build (no BMI2, the CRC by tables) beside the one
// that the extractor chooses.
enum class Form { wide, compact, widePortable };

inline std::vector<Form> decoderForms() {
    if (processorHasBmi2() || fastestCrcForm() != CrcForm::slices) return {Form::wide, Form::compact, Form::widePortable};
    return {Form::wide, Form::compact};
}

inline const char* formName(Form f) {
    return f == Form::wide ? "wide" : f == Form::compact ? "compact" : "wide, portable build";
}

// decodeMemberData in the form.
inline DecodeResult decodeInForm(Form f, const uint8_t* data, uint32_t compressedSize, int methodIndex,
                                 MemberSize originalSize, OutputSink& out, const ProgressReporter& progress = {}) {
    const bool chosen = staticLoopBmi2;
    const CrcForm chosenCrc = crcForm;
    if (f == Form::widePortable) {
        staticLoopBmi2 = false;
        crcForm = CrcForm::slices;
    }
    DecodeResult r = decodeMemberData(data, compressedSize, methodIndex, originalSize, out, progress,
                                      f == Form::compact);
    staticLoopBmi2 = chosen;
    crcForm = chosenCrc;
    return r;
}

// Decodes in every form of the loop and checks that they agree on everything: bytes, CRC,
// verdict, what was written before damage, and every position the progress bar is sent (a run
// of this member alone, so that the bar moves every 1% of its size, inside matches as often as
// not). Returns the wide form's.
inline Decoded decodeBothForms(const std::vector<uint8_t>& data, int methodIndex, uint32_t originalSize) {
    const std::vector<Form> forms = decoderForms();
    std::vector<Decoded> decoded(forms.size());
    std::vector<std::vector<uint32_t>> positions(forms.size());
    for (size_t i = 0; i < forms.size(); ++i) {
        RunValues run;
        run.totalBytes = originalSize;
        PositionRecorder frontEnd;
        VectorSink sink;
        decoded[i].result = decodeInForm(forms[i], data.data(), static_cast<uint32_t>(data.size()), methodIndex,
                                         originalSize, sink, ProgressReporter{&run, &frontEnd});
        decoded[i].bytes = std::move(sink.bytes);
        positions[i] = std::move(frontEnd.positions);
    }
    const DecodeResult& w = decoded[0].result;
    for (size_t i = 1; i < forms.size(); ++i) {
        SCOPED_TRACE(formName(forms[i]));
        const DecodeResult& c = decoded[i].result;
        EXPECT_EQ(w.status, c.status);
        EXPECT_EQ(w.crc, c.crc);
        EXPECT_EQ(w.bytesWritten, c.bytesWritten);
        EXPECT_EQ(w.truncated, c.truncated);
        EXPECT_EQ(w.overran, c.overran);
        EXPECT_TRUE(decoded[0].bytes == decoded[i].bytes) << "the forms wrote different bytes";
        EXPECT_EQ(positions[0], positions[i]);
    }
    return std::move(decoded[0]);
}

// Decodes a whole member from memory, in both forms of the loop.
inline Decoded decodeBytes(const std::vector<uint8_t>& data, int methodIndex, uint32_t originalSize) {
    return decodeBothForms(data, methodIndex, originalSize);
}

inline std::vector<uint8_t> randomBytes(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace nivo::test
