#include "platform/posix_names.h"

#include <cstring>
#include <iconv.h>

#include "common/sjis_text.h"

namespace nivo {

namespace {

bool isValidUtf8(const char* s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        unsigned char c = *p;
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0) return false;
        ++p;
        for (int i = 0; i < extra; ++i, ++p)
            if ((*p & 0xC0) != 0x80) return false;
    }
    return true;
}

bool convert(const char* to, const char* from, const char* text, size_t length, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string buf(length * 3 + 4, '\0');
    char* in = const_cast<char*>(text);
    size_t inLeft = length;
    char* outp = buf.data();
    size_t outLeft = buf.size();
    bool ok = iconv(cd, &in, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) return false;
    buf.resize(buf.size() - outLeft);
    out = std::move(buf);
    return true;
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 63));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 63));
        out += static_cast<char>(0x80 | (c >> 6 & 63));
    }
    out += static_cast<char>(0x80 | (c & 63));
}

std::string plainCp932ToUtf8(const char* text);

// A name with escapes: the code page 932 stretches converted as ever, the escapes' code units
// (a surrogate pair together, a lone surrogate as U+FFFD) as UTF-8.
std::string escapedToUtf8(const char* text) {
    std::string out;
    std::string stretch;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        long unit = escapedUnit(p);
        if (unit < 0) {
            stretch += static_cast<char>(*p++);
            continue;
        }
        out += plainCp932ToUtf8(stretch.c_str());
        stretch.clear();
        p += unicodeEscapeLength;
        uint32_t c = static_cast<uint32_t>(unit);
        if (c >= 0xD800 && c <= 0xDBFF) {
            long low = escapedUnit(p);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + static_cast<uint32_t>(low - 0xDC00);
                p += unicodeEscapeLength;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out + plainCp932ToUtf8(stretch.c_str());
}

}  // namespace

std::string cp932ToUtf8(const char* text) {
    for (const char* p = text; *p; ++p)
        if (escapedUnit(reinterpret_cast<const unsigned char*>(p)) >= 0) return escapedToUtf8(text);
    return plainCp932ToUtf8(text);
}

namespace {

std::string plainCp932ToUtf8(const char* text) {
    bool ascii = true;
    for (const char* p = text; *p; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) return text;
    std::string out;
    if (convert("UTF-8", "CP932", text, std::strlen(text), out)) return out;
    if (isValidUtf8(text)) return text;
    static const char hex[] = "0123456789ABCDEF";
    out.clear();
    for (const char* p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

bool utf8ToCp932(const std::string& text, std::string& out) {
    return convert("CP932", "UTF-8", text.data(), text.size(), out);
}

bool utf8ToUtf16(const std::string& text, std::string& out) {
    return convert("UTF-16LE", "UTF-8", text.data(), text.size(), out);
}

std::string printableText(const std::string& utf8) {
    std::string out;
    static const char hex[] = "0123456789abcdef";
    auto escape = [&out](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : static_cast<unsigned char>(0);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            escape(c);
            escape(next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string printableName(const char* cp932Text) {
    return printableText(cp932ToUtf8(cp932Text));
}

}  // namespace nivo
