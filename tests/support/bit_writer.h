// Builds bit streams most significant bit first, the order in which the decoders read them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nivo::test {

class BitWriter {
public:
    // Appends the low n bits of value, highest first.
    BitWriter& put(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) bit((value >> i) & 1);
        return *this;
    }
    // Appends bits written as text: "1010 011" (spaces ignored).
    BitWriter& bits(const std::string& text) {
        for (char c : text)
            if (c == '0' || c == '1') bit(c == '1');
        return *this;
    }
    BitWriter& repeat(const std::string& text, int times) {
        for (int i = 0; i < times; ++i) bits(text);
        return *this;
    }
    // The bytes, the last one padded with zero bits.
    std::vector<uint8_t> bytes() const { return out; }
    size_t bitCount() const { return used; }

private:
    void bit(bool b) {
        if (used % 8 == 0) out.push_back(0);
        if (b) out.back() = static_cast<uint8_t>(out.back() | (0x80 >> (used % 8)));
        ++used;
    }
    std::vector<uint8_t> out;
    size_t used = 0;
};

}  // namespace nivo::test
