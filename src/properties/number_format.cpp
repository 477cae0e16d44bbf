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

// The correctly rounded text of a finite value, or the spelling of a non-finite one.
std::string rounded_text(double value, std::chars_format format, int precision) {
    std::string out;
    if (format_non_finite(value, out)) return out;
    // The largest double has 309 integer digits in fixed notation.
    char buffer[400];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer
    return std::string(buffer, end);
}

}  // namespace

std::string format_scientific(double value) {
    std::string text = rounded_text(value, std::chars_format::scientific, 4);
    const std::size_t e_pos = text.find('e');
    if (e_pos == std::string::npos) return text;  // NaN or an infinity

    // Rewrite the exponent "e+05" / "e-05" as "e5" / "e-5".
    std::string out = text.substr(0, e_pos + 1);
    std::size_t pos = e_pos + 1;
    if (text[pos] == '-') out.push_back('-');
    if (text[pos] == '+' || text[pos] == '-') ++pos;
    while (pos + 1 < text.size() && text[pos] == '0') ++pos;
    out.append(text, pos);
    return out;
}

std::string format_fixed(double value) { return rounded_text(value, std::chars_format::fixed, 2); }

}  // namespace quor
