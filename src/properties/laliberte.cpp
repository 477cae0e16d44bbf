// Laliberte density and viscosity over paired temperature and molality arrays.
#include <cmath>
#include <cstddef>

#include "properties/laliberte.h"
#include "properties/properties.h"

namespace quor {
namespace {

// Viscosity of water in mPa*s at Celsius temperature t, the correlation of the
// Laliberte viscosity model (M. Laliberte, J. Chem. Eng. Data 52, 321-335, 2007;
// restated in J. Chem. Eng. Data 54, 1725-1760, 2009).
double water_viscosity(double t) {
    return (t + 245.9996) / ((0.055943 * t + 5.284245) * t + 137.3664);
}

}  // namespace

outcome<elementwise<laliberte_density_formula>> laliberte_density(
    std::span<const double> temperature, std::span<const double> molality, double molecular_weight,
    const laliberte_density_params& density_fit) {
    return over_pairs(laliberte_density_formula{temperature, molality, molecular_weight, density_fit});
}

void laliberte_density_formula::fill(std::size_t first, std::size_t count, double* const* out) const {
    const double* const t = temperature.data() + first;
    const double* const b = molality.data() + first;
    double* const density = out[0];
    double* const molarity = out[1];
    for (std::size_t i = 0; i < count; ++i) {
        const laliberte_state state = laliberte_density_eval(t[i], b[i], molecular_weight, fit);
        density[i] = state.density;
        molarity[i] = state.molarity;
    }
}

// The viscosity model of M. Laliberte (J. Chem. Eng. Data 52, 321-335, 2007),
// with the fit parameters v1-v6 of J. Chem. Eng. Data 54, 1725-1760 (2009).
outcome<elementwise<laliberte_viscosity_formula>> laliberte_viscosity(
    std::span<const double> temperature, std::span<const double> molality, double molecular_weight,
    const laliberte_viscosity_params& viscosity_fit) {
    return over_pairs(laliberte_viscosity_formula{temperature, molality, molecular_weight, viscosity_fit});
}

void laliberte_viscosity_formula::fill(std::size_t first, std::size_t count, double* const* out) const {
    const auto& [v1, v2, v3, v4, v5, v6] = fit;
    fill_pairs(temperature, molality, first, count, out[0], [&](double kelvin, double b) {
        const double t = celsius(kelvin);
        const double w = solute_mass_fraction(b, molecular_weight);
        // Solute viscosity in mPa*s.
        const double solute = std::exp((v1 * std::pow(w, v2) + v3) / (v4 * t + 1)) / (v5 * std::pow(w, v6) + 1);
        // Both powers first, then the conversion to Pa*s.
        return std::pow(water_viscosity(t), 1 - w) * std::pow(solute, w) * 0.001;
    });
}

}  // namespace quor
