// nivosfx l: the member table.
#pragma once

#include <string>

#include "archive/extraction_context.h"

namespace nivo::cli {

// Lists the members from the archive's current position; returns the exit code. verbose adds
// a line per member: header level, operating system, attribute and extended headers.
int listMembers(ExtractionContext& context, const std::string& path, bool verbose = false);

}  // namespace nivo::cli
