#include "tools/lzh_writer.h"

#include <ctime>

#include "decode/crc16.h"

namespace nivo {

const char methodIds[methodCount][6] = {"-lh0-", "-lh1-", "-lh2-", "-lh3-", "-lh4-", "-lh5-",
                                        "-lh6-", "-lh7-", "-lzs-", "-lz5-", "-lz4-", "-lhd-"};

namespace {

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// Splits "a/b/c.txt" into the directory part "a/b/" and the file part "c.txt".
void splitName(const std::string& name, std::string& dir, std::string& file) {
    size_t slash = name.rfind('/');
    if (slash == std::string::npos) {
        dir.clear();
        file = name;
    } else {
        dir = name.substr(0, slash + 1);
        file = name.substr(slash + 1);
    }
}

// The common bytes 2 to 20: method, sizes, time, attribute, level.
void putCommon(std::vector<uint8_t>& h, const LzhMember& m, uint32_t compressed, uint32_t stamp) {
    for (int i = 0; i < 5; ++i) h.push_back(static_cast<uint8_t>(i < int(m.method.size()) ? m.method[i] : '-'));
    put32(h, compressed);
    put32(h, m.originalSize);
    put32(h, stamp);
    h.push_back(memberAttribute(m));
    h.push_back(static_cast<uint8_t>(m.level));
}

void putExtended(std::vector<uint8_t>& h, uint8_t type, const std::string& data) {
    put16(h, static_cast<uint32_t>(data.size() + 3));
    h.push_back(type);
    h.insert(h.end(), data.begin(), data.end());
}

// The directory part in the form of an extended header: components ended by 0xFF.
std::string directoryField(const std::string& dir) {
    std::string d = dir;
    for (char& c : d)
        if (c == '/') c = static_cast<char>(0xFF);
    return d;
}

}  // namespace

uint8_t memberAttribute(const LzhMember& member) {
    return member.method == "-lhd-" ? 0x10 : 0x20;
}

uint32_t unixToDosTime(uint32_t unixTime) {
    time_t t = static_cast<time_t>(unixTime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    if (tm.tm_year < 80) return 0;
    return static_cast<uint32_t>(tm.tm_year - 80) << 25 | static_cast<uint32_t>(tm.tm_mon + 1) << 21 |
           static_cast<uint32_t>(tm.tm_mday) << 16 | static_cast<uint32_t>(tm.tm_hour) << 11 |
           static_cast<uint32_t>(tm.tm_min) << 5 | static_cast<uint32_t>(tm.tm_sec / 2);
}

LzhMember storedMember(const std::string& name, const std::vector<uint8_t>& bytes,
                       uint32_t unixTime, int level) {
    makeCrcTable();
    LzhMember m;
    m.name = name;
    m.data = bytes;
    m.originalSize = static_cast<uint32_t>(bytes.size());
    m.crc = updateCrc(0, bytes.data(), static_cast<uint32_t>(bytes.size()));
    m.unixTime = unixTime;
    m.level = level;
    return m;
}

LzhMember folderMember(const std::string& name, uint32_t unixTime, int level) {
    LzhMember m;
    m.method = "-lhd-";
    m.name = name;
    m.unixTime = unixTime;
    m.level = level;
    return m;
}

void appendMember(std::vector<uint8_t>& out, const LzhMember& m) {
    std::vector<uint8_t> h;
    const auto dataSize = static_cast<uint32_t>(m.data.size());
    std::string dir, file;
    splitName(m.name, dir, file);
    if (m.level == 0) {
        // The whole name, "\" between components, in the base header; CRC behind it.
        std::string name = m.name;
        for (char& c : name)
            if (c == '/') c = '\\';
        h.push_back(0);
        h.push_back(0);
        putCommon(h, m, dataSize, unixToDosTime(m.unixTime));
        h.push_back(static_cast<uint8_t>(name.size()));
        h.insert(h.end(), name.begin(), name.end());
        put16(h, m.crc);
    } else if (m.level == 1) {
        std::vector<uint8_t> ext;
        if (!dir.empty()) putExtended(ext, 0x02, directoryField(dir));
        put16(ext, 0);
        // The base header ends with the first extended header's size, which ext begins with.
        uint32_t extBytes = static_cast<uint32_t>(ext.size()) - 2;
        h.push_back(0);
        h.push_back(0);
        putCommon(h, m, dataSize + extBytes, unixToDosTime(m.unixTime));
        h.push_back(static_cast<uint8_t>(file.size()));
        h.insert(h.end(), file.begin(), file.end());
        put16(h, m.crc);
        h.push_back(m.os);
        h.insert(h.end(), ext.begin(), ext.end());
        h[0] = static_cast<uint8_t>(22 + file.size() + 3);
    } else {
        h.push_back(0);
        h.push_back(0);
        putCommon(h, m, dataSize, m.unixTime);
        put16(h, m.crc);
        h.push_back(m.os);
        const size_t headerCrcAt = h.size() + 3;
        putExtended(h, 0x00, std::string(2, '\0'));
        if (!file.empty()) putExtended(h, 0x01, file);
        if (!dir.empty()) putExtended(h, 0x02, directoryField(dir));
        if (m.unixMode) putExtended(h, 0x50, std::string{char(m.unixMode & 0xFF), char(m.unixMode >> 8)});
        put16(h, 0);
        h[0] = static_cast<uint8_t>(h.size());
        h[1] = static_cast<uint8_t>(h.size() >> 8);
        makeCrcTable();
        const uint16_t headerCrc = updateCrc(0, h.data(), static_cast<uint32_t>(h.size()));
        h[headerCrcAt] = static_cast<uint8_t>(headerCrc);
        h[headerCrcAt + 1] = static_cast<uint8_t>(headerCrc >> 8);
    }
    if (m.level != 2) {
        if (m.level == 0) h[0] = static_cast<uint8_t>(h.size() - 2);
        // The level-0/1 checksum: the sum of the base header's bytes behind the first two.
        uint32_t end = static_cast<uint32_t>(h[0]) + 2;
        uint8_t sum = 0;
        for (uint32_t i = 2; i < end; ++i) sum = static_cast<uint8_t>(sum + h[i]);
        h[1] = sum;
    }
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), m.data.begin(), m.data.end());
}

void appendEndMark(std::vector<uint8_t>& out) {
    out.push_back(0);
}

}  // namespace nivo
