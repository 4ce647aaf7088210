// The one walk over an archive's members, shared by the extraction run, the measuring walk and
// the listing: header after header, each next one found by seeking from the start of the
// member's data by its compressed size, whatever reading the data consumed or read ahead.
#pragma once

#include <cstddef>

#include "lzh/member_header.h"

namespace nivo {

class ArchiveWalker {
public:
    // Starts at the archive file's position. Sets the source's archiveEnd to the file's size,
    // which bounds every seek of the walk and every input buffer.
    explicit ArchiveWalker(ArchiveSource& source);

    // Reads the next header into header and leaves the stream at the member's data.
    // member and nameTooLong: headerStart, dataStart and endsInside describe the member.
    // end, damaged and unknownLayout: the walk is over; headerStart is where it stopped.
    HeaderStatus next(MemberHeader& header);

    platform::FileOffset headerStart = 0;
    platform::FileOffset dataStart = 0;
    bool endsInside = false;  // the file ends before the member's compressed size

private:
    ArchiveSource& source;
    platform::FileOffset nextHeader;  // -1 once the file has ended with the last member's data
};

// "first characters… (member at offset N)": how a member with an overlong name is named. out
// holds pathBufferSize bytes.
void overlongMemberName(char* out, const MemberHeader& header, platform::FileOffset headerStart);

// "(what at offset N)": how a header that cannot be read is named.
void offsetName(char* out, size_t capacity, const char* what, platform::FileOffset offset);

}  // namespace nivo
