// One member into one file. The method is matched, any old file of the same path replaced,
// folders made, the data copied or decoded, and the time stamp set. A member that was not
// extracted correctly goes into the run's problem list; a file that did not get all its bytes
// is deleted, so that nothing half-written is left looking like a finished file.
#include "extract/member_extraction.h"

#include <cstring>

#include "extract/path_helpers.h"
#include "platform/platform.h"

namespace nivo {

namespace {

// Counts what a test run decodes; writes nothing.
class DiscardSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        (void)data;
        (void)count;
        return true;
    }
};

bool isDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A link must never lead a member outside the destination: no folder on the way to the
// member may be a symbolic link.
bool foldersAreReal(const char* path) {
    char prefix[pathBufferSize];
    for (const char* p = std::strchr(path, '/'); p; p = std::strchr(p + 1, '/')) {
        size_t n = static_cast<size_t>(p - path);
        std::memcpy(prefix, path, n);
        prefix[n] = '\0';
        if (platform::pathKind(prefix) == platform::PathKind::link) return false;
    }
    return true;
}

void setMemberTime(const char* path, const MemberHeader& header) {
    if (header.hasModifiedTime) platform::setFileTime(path, header.modifiedTime);
}

Problem problemOf(const DecodeResult& r) {
    switch (r.status) {
    case DecodeStatus::damaged: return r.truncated ? Problem::truncated : Problem::damagedData;
    case DecodeStatus::noMemory: return Problem::noMemory;
    case DecodeStatus::writeFailed: return Problem::writeFailed;
    case DecodeStatus::unsupported: return Problem::unknownMethod;
    case DecodeStatus::complete:
    case DecodeStatus::aborted: break;
    }
    return Problem::damagedData;
}

// The checks on a member whose data was transferred to its full length.
void checkComplete(ExtractionContext& context, const MemberHeader& header, const DecodeResult& r) {
    if (header.hasDataCrc && r.crc != header.dataCrc)
        context.addProblem(header.name, r.truncated ? Problem::truncated : Problem::crcMismatch);
    else if (r.truncated)
        context.addProblem(header.name, Problem::truncated);
    if (r.overran) context.addProblem(header.name, Problem::sizeMismatch);
}

}  // namespace

bool memberOutputPath(const char* name, char* out, size_t capacity) {
    const char* p = name;
    // Drive prefixes ("C:") and leading separators: the member stays inside the destination.
    for (;;) {
        if (isDriveLetter(p[0]) && p[1] == ':') p += 2;
        else if (*p == '/') ++p;
        else break;
    }
    if (!copyText(out, capacity, p) || !*out) return false;
    // Refuse any ".." component. Names use "/" here, and a second byte of a two-byte
    // character is never "/" or ".", so a byte-wise look is exact.
    for (const char* c = out; *c;) {
        const char* end = std::strchr(c, '/');
        size_t n = end ? static_cast<size_t>(end - c) : std::strlen(c);
        if (n == 2 && c[0] == '.' && c[1] == '.') return false;
        if (!end) break;
        c = end + 1;
    }
    return true;
}

FILE* openOutputFile(ExtractionContext& context, const char* path) {
    if (FILE* f = platform::openFile(path, "wb")) return f;
    makeParentDirectories(context, path);
    return platform::openFile(path, "wb");
}

DecodeResult transferMemberData(ExtractionContext& context, OutputSink* out, const MemberHeader& header,
                                const char* path, int methodIndex) {
    std::memset(context.outputPath, 0, sizeof context.outputPath);
    copyText(context.outputPath, sizeof context.outputPath, path);
    ProgressReporter progress{&context.run, context.frontEnd};
    if (methodIndex == methodStored || methodIndex == methodLz4)
        return storedCopy(context.archiveFile, out, header.originalSize, progress);
    DiscardSink discard;
    MemberDecoder decoder(context.archiveFile, out ? *out : discard, header.originalSize,
                          header.compressedSize, dictBitsForMethod(methodIndex), methodIndex);
    decoder.setProgress(progress);
    if (context.archiveEnd) {
        long at = std::ftell(context.archiveFile);
        if (at >= 0) decoder.setInputLimit(context.archiveEnd > uint64_t(at) ? context.archiveEnd - uint64_t(at) : 0);
    }
    return decoder.run();
}

MemberResult extractMember(ExtractionContext& context, MemberHeader& header) {
    char path[pathBufferSize];
    const int index = methodIndex(header);
    if (index < 0) {
        context.addProblem(header.name, Problem::unknownMethod);
        return MemberResult::proceed;
    }
    if (!memberOutputPath(header.name, path, sizeof path)) {
        context.addProblem(header.name, Problem::outsideDestination);
        return MemberResult::proceed;
    }
    if (index == methodFolder) {
        // Some archivers store a symbolic link as a folder entry "name|target".
        if (std::strchr(path, '|')) {
            context.addProblem(header.name, Problem::linkRefused);
            return MemberResult::proceed;
        }
        if (context.testOnly) return MemberResult::proceed;
        // A folder entry is made, never decoded, with or without its final "/".
        size_t n = std::strlen(path);
        if (path[n - 1] != '/' && !appendText(path, sizeof path, "/")) {
            context.addProblem(header.name, Problem::nameTooLong);
            return MemberResult::proceed;
        }
        if (!foldersAreReal(path)) {
            context.addProblem(header.name, Problem::outsideDestination);
            return MemberResult::proceed;
        }
        if (!makeParentDirectories(context, path)) {
            context.addProblem(header.name, Problem::cannotCreate);
            return MemberResult::proceed;
        }
        path[n] = '\0';
        setMemberTime(path, header);
        return MemberResult::proceed;
    }

    if (context.testOnly) {
        DecodeResult r = transferMemberData(context, nullptr, header, path, index);
        context.outputPath[0] = '\0';
        if (r.status == DecodeStatus::aborted) return MemberResult::stop;
        if (r.status != DecodeStatus::complete) context.addProblem(header.name, problemOf(r));
        else checkComplete(context, header, r);
        return MemberResult::proceed;
    }

    if (!foldersAreReal(path)) {
        context.addProblem(header.name, Problem::outsideDestination);
        return MemberResult::proceed;
    }
    platform::unlinkFile(path);  // existing files are replaced without asking
    FILE* f = openOutputFile(context, path);
    if (!f) {
        context.addProblem(header.name, Problem::cannotCreate);
        return MemberResult::proceed;
    }
    FileSink sink(f);
    DecodeResult r = transferMemberData(context, &sink, header, path, index);
    bool closed = std::fclose(f) == 0;
    if (r.status == DecodeStatus::complete && !closed) r.status = DecodeStatus::writeFailed;

    if (r.status == DecodeStatus::aborted) {
        platform::unlinkFile(path);
        context.outputPath[0] = '\0';
        return MemberResult::stop;
    }
    if (r.status != DecodeStatus::complete) {
        platform::unlinkFile(path);
        context.outputPath[0] = '\0';
        context.addProblem(header.name, problemOf(r));
        return MemberResult::proceed;
    }
    // Complete: a late abort must not delete this member, but it still ends the run.
    context.outputPath[0] = '\0';
    setMemberTime(path, header);
    checkComplete(context, header, r);
    return context.run.keepRunning.load() ? MemberResult::proceed : MemberResult::stop;
}

}  // namespace nivo
