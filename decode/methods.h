// The method operations that the method table plugs into the dictionary loop, one family per
// source file.
#pragma once

#include <cstdint>

#include "decode/decoder_state.h"

namespace nivo {

// Canonical Huffman tables: a direct table of 2^tableBits entries for the short codes, and tree
// links in treeLeft/treeRight for the longer ones, node numbers from alphabetSize upwards.
// Lengths above 16 or lengths that over-fill the code space are refused (false) and leave
// nothing out of bounds. A list of lengths that are all 0 leaves the table as it was.
bool buildTable(StaticHuffmanState& h, int alphabetSize, const uint8_t* lengths, int tableBits,
                uint16_t* table);

// -lh4- to -lh7- (static_huffman.cpp).
void decodeInitStatic(DecoderState& s);
uint16_t decodeSymbolStatic(DecoderState& s);
uint16_t decodeDistanceStatic(DecoderState& s);
void readPosLengths(DecoderState& s, int alphabetSize, int countWidth, int insertionIndex);
void readSymLengths(DecoderState& s);

// -lh1- and -lh2- (adaptive_huffman.cpp).
void decodeInitDynamic(DecoderState& s);
uint16_t decodeSymbolDynamic(DecoderState& s);
uint16_t decodeDistanceDynamic(DecoderState& s);
void startSymbolTree(DecoderState& s);
void updateSymbol(DecoderState& s, uint32_t symbol);
void updatePosition(DecoderState& s, uint32_t positionCode);
void addPositionLeaf(DecoderState& s, uint32_t positionCode);
int incrementNode(DecoderState& s, int node);
void rebuildTree(DecoderState& s, int start, int end);

// -lh3- and the fixed position code of -lh1- (lh3_fixed.cpp).
void decodeInitFixed(DecoderState& s);
void decodeInitLh3(DecoderState& s);
uint16_t decodeSymbolLh3(DecoderState& s);
uint16_t decodeDistanceTable(DecoderState& s);
void setReadyMadeLengths(DecoderState& s, int row);
void readSymTreeLh3(DecoderState& s);
void readPosTreeLh3(DecoderState& s);

// -lzs- and -lz5- (lzs_lz5.cpp).
void decodeInitLzs(DecoderState& s);
uint16_t decodeSymbolLzs(DecoderState& s);
uint16_t decodeDistanceLzs(DecoderState& s);
void decodeInitLz5(DecoderState& s);
uint16_t decodeSymbolLz5(DecoderState& s);
uint16_t decodeDistanceLz5(DecoderState& s);

}  // namespace nivo
