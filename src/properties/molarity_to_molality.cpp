// Molarity to molality by inverting the Laliberte density evaluation with Brent-Dekker.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
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
// (or a zero), one iteration per call of advance(); the result is the final b.
//
// A tolerance that is never met (NaN, negative, or below the spacing of doubles)
// leaves the search cycling through the same few states, and maximum_iterations
// may be as large as 2^64 - 1. The iteration depends on its state alone, so once a
// state comes back the rest is known: cycles are found the way Brent's cycle
// detection finds them (a state saved at each power of two), and only the
// iterations left over after whole cycles are run. The result is the b that
// running every iteration would give.
class brent_search {
public:
    brent_search(double target, double lo, double f_lo, double hi, double f_hi) : target_(target) {
        if (!(std::fabs(f_hi) > std::fabs(f_lo))) {  // also taken when either is NaN
            st_.b = hi, st_.fb = f_hi, st_.a = lo, st_.fa = f_lo;
        } else {
            st_.b = lo, st_.fb = f_lo, st_.a = hi, st_.fa = f_hi;
        }
        st_.c = st_.a, st_.fc = st_.fa;
        saved_ = st_;
    }

    // Runs the next iteration; false, running none, once the search has ended.
    bool advance(const molarity_curve& molarity_at, double tolerance, std::uint64_t maximum_iterations) {
        if (left_over_ != none) {  // after a cycle: only the left-over iterations remain
            if (left_over_ == 0) return false;
            brent_step(st_, molarity_at, target_, tolerance);
            --left_over_;
            return true;
        }
        if (iteration_ >= maximum_iterations || converged(st_, tolerance)) return false;
        brent_step(st_, molarity_at, target_, tolerance);
        ++cycle_;
        if (st_.same_as(saved_)) {
            // Every state of the cycle has passed the stopping tests already.
            left_over_ = (maximum_iterations - iteration_ - 1) % cycle_;
            return true;
        }
        if (cycle_ == power_) {
            saved_ = st_;
            power_ *= 2;
            cycle_ = 0;
        }
        ++iteration_;
        return true;
    }

    double root() const noexcept { return st_.b; }

private:
    static constexpr std::uint64_t none = static_cast<std::uint64_t>(-1);

    double target_;
    brent_state st_{};
    brent_state saved_{};
    std::uint64_t iteration_ = 0, power_ = 1, cycle_ = 0;
    std::uint64_t left_over_ = none;
};

// How many searches run side by side. Each iteration is a chain of dependent
// divisions; independent searches in one loop let the processor overlap them.
constexpr std::size_t side_by_side = 4;

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
    // Searches are started in element order, so the first element whose root
    // cannot be bracketed is the one reported; a search, once started, cannot fail.
    struct running {
        std::size_t element;
        brent_search search;
    };
    std::optional<running> lanes[side_by_side];
    std::size_t next = 0;
    // Starts the search of the next element that needs one into `lane`; an element
    // without a search gets its value at once. Returns the error of an element
    // whose root cannot be bracketed.
    const auto start = [&](std::optional<running>& lane) -> std::optional<error> {
        lane.reset();
        while (next < molarity.size()) {
            const std::size_t i = next++;
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
            lane.emplace(running{i, brent_search(target, lowest_molality, f_lo, hi, f_hi)});
            return std::nullopt;
        }
        return std::nullopt;
    };

    for (auto& lane : lanes)
        if (auto failure = start(lane)) return *std::move(failure);
    for (bool any = true; any;) {
        any = false;
        for (auto& lane : lanes) {
            if (!lane) continue;
            any = true;
            if (lane->search.advance(molarity_at, tolerance, maximum_iterations)) continue;
            molality[lane->element] = lane->search.root();
            if (auto failure = start(lane)) return *std::move(failure);
        }
    }
    return molality;
}

}  // namespace quor
