// The run of t and x over many members on several threads. Workers decode members ahead, each
// into a file of its own (or into nothing, for t); the run's thread goes through the archive in
// order and does everything that depends on the order, as the run on one thread does: asks
// which members to take and whether to replace a file, makes the folders, puts each member in
// place, lists its problems and moves the bar. The messages, the problem list and the files
// written are those of the run on one thread. The extractor's alone: the Windows program
// decodes on its one worker thread.
#pragma once

#include "extract/extraction_run.h"

namespace nivo {

// The most decoding threads a run starts. Each holds an input buffer (at most 256 KiB) and a
// dictionary, so that memory stays bounded on machines with many cores.
constexpr unsigned maxDecodingThreads = 16;

// The walk and the members' turns of runMembers with choices.threads workers. choices.wanted
// tells which members workers may take. A member that no worker takes (folders, refused names,
// empty files) or whose file cannot be put in place is extracted on this thread, in its turn.
void runOnThreads(ExtractionContext& context, const RunChoices& choices);

}  // namespace nivo
