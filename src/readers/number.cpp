// The number grammar of data fields, with a one-pass fast path for the common case.
#include "readers/number.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace quor {
namespace {

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t k = 0; k < text.size(); ++k) {
        char c = text[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_word[k]) return false;
    }
    return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Powers of ten that are exact doubles.
constexpr double exact_powers_of_ten[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::uint64_t max_exact_integer = std::uint64_t{1} << 53;

// The decimal exponent of the first nonzero digit of a validated decimal (its
// digits start at p). Values out of the double range lie hundreds of decades
// from 1, so the sign of this exponent tells overflow from underflow.
std::int64_t leading_digit_exponent(const char* p, const char* end, std::int64_t exponent) noexcept {
    const char* first_nonzero = nullptr;
    for (; p < end && is_digit(*p); ++p)
        if (first_nonzero == nullptr && *p != '0') first_nonzero = p;
    if (first_nonzero != nullptr) return exponent + (p - first_nonzero) - 1;
    if (p < end && *p == '.') {
        const char* const fraction_start = ++p;
        for (; p < end && is_digit(*p); ++p)
            if (*p != '0') return exponent - (p - fraction_start) - 1;
    }
    return -1;  // all zeros: never out of range
}

}  // namespace

const char* scan_number(const char* p, const char* const end, double& result) noexcept {
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end) return nullptr;
    const char* const unsigned_start = p;

    if (!is_digit(*p) && *p != '.') {
        const char* word_end = p;
        while (word_end < end && ((*word_end | 0x20) >= 'a' && (*word_end | 0x20) <= 'z')) ++word_end;
        const std::string_view word(p, static_cast<std::size_t>(word_end - p));
        double special;
        if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity"))
            special = std::numeric_limits<double>::infinity();
        else if (equals_ignoring_case(word, "nan"))
            special = std::numeric_limits<double>::quiet_NaN();
        else
            return nullptr;
        result = negative ? -special : special;
        return word_end;
    }

    // One pass validates the field and gathers its digits. With at most 19 digits
    // the mantissa is exact in 64 bits.
    std::uint64_t mantissa = 0;
    const char* const integer_start = p;
    for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    const auto integer_digits = static_cast<std::int64_t>(p - integer_start);
    std::int64_t fraction_digits = 0;
    if (p < end && *p == '.') {
        const char* const fraction_start = ++p;
        for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        fraction_digits = static_cast<std::int64_t>(p - fraction_start);
    }
    if (integer_digits + fraction_digits == 0) return nullptr;
    const char* const digits_end = p;

    std::int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            ++p;
        }
        if (p == end || !is_digit(*p)) return nullptr;
        for (; p < end && is_digit(*p); ++p) {
            // Saturate: beyond this only the side of the range matters.
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
        }
        if (exponent_negative) exponent = -exponent;
    }

    double value;
    const std::int64_t power = exponent - fraction_digits;
    if (integer_digits + fraction_digits <= 19 && mantissa <= max_exact_integer &&
        power >= -22 && power <= 22) {
        // Both operands are exact, so the one rounding of * or / is the correct one.
        const double m = static_cast<double>(mantissa);
        value = power >= 0 ? m * exact_powers_of_ten[power] : m / exact_powers_of_ten[-power];
    } else {
        // Rare: long or extreme numbers take the general, correctly rounded conversion.
        const auto [stop, status] =
            std::from_chars(unsigned_start, p, value, std::chars_format::general);
        if (status == std::errc::result_out_of_range) {
            value = leading_digit_exponent(unsigned_start, digits_end, exponent) >= 0
                        ? std::numeric_limits<double>::infinity()
                        : 0.0;
        } else if (status != std::errc() || stop != p) {
            return nullptr;  // not reached for validated digits
        }
    }
    result = negative ? -value : value;
    return p;
}

std::optional<double> parse_number(std::string_view field) noexcept {
    const char* const end = field.data() + field.size();
    double value;
    if (scan_number(field.data(), end, value) != end) return std::nullopt;
    return value;
}

}  // namespace quor
