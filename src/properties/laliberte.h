// The Laliberte density evaluation shared by the density, inversion and KOH models.
#pragma once

#include <cmath>

#include "properties/properties.h"

namespace quor {

// The terms that depend on temperature alone; a caller evaluating many
// molalities at one temperature computes them once.
struct laliberte_temperature_terms {
    double t;              // Celsius temperature
    double water_density;  // Kell polynomial, kg/m^3
    double exp_factor;     // exp((t + c4)^2 * 1e-6)
    double c3_t;           // c3 * t
};

struct laliberte_state {
    double density;   // kg/m^3
    double molarity;  // mol/L
};

inline laliberte_temperature_terms laliberte_terms_at(double temperature,
                                                      const laliberte_density_params& c) {
    const double t = temperature + (-273.15);
    const double kell =
        (((((-2.8054253e-10 * t + 1.0556302e-7) * t + (-4.6170461e-5)) * t + (-0.0079870401)) * t +
          16.945176) *
             t +
         999.83952);
    const double water_density = kell / (0.01687985 * t + 1);
    const double shifted = t + c.c4;
    const double exp_factor = std::exp(shifted * shifted * 1e-6);
    return {t, water_density, exp_factor, c.c3 * t};
}

inline laliberte_state laliberte_density_eval(const laliberte_temperature_terms& terms,
                                              double molality, double molecular_weight,
                                              const laliberte_density_params& c) {
    const double solute_mass = molality * molecular_weight;
    const double w = solute_mass / (solute_mass + 1000);
    // Apparent specific volume of the solute.
    const double v = (terms.c3_t + (c.c2 + w)) / (terms.exp_factor * (c.c0 * w + c.c1));
    const double density = 1 / ((1 - w) / terms.water_density + v * w);
    return {density, density * w / molecular_weight};
}

inline laliberte_state laliberte_density_eval(double temperature, double molality,
                                              double molecular_weight,
                                              const laliberte_density_params& c) {
    return laliberte_density_eval(laliberte_terms_at(temperature, c), molality, molecular_weight,
                                  c);
}

}  // namespace quor
