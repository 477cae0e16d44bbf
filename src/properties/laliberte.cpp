// Laliberte density and viscosity over paired temperature and molality arrays.
#include <cmath>
#include <cstddef>

#include "properties/laliberte.h"
#include "properties/properties.h"

namespace quor {

outcome<density_and_molarity> laliberte_density(std::span<const double> temperature,
                                                std::span<const double> molality,
                                                double molecular_weight,
                                                const laliberte_density_params& c) {
    if (temperature.size() != molality.size())
        return value_error("temperature and molality must have the same length");

    density_and_molarity result;
    result.density.resize(temperature.size());
    result.molarity.resize(temperature.size());
    for (std::size_t i = 0; i < temperature.size(); ++i) {
        const laliberte_state state =
            laliberte_density_eval(temperature[i], molality[i], molecular_weight, c);
        result.density[i] = state.density;
        result.molarity[i] = state.molarity;
    }
    return result;
}

outcome<std::vector<double>> laliberte_viscosity(std::span<const double> temperature,
                                                 std::span<const double> molality,
                                                 double molecular_weight,
                                                 const laliberte_viscosity_params& v) {
    if (temperature.size() != molality.size())
        return value_error("temperature and molality must have the same length");

    std::vector<double> viscosity(temperature.size());
    for (std::size_t i = 0; i < temperature.size(); ++i) {
        const double t = temperature[i] + (-273.15);
        const double solute_mass = molality[i] * molecular_weight;
        const double w = solute_mass / (solute_mass + 1000);
        // Water and solute viscosities in mPa*s.
        const double water = (t + 245.9996) / ((0.055943 * t + 5.284245) * t + 137.3664);
        const double solute = std::exp((v.v1 * std::pow(w, v.v2) + v.v3) / (v.v4 * t + 1)) /
                              (v.v5 * std::pow(w, v.v6) + 1);
        // Both powers first, then the conversion to Pa*s.
        viscosity[i] = std::pow(water, 1 - w) * std::pow(solute, w) * 0.001;
    }
    return viscosity;
}

}  // namespace quor
