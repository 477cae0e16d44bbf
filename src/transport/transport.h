// Transport-coefficient analysis: MSD window fit, replica statistics, peak finding,
// proton-hopping corrections. Plain values in, plain values out; nothing here raises.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quor {

struct diffusion_fit {
    double d;                   // slope of the raw fit (NaN on failure)
    std::vector<double> t_fit;  // times of the chosen window
    std::vector<double> fit;    // fitted line at those times
};

diffusion_fit diff_calculator(std::span<const double> time, std::span<const double> msd_in,
                              double margin, std::uint64_t min_window, std::uint64_t max_window,
                              double max_error, double min_displacement);

struct replica_stats {
    double mean;
    double std;
    std::uint64_t count;
};

replica_stats repacking_results(std::span<const double> d_array);

std::uint64_t local_maximum_finder(std::span<const double> data, std::uint64_t search_start,
                                   std::uint64_t neighbor_count);

double tau_calculator(double experimental_conductivity, double md_conductivity,
                      double temperature, double box_length, double particle_count,
                      double hop_distance);

double diffusion_adjustment(double time_between_hops, double hop_distance);

}  // namespace quor
