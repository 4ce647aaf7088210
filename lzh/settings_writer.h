// Writes the settings block that settings_block.h reads: the builder, the tests and the fuzz
// seeds all make their blocks here. Not part of the Windows program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nivo {

// The fields of a present block; texts are code page 932, at most 255 bytes each.
struct SettingsFields {
    std::string title;
    uint8_t programFilesFlag = 0;
    std::string destination;
    std::string shortcutTarget;
    uint8_t startMenuOption = 0;  // bit 0 offered, bit 1 chosen
    uint8_t desktopOption = 0;
    uint8_t sendToOption = 0;
    std::string launchCommand;
};

// The longest text a length byte can announce.
constexpr size_t settingsTextLimit = 255;

// Appends the block to out: the single byte 0 when settings is null, else the present marker
// and the fields. False, with nothing appended, when a text is longer than settingsTextLimit.
bool appendSettingsBlock(std::vector<uint8_t>& out, const SettingsFields* settings);

}  // namespace nivo
