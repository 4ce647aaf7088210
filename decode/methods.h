// The method operations that the method table plugs into the dictionary loop, one family per
// source file.
#pragma once

#include <cstdint>

#include "decode/decoder_state.h"

namespace nivo {

// -lh4- to -lh7- and -lhx- (static_huffman.cpp). Symbol by symbol through the method table, as
// every method; or, in the wide form of the loop, a whole stretch at a time: decodeStretchStatic
// decodes symbols into the output window from out until out reaches outLimit (a match may run
// past it), reading block headers as they come, and returns the new end. Damage sets
// DecoderState::damaged and ends the stretch early.
void decodeInitStatic(DecoderState& s);
uint8_t* decodeStretchStatic(DecoderState& s, uint8_t* out, uint8_t* outLimit);
uint16_t decodeSymbolStatic(DecoderState& s);
uint32_t decodeDistanceStatic(DecoderState& s);
void readPosLengths(DecoderState& s, int alphabetSize, int countWidth, int insertionIndex);
void readSymLengths(DecoderState& s);
#ifndef NIVO_COMPACT_DECODER
// The wide form runs the static Huffman loop in one of two builds: the portable one, or the
// one for processors with BMI2 where this processor has it (chosen at start). Both give the
// same bytes; the tests run each against the other.
bool processorHasBmi2();
extern bool staticLoopBmi2;
#endif

// The wide form's stretches of the other families: each family's fast loop over the buffered
// input, and the method operations where it stops (decodeStretchWide, symbol_loop.h).
uint8_t* decodeStretchLh1(DecoderState& s, uint8_t* out, uint8_t* outLimit);
uint8_t* decodeStretchLh2(DecoderState& s, uint8_t* out, uint8_t* outLimit);
uint8_t* decodeStretchLh3(DecoderState& s, uint8_t* out, uint8_t* outLimit);
uint8_t* decodeStretchLzs(DecoderState& s, uint8_t* out, uint8_t* outLimit);
uint8_t* decodeStretchLz5(DecoderState& s, uint8_t* out, uint8_t* outLimit);

// -lh1- and -lh2- (adaptive_huffman.cpp).
void decodeInitDynamic(DecoderState& s);
uint16_t decodeSymbolDynamic(DecoderState& s);
uint32_t decodeDistanceDynamic(DecoderState& s);
void startSymbolTree(DecoderState& s);
void updateSymbol(DecoderState& s, uint32_t symbol);
void updatePosition(DecoderState& s, uint32_t positionCode);
void addPositionLeaf(DecoderState& s, uint32_t positionCode);
void rebuildTree(DecoderState& s, int start, int end);

// -lh3- and the fixed position code of -lh1- (lh3_fixed.cpp).
void decodeInitFixed(DecoderState& s);
void decodeInitLh3(DecoderState& s);
uint16_t decodeSymbolLh3(DecoderState& s);
uint32_t decodeDistanceTable(DecoderState& s);
void setReadyMadeLengths(DecoderState& s, int row);
void readSymTreeLh3(DecoderState& s);
void readPosTreeLh3(DecoderState& s);

// -lzs- and -lz5- (lzs_lz5.cpp).
void decodeInitLzs(DecoderState& s);
uint16_t decodeSymbolLzs(DecoderState& s);
uint32_t decodeDistanceLzs(DecoderState& s);
void decodeInitLz5(DecoderState& s);
uint16_t decodeSymbolLz5(DecoderState& s);
uint32_t decodeDistanceLz5(DecoderState& s);

}  // namespace nivo
