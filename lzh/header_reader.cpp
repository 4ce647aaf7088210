// LZH member headers.
//
// Levels 0 and 1 share a base header: byte 0 is the size S of the header behind bytes 0 and 1
// (the header occupies S + 2 bytes), byte 1 a checksum, 2-6 the method, 7-10 the compressed
// size, 11-14 the original size, 15-18 an MS-DOS stamp, 19 an attribute, 20 the level, 21 the
// name length N and the name behind it. S - N tells what follows the name: nothing (20), the
// data CRC (22), or the CRC and an operating-system byte (24 and more). Level 1 ends its base
// header with the size of the first extended header, and its compressed size counts the
// extended headers too.
//
// Level 2 has a 16-bit total size in bytes 0-1 that covers all its extended headers, a UTC
// stamp, the CRC in 21-22, the OS byte in 23, and the first extended header size in 24-25.
// Some archivers state that size 2 bytes short, without the chain's final zero.
//
// Level 3 begins with the word size 4 in bytes 0-1 and has the level-2 fields up to the OS
// byte; bytes 24-27 hold the whole header's size and 28-31 the size of the first extended
// header. Its extended-header sizes are 4 bytes wide.
//
// An extended header of size Z is a type byte, the data, and the size of the next one (0 ends
// the list); Z counts all three. Type 1 is the file name, type 2 the directory name with its
// components separated by 0xFF, 0x42 the two sizes in 64 bits, 0x44 and 0x45 the file and
// directory name in UTF-16LE (taken over 1 and 2), 0x50 the Unix permissions and 0x54 a Unix
// modification time.
//
// Unix archivers write an area behind the OS byte 'U' of a level-0 or level-1 base header
// (level 1: before the first extended header's size): a minor version byte, the modification
// time in UTC seconds (4 bytes), the mode (2), the user and the group id (2 each).
//
// They store a symbolic link as a folder entry (-lhd-) named "name|target".
#include <cstdio>
#include <cstring>

#include "lzh/member_header.h"
#include "common/crc16.h"
#include "common/sjis_text.h"
#include "platform/platform.h"

