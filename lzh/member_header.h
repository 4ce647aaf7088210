// The member header record and the reader of LZH member headers (levels 0 to 3).
#pragma once

#include <cstddef>
#include <cstdint>

#include <cstdio>

#include "common/sizes.h"
#include "common/sjis_text.h"
#include "lzh/method_facts.h"
#include "platform/platform.h"

namespace nivo {

struct MemberHeader {
    char method[5];              // header bytes 2 to 6, e.g. "-lh5-"; not terminated
    MemberSize compressedSize;   // data bytes behind the header (level 1: extended headers taken off)
    MemberSize originalSize;
    uint32_t timeStamp;          // as stored: MS-DOS date and time (levels 0, 1) or UTC seconds (2, 3)
    uint8_t level;
    char name[pathBufferSize];   // directory part then file-name part, "\" turned into "/"
    uint16_t dataCrc;
    uint8_t hasDataCrc;
    uint32_t modifiedTime;       // seconds since 1970-01-01 00:00 UTC
    uint8_t hasModifiedTime;     // 0 when the stamp is not a valid date; the file keeps its time
    uint8_t osId;                // the operating-system identifier, 0 when the header has none
    uint8_t attribute;           // header byte 19: MS-DOS attribute (levels 0, 1)
    uint8_t hasUnixMode;
    uint16_t unixMode;           // permission bits and file type of extended header 0x50
    uint8_t shortHeaderSize;     // a level-2 size that left out the final zero of the chain
    uint32_t headerCrcAt;        // offset of the CRC field of extended header 0x00, or 0
    uint32_t extendedTypes[8];   // one bit for each extended-header type present
    // A symbolic link: a folder entry named "name|target". name then ends before the "|", and
    // the target, as stored, starts linkTarget bytes into name. 0 for every other member.
    uint16_t linkTarget;
    uint8_t hasUnixArea;         // levels 0 and 1: the base header's Unix area gave time and mode
    // The header's own checks hold: the checksum of a level-0/1 base header, and the CRC of
    // extended header 0x00 where there is one. Extraction does not look at them (the Windows
    // program does not compute them); the search for an archive inside a file does.
    uint8_t headerIntact;
};

// The extended-header types the reader takes values from.
enum ExtendedType : uint8_t {
    extHeaderCrc = 0x00,
    extFileName = 0x01,
    extDirectory = 0x02,
    extAttribute = 0x40,
    extLargeSizes = 0x42,   // compressed and original size, 64 bits each
    extUtf16FileName = 0x44,   // the file name in UTF-16LE; names the member over 0x01
    extUtf16Directory = 0x45,  // the directory name in UTF-16LE, components ended by U+FFFF
    extUnixMode = 0x50,
    extUnixIds = 0x51,      // group and user id: read, not used
    extUnixGroup = 0x52,    // group name: not used
    extUnixUser = 0x53,     // user name: not used
    extUnixTime = 0x54,     // modification time, UTC seconds
};

// The link target of a member, or null.
inline const char* linkTargetOf(const MemberHeader& header) {
    return header.linkTarget ? header.name + header.linkTarget : nullptr;
}

inline bool hasExtendedType(const MemberHeader& header, uint8_t type) {
    return header.extendedTypes[type >> 5] >> (type & 31) & 1;
}

// The member's method index in the table of methods (lzh/method_facts.h), or -1 for an identifier
// not in it.
int methodIndex(const MemberHeader& header);

enum class HeaderStatus : uint8_t {
    member,       // a header was read; the stream stands at the member's first data byte
    end,          // the 0x00 end mark, or the end of the file where a header would start
    nameTooLong,  // read, but the joined name exceeds 259 bytes: skip the member's data
    damaged,      // cut short or malformed; the run cannot go on
    unknownLayout,  // a level-0/1 layout this program does not know ("Unknown header")
};

// The archive file as the readers of headers and settings see it.
struct ArchiveSource {
    FILE* archiveFile = nullptr;
    // Size of the archive file, so that no member's input buffer is sized past its end.
    platform::FileOffset archiveEnd = INT64_MAX;
};

// What reading a header from bytes gave: the status, and the header's length in bytes, base
// and extended headers together. A length beyond the bytes given asks for that many: the
// header goes on, and is read again from its start once they are there.
struct HeaderBytes {
    HeaderStatus status;
    uint32_t length;
};

// Reads the header that starts at bytes[0] from the available bytes into header.
HeaderBytes parseMemberHeader(const uint8_t* bytes, uint32_t available, MemberHeader& header);

// Reads the header at the file's position, and leaves the file at the member's first data
// byte. Walks over an archive go through ArchiveWalker.
HeaderStatus readMemberHeader(FILE* file, MemberHeader& header);

// MS-DOS local date and time to UTC seconds; 0 for a stamp of 0. valid is cleared for a month
// outside 1 to 12.
uint32_t dosTimeToUnixTime(uint32_t stamp, bool* valid = nullptr);

// Turns every "\" in the first length bytes of text into "/", unless it is the second byte of
// a two-byte character.
void slashBackslashes(char* text, size_t length);

}  // namespace nivo
