// One member into one file. The method is matched, any old file of the same path replaced,
// folders made, the data copied or decoded, and the time stamp set. A member that was not
// extracted correctly goes into the run's problem list; a file that did not get all its bytes
// is deleted, so that nothing half-written is left looking like a finished file.
#include "extract/member_extraction.h"

#include <cerrno>
#include <cstring>

#include "extract/mac_binary.h"
#include "common/sjis_text.h"
#include "extract/output_folders.h"
#include "extract/stored_copy.h"
#include "platform/platform.h"
#include "extract/extraction_context.h"

namespace nivo {

namespace {

#ifndef NIVO_STUB
// Counts the bytes on their way to the next sink (none: nowhere).
class CountingSink final : public OutputSink {
public:
    CountingSink(OutputSink* n, std::atomic<uint64_t>* c) : next(n), count(c) {}
    bool write(const uint8_t* data, uint32_t n) override {
        if (next && !next->write(data, n)) return false;
        count->fetch_add(n, std::memory_order_relaxed);
        return true;
    }

private:
    OutputSink* next;
    std::atomic<uint64_t>* count;
};
#endif

// A test run decodes and checks every member and writes nothing; the Windows program never
// makes one.
bool testing(const ExtractionContext& context) {
    return !stubBuild && context.testOnly;
}

}  // namespace

bool foldersAreReal(platform::Destination at, const char* path) {
    if (!platform::reportsLinks) return true;
    char prefix[pathBufferSize];
    for (const char* p = std::strchr(path, '/'); p; p = std::strchr(p + 1, '/')) {
        size_t n = static_cast<size_t>(p - path);
        std::memcpy(prefix, path, n);
        prefix[n] = '\0';
        if (platform::pathKind(at, prefix) == platform::PathKind::link) return false;
    }
    return true;
}

void setMemberAttributes(platform::Destination at, const char* path, const MemberHeader& header, bool folder) {
    if (header.hasModifiedTime) platform::setFileTime(at, path, header.modifiedTime);
    if (!stubBuild && header.hasUnixMode)
        platform::setFilePermissions(at, path, static_cast<uint16_t>((header.unixMode & 0777) | (folder ? 0700 : 0600)));
    else if (!stubBuild && !folder)
        platform::setFilePermissions(at, path, 0);  // a file made for the owner alone gets the usual ones
}

Problem problemOf(const DecodeResult& r) {
    static const Problem byStatus[] = {Problem::damagedData, Problem::damagedData, Problem::damagedData,
                                       Problem::noMemory, Problem::writeFailed, Problem::unknownMethod};
    if (r.status == DecodeStatus::damaged && r.truncated) return Problem::truncated;
    return byStatus[static_cast<int>(r.status)];
}

bool checkComplete(ExtractionContext& context, const MemberHeader& header, const DecodeResult& r) {
    const int before = context.problems.count;
    if (r.truncated)
        context.addProblem(header.name, Problem::truncated);
    else if (header.hasDataCrc && r.crc != header.dataCrc)
        context.addProblem(header.name, Problem::crcMismatch);
    if (r.overran) context.addProblem(header.name, Problem::sizeMismatch);
    return context.problems.count == before;
}

bool memberOutputPath(const char* name, char* out, size_t capacity) {
    // Component by component: "." and empty components are dropped, ".." is refused. Names use
    // "/" here, and a second byte of a two-byte character is never "/" or ".", so a byte-wise
    // look is exact.
    size_t n = 0;
    for (const char* c = skipRoot(name); *c;) {
        const char* end = std::strchr(c, '/');
        size_t length = end ? static_cast<size_t>(end - c) : std::strlen(c);
        if (length == 2 && c[0] == '.' && c[1] == '.') return false;
        if (length > 1 || (length == 1 && c[0] != '.')) {
            if (n + length + 1 >= capacity) return false;
            if (n) out[n++] = '/';
            std::memcpy(out + n, c, length);
            n += length;
        }
        if (!end) break;
        c = end + 1;
    }
    out[n] = '\0';
    return true;
}

FILE* createTemporary(const ExtractionContext& context, char* temp, size_t folder) {
    (void)context;
#ifdef NIVO_STUB
    const uint32_t first = 0;
#else
    const uint32_t first = context.nextTemporary.load(std::memory_order_relaxed);
#endif
    for (uint32_t i = 0, gone = 0; i < temporaryNames; ++i) {
        const uint32_t n = stubBuild ? i : (first + i) % temporaryNames;
        char* p = temp + folder;
        std::memcpy(p, "~nivo0.tmp", 11);
        if constexpr (stubBuild) {
            p[5] = static_cast<char>('0' + n);
        } else {
            char digits[8];
            int k = 0;
            for (uint32_t v = n; k == 0 || v; v /= 10) digits[k++] = static_cast<char>('0' + v % 10);
            for (p += 5; k;) *p++ = digits[--k];
            std::memcpy(p, ".tmp", 5);
        }
#ifndef NIVO_STUB
        if (context.isMemberPath && context.isMemberPath(temp)) continue;
#endif
        if (FILE* f = platform::createFile(context.destination, temp)) {
#ifndef NIVO_STUB
            context.nextTemporary.store(n + 1, std::memory_order_relaxed);
#endif
            return f;
        }
        // No such folder, or none that lets a file be made; or another run's file, renamed
        // away in the meantime, whose name is tried again. The creation's errno is what the
        // extractor reports (the Windows program reports none).
#ifndef NIVO_STUB
        const int created = errno;
#endif
        if (platform::pathKind(context.destination, temp) == platform::PathKind::missing) {
#ifndef NIVO_STUB
            errno = created;
#endif
            if (stubBuild || ++gone == 3) return nullptr;
            --i;
            continue;
        }
        // What a killed run left is removed on the way; a file being written is passed over.
        if constexpr (!stubBuild) platform::removeLeftover(context.destination, temp);
    }
    return nullptr;
}

FILE* openWritingFile(ExtractionContext& context, const char* path, char* temp) {
    const char* slash = std::strrchr(path, '/');
    const size_t folder = slash ? static_cast<size_t>(slash - path) + 1 : 0;
    std::memcpy(temp, path, folder);
    for (bool foldersMade = false;; foldersMade = true) {
        if (FILE* f = createTemporary(context, temp, folder)) return f;
        if (foldersMade || !makeParentDirectories(context, temp)) return nullptr;
    }
}

namespace {

// placeMember, inlined where a member is written: the Windows program has no room for a call.
[[gnu::always_inline]] inline MemberOutcome placeHere(ExtractionContext& context, const MemberHeader& header,
                                            const DecodeResult& r, const char* temp, const char* path) {
    // Only a member that passed every check replaces a file; where none was, a damaged one is
    // written all the same. Its problems are listed either way.
    Problem problem = Problem::damagedKept;
    if (checkComplete(context, header, r) || platform::pathKind(context.destination, path) == platform::PathKind::missing) {
        // The file is complete, with its time and permissions, before it takes the name.
        setMemberAttributes(context.destination, temp, header, false);
        // Existing files are replaced without asking; one that cannot be replaced stays.
        if (platform::replaceFile(context.destination, temp, path)) return memberExtracted;
        problem = Problem::cannotCreate;
    }
    platform::unlinkFile(context.destination, temp);
    return memberFailed(problem);
}

}  // namespace

MemberOutcome placeMember(ExtractionContext& context, const MemberHeader& header, const DecodeResult& r,
                          const char* temp, const char* path) {
    return placeHere(context, header, r, temp, path);
}

DecodeResult transferData(FILE* input, platform::FileOffset inputEnd, OutputSink* out, const MemberHeader& header, int methodIndex,
                          const ProgressReporter& progress) {
    if (methodIndex == methodStored || methodIndex == methodLz4)
        return storedCopy(input, out, header.originalSize, progress);
    // Only a test run, which the Windows program never makes, writes nowhere.
    DiscardSink discard;
    MemberDecoder decoder(input, stubBuild || out ? *out : discard, header.originalSize, header.compressedSize,
                          dictBitsOf(methodIndex), methodIndex);
    decoder.setProgress(progress);
    const platform::FileOffset at = platform::tellFile(input);
    const uint64_t rest = at >= 0 && at < inputEnd ? static_cast<uint64_t>(inputEnd - at) : 0;
    decoder.setInputLimit(rest < UINT32_MAX ? static_cast<uint32_t>(rest) : UINT32_MAX);
    return decoder.run();
}

DecodeResult writeMemberData(FILE* input, platform::FileOffset inputEnd, FILE* file, const MemberHeader& header,
                             int methodIndex, bool keepMacBinary, const ProgressReporter& progress,
                             std::atomic<uint64_t>* counted) {
    FileSink fileSink(file);
    OutputSink* sink = file ? &fileSink : nullptr;
    // A classic Mac OS member gives its data fork; the CRC still covers every stored byte.
    MacBinarySink macSink(fileSink, header.originalSize);
    const bool macFilter = !stubBuild && file && header.osId == 'm' && !keepMacBinary;
    if (macFilter) sink = &macSink;
#ifndef NIVO_STUB
    CountingSink countingSink(sink, counted);
    if (counted) sink = &countingSink;
#else
    (void)counted;
#endif
    DecodeResult r = transferData(input, inputEnd, sink, header, methodIndex, progress);
    if (macFilter && r.status == DecodeStatus::complete && !macSink.finish()) r.status = DecodeStatus::writeFailed;
    if (file && std::fclose(file) != 0 && r.status == DecodeStatus::complete) r.status = DecodeStatus::writeFailed;
    return r;
}

namespace {

// A folder entry is made, never decoded, with or without its final "/".
MemberOutcome makeFolder(ExtractionContext& context, const MemberHeader& header, char* path) {
    // Unix archivers store a symbolic link as a folder entry "name|target"; the Windows
    // program makes no links (the header reader of the others takes such a name apart).
    if (std::strchr(path, '|')) return memberFailed(Problem::linkRefused);
    size_t n = std::strlen(path);
    if (testing(context) || n == 0) return memberExtracted;
    if (!appendText(path, pathBufferSize, "/")) return memberFailed(Problem::nameTooLong);
    if (!makeParentDirectories(context, path)) return memberFailed(Problem::cannotCreate);
    path[n] = '\0';
    setMemberAttributes(context.destination, path, header, true);
    return memberExtracted;
}

#ifndef NIVO_STUB
// A symbolic link with the stored target, which is text here and never followed. Whatever
// file or link stands in its place is replaced; a folder stays, and the link is not made.
MemberOutcome makeLink(ExtractionContext& context, const MemberHeader& header, const char* path) {
    if (!path[0]) return memberFailed(Problem::noFileName);
    if (testing(context)) return memberExtracted;
    const platform::PathKind there = platform::pathKind(context.destination, path);
    if (there == platform::PathKind::directory) return memberFailed(Problem::cannotCreate);
    if (there != platform::PathKind::missing) platform::unlinkFile(context.destination, path);
    const char* target = linkTargetOf(header);
    if (!platform::makeLink(context.destination, target, path) &&
        (!makeParentDirectories(context, path) || !platform::makeLink(context.destination, target, path)))
        return memberFailed(Problem::cannotCreate);
    if (header.hasModifiedTime) platform::setFileTime(context.destination, path, header.modifiedTime);
    return memberExtracted;
}
#endif

// A file member into its file, or (testing) decoded and checked.
[[gnu::always_inline]] inline MemberOutcome extractFile(ExtractionContext& context, const MemberHeader& header,
                                                        const char* path, int method) {
    // The member is written to a file of its own and takes the place of any old file of its
    // name only when it is complete, so that a member that fails never destroys what was there.
    FILE* f = nullptr;
    char temp[writingPathSize];
    if (!testing(context)) {
        f = openWritingFile(context, path, temp);
        if (!f) return memberFailed(Problem::cannotCreate);
    }
    copyText(context.outputPath, sizeof context.outputPath, f ? temp : path);
    DecodeResult r = writeMemberData(context.archiveFile, context.archiveEnd, f, header, method,
                                     context.keepMacBinary, ProgressReporter{&context.run, context.frontEnd});
    // From here on no member is being written: a late abort must not delete this one.
    context.outputPath[0] = '\0';
    if (r.status != DecodeStatus::complete) {
        // Nothing half-written stays behind, whatever stopped it.
        if (f) platform::unlinkFile(context.destination, temp);
        return r.status == DecodeStatus::aborted ? memberAborted : memberFailed(problemOf(r));
    }
    if (f) return placeHere(context, header, r, temp, path);
    checkComplete(context, header, r);
    return memberExtracted;
}

// The one refusal policy, and the member made by it: what the run makes of a member is decided
// from its header and name alone, before anything is written. With plan (the extractor's
// scheduler, which asks ahead of the member's turn) the verdict goes there and nothing is
// made; path receives where the member goes.
MemberOutcome decide(ExtractionContext& context, const MemberHeader& header, char* path, MemberPlan* plan) {
    (void)plan;
    const int index = methodIndex(header);
    if (index < 0) return memberFailed(Problem::unknownMethod);
    if (!memberOutputPath(header.name, path, pathBufferSize) ||
        (!testing(context) && !foldersAreReal(context.destination, path)))
        return memberFailed(Problem::outsideDestination);
    if (context.windowsNames && namesDeviceOrStream(path)) return memberFailed(Problem::reservedName);
#ifndef NIVO_STUB
    if (header.linkTarget) {
        if (plan) {
            plan->kind = MemberPlan::link;
            return memberExtracted;
        }
        return makeLink(context, header, path);
    }
#endif
    // A stored member without data whose name ends in a separator is a folder, as "-lhd-" is.
    // (The Windows program has no room for this rule: it lists such a member as not created.)
    const size_t nameLength = std::strlen(header.name);
    if (index == methodFolder || (!stubBuild && index == methodStored &&
                                  (header.originalSize | header.compressedSize) == 0 && nameLength &&
                                  header.name[nameLength - 1] == '/')) {
        if constexpr (!stubBuild) {
            if (plan) {
                plan->kind = MemberPlan::folder;
                return memberExtracted;
            }
        }
        return makeFolder(context, header, path);
    }
    // A file needs a name; a folder entry of the destination itself has nothing to make.
    if (!path[0]) return memberFailed(Problem::noFileName);
    // Stored data is as long as the file: sizes that differ mean a damaged header.
    if ((index == methodStored || index == methodLz4) && header.originalSize != header.compressedSize)
        return memberFailed(Problem::damagedData);
    if constexpr (!stubBuild) {
        if (plan) {
            plan->kind = MemberPlan::file;
            plan->method = index;
            return memberExtracted;
        }
    }
    return extractFile(context, header, path, index);
}

}  // namespace

MemberOutcome extractMember(ExtractionContext& context, const MemberHeader& header) {
    char path[pathBufferSize];
    return decide(context, header, path, nullptr);
}

#ifndef NIVO_STUB
MemberPlan planMember(const ExtractionContext& context, const MemberHeader& header, char* path) {
    MemberPlan plan;
    // Planning makes nothing, so the context is not changed.
    const MemberOutcome outcome = decide(const_cast<ExtractionContext&>(context), header, path, &plan);
    if (outcome.kind == MemberOutcome::failed) {
        plan.kind = MemberPlan::refused;
        plan.problem = outcome.problem;
    }
    return plan;
}

MemberOutcome printMember(ExtractionContext& context, const MemberHeader& header, OutputSink& out) {
    const int index = methodIndex(header);
    if (index == methodFolder) return memberExtracted;
    if (index < 0) return memberFailed(Problem::unknownMethod);
    copyText(context.outputPath, sizeof context.outputPath, header.name);
    DecodeResult r = transferData(context.archiveFile, context.archiveEnd, &out, header, index,
                                  ProgressReporter{&context.run, context.frontEnd});
    context.outputPath[0] = '\0';
    if (r.status == DecodeStatus::aborted) return memberAborted;
    if (r.status != DecodeStatus::complete) return memberFailed(problemOf(r));
    checkComplete(context, header, r);
    return memberExtracted;
}
#endif

}  // namespace nivo
