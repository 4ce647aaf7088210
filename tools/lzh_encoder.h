// The compressor for the static Huffman methods -lh4- to -lh7-: LZ77 over the method's window,
// written as blocks of canonical Huffman codes in exactly the layout that
// decode/static_huffman.cpp reads.
//
// Levels 1 to 9 trade speed for size. Levels 1 to 5 parse greedily or with one-step lazy
// matching over hash chains; levels 6 to 9 find matches with a binary tree and parse
// near-optimally: each stretch of input is parsed as a shortest path whose prices come from the
// code lengths of the previous parse, a few times over, and blocks end where that saves bits.
//
// The data is cut into segments that are compressed independently, each with the window of
// bytes before it for its matches, and whose bit streams are joined in order. Segments can be
// compressed on several threads and give the same bytes as a serial run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/lzh_writer.h"

namespace nivo {

constexpr int minLevel = 1;
constexpr int maxLevel = 9;
constexpr int defaultLevel = 5;

struct EncoderOptions {
    int level = defaultLevel;  // 1 to 9; values outside are clamped
    // Symbols per block, 1 to 65535. Smaller blocks adapt their codes faster but pay for more
    // headers; tests use tiny ones to cross many block boundaries cheaply.
    uint32_t maxBlockSymbols = 65535;
    // Bytes per independently compressed segment.
    uint32_t segmentBytes = 1u << 20;
};

// A bit stream: bitCount bits, most significant bit of each byte first; the last byte is
// padded with zero bits.
struct BitChunk {
    std::vector<uint8_t> bytes;
    uint64_t bitCount = 0;
};

// The window of a static Huffman method (4 to 7), or 0 for another method.
uint32_t encoderWindow(int methodIndex);

// Compresses the segment bytes[historyBytes, historyBytes + length) with the method (4 to 7);
// the historyBytes before it (at most the window is used) are earlier data of the same member
// that matches may reach. False for another method index.
bool compressSegment(int methodIndex, const uint8_t* bytes, size_t historyBytes, size_t length,
                     BitChunk& out, const EncoderOptions& options = {});

// Joins bit streams in order into whole bytes.
class BitJoiner {
public:
    // Appends the chunk's bits; complete bytes go to out.
    void append(const BitChunk& chunk, std::vector<uint8_t>& out);
    // Pads the last partial byte with zero bits and appends it.
    void finish(std::vector<uint8_t>& out);

private:
    uint32_t acc = 0;    // pending bits, in the low bits
    uint32_t count = 0;  // how many, below 8
};

// The compressed data of bytes in the static Huffman method with that index (4 to 7), whatever
// its size against the original. False for another method index or more than 4 GB - 1 bytes.
bool compressStaticHuffman(int methodIndex, const uint8_t* bytes, size_t size,
                           std::vector<uint8_t>& out, const EncoderOptions& options = {});

// A member of the bytes: compressed with the method (index 4 to 7), or stored (-lh0-) when the
// method is 0 or compression does not make the data smaller. None for the methods this writer
// does not produce, or for more than 4 GB - 1 bytes.
std::optional<LzhMember> compressMember(int methodIndex, const std::string& name,
                                        const std::vector<uint8_t>& bytes, uint32_t unixTime,
                                        int level = 2, const EncoderOptions& options = {});

// Huffman code lengths for n symbols with the given frequencies, none longer than maxBits
// (at most 16). Symbols of frequency 0 get length 0; a single used symbol gets length 1. With
// two or more used symbols the lengths form a complete prefix code.
void limitedHuffmanLengths(const uint32_t* freq, size_t n, uint32_t maxBits, uint8_t* lengths);

}  // namespace nivo
