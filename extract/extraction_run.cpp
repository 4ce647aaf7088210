// The extraction run. The archive is not searched for: it begins where the settings block
// ends, and whatever stands there is read as the first header.
#include "extract/extraction_run.h"

#include <cstdio>

#include "lzh/archive_walker.h"
#include "common/crc16.h"
#include "extract/member_extraction.h"
#include "common/sjis_text.h"
#include "extract/output_folders.h"
#ifndef NIVO_STUB
#include "extract/member_scheduler.h"
#endif

namespace nivo {

namespace {

#ifndef NIVO_STUB
// What a member can write at most. A header may claim any size, up to 2^64 bytes; but its data
// ends with the file, and no method makes more than about 2^22 bytes of one byte of data (a
// block of single-value codes costs 52 bits for 65535 matches of 256 bytes), so a larger claim
// counts for that much.
uint64_t possibleSize(const MemberHeader& h, uint64_t bytesLeft) {
    uint64_t data = h.compressedSize < bytesLeft ? h.compressedSize : bytesLeft;
    uint64_t bound = (data + 1) << 22;
    return h.originalSize < bound ? h.originalSize : bound;
}
#endif

// Whether the run takes the member; the Windows program takes every one.
[[gnu::always_inline]] inline bool chosen(const RunChoices& choices, const MemberHeader& header) {
    if constexpr (stubBuild) return true;
    return !choices.choose || choices.choose(choices.user, header);
}

}  // namespace

uint32_t measureArchive(ExtractionContext& context) {
    const platform::FileOffset start = platform::tellFile(context.archiveFile);
    ArchiveWalker walk(context);
    MemberHeader header;
    uint32_t total = 0;
    for (;;) {
        HeaderStatus status = walk.next(header);
        if (status != HeaderStatus::member && status != HeaderStatus::nameTooLong) break;
        total += static_cast<uint32_t>(header.originalSize);
    }
    platform::seekFile(context.archiveFile, start);
    return total;
}

#ifndef NIVO_STUB
uint64_t measureChosen(ExtractionContext& context, const RunChoices& choices, int* members) {
    const platform::FileOffset start = platform::tellFile(context.archiveFile);
    ArchiveWalker walk(context);
    MemberHeader h;
    uint64_t total = 0;
    int count = 0;
    for (;;) {
        HeaderStatus hs = walk.next(h);
        if (hs != HeaderStatus::member && hs != HeaderStatus::nameTooLong) break;
        if (hs == HeaderStatus::nameTooLong || !choices.wanted || choices.wanted(choices.user, h)) {
            total += possibleSize(h, static_cast<uint64_t>(context.archiveEnd - walk.dataStart));
            ++count;
        }
    }
    platform::seekFile(context.archiveFile, start);
    if (members) *members = count;
    return total;
}
#endif

void walkNext(ArchiveWalker& walk, WalkedMember& m) {
    m.status = walk.next(m.header);
    m.headerStart = walk.headerStart;
    m.dataStart = walk.dataStart;
    m.endsInside = walk.endsInside;
}

namespace {

// runMember's body, inlined in the run: the Windows program has no room for a call. status and
// header are what the walk read; at tells where (headerStart, endsInside): the walker itself, or
// the member m that a scheduler walked ahead, which its turn is handed.
template <class At>
[[gnu::always_inline]] inline bool runStep(ExtractionContext& context, HeaderStatus status, MemberHeader& header,
                                           const At& at, const RunChoices& choices, MemberTurn turn, void* scheduler,
                                           WalkedMember* m) {
    (void)m;
    (void)choices;
    (void)turn;
    (void)scheduler;
    char shown[pathBufferSize];
    if (status == HeaderStatus::end) return false;
    if (status == HeaderStatus::damaged || status == HeaderStatus::unknownLayout) {
        offsetName(shown, sizeof shown, "header", at.headerStart);
        context.addProblem(shown, headerProblem(status));
        return false;
    }
    const int problemsBefore = context.problems.count;
    if (status == HeaderStatus::nameTooLong) {
        // The sizes are known, so the run goes on behind this member.
        overlongMemberName(shown, header, at.headerStart);
        context.addProblem(shown, Problem::nameTooLong);
    } else if (chosen(choices, header)) {
        context.frontEnd->memberName(header.name);
        MemberOutcome outcome;
#ifndef NIVO_STUB
        if (turn)
            outcome = turn(scheduler, context, *m);
        else if (choices.print)
            outcome = printMember(context, header, *choices.print);
        else
#endif
            outcome = extractMember(context, header);
        if (outcome.kind == MemberOutcome::failed) context.addProblem(header.name, outcome.problem);
        // An abort that came after the member's data still ends the run.
        if (outcome.kind == MemberOutcome::aborted || !context.run.keepRunning.load()) return false;
        notifyShell(context, ShellEvent::memberHandled, header.name);
    } else {
        // The choice may have ended the run.
        return context.run.keepRunning.load() != 0;
    }
    context.run.bytesDone += static_cast<uint32_t>(header.originalSize);
    // The archive ends inside this member: it is the last one. Its extraction has listed it
    // when it missed bytes; a member that was whole without them (a decoder that stopped
    // early, a stored size below the compressed size) is listed here, since whatever followed
    // it is lost.
    if (at.endsInside && context.problems.count == problemsBefore) context.addProblem(header.name, Problem::truncated);
    return true;
}

// runMembers, inlined in the Windows program's run.
[[gnu::always_inline]] inline void runHere(ExtractionContext& context, const RunChoices& choices, uint64_t totalBytes) {
    makeCrcTable();
    context.run.totalBytes = static_cast<uint32_t>(totalBytes);
#ifndef NIVO_STUB
    if (choices.threads > 1) {
        runOnThreads(context, choices);
    } else
#endif
    {
        ArchiveWalker walk(context);
        MemberHeader header;
        while (runStep(context, walk.next(header), header, walk, choices, nullptr, nullptr, nullptr)) {
        }
    }
    context.frontEnd->runEnded(context.run.keepRunning.load() == 0);
}

}  // namespace

#ifndef NIVO_STUB
bool runMember(ExtractionContext& context, WalkedMember& m, const RunChoices& choices, MemberTurn turn,
               void* scheduler) {
    return runStep(context, m.status, m.header, m, choices, turn, scheduler, &m);
}

void runMembers(ExtractionContext& context, const RunChoices& choices, uint64_t totalBytes) {
    runHere(context, choices, totalBytes);
}
#endif

void extractionRun(ExtractionContext& context) {
    runHere(context, RunChoices{}, measureArchive(context));
}

}  // namespace nivo
