// Window checks and equilibration for the package's private module.
#include "transport/series_checks.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quor {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

double mean_of(std::span<const double> v) noexcept {
    double sum = 0.0;
    for (const double value : v) sum += value;
    return sum / static_cast<double>(v.size());
}

// Sum of (a - mean_a)(b - mean_b), one term at a time.
double centred_product(std::span<const double> a, double mean_a, std::span<const double> b, double mean_b) noexcept {
    double sum = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) sum += (a[k] - mean_a) * (b[k] - mean_b);
    return sum;
}

double log10_or_nan(double v) noexcept { return v > 0.0 ? std::log10(v) : nan; }

int sign_of(double v) noexcept { return v > 0.0 ? 1 : (v < 0.0 ? -1 : 0); }

}  // namespace

std::vector<double> local_loglog_slopes(std::span<const double> t, std::span<const double> m, double ratio) {
    const std::size_t n = t.size();
    std::vector<double> log_t(n);
    std::vector<double> log_m(n);
    for (std::size_t p = 0; p < n; ++p) {
        log_t[p] = log10_or_nan(t[p]);
        log_m[p] = log10_or_nan(std::fabs(m[p]));
    }
    bool ordered = true;
    for (std::size_t p = 1; p < n && ordered; ++p) ordered = t[p] >= t[p - 1];
    std::vector<double> slopes(n, nan);
    std::size_t partner = 0;  // in time order the partner only moves forward
    for (std::size_t p = 0; p < n; ++p) {
        const double later = ratio * t[p];
        std::size_t q = ordered ? std::max(partner, p + 1) : p + 1;
        while (q < n && !(t[q] >= later)) ++q;
        if (ordered) partner = q;
        if (q >= n) continue;
        const double slope = (log_m[q] - log_m[p]) / (log_t[q] - log_t[p]);
        if (std::isfinite(slope)) slopes[p] = slope;
    }
    return slopes;
}

window_check check_window(std::span<const double> x, std::span<const double> y, double max_error,
                          double local_ratio) {
    const std::size_t n = x.size();
    window_check out{};
    // The line, with the sums in the order the window search's own fit uses.
    double sx = 0.0, sy = 0.0, sxy = 0.0, sxx_raw = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        sx += x[k];
        sy += y[k];
        sxy += x[k] * y[k];
        sxx_raw += x[k] * x[k];
    }
    const double j = static_cast<double>(n);
    const double den = j * sxx_raw - sx * sx;
    out.slope = out.intercept = nan;
    if (den != 0.0) {
        out.slope = (j * sxy - sx * sy) / den;
        out.intercept = (sy - sx * out.slope) / j;
    }
    out.fitted.resize(n);
    for (std::size_t k = 0; k < n; ++k) out.fitted[k] = x[k] * out.slope + out.intercept;

    const double mean_x = mean_of(x);
    out.mean_y = mean_of(y);
    const double sxx = centred_product(x, mean_x, x, mean_x);
    const double sst = centred_product(y, out.mean_y, y, out.mean_y);
    double ssr = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double r = y[k] - out.fitted[k];
        ssr += r * r;
    }
    out.stderr_slope = n > 2 && sxx > 0.0 ? std::sqrt(ssr / static_cast<double>(n - 2) / sxx) : nan;
    out.r_squared = sst > 0.0 ? 1.0 - ssr / sst : nan;
    out.relative_intercept = out.fitted[0] != 0.0 ? out.intercept / out.fitted[0] : nan;

    // Local slopes over a fixed ratio of times; a window spanning less gets half its span.
    const double span = x[0] > 0.0 ? x[n - 1] / x[0] : std::numeric_limits<double>::infinity();
    const double ratio = span > 1.0 ? std::min(local_ratio, std::sqrt(span)) : local_ratio;
    const std::vector<double> local = local_loglog_slopes(x, y, ratio);
    const double lo = 1.0 - max_error;
    const double hi = 1.0 + max_error;
    out.local_min = out.local_max = nan;
    out.flags.assign(n, 0);
    for (std::size_t k = 0; k < n; ++k) {
        if (sign_of(out.fitted[k]) * sign_of(y[k]) < 0) {
            out.flags[k] |= crossing_row;
            ++out.crossing;
        }
        const double s = local[k];
        if (std::isnan(s)) continue;
        out.local_min = out.defined == 0 ? s : std::min(out.local_min, s);
        out.local_max = out.defined == 0 ? s : std::max(out.local_max, s);
        ++out.defined;
        if (!(lo < s && s < hi)) {
            out.flags[k] |= out_of_band_row;
            ++out.out_of_band;
        }
    }

    // Least-squares slope on log-log axes.
    std::vector<double> lx(n);
    std::vector<double> ly(n);
    for (std::size_t k = 0; k < n; ++k) {
        lx[k] = std::log10(x[k]);
        ly[k] = std::log10(std::fabs(y[k]));
    }
    const double mean_lx = mean_of(lx);
    const double spread = centred_product(lx, mean_lx, lx, mean_lx);
    out.loglog_slope = spread > 0.0 ? centred_product(lx, mean_lx, ly, mean_of(ly)) / spread : nan;
    return out;
}

