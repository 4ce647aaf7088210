// The member header record and the reader of LZH member headers (levels 0, 1 and 2).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/extraction_context.h"

namespace nivo {

struct MemberHeader {
    char method[5];           // header bytes 2 to 6, e.g. "-lh5-"; not terminated
    uint32_t compressedSize;  // data bytes behind the header (level 1: extended headers taken off)
    uint32_t originalSize;
    uint32_t timeStamp;       // as stored: MS-DOS date and time (levels 0, 1) or UTC seconds (2)
    uint8_t level;
    char name[pathBufferSize];  // directory part then file-name part, "\" turned into "/"
    uint16_t dataCrc;
    uint8_t hasDataCrc;
    uint32_t modifiedTime;    // seconds since 1970-01-01 00:00 UTC
    uint8_t hasModifiedTime;  // 0 when the stamp is not a valid date; the file keeps its time
};

// The methods in index order: -lh0- to -lh7-, -lzs-, -lz5-, -lz4-, and -lhd- (folders).
constexpr int methodCount = 12;
constexpr int methodStored = 0;
constexpr int methodLz4 = 10;
constexpr int methodFolder = 11;
// The member's method index, or -1 for an identifier not in the list.
int methodIndex(const MemberHeader& header);

enum class HeaderStatus : uint8_t {
    member,       // a header was read; the stream stands at the member's first data byte
    end,          // the 0x00 end mark, or the end of the file where a header would start
    nameTooLong,  // read, but the joined name exceeds 259 bytes: skip the member's data
    damaged,      // cut short or malformed; the run cannot go on
    unknownLayout,  // a level-0/1 layout this program does not know ("Unknown header")
};

HeaderStatus readMemberHeader(ExtractionContext& context, MemberHeader& header);

// MS-DOS local date and time to UTC seconds; 0 for a stamp of 0. valid is cleared for a month
// outside 1 to 12.
uint32_t dosTimeToUnixTime(uint32_t stamp, bool* valid = nullptr);

// Turns every "\" in the first length bytes of text into "/", unless it is the second byte of
// a two-byte character.
void slashBackslashes(char* text, size_t length);

}  // namespace nivo
