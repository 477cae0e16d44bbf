// The Laliberte density evaluation shared by the density, inversion and KOH models,
// and the two conversions every model of a salt in water starts from.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "common/outcome.h"
#include "properties/properties.h"

namespace quor {

// 0 degrees Celsius in kelvin.
inline constexpr double zero_celsius = 273.15;

// Celsius temperature from kelvin, as t = T + (-273.15).
inline double celsius(double kelvin) { return kelvin + (-zero_celsius); }

// Solute mass fraction w = bM / (bM + 1000) from the molality b (mol/kg) and the
// molecular weight M (g/mol); 1000 is the grams of water in a kilogram.
inline double solute_mass_fraction(double molality, double molecular_weight) {
    const double solute_mass = molality * molecular_weight;  // grams per kilogram of water
    return solute_mass / (solute_mass + 1000);
}

// The terms that depend on temperature alone; a caller evaluating many
// molalities at one temperature computes them once.
struct laliberte_temperature_terms {
    double t;              // Celsius temperature
    double water_density;  // kg/m^3
    double exp_factor;     // exp((t + c4)^2 * 1e-6)
    double c3_t;           // c3 * t
};

struct laliberte_state {
    double density;   // kg/m^3
    double molarity;  // mol/L
};

inline laliberte_temperature_terms laliberte_terms_at(double temperature,
                                                      const laliberte_density_params& fit) {
    const double t = celsius(temperature);
    // Density of air-free water at one atmosphere, Kell's polynomial over
    // 0-150 degrees Celsius (G. S. Kell, J. Chem. Eng. Data 20, 97-105, 1975),
    // evaluated by Horner's rule.
    const double kell =
        (((((-2.8054253e-10 * t + 1.0556302e-7) * t + (-4.6170461e-5)) * t + (-0.0079870401)) * t +
          16.945176) *
             t +
         999.83952);
    const double water_density = kell / (0.01687985 * t + 1);
    const double shifted = t + fit.c4;
    const double exp_factor = std::exp(shifted * shifted * 1e-6);
    return {t, water_density, exp_factor, fit.c3 * t};
}

// Density and molarity of the solution: the density model of Laliberte and
// Cooper (J. Chem. Eng. Data 49, 1141-1151, 2004) in the form, and with the
// fit parameters c0-c4, of M. Laliberte (J. Chem. Eng. Data 54, 1725-1760, 2009).
inline laliberte_state laliberte_density_eval(const laliberte_temperature_terms& terms,
                                              double molality, double molecular_weight,
                                              const laliberte_density_params& fit) {
    const double w = solute_mass_fraction(molality, molecular_weight);
    // Apparent specific volume of the solute.
    const double v = (terms.c3_t + (fit.c2 + w)) / (terms.exp_factor * (fit.c0 * w + fit.c1));
    const double density = 1 / ((1 - w) / terms.water_density + v * w);
    return {density, density * w / molecular_weight};
}

inline laliberte_state laliberte_density_eval(double temperature, double molality,
                                              double molecular_weight,
                                              const laliberte_density_params& fit) {
    return laliberte_density_eval(laliberte_terms_at(temperature, fit), molality,
                                  molecular_weight, fit);
}

// ValueError for paired arrays of different lengths.
inline error unequal_lengths() {
    return value_error("temperature and molality must have the same length");
}

// The element-wise result of a formula over paired temperature and molality
// arrays, or the error for arrays of different lengths (checked before any
// element is computed).
template <class Formula>
outcome<elementwise<Formula>> over_pairs(const Formula& formula) {
    if (formula.temperature.size() != formula.molality.size()) return unequal_lengths();
    return elementwise<Formula>{formula.temperature.size(), formula};
}

// out[i] = model(temperature[first + i], molality[first + i]) for i below count.
template <class Model>
void fill_pairs(std::span<const double> temperature, std::span<const double> molality,
                std::size_t first, std::size_t count, double* out, Model model) {
    const double* const t = temperature.data() + first;
    const double* const b = molality.data() + first;
    for (std::size_t i = 0; i < count; ++i) out[i] = model(t[i], b[i]);
}

}  // namespace quor
