// How wide member sizes are, and how long a path may be. The Windows program is built with NIVO_STUB: it keeps member sizes
// in 32 bits, as its file positions are, and has no use for what only the command-line
// extractor does (file permissions, Macintosh files, searching other makers' files).
#pragma once

#include <cstdint>

namespace nivo {

#ifdef NIVO_STUB
constexpr bool stubBuild = true;
using MemberSize = uint32_t;
#else
constexpr bool stubBuild = false;
using MemberSize = uint64_t;
#endif

constexpr uint32_t pathBufferSize = 260;  // the platform's path limit, terminator included

}  // namespace nivo
