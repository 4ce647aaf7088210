// The settings block between the program image and the archive, and the default destination
// composed from it.
//
// Layout, all numbers single unsigned bytes, texts code page 932 without a terminator:
//   present marker (0: the block is this one byte)
//   title length L1, title
//   Program Files flag
//   destination length L2, destination
//   shortcut target length L3, shortcut target
//   Start menu, Desktop and Send To option bytes (bit 0 offered, bit 1 chosen)
//   length L4 and the file to open after a finished run
#pragma once

#include <cstdint>
#include <cstdio>

namespace nivo {

struct ArchiveSource;

// The program image in front of the settings block; the stub build takes its size from here.
// Only the x86_64 test build of the Windows program, which cannot fit it, sets a larger one.
#ifdef NIVO_TEST_IMAGE_SIZE
constexpr long imageSize = NIVO_TEST_IMAGE_SIZE;
#else
constexpr long imageSize = 19968;
#endif
extern const char defaultTitle[];          // "Nivo SFX"

// The bits of the Start menu, Desktop and Send To option bytes: offered (the person may change
// the choice) and chosen (the shortcut is made).
constexpr uint8_t optionOffered = 1;
constexpr uint8_t optionChosen = 2;

// The block as stored, before any composition. Value-initialise it (SetupSettings{}); the
// members have no initialisers of their own, so that zeroing it is one memset, not a copy of a
// kilobyte of zeros kept in the program.
struct SetupSettings {
    uint8_t present;
    char title[256];
    uint8_t programFilesFlag;
    char destination[256];
    char shortcutTarget[256];
    uint8_t startMenuOption;
    uint8_t desktopOption;
    uint8_t sendToOption;
    char launchCommand[256];
};

// Reads count bytes from the source's archive file into buffer, one at a time. A count below
// 1 reads nothing. False as soon as a read goes beyond the end of the file.
bool readSettingsBytes(ArchiveSource& source, int count, char* buffer);

// Reads the block at the stream's position into settings; leaves the stream at the archive.
bool readSettingsBlock(ArchiveSource& source, SetupSettings& settings);

// The default destination for a non-empty destination text: unchanged when it has a drive;
// else under "\Program Files\" on the Windows directory's drive when the flag is set; else
// under the current directory. Falls back to the text as given when a directory cannot be had
// or the result would not fit capacity bytes.
void composeDestination(const char* text, bool programFiles, char* out, uint32_t capacity);
// The same with the directories given: null where the platform could not give one.
void composeDestinationFrom(const char* text, bool programFiles, const char* windowsDir,
                            const char* currentDir, char* out, uint32_t capacity);

}  // namespace nivo
