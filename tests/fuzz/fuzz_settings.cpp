// The settings block reader and the destination composition, with the input as the bytes that
// follow the program image.
#include <cstring>

#include "extract/extraction_context.h"
#include "extract/run_settings.h"
#include "lzh/settings_block.h"
#include "tests/fuzz/fuzz_support.h"

using namespace nivo;

namespace {

size_t terminatedLength(const char* text, size_t capacity) {
    size_t n = strnlen(text, capacity);
    FUZZ_CHECK(n < capacity);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fuzz::streamOver(data, size);
    if (!f) return 0;
    ExtractionContext context;
    context.archiveFile = f;

    SetupSettings settings;
    if (readSettingsBlock(context, settings)) {
        // The block is the marker, four length-prefixed texts and four single bytes.
        long expected = 1;
        if (settings.present) {
            expected = 9 + data[1];
            size_t at = 2 + size_t(data[1]) + 1;
            expected += data[at];
            at += 1 + data[at];
            expected += data[at];
            at += 1 + data[at] + 3;
            expected += data[at];
        }
        FUZZ_CHECK(std::ftell(f) == expected);
        terminatedLength(settings.title, sizeof settings.title);
        terminatedLength(settings.destination, sizeof settings.destination);
        terminatedLength(settings.shortcutTarget, sizeof settings.shortcutTarget);
        terminatedLength(settings.launchCommand, sizeof settings.launchCommand);

        // Composition never overruns, for either flag and a tight buffer as well as a full one.
        char out[pathBufferSize];
        for (bool programFiles : {false, true}) {
            composeDestination(settings.destination, programFiles, out, sizeof out);
            terminatedLength(out, sizeof out);
            char small[16];
            composeDestination(settings.destination, programFiles, small, sizeof small);
            terminatedLength(small, sizeof small);
        }
    }

    // The whole reader, into the context, from the start again.
    std::rewind(f);
    if (readSetupSettings(context)) {
        FUZZ_CHECK(context.titleText != nullptr && context.destinationDir != nullptr);
        FUZZ_CHECK(std::strlen(context.destinationDir) < pathBufferSize);
        if (context.hasSetupSettings) {
            FUZZ_CHECK(context.shortcutTarget != nullptr && context.launchCommand != nullptr);
        } else {
            FUZZ_CHECK(context.shortcutTarget == nullptr && context.launchCommand == nullptr);
        }
    }
    return 0;
}
