#include "extract/mac_binary.h"

#include <cstring>

namespace nivo {

bool isMacBinaryHeader(const uint8_t* h, MemberSize memberSize) {
    if (memberSize < macBinaryHeaderSize || h[0] != 0 || h[74] != 0) return false;
    const uint32_t nameLength = h[1];
    if (nameLength < 1 || nameLength > 63 || std::memchr(h + 2, 0, nameLength)) return false;
    const uint32_t dataFork = static_cast<uint32_t>(h[83]) << 24 | static_cast<uint32_t>(h[84]) << 16 |
                              static_cast<uint32_t>(h[85]) << 8 | h[86];
    return dataFork <= memberSize - macBinaryHeaderSize;
}

bool MacBinarySink::write(const uint8_t* data, uint32_t count) {
    if (!decided) {
        uint32_t n = macBinaryHeaderSize - held;
        if (n > count) n = count;
        std::memcpy(header + held, data, n);
        held += n;
        data += n;
        count -= n;
        if (held < macBinaryHeaderSize) return true;
        decided = true;
        macBinary = isMacBinaryHeader(header, memberSize);
        if (macBinary) {
            forkLeft = static_cast<uint32_t>(header[83]) << 24 | static_cast<uint32_t>(header[84]) << 16 |
                       static_cast<uint32_t>(header[85]) << 8 | header[86];
        } else if (!next.write(header, macBinaryHeaderSize)) {
            return false;
        }
    }
    if (!macBinary) return count == 0 || next.write(data, count);
    // The data fork; the padding and the resource fork behind it are dropped.
    const uint32_t n = forkLeft < count ? static_cast<uint32_t>(forkLeft) : count;
    forkLeft -= n;
    return n == 0 || next.write(data, n);
}

bool MacBinarySink::finish() {
    if (decided || held == 0) return true;
    decided = true;
    return next.write(header, held);
}

}  // namespace nivo
