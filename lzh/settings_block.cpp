#include "lzh/settings_block.h"

#include <cstddef>
#include <cstring>

#include "common/sizes.h"
#include "common/sjis_text.h"
#include "lzh/member_header.h"
#include "platform/platform.h"

namespace nivo {

const char defaultTitle[] = "Nivo SFX";

namespace {

bool hasDrive(const char* text) {
    char c = text[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && text[1] == ':';
}

}  // namespace

bool readSettingsBytes(ArchiveSource& source, int count, char* buffer) {
    return std::fread(buffer, 1, static_cast<size_t>(count), source.archiveFile) == static_cast<size_t>(count);
}

bool readSettingsBlock(ArchiveSource& source, SetupSettings& settings) {
    settings = SetupSettings{};
    // The record holds the fields in the block's order, each right behind the one before: a
    // text (256 bytes) is read as a length byte and that many bytes, then terminated; any other
    // field is one byte. The present marker 0 is the whole block.
    static_assert(offsetof(SetupSettings, launchCommand) == 1 + 256 + 1 + 256 + 256 + 3);
    static const char fields[] = "btbttbbbt";
    char* field = reinterpret_cast<char*>(&settings);
    for (const char* kind = fields; *kind; ++kind) {
        uint8_t length = 1;
        if (*kind == 't' && !readSettingsBytes(source, 1, reinterpret_cast<char*>(&length))) return false;
        if (!readSettingsBytes(source, length, field)) return false;
        if (*kind == 't') field[length] = '\0';
        if (!settings.present) return true;
        field += *kind == 't' ? 256 : 1;
    }
    return true;
}

void composeDestinationFrom(const char* text, bool programFiles, const char* windowsDir,
                            const char* currentDir, char* out, uint32_t capacity) {
    copyText(out, capacity, text);
    if (hasDrive(text)) return;
    char composed[pathBufferSize] = "";
    if (programFiles) {
        if (!windowsDir) return;
        if (hasDrive(windowsDir)) {
            composed[0] = windowsDir[0];
            composed[1] = ':';
            composed[2] = '\0';
        }
        if (!appendText(composed, sizeof composed, "\\Program Files\\")) return;
    } else {
        if (!currentDir || !copyText(composed, sizeof composed, currentDir)) return;
        if (!appendBackslash(composed, sizeof composed)) return;
    }
    if (!appendText(composed, sizeof composed, text)) return;
    copyText(out, capacity, composed);
}

void composeDestination(const char* text, bool programFiles, char* out, uint32_t capacity) {
    // Never build from an unfilled buffer: a directory that cannot be had counts as absent.
    char windows[pathBufferSize];
    char current[pathBufferSize];
    bool haveWindows = programFiles && platform::windowsDirectory(windows, sizeof windows);
    bool haveCurrent = !programFiles && platform::currentDirectory(current, sizeof current);
    composeDestinationFrom(text, programFiles, haveWindows ? windows : nullptr,
                           haveCurrent ? current : nullptr, out, capacity);
}

}  // namespace nivo
