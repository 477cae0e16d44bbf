// The window search's vector kernel and its CPU dispatch: consecutive starts are
// searched side by side, one per lane, with the same bits on every path.
#include "transport/window_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quor {
namespace {

// 2^-52, the spacing of doubles at 1.0: two times closer than this (relative to the
// larger of |t| and 1) count as one sampling instant.
constexpr double spacing_at_one = 2.220446049250313e-16;

// True when t[i] and t[i + 1] are the same instant up to rounding. Any NaN or infinity
// makes one side NaN or the comparison inf < inf, so the test is false then.
bool duplicate_time(double a, double b) noexcept {
    return std::fabs(a - b) < std::max(std::fabs(a), 1.0) * spacing_at_one;
}

// Consecutive starts are searched side by side, one per vector lane: at length j lane k adds
// the terms at i0 + k + j - 1, so all lanes together take one contiguous load. Lanes past the
// last start read the padding and are masked.
typedef double doubles2 __attribute__((vector_size(2 * sizeof(double))));
typedef double doubles4 __attribute__((vector_size(4 * sizeof(double))));
typedef double doubles8 __attribute__((vector_size(8 * sizeof(double))));
constexpr std::size_t widest_lanes = 8;
static_assert(search_padding == widest_lanes - 1, "the last block of lanes reads past n");

// The windows of one block of starts i0, i0 + 1, ... . limit[k] is one past the longest
// length lane k may score, 0 for a lane that starts no window; longest is the largest limit.
// On return distance[k] and length[k] describe the lane's first window closest to slope 1
// (distance +inf when it has none).
//
// The sums of window (i, j + 1) are those of (i, j) plus the terms at i + j, added in exactly
// the order in which a fresh ascending sum adds them, so carrying them along the lengths
// gives the same bits as summing every window afresh, at a cost of max_window per start
// instead of max_window^2. They restart at zero for every block, hence for every start:
// carrying them across starts would change the rounding.
template <class lanes>
[[gnu::always_inline]] inline void search_block(const search_input& in, std::uint64_t i0,
                                                const double* limit, std::uint64_t longest,
                                                double* distance_out, double* length_out) {
    static_assert(sizeof(lanes) <= widest_lanes * sizeof(double));
    constexpr double infinity = std::numeric_limits<double>::infinity();
    constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
    const lanes lo = in.lo - lanes{};  // broadcast: x - 0.0 is x for every double
    const lanes hi = in.hi - lanes{};
    lanes lane_limit;
    std::memcpy(&lane_limit, limit, sizeof lane_limit);
    lanes closest = infinity - lanes{};
    lanes closest_length{};
    line_sums<lanes> sums;
    lanes jd{};  // the length j as a double, counted up exactly (j < 2^53)
    using lane_bits = decltype(lanes{} < lanes{});  // signed 64-bit integers, same width
    const lane_bits magnitude = lane_bits{} + 0x7fffffffffffffffLL;  // all but the sign bit
    const double* x = in.x + i0;
    const double* y = in.y + i0;
    for (std::uint64_t j = 1; j < longest; ++j) {
        lanes xv;
        lanes yv;
        std::memcpy(&xv, x + j - 1, sizeof xv);
        std::memcpy(&yv, y + j - 1, sizeof yv);
        sums.add(xv, yv);
        jd += 1.0;
        if (j < in.min_window) continue;
        const lanes den = jd * sums.sxx - sums.sx * sums.sx;
        const lanes s = (jd * sums.sxy - sums.sx * sums.sy) / den;
        const lanes off = s - 1.0;
        // A window that does not qualify gets a distance of +inf or NaN, which never wins.
        // den == 0 (a NaN slope) needs no test of its own: num / 0 is NaN or an infinity,
        // and the strict band rejects NaN and both infinities. The fillers alternate on
        // purpose: given one filler, GCC merges the masks and then compares lane by lane.
        lanes distance = (lanes)((lane_bits)off & magnitude);  // |off|: clear the sign bit
        distance = lo < s ? distance : infinity;
        distance = s < hi ? distance : not_a_number;
        distance = jd < lane_limit ? distance : infinity;
        // Strictly closer only: of equally close lengths the shortest stays.
        closest_length = distance < closest ? jd : closest_length;
        closest = distance < closest ? distance : closest;
    }
    std::memcpy(distance_out, &closest, sizeof closest);
    std::memcpy(length_out, &closest_length, sizeof closest_length);
}

// The search over all starts. The window wanted is the first in (start, length) order among
// those closest to slope 1. Each lane keeps its own first closest; merging lanes and blocks
// in start order, replacing only on a strictly smaller distance, gives the same window as
// one sequential pass.
template <class lanes>
[[gnu::always_inline]] inline std::optional<best_window> search_in_lanes(const search_input& in) {
    constexpr std::size_t count = sizeof(lanes) / sizeof(double);
    const std::uint64_t n = in.t.size();
    std::optional<best_window> best;
    double best_distance = std::numeric_limits<double>::infinity();

    // No window can start at n or beyond, however far a negative margin pushed `end`.
    const std::uint64_t last = std::min(in.end, n);
    for (std::uint64_t i0 = in.start; i0 < last; i0 += count) {
        double limit[count] = {};
        std::uint64_t longest = 0;
        for (std::size_t k = 0; k < count && i0 + k < last; ++k) {
            const std::uint64_t i = i0 + k;
            if (i + 1 < n && duplicate_time(in.t[i], in.t[i + 1])) continue;
            // Lengths j with min_window <= j < min(end - i, max_window) and i + j <= n.
            const std::uint64_t stop = std::min({in.end - i, in.max_window, n - i + 1});
            if (in.min_window >= stop) continue;
            limit[k] = static_cast<double>(stop);
            longest = std::max(longest, stop);
        }
        if (longest == 0) continue;

        double distance[count];
        double length[count];
        search_block<lanes>(in, i0, limit, longest, distance, length);
        for (std::size_t k = 0; k < count; ++k) {
            if (distance[k] < best_distance) {
                best_distance = distance[k];
                best = best_window{i0 + k, static_cast<std::uint64_t>(length[k])};
            }
        }
    }
    return best;
}

#if defined(__x86_64__) || defined(__i386__)
// One instance per vector width, chosen at run time. Every path gives the same bits: each
// lane performs the same IEEE operations in the same order, and nothing is contracted into
// FMA (the target lists no FMA, and the build forbids contraction).
std::optional<best_window> search_windows_sse2(const search_input& in) {
    return search_in_lanes<doubles2>(in);
}
[[gnu::target("avx2")]] std::optional<best_window> search_windows_avx2(const search_input& in) {
    return search_in_lanes<doubles4>(in);
}
[[gnu::target("avx512f")]] std::optional<best_window> search_windows_avx512(const search_input& in) {
    return search_in_lanes<doubles8>(in);
}
#endif

}  // namespace

std::optional<best_window> search_windows(const search_input& in) {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512f")) return search_windows_avx512(in);
    if (__builtin_cpu_supports("avx2")) return search_windows_avx2(in);
    return search_windows_sse2(in);
#else
    return search_in_lanes<doubles2>(in);
#endif
}

}  // namespace quor
