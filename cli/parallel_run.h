// The run of t and x over many members on several threads. Workers decode members ahead, each
// into a file of its own (or into nothing, for t); this thread goes through the archive in
// order and does everything that depends on the order, as the run on one thread does: asks
// which members to take and whether to replace a file, makes the folders, puts each member in
// place, lists its problems and moves the bar. The messages, the problem list and the files
// written are those of the run on one thread.
#pragma once

#include "cli/member_run.h"

namespace nivo::cli {

// The most decoding threads a run starts. Each holds an input buffer (at most 256 KiB) and a
// dictionary, so that memory stays bounded on machines with many cores.
constexpr unsigned maxDecodingThreads = 16;

// runChosenMembers for t and x, with members decoded on threads. wanted tells, from the header
// alone and without side effects, whether a member may be chosen; choose is then asked in
// archive order, as on one thread. A member that no worker takes (folders, refused names, empty
// files) or whose file cannot be put in place is extracted on this thread, in its turn.
void runChosenMembersOnThreads(ExtractionContext& context, const MemberChoice& choose, const MemberChoice& wanted,
                               uint64_t totalBytes, unsigned threads);

}  // namespace nivo::cli
