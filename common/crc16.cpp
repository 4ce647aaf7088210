#include "common/crc16.h"

#if defined(__x86_64__) && !defined(NIVO_COMPACT_DECODER)
#include <immintrin.h>
#endif

namespace nivo {

namespace {

constexpr uint16_t crcOfByte(uint32_t i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
    return static_cast<uint16_t>(r);
}

}  // namespace

#ifdef NIVO_COMPACT_DECODER

uint16_t crcTable[256];

void makeCrcTable() {
    for (uint32_t i = 0; i < 256; ++i) crcTable[i] = crcOfByte(i);
}

uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    for (; count; --count, ++bytes) crc = static_cast<uint16_t>(crcTable[(crc ^ *bytes) & 0xFF] ^ (crc >> 8));
    return crc;
}

#else

namespace {

// slice[k][i]: the CRC of byte i followed by k zero bytes. Sixteen bytes are then folded in
// with sixteen independent look-ups instead of a chain of sixteen.
struct CrcSlices {
    uint16_t slice[16][256];
};

constexpr CrcSlices makeSlices() {
    CrcSlices t{};
    for (uint32_t i = 0; i < 256; ++i) t.slice[0][i] = crcOfByte(i);
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = t.slice[0][i];
        for (int k = 1; k < 16; ++k) {
            c = static_cast<uint16_t>(t.slice[0][c & 0xFF] ^ (c >> 8));
            t.slice[k][i] = c;
        }
    }
    return t;
}

alignas(64) constexpr CrcSlices crcSlices = makeSlices();

uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

const uint16_t* const crcTable = crcSlices.slice[0];

void makeCrcTable() {}

namespace {

uint16_t updateCrcBySlices(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    const auto& t = crcSlices.slice;
    for (; count >= 16; count -= 16, bytes += 16) {
        const uint32_t a = load32(bytes) ^ crc;
        const uint32_t b = load32(bytes + 4);
        const uint32_t c = load32(bytes + 8);
        const uint32_t d = load32(bytes + 12);
        crc = static_cast<uint16_t>(
            t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
            t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
            t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
            t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24]);
    }
    for (; count; --count, ++bytes) crc = static_cast<uint16_t>(t[0][(crc ^ *bytes) & 0xFF] ^ (crc >> 8));
    return crc;
}

#if defined(__x86_64__)
// Carry-less multiplication, where the processor has it: 16 bytes at a time are folded into a
// 128-bit remainder that leaves the CRC unchanged, and the last 16 go through the tables.
//
// The CRC of a message M is M(x) * x^16 mod P(x), P = x^16 + x^15 + x^2 + 1, with the first
// bit of the first byte the highest power. Loaded little-endian into a 128-bit register, bit i
// stands for x^(127-i): the low 64 bits are the high half H of the polynomial, the high 64 bits
// the low half L. Folding a block 128*k bits ahead replaces H*x^(64+128k) + L*x^(128k) by
// H*(x^(64+128k) mod P) + L*(x^(128k) mod P), a polynomial of fewer than 80 bits that has the
// same remainder. A carry-less product of two such bit-reversed 64-bit values comes out one bit
// short of that convention, so the constants are taken one power lower.

// x^n mod P, in the register's order for a 64-bit lane: x^j at bit 63-j.
constexpr uint64_t powerModP(uint32_t n) {
    uint32_t r = 1;  // x^0, in plain order: x^j at bit j
    for (uint32_t i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x10000) r ^= 0x18005;
    }
    uint64_t reversed = 0;
    for (uint32_t j = 0; j < 16; ++j)
        if (r & (1u << j)) reversed |= 1ull << (63 - j);
    return reversed;
}

// The constants for folding a remainder 128 and 512 bits ahead: {for H, for L}.
alignas(16) constexpr uint64_t fold128[2] = {powerModP(128 + 64 - 1), powerModP(128 - 1)};
alignas(16) constexpr uint64_t fold512[2] = {powerModP(512 + 64 - 1), powerModP(512 - 1)};

[[gnu::target("pclmul,sse2")]] inline __m128i foldAhead(__m128i r, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(r, constants, 0x00), _mm_clmulepi64_si128(r, constants, 0x11));
}

[[gnu::target("pclmul,sse2")]] uint16_t updateCrcByFolding(uint16_t crc, const uint8_t* bytes, uint32_t count) {
    if (count < 32) return updateCrcBySlices(crc, bytes, count);
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(fold128));
    // The running CRC goes over the first two bytes, as the byte-wise update would fold it in.
    __m128i r = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(crc));
    bytes += 16;
    count -= 16;
    if (count >= 48) {
        // Four remainders side by side, each 512 bits ahead of its next block.
        const __m128i k512 = _mm_load_si128(reinterpret_cast<const __m128i*>(fold512));
        __m128i r1 = load(bytes), r2 = load(bytes + 16), r3 = load(bytes + 32);
        bytes += 48;
        count -= 48;
        for (; count >= 64; count -= 64, bytes += 64) {
            r = _mm_xor_si128(foldAhead(r, k512), load(bytes));
            r1 = _mm_xor_si128(foldAhead(r1, k512), load(bytes + 16));
            r2 = _mm_xor_si128(foldAhead(r2, k512), load(bytes + 32));
            r3 = _mm_xor_si128(foldAhead(r3, k512), load(bytes + 48));
        }
        r = _mm_xor_si128(foldAhead(r, k128), r1);
        r = _mm_xor_si128(foldAhead(r, k128), r2);
        r = _mm_xor_si128(foldAhead(r, k128), r3);
    }
    for (; count >= 16; count -= 16, bytes += 16) r = _mm_xor_si128(foldAhead(r, k128), load(bytes));
    alignas(16) uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), r);
    return updateCrcBySlices(updateCrcBySlices(0, rest, 16), bytes, count);
}

