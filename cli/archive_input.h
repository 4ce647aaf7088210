// Opening the file nivosfx is given: a self-extracting file or a plain LZH archive.
#pragma once

#include <string>

#include "archive/extraction_context.h"
#include "setup/settings_block.h"

namespace nivo::cli {

// Opens FILE and positions it at the archive: behind the settings block of a self-extracting
// file, or at offset 0 of a plain archive. Prints the reason on failure.
bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings);

}  // namespace nivo::cli
