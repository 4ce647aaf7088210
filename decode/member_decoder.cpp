// The loop that every compressed method shares. The dictionary is also the output buffer: it
// is written out whole whenever it fills, and once more at the end. A new member starts from a
// dictionary of spaces.
#include "decode/member_decoder.h"

#include <cstdlib>
#include <cstring>

#include "decode/crc16.h"
#include "archive/member_header.h"
#include "decode/methods.h"
#include "platform/platform.h"

namespace nivo {

const MethodOps methodTable[10] = {
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
};

int dictBitsForMethod(int methodIndex) {
    static const uint8_t bits[12] = {0, 12, 13, 13, 12, 13, 15, 16, 11, 12, 0, 0};
    return methodIndex >= 0 && methodIndex < 12 ? bits[methodIndex] : 0;
}

bool FileSink::write(const uint8_t* data, uint32_t count) {
    return std::fwrite(data, 1, count, file) == count;
}

void ProgressReporter::reportProgress(uint32_t d) {
    RunValues& r = *run;
    r.nextReportAt = UINT32_MAX;
    if (r.totalBytes == 0) return;
    // The position as a bar of 0 to 100 shows it. The two formulas keep the multiplication
    // away from large totals and the division away from a divisor of 0. Beside it, the
    // smallest byte count at which the position moves on, so that the reports in between
    // cost one comparison.
    uint32_t x = r.bytesDone + d;
    uint32_t position;
    if (r.totalBytes <= 1000) {
        position = x * 100 / r.totalBytes;
        // Counts near the total (the only ones a run produces) cannot overflow here.
        r.nextReportAt = x < 0x01000000 ? ((position + 1) * r.totalBytes + 99) / 100 : x + 1;
    } else {
        uint32_t divisor = r.totalBytes / 100;
        position = x / divisor;
        uint32_t next = x - x % divisor + divisor;
        if (next > x) r.nextReportAt = next;
    }
    if (position != r.lastPercent) {
        r.lastPercent = position;
        if (frontEnd) frontEnd->progressPosition(position);
    }
}

void fillBitBuffer(DecoderState& s) {
    if (s.compressedLeft >= 8 && s.inputEnd - s.inputPos >= 8) {
        // Eight bytes at once; the bits of the partial last byte land below bitCount and are
        // the true next bits, so the next refill ORs the same values over them.
        const uint8_t* p = s.inputBuffer + s.inputPos;
        uint64_t v = static_cast<uint64_t>(p[0]) << 56 | static_cast<uint64_t>(p[1]) << 48 |
                     static_cast<uint64_t>(p[2]) << 40 | static_cast<uint64_t>(p[3]) << 32 |
                     static_cast<uint64_t>(p[4]) << 24 | static_cast<uint64_t>(p[5]) << 16 |
                     static_cast<uint64_t>(p[6]) << 8 | static_cast<uint64_t>(p[7]);
        s.bitBuffer |= v >> s.bitCount;
        uint32_t bytes = (63 - s.bitCount) >> 3;
        s.inputPos += bytes;
        s.compressedLeft -= bytes;
        s.bitCount += bytes * 8;
        return;
    }
    while (s.bitCount <= 56) {
        s.bitBuffer |= static_cast<uint64_t>(readInputByte(s)) << (56 - s.bitCount);
        s.bitCount += 8;
    }
}

bool refillInput(DecoderState& s) {
    if (s.compressedLeft == 0 || !s.inputStream) {
        if (s.compressedLeft != 0) s.truncated = true;
        s.compressedLeft = 0;
        ++s.padBytes;
        return false;
    }
    uint32_t n = s.compressedLeft < s.inputBufferSize ? static_cast<uint32_t>(s.compressedLeft) : s.inputBufferSize;
    size_t got = std::fread(s.inputBuffer, 1, n, s.inputStream);
    if (got < n) {
        // The file ends inside the member. What it holds are the member's last bytes; the rest
        // comes as the zeros past the member's end, which are counted, so that a decoder
        // running on them far beyond the data ends the member as damaged instead of producing
        // whatever size the header claims.
        s.truncated = true;
        s.compressedLeft = static_cast<uint32_t>(got);
        if (got == 0) {
            ++s.padBytes;
            return false;
        }
        n = static_cast<uint32_t>(got);
    }
    s.inputPos = 0;
    s.inputEnd = n;
    return true;
}

MemberDecoder::MemberDecoder(FILE* input, OutputSink& output, MemberSize original,
                             MemberSize compressed, int bits, int index)
    : inputStream(input),
      outputStream(output),
      originalSize(original),
      compressedSize(compressed),
      dictBits(bits),
      methodIndex(index) {
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
    if (memoryInput) {
        s.inputBuffer = const_cast<uint8_t*>(memoryInput);
        s.inputBufferSize = static_cast<uint32_t>(size);
        s.inputEnd = static_cast<uint32_t>(size);
        return true;
    }
    // The whole member in one block where memory allows, but never more than the file holds:
    // a header that claims 4 GB in a small file must not allocate 4 GB.
    uint32_t n = size < inputLimit ? static_cast<uint32_t>(size) : inputLimit;
    uint64_t available = platform::freePhysicalMemory();
    if (available != 0 && available < n) n = static_cast<uint32_t>(available);
    if (n == 0) n = 1;
    s.inputBufferSize = n;
    s.inputBuffer = static_cast<uint8_t*>(std::malloc(s.inputBufferSize));
    if (!s.inputBuffer) {
        s.inputBufferSize = 16384;
        s.inputBuffer = static_cast<uint8_t*>(std::malloc(s.inputBufferSize));
        if (!s.inputBuffer) return false;
    }
    if (s.compressedLeft != 0) refillInput(s);
    return true;
}

void MemberDecoder::release() {
    std::free(state.dictionary);
    state.dictionary = nullptr;
    if (!memoryInput) std::free(state.inputBuffer);
    state.inputBuffer = nullptr;
}

bool MemberDecoder::flushDictionary(uint32_t count, DecodeResult& result) {
    result.crc = updateCrc(result.crc, state.dictionary, count);
    result.bytesWritten += count;
    return outputStream.write(state.dictionary, count);
}

DecodeResult MemberDecoder::run() {
    DecodeResult result;
    DecoderState& s = state;
    if (methodIndex < 1 || methodIndex > 9 || dictBits < 1 || dictBits > 16) {
        result.status = DecodeStatus::unsupported;
        return result;
    }
    s.inputStream = inputStream;
    s.compressedLeft = compressedSize;
    s.dictBits = static_cast<uint16_t>(dictBits);
    dictionarySize = 1u << dictBits;
    s.dictionarySize = dictionarySize;
    s.dictionary = static_cast<uint8_t*>(std::malloc(dictionarySize));
    if (!s.dictionary || !allocateInputBuffer(compressedSize)) {
        result.status = DecodeStatus::noMemory;
    } else {
        std::memset(s.dictionary, 0x20, dictionarySize);
        result.status = decodeSymbols(result);
    }
    result.truncated = s.truncated;
    release();
    return result;
}

DecodeStatus MemberDecoder::decodeSymbols(DecodeResult& result) {
    DecoderState& s = state;
    const MethodOps ops = methodTable[methodIndex];
    ops.decodeInit(s);
    uint8_t* const dict = s.dictionary;
    const uint32_t size = dictionarySize;
    const uint32_t mask = size - 1;
    const uint32_t lengthOffset = methodIndex == 8 ? 254 : 253;
    s.decodedCount = 0;
    s.dictPos = 0;
    uint64_t produced = 0;  // decodedCount without the 32-bit wrap

    while (produced < originalSize) {
        uint32_t code = ops.decodeSymbol(s);
        uint32_t length = 1;
        if (code <= 255) {
            dict[s.dictPos++] = static_cast<uint8_t>(code);
        } else {
            length = code - lengthOffset;
            uint32_t d = ops.decodeDistance(s);
            uint32_t src = (s.dictPos - d - 1) & mask;
            uint32_t dst = s.dictPos;
            if (src + length <= size && dst + length <= size) {
                // Neither side wraps. Without overlap the copy is one block; with it, byte by
                // byte, so that a short distance repeats what it has just written.
                if (src + length <= dst || dst + length <= src) {
                    std::memcpy(dict + dst, dict + src, length);
                } else {
                    for (uint32_t i = 0; i < length; ++i) dict[dst + i] = dict[src + i];
                }
                s.dictPos = dst + length;
            } else {
                // Source and destination wrap at the end of the dictionary independently; a
                // full dictionary is written out in the middle of the match.
                for (uint32_t i = 0; i < length; ++i) {
                    dict[s.dictPos] = dict[(src + i) & mask];
                    if (++s.dictPos == size) {
                        if (!flushDictionary(size, result)) return DecodeStatus::writeFailed;
                        s.dictPos = 0;
                    }
                }
            }
        }
        if (s.dictPos == size) {
            if (!flushDictionary(size, result)) return DecodeStatus::writeFailed;
            s.dictPos = 0;
        }
        produced += length;
        s.decodedCount = static_cast<uint32_t>(produced);
        if (s.damaged || readFarPastEnd(s)) {
            // What came before the damage still goes out; the member itself has failed.
            if (s.dictPos) flushDictionary(s.dictPos, result);
            return DecodeStatus::damaged;
        }
        progress.report(s.decodedCount);
        if (progress.aborted()) return DecodeStatus::aborted;
    }
    result.overran = produced > originalSize;
    if (s.dictPos != 0 && !flushDictionary(s.dictPos, result)) return DecodeStatus::writeFailed;
    return DecodeStatus::complete;
}

DecodeResult storedCopy(FILE* input, OutputSink* out, MemberSize count, const ProgressReporter& progress) {
    DecodeResult result;
    uint8_t* block = static_cast<uint8_t*>(std::malloc(2048));
    if (!block) {
        result.status = DecodeStatus::noMemory;
        return result;
    }
    MemberSize copied = 0;
    ProgressReporter reporter = progress;
    while (copied < count) {
        uint32_t n = count - copied < 2048 ? static_cast<uint32_t>(count - copied) : 2048;
        size_t got = input ? std::fread(block, 1, n, input) : 0;
        if (got < n) {
            // The archive ends inside the member. What is missing is not invented: the member
            // has failed.
            result.truncated = true;
            result.status = DecodeStatus::damaged;
            break;
        }
        if (out && !out->write(block, n)) {
            result.status = DecodeStatus::writeFailed;
            break;
        }
        result.crc = updateCrc(result.crc, block, n);
        copied += n;
        result.bytesWritten = copied;
        reporter.report(static_cast<uint32_t>(copied));
        if (reporter.aborted()) {
            result.status = DecodeStatus::aborted;
            break;
        }
    }
    std::free(block);
    return result;
}

DecodeResult decodeMemberData(const uint8_t* data, uint32_t compressedSize, int methodIndex,
                              MemberSize originalSize, OutputSink& out,
                              const ProgressReporter& progress) {
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
    MemberDecoder decoder(nullptr, out, originalSize, compressedSize, dictBitsForMethod(methodIndex),
                          methodIndex);
    decoder.useMemoryInput(data);
    decoder.setProgress(progress);
    return decoder.run();
}

}  // namespace nivo
