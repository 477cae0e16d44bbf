// MSD window fit: finds the most nearly diffusive window on log-log axes and fits a line to it.
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "transport/transport.h"
#include "transport/window_search.h"

namespace quor {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Truncation toward zero that saturates: negative or NaN gives 0, 2^64 and beyond give the
// largest value. A plain cast is undefined outside [0, 2^64), so the ends are tested first.
std::uint64_t saturating_to_u64(double x) noexcept {
    constexpr double two_to_64 = 18446744073709551616.0;
    if (!(x > 0.0)) return 0;  // negative, zero or NaN
    if (x >= two_to_64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

}  // namespace

diffusion_fit diff_calculator(std::span<const double> time, std::span<const double> msd_in,
                              double margin, std::uint64_t min_window, std::uint64_t max_window,
                              double max_error, double min_displacement) {
    if (time.empty() || msd_in.size() != time.size()) return {nan, {}, {}};

    // Displacement filter: NaN displacements and a NaN threshold fail the comparison.
    const double threshold = min_displacement * min_displacement;
    std::vector<double> t;
    std::vector<double> m;
    t.reserve(time.size());
    m.reserve(time.size());
    for (std::size_t k = 0; k < time.size(); ++k) {
        if (std::fabs(msd_in[k]) >= threshold) {
            t.push_back(time[k]);
            m.push_back(msd_in[k]);
        }
    }
    if (t.empty()) return {nan, {}, {}};

    // The logarithms, once per point; zeros pad the arrays for the search's vector lanes.
    const std::size_t n = t.size();
    std::vector<double> log_t(n + search_padding);
    std::vector<double> log_m(n + search_padding);
    for (std::size_t p = 0; p < n; ++p) {
        log_t[p] = std::log10(t[p]);  // no absolute value: zero gives -inf, negative gives NaN
        log_m[p] = std::log10(std::fabs(m[p]));
    }

    // The search region, trimmed by the margin at both ends.
    const double n_real = static_cast<double>(n);
    const std::uint64_t start = saturating_to_u64(margin * n_real);
    const std::uint64_t end_raw = saturating_to_u64((1.0 - margin) * n_real);
    const std::uint64_t end = end_raw > min_window ? end_raw - min_window : 0;

    const auto best = search_windows({t, log_t.data(), log_m.data(), start, end, min_window,
                                      max_window, 1.0 - max_error, 1.0 + max_error});
    if (!best) return {nan, {time[0]}, {msd_in[0]}};

    // Straight line through the window's raw points.
    const auto first = static_cast<std::ptrdiff_t>(best->start);
    const auto count = static_cast<std::ptrdiff_t>(best->length);
    std::vector<double> x(t.begin() + first, t.begin() + first + count);
    const std::span<const double> y(m.data() + best->start, best->length);
    line_sums<double> sums;
    for (std::size_t p = 0; p < x.size(); ++p) sums.add(x[p], y[p]);
    const double jd = static_cast<double>(best->length);
    const double den = jd * sums.sxx - sums.sx * sums.sx;
    double slope = nan;
    double intercept = nan;
    if (den != 0.0) {
        slope = (jd * sums.sxy - sums.sx * sums.sy) / den;
        intercept = (sums.sy - sums.sx * slope) / jd;
    }
    std::vector<double> fit(x.size());
    for (std::size_t p = 0; p < x.size(); ++p) fit[p] = x[p] * slope + intercept;
    return {slope, std::move(x), std::move(fit)};
}

}  // namespace quor
