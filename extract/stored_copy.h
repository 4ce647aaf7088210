// The copy of a stored member's data, in fixed blocks, with the CRC and progress.
#pragma once

#include <cstdio>

#include "decode/member_decoder.h"

namespace nivo {

// Copies count stored bytes from input to out in 2048-byte blocks, with the CRC, reporting
// progress after each block. out may be null (nothing is written). A file that ends early
// leaves the member damaged and truncated.
DecodeResult storedCopy(FILE* input, OutputSink* out, MemberSize count, const ProgressReporter& progress);

}  // namespace nivo
