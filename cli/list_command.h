// nivosfx l: the setup's settings and the member table, as text or as JSON.
#pragma once

#include <string>

#include "archive/extraction_context.h"
#include "cli/member_selection.h"
#include "cli/nivosfx_options.h"
#include "setup/settings_block.h"

namespace nivo::cli {

// Lists the chosen members from the archive's current position; returns the exit code.
int listMembers(ExtractionContext& context, const Options& o, const SetupSettings& settings,
                MemberSelection& selection);

}  // namespace nivo::cli
