#include "setup/settings_block.h"

#include <cstddef>
#include <cstring>

#include "archive/extraction_context.h"
#include "extract/path_helpers.h"
#include "platform/platform.h"

namespace nivo {

namespace {

bool hasDrive(const char* text) {
    char c = text[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && text[1] == ':';
}

bool setCurrentDirectoryText(ExtractionContext& context) {
    char cwd[pathBufferSize];
    // Never build from an unfilled buffer: without a current directory the destination is
    // left empty, which is the current directory itself.
    if (!platform::currentDirectory(cwd, sizeof cwd)) cwd[0] = '\0';
    return ExtractionContext::replaceText(context.destinationDir, cwd);
}

}  // namespace

bool readSettingsBytes(ExtractionContext& context, int count, char* buffer) {
    return std::fread(buffer, 1, static_cast<size_t>(count), context.archiveFile) == static_cast<size_t>(count);
}

bool readSettingsBlock(ExtractionContext& context, SetupSettings& settings) {
    settings = SetupSettings{};
    // The record holds the fields in the block's order, each right behind the one before: a
    // text (256 bytes) is read as a length byte and that many bytes, then terminated; any other
    // field is one byte. The present marker 0 is the whole block.
    static_assert(offsetof(SetupSettings, launchCommand) == 1 + 256 + 1 + 256 + 256 + 3);
    static const char fields[] = "btbttbbbt";
    char* field = reinterpret_cast<char*>(&settings);
    for (const char* kind = fields; *kind; ++kind) {
        uint8_t length = 1;
        if (*kind == 't' && !readSettingsBytes(context, 1, reinterpret_cast<char*>(&length))) return false;
        if (!readSettingsBytes(context, length, field)) return false;
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

bool readSetupSettings(ExtractionContext& context) {
    SetupSettings settings;  // readSettingsBlock clears it
    if (!readSettingsBlock(context, settings) ||
        !ExtractionContext::replaceText(context.titleText, settings.title[0] ? settings.title : defaultTitle))
        return false;
    if (!settings.destination[0]) {
        if (!setCurrentDirectoryText(context)) return false;
    } else {
        char composed[pathBufferSize];
        composeDestination(settings.destination, settings.programFilesFlag != 0, composed,
                           sizeof composed);
        if (!ExtractionContext::replaceText(context.destinationDir, composed)) return false;
    }
    if (!settings.present) return true;
    context.startMenuOption = settings.startMenuOption;
    context.desktopOption = settings.desktopOption;
    context.sendToOption = settings.sendToOption;
    if (!ExtractionContext::replaceText(context.shortcutTarget, settings.shortcutTarget) ||
        !ExtractionContext::replaceText(context.launchCommand, settings.launchCommand))
        return false;
    context.hasSetupSettings = 1;
    return true;
}

}  // namespace nivo
