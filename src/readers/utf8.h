// The strict UTF-8 check that every reader applies to the text it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quor {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
inline bool is_valid_utf8(const char* bytes, std::size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const auto* const end = p + size;
    while (p < end) {
        // Most output is ASCII: skip it 32 bytes at a time, then eight.
        while (end - p >= 32) {
            std::uint64_t block[4];
            std::memcpy(block, p, 32);
            if ((block[0] | block[1] | block[2] | block[3]) & 0x8080808080808080ULL) break;
            p += 32;
        }
        while (end - p >= 8) {
            std::uint64_t block;
            std::memcpy(&block, p, 8);
            if (block & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::ptrdiff_t length;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;        // overlong
            else if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;        // overlong
            else if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (end - p < length) return false;
        if (p[1] < low || p[1] > high) return false;
        for (std::ptrdiff_t k = 2; k < length; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += length;
    }
    return true;
}

}  // namespace quor
