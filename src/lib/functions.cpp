// The exported functions: each entry binds and converts its arguments and hands
// them to its body in src/readers, src/transport or src/properties.
#include "lib/functions.h"

#include "lib/call.h"
#include "lib/docstrings.h"
#include "properties/properties.h"
#include "readers/readers.h"
#include "transport/transport.h"

namespace quor::py {
namespace {

using args = const native_arguments&;
constexpr kind F = kind::real, A = kind::array, U = kind::count, T = kind::text;

// Declares the parameters of one function and its entry. The entry has the
// fast-call signature; its self argument is null (the functions are static).
#define QUOR_ENTRY(function, ...)                                                           \
    constexpr parameter function##_parameters[] = {__VA_ARGS__};                             \
    PyObject* function##_entry(PyObject*, PyObject* const* arguments, Py_ssize_t nargsf,    \
                               PyObject* kwnames) {                                          \
        static constexpr signature sig{#function, function##_parameters};                    \
        return call(sig, arguments, nargsf, kwnames, function##_body);                        \
    }

auto parse_quor_file_body = [](args a) { return parse_quor_file(a.text(0)); };
QUOR_ENTRY(parse_quor_file, {"path", T})

auto parse_thermoprop_body = [](args a) { return parse_thermoprop(a.text(0)); };
QUOR_ENTRY(parse_thermoprop, {"path", T})

auto parse_volume_density_body = [](args a) { return parse_volume_density(a.text(0)); };
QUOR_ENTRY(parse_volume_density, {"path", T})

auto parse_bond_angle_body = [](args a) { return parse_bond_angle(a.text(0)); };
QUOR_ENTRY(parse_bond_angle, {"path", T})

auto read_group_count_body = [](args a) { return read_group_count(a.text(0), a.text(1)); };
QUOR_ENTRY(read_group_count, {"log_path", T}, {"group_name", T})

auto local_maximum_finder_body = [](args a) {
    return local_maximum_finder(a.array(0), a.count(1), a.count(2));
};
QUOR_ENTRY(local_maximum_finder, {"data", A}, {"search_start", U}, {"neighbor_count", U})

auto repacking_results_body = [](args a) { return repacking_results(a.array(0)); };
QUOR_ENTRY(repacking_results, {"d_array", A})

auto diff_calculator_body = [](args a) {
    return diff_calculator(a.array(0), a.array(1), a.real(2), a.count(3), a.count(4), a.real(5),
                           a.real(6));
};
QUOR_ENTRY(diff_calculator, {"time", A}, {"msd_in", A}, {"margin", F}, {"min_window", U},
           {"max_window", U}, {"max_error", F}, {"min_displacement", F})

auto laliberte_density_body = [](args a) {
    return laliberte_density(a.array(0), a.array(1), a.real(2),
                             {a.real(3), a.real(4), a.real(5), a.real(6), a.real(7)});
};
QUOR_ENTRY(laliberte_density, {"temperature", A}, {"molality", A}, {"molecular_weight", F},
           {"c0", F}, {"c1", F}, {"c2", F}, {"c3", F}, {"c4", F})

auto laliberte_viscosity_body = [](args a) {
    return laliberte_viscosity(a.array(0), a.array(1), a.real(2),
                               {a.real(3), a.real(4), a.real(5), a.real(6), a.real(7), a.real(8)});
};
QUOR_ENTRY(laliberte_viscosity, {"temperature", A}, {"molality", A}, {"molecular_weight", F},
           {"v1", F}, {"v2", F}, {"v3", F}, {"v4", F}, {"v5", F}, {"v6", F})

auto mass_fraction_to_molality_body = [](args a) {
    return mass_fraction_to_molality(a.array(0), a.real(1));
};
QUOR_ENTRY(mass_fraction_to_molality, {"mass_fraction", A}, {"molecular_weight", F})

auto molality_to_mass_fraction_body = [](args a) {
    return molality_to_mass_fraction(a.array(0), a.real(1));
};
QUOR_ENTRY(molality_to_mass_fraction, {"molality", A}, {"molecular_weight", F})

auto mole_fraction_to_molality_body = [](args a) {
    return mole_fraction_to_molality(a.array(0), a.real(1));
};
QUOR_ENTRY(mole_fraction_to_molality, {"mole_fraction", A}, {"molecular_weight", F})

auto molality_to_mole_fraction_body = [](args a) {
    return molality_to_mole_fraction(a.array(0), a.real(1));
};
QUOR_ENTRY(molality_to_mole_fraction, {"molality", A}, {"molecular_weight", F})

auto dewane_eval_body = [](args a) { return dewane_eval(a.array(0), a.array(1), a.array(2)); };
QUOR_ENTRY(dewane_eval, {"molarity", A}, {"limits", A}, {"coeffs", A})

auto koh_gilliam_eval_body = [](args a) {
    return koh_gilliam_eval(a.array(0), a.array(1), a.real(2),
                            {a.real(3), a.real(4), a.real(5), a.real(6), a.real(7)});
};
QUOR_ENTRY(koh_gilliam_eval, {"temperature", A}, {"molality", A}, {"molecular_weight", F},
           {"c0", F}, {"c1", F}, {"c2", F}, {"c3", F}, {"c4", F})

auto molarity_to_molality_body = [](args a) {
    return molarity_to_molality(a.array(0), a.real(1), a.real(2),
                                {a.real(3), a.real(4), a.real(5), a.real(6), a.real(7)},
                                a.real(8), a.count(9));
};
QUOR_ENTRY(molarity_to_molality, {"molarity", A}, {"temperature", F}, {"molecular_weight", F},
           {"c0", F}, {"c1", F}, {"c2", F}, {"c3", F}, {"c4", F}, {"tolerance", F},
           {"maximum_iterations", U})

auto tau_calculator_body = [](args a) {
    return tau_calculator(a.real(0), a.real(1), a.real(2), a.real(3), a.real(4), a.real(5));
};
QUOR_ENTRY(tau_calculator, {"experimental_conductivity", F}, {"md_conductivity", F},
           {"temperature", F}, {"box_length", F}, {"particle_count", F}, {"hop_distance", F})

auto diffusion_adjustment_body = [](args a) { return diffusion_adjustment(a.real(0), a.real(1)); };
QUOR_ENTRY(diffusion_adjustment, {"time_between_hops", F}, {"hop_distance", F})

#undef QUOR_ENTRY

// Fast call with keywords; static, so the entries receive no self.
constexpr int entry_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

#define QUOR_RECORD(function) \
    {#function, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function##_entry)), \
     entry_flags, docs::function##_doc}

PyMethodDef records[] = {
    QUOR_RECORD(parse_quor_file),
    QUOR_RECORD(parse_thermoprop),
    QUOR_RECORD(parse_volume_density),
    QUOR_RECORD(parse_bond_angle),
    QUOR_RECORD(read_group_count),
    QUOR_RECORD(local_maximum_finder),
    QUOR_RECORD(repacking_results),
    QUOR_RECORD(diff_calculator),
    QUOR_RECORD(laliberte_density),
    QUOR_RECORD(laliberte_viscosity),
    QUOR_RECORD(mass_fraction_to_molality),
    QUOR_RECORD(molality_to_mass_fraction),
    QUOR_RECORD(mole_fraction_to_molality),
    QUOR_RECORD(molality_to_mole_fraction),
    QUOR_RECORD(dewane_eval),
    QUOR_RECORD(koh_gilliam_eval),
    QUOR_RECORD(molarity_to_molality),
    QUOR_RECORD(tau_calculator),
    QUOR_RECORD(diffusion_adjustment),
};

#undef QUOR_RECORD

}  // namespace

std::span<PyMethodDef> function_table() { return records; }

}  // namespace quor::py
