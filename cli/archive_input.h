// Opening the file nivosfx is given: a self-extracting file or a plain LZH archive.
#pragma once

#include <string>

#include "archive/extraction_context.h"
#include "setup/settings_block.h"

namespace nivo::cli {

// Where the archive was found.
struct ArchiveOrigin {
    enum Kind { plain, ownSelfExtracting, otherSelfExtracting } kind = plain;
    long offset = 0;
    long passedOver = -1;  // another archive in front of the one taken, which runs to the end
};

// Opens FILE and positions it at the archive: behind the settings block of our own
// self-extracting file, at offset 0 of a plain archive, or wherever the archive of another
// maker's self-extracting file stands. Prints the reason on failure.
bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings,
                 ArchiveOrigin* origin = nullptr);

// The line that tells the origin of a self-extracting file's archive; empty for a plain one.
std::string originText(const ArchiveOrigin& origin);

}  // namespace nivo::cli
