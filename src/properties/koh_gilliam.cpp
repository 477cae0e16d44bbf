// KOH electrical conductivity after R. J. Gilliam, J. W. Graydon, D. W. Kirk and
// S. J. Thorpe (Int. J. Hydrogen Energy 32, 359-364, 2007): a polynomial of
// molarity below 80 degrees Celsius, one of mass percentage from there on.
#include "properties/laliberte.h"
#include "properties/properties.h"

namespace quor {
namespace {

// 80 degrees Celsius in kelvin: the lowest temperature of the high-temperature polynomial.
constexpr double high_temperature_branch = 353.15;

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

outcome<elementwise<koh_gilliam_formula>> koh_gilliam_eval(
    std::span<const double> temperature, std::span<const double> molality, double molecular_weight,
    const laliberte_density_params& density_fit) {
    return over_pairs(koh_gilliam_formula{temperature, molality, molecular_weight, density_fit});
}

void koh_gilliam_formula::fill(std::size_t first, std::size_t count, double* const* out) const {
    fill_pairs(temperature, molality, first, count, out[0], [&](double kelvin, double b) {
        double kappa;
        if (kelvin < high_temperature_branch) {  // a NaN temperature takes the high branch
            const double m = laliberte_density_eval(kelvin, b, molecular_weight, fit).molarity;
            kappa = low_temperature_kappa(m, kelvin);
        } else {
            kappa = high_temperature_kappa(solute_mass_fraction(b, molecular_weight) * 100, kelvin);
        }
        return kappa * 100;  // S/cm to S/m
    });
}

}  // namespace quor
