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

outcome<density_and_molarity> laliberte_density(std::span<const double> temperature,
                                                std::span<const double> molality,
                                                double molecular_weight,
                                                const laliberte_density_params& density_fit) {
    if (temperature.size() != molality.size()) return unequal_lengths();

    density_and_molarity result;
    result.density.resize(temperature.size());
    result.molarity.resize(temperature.size());
    for (std::size_t i = 0; i < temperature.size(); ++i) {
        const laliberte_state state =
            laliberte_density_eval(temperature[i], molality[i], molecular_weight, density_fit);
        result.density[i] = state.density;
        result.molarity[i] = state.molarity;
    }
    return result;
}

// The viscosity model of M. Laliberte (J. Chem. Eng. Data 52, 321-335, 2007),
// with the fit parameters v1-v6 of J. Chem. Eng. Data 54, 1725-1760 (2009).
outcome<std::vector<double>> laliberte_viscosity(std::span<const double> temperature,
                                                 std::span<const double> molality,
                                                 double molecular_weight,
                                                 const laliberte_viscosity_params& viscosity_fit) {
    const auto& [v1, v2, v3, v4, v5, v6] = viscosity_fit;
    return over_pairs(temperature, molality, [&](double kelvin, double b) {
        const double t = celsius(kelvin);
        const double w = solute_mass_fraction(b, molecular_weight);
        // Solute viscosity in mPa*s.
        const double solute = std::exp((v1 * std::pow(w, v2) + v3) / (v4 * t + 1)) / (v5 * std::pow(w, v6) + 1);
        // Both powers first, then the conversion to Pa*s.
        return std::pow(water_viscosity(t), 1 - w) * std::pow(solute, w) * 0.001;
    });
}

}  // namespace quor
