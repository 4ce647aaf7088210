// The sliding-dictionary decoder that every compressed method shares, the method table that
// plugs a method's three operations into it, and the one entry point that extraction, tests
// and the benchmark use to turn a member's data into bytes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "decode/decoder_state.h"
#include "decode/run_values.h"
#include "lzh/method_facts.h"

namespace nivo {

// Where decoded bytes go. write returns false when the bytes could not all be written.
class OutputSink {
public:
    virtual bool write(const uint8_t* data, uint32_t count) = 0;

protected:
    ~OutputSink() = default;
};

class FileSink final : public OutputSink {
public:
    explicit FileSink(FILE* f) : file(f) {}
    bool write(const uint8_t* data, uint32_t count) override;

private:
    FILE* file;
};

// A method's three operations. decodeSymbol returns 0 to 255 for a literal, 256 and more for a
// match of length code - 253 (-lzs-: code - 254); decodeDistance then returns d, the match
// starting d + 1 bytes behind the next byte to be written. A method that meets malformed data
// sets DecoderState::damaged. (The wide form of the loop runs the static Huffman methods a
// stretch at a time instead; see decodeStretchStatic.)
struct MethodOps {
    uint16_t (*decodeSymbol)(DecoderState&);
    uint32_t (*decodeDistance)(DecoderState&);
    void (*decodeInit)(DecoderState&);
};

// Indexed by method index (lzh/method_facts.h); the stored methods and folders are empty.
extern const MethodOps methodTable[methodCount];

enum class DecodeStatus : uint8_t {
    complete,     // decoded to the original size
    aborted,      // keepRunning was cleared
    damaged,      // malformed compressed data; decoding stopped
    noMemory,     // the dictionary or the input buffer could not be allocated
    writeFailed,  // the output sink refused bytes
    unsupported,  // no decoder for this method index
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::complete;
    uint16_t crc = 0;             // CRC-16 of every byte written
    MemberSize bytesWritten = 0;
    bool truncated = false;       // the input ended before the compressed size
    bool overran = false;         // the last match ran past the original size
};

class MemberDecoder {
public:
    MemberDecoder(FILE* inputStream, OutputSink& outputStream, MemberSize originalSize,
                  MemberSize compressedSize, int dictBits, int methodIndex);

    // Input from memory instead of a stream: the member's compressed bytes.
    void useMemoryInput(const uint8_t* data);
    void setProgress(const ProgressReporter& reporter) { progress = reporter; }
    // Cap for the input buffer, normally the bytes that remain in the archive file.
    void setInputLimit(uint32_t bytes) { inputLimit = bytes; }
    // The compact form of the loop, which the Windows program is built with: every method
    // symbol by symbol, matches copied byte by byte. The tests run both forms against each other.
    void setCompact(bool on) { compact = on; }

    DecodeResult run();
    // Sizes and allocates the input buffer (a bounded buffer of at most size bytes, refilled as
    // the decoder goes) and fills it once.
    bool allocateInputBuffer(MemberSize size);

    DecoderState state;

private:
    DecodeStatus decodeSymbols(DecodeResult& result);
    uint8_t* decodeSymbolByStretch(const MethodOps& ops, uint8_t* out, uint8_t* outLimit);
    bool flushArea(uint8_t* out, DecodeResult& result);
    void release();
    bool compactForm() const { return compactDecoder || compact; }

    uint32_t dictionarySize = 0;
    uint8_t* window = nullptr;  // history, output area and slack (output_window.h)
    uint32_t areaSize = 0;
    FILE* inputStream;
    OutputSink& outputStream;
    MemberSize originalSize;
    MemberSize compressedSize;
    int dictBits;
    int methodIndex;
    const uint8_t* memoryInput = nullptr;
    uint32_t inputLimit = UINT32_MAX;
    bool compact;
    ProgressReporter progress;
};

// The one entry point: a member's compressed bytes (in memory), its method index and original
// size in; the bytes written to out and the CRC out. Stored methods are copied.
DecodeResult decodeMemberData(const uint8_t* data, uint32_t compressedSize, int methodIndex,
                              MemberSize originalSize, OutputSink& out,
                              const ProgressReporter& progress = {}, bool compact = compactDecoder);

}  // namespace nivo
