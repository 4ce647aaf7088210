// nivosfx t and x: decode every member, and write them for x.
#pragma once

#include "archive/extraction_context.h"
#include "cli/nivosfx_options.h"
#include "setup/settings_block.h"

namespace nivo::cli {

// Runs the test or the extraction from the archive's current position; returns the exit code.
int runExtraction(ExtractionContext& context, Options& o, SetupSettings& settings);

}  // namespace nivo::cli
