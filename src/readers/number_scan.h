// The number scanner, inline so that the row reader runs it without a call per
// field. One pass reads the sign, the digits (eight at a time where it can) and
// the exponent; the value then comes from an exact product of the mantissa with
// a power of ten, or, for the rare long or ambiguous number, from the general
// conversion (out of line, in number.cpp). number.h holds the entry points for
// everyone else.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "readers/power_of_ten_table.h"

namespace quor::detail {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Powers of ten that are exact doubles.
inline constexpr double exact_powers_of_ten[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr std::uint64_t max_exact_integer = std::uint64_t{1} << 53;

// A mantissa of up to 19 decimal digits is exact in 64 bits.
inline constexpr std::int64_t max_exact_digits = 19;

// Eight bytes as a little-endian word; only used where the machine is little-endian.
inline std::uint64_t load_eight(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// True when all eight bytes of `word` are ASCII digits: every byte is 0x3? and
// adding 6 to its low half does not carry (0x30..0x39 stay below 0x40).
inline bool is_eight_digits(std::uint64_t word) noexcept {
    return ((word & 0xF0F0F0F0F0F0F0F0) | (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
           0x3333333333333333;
}

// The value of eight ASCII digits loaded little-endian (the first digit in the
// lowest byte): neighbours combine into pairs, then two multiplications weigh
// the four pairs and add them up in the high half of the word.
inline std::uint32_t eight_digits_value(std::uint64_t word) noexcept {
    word -= 0x3030303030303030;
    word = word * 10 + (word >> 8);  // byte 2k holds the pair of digits 2k, 2k+1
    constexpr std::uint64_t mask = 0x000000FF000000FF;
    constexpr std::uint64_t high_pairs = 100 + (std::uint64_t{1000000} << 32);
    constexpr std::uint64_t low_pairs = 1 + (std::uint64_t{10000} << 32);
    return static_cast<std::uint32_t>(((word & mask) * high_pairs + ((word >> 16) & mask) * low_pairs) >> 32);
}

// Appends the digits at p to `mantissa` (wrapping past 19 digits, when the count
// decides that it is not used) and returns where they end.
[[gnu::always_inline]] inline const char* gather_digits(const char* p, const char* const end, std::uint64_t& mantissa) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            const std::uint64_t word = load_eight(p);
            if (!is_eight_digits(word)) break;
            mantissa = mantissa * 100000000 + eight_digits_value(word);
            p += 8;
        }
    }
    for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    return p;
}

struct product128 {
    std::uint64_t high, low;
};

__extension__ using uint128 = unsigned __int128;  // GCC and Clang

inline product128 multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const uint128 product = static_cast<uint128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}

// The double nearest to mantissa * 10^power (ties to even), for a nonzero
// mantissa and a power inside the table, by the method of Eisel and Lemire: the
// mantissa, shifted to its top bit, times the 128-bit mantissa of 10^power (rounded
// down). The leading 54 bits of the product are exact unless the bits below them
// are all ones (then the low half of the table entry decides) or the product lies
// on a halfway point; in those cases, and for results that would be subnormal or
// infinite, it returns false and the caller takes the general conversion.
inline bool nearest_double(std::uint64_t mantissa, std::int64_t power, double& value) noexcept {
    const std::uint64_t* const ten = power_of_ten_mantissas[power - smallest_power_of_ten];
    const int shift = std::countl_zero(mantissa);
    mantissa <<= shift;
    // floor(power * log2(10)) is (power * 217706) >> 16 over the table's range.
    std::uint64_t binary_exponent =
        static_cast<std::uint64_t>(((power * 217706) >> 16) + 64 + 1023) - static_cast<std::uint64_t>(shift);

    product128 x = multiply(mantissa, ten[0]);
    // The low table half adds less than `mantissa` to x.low: it matters only if
    // that could carry into bits of x.high that are kept.
    if ((x.high & 0x1FF) == 0x1FF && x.low + mantissa < mantissa) {
        const product128 y = multiply(mantissa, ten[1]);
        product128 merged{x.high, x.low + y.high};
        if (merged.low < x.low) ++merged.high;
        if ((merged.high & 0x1FF) == 0x1FF && merged.low + 1 == 0 && y.low + mantissa < mantissa) return false;
        x = merged;
    }

    const std::uint64_t top_bit = x.high >> 63;
    std::uint64_t bits = x.high >> (top_bit + 9);  // 54 bits: the 53 kept and one to round
    binary_exponent -= 1 ^ top_bit;
    if (x.low == 0 && (x.high & 0x1FF) == 0 && (bits & 3) == 1) return false;  // maybe halfway
    bits += bits & 1;
    bits >>= 1;
    if (bits >> 53 != 0) {  // rounding carried into a new bit
        bits >>= 1;
        ++binary_exponent;
    }
    if (binary_exponent - 1 >= 0x7FF - 1) return false;  // subnormal, zero or infinite
    value = std::bit_cast<double>(binary_exponent << 52 | (bits & 0x000FFFFFFFFFFFFF));
    return true;
}

// The rare cases, out of line: the words inf, infinity and nan (with `p` after
// the sign), and the value of a validated decimal with more than 19 digits or
// one that nearest_double leaves open ([start, digits_end) the digits and point,
// `end` where the exponent ends). Both return where the number ends, or nullptr.
const char* scan_word(const char* p, const char* end, bool negative, double& result) noexcept;
const char* general_value(const char* start, const char* digits_end, const char* end,
                          std::uint64_t mantissa, std::int64_t exponent, std::int64_t power,
                          bool negative, double& result) noexcept;

[[gnu::always_inline]] inline const char* scan_number_inline(const char* p, const char* const end,
                                                             double& result) noexcept {
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end) return nullptr;
    if (!is_digit(*p) && *p != '.') return scan_word(p, end, negative, result);
    const char* const unsigned_start = p;

    // One pass validates the field and gathers its digits.
    std::uint64_t mantissa = 0;
    if (end - p >= 2 && is_digit(p[0]) && !is_digit(p[1])) {
        mantissa = static_cast<unsigned>(*p++ - '0');  // most often one digit before the point
    } else {
        p = gather_digits(p, end, mantissa);
    }
    const auto integer_digits = static_cast<std::int64_t>(p - unsigned_start);
    std::int64_t fraction_digits = 0;
    if (p < end && *p == '.') {
        const char* const fraction_start = ++p;
        p = gather_digits(p, end, mantissa);
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

    const std::int64_t power = exponent - fraction_digits;
    if (integer_digits + fraction_digits <= max_exact_digits) {
        double value;
        if (mantissa <= max_exact_integer && power >= -22 && power <= 22) {
            // Both operands are exact, so the one rounding of * or / is the correct one.
            const double m = static_cast<double>(mantissa);
            value = power >= 0 ? m * exact_powers_of_ten[power] : m / exact_powers_of_ten[-power];
            result = negative ? -value : value;
            return p;
        }
        if (mantissa != 0 && power >= smallest_power_of_ten && power <= largest_power_of_ten &&
            nearest_double(mantissa, power, value)) {
            result = negative ? -value : value;
            return p;
        }
    }
    return general_value(unsigned_start, digits_end, p, mantissa, exponent, power, negative, result);
}

}  // namespace quor::detail
