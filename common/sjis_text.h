// The text rules of names and paths, shared by every layer. All of them work on zero-terminated
// code page 932 texts: a byte from 0x81 to 0x9F or from 0xE0 to 0xFC starts a two-byte
// character, and the byte after it is never taken for a separator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nivo {

// Code page 932's lead bytes, exactly as Windows reads them: a byte the system takes for a
// character of its own must be one here too, or a separator behind it would be hidden.
constexpr bool isLeadByte(uint8_t c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Names stay code page 932 texts inside the program. A character of a UTF-16 name (0x44,
// 0x45) that is not ASCII is written as this byte and three bytes from 0xA0 to 0xDF, six bits
// of the UTF-16 code unit each, most significant first: 0xFD is never part of a code page 932
// character and 0xA0 to 0xDF are single-byte characters, so no scan of the name takes an
// escape for a separator, a dot or a two-byte character. The POSIX side turns escapes into
// UTF-8 and the Windows program into UTF-16; names as stored in code page 932 never use them.
constexpr uint8_t unicodeEscape = 0xFD;
constexpr uint8_t unicodeEscapeBase = 0xA0;
constexpr uint32_t unicodeEscapeLength = 4;

// The UTF-16 code unit of an escape at p, or -1 when none stands there: only units from U+0080
// to U+FFFF are escaped, so that no separator or dot ever comes out of one.
long escapedUnit(const uint8_t* p);

// Appends "\" unless the path is empty or already ends in a backslash that is a character of
// its own. capacity is the size of the buffer; false (and the path unchanged) when the
// separator would not fit.
bool appendBackslash(char* path, size_t capacity);

// Replaces every "\", "/" and 0xFF that is not the second byte of a two-byte character with
// separator.
void unifySeparators(char* text, char separator);

// The name behind its drive prefixes ("C:") and leading separators ("/"), which would lead out
// of the destination.
const char* skipRoot(const char* name);

// How a member is named to the user: its stored name, or "(empty name)", or "(no file name)"
// for a name of only separators and drives, which would otherwise show nothing.
const char* shownName(const char* name);

// True when a component of path ("/" separators, no drive) names a Windows device (CON, PRN,
// AUX, NUL, COM0 to COM9, LPT0 to LPT9, CONIN$, CONOUT$; any case, any extension, trailing
// spaces) or when the path holds a ":", which names a stream of a file.
bool namesDeviceOrStream(const char* path);

// Copies at most capacity - 1 bytes of src and terminates; false when src did not fit.
bool copyText(char* dst, size_t capacity, const char* src);
// Appends src; false (dst unchanged) when the result would not fit.
bool appendText(char* dst, size_t capacity, const char* src);

}  // namespace nivo
