// Electrolyte property models: Laliberte density and viscosity, molarity inversion,
// KOH and Dewane conductivity, concentration conversions.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/outcome.h"

namespace quor {

struct laliberte_density_params {
    double c0, c1, c2, c3, c4;
};

struct laliberte_viscosity_params {
    double v1, v2, v3, v4, v5, v6;
};

struct density_and_molarity {
    std::vector<double> density;   // kg/m^3
    std::vector<double> molarity;  // mol/L
};

outcome<density_and_molarity> laliberte_density(std::span<const double> temperature,
                                                std::span<const double> molality,
                                                double molecular_weight,
                                                const laliberte_density_params& density_fit);

outcome<std::vector<double>> laliberte_viscosity(std::span<const double> temperature,
                                                 std::span<const double> molality,
                                                 double molecular_weight,
                                                 const laliberte_viscosity_params& viscosity_fit);

outcome<std::vector<double>> molarity_to_molality(std::span<const double> molarity,
                                                  double temperature, double molecular_weight,
                                                  const laliberte_density_params& density_fit,
                                                  double tolerance,
                                                  std::uint64_t maximum_iterations);

outcome<std::vector<double>> koh_gilliam_eval(std::span<const double> temperature,
                                              std::span<const double> molality,
                                              double molecular_weight,
                                              const laliberte_density_params& density_fit);

outcome<std::vector<double>> dewane_eval(std::span<const double> molarity,
                                         std::span<const double> limits,
                                         std::span<const double> coeffs);

// Mass fraction or mole fraction of solute to molality (mol per kg of solvent),
// and back. `molecular_weight` (g/mol) is the salt's for a mass fraction and the
// solvent's for a mole fraction.
std::vector<double> fraction_to_molality(std::span<const double> fraction, double molecular_weight);
std::vector<double> molality_to_fraction(std::span<const double> molality, double molecular_weight);

}  // namespace quor
