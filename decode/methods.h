// The method operations that the method table plugs into the dictionary loop, one family per
// source file.
#pragma once

#include <cstdint>

#include "decode/decoder_state.h"

namespace nivo {

// -lh4- to -lh7- and -lhx- (static_huffman.cpp). The dictionary loop hands a whole stretch of
// output to decodeStretchStatic: it decodes symbols into the output window from out until out
// reaches outLimit (a match may run past it), reading block headers as they come, and returns
// the new end. Damage sets DecoderState::damaged and ends the stretch early. The compact form
// is the same loop with every code through the checking reader and byte-wise copies.
void decodeInitStatic(DecoderState& s);
template <bool compact>
uint8_t* decodeStretchStatic(DecoderState& s, uint8_t* out, uint8_t* outLimit);
uint16_t decodeSymbolStatic(DecoderState& s);
uint32_t decodeDistanceStatic(DecoderState& s);
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
