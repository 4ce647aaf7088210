// The static Huffman compressor (-lh4- to -lh7-): the segments of a member, each compressed
// by an Encoder (static_encoder.h) on its own, joined into one bit stream.
#include "tools/lzh_encoder.h"

#include "common/crc16.h"
#include "lzh/member_header.h"
#include "tools/static_encoder.h"

namespace nivo {

namespace {

using encoding::Encoder;
using encoding::Workspace;

thread_local Workspace workspace;

}  // namespace

uint32_t encoderWindow(int methodIndex) {
    if (methodIndex < 0 || methodIndex >= methodCount) return 0;
    const MethodFacts& m = methodFacts[methodIndex];
    return m.family == MethodFamily::staticHuffman && m.dictBits <= encoding::maxWindowBits ? 1u << m.dictBits : 0;
}

bool compressSegment(int methodIndex, const uint8_t* bytes, size_t historyBytes, size_t length,
                     BitChunk& out, const EncoderOptions& options) {
    out.bytes.clear();
    out.bitCount = 0;
    const uint32_t window = encoderWindow(methodIndex);
    if (window == 0 || length > UINT32_MAX - window) return false;
    const size_t history = std::min<size_t>(historyBytes, window);
    out.bytes.reserve(length / 2 + 64);
    Encoder e(methodIndex, bytes + historyBytes - history, static_cast<uint32_t>(history),
              static_cast<uint32_t>(length), options, workspace, out.bytes);
    e.run();
    out.bitCount = e.bitCount();
    return true;
}

void BitJoiner::append(const BitChunk& chunk, std::vector<uint8_t>& out) {
    const size_t whole = static_cast<size_t>(chunk.bitCount / 8);
    const uint32_t rest = static_cast<uint32_t>(chunk.bitCount % 8);
    if (count == 0) {
        out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.begin() + static_cast<std::ptrdiff_t>(whole));
    } else {
        for (size_t i = 0; i < whole; ++i) {
            acc = acc << 8 | chunk.bytes[i];
            out.push_back(static_cast<uint8_t>(acc >> count));
        }
    }
    if (rest) {
        acc = acc << rest | static_cast<uint32_t>(chunk.bytes[whole] >> (8 - rest));
        count += rest;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(acc >> count));
        }
    }
    acc &= (1u << count) - 1;
}

void BitJoiner::finish(std::vector<uint8_t>& out) {
    if (count) out.push_back(static_cast<uint8_t>(acc << (8 - count)));
    acc = count = 0;
}

bool compressStaticHuffman(int methodIndex, const uint8_t* bytes, size_t size,
                           std::vector<uint8_t>& out, const EncoderOptions& options) {
    out.clear();
    if (encoderWindow(methodIndex) == 0 || size > UINT32_MAX) return false;
    const size_t segment = std::max<uint32_t>(options.segmentBytes, 1);
    BitJoiner joiner;
    BitChunk chunk;
    for (size_t at = 0; at < size; at += segment) {
        compressSegment(methodIndex, bytes, at, std::min(segment, size - at), chunk, options);
        joiner.append(chunk, out);
    }
    joiner.finish(out);
    return true;
}

std::optional<LzhMember> compressMember(int methodIndex, const std::string& name,
                                        const std::vector<uint8_t>& bytes, uint32_t unixTime,
                                        int level, const EncoderOptions& options) {
    if (bytes.size() > UINT32_MAX) return std::nullopt;
    std::vector<uint8_t> packed;
    if (methodIndex != methodStored && !compressStaticHuffman(methodIndex, bytes.data(), bytes.size(), packed, options))
        return std::nullopt;
    makeCrcTable();
    LzhMember m;
    m.name = name;
    m.originalSize = static_cast<uint32_t>(bytes.size());
    m.crc = updateCrc(0, bytes.data(), m.originalSize);
    m.unixTime = unixTime;
    m.level = level;
    if (methodIndex != methodStored && packed.size() < bytes.size()) {
        m.method = methodIdOf(methodIndex).text;
        m.data = std::move(packed);
    } else {
        m.method = methodIdOf(methodStored).text;
        m.data = bytes;
    }
    return m;
}

}  // namespace nivo
