// The loop that every compressed method shares. The dictionary and the output buffer are one
// window (output_window.h): bytes are produced into its output area, which is written out in
// one block whenever it fills, and once more at the end. A new member starts from a dictionary
// of spaces.
//
// The loop runs the method a stretch at a time: up to the end of the output area, the member's
// original size, or the next byte count at which the progress bar moves, whichever comes first.
// Progress and abort are looked at between stretches, so the bar moves through exactly the
// positions that a report after every symbol would send it.
#include "decode/member_decoder.h"

#include <cstdlib>
#include <cstring>

#include "lzh/method_facts.h"
#include "common/crc16.h"
#include "decode/methods.h"
#include "decode/output_window.h"
#include "decode/symbol_loop.h"
#include "platform/platform.h"

namespace nivo {

const MethodOps methodTable[methodCount] = {
    {nullptr, nullptr, nullptr},                                          // -lh0- (stored)
    {decodeSymbolDynamic, decodeDistanceTable, decodeInitFixed},          // -lh1-
    {decodeSymbolDynamic, decodeDistanceDynamic, decodeInitDynamic},      // -lh2-
    {decodeSymbolLh3, decodeDistanceTable, decodeInitLh3},                // -lh3-
    {decodeSymbolStatic, decodeDistanceStatic, decodeInitStatic},         // -lh4-
    {decodeSymbolStatic, decodeDistanceStatic, decodeInitStatic},         // -lh5-
    {decodeSymbolStatic, decodeDistanceStatic, decodeInitStatic},         // -lh6-
    {decodeSymbolStatic, decodeDistanceStatic, decodeInitStatic},         // -lh7-
    {decodeSymbolLzs, decodeDistanceLzs, decodeInitLzs},                  // -lzs-
    {decodeSymbolLz5, decodeDistanceLz5, decodeInitLz5},                  // -lz5-
    {nullptr, nullptr, nullptr},                                          // -lz4- (stored)
    {nullptr, nullptr, nullptr},                                          // -lhd- (folder)
    {decodeSymbolStatic, decodeDistanceStatic, decodeInitStatic},         // -lhx-
};

#ifndef NIVO_COMPACT_DECODER
namespace {

// The wide form of each method family's stretch, with its operations inlined.
using Stretch = uint8_t* (*)(DecoderState&, uint8_t*, uint8_t*);
const Stretch wideStretch[methodCount] = {nullptr, decodeStretchLh1, decodeStretchLh2, decodeStretchLh3,
                                 decodeStretchStatic, decodeStretchStatic, decodeStretchStatic,
                                 decodeStretchStatic, decodeStretchLzs, decodeStretchLz5,
                                 nullptr, nullptr, decodeStretchStatic};

}  // namespace
#endif

bool FileSink::write(const uint8_t* data, uint32_t count) {
    return std::fwrite(data, 1, count, file) == count;
}

MemberDecoder::MemberDecoder(FILE* input, OutputSink& output, MemberSize original,
                             MemberSize compressed, int bits, int index)
    : inputStream(input),
      outputStream(output),
      originalSize(original),
      compressedSize(compressed),
      dictBits(bits),
      methodIndex(index),
      compact(compactDecoder) {
    std::memset(&state, 0, sizeof state);
}

void MemberDecoder::useMemoryInput(const uint8_t* data) {
    memoryInput = data;
    inputStream = nullptr;
}

bool MemberDecoder::allocateInputBuffer(MemberSize size) {
    DecoderState& s = state;
    s.inputPos = 0;
    s.inputEnd = 0;
    // (The Windows program always reads from the archive file.)
    if (!stubBuild && memoryInput) {
        s.inputBuffer = const_cast<uint8_t*>(memoryInput);
        s.inputBufferSize = static_cast<uint32_t>(size);
        s.inputEnd = static_cast<uint32_t>(size);
        return true;
    }
    // A bounded buffer, refilled as the decoder goes: memory does not grow with the member.
    // Never larger than the member, nor than what the file still holds, so that a header that
    // claims 4 GB in a small file allocates nothing large.
    uint32_t n = size < inputLimit ? static_cast<uint32_t>(size) : inputLimit;
    // A file that holds less than the member's data cuts the member short, whether or not the
    // decoder comes to read where the bytes are missing: how far it reads ahead depends on the
    // stretches it decodes, which differ between the run on one thread and the workers, and
    // the verdict must not. (The Windows program, on one thread, leaves it to the reads.)
    if (!stubBuild && inputLimit < size) state.truncated = true;
    if (n > inputBufferCapacity) n = inputBufferCapacity;
    uint64_t available = platform::freePhysicalMemory();
    if (available != 0 && available < n) n = static_cast<uint32_t>(available);
    if (n == 0) n = 1;
    s.inputBufferSize = n;
    s.inputBuffer = static_cast<uint8_t*>(std::malloc(s.inputBufferSize));
    if (!s.inputBuffer) {
        s.inputBufferSize = fallbackInputBufferSize;
        s.inputBuffer = static_cast<uint8_t*>(std::malloc(s.inputBufferSize));
        if (!s.inputBuffer) return false;
    }
    if (s.compressedLeft != 0) refillInput(s);
    return true;
}

void MemberDecoder::release() {
    std::free(window);
    window = nullptr;
    state.dictionary = nullptr;
    if (stubBuild || !memoryInput) std::free(state.inputBuffer);
    state.inputBuffer = nullptr;
}

// Writes the output area up to out, then keeps the dictionary's last bytes as the history.
bool MemberDecoder::flushArea(uint8_t* out, DecodeResult& result) {
    uint8_t* const area = window + dictionarySize;
    const auto count = static_cast<uint32_t>(out - area);
    if (count == 0) return true;
    result.crc = updateCrc(result.crc, area, count);
    result.bytesWritten += count;
    if (!outputStream.write(area, count)) return false;
    std::memmove(window, out - dictionarySize, dictionarySize);
    return true;
}

DecodeResult MemberDecoder::run() {
    DecodeResult result;
    DecoderState& s = state;
    // The Windows program hands over only members of the compressed methods, with their own
    // dictionary sizes: member extraction has copied, made or refused all others.
    if (!stubBuild && (methodIndex < 1 || methodIndex >= methodCount || dictBits < 1 || dictBits > static_cast<int>(maxDictBits) ||
                       !methodTable[methodIndex].decodeInit)) {
        result.status = DecodeStatus::unsupported;
        return result;
    }
    s.inputStream = inputStream;
    s.compressedLeft = compressedSize;
    s.dictBits = static_cast<uint16_t>(dictBits);
    dictionarySize = 1u << dictBits;
    areaSize = outputAreaSize(dictionarySize);
    s.dictionarySize = dictionarySize;
    window = static_cast<uint8_t*>(std::malloc(dictionarySize + areaSize + windowSlack));
    s.dictionary = window;
    if (!window || !allocateInputBuffer(compressedSize)) {
        result.status = DecodeStatus::noMemory;
    } else {
        std::memset(window, 0x20, dictionarySize);
        result.status = decodeSymbols(result);
    }
    result.truncated = s.truncated;
    release();
    return result;
}

// Symbol by symbol through the method table's operations.
uint8_t* MemberDecoder::decodeSymbolByStretch(const MethodOps& ops, uint8_t* out, uint8_t* const outLimit) {
    // A match code of 256 is the shortest match: 2 bytes for -lzs-, 3 for every other method.
    const uint32_t lengthOffset = methodIndex == methodLzs ? 254 : 253;
    if (compactForm())
        return decodeSymbolStretch<true>(state, ops.decodeSymbol, ops.decodeDistance, lengthOffset, out, outLimit);
    return decodeSymbolStretch<false>(state, ops.decodeSymbol, ops.decodeDistance, lengthOffset, out, outLimit);
}

DecodeStatus MemberDecoder::decodeSymbols(DecodeResult& result) {
    DecoderState& s = state;
    const MethodOps& ops = methodTable[methodIndex];
    ops.decodeInit(s);
    uint8_t* const area = window + dictionarySize;
    uint8_t* const areaEnd = area + areaSize;
    uint8_t* out = area;
    s.dictPos = 0;
    // Counted down, so that no count wraps, whatever the width of the sizes: the last match
    // may run past the original size.
    MemberSize left = originalSize;
    bool overran = false;

    while (left != 0) {
        // The stretch ends where the area does, at the original size, or where the bar moves.
        auto limit = static_cast<uint32_t>(areaEnd - out);
        if (left < limit) limit = static_cast<uint32_t>(left);
        const auto produced = static_cast<uint32_t>(originalSize - left);  // decodedCount
        const uint32_t toReport = progress.bytesBeforeReport(produced);
        if (toReport < limit) limit = toReport;
        uint8_t* const before = out;
        s.decodedCount = produced;
#ifndef NIVO_COMPACT_DECODER
        if (!compact && wideStretch[methodIndex])
            out = wideStretch[methodIndex](s, out, out + limit);
        else
#endif
            out = decodeSymbolByStretch(ops, out, out + limit);
        const auto stretch = static_cast<uint32_t>(out - before);
        s.decodedCount = produced + stretch;
        overran = stretch > left;
        left = overran ? 0 : left - stretch;
        if (s.damaged || readFarPastEnd(s)) {
            // What came before the damage still goes out; the member itself has failed.
            flushArea(out, result);
            return DecodeStatus::damaged;
        }
        if (out >= areaEnd) {
            if (!flushArea(out, result)) return DecodeStatus::writeFailed;
            out = area;
        }
        progress.report(s.decodedCount);
        if (progress.aborted()) return DecodeStatus::aborted;
    }
    result.overran = overran;
    if (!flushArea(out, result)) return DecodeStatus::writeFailed;
    return DecodeStatus::complete;
}

DecodeResult decodeMemberData(const uint8_t* data, uint32_t compressedSize, int methodIndex,
                              MemberSize originalSize, OutputSink& out,
                              const ProgressReporter& progress, bool compact) {
    if (methodIndex == methodStored || methodIndex == methodLz4) {
        DecodeResult result;
        uint32_t n = originalSize <= compressedSize ? static_cast<uint32_t>(originalSize) : compressedSize;
        if (n < originalSize) {
            result.truncated = true;
            result.status = DecodeStatus::damaged;
        }
        result.crc = updateCrc(0, data, n);
        result.bytesWritten = n;
        if (n && !out.write(data, n)) result.status = DecodeStatus::writeFailed;
        ProgressReporter reporter = progress;
        reporter.report(n);
        return result;
    }
    MemberDecoder decoder(nullptr, out, originalSize, compressedSize, dictBitsOf(methodIndex),
                          methodIndex);
    decoder.useMemoryInput(data);
    decoder.setProgress(progress);
    decoder.setCompact(compact);
    return decoder.run();
}

}  // namespace nivo
