// The number grammar of data fields.
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

}  // namespace

std::optional<double> parse_number(std::string_view field) noexcept {
    const char* p = field.data();
    const char* const end = p + field.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end) return std::nullopt;
    const std::string_view body(p, static_cast<std::size_t>(end - p));

    if (!is_digit(*p) && *p != '.') {
        double special;
        if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
            special = std::numeric_limits<double>::infinity();
        else if (equals_ignoring_case(body, "nan"))
            special = std::numeric_limits<double>::quiet_NaN();
        else
            return std::nullopt;
        return negative ? -special : special;
    }

    // Validate the decimal form; remember where the magnitude lies in case the
    // conversion reports it out of range.
    std::int64_t integer_digits = 0;   // significant digits before the point
    std::int64_t leading_zeros = 0;    // zeros after the point before the first nonzero digit
    bool seen_nonzero = false, seen_point = false, seen_digit = false;
    const char* q = p;
    for (; q < end; ++q) {
        const char c = *q;
        if (is_digit(c)) {
            seen_digit = true;
            if (c != '0') seen_nonzero = true;
            if (!seen_point) {
                if (seen_nonzero) ++integer_digits;
            } else if (!seen_nonzero) {
                ++leading_zeros;
            }
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (!seen_digit) return std::nullopt;
    std::int64_t exponent = 0;
    if (q < end) {
        if (*q != 'e' && *q != 'E') return std::nullopt;
        ++q;
        bool exponent_negative = false;
        if (q < end && (*q == '+' || *q == '-')) {
            exponent_negative = *q == '-';
            ++q;
        }
        if (q == end) return std::nullopt;
        for (; q < end; ++q) {
            if (!is_digit(*q)) return std::nullopt;
            // Saturate: only the side of the range matters beyond this.
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*q - '0');
        }
        if (exponent_negative) exponent = -exponent;
    }

    double value = 0.0;
    const auto [stop, status] = std::from_chars(p, end, value, std::chars_format::general);
    if (status == std::errc::result_out_of_range) {
        // The decimal exponent of the leading digit tells overflow from underflow;
        // out-of-range values are hundreds of decades away from 1, never near it.
        const std::int64_t magnitude =
            seen_nonzero ? (integer_digits > 0 ? integer_digits - 1 + exponent
                                               : exponent - leading_zeros - 1)
                         : -1;
        value = magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (status != std::errc() || stop != end) {
        return std::nullopt;  // cannot happen for a validated field
    }
    return negative ? -value : value;
}

}  // namespace quor
