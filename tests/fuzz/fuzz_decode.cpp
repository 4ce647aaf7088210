// Every compressed method through the one decoder entry point, in both forms of the loop, which
// must agree on everything. The input is
//   byte 0      the method: one of -lh1- to -lh7-, -lzs-, -lz5-, -lhx- by byte % 10
//   bytes 1-3   the original size, 24 bits least significant first, at most maxOriginal
//   the rest    the member's compressed bytes
#include <cstring>

#include "common/crc16.h"
#include "decode/member_decoder.h"
#include "tests/fuzz/fuzz_support.h"

using namespace nivo;

namespace {

// Twice the largest dictionary, so that every method wraps it; small enough to keep a run short.
constexpr uint32_t maxOriginal = 1u << 17;
// The longest match of any method: -lh3- codes 285 + 255, less its length offset.
constexpr uint32_t longestMatch = 287;

// Counts the bytes and keeps its own CRC of them, to hold the decoder's against.
class CheckingSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        FUZZ_CHECK(count > 0);
        crc = updateCrc(crc, data, count);
        bytes += count;
        return true;
    }
    uint16_t crc = 0;
    uint64_t bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    makeCrcTable();
    static const int methods[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12};
    const int method = methods[data[0] % 10];
    uint32_t original = static_cast<uint32_t>(data[1] | data[2] << 8 | data[3] << 16);
    if (original > maxOriginal) original %= maxOriginal + 1;
    const auto compressed = static_cast<uint32_t>(size - 4);

    CheckingSink sink;
    DecodeResult r = decodeMemberData(data + 4, compressed, method, original, sink);
    FUZZ_CHECK(r.status == DecodeStatus::complete || r.status == DecodeStatus::damaged);
    FUZZ_CHECK(r.bytesWritten == sink.bytes);
    FUZZ_CHECK(r.crc == sink.crc);
    // The loop stops at the original size, except that a last match is written whole.
    FUZZ_CHECK(sink.bytes <= uint64_t(original) + longestMatch);
    if (r.status == DecodeStatus::complete) {
        FUZZ_CHECK(sink.bytes >= original);
        FUZZ_CHECK(r.overran == (sink.bytes > original));
    }
    CheckingSink compactSink;
    DecodeResult c = decodeMemberData(data + 4, compressed, method, original, compactSink, {}, true);
    FUZZ_CHECK(c.status == r.status && c.crc == r.crc && c.truncated == r.truncated && c.overran == r.overran);
    FUZZ_CHECK(compactSink.bytes == sink.bytes && compactSink.crc == sink.crc);
    return 0;
}
