// A small LZH writer: member headers of levels 0 to 3, stored members and folder entries,
// and members whose compressed bytes the caller brings. It can also write what other
// archivers write: further extended headers, 64-bit sizes, and the quirks some of them have. The builder, the example archive, the
// tests and the benchmark all write their archives with it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lzh/member_header.h"

namespace nivo {

// The operating-system byte of the headers this machine writes.
constexpr uint8_t osUnix = 'U';

struct LzhMember {
    std::string method = "-lh0-";   // five characters
    std::string name;               // code page 932, "/" between components; folders end in "/"
    std::vector<uint8_t> data;      // the bytes as they stand in the archive
    uint32_t originalSize = 0;
    uint16_t crc = 0;               // CRC-16 of the original bytes
    uint32_t unixTime = 0;          // UTC seconds; levels 0 and 1 store it as MS-DOS time
    int level = 2;
    uint8_t os = osUnix;            // levels 1 to 3
    uint16_t unixMode = 0;          // levels 1 to 3: type and permission bits (st_mode); 0 leaves them out

    // UTF-8, "/" between components: also written in UTF-16LE as extended headers 0x44 (file
    // name) and 0x45 (directory, components ended by U+FFFF), levels 1 to 3; empty for none.
    std::string unicodeName;
    // Further extended headers (type, data), written behind the others.
    std::vector<std::pair<uint8_t, std::string>> extended;
    bool unixArea = false;          // levels 0 and 1: the Unix area (time, mode, ids) behind OS 'U'
    bool headerCrc = true;          // levels 2 and 3: the header CRC comes first
    bool largeSizes = false;        // extended header 0x42 with both sizes in 64 bits
    uint64_t largeOriginalSize = 0; // with largeSizes: the original size, when over 32 bits
    bool shortLevel2Size = false;   // level 2: the size leaves out the chain's final zero
    bool directoryWithoutSeparator = false;  // the directory header lacks its final 0xFF
};

// The attribute byte: 0x20 (archive) for a file, and for a folder entry of levels 1 to 3 too,
// as Unix archivers write it (the method -lhd- says it is a folder; some readers take a
// level-1 to level-3 header only with 0x20); 0x10 for a level-0 folder entry.
uint8_t memberAttribute(const LzhMember& member);

// MS-DOS date and time of a UTC instant, as an archiver in a UTC zone writes it.
uint32_t unixToDosTime(uint32_t unixTime);

// A stored member (-lh0-) of the given bytes.
LzhMember storedMember(const std::string& name, const std::vector<uint8_t>& bytes,
                       uint32_t unixTime, int level = 2);
// A folder entry (-lhd-); name ends in "/".
LzhMember folderMember(const std::string& name, uint32_t unixTime, int level = 2);

// The header of a member whose data is dataSize bytes; m.data is not looked at. Its length
// does not depend on the sizes, so a header written ahead of its data can be rewritten in place.
std::vector<uint8_t> memberHeader(const LzhMember& m, uint32_t dataSize);
// Appends one member, header and data, to out. A level-2 or level-3 header begins its extended
// headers with the header CRC (type 0x00: the CRC-16 of the whole header with that field zero).
void appendMember(std::vector<uint8_t>& out, const LzhMember& member);
// Appends the 0x00 end mark.
void appendEndMark(std::vector<uint8_t>& out);

// The extended header of a Unix modification time (0x54).
std::pair<uint8_t, std::string> unixTimeHeader(uint32_t unixTime);

// A file as classic Mac OS archivers stored it: a 128-byte MacBinary header, the data fork
// and the resource fork, each padded to a multiple of 128 bytes.
std::vector<uint8_t> macBinary(const std::string& name, const std::vector<uint8_t>& dataFork,
                               const std::vector<uint8_t>& resourceFork);

}  // namespace nivo
