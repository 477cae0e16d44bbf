// Dewane segmented molar-conductivity polynomial, converted to conductivity in S/m.
#include <cmath>
#include <cstddef>
#include <string>

#include "properties/number_format.h"
#include "properties/properties.h"

namespace quor {
namespace {

constexpr std::size_t coefficients_per_segment = 10;

// Molar conductivity (S*cm^2/mol) at molarity c with one segment's coefficients
// L0, S, e, A, B, C, D, E, F, G; terms added left to right in this order.
double molar_conductivity(double c, const double* k) {
    const double lambda = k[0] - std::sqrt(c) * k[1] + std::log10(c) * (k[2] * c) + k[3] * c +
                          k[4] * std::pow(c, 1.5) + k[5] * c * c + k[6] * std::pow(c, 2.5) +
                          k[7] * c * c * c + k[8] * c * c * c * c + k[9] * c * c * c * c * c;
    return lambda;
}

}  // namespace

outcome<std::vector<double>> dewane_eval(std::span<const double> molarity,
                                         std::span<const double> limits,
                                         std::span<const double> coeffs) {
    if (limits.size() < 2)
        return value_error("limits must have at least 2 values (defining at least 1 segment)");
    const std::size_t segments = limits.size() - 1;
    const std::size_t expected = coefficients_per_segment * segments;
    if (coeffs.size() != expected) {
        return value_error("coeffs must have exactly " + std::to_string(expected) + " values (" +
                           std::to_string(segments) + " segments \u00d7 " +
                           std::to_string(coefficients_per_segment) + " coefficients)");
    }

    std::vector<double> conductivity(molarity.size());
    for (std::size_t i = 0; i < molarity.size(); ++i) {
        const double c = molarity[i];
        // First segment (lower limit excluded, upper included) that holds c; limits
        // are not required to be sorted.
        std::size_t k = 0;
        while (k < segments && !(limits[k] < c && c <= limits[k + 1])) ++k;
        if (k == segments) {
            return value_error("molarity " + format_scientific(c) +
                               " mol/L is outside Dewane bounds [" + format_scientific(limits[0]) +
                               ", " + format_scientific(limits[segments]) + "]");
        }
        const double lambda = molar_conductivity(c, coeffs.data() + coefficients_per_segment * k);
        conductivity[i] = lambda * c / 10;
    }
    return conductivity;
}

}  // namespace quor
