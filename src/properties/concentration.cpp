// Conversions between molality and mass or mole fraction. Each direction is one
// formula for both fractions; only the meaning of the molecular weight differs.
#include <cstddef>

#include "properties/properties.h"

// The loops are plain arithmetic, so they give the same bits in any vector width
// (each lane rounds as the scalar operation does; contraction into FMA is off).
// On x86-64 Linux they are also built for AVX-512 and AVX2, picked at load time.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define QUOR_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define QUOR_VECTOR_CLONES
#endif

namespace quor {

elementwise<fraction_to_molality_formula> fraction_to_molality(std::span<const double> fraction,
                                                               double molecular_weight) {
    return {fraction.size(), {fraction, molecular_weight / 1000.0}};
}

QUOR_VECTOR_CLONES void fraction_to_molality_formula::fill(std::size_t first, std::size_t count, double* const* out) const {
    const double* const x = fraction.data() + first;
    double* const molality = out[0];
    for (std::size_t i = 0; i < count; ++i) molality[i] = x[i] / ((1.0 - x[i]) * kg_per_mol);
}

elementwise<molality_to_fraction_formula> molality_to_fraction(std::span<const double> molality,
                                                               double molecular_weight) {
    return {molality.size(), {molality, molecular_weight / 1000.0}};
}

// Written as 1 / (1 / (b*M) + 1) rather than b*M / (1 + b*M) so that b = 0 gives
// exactly 0 and b = +inf exactly 1.
QUOR_VECTOR_CLONES void molality_to_fraction_formula::fill(std::size_t first, std::size_t count, double* const* out) const {
    const double* const b = molality.data() + first;
    double* const fraction = out[0];
    for (std::size_t i = 0; i < count; ++i) fraction[i] = 1.0 / (1.0 / (b[i] * kg_per_mol) + 1.0);
}

}  // namespace quor
