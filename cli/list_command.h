// nivosfx l: the member table.
#pragma once

#include <string>

#include "archive/extraction_context.h"

namespace nivo::cli {

// Lists the members from the archive's current position; returns the exit code.
int listMembers(ExtractionContext& context, const std::string& path);

}  // namespace nivo::cli
