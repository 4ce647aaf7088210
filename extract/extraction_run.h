// The extraction run: the body of the one worker thread. It measures the archive for the
// progress bar, then extracts member after member from the context's archive file, which
// stands at the first header, into the current directory.
#pragma once

#include <cstdint>

#include "extract/extraction_context.h"

namespace nivo {

// The sum of the members' original sizes (32-bit, wrapping); leaves the stream where it was.
uint32_t measureArchive(ExtractionContext& context);

// Runs the whole extraction. Tells the front end each member's name and every problem, and
// ends with FrontEnd::runEnded as its last action.
void extractionRun(ExtractionContext& context);

}  // namespace nivo
