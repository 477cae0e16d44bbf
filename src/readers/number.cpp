// The number grammar of data fields: the entry points, and the rare cases of the
// inline scanner in number_scan.h.
#include "readers/number.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "readers/number_scan.h"

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

// The number of digits of a validated decimal (its digits start at p) from its
// first nonzero digit on.
std::int64_t significant_digits(const char* p, const char* const digits_end) noexcept {
    std::int64_t count = 0;
    bool started = false;
    for (; p < digits_end; ++p) {
        if (*p == '.') continue;
        started = started || *p != '0';
        count += started ? 1 : 0;
    }
    return count;
}

// The decimal exponent of the first nonzero digit of a validated decimal (its
// digits start at p). Values out of the double range lie hundreds of decades
// from 1, so the sign of this exponent tells overflow from underflow.
std::int64_t leading_digit_exponent(const char* p, const char* end, std::int64_t exponent) noexcept {
    const char* first_nonzero = nullptr;
    for (; p < end && detail::is_digit(*p); ++p)
        if (first_nonzero == nullptr && *p != '0') first_nonzero = p;
    if (first_nonzero != nullptr) return exponent + (p - first_nonzero) - 1;
    if (p < end && *p == '.') {
        const char* const fraction_start = ++p;
        for (; p < end && detail::is_digit(*p); ++p)
            if (*p != '0') return exponent - (p - fraction_start) - 1;
    }
    return -1;  // all zeros: never out of range
}

}  // namespace

namespace detail {

const char* scan_word(const char* p, const char* const end, bool negative, double& result) noexcept {
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

const char* general_value(const char* start, const char* digits_end, const char* end,
                          std::uint64_t mantissa, std::int64_t exponent, std::int64_t power,
                          bool negative, double& result) noexcept {
    double value;
    bool done = false;
    // Leading zeros add nothing to the mantissa, so they do not count against its
    // 19 digits; with them set aside the mantissa may still be exact.
    if (significant_digits(start, digits_end) <= max_exact_digits) {
        if (mantissa <= max_exact_integer && power >= -22 && power <= 22) {
            const double m = static_cast<double>(mantissa);
            value = power >= 0 ? m * exact_powers_of_ten[power] : m / exact_powers_of_ten[-power];
            done = true;
        } else if (mantissa == 0 || power < smallest_power_of_ten) {
            value = 0.0;  // below 1e19 * 1e-343, under half the smallest subnormal
            done = true;
        } else if (power > largest_power_of_ten) {
            value = std::numeric_limits<double>::infinity();  // at least 1e309
            done = true;
        } else {
            done = nearest_double(mantissa, power, value);
        }
    }
    if (!done) {
        // Long, ambiguous or extreme numbers take the general, correctly rounded conversion.
        const auto [stop, status] = std::from_chars(start, end, value, std::chars_format::general);
        if (status == std::errc::result_out_of_range) {
            value = leading_digit_exponent(start, digits_end, exponent) >= 0
                        ? std::numeric_limits<double>::infinity()
                        : 0.0;
        } else if (status != std::errc() || stop != end) {
            return nullptr;  // not reached for validated digits
        }
    }
    result = negative ? -value : value;
    return end;
}

}  // namespace detail

const char* scan_number(const char* p, const char* const end, double& result) noexcept {
    return detail::scan_number_inline(p, end, result);
}

std::optional<double> parse_number(std::string_view field) noexcept {
    const char* const end = field.data() + field.size();
    double value;
    if (scan_number(field.data(), end, value) != end) return std::nullopt;
    return value;
}

}  // namespace quor
