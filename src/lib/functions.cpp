// The exported functions, one row each, in registration order: the name, the
// native function it calls, its docstring and its parameters with their kinds.
#include "lib/functions.h"

#include "lib/docstrings.h"
#include "lib/function_row.h"
#include "properties/properties.h"
#include "readers/readers.h"
#include "transport/transport.h"

namespace quor::py {
namespace {

using laliberte_density_fit =
    fields<laliberte_density_params, real<"c0">, real<"c1">, real<"c2">, real<"c3">, real<"c4">>;
using laliberte_viscosity_fit = fields<laliberte_viscosity_params, real<"v1">, real<"v2">,
                                       real<"v3">, real<"v4">, real<"v5">, real<"v6">>;

PyMethodDef records[] = {
    def<"parse_quor_file", stream_quor_file, docs::parse_quor_file,
        text<"path">>(),
    def<"parse_thermoprop", parse_thermoprop, docs::parse_thermoprop,
        text<"path">>(),
    def<"parse_volume_density", parse_volume_density, docs::parse_volume_density,
        text<"path">>(),
    def<"parse_bond_angle", parse_bond_angle, docs::parse_bond_angle,
        text<"path">>(),
    def<"read_group_count", read_group_count, docs::read_group_count,
        text<"log_path">, text<"group_name">>(),
    def<"local_maximum_finder", local_maximum_finder, docs::local_maximum_finder,
        real_array<"data">, unsigned_integer<"search_start">, unsigned_integer<"neighbor_count">>(),
    def<"repacking_results", repacking_results, docs::repacking_results,
        real_array<"d_array">>(),
    def<"diff_calculator", diff_calculator, docs::diff_calculator,
        real_array<"time">, real_array<"msd_in">, real<"margin">, unsigned_integer<"min_window">,
        unsigned_integer<"max_window">, real<"max_error">, real<"min_displacement">>(),
    def<"laliberte_density", laliberte_density, docs::laliberte_density,
        real_array<"temperature">, real_array<"molality">, real<"molecular_weight">,
        laliberte_density_fit>(),
    def<"laliberte_viscosity", laliberte_viscosity, docs::laliberte_viscosity,
        real_array<"temperature">, real_array<"molality">, real<"molecular_weight">,
        laliberte_viscosity_fit>(),
    def<"mass_fraction_to_molality", fraction_to_molality, docs::mass_fraction_to_molality,
        real_array<"mass_fraction">, real<"molecular_weight">>(),
    def<"molality_to_mass_fraction", molality_to_fraction, docs::molality_to_mass_fraction,
        real_array<"molality">, real<"molecular_weight">>(),
    def<"mole_fraction_to_molality", fraction_to_molality, docs::mole_fraction_to_molality,
        real_array<"mole_fraction">, real<"molecular_weight">>(),
    def<"molality_to_mole_fraction", molality_to_fraction, docs::molality_to_mole_fraction,
        real_array<"molality">, real<"molecular_weight">>(),
    def<"dewane_eval", dewane_eval, docs::dewane_eval,
        real_array<"molarity">, real_array<"limits">, real_array<"coeffs">>(),
    def<"koh_gilliam_eval", koh_gilliam_eval, docs::koh_gilliam_eval,
        real_array<"temperature">, real_array<"molality">, real<"molecular_weight">,
        laliberte_density_fit>(),
    def<"molarity_to_molality", molarity_to_molality, docs::molarity_to_molality,
        real_array<"molarity">, real<"temperature">, real<"molecular_weight">, laliberte_density_fit,
        real<"tolerance">, unsigned_integer<"maximum_iterations">>(),
    def<"tau_calculator", tau_calculator, docs::tau_calculator,
        real<"experimental_conductivity">, real<"md_conductivity">, real<"temperature">,
        real<"box_length">, real<"particle_count">, real<"hop_distance">>(),
    def<"diffusion_adjustment", diffusion_adjustment, docs::diffusion_adjustment,
        real<"time_between_hops">, real<"hop_distance">>(),
};

}  // namespace

std::span<PyMethodDef> function_table() { return records; }

}  // namespace quor::py
