// Electrolyte property models: Laliberte density and viscosity, molarity inversion,
// KOH and Dewane conductivity, concentration conversions.
#pragma once

#include <cstddef>
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

// A result made element by element: `size` elements of each of the formula's
// `outputs` arrays. formula.fill(first, count, out) writes elements [first,
// first + count) of array j to out[j]. The call boundary asks for short runs while
// it builds the result lists, so the arrays are never stored whole.
template <class Formula>
struct elementwise {
    std::size_t size;
    Formula formula;
};

// Density (kg/m^3) and molarity (mol/L), in that order.
struct laliberte_density_formula {
    static constexpr std::size_t outputs = 2;
    std::span<const double> temperature, molality;
    double molecular_weight;
    laliberte_density_params fit;
    void fill(std::size_t first, std::size_t count, double* const* out) const;
};

// Viscosity (Pa*s).
struct laliberte_viscosity_formula {
    static constexpr std::size_t outputs = 1;
    std::span<const double> temperature, molality;
    double molecular_weight;
    laliberte_viscosity_params fit;
    void fill(std::size_t first, std::size_t count, double* const* out) const;
};

// Conductivity (S/m).
struct koh_gilliam_formula {
    static constexpr std::size_t outputs = 1;
    std::span<const double> temperature, molality;
    double molecular_weight;
    laliberte_density_params fit;
    void fill(std::size_t first, std::size_t count, double* const* out) const;
};

struct fraction_to_molality_formula {
    static constexpr std::size_t outputs = 1;
    std::span<const double> fraction;
    double kg_per_mol;
    void fill(std::size_t first, std::size_t count, double* const* out) const;
};

struct molality_to_fraction_formula {
    static constexpr std::size_t outputs = 1;
    std::span<const double> molality;
    double kg_per_mol;
    void fill(std::size_t first, std::size_t count, double* const* out) const;
};

outcome<elementwise<laliberte_density_formula>> laliberte_density(
    std::span<const double> temperature, std::span<const double> molality, double molecular_weight,
    const laliberte_density_params& density_fit);

outcome<elementwise<laliberte_viscosity_formula>> laliberte_viscosity(
    std::span<const double> temperature, std::span<const double> molality, double molecular_weight,
    const laliberte_viscosity_params& viscosity_fit);

outcome<std::vector<double>> molarity_to_molality(std::span<const double> molarity,
                                                  double temperature, double molecular_weight,
                                                  const laliberte_density_params& density_fit,
                                                  double tolerance,
                                                  std::uint64_t maximum_iterations);

outcome<elementwise<koh_gilliam_formula>> koh_gilliam_eval(
    std::span<const double> temperature, std::span<const double> molality, double molecular_weight,
    const laliberte_density_params& density_fit);

outcome<std::vector<double>> dewane_eval(std::span<const double> molarity,
                                         std::span<const double> limits,
                                         std::span<const double> coeffs);

// Mass fraction or mole fraction of solute to molality (mol per kg of solvent),
// and back. `molecular_weight` (g/mol) is the salt's for a mass fraction and the
// solvent's for a mole fraction.
elementwise<fraction_to_molality_formula> fraction_to_molality(std::span<const double> fraction,
                                                               double molecular_weight);
elementwise<molality_to_fraction_formula> molality_to_fraction(std::span<const double> molality,
                                                               double molecular_weight);

}  // namespace quor