// The same folding four times as wide, where the processor multiplies in 512-bit registers
// (VPCLMULQDQ with AVX-512): each 128-bit lane of four registers folds 2048 bits ahead, 256
// bytes a step; the registers are then folded into one, its lanes into the last, and the rest
// goes the 16-byte way.
alignas(64) constexpr uint64_t fold2048[8] = {powerModP(2048 + 64 - 1), powerModP(2048 - 1),
                                              powerModP(2048 + 64 - 1), powerModP(2048 - 1),
                                              powerModP(2048 + 64 - 1), powerModP(2048 - 1),
                                              powerModP(2048 + 64 - 1), powerModP(2048 - 1)};
alignas(64) constexpr uint64_t fold512Wide[8] = {fold512[0], fold512[1], fold512[0], fold512[1],
                                                 fold512[0], fold512[1], fold512[0], fold512[1]};
alignas(16) constexpr uint64_t fold256[2] = {powerModP(256 + 64 - 1), powerModP(256 - 1)};
alignas(16) constexpr uint64_t fold384[2] = {powerModP(384 + 64 - 1), powerModP(384 - 1)};

[[gnu::target("vpclmulqdq,avx512f,pclmul,sse2")]] inline __m512i foldAheadWide(__m512i r, __m512i constants) {
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(r, constants, 0x00), _mm512_clmulepi64_epi128(r, constants, 0x11));
}

[[gnu::target("vpclmulqdq,avx512f,pclmul,sse2")]] uint16_t updateCrcByWideFolding(uint16_t crc, const uint8_t* bytes,
                                                                                  uint32_t count) {
    if (count < 512) return updateCrcByFolding(crc, bytes, count);
    const __m512i k2048 = _mm512_load_si512(fold2048);
    __m512i r0 = _mm512_xor_si512(_mm512_loadu_si512(bytes), _mm512_zextsi128_si512(_mm_cvtsi32_si128(crc)));
    __m512i r1 = _mm512_loadu_si512(bytes + 64), r2 = _mm512_loadu_si512(bytes + 128), r3 = _mm512_loadu_si512(bytes + 192);
    bytes += 256;
    count -= 256;
    for (; count >= 256; count -= 256, bytes += 256) {
        r0 = _mm512_xor_si512(foldAheadWide(r0, k2048), _mm512_loadu_si512(bytes));
        r1 = _mm512_xor_si512(foldAheadWide(r1, k2048), _mm512_loadu_si512(bytes + 64));
        r2 = _mm512_xor_si512(foldAheadWide(r2, k2048), _mm512_loadu_si512(bytes + 128));
        r3 = _mm512_xor_si512(foldAheadWide(r3, k2048), _mm512_loadu_si512(bytes + 192));
    }
    const __m512i k512 = _mm512_load_si512(fold512Wide);
    r1 = _mm512_xor_si512(foldAheadWide(r0, k512), r1);
    r2 = _mm512_xor_si512(foldAheadWide(r1, k512), r2);
    r3 = _mm512_xor_si512(foldAheadWide(r2, k512), r3);
    // Lanes 0 to 2 of the one register folded onto lane 3: 384, 256 and 128 bits ahead.
    alignas(64) uint8_t lanes[64];
    _mm512_store_si512(lanes, r3);
    auto lane = [&lanes](int k) { return _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 16 * k)); };
    const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(fold128));
    __m128i r = lane(3);
    r = _mm_xor_si128(r, foldAhead(lane(0), _mm_load_si128(reinterpret_cast<const __m128i*>(fold384))));
    r = _mm_xor_si128(r, foldAhead(lane(1), _mm_load_si128(reinterpret_cast<const __m128i*>(fold256))));
    r = _mm_xor_si128(r, foldAhead(lane(2), k128));
    for (; count >= 16; count -= 16, bytes += 16)
        r = _mm_xor_si128(foldAhead(r, k128), _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
    alignas(16) uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), r);
    return updateCrcBySlices(updateCrcBySlices(0, rest, 16), bytes, count);
}
#endif

}  // namespace

CrcForm fastestCrcForm() {
#if defined(__x86_64__)
    __builtin_cpu_init();  // this may run among the static initialisers
    return __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") ? CrcForm::wideFolding
           : __builtin_cpu_supports("pclmul")                                          ? CrcForm::folding
                                                                                       : CrcForm::slices;
#else
    return CrcForm::slices;
#endif
}

CrcForm crcForm = fastestCrcForm();

uint16_t updateCrc(uint16_t crc, const uint8_t* bytes, uint32_t count) {
#if defined(__x86_64__)
    if (crcForm == CrcForm::wideFolding) return updateCrcByWideFolding(crc, bytes, count);
    if (crcForm == CrcForm::folding) return updateCrcByFolding(crc, bytes, count);
#endif
    return updateCrcBySlices(crc, bytes, count);
}

#endif

}  // namespace nivo
