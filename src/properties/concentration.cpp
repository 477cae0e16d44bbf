// Conversions between molality and mass or mole fraction. Each direction is one
// formula for both fractions; only the meaning of the molecular weight differs.
#include <cstddef>

#include "properties/properties.h"

namespace quor {

std::vector<double> fraction_to_molality(std::span<const double> fraction, double molecular_weight) {
    const double kg_per_mol = molecular_weight / 1000.0;
    std::vector<double> molality(fraction.size());
    for (std::size_t i = 0; i < fraction.size(); ++i)
        molality[i] = fraction[i] / ((1.0 - fraction[i]) * kg_per_mol);
    return molality;
}

// Written as 1 / (1 / (b*M) + 1) rather than b*M / (1 + b*M) so that b = 0 gives
// exactly 0 and b = +inf exactly 1.
std::vector<double> molality_to_fraction(std::span<const double> molality, double molecular_weight) {
    const double kg_per_mol = molecular_weight / 1000.0;
    std::vector<double> fraction(molality.size());
    for (std::size_t i = 0; i < molality.size(); ++i)
        fraction[i] = 1.0 / (1.0 / (molality[i] * kg_per_mol) + 1.0);
    return fraction;
}

}  // namespace quor
