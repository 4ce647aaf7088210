#include "lzh/settings_writer.h"

namespace nivo {

namespace {

void appendText(std::vector<uint8_t>& out, const std::string& text) {
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

bool appendSettingsBlock(std::vector<uint8_t>& out, const SettingsFields* s) {
    if (!s) {
        out.push_back(0);
        return true;
    }
    for (const std::string* text : {&s->title, &s->destination, &s->shortcutTarget, &s->launchCommand})
        if (text->size() > settingsTextLimit) return false;
    out.push_back(1);
    appendText(out, s->title);
    out.push_back(s->programFilesFlag);
    appendText(out, s->destination);
    appendText(out, s->shortcutTarget);
    out.push_back(s->startMenuOption);
    out.push_back(s->desktopOption);
    out.push_back(s->sendToOption);
    appendText(out, s->launchCommand);
    return true;
}

}  // namespace nivo
