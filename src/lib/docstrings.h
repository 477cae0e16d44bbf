// The docstrings of the exported functions. The function table puts the text
// signature, made from the parameters, and "\n--\n\n" before each.
#pragma once

namespace quor::py::docs {

inline constexpr char parse_quor_file[] =
    "Parse QUOR MSD output files (viscosity.dat, diffself.dat, diffonsag.dat,\n"
    "thermconductivity.dat, rdf.dat).\n"
    "\n"
    "Locates the header by finding the last line whose `lstrip()` starts with\n"
    "`\"#Time\"` (same heuristic as the original Python `read()` function).\n"
    "For rdf.dat the first line already IS the header so the default row=0\n"
    "is kept when no `\"#Time\"` line is present.\n"
    "\n"
    "Returns a Python dict mapping column name → list[float].";

inline constexpr char parse_thermoprop[] =
    "Parse a thermodynamic properties file (e.g. `nvt_prod.dat`).\n"
    "\n"
    "Line 0 is a title comment and is skipped.\n"
    "Line 1 has the column names after stripping the leading '#'.\n"
    "Lines 2 onwards are data.\n"
    "\n"
    "Returns a Python dict mapping column name → list[float].";

inline constexpr char parse_volume_density[] =
    "Parse volume.dat or density.dat.\n"
    "\n"
    "Format: 2 header lines, then rows with [timestep, value].\n"
    "Returns the value (column 1) from the first data row.";

inline constexpr char parse_bond_angle[] =
    "Parse a bond-angle histogram file (e.g. `npt_prod_angle.dat`).\n"
    "\n"
    "Line layout:\n"
    "  0  title comment             → skip\n"
    "  1  stats comment             → skip\n"
    "  2  column-name comment       → use as header (strip '#')\n"
    "  3  per-timestep stats line   → skip\n"
    "  4+ data rows\n"
    "\n"
    "Returns a Python dict mapping column name → list[float].\n"
    "Column names include \"Coord\" and \"Count/Total\".";

inline constexpr char read_group_count[] =
    "Read the number of atoms assigned to a LAMMPS group from a log file.\n"
    "\n"
    "Searches for the first line containing \"group <name>\" and reads the first\n"
    "integer on the immediately following line (which LAMMPS writes as\n"
    "\"<N> atoms in group <name>\").";

inline constexpr char local_maximum_finder[] =
    "Find the index of the first local maximum in `data` starting from\n"
    "`search_start`, where \"local\" means strictly greater than the `neighbor_count`\n"
    "neighbours on each side.  Returns `neighbor_count + search_start` if no maximum\n"
    "is found (same fallback as the original Python implementation).";

inline constexpr char repacking_results[] =
    "Compute nanmean, nanstd (population), and the count of finite values.";

inline constexpr char diff_calculator[] =
    "Fit MSD vs time data to extract a transport coefficient.\n"
    "\n"
    "Searches all start/length windows (i, j) within the margin-trimmed\n"
    "region whose log-log slope is within `max_error` of 1.  Among qualifying\n"
    "windows, picks the one whose slope is closest to 1, then performs a\n"
    "final linear regression on the raw (non-log) data to extract the slope D.\n"
    "\n"
    "Returns `(D, t_fit, fit)`.  On failure returns `(NaN, [t[0]], [msd[0]])`.\n"
    "\n"
    "This is a direct translation of the original `diff_calculator` method.\n"
    "The `min_displacement` parameter (in meters) is squared and used to filter out\n"
    "MSD values (using absolute value) below this threshold before fitting.";

inline constexpr char laliberte_density[] =
    "Density (kg/m³) and molarity (mol/L) of a salt solution via Laliberte (2007).\n"
    "\n"
    "Arrays `temperature` and `molality` must have the same length.\n"
    "`c0`–`c4` are the Laliberte density fit parameters.";

inline constexpr char laliberte_viscosity[] =
    "Dynamic viscosity (Pa·s) of a salt solution via Laliberte (2007).\n"
    "\n"
    "`v1`–`v6` are the Laliberte viscosity fit parameters.";

inline constexpr char mass_fraction_to_molality[] =
    "Mass fraction (or %, if divided by 100 beforehand) → molality in mol/kg.\n"
    "`molecular_weight` is the molecular weight of the salt in g/mol.";

inline constexpr char molality_to_mass_fraction[] =
    "Molality (mol/kg) → mass fraction [0, 1].\n"
    "`molecular_weight` is the molecular weight of the salt in g/mol.";

inline constexpr char mole_fraction_to_molality[] =
    "Mole fraction of solute → molality (mol/kg solvent).\n"
    "`molecular_weight` is the molecular weight of the solvent in g/mol.";

inline constexpr char molality_to_mole_fraction[] =
    "Molality (mol/kg) → mole fraction of solute.\n"
    "`molecular_weight` is the molecular weight of the solvent in g/mol.";

inline constexpr char dewane_eval[] =
    "Evaluate the Dewane segmented molar-conductivity polynomial and return\n"
    "electrical conductivity in S/m.\n"
    "\n"
    "# Arguments\n"
    "* `molarity` – molarity values in mol/L (same length as the desired output)\n"
    "* `limits` – N concentration limits defining (N-1) contiguous segments (N >= 2)\n"
    "* `coeffs` – (N-1)*10 polynomial coefficients, row-major:\n"
    "             (N-1) segments × 10 coefficients each [L0, S, e, A, B, C, D, E, F, G]\n"
    "\n"
    "# Returns\n"
    "σ = Λ(molarity) × molarity / 10  in S/m.";

inline constexpr char koh_gilliam_eval[] =
    "Electrical conductivity of a KOH solution (S/m) using the Gilliam combined\n"
    "model (below 80 °C: Gilliam low-T polynomial of molarity; above 80 °C:\n"
    "Gilliam high-T polynomial of mass-fraction percentage).\n"
    "\n"
    "The low-temperature branch computes molarity internally via the Laliberte\n"
    "density model using the supplied parameters `c0`–`c4`.\n"
    "\n"
    "All arrays must have the same length.";

inline constexpr char molarity_to_molality[] =
    "Convert molarity values (mol/L) to molality (mol/kg water) by numerically\n"
    "inverting the Laliberte density model via the Brent–Dekker algorithm.\n"
    "\n"
    "Each element is solved independently; convergence is O(log((hi-lo)/tol))\n"
    "iterations — typically 40–60 for `tol = 1e-10`.\n"
    "\n"
    "# Arguments\n"
    "* `molarity` – molarity values in mol/L\n"
    "* `temperature` – temperature in K (scalar, shared across all elements)\n"
    "* `molecular_weight` – molecular weight of the salt in g/mol\n"
    "* `c0`–`c4` – Laliberte density fit parameters\n"
    "* `tolerance` – absolute tolerance on molality (default: 1e-10 mol/kg)\n"
    "* `maximum_iterations` – maximum Brent iterations per element (default: 200)";

inline constexpr char tau_calculator[] =
    "Mean time between proton-transfer events τ (s).\n"
    "\n"
    "Derived from the difference between experimental and MD conductivity:\n"
    "τ = δ² e² N / (6 k T L³ Δσ)";

inline constexpr char diffusion_adjustment[] =
    "Diffusion-coefficient adjustment `D_hop` = δ² / (6τ) in m²/s.";

}  // namespace quor::py::docs
