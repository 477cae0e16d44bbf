// Number formats for error messages, built on std::to_chars (correctly rounded).
#include "properties/number_format.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace quor {
namespace {

// to_chars spells these "nan"/"-nan"; messages use one spelling whatever the sign bit.
bool format_non_finite(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

std::string format_scientific(double value) {
    std::string out;
    if (format_non_finite(value, out)) return out;

    // Longest case: "-1.0000e-308" and subnormals "e-324"; 32 is ample.
    char buffer[32];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 4);
    if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer

    // Rewrite the exponent "e+05" / "e-05" as "e5" / "e-5".
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e_pos = text.find('e');
    out.assign(text.substr(0, e_pos + 1));
    std::size_t pos = e_pos + 1;
    if (text[pos] == '-') out.push_back('-');
    if (text[pos] == '+' || text[pos] == '-') ++pos;
    while (pos + 1 < text.size() && text[pos] == '0') ++pos;
    out.append(text.substr(pos));
    return out;
}

std::string format_fixed(double value) {
    std::string out;
    if (format_non_finite(value, out)) return out;

    // The largest double has 309 integer digits.
    char buffer[400];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer
    out.assign(buffer, end);
    return out;
}

}  // namespace quor
