#include "cli/member_run.h"

#include <climits>
#include <cstdio>

#include "lzh/archive_walker.h"
#include "common/crc16.h"
#include "decode/member_decoder.h"
#include "extract/member_extraction.h"

namespace nivo::cli {

namespace {

// One member's bytes to the sink, with the checks extraction makes.
void printMember(ExtractionContext& context, const MemberHeader& header, OutputSink& sink) {
    const int index = methodIndex(header);
    if (index == methodFolder) return;
    if (index < 0) {
        context.addProblem(header.name, Problem::unknownMethod);
        return;
    }
    DecodeResult r = transferMemberData(context, &sink, header, header.name, index);
    context.outputPath[0] = '\0';
    if (r.status == DecodeStatus::complete)
        checkComplete(context, header, r);
    else if (r.status != DecodeStatus::aborted)
        context.addProblem(header.name, problemOf(r));
}

// What a member can write at most. A header may claim any size, up to 2^64 bytes; but its data
// ends with the file, and no method makes more than about 2^22 bytes of one byte of data (a
// block of single-value codes costs 52 bits for 65535 matches of 256 bytes), so a larger claim
// counts for that much.
uint64_t possibleSize(const MemberHeader& h, uint64_t bytesLeft) {
    uint64_t data = h.compressedSize < bytesLeft ? h.compressedSize : bytesLeft;
    uint64_t bound = (data + 1) << 22;
    return h.originalSize < bound ? h.originalSize : bound;
}

}  // namespace

uint64_t measureChosen(ExtractionContext& context, const MemberChoice& choose, int* members) {
    FILE* f = context.archiveFile;
    long start = std::ftell(f);
    ArchiveWalker walk(context);
    MemberHeader h;
    uint64_t total = 0;
    int count = 0;
    for (;;) {
        HeaderStatus hs = walk.next(h);
        if (hs != HeaderStatus::member && hs != HeaderStatus::nameTooLong) break;
        if (hs == HeaderStatus::nameTooLong || choose(h)) {
            total += possibleSize(h, static_cast<uint64_t>(context.archiveEnd - walk.dataStart));
            ++count;
        }
    }
    std::fseek(f, start, SEEK_SET);
    if (members) *members = count;
    return total;
}

void walkNext(ArchiveWalker& walk, WalkedMember& m) {
    m.status = walk.next(m.header);
    m.headerStart = walk.headerStart;
    m.dataStart = walk.dataStart;
    m.endsInside = walk.endsInside;
}

bool runMember(ExtractionContext& context, WalkedMember& m, const MemberChoice& choose, const MemberAction& act) {
    char shown[pathBufferSize];
    if (m.status == HeaderStatus::end) return false;
    if (m.status == HeaderStatus::damaged || m.status == HeaderStatus::unknownLayout) {
        offsetName(shown, sizeof shown, "header", m.headerStart);
        context.addProblem(shown, m.status == HeaderStatus::damaged ? Problem::damagedHeader : Problem::unknownHeader);
        return false;
    }
    const int problemsBefore = context.problems.count;
    bool chosen = true;
    if (m.status == HeaderStatus::nameTooLong) {
        overlongMemberName(shown, m.header, m.headerStart);
        context.addProblem(shown, Problem::nameTooLong);
    } else if ((chosen = choose(m.header))) {
        context.frontEnd->memberName(m.header.name);
        if (act(m) == MemberResult::stop || !context.run.keepRunning.load()) return false;
    } else if (!context.run.keepRunning.load()) {
        return false;  // the choice ended the run
    }
    if (chosen) context.run.bytesDone += static_cast<uint32_t>(m.header.originalSize);
    // The archive ends inside this member: it is the last one, and whatever followed it is
    // lost.
    if (chosen && m.endsInside && context.problems.count == problemsBefore)
        context.addProblem(m.header.name, Problem::truncated);
    return true;
}

void runChosenMembers(ExtractionContext& context, const MemberChoice& choose, OutputSink* print,
                      uint64_t totalBytes) {
    makeCrcTable();
    context.run.totalBytes = static_cast<uint32_t>(totalBytes);
    ArchiveWalker walk(context);
    WalkedMember m;
    const MemberAction act = [&](WalkedMember& w) {
        if (!print) return extractMember(context, w.header);
        printMember(context, w.header, *print);
        return MemberResult::proceed;
    };
    do walkNext(walk, m);
    while (runMember(context, m, choose, act));
    context.frontEnd->runEnded(context.run.keepRunning.load() == 0);
}

}  // namespace nivo::cli
