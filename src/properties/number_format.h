// Number formats for error messages: short scientific and two-digit fixed notation.
#pragma once

#include <string>

namespace quor {

// One digit, '.', four digits, 'e', exponent without '+' or leading zeros:
// 12.5 -> "1.2500e1", 0.05 -> "5.0000e-2", -5 -> "-5.0000e0".
// NaN -> "NaN", infinities -> "inf" / "-inf". Correctly rounded.
std::string format_scientific(double value);

// Exactly two digits after the point: 298 -> "298.00". Correctly rounded.
// NaN and infinities as in format_scientific.
std::string format_fixed(double value);

}  // namespace quor
