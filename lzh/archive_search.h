// Finding the archive inside a self-extracting file of another maker: programs for MS-DOS,
// Windows, the Amiga, the Atari ST, the X68000 and the rest carry their archive behind code of
// their own, at an offset that nothing in the file states.
#pragma once

#include <optional>

#include "lzh/member_header.h"

namespace nivo {

// Whether a member header that can be trusted starts at offset: a method identifier this
// program knows two bytes after it, a level of 0 to 3, the header checksum (levels 0 and 1) or
// header CRC (levels 2 and 3, when present) right, a name without control characters, and
// data that fits in the file, whose size is fileEnd. Moves the file position.
bool isTrustedHeader(ArchiveSource& source, long offset, long fileEnd);

struct FoundArchive {
    long offset;
    std::optional<long> passedOver;  // the first trusted header, when another archive was taken
};

// The archive at or after from that runs to the end of the file (its end mark or last member's
// data ends it, or only a signature follows), else the one at the first trusted header; none
// when there is no trusted header. Moves the file position.
std::optional<FoundArchive> findArchive(ArchiveSource& source, long from);

}  // namespace nivo
