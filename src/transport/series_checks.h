// What the package checks around a fit and a time series, for its private module:
// a fitted window's quality and local log-log slopes, and the equilibrated part of
// a correlated series. Plain values in, plain values out; nothing here raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quor {

// Per-row flags of a window check.
inline constexpr std::uint8_t out_of_band_row = 1;  // local log-log slope outside the band
inline constexpr std::uint8_t crossing_row = 2;     // the line's sign differs from the curve's

struct window_check {
    double slope;      // least-squares line, summed in row order (NaN when the x are all equal)
    double intercept;
    std::vector<double> fitted;  // the line at each x
    double stderr_slope;         // NaN for fewer than 3 rows or equal x
    double r_squared;            // NaN when the y are all equal
    double relative_intercept;   // intercept / fitted[0]; NaN when fitted[0] is 0
    double local_min;            // extremes of the defined local slopes (NaN when none)
    double local_max;
    std::size_t defined;         // rows with a local slope
    std::size_t out_of_band;     // of those, rows outside (lo, hi)
    std::size_t crossing;        // rows where the line has the other sign
    double mean_y;
    double loglog_slope;         // least-squares slope of log10|y| on log10 x (NaN when undefined)
    std::vector<std::uint8_t> flags;  // out_of_band_row | crossing_row per row
};

// The log-log slope at each row, to the first later row at least `ratio` times later
// (NaN where there is none, or a time or value has no logarithm).
std::vector<double> local_loglog_slopes(std::span<const double> t, std::span<const double> m, double ratio);

// x and y of one length, at least 1.
window_check check_window(std::span<const double> x, std::span<const double> y, double max_error,
                          double local_ratio);

// g = 1 + 2 sum_t (1 - t/N) C(t), summed until C(t) <= 0 past min_lag; 1 for fewer than two
// samples, a constant series or one whose variance is not finite.
double statistical_inefficiency(std::span<const double> x, std::size_t min_lag = 3);

struct equilibrated {
    std::size_t start;
    double inefficiency;
    double mean;
    double error;  // NaN for a single sample
};

// The start among `candidates` evenly spaced ones in the first half that keeps the most
// uncorrelated samples, (N - start) / g(start). x non-empty and finite.
equilibrated detect_equilibration(std::span<const double> x, std::size_t candidates);

}  // namespace quor
