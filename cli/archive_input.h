// Opening the file nivosfx is given: a self-extracting file or a plain LZH archive.
#pragma once

#include <string>

#include "extract/extraction_context.h"
#include "lzh/settings_block.h"

namespace nivo::cli {

// Where the archive was found.
struct ArchiveOrigin {
    enum Kind { plain, ownSelfExtracting, otherSelfExtracting } kind = plain;
    long offset = 0;
    // FILE is a pipe or another stream that cannot seek: it is read once, front to back, as
    // the run goes, and the members are met once, in their order.
    bool streamed = false;
    long passedOver = -1;  // another archive in front of the one taken, which runs to the end
};

// Opens FILE and positions it at the archive: behind the settings block of our own
// self-extracting file, at offset 0 of a plain archive, or wherever the archive of another
// maker's self-extracting file stands. A file with no member header where one must be, an
// empty one included, is not an archive. Prints the reason on failure.
bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings,
                 ArchiveOrigin* origin = nullptr);

// The line that tells the origin of a self-extracting file's archive; empty for a plain one.
std::string originText(const ArchiveOrigin& origin);

}  // namespace nivo::cli
