// Molarity to molality by inverting the Laliberte density evaluation with Brent-Dekker.
#include <bit>
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
    laliberte_density_params density_fit;

    double operator()(double molality) const {
        return laliberte_density_eval(terms, molality, molecular_weight, density_fit).molarity;
    }
};

// The state of a Brent-Dekker search; each iteration is a function of it alone.
struct brent_state {
    double a, fa, b, fb, c, fc;
    double d = 0.0;  // read only once bisection is clear, after the first update
    bool bisection = true;

    // Bitwise, so that states holding NaN compare equal to themselves.
    bool same_as(const brent_state& other) const noexcept {
        const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
        return bits(a) == bits(other.a) && bits(fa) == bits(other.fa) && bits(b) == bits(other.b) &&
               bits(fb) == bits(other.fb) && bits(c) == bits(other.c) && bits(fc) == bits(other.fc) &&
               bits(d) == bits(other.d) && bisection == other.bisection;
    }
};

// Whether the search stops before an iteration at this state.
bool converged(const brent_state& st, double tolerance) {
    return std::fabs(st.fb) <= tolerance || std::fabs(st.b - st.a) <= tolerance;
}

// One iteration after the stopping tests.
void brent_step(brent_state& st, const molarity_curve& molarity_at, double target, double tolerance) {
    auto& [a, fa, b, fb, c, fc, d, bisection_flag] = st;
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

// Brent-Dekker from the bracket [lo, hi] with residuals f_lo, f_hi of opposite sign
// (or a zero); returns the final b.
//
// A tolerance that is never met (NaN, negative, or below the spacing of doubles)
// leaves the search cycling through the same few states, and maximum_iterations
// may be as large as 2^64 - 1. The iteration depends on its state alone, so once a
// state comes back the rest is known: cycles are found the way Brent's cycle
// detection finds them (a state saved at each power of two), and only the
// iterations left over after whole cycles are run. The result is the b that
// running every iteration would give.
double brent_dekker(const molarity_curve& molarity_at, double target, double lo, double f_lo,
                    double hi, double f_hi, double tolerance, std::uint64_t maximum_iterations) {
    brent_state st{};
    if (!(std::fabs(f_hi) > std::fabs(f_lo))) {  // also taken when either is NaN
        st.b = hi, st.fb = f_hi, st.a = lo, st.fa = f_lo;
    } else {
        st.b = lo, st.fb = f_lo, st.a = hi, st.fa = f_hi;
    }
    st.c = st.a, st.fc = st.fa;

    brent_state saved = st;
    std::uint64_t power = 1, cycle = 0;
    for (std::uint64_t iteration = 0; iteration < maximum_iterations; ++iteration) {
        if (converged(st, tolerance)) break;
        brent_step(st, molarity_at, target, tolerance);
        ++cycle;
        if (st.same_as(saved)) {
            // Every state of the cycle has passed the stopping tests already.
            const std::uint64_t left = (maximum_iterations - iteration - 1) % cycle;
            for (std::uint64_t k = 0; k < left; ++k) brent_step(st, molarity_at, target, tolerance);
            break;
        }
        if (cycle == power) {
            saved = st;
            power *= 2;
            cycle = 0;
        }
    }
    return st.b;
}

}  // namespace

outcome<std::vector<double>> molarity_to_molality(std::span<const double> molarity,
                                                  double temperature, double molecular_weight,
                                                  const laliberte_density_params& density_fit,
                                                  double tolerance,
                                                  std::uint64_t maximum_iterations) {
    const molarity_curve molarity_at{laliberte_terms_at(temperature, density_fit), molecular_weight,
                                     density_fit};
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
