// Molarity to molality by inverting the Laliberte density evaluation with Brent-Dekker.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "properties/laliberte.h"
#include "properties/number_format.h"
#include "properties/properties.h"

namespace quor {
namespace {

// Lower end of every bracket, mol/kg.
constexpr double lowest_molality = 1e-12;
// The upper end is doubled at most this many times.
constexpr int maximum_doublings = 65;

// Molarity as a function of molality at the call's fixed temperature.
struct molarity_curve {
    laliberte_temperature_terms terms;
    double molecular_weight;
    laliberte_density_params c;

    double operator()(double molality) const {
        return laliberte_density_eval(terms, molality, molecular_weight, c).molarity;
    }
};

// Brent-Dekker from the bracket [lo, hi] with residuals f_lo, f_hi of opposite sign
// (or a zero); returns the final b.
double brent_dekker(const molarity_curve& molarity_at, double target, double lo, double f_lo,
                    double hi, double f_hi, double tolerance, std::uint64_t maximum_iterations) {
    double a, fa, b, fb;
    if (!(std::fabs(f_hi) > std::fabs(f_lo))) {  // also taken when either is NaN
        b = hi, fb = f_hi, a = lo, fa = f_lo;
    } else {
        b = lo, fb = f_lo, a = hi, fa = f_hi;
    }
    double c = a, fc = fa;
    double d = 0.0;  // read only once bisection_flag is clear, after the first update
    bool bisection_flag = true;

    for (std::uint64_t iteration = 0; iteration < maximum_iterations; ++iteration) {
        if (std::fabs(fb) <= tolerance) break;
        if (std::fabs(b - a) <= tolerance) break;

        double s;
        if (fa != fc && fb != fc) {
            // Inverse quadratic interpolation; the last two terms are summed first on purpose.
            s = c * fa * fb / ((fc - fa) * (fc - fb)) +
                (a * fb * fc / ((fa - fc) * (fa - fb)) + b * fa * fc / ((fb - fc) * (fb - fa)));
        } else {
            s = b - (b - a) * fb / (fb - fa);
        }

        const double quarter = (a * 3 + b) * 0.25;
        const bool between = (quarter < s && s < b) || (b < s && s < quarter);
        const bool bisect =
            !between ||
            (bisection_flag ? (std::fabs(b - c) < tolerance || std::fabs(s - b) >= std::fabs(b - c) * 0.5)
                            : (std::fabs(c - d) < tolerance || std::fabs(s - b) >= std::fabs(c - d) * 0.5));
        if (bisect) {
            s = (a + b) * 0.5;
            bisection_flag = true;
        } else {
            bisection_flag = false;
        }

        const double fs = molarity_at(s) - target;
        d = c;
        c = b;
        fc = fb;
        if (fa * fs < 0) {
            b = s;
            fb = fs;
        } else {  // also taken for a NaN product
            a = s;
            fa = fs;
        }
        if (std::fabs(fb) > std::fabs(fa)) {
            std::swap(a, b);
            std::swap(fa, fb);
        }
    }
    return b;
}

}  // namespace

outcome<std::vector<double>> molarity_to_molality(std::span<const double> molarity,
                                                  double temperature, double molecular_weight,
                                                  const laliberte_density_params& c,
                                                  double tolerance,
                                                  std::uint64_t maximum_iterations) {
    const molarity_curve molarity_at{laliberte_terms_at(temperature, c), molecular_weight, c};
    const double m_lo = molarity_at(lowest_molality);

    std::vector<double> molality(molarity.size());
    for (std::size_t i = 0; i < molarity.size(); ++i) {
        const double target = molarity[i];
        if (target <= 0) {
            molality[i] = 0.0;
            continue;
        }

        double hi = target > 1 ? target : 1.0;
        double m_hi = 0.0;
        for (int doubling = 0; doubling < maximum_doublings; ++doubling) {
            hi = hi + hi;
            m_hi = molarity_at(hi);
            if (!(m_hi < target)) break;
        }

        const double f_lo = m_lo - target;
        const double f_hi = m_hi - target;
        const double product = f_lo * f_hi;
        if (product > 0) {
            return value_error("molarity_to_molality: could not bracket root for molarity = " +
                               format_scientific(target) + " mol/L at temperature = " +
                               format_fixed(temperature) + " K");
        }
        // A NaN product means a NaN or infinite input somewhere: no root to report.
        if (std::isnan(product)) {
            molality[i] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        molality[i] = brent_dekker(molarity_at, target, lowest_molality, f_lo, hi, f_hi, tolerance,
                                   maximum_iterations);
    }
    return molality;
}

}  // namespace quor
