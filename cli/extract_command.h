// nivosfx t, x and p: decode the chosen members; x writes them to files, p to standard output.
#pragma once

#include "extract/extraction_context.h"
#include "command_line/member_selection.h"
#include "cli/nivosfx_options.h"
#include "lzh/settings_block.h"

namespace nivo::cli {

// Runs the test or the extraction from the archive's current position; returns the exit code.
int runExtraction(ExtractionContext& context, Options& o, SetupSettings& settings, MemberSelection& selection);

}  // namespace nivo::cli
