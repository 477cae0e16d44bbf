// The window search of the MSD fit: every (start, length) window of the log-log
// points scored by its least-squares slope, and the one closest to slope 1 kept.
// The vector kernel and its CPU dispatch live behind search_windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quor {

// The four least-squares sums of a line through the points (x, y), accumulated
// one term at a time in ascending position order. `Value` is a double, or a
// vector of doubles that sums one window per lane (taken by reference: wide
// vectors passed by value would have a different ABI in each target's kernel).
template <class Value>
struct line_sums {
    Value sx{};
    Value sy{};
    Value sxy{};
    Value sxx{};

    [[gnu::always_inline]] void add(const Value& x, const Value& y) noexcept {
        sx += x;
        sy += y;
        sxy += x * y;
        sxx += x * x;
    }
};

// How many doubles past the n log values the search may read (and ignore).
inline constexpr std::size_t search_padding = 7;

// What the search reads: filtered times, log arrays, search region and slope band.
struct search_input {
    std::span<const double> t;  // filtered times, n of them
    const double* x;            // log10 t, with search_padding readable doubles past n
    const double* y;            // log10 |m|, padded the same way
    std::uint64_t start;        // first start position
    std::uint64_t end;          // one past the last start position; also bounds i + j
    std::uint64_t min_window;   // shortest length
    std::uint64_t max_window;   // one past the longest length
    double lo;                  // a window qualifies when lo < slope < hi
    double hi;
};

struct best_window {
    std::uint64_t start;
    std::uint64_t length;
};

// The first window, in (start, length) order, among the qualifying windows whose
// slopes lie closest to 1; none when no window qualifies. A start whose next
// time equals its own up to rounding starts no window.
std::optional<best_window> search_windows(const search_input& in);

}  // namespace quor