namespace nivo {

int methodIndex(const MemberHeader& header) {
    // The identifier itself, dashes and letters; not only its shape (hasMethodShape).
    if (header.method[0] != '-' || header.method[4] != '-') return -1;
    for (int i = 0; i < methodCount; ++i)
        if (std::memcmp(header.method + 1, methodLetters.data() + 3 * i, 3) == 0) return i;
    return -1;
}

namespace {

constexpr uint32_t level1Limit = 4096;  // a level-1 base header with all its extended headers
constexpr uint32_t bufferSize = 65536;  // a level-2 header's 16-bit size

// n bytes (2 or 4), least significant first.
uint32_t littleEndian(const uint8_t* p, int n) {
    uint32_t v = 0;
    while (n--) v = v << 8 | p[n];
    return v;
}

}  // namespace

void slashBackslashes(char* text, size_t length) {
    auto* p = reinterpret_cast<uint8_t*>(text);
    for (size_t i = 0; i < length; ++i) {
        if (isLeadByte(p[i]) && i + 1 < length && p[i + 1] >= 0x40 && p[i + 1] <= 0xFC &&
            p[i + 1] != 0x7F) {
            ++i;
        } else if (p[i] == '\\') {
            p[i] = '/';
        }
    }
}

uint32_t dosTimeToUnixTime(uint32_t stamp, bool* valid) {
    static const uint16_t daysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    if (valid) *valid = true;
    if (stamp == 0) return 0;
    const uint32_t year = 1980 + (stamp >> 25);
    const uint32_t month = (stamp >> 21) & 15;
    if (month < 1 || month > 12) {
        if (valid) *valid = false;
        return 0;
    }
    // Gregorian leap years: divisible by 4, not by 100 unless by 400.
    auto leap = [](uint32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    uint32_t days = daysBefore[month - 1] + ((stamp >> 16) & 31) - 1;
    if (month >= 3 && leap(year)) ++days;
    for (uint32_t y = 1970; y < year; ++y) days += leap(y) ? 366 : 365;
    // Read as local standard time: seconds west of UTC are added. Unsigned 32-bit seconds, as
    // the record holds them, last until 2106.
    uint32_t seconds = ((days * 24 + ((stamp >> 11) & 31)) * 60 + ((stamp >> 5) & 63)) * 60 + (stamp & 31) * 2;
    return seconds + static_cast<uint32_t>(platform::timeZoneOffset());
}

namespace {

// The values of one extended header's data (n bytes at p, header byte at) that the record
// keeps. Damaged only for sizes this build cannot hold.
HeaderStatus takeExtended(MemberHeader& header, uint8_t type, const uint8_t* p, uint32_t n,
                          uint32_t at) {
    if (type == extHeaderCrc && n >= 2) {
        header.headerCrcAt = at;
    } else if (type == extLargeSizes && n >= 16) {
        uint32_t high = littleEndian(p + 4, 4) | littleEndian(p + 12, 4);
        // Without 64-bit sizes a larger member cannot be read, nor skipped.
        if (stubBuild && high) return HeaderStatus::damaged;
        header.compressedSize = static_cast<MemberSize>(littleEndian(p, 4) | uint64_t{littleEndian(p + 4, 4)} << 32);
        header.originalSize = static_cast<MemberSize>(littleEndian(p + 8, 4) | uint64_t{littleEndian(p + 12, 4)} << 32);
    } else if (type == extUnixMode && n >= 2) {
        header.unixMode = static_cast<uint16_t>(littleEndian(p, 2));
        header.hasUnixMode = 1;
    } else if (type == extUnixTime && n >= 4) {
        header.modifiedTime = littleEndian(p, 4);
        header.hasModifiedTime = 1;  // taken over the base header's stamp
    }
    return HeaderStatus::member;
}

// The UTF-16LE name of n bytes at p as a program name (see unicodeEscape) in out, of capacity
// bytes; "\\", "/" and, in a directory name, U+FFFF become "/". A U+0000 ends the name. Returns
// the length, or capacity when the name does not fit.
uint32_t utf16Name(const uint8_t* p, uint32_t n, char* out, uint32_t capacity, bool directory) {
    uint32_t length = 0;
    for (const uint8_t* end = p + (n & ~1u); p != end; p += 2) {
        uint32_t unit = p[0] | p[1] << 8;
        if (unit == 0) break;
        if (unit == '\\' || (directory && unit == 0xFFFF)) unit = '/';
        const uint32_t need = unit < 0x80 ? 1 : unicodeEscapeLength;
        if (length + need >= capacity) return capacity;
        char* at = out + length;
        length += need;
        if (need == 1) {
            *at = static_cast<char>(unit);
        } else {
            at[0] = static_cast<char>(unicodeEscape);
            at[1] = static_cast<char>(unicodeEscapeBase + (unit >> 12));
            at[2] = static_cast<char>(unicodeEscapeBase + (unit >> 6 & 63));
            at[3] = static_cast<char>(unicodeEscapeBase + (unit & 63));
        }
    }
    return length;
}

// A folder entry "name|target" is a symbolic link: name ends at the "|" (a byte that can be
// the second of a two-byte character, which is skipped), and a final "/" of the target, which
// a folder entry's name carries, is dropped.
void takeLinkTarget(MemberHeader& header) {
    auto* p = reinterpret_cast<uint8_t*>(header.name);
    for (size_t i = 0; p[i]; ++i) {
        if (isLeadByte(p[i]) && p[i + 1]) {
            ++i;
        } else if (p[i] == '|') {
            p[i] = 0;
            header.linkTarget = static_cast<uint16_t>(i + 1);
            const size_t end = i + 1 + std::strlen(header.name + i + 1);
            if (end > i + 2 && p[end - 1] == '/') p[end - 1] = 0;
            return;
        }
    }
}

// A part of a member's name, inside the header's bytes: code page 932, or UTF-16LE (0x44, 0x45).
struct NamePart {
    const uint8_t* bytes;
    uint32_t length;
    bool utf16;
};

// The part copied into out, of capacity bytes, and the length it takes: capacity or more when
// it does not fit, and then what fits is kept.
uint32_t copyNamePart(const NamePart& part, char* out, uint32_t capacity, bool directory) {
    if (part.utf16) return utf16Name(part.bytes, part.length, out, capacity, directory);
    std::memcpy(out, part.bytes, part.length < capacity ? part.length : capacity - 1);
    return part.length;
}

// One header being read from the bytes given so far. Positions are header byte numbers.
struct HeaderParse {
    const uint8_t* bytes;
    uint32_t available;
    MemberHeader* out;
    uint32_t size;      // bytes of the base header (levels 2 and 3: of the whole header)
    bool level3;        // extended-header sizes are 4 bytes wide
    bool fullSize;      // levels 2 and 3: the size covers the extended headers
    uint32_t end;       // behind the last byte read: the header's length, or the bytes it takes
    NamePart name[2];   // the file name and the directory name

    MemberHeader& header() const { return *out; }
    uint32_t sizeWidth() const { return !stubBuild && level3 ? 4 : 2; }

    // Whether the first n bytes are there; if not, asks for them.
    bool have(uint32_t n) {
        if (n <= available) return true;
        end = n;
        return false;
    }
};

// The steps of reading one header. They are inlined into one function: the Windows program is
// built not to inline a function called once, and the calls between them would cost it bytes.

// Bytes 0 to 20, up to the level, are common to every layout: the header's size and the fields
// up to the level. member when the base header is all there; end for the end mark.
[[gnu::always_inline]] inline HeaderStatus readBaseHeader(HeaderParse& p) {
    const uint8_t* b = p.bytes;
    // No byte where a header would start is the end of the archive; so is a 0 byte, unless it
    // is the low byte of a level-2 header's size (a header of 256, 512, ... bytes): then a
    // method identifier stands at byte 2 and level 2 at byte 20.
    if (p.available == 0 || (p.available < 21 && b[0] == 0)) return HeaderStatus::end;
    const uint32_t first = b[0];
    if (!p.have(21)) return HeaderStatus::damaged;
    const uint8_t level = b[20];
    if (first == 0 && (level != 2 || b[2] != '-' || b[6] != '-')) return HeaderStatus::end;

    if (level == 2) {
        p.size = littleEndian(b, 2);
        if (p.size < 24) return HeaderStatus::damaged;
    } else if (!stubBuild && level == 3) {
        if (littleEndian(b, 2) != 4) return HeaderStatus::damaged;
        if (!p.have(28)) return HeaderStatus::damaged;
        p.size = littleEndian(b + 24, 4);
        if (p.size < 32 || p.size > bufferSize) return HeaderStatus::damaged;
        p.level3 = true;
    } else {
        p.size = first + 2;
        if (p.size < 22) return HeaderStatus::damaged;  // too short to reach the name length
    }
    if (!p.have(p.size)) return HeaderStatus::damaged;
    p.fullSize = level == 2 || (!stubBuild && level == 3);
    p.end = p.size;

    MemberHeader& header = p.header();
    std::memcpy(header.method, b + 2, 5);
    header.compressedSize = littleEndian(b + 7, 4);
    header.originalSize = littleEndian(b + 11, 4);
    header.timeStamp = littleEndian(b + 15, 4);
    if (!stubBuild) header.attribute = b[19];
    header.level = level;
    return HeaderStatus::member;
}

// The name of levels 0 and 1, and what S - N says follows it: the data CRC, the OS byte and a
// Unix area. For levels 2 and 3 the test is made on the header size itself.
[[gnu::always_inline]] inline HeaderStatus readLayout(HeaderParse& p) {
    MemberHeader& header = p.header();
    const uint8_t* b = p.bytes;
    uint32_t layout = p.size;
    uint32_t pos = 21;
    if (!p.fullSize) {
        const uint32_t nameLength = b[21];
        p.name[0] = {b + 22, nameLength, false};
        if (22 + nameLength > p.size) return HeaderStatus::damaged;  // name past the header
        pos = 22 + nameLength;
        layout = b[0] - nameLength;
    }
    if (layout == 22 || layout >= 24) {
        const uint8_t* at = b + pos;
        header.dataCrc = static_cast<uint16_t>(littleEndian(at, 2));
        header.hasDataCrc = 1;
        if (!stubBuild && layout != 22) header.osId = at[2];
        pos += layout == 22 ? 2 : 3;  // and the operating-system identifier
        // The Unix area of levels 0 and 1: the version, time, mode and ids, 11 bytes.
        if (!stubBuild && !p.fullSize && header.osId == 'U' && layout >= 23 + 11 + (header.level ? 2 : 0)) {
            header.modifiedTime = littleEndian(b + pos + 1, 4);
            header.unixMode = static_cast<uint16_t>(littleEndian(b + pos + 5, 2));
            header.hasModifiedTime = header.hasUnixMode = header.hasUnixArea = 1;
        }
    } else if (layout != 20) {
        return HeaderStatus::unknownLayout;
    }
    return HeaderStatus::member;
}

// One extended header of size z, its type byte at at: the names and the values kept.
[[gnu::always_inline]] inline HeaderStatus takeExtendedHeader(HeaderParse& p, uint32_t at, uint32_t z) {
    const uint8_t type = p.bytes[at];
    const uint32_t n = z - p.sizeWidth() - 1;  // the data's length
    if (!stubBuild) p.header().extendedTypes[type >> 5] |= 1u << (type & 31);
    if (type == extFileName || type == extDirectory || type == extUtf16FileName || type == extUtf16Directory) {
        // A UTF-16 name names the member over the code page 932 one, in whatever order the
        // extended headers stand.
        NamePart& part = p.name[type == extDirectory || type == extUtf16Directory];
        const bool utf16 = type >= extUtf16FileName;
        if (utf16 || !part.utf16) part = {p.bytes + at + 1, n, utf16};
    } else if (!stubBuild && takeExtended(p.header(), type, p.bytes + at + 1, n, at + 1) != HeaderStatus::member) {
        return HeaderStatus::damaged;
    }
    return HeaderStatus::member;
}

// The chain of extended headers: level 1 has them behind the base header, levels 2 and 3
// inside the header's size.
[[gnu::always_inline]] inline HeaderStatus readExtendedHeaders(HeaderParse& p) {
    MemberHeader& header = p.header();
    uint32_t limit = p.size;
    uint32_t pos = !stubBuild && header.level == 3 ? 28 : 24;
    if (!p.fullSize) {
        pos = p.size - 2;
        limit = level1Limit;
    }
    for (;;) {
        const uint32_t at = pos + p.sizeWidth();
        if (at > limit) {
            // A level-2 size that leaves out the final zero of a well-formed chain: that zero
            // stands in the 2 bytes behind the stated size, and the data behind it.
            if (stubBuild || header.level != 2 || pos != p.size) return HeaderStatus::damaged;
            if (!p.have(p.size + 2) || p.bytes[p.size] | p.bytes[p.size + 1]) return HeaderStatus::damaged;
            header.shortHeaderSize = 1;
            p.end = p.size + 2;
            break;
        }
        const uint32_t z = littleEndian(p.bytes + pos, static_cast<int>(p.sizeWidth()));
        if (z == 0) break;
        if (z < p.sizeWidth() + 1 || z - p.sizeWidth() > limit - at) return HeaderStatus::damaged;
        if (!p.fullSize) {
            if (!p.have(at + z)) return HeaderStatus::damaged;
            p.end = at + z;
        }
        if (takeExtendedHeader(p, at, z) != HeaderStatus::member) return HeaderStatus::damaged;
        pos = at + z - p.sizeWidth();
    }
    if (!p.fullSize) {
        // Level 1 counts the extended headers in the compressed size.
        const uint32_t extendedBytes = p.end - p.size;
        if (extendedBytes > header.compressedSize) return HeaderStatus::damaged;
        header.compressedSize -= extendedBytes;
    }
    return HeaderStatus::member;
}

// The directory part and the file-name part joined into the header's name. An overlong name
// keeps what fits, so that the member can be named; it is not extracted.
[[gnu::always_inline]] inline HeaderStatus joinName(HeaderParse& p) {
    MemberHeader& header = p.header();
    char* name = header.name;  // all zeros
    const uint32_t dirNeeds = copyNamePart(p.name[1], name, pathBufferSize, true);
    unifySeparators(name, '/');
    const size_t dirLength = std::strlen(name);
    // The directory part ends with a separator; some archivers leave the last one out. A "/"
    // is never the second byte of a two-byte character, and unifySeparators has turned every
    // other separator into one. It goes in when a file name follows. (The Windows program
    // joins the two parts as they stand.)
    const bool separate = !stubBuild && dirLength && name[dirLength - 1] != '/' && dirLength < pathBufferSize - 1;
    const size_t fileAt = dirLength + separate;
    const uint32_t fileNeeds = copyNamePart(p.name[0], name + fileAt, static_cast<uint32_t>(pathBufferSize - fileAt), false);
    if (separate && name[fileAt]) name[dirLength] = '/';
    const bool tooLong = dirNeeds + fileNeeds > pathBufferSize - 1 || (separate && fileNeeds && fileAt + fileNeeds > pathBufferSize - 1);
    slashBackslashes(header.name, std::strlen(header.name));
    if (tooLong) return HeaderStatus::nameTooLong;
    if (!stubBuild && methodIndex(header) == methodFolder) takeLinkTarget(header);
    return HeaderStatus::member;
}

// The header's own checks: the checksum of a level-0/1 base header (the sum of its bytes
// behind the first two), and the CRC-16 of the whole header with its CRC field taken as 0,
// where extended header 0x00 carries one.
bool headerCheckHolds(const HeaderParse& p) {
    const MemberHeader& header = p.header();
    if (!p.fullSize) {
        uint8_t sum = 0;
        for (uint32_t i = 2; i < p.size; ++i) sum = static_cast<uint8_t>(sum + p.bytes[i]);
        if (sum != p.bytes[1]) return false;
    }
    if (!header.headerCrcAt) return true;
    const uint32_t at = header.headerCrcAt;
    const uint8_t zero[2] = {};
    makeCrcTable();
    uint16_t crc = updateCrc(0, p.bytes, at);
    crc = updateCrc(crc, zero, 2);
    crc = updateCrc(crc, p.bytes + at + 2, p.end - at - 2);
    return crc == littleEndian(p.bytes + at, 2);
}

HeaderStatus parse(HeaderParse& p) {
    HeaderStatus status = readBaseHeader(p);
    if (status != HeaderStatus::member) return status;
    status = readLayout(p);
    if (status != HeaderStatus::member) return status;
    if (p.header().level != 0) {
        status = readExtendedHeaders(p);
        if (status != HeaderStatus::member) return status;
    }
    status = joinName(p);
    if (!stubBuild) p.header().headerIntact = headerCheckHolds(p);
    if (status != HeaderStatus::member) return status;

    MemberHeader& header = p.header();
    if (!stubBuild && header.hasModifiedTime) return status;  // a Unix time header gave it
    bool valid = true;
    header.modifiedTime = p.fullSize ? header.timeStamp : dosTimeToUnixTime(header.timeStamp, &valid);
    header.hasModifiedTime = valid;
    return status;
}

}  // namespace

HeaderBytes parseMemberHeader(const uint8_t* bytes, uint32_t available, MemberHeader& header) {
    std::memset(&header, 0, sizeof header);
    // Every field starts at 0.
    HeaderParse p;
    std::memset(&p, 0, sizeof p);
    p.bytes = bytes;
    p.name[0].bytes = p.name[1].bytes = bytes;  // empty parts, for any member that has none
    p.available = available;
    p.out = &header;
    const HeaderStatus status = parse(p);
    return {status, p.end};
}

HeaderStatus readMemberHeader(FILE* f, MemberHeader& header) {
    uint8_t buffer[bufferSize + 2];  // the header with its own byte numbering
    // Bytes 0 to 20 first, then what the header asks for, read again from its start each time.
    uint32_t have = 0;
    uint32_t want = 21;
    for (;;) {
        have += static_cast<uint32_t>(std::fread(buffer + have, 1, want - have, f));
        const HeaderBytes read = parseMemberHeader(buffer, have, header);
        if (read.length <= have) return read.status;
        if (have < want) return HeaderStatus::damaged;  // the file ends inside the header
        want = read.length;
    }
}

}  // namespace nivo
