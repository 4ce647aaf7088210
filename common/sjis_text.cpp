#include "common/sjis_text.h"

#include <cstring>


namespace nivo {

bool copyText(char* dst, size_t capacity, const char* src) {
    size_t n = std::strlen(src);
    if (n >= capacity) {
        std::memcpy(dst, src, capacity - 1);
        dst[capacity - 1] = '\0';
        return false;
    }
    std::memcpy(dst, src, n + 1);
    return true;
}

bool appendText(char* dst, size_t capacity, const char* src) {
    size_t have = std::strlen(dst);
    size_t n = std::strlen(src);
    if (have + n >= capacity) return false;
    std::memcpy(dst + have, src, n + 1);
    return true;
}

const char* skipRoot(const char* name) {
    for (;;) {
        char c = static_cast<char>(name[0] | 0x20);
        if (c >= 'a' && c <= 'z' && name[1] == ':') name += 2;
        else if (*name == '/') ++name;
        else return name;
    }
}

const char* shownName(const char* name) {
    if (!*name) return "(empty name)";
    return *skipRoot(name) ? name : "(no file name)";
}

bool namesDeviceOrStream(const char* path) {
    // Eight bytes each, compared whole; byte 1, which no folded name byte becomes, stands for
    // the digit of COM1 or LPT1.
    static const char devices[][8] = {"con", "prn", "aux", "nul", "conin$", "conout$", "com\1", "lpt\1"};
    if (std::strchr(path, ':')) return true;
    for (const char* c = path; c; c = std::strchr(c, '/')) {
        if (*c == '/') ++c;
        // The component's name before its first ".", folded to lower case (bytes below 0x20,
        // which Windows refuses in names anyway, may fold onto other characters), without
        // trailing spaces, however many.
        char base[8] = {};
        size_t n = 0;
        for (; *c && *c != '/' && *c != '.'; ++c) {
            if (n < sizeof base) base[n++] = static_cast<char>(*c | 0x20);
            else if (*c != ' ') n = sizeof base + 1;  // longer than any device name
        }
        while (n && n <= sizeof base && base[n - 1] == ' ') base[--n] = '\0';
        if (n == 4 && base[3] >= '0' && base[3] <= '9') base[3] = 1;
        for (const char* d : devices)
            if (std::memcmp(base, d, sizeof base) == 0) return true;
    }
    return false;
}

bool appendBackslash(char* path, size_t capacity) {
    size_t n = std::strlen(path);
    if (n == 0) return true;
    if (path[n - 1] == '\\') {
        if (n == 1) return true;
        // A "\" behind a lead byte is the second half of a two-byte character.
        if (!isLeadByte(static_cast<uint8_t>(path[n - 2]))) return true;
    }
    if (n + 1 >= capacity) return false;
    path[n] = '\\';
    path[n + 1] = '\0';
    return true;
}

void unifySeparators(char* text, char separator) {
    for (auto* p = reinterpret_cast<uint8_t*>(text); *p; ++p) {
        if (isLeadByte(*p)) {
            if (*++p == 0) break;
            continue;
        }
        if (*p == '\\' || *p == '/' || *p == 0xFF) *p = static_cast<uint8_t>(separator);
    }
}

long escapedUnit(const uint8_t* p) {
    if (p[0] != unicodeEscape) return -1;
    long unit = 0;
    for (uint32_t i = 1; i < unicodeEscapeLength; ++i) {
        const uint32_t digit = p[i] - uint32_t{unicodeEscapeBase};
        if (digit > 63) return -1;
        unit = unit << 6 | digit;
    }
    return unit < 0x80 || unit > 0xFFFF ? -1 : unit;
}

}  // namespace nivo
