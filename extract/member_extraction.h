// Member extraction: one member header into one file or folder under the destination. Paths
// are relative to the context's destination.
#pragma once

#include <atomic>
#include <cstdio>

#include "lzh/member_header.h"
#include "decode/member_decoder.h"
#include "extract/extraction_context.h"

namespace nivo {

// What a member's extraction came to, the one vocabulary of the run: extracted (whatever its
// checks found already listed), stopped by an abort, or failed for the problem named, which the
// run lists.
struct MemberOutcome {
    enum Kind : uint8_t { extracted, aborted, failed };
    Kind kind = extracted;
    Problem problem = Problem::unknownMethod;  // when failed
};
constexpr MemberOutcome memberExtracted{MemberOutcome::extracted};
constexpr MemberOutcome memberAborted{MemberOutcome::aborted};
constexpr MemberOutcome memberFailed(Problem problem) {
    return {MemberOutcome::failed, problem};
}

// What the run makes of a member, decided from its header and name alone before anything is
// written: the one refusal policy.
struct MemberPlan {
    enum Kind : uint8_t { file, folder, link, refused };
    Kind kind = refused;
    int method = -1;                           // the method's index, for a file
    Problem problem = Problem::unknownMethod;  // when refused
};

// Plans the member: path (pathBufferSize bytes) receives where it goes inside the destination.
// A test run looks at no folder on the way.
MemberPlan planMember(const ExtractionContext& context, const MemberHeader& header, char* path);

// Takes what a test run decodes; writes nothing.
class DiscardSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        (void)data;
        (void)count;
        return true;
    }
};

// Extracts the member whose data starts at the archive file's position (testOnly: decodes and
// checks it). The problems of its checks go to the context's list; the one that stopped it is
// returned, for the run to list.
MemberOutcome extractMember(ExtractionContext& context, const MemberHeader& header);

// The member's bytes to out (the p command), with the checks extraction makes; a folder gives
// none.
MemberOutcome printMember(ExtractionContext& context, const MemberHeader& header, OutputSink& out);

// Copies or decodes the member's data from input, which stands at the data and ends at
// inputEnd, into out (nowhere when out is null).
DecodeResult transferData(FILE* input, platform::FileOffset inputEnd, OutputSink* out, const MemberHeader& header, int methodIndex,
                          const ProgressReporter& progress);

// Writes the member's data from input (as transferData) into file and closes it; a test run
// passes no file and writes nowhere. A classic Mac OS member gives its data fork unless
// keepMacBinary; a failed write or close makes the verdict writeFailed. counted, when given,
// is moved on by every byte decoded (the progress of a worker, which has no bar of its own).
DecodeResult writeMemberData(FILE* input, platform::FileOffset inputEnd, FILE* file, const MemberHeader& header,
                             int methodIndex, bool keepMacBinary, const ProgressReporter& progress,
                             std::atomic<uint64_t>* counted = nullptr);

// How many names a temporary is looked for under: the Windows program, which has no leftovers
// to step around, takes one digit.
constexpr uint32_t temporaryNames = stubBuild ? 10 : 100000;

// Creates a temporary file in the folder that the first folder bytes of temp name (they end in
// "/", or there are none): "~nivoN.tmp", N the first number from the context's nextTemporary
// on whose name is free and no member's.
// temp (of writingPathSize bytes) receives its name. A leftover of a killed run is removed on
// the way; a file that another run is writing is never touched. None when the folder is
// missing or no file can be made there.
FILE* createTemporary(const ExtractionContext& context, char* temp, size_t folder);

// The temporary a member is written to until it is complete, beside path, with the folders
// made when missing.
FILE* openWritingFile(ExtractionContext& context, const char* path, char* temp);

// Checks the member's complete temporary (checkComplete) and puts it in the place of path, with
// the member's time and permissions. A member that failed a check never replaces an existing
// file: the temporary is deleted and Problem::damagedKept returned. Else memberExtracted, or
// the problem that stopped it (the temporary then deleted).
MemberOutcome placeMember(ExtractionContext& context, const MemberHeader& header, const DecodeResult& r,
                          const char* temp, const char* path);

// What a member that stopped short is listed as, by how it stopped.
Problem problemOf(const DecodeResult& r);

// The checks on a member whose data was transferred to its full length: the CRC, the input
// that ran out, the data that ran past the original size. Each that fails is listed; true when
// all passed.
bool checkComplete(ExtractionContext& context, const MemberHeader& header, const DecodeResult& r);

// Whether no folder on the way to the member is a symbolic link: a link must never lead a
// member outside the destination.
bool foldersAreReal(platform::Destination at, const char* path);

// Gives the file or folder the member's time, and on systems with Unix permissions the stored
// ones: never set-user, set-group or sticky, and never without the owner's read and write (and
// search, for folders). A file without stored ones gets those of a new file.
void setMemberAttributes(platform::Destination at, const char* path, const MemberHeader& header, bool folder);

// The member's path inside the destination: drive prefixes and leading separators removed.
// False (out undefined) when a ".." component would climb out of the destination or the name
// is empty.
bool memberOutputPath(const char* name, char* out, size_t capacity);

}  // namespace nivo
