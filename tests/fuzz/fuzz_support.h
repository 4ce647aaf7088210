// Shared pieces of the fuzz targets: a stream over the input bytes and a check that fails
// loudly, so that libFuzzer records the input that broke an invariant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace nivo::fuzz {

// A read-only stream over the bytes, seekable like an archive file; null for no bytes.
inline FILE* streamOver(const uint8_t* data, size_t size) {
    if (size == 0) return nullptr;
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace nivo::fuzz

#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) ::nivo::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (0)
