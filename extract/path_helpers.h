// Path helpers shared by the header reader, member extraction and the setup front end. All of
// them work on zero-terminated code page 932 texts: a byte from 0x80 to 0x9F or from 0xE0 to
// 0xFC starts a two-byte character, and the byte after it is never taken for a separator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nivo {

class ExtractionContext;

constexpr bool isLeadByte(uint8_t c) {
    return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Appends "\" unless the path is empty or already ends in a backslash that is a character of
// its own. capacity is the size of the buffer; false (and the path unchanged) when the
// separator would not fit.
bool appendBackslash(char* path, size_t capacity);

// Replaces every "\", "/" and 0xFF that is not the second byte of a two-byte character with
// separator.
void unifySeparators(char* text, char separator);

// Makes the folder that contains the path's last component, with its missing parents. The
// path uses "/" separators. True when that folder exists as a folder afterwards.
bool makeParentDirectories(ExtractionContext& context, const char* path);

enum class ShellEvent : uint8_t { folderCreated, memberHandled };

// Tells the shell of a folder made by makeParentDirectories (path as given) or of a member
// handled by the run (path: the member's name, announced under the destination).
void notifyShell(ExtractionContext& context, ShellEvent event, const char* path);

// Copies at most capacity - 1 bytes of src and terminates; false when src did not fit.
bool copyText(char* dst, size_t capacity, const char* src);
// Appends src; false (dst unchanged) when the result would not fit.
bool appendText(char* dst, size_t capacity, const char* src);

}  // namespace nivo
