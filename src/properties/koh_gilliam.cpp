// KOH electrical conductivity: a molarity polynomial below 353.15 K, a mass-percentage one above.
#include <cstddef>

#include "properties/laliberte.h"
#include "properties/properties.h"

namespace quor {
namespace {

// S/cm, from molarity m (mol/L) and temperature (K).
double low_temperature_kappa(double m, double kelvin) {
    // Innermost terms summed first, as the correlation is written.
    const double kappa =
        m * 0.001043 * m * m +
        (m * 207.2 / kelvin + (0.005332 * m * kelvin + (m * (-0.0028) * m + (-2.041) * m)));
    return kappa - kelvin * m * (kelvin * m) * 3e-7;
}

// S/cm, from mass percentage and temperature (K).
double high_temperature_kappa(double percent, double kelvin) {
    const double kappa =
        percent * 7.0101e-6 * percent * percent +
        (percent * (-10.7021) / kelvin +
         (3.3647e-4 * percent * kelvin + (percent * (-0.0013077) * percent + 0.0022204 * percent)));
    return kappa - kelvin * percent * (kelvin * percent) * 3.2033e-9;
}

}  // namespace

outcome<std::vector<double>> koh_gilliam_eval(std::span<const double> temperature,
                                              std::span<const double> molality,
                                              double molecular_weight,
                                              const laliberte_density_params& c) {
    if (temperature.size() != molality.size())
        return value_error("temperature and molality must have the same length");

    std::vector<double> conductivity(temperature.size());
    for (std::size_t i = 0; i < temperature.size(); ++i) {
        const double kelvin = temperature[i];
        double kappa;
        if (kelvin < 353.15) {  // a NaN temperature takes the high branch
            const double m =
                laliberte_density_eval(kelvin, molality[i], molecular_weight, c).molarity;
            kappa = low_temperature_kappa(m, kelvin);
        } else {
            const double solute_mass = molality[i] * molecular_weight;
            const double w = solute_mass / (solute_mass + 1000);
            kappa = high_temperature_kappa(w * 100, kelvin);
        }
        conductivity[i] = kappa * 100;  // S/cm to S/m
    }
    return conductivity;
}

}  // namespace quor
