// Replica statistics (mean, population deviation, count of finite values) and peak finding.
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "transport/transport.h"

namespace quor {

replica_stats repacking_results(std::span<const double> d_array) {
    // Non-finite replicas are left out; both sums run over the kept values in order.
    std::uint64_t count = 0;
    double sum = 0.0;
    for (const double value : d_array) {
        if (!std::isfinite(value)) continue;
        sum += value;
        ++count;
    }
    if (count == 0) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, 0};
    }
    const double divisor = static_cast<double>(count);
    const double mean = sum / divisor;
    double squares = 0.0;
    for (const double value : d_array) {
        if (!std::isfinite(value)) continue;
        const double deviation = value - mean;
        squares += deviation * deviation;
    }
    // Population variance: divisor count, not count - 1.
    return {mean, std::sqrt(squares / divisor), count};
}

namespace {

// Strictly higher than each of its `reach` neighbours on both sides; any NaN fails.
bool is_peak(std::span<const double> data, std::uint64_t i, std::uint64_t reach) {
    for (std::uint64_t k = 1; k <= reach; ++k) {
        if (!(data[i] > data[i - k] && data[i] > data[i + k])) return false;
    }
    return true;
}

}  // namespace

std::uint64_t local_maximum_finder(std::span<const double> data, std::uint64_t search_start,
                                   std::uint64_t neighbor_count) {
    const std::uint64_t n = data.size();
    const std::uint64_t reach = neighbor_count;
    // The first candidate, which is also the answer when no peak is found. When
    // search_start + neighbor_count exceeds 2^64 - 1 it saturates there rather than wrap:
    // a wrapped value could pass for a valid index, 2^64 - 1 never can.
    constexpr std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t first = search_start > largest - reach ? largest : search_start + reach;

    // Candidates keep `reach` neighbours on each side inside the data: first <= i < n - reach.
    // When n <= 2 * reach that range is empty, since first >= reach >= n - reach.
    const std::uint64_t stop = reach < n ? n - reach : 0;
    for (std::uint64_t i = first; i < stop; ++i) {
        if (is_peak(data, i, reach)) return i;
    }
    return first;
}

}  // namespace quor
