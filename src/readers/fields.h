// Field rules shared by the readers: fields are maximal runs of characters
// without the Unicode White_Space property.
#pragma once

#include <cstddef>
#include <string_view>

namespace quor {

// Length in bytes of the whitespace character at p (0 if p starts anything else).
// Whitespace is the Unicode White_Space set: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
inline std::size_t whitespace_length(const char* p, const char* end) noexcept {
    const auto b0 = static_cast<unsigned char>(*p);
    if (b0 < 0x80) return (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) ? 1 : 0;
    const std::ptrdiff_t left = end - p;
    if (b0 == 0xC2) {
        if (left < 2) return 0;
        const auto b1 = static_cast<unsigned char>(p[1]);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if (b0 < 0xE1 || b0 > 0xE3 || left < 3) return 0;
    const auto b1 = static_cast<unsigned char>(p[1]);
    const auto b2 = static_cast<unsigned char>(p[2]);
    switch (b0) {
        case 0xE1:  // U+1680
            return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (b1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
                return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
            return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
        default:  // 0xE3: U+3000
            return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    }
}

// The first position at or after p that is not whitespace (end if there is none).
inline const char* skip_whitespace(const char* p, const char* end) noexcept {
    while (p < end) {
        const std::size_t ws = whitespace_length(p, end);
        if (ws == 0) break;
        p += ws;
    }
    return p;
}

// The text without its leading whitespace.
inline std::string_view trim_start(std::string_view text) noexcept {
    const char* const end = text.data() + text.size();
    const char* const start = skip_whitespace(text.data(), end);
    return std::string_view(start, static_cast<std::size_t>(end - start));
}

// Walks the fields of one line.
class field_cursor {
public:
    explicit field_cursor(std::string_view line) noexcept
        : p_(line.data()), end_(line.data() + line.size()) {}

    // Sets `field` to the next field and returns true, or returns false at the end.
    bool next(std::string_view& field) noexcept {
        p_ = skip_whitespace(p_, end_);
        if (p_ == end_) return false;
        const char* start = p_;
        while (p_ < end_) {
            const auto b = static_cast<unsigned char>(*p_);
            // Printable ASCII is the common case and never whitespace.
            if (b > 0x20 && b < 0x80) {
                ++p_;
                continue;
            }
            if (whitespace_length(p_, end_) != 0) break;
            ++p_;
        }
        field = std::string_view(start, static_cast<std::size_t>(p_ - start));
        return true;
    }

private:
    const char* p_;
    const char* end_;
};

}  // namespace quor
