// Proton-hopping corrections: mean time between hops from a conductivity gap, and the hop
// diffusion coefficient.
#include "transport/transport.h"

namespace quor {
namespace {

// From the exact SI values (2019): e = 1.602176634e-19 C, k = 1.380649e-23 J/K.
constexpr double elementary_charge_squared = 2.5669699665355694e-38;  // e^2, C^2
constexpr double six_boltzmann = 8.283894e-23;                        // 6 k, J/K

}  // namespace

double tau_calculator(double experimental_conductivity, double md_conductivity,
                      double temperature, double box_length, double particle_count,
                      double hop_distance) {
    // tau = e^2 delta^2 N / (6 k T L^3 delta_sigma), grouped exactly as below; the sign of
    // the gap is kept (a simulation above experiment gives a negative time).
    const double gap = experimental_conductivity - md_conductivity;
    const double numerator = (elementary_charge_squared * (hop_distance * hop_distance)) * particle_count;
    const double volume = (box_length * box_length) * box_length;
    const double denominator = (volume * (six_boltzmann * temperature)) * gap;
    return numerator / denominator;
}

double diffusion_adjustment(double time_between_hops, double hop_distance) {
    return (hop_distance * hop_distance) / (time_between_hops * 6.0);
}

}  // namespace quor
