#include <gtest/gtest.h>

#include "extract/mac_binary.h"
#include "tests/support/test_support.h"
#include "tools/lzh_writer.h"

namespace nivo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// Writes the member through the filter in pieces of the given size.
Bytes filtered(const Bytes& member, size_t piece) {
    test::VectorSink out;
    MacBinarySink sink(out, member.size());
    for (size_t at = 0; at < member.size(); at += piece) {
        size_t n = std::min(piece, member.size() - at);
        EXPECT_TRUE(sink.write(member.data() + at, static_cast<uint32_t>(n)));
    }
    EXPECT_TRUE(sink.finish());
    return out.bytes;
}

TEST(MacBinary, HeaderRules) {
    const Bytes fork = pattern(300, 1);
    const Bytes good = macBinary("Name", fork, pattern(50, 9));
    struct Case {
        const char* what;
        size_t at;      // byte changed, or SIZE_MAX for none
        uint8_t value;
        bool valid;
    } cases[] = {
        {"as written", SIZE_MAX, 0, true},
        {"byte 0 not zero", 0, 1, false},
        {"byte 74 not zero", 74, 1, false},
        {"name length 0", 1, 0, false},
        {"name length 63", 1, 63, true},
        {"name length 64", 1, 64, false},
        {"zero byte inside the name", 3, 0, false},
        {"data fork longer than the member", 85, 0x7F, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes h = good;
        if (c.at != SIZE_MAX) h[c.at] = c.value;
        if (c.at == 1 && c.value == 63) std::fill(h.begin() + 2, h.begin() + 65, 'n');
        EXPECT_EQ(isMacBinaryHeader(h.data(), h.size()), c.valid);
    }
    // The data fork may fill the member exactly, and no more.
    Bytes exact = macBinary("x", pattern(128, 3), {});
    EXPECT_TRUE(isMacBinaryHeader(exact.data(), 256));
    EXPECT_FALSE(isMacBinaryHeader(exact.data(), 255));
}

TEST(MacBinary, SinkPassesTheDataForkWhateverThePieces) {
    const Bytes fork = pattern(1000, 5);
    const Bytes mac = macBinary("Letter", fork, pattern(400, 77));
    const Bytes notMac = pattern(700, 1);  // byte 0 is not zero
    const Bytes shortMember = Bytes(mac.begin(), mac.begin() + 100);
    for (size_t piece : {1u, 7u, 127u, 128u, 129u, 4096u}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(filtered(mac, piece), fork);
        EXPECT_EQ(filtered(notMac, piece), notMac);
        EXPECT_EQ(filtered(shortMember, piece), shortMember);
    }
    EXPECT_TRUE(filtered(macBinary("Empty", {}, pattern(10, 0)), 64).empty());
}

}  // namespace
}  // namespace nivo
