// nivosfx's extraction run: the core's walk over the members, with the members chosen one by
// one (by name, and whether an existing file is replaced), and the p command's output to
// standard output.
#pragma once

#include <functional>

#include "archive/extraction_context.h"
#include "archive/member_header.h"

namespace nivo {
class OutputSink;
}

namespace nivo::cli {

using MemberChoice = std::function<bool(const MemberHeader&)>;

// The sum of the chosen members' original sizes, each no more than its data can hold; leaves
// the stream where it was.
uint64_t measureChosen(ExtractionContext& context, const MemberChoice& choose);

// Extracts (or with testOnly decodes) the chosen members from the archive's position; choose is
// asked once per member, in order. With print, every chosen file's bytes go there instead,
// and nothing is written to files. totalBytes (measureChosen's) moves the progress bar. Tells
// the context's front end each member and every problem, and ends with runEnded.
void runChosenMembers(ExtractionContext& context, const MemberChoice& choose, OutputSink* print,
                      uint64_t totalBytes);

}  // namespace nivo::cli
