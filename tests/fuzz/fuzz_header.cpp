// The header reader, the measuring walk and the archive walker, with the input as an archive
// stream: header after header, each member's data skipped by its compressed size. Then the
// reader of bytes on the input itself, and the search for an archive inside another maker's
// self-extracting file, over the same bytes.
#include <cstring>

#include "lzh/archive_search.h"
#include "extract/extraction_run.h"
#include "lzh/archive_walker.h"
#include "common/sjis_text.h"
#include "tests/fuzz/fuzz_support.h"

using namespace nivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fuzz::streamOver(data, size);
    if (!f) return 0;
    ExtractionContext context;
    context.archiveFile = f;
    context.archiveEnd = size;

    // The walk leaves the stream where it found it.
    measureArchive(context);
    FUZZ_CHECK(std::ftell(f) == 0);

    MemberHeader header;
    ArchiveWalker walk(context);
    FUZZ_CHECK(context.archiveEnd == static_cast<long>(size));
    for (int members = 0; members < 4096; ++members) {
        HeaderStatus status = walk.next(header);
        if (status != HeaderStatus::member && status != HeaderStatus::nameTooLong) break;
        FUZZ_CHECK(walk.dataStart > walk.headerStart && static_cast<size_t>(walk.dataStart) <= size);
        FUZZ_CHECK(std::ftell(f) == walk.dataStart);
        FUZZ_CHECK(walk.endsInside == (header.compressedSize > size - static_cast<size_t>(walk.dataStart)));
        // The name is always terminated inside its field, and its separators are "/".
        size_t n = strnlen(header.name, sizeof header.name);
        FUZZ_CHECK(n < sizeof header.name);
        if (status == HeaderStatus::member && header.level == 2) FUZZ_CHECK(header.hasModifiedTime == 1);
        methodIndex(header);
        char shown[pathBufferSize];
        if (status == HeaderStatus::nameTooLong) overlongMemberName(shown, header, walk.headerStart);
        FUZZ_CHECK(std::strlen(shownName(header.name)) < pathBufferSize);
    }
    // The reader of bytes, on the input as it stands: it reads only the bytes given, and asks
    // for more only where the header goes on past them.
    for (uint32_t given : {0u, 21u, static_cast<uint32_t>(size < 65538 ? size : 65538)}) {
        if (given > size) continue;
        const HeaderBytes read = parseMemberHeader(data, given, header);
        FUZZ_CHECK(read.length <= given || read.status == HeaderStatus::damaged);
    }
    // A header found by the search lies inside the input, and is found again where it stands.
    const std::optional<FoundArchive> found = findArchive(context, 0);
    if (found) {
        FUZZ_CHECK(found->offset >= 0 && found->offset < static_cast<long>(size));
        FUZZ_CHECK(isTrustedHeader(context, found->offset, static_cast<long>(size)));
        FUZZ_CHECK(!found->passedOver || *found->passedOver < found->offset);
    }
    // context closes the stream.
    return 0;
}
