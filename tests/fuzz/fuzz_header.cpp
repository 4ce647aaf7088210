// The header reader and the header walk, with the input as an archive stream: header after
// header, each member's data skipped by its compressed size as the run does. Then the search
// for an archive inside another maker's self-extracting file, over the same bytes.
#include <cstring>

#include "archive/archive_search.h"
#include "archive/extraction_run.h"
#include "archive/member_header.h"
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
    for (int members = 0; members < 4096; ++members) {
        long start = std::ftell(f);
        HeaderStatus status = readMemberHeader(context, header);
        if (status == HeaderStatus::end || status == HeaderStatus::damaged ||
            status == HeaderStatus::unknownLayout)
            break;
        long dataStart = std::ftell(f);
        FUZZ_CHECK(dataStart > start && static_cast<size_t>(dataStart) <= size);
        // The name is always terminated inside its field, and its separators are "/".
        size_t n = strnlen(header.name, sizeof header.name);
        FUZZ_CHECK(n < sizeof header.name);
        if (status == HeaderStatus::nameTooLong) FUZZ_CHECK(n == 0);
        if (status == HeaderStatus::member && header.level == 2) FUZZ_CHECK(header.hasModifiedTime == 1);
        methodIndex(header);
        uint64_t next = static_cast<uint64_t>(dataStart) + header.compressedSize;
        if (next >= size) break;
        if (std::fseek(f, static_cast<long>(next), SEEK_SET) != 0) break;
    }
    // A header found by the search lies inside the input, and is found again where it stands.
    long found = findArchive(context, 0);
    FUZZ_CHECK(found >= -1 && found < static_cast<long>(size));
    if (found >= 0) FUZZ_CHECK(isTrustedHeader(context, found, static_cast<long>(size)));
    // context closes the stream.
    return 0;
}
