#include "cli/member_run.h"

#include <climits>
#include <cstdio>
#include <string>

#include "decode/crc16.h"
#include "decode/member_decoder.h"
#include "extract/member_extraction.h"

namespace nivo::cli {

namespace {

// "(what at offset N)": how a problem without a member name is listed.
void addProblemAt(ExtractionContext& context, const char* what, long offset, Problem problem) {
    std::string name = std::string("(") + what + " at offset " + std::to_string(offset) + ")";
    context.addProblem(name.c_str(), problem);
}

// The file's end bounds every seek and every input buffer.
void findArchiveEnd(ExtractionContext& context) {
    FILE* f = context.archiveFile;
    long start = std::ftell(f);
    context.archiveEnd = LONG_MAX;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        if (end >= 0) context.archiveEnd = end;
    }
    std::fseek(f, start, SEEK_SET);
}

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

uint64_t measureChosen(ExtractionContext& context, const MemberChoice& choose) {
    FILE* f = context.archiveFile;
    long start = std::ftell(f);
    long end = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : LONG_MAX;
    std::fseek(f, start, SEEK_SET);
    MemberHeader h;
    uint64_t total = 0;
    for (;;) {
        HeaderStatus hs = readMemberHeader(context, h);
        if (hs != HeaderStatus::member && hs != HeaderStatus::nameTooLong) break;
        long dataStart = std::ftell(f);
        if (hs == HeaderStatus::nameTooLong || choose(h))
            total += possibleSize(h, dataStart < end ? static_cast<uint64_t>(end - dataStart) : 0);
        if (h.compressedSize > static_cast<uint64_t>(LONG_MAX - dataStart) ||
            std::fseek(f, dataStart + static_cast<long>(h.compressedSize), SEEK_SET) != 0)
            break;
    }
    std::fseek(f, start, SEEK_SET);
    return total;
}

void runChosenMembers(ExtractionContext& context, const MemberChoice& choose, OutputSink* print,
                      uint64_t totalBytes) {
    makeCrcTable();
    findArchiveEnd(context);
    context.run.totalBytes = static_cast<uint32_t>(totalBytes);
    FILE* f = context.archiveFile;
    MemberHeader header;
    for (;;) {
        long headerStart = std::ftell(f);
        HeaderStatus status = readMemberHeader(context, header);
        if (status == HeaderStatus::end) break;
        if (status == HeaderStatus::damaged || status == HeaderStatus::unknownLayout) {
            addProblemAt(context, "header", headerStart, Problem::damagedHeader);
            break;
        }
        long dataStart = std::ftell(f);
        const int problemsBefore = context.problems.count;
        bool chosen = true;
        if (status == HeaderStatus::nameTooLong) {
            addProblemAt(context, "member", headerStart, Problem::nameTooLong);
        } else if ((chosen = choose(header))) {
            context.frontEnd->memberName(header.name);
            if (print)
                printMember(context, header, *print);
            else if (extractMember(context, header) == MemberResult::stop)
                break;
            if (!context.run.keepRunning.load()) break;
        }
        if (chosen) context.run.bytesDone += static_cast<uint32_t>(header.originalSize);
        // The archive ends inside this member: it is the last one, and whatever followed it is
        // lost.
        const auto left = static_cast<unsigned long>(context.archiveEnd - dataStart);
        if (chosen && header.compressedSize > left && context.problems.count == problemsBefore)
            context.addProblem(header.name, Problem::truncated);
        if (header.compressedSize >= left) break;
        if (std::fseek(f, dataStart + static_cast<long>(header.compressedSize), SEEK_SET) != 0) break;
    }
    context.frontEnd->runEnded(context.run.keepRunning.load() == 0);
}

}  // namespace nivo::cli
