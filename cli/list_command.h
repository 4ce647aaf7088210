// nivosfx l: the setup's settings and the member table, as text or as JSON.
#pragma once

#include <string>

#include "extract/extraction_context.h"
#include "command_line/member_selection.h"
#include "cli/nivosfx_options.h"
#include "lzh/settings_block.h"

namespace nivo::cli {

// Lists the chosen members from the archive's current position; returns the exit code.
int listMembers(ExtractionContext& context, const Options& o, const SetupSettings& settings,
                MemberSelection& selection);

}  // namespace nivo::cli
