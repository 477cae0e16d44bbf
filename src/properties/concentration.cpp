// Conversions between molality, mass fraction and mole fraction.
#include <cstddef>

#include "properties/properties.h"

namespace quor {
namespace {

// Fraction to molality; kg_per_mol is the molecular weight in kg/mol.
std::vector<double> fraction_to_molality(std::span<const double> fraction, double kg_per_mol) {
    std::vector<double> molality(fraction.size());
    for (std::size_t i = 0; i < fraction.size(); ++i)
        molality[i] = fraction[i] / ((1.0 - fraction[i]) * kg_per_mol);
    return molality;
}

// Molality to fraction. Written as 1 / (1 / (b*M) + 1) rather than b*M / (1 + b*M)
// so that b = 0 gives exactly 0 and b = +inf exactly 1.
std::vector<double> molality_to_fraction(std::span<const double> molality, double kg_per_mol) {
    std::vector<double> fraction(molality.size());
    for (std::size_t i = 0; i < molality.size(); ++i)
        fraction[i] = 1.0 / (1.0 / (molality[i] * kg_per_mol) + 1.0);
    return fraction;
}

}  // namespace

std::vector<double> mass_fraction_to_molality(std::span<const double> mass_fraction,
                                              double molecular_weight) {
    return fraction_to_molality(mass_fraction, molecular_weight / 1000.0);
}

std::vector<double> molality_to_mass_fraction(std::span<const double> molality,
                                              double molecular_weight) {
    return molality_to_fraction(molality, molecular_weight / 1000.0);
}

// Here molecular_weight is the solvent's.
std::vector<double> mole_fraction_to_molality(std::span<const double> mole_fraction,
                                              double molecular_weight) {
    return fraction_to_molality(mole_fraction, molecular_weight / 1000.0);
}

std::vector<double> molality_to_mole_fraction(std::span<const double> molality,
                                              double molecular_weight) {
    return molality_to_fraction(molality, molecular_weight / 1000.0);
}

}  // namespace quor
