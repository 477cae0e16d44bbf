// The number grammar of data fields and its correctly rounded value.
#pragma once

#include <optional>
#include <string_view>

namespace quor {

// The value of `field` if the whole field is a number: an optional sign, then
// either a decimal number (digits with at most one '.', at least one digit, an
// optional exponent e/E [sign] digits) or inf / infinity / nan in any case.
// The value is the nearest double (ties to even); too large a magnitude gives an
// infinity and too small a magnitude zero, signed.
std::optional<double> parse_number(std::string_view field) noexcept;

// Reads the longest prefix of [p, end) that the grammar can start with. Returns
// where the number ends, with its value in `result`, or nullptr when the text
// there cannot be a number. The caller decides whether the field ends there too.
const char* scan_number(const char* p, const char* end, double& result) noexcept;

}  // namespace quor
