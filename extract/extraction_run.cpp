// The extraction run. The archive is not searched for: it begins where the settings block
// ends, and whatever stands there is read as the first header.
#include "extract/extraction_run.h"

#include <cstdio>

#include "lzh/archive_walker.h"
#include "common/crc16.h"
#include "extract/member_extraction.h"
#include "common/sjis_text.h"
#include "extract/output_folders.h"

namespace nivo {

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

void extractionRun(ExtractionContext& context) {
    makeCrcTable();
    context.run.totalBytes = measureArchive(context);

    ArchiveWalker walk(context);
    MemberHeader header;
    char shown[pathBufferSize];
    for (;;) {
        HeaderStatus status = walk.next(header);
        if (status == HeaderStatus::end) break;
        if (status == HeaderStatus::damaged || status == HeaderStatus::unknownLayout) {
            offsetName(shown, sizeof shown, "header", walk.headerStart);
            context.addProblem(shown, status == HeaderStatus::damaged ? Problem::damagedHeader : Problem::unknownHeader);
            break;
        }
        const int problemsBefore = context.problems.count;
        if (status == HeaderStatus::nameTooLong) {
            // The sizes are known, so the run goes on behind this member.
            overlongMemberName(shown, header, walk.headerStart);
            context.addProblem(shown, Problem::nameTooLong);
        } else {
            context.frontEnd->memberName(header.name);
            if (extractMember(context, header) == MemberResult::stop) break;
            notifyShell(context, ShellEvent::memberHandled, header.name);
        }
        context.run.bytesDone += static_cast<uint32_t>(header.originalSize);
        // The archive ends inside this member: it is the last one. Its extraction has listed it
        // when it missed bytes; a member that was whole without them (a decoder that stopped
        // early, a stored size below the compressed size) is listed here, since whatever
        // followed it is lost.
        if (walk.endsInside && context.problems.count == problemsBefore)
            context.addProblem(header.name, Problem::truncated);
    }
    context.frontEnd->runEnded(context.run.keepRunning.load() == 0);
}

}  // namespace nivo
