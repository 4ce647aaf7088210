// The extraction run, the one every front end calls: it walks the archive from the context's
// archive file, which stands at the first header, takes the members it is given, writes each
// to its file (nothing for a test run, the given output for the p command), lists every
// problem and moves the progress bar. The Windows program takes every member into files on
// one thread; nivosfx adds its choices and the threads that decode members ahead.
#pragma once

#include <cstdint>

#include "extract/extraction_context.h"
#include "extract/member_extraction.h"

namespace nivo {

class ArchiveWalker;
class OutputSink;

// One header as the walk met it, with the member's place in the file.
struct WalkedMember {
    HeaderStatus status = HeaderStatus::end;
    MemberHeader header{};
    platform::FileOffset headerStart = 0;
    platform::FileOffset dataStart = 0;
    bool endsInside = false;  // the file ends before the member's compressed size
};

// What a front end adds to the run. Plain pointers, so that the Windows program, which takes
// none of them, pays for none.
struct RunChoices {
    // Whether a member is taken; asked once per member, in archive order, and free to ask the
    // person or to end the run by clearing keepRunning. Null: every member.
    bool (*choose)(void* user, const MemberHeader& header) = nullptr;
    // Whether a member may be chosen, from its header alone and without side effects: the
    // members that workers may decode ahead. Null: every member.
    bool (*wanted)(void* user, const MemberHeader& header) = nullptr;
    void* user = nullptr;
    // The p command: every chosen file's bytes go here, and nothing is written to files.
    OutputSink* print = nullptr;
    // How many threads decode members ahead of their turn; 1 or less: none.
    unsigned threads = 1;
};

// The sum of the members' original sizes (32-bit, wrapping); leaves the stream where it was.
uint32_t measureArchive(ExtractionContext& context);

// The sum of the chosen members' original sizes (as choices.wanted tells), each no more than
// its data can hold, and (members, when given) how many they are; leaves the stream where it
// was.
uint64_t measureChosen(ExtractionContext& context, const RunChoices& choices, int* members = nullptr);

// The problem a header that ends the walk is listed as.
constexpr Problem headerProblem(HeaderStatus status) {
    return status == HeaderStatus::damaged ? Problem::damagedHeader : Problem::unknownHeader;
}

// Reads the next header into m.
void walkNext(ArchiveWalker& walk, WalkedMember& m);

// The member's turn when a scheduler has decoded it ahead: what the member came to.
using MemberTurn = MemberOutcome (*)(void* scheduler, ExtractionContext& context, WalkedMember& m);

// One step of the run, in archive order: the end or a damaged header ends it; a chosen member
// is named to the front end and extracted (by turn, when given, else from the archive at the
// member's data), its problem listed; its size then counts as done, and a member cut short by
// the end of the file is listed. False when the run ends here.
bool runMember(ExtractionContext& context, WalkedMember& m, const RunChoices& choices, MemberTurn turn = nullptr,
               void* scheduler = nullptr);

// Runs over the members from the archive's position with the choices given; totalBytes moves
// the progress bar. Tells the front end each member's name and every problem, and ends with
// FrontEnd::runEnded as its last action.
void runMembers(ExtractionContext& context, const RunChoices& choices, uint64_t totalBytes);

// The Windows program's run: every member, measured first for the progress bar.
void extractionRun(ExtractionContext& context);

}  // namespace nivo
