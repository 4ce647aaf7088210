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
//
// An extended header of size Z is a type byte, Z - 3 bytes of data, and the 16-bit size of the
// next one (0 ends the list). Type 1 is the file name, type 2 the directory name with its
// components separated by 0xFF.
#include <cstdio>
#include <cstring>

#include "archive/member_header.h"
#include "extract/path_helpers.h"
#include "platform/platform.h"

namespace nivo {

// The identifiers without their dashes, three letters each in index order. A table of whole
// identifiers would stand in the Windows program as text like "-lh5-", where readers that
// scan a self-extracting file for its archive would take it for a member header.
const char methodLetters[] = "lh0lh1lh2lh3lh4lh5lh6lh7lzslz5lz4lhd";

int methodIndex(const MemberHeader& header) {
    if (header.method[0] != '-' || header.method[4] != '-') return -1;
    for (int i = 0; i < methodCount; ++i)
        if (std::memcmp(header.method + 1, methodLetters + 3 * i, 3) == 0) return i;
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

bool readExact(FILE* f, uint8_t* dst, size_t n) {
    return std::fread(dst, 1, n, f) == n;
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

HeaderStatus readMemberHeader(ExtractionContext& context, MemberHeader& header) {
    std::memset(&header, 0, sizeof header);
    uint8_t buffer[bufferSize];  // the header with its own byte numbering
    FILE* f = context.archiveFile;

    // Bytes 0 to 20, up to the level, are common to every layout. The end of the file where a
    // header would start is the end of the archive.
    const size_t got = std::fread(buffer, 1, 21, f);
    if (got == 0) return HeaderStatus::end;
    const uint32_t first = buffer[0];
    const uint8_t level = buffer[20];
    // A 0 byte is the end mark, unless it is the low byte of a level-2 header's size (a header
    // of 256, 512, ... bytes): then a method identifier stands at byte 2 and level 2 at byte 20.
    if (first == 0 && (got < 21 || level != 2 || buffer[2] != '-' || buffer[6] != '-')) return HeaderStatus::end;
    if (got < 21) return HeaderStatus::damaged;

    uint32_t size;  // bytes of the base header (level 2: of the whole header)
    if (level == 2) {
        size = static_cast<uint32_t>(buffer[0] | buffer[1] << 8);
        if (size < 26) return HeaderStatus::damaged;
    } else {
        size = static_cast<uint32_t>(first) + 2;
        if (size < 22) return HeaderStatus::damaged;  // too short to reach the name length
    }
    if (!readExact(f, buffer + 21, size - 21)) return HeaderStatus::damaged;

    std::memcpy(header.method, buffer + 2, 5);
    header.compressedSize = littleEndian(buffer + 7, 4);
    header.originalSize = littleEndian(buffer + 11, 4);
    header.timeStamp = littleEndian(buffer + 15, 4);
    header.level = level;
    const uint8_t*& cursor = context.headerCursor;
    cursor = buffer + 21;

    const uint8_t* fileName = nullptr;
    uint32_t fileNameLength = 0;
    const uint8_t* dirName = nullptr;
    uint32_t dirNameLength = 0;

    // S - N decides the layout; for level 2 it is taken on the header size itself.
    uint32_t layout = size;
    if (level != 2) {
        fileNameLength = *cursor++;
        fileName = cursor;
        if (22 + fileNameLength > size) return HeaderStatus::damaged;  // name past the header
        cursor += fileNameLength;
        layout = static_cast<uint32_t>(first) - fileNameLength;
    }
    if (layout == 22 || layout >= 24) {
        header.dataCrc = static_cast<uint16_t>(littleEndian(cursor, 2));
        header.hasDataCrc = 1;
        cursor += layout == 22 ? 2 : 3;  // and the operating-system identifier
    } else if (layout != 20) {
        return HeaderStatus::unknownLayout;
    }

    if (level != 0) {
        // The extended headers: level 1 reads them from the stream one by one into the
        // buffer behind the base header; level 2 has them in the buffer already.
        uint32_t limit = size;
        if (level != 2) {
            cursor = buffer + static_cast<uint32_t>(first);
            limit = level1Limit;
        }
        uint32_t extendedBytes = 0;
        for (;;) {
            uint32_t at = static_cast<uint32_t>(cursor - buffer) + 2;
            if (at > limit) return HeaderStatus::damaged;
            uint32_t z = littleEndian(cursor, 2);
            if (z == 0) break;
            if (z < 3 || at + z > limit) return HeaderStatus::damaged;
            if (level != 2) {
                if (!readExact(f, buffer + at, z)) return HeaderStatus::damaged;
                extendedBytes += z;
            }
            const uint8_t type = buffer[at];
            if (type == 0x01) {
                fileName = buffer + at + 1;
                fileNameLength = z - 3;
            } else if (type == 0x02) {
                dirName = buffer + at + 1;
                dirNameLength = z - 3;
            }
            cursor = buffer + at + z - 2;
        }
        if (level != 2) {
            if (extendedBytes > header.compressedSize) return HeaderStatus::damaged;
            header.compressedSize -= extendedBytes;
        }
    }

    // An overlong name keeps what fits, so that the member can be named; it is not extracted.
    const bool tooLong = dirNameLength + fileNameLength > pathBufferSize - 1;
    if (dirNameLength > pathBufferSize - 1) dirNameLength = pathBufferSize - 1;
    if (dirNameLength) {
        std::memcpy(header.name, dirName, dirNameLength);
        unifySeparators(header.name, '/');
    }
    size_t dirLength = std::strlen(header.name);
    if (fileNameLength > pathBufferSize - 1 - dirLength) fileNameLength = static_cast<uint32_t>(pathBufferSize - 1 - dirLength);
    if (fileNameLength) std::memcpy(header.name + dirLength, fileName, fileNameLength);
    slashBackslashes(header.name, std::strlen(header.name));
    if (tooLong) return HeaderStatus::nameTooLong;

    bool valid = true;
    header.modifiedTime = level == 2 ? header.timeStamp : dosTimeToUnixTime(header.timeStamp, &valid);
    header.hasModifiedTime = valid;
    return HeaderStatus::member;
}

}  // namespace nivo
