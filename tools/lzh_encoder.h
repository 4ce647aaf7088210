// The compressor for the static Huffman methods -lh4- to -lh7-: LZ77 over the method's window
// with hash chains and one-step lazy matching, written as blocks of canonical Huffman codes in
// exactly the layout that decode/static_huffman.cpp reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/lzh_writer.h"

namespace nivo {

struct EncoderOptions {
    // Symbols per block, 1 to 65535. Smaller blocks adapt their codes faster but pay for more
    // headers; tests use tiny ones to cross many block boundaries cheaply.
    uint32_t maxBlockSymbols = 65535;
    // Hash-chain candidates tried per position: the trade between speed and compression.
    uint32_t maxChain = 128;
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
