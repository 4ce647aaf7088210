// Files from classic Mac OS. Archivers there stored a file as MacBinary: a 128-byte header
// (name, type and creator, the lengths of the two forks), the data fork and the resource fork.
// Other systems have no use for the resource fork, so the data fork alone is extracted.
#pragma once

#include <cstdint>

#include "common/sizes.h"
#include "decode/member_decoder.h"

namespace nivo {

constexpr uint32_t macBinaryHeaderSize = 128;

// True when the 128 bytes at header are a MacBinary header that fits a member of memberSize
// bytes: bytes 0 and 74 zero, a name of 1 to 63 bytes at byte 1 with no zero byte in it, and a
// data fork (big-endian length at bytes 83-86) that fits behind the header.
bool isMacBinaryHeader(const uint8_t* header, MemberSize memberSize);

// Passes on only the data fork of a member that begins with a MacBinary header, and every byte
// of one that does not.
class MacBinarySink final : public OutputSink {
public:
    MacBinarySink(OutputSink& out, MemberSize size) : next(out), memberSize(size) {}
    bool write(const uint8_t* data, uint32_t count) override;
    // Passes on what is held back of a member that ended inside its first 128 bytes.
    bool finish();

private:
    OutputSink& next;
    MemberSize memberSize;
    uint8_t header[macBinaryHeaderSize];
    uint32_t held = 0;         // bytes of the header gathered so far
    bool decided = false;
    bool macBinary = false;
    MemberSize forkLeft = 0;   // bytes of the data fork still to pass on
};

}  // namespace nivo