double statistical_inefficiency(std::span<const double> x, std::size_t min_lag) {
    const std::size_t n = x.size();
    if (n < 2) return 1.0;
    const double mean = mean_of(x);
    std::vector<double> dx(n);
    for (std::size_t k = 0; k < n; ++k) dx[k] = x[k] - mean;
    double sum_sq = 0.0;
    for (const double d : dx) sum_sq += d * d;
    const double variance = sum_sq / static_cast<double>(n);
    if (variance == 0.0 || !std::isfinite(variance)) return 1.0;
    const double size = static_cast<double>(n);
    double g = 1.0;
    for (std::size_t t = 1; t + 1 < n; ++t) {
        double sum = 0.0;
        for (std::size_t k = 0; k + t < n; ++k) sum += dx[k] * dx[k + t];
        const double c = sum / static_cast<double>(n - t) / variance;
        if (c <= 0.0 && t > min_lag) break;
        g += 2.0 * c * (1.0 - static_cast<double>(t) / size);
    }
    return std::max(g, 1.0);
}

equilibrated detect_equilibration(std::span<const double> x, std::size_t candidates) {
    const std::size_t n = x.size();
    const std::size_t half = n / 2;
    const std::size_t last = half > 0 ? half - 1 : 0;
    const std::size_t count = std::min(candidates, std::max<std::size_t>(half, 1));
    // Evenly spaced starts from 0 to `last` (both included), truncated to rows; each tried once.
    const double step = count > 1 ? static_cast<double>(last) / static_cast<double>(count - 1) : 0.0;
    double best_effective = -1.0;
    std::size_t best_start = 0;
    double best_g = 1.0;
    std::size_t previous = std::numeric_limits<std::size_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        const double at = i + 1 == count && count > 1 ? static_cast<double>(last) : static_cast<double>(i) * step;
        const auto start = static_cast<std::size_t>(at);
        if (start == previous) continue;
        previous = start;
        const double g = statistical_inefficiency(x.subspan(start), 3);
        const double effective = static_cast<double>(n - start) / g;
        if (effective > best_effective) {
            best_effective = effective;
            best_start = start;
            best_g = g;
        }
    }
    const std::span<const double> tail = x.subspan(best_start);
    const double mean = mean_of(tail);
    double sum_sq = 0.0;
    for (const double v : tail) sum_sq += (v - mean) * (v - mean);
    const double variance = sum_sq / static_cast<double>(tail.size());
    const double error = tail.size() > 1 ? std::sqrt(best_g * variance / static_cast<double>(tail.size())) : nan;
    return {best_start, best_g, mean, error};
}

}  // namespace quor
