#include "command_line/terminal_text.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace nivo {

int terminalWidth() {
    struct winsize ws {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

namespace {

// The next code point of UTF-8 text at i, and how many bytes it takes. A byte that starts no
// valid sequence counts as one character of its own.
char32_t nextCodePoint(const std::string& s, size_t i, size_t& length) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t c = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : extra == 1 ? b & 0x1F : b;
    length = 1;
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return b;
        c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    length = static_cast<size_t>(extra) + 1;
    return c;
}

int columnsOf(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0xFE00 && c <= 0xFE0F)) return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

}  // namespace

int displayColumns(const std::string& utf8) {
    int columns = 0;
    for (size_t i = 0, n = 0; i < utf8.size(); i += n) columns += columnsOf(nextCodePoint(utf8, i, n));
    return columns;
}

std::string fitColumns(const std::string& utf8, int columns) {
    int used = 0;
    size_t i = 0;
    for (size_t n = 0; i < utf8.size(); i += n) {
        int w = columnsOf(nextCodePoint(utf8, i, n));
        if (used + w > columns) break;
        used += w;
    }
    return utf8.substr(0, i);
}

}  // namespace nivo
