#include "tools/lzh_writer.h"

#include <ctime>

#include "common/crc16.h"
#include "platform/posix_names.h"

namespace nivo {

namespace {

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// Splits "a/b/c.txt" into the directory part "a/b/" and the file part "c.txt". A link
// "a/b|../c/d" is split at its last "/" too, as Unix archivers do ("a/b|../c/" and "d"):
// readers that join the parts and then take the link apart expect that.
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

// The directory part in the form of an extended header: components ended by 0xFF.
std::string directoryField(const std::string& dir) {
    std::string d = dir;
    for (char& c : d)
        if (c == '/') c = static_cast<char>(0xFF);
    return d;
}

// UTF-8 text as UTF-16LE, "/" as U+FFFF in a directory part.
std::string utf16Field(const std::string& text, bool directory) {
    std::string out;
    utf8ToUtf16(text, out);
    for (size_t i = 0; directory && i + 1 < out.size(); i += 2)
        if (out[i] == '/' && out[i + 1] == 0) out[i] = out[i + 1] = static_cast<char>(0xFF);
    return out;
}

}  // namespace

uint8_t memberAttribute(const LzhMember& member) {
    return member.method == methodIdOf(methodFolder).text && member.level == 0 ? 0x10 : 0x20;
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
    m.method = methodIdOf(methodFolder).text;
    m.name = name;
    m.unixTime = unixTime;
    m.level = level;
    return m;
}

namespace {

void putSize(std::vector<uint8_t>& v, uint32_t x, int width) {
    if (width == 4) put32(v, x);
    else put16(v, x);
}

// The extended headers of levels 1 to 3, each as size, type and data, and the final zero.
std::vector<uint8_t> extendedChain(const LzhMember& m, const std::string& dir, const std::string& file,
                                   uint64_t dataSize, int width) {
    std::vector<std::pair<uint8_t, std::string>> list;
    if (m.headerCrc && m.level >= 2) list.emplace_back(0x00, std::string(2, '\0'));
    if (m.level != 1 && !file.empty()) list.emplace_back(0x01, file);
    if (!dir.empty()) {
        std::string d = directoryField(dir);
        if (m.directoryWithoutSeparator) d.pop_back();
        list.emplace_back(0x02, d);
    }
    if (!m.unicodeName.empty()) {
        std::string wideDir, wideFile;
        splitName(m.unicodeName, wideDir, wideFile);
        if (!wideFile.empty()) list.emplace_back(0x44, utf16Field(wideFile, false));
        if (!wideDir.empty()) list.emplace_back(0x45, utf16Field(wideDir, true));
    }
    if (m.unixMode && !m.unixArea) list.emplace_back(0x50, std::string{char(m.unixMode & 0xFF), char(m.unixMode >> 8)});
    if (m.largeSizes) {
        std::vector<uint8_t> sizes;
        put32(sizes, static_cast<uint32_t>(dataSize));
        put32(sizes, static_cast<uint32_t>(dataSize >> 32));
        uint64_t original = m.largeOriginalSize ? m.largeOriginalSize : m.originalSize;
        put32(sizes, static_cast<uint32_t>(original));
        put32(sizes, static_cast<uint32_t>(original >> 32));
        list.emplace_back(0x42, std::string(sizes.begin(), sizes.end()));
    }
    list.insert(list.end(), m.extended.begin(), m.extended.end());
    std::vector<uint8_t> chain;
    for (const auto& [type, data] : list) {
        putSize(chain, static_cast<uint32_t>(data.size()) + 1 + static_cast<uint32_t>(width), width);
        chain.push_back(type);
        chain.insert(chain.end(), data.begin(), data.end());
    }
    putSize(chain, 0, width);
    return chain;
}

// The CRC-16 of a level-2/3 header goes into its extended header 0x00, computed over the whole
// header with that field zero.
void putHeaderCrc(std::vector<uint8_t>& h, size_t chainStart, int width) {
    makeCrcTable();
    size_t at = chainStart + static_cast<size_t>(width) + 1;  // the first header is the CRC's
    uint16_t crc = updateCrc(0, h.data(), static_cast<uint32_t>(h.size()));
    h[at] = static_cast<uint8_t>(crc);
    h[at + 1] = static_cast<uint8_t>(crc >> 8);
}

}  // namespace

namespace {

// The Unix area of a level-0 or level-1 base header: minor version 0, the time, the mode and
// the user and group ids (1000 here).
void putUnixArea(std::vector<uint8_t>& h, const LzhMember& m) {
    h.push_back(0);
    put32(h, m.unixTime);
    put16(h, m.unixMode);
    put16(h, 1000);
    put16(h, 1000);
}

}  // namespace

std::vector<uint8_t> memberHeader(const LzhMember& m, uint32_t dataSize) {
    std::vector<uint8_t> h;
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
        if (m.unixArea) {
            h.push_back(osUnix);
            putUnixArea(h, m);
        }
    } else if (m.level == 1) {
        // The compressed size counts the extended headers too, in 0x42 as in the base header.
        std::vector<uint8_t> ext = extendedChain(m, dir, file, dataSize, 2);
        // The base header ends with the first extended header's size, which ext begins with.
        uint32_t extBytes = static_cast<uint32_t>(ext.size()) - 2;
        ext = extendedChain(m, dir, file, dataSize + extBytes, 2);
        h.push_back(0);
        h.push_back(0);
        putCommon(h, m, dataSize + extBytes, unixToDosTime(m.unixTime));
        h.push_back(static_cast<uint8_t>(file.size()));
        h.insert(h.end(), file.begin(), file.end());
        put16(h, m.crc);
        h.push_back(m.os);
        if (m.unixArea) putUnixArea(h, m);
        h.insert(h.end(), ext.begin(), ext.end());
        h[0] = static_cast<uint8_t>(22 + file.size() + 3 + (m.unixArea ? 11 : 0));
    } else if (m.level == 2) {
        put16(h, 0);
        putCommon(h, m, dataSize, m.unixTime);
        put16(h, m.crc);
        h.push_back(m.os);
        std::vector<uint8_t> ext = extendedChain(m, dir, file, dataSize, 2);
        h.insert(h.end(), ext.begin(), ext.end());
        size_t stated = h.size() - (m.shortLevel2Size ? 2 : 0);
        h[0] = static_cast<uint8_t>(stated);
        h[1] = static_cast<uint8_t>(stated >> 8);
        if (m.headerCrc) putHeaderCrc(h, 24, 2);
    } else {
        // Level 3: the word size 4, then the level-2 fields with 32-bit sizes behind them.
        put16(h, 4);
        putCommon(h, m, dataSize, m.unixTime);
        put16(h, m.crc);
        h.push_back(m.os);
        put32(h, 0);
        std::vector<uint8_t> ext = extendedChain(m, dir, file, dataSize, 4);
        h.insert(h.end(), ext.begin(), ext.end());
        const auto size = static_cast<uint32_t>(h.size());
        for (int i = 0; i < 4; ++i) h[24 + i] = static_cast<uint8_t>(size >> (8 * i));
        if (m.headerCrc) putHeaderCrc(h, 28, 4);
    }
    if (m.level < 2) {
        if (m.level == 0) h[0] = static_cast<uint8_t>(h.size() - 2);
        // The level-0/1 checksum: the sum of the base header's bytes behind the first two.
        uint32_t end = static_cast<uint32_t>(h[0]) + 2;
        uint8_t sum = 0;
        for (uint32_t i = 2; i < end; ++i) sum = static_cast<uint8_t>(sum + h[i]);
        h[1] = sum;
    }
    return h;
}

