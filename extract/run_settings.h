// The settings block taken into the run: what the front ends show and what the run does after
// the last member.
#pragma once

namespace nivo {

class ExtractionContext;

// Reads the block and fills the context: title, composed destination, shortcut target, the
// option bytes, the file to open and hasSetupSettings.
bool readSetupSettings(ExtractionContext& context);

}  // namespace nivo
