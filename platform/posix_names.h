// Names between code page 932 (the archive's) and UTF-8 (the POSIX file system's and
// terminal's). POSIX builds only.
#pragma once

#include <string>

namespace nivo {

// A code page 932 text as UTF-8. Pure ASCII passes unchanged. Text that is not valid code page
// 932 but is valid UTF-8 (some Unix archivers store UTF-8) is kept; any other byte that cannot
// be read becomes %XX. Escapes of characters from UTF-16 names (see unicodeEscape) become
// those characters.
std::string cp932ToUtf8(const char* text);

// False when the text has a character that code page 932 cannot hold.
bool utf8ToCp932(const std::string& text, std::string& out);

// UTF-16LE of a UTF-8 text; false when the text is not valid UTF-8.
bool utf8ToUtf16(const std::string& text, std::string& out);

// For the terminal: the UTF-8 form with control characters shown as \xNN, never raw.
std::string printableName(const char* cp932Text);

// The same for a text that is already UTF-8 (a path on this system, a typed answer). The C1
// controls U+0080 to U+009F are escaped too: terminals take U+009B for the escape sequence
// introducer.
std::string printableText(const std::string& utf8);

}  // namespace nivo
