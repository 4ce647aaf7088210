#include "extract/run_settings.h"

#include "extract/extraction_context.h"
#include "lzh/settings_block.h"
#include "platform/platform.h"

namespace nivo {

namespace {

bool setCurrentDirectoryText(ExtractionContext& context) {
    char cwd[pathBufferSize];
    // Never build from an unfilled buffer: without a current directory the destination is
    // left empty, which is the current directory itself.
    if (!platform::currentDirectory(cwd, sizeof cwd)) cwd[0] = '\0';
    return ExtractionContext::replaceText(context.destinationDir, cwd);
}

}  // namespace

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