void appendMember(std::vector<uint8_t>& out, const LzhMember& m) {
    std::vector<uint8_t> h = memberHeader(m, static_cast<uint32_t>(m.data.size()));
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), m.data.begin(), m.data.end());
}

void appendEndMark(std::vector<uint8_t>& out) {
    out.push_back(0);
}


std::pair<uint8_t, std::string> unixTimeHeader(uint32_t unixTime) {
    std::vector<uint8_t> v;
    put32(v, unixTime);
    return {0x54, std::string(v.begin(), v.end())};
}

std::vector<uint8_t> macBinary(const std::string& name, const std::vector<uint8_t>& dataFork,
                               const std::vector<uint8_t>& resourceFork) {
    std::vector<uint8_t> b(128, 0);
    b[1] = static_cast<uint8_t>(name.size());
    for (size_t i = 0; i < name.size() && i < 63; ++i) b[2 + i] = static_cast<uint8_t>(name[i]);
    const char typeCreator[] = "TEXTttxt";
    for (int i = 0; i < 8; ++i) b[65 + i] = static_cast<uint8_t>(typeCreator[i]);
    auto putBig32 = [&](size_t at, size_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    putBig32(83, dataFork.size());
    putBig32(87, resourceFork.size());
    for (const auto* fork : {&dataFork, &resourceFork}) {
        b.insert(b.end(), fork->begin(), fork->end());
        b.resize((b.size() + 127) / 128 * 128, 0);
    }
    return b;
}

}  // namespace nivo
