// nivosfx's extraction run: the core's walk over the members, with the members chosen one by
// one (by name, and whether an existing file is replaced), and the p command's output to
// standard output.
#pragma once

#include <functional>

#include "extract/extraction_context.h"
#include "lzh/member_header.h"
#include "extract/member_extraction.h"

namespace nivo {
class ArchiveWalker;
class OutputSink;
}

namespace nivo::cli {

using MemberChoice = std::function<bool(const MemberHeader&)>;

// One header as the walk met it, with the member's place in the file.
struct WalkedMember {
    HeaderStatus status = HeaderStatus::end;
    MemberHeader header{};
    long headerStart = 0;
    long dataStart = 0;
    bool endsInside = false;  // the file ends before the member's compressed size
};

// What is done with a chosen member; stop ends the run (after an abort).
using MemberAction = std::function<MemberResult(WalkedMember&)>;

// The sum of the chosen members' original sizes, each no more than its data can hold, and
// (members, when given) how many they are; leaves the stream where it was.
uint64_t measureChosen(ExtractionContext& context, const MemberChoice& choose, int* members = nullptr);

// Reads the next header into m.
void walkNext(ArchiveWalker& walk, WalkedMember& m);

// One step of the run, in archive order: the end or a damaged header ends it (false); a chosen
// member is named to the front end and handed to act; its size then counts as done, and a
// member cut short by the end of the file is listed. False when the run ends here.
bool runMember(ExtractionContext& context, WalkedMember& m, const MemberChoice& choose, const MemberAction& act);

// Extracts (or with testOnly decodes) the chosen members from the archive's position; choose is
// asked once per member, in order. With print, every chosen file's bytes go there instead,
// and nothing is written to files. totalBytes (measureChosen's) moves the progress bar. Tells
// the context's front end each member and every problem, and ends with runEnded.
void runChosenMembers(ExtractionContext& context, const MemberChoice& choose, OutputSink* print,
                      uint64_t totalBytes);

}  // namespace nivo::cli
