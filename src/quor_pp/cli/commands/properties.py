"""`quor-pp properties`: density, viscosity, concentrations (and KOH conductivity) of a salt solution."""

from __future__ import annotations

import argparse
import sys
import warnings

from .common import (NUMBER_LIST_SYNTAX, Column, CommandError, HelpFormatter, UsageError, number_list,
                     print_table, report_warnings, write_csv, write_json)

# The salt models (and NumPy) are imported when the command runs: `--help` and usage errors start without them.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any

    from ...properties.salts import DensityFit, Salt, SolutionProperties, ViscosityFit

DEFAULT_TEMPERATURE = 298.15  # K
DEFAULT_CELSIUS = 25.0
DEFAULT_MOLALITY = "0,0.5,1,2,4"

DESCRIPTION = f"""\
Properties of an aqueous solution of one salt from Laliberte's 2009 correlations:
density, molarity and molality, mass fraction and viscosity, and for KOH the
electrical conductivity (Gilliam). The salt's parameters come from the table the
chemicals package ships (about 110 salts); a point outside the temperatures or
mass fractions a fit was made on is marked and warned about on standard error.

Every temperature is combined with every concentration.
{NUMBER_LIST_SYNTAX}.

examples:
  quor-pp properties NaCl
  quor-pp properties 'potassium hydroxide' --celsius -T 20:80:20 --molarity 1,3,6
  quor-pp properties 7647-14-5 --molality 0:5:0.5 --csv nacl.csv
  quor-pp properties --list
"""


def register(subparsers: Any) -> None:
    """Add the `properties` subcommand to the `quor-pp` parser."""
    parser = subparsers.add_parser(
        "properties", help="density, viscosity and concentrations of a salt solution",
        description=DESCRIPTION, formatter_class=HelpFormatter)
    parser.add_argument("salt", metavar="SALT", nargs="?",
                        help="name, formula or CAS number, e.g. NaCl, 'sodium chloride' or 7647-14-5 "
                             "(case and blanks do not matter)")
    parser.add_argument("-T", "--temperature", type=number_list, metavar="LIST",
                        help=f"temperatures, K, or °C with --celsius (default: {DEFAULT_TEMPERATURE} K)")
    parser.add_argument("--celsius", action="store_true", help="take --temperature in degrees Celsius")
    concentration = parser.add_mutually_exclusive_group()
    concentration.add_argument("-b", "--molality", type=number_list, metavar="LIST",
                               help=f"molalities, mol per kg of water (default: {DEFAULT_MOLALITY})")
    concentration.add_argument("-c", "--molarity", type=number_list, metavar="LIST",
                               help="molarities, mol/L, converted to molalities through the density model")
    parser.add_argument("--json", metavar="FILE",
                        help="write the results with the salt's data as JSON ('-': to standard output, "
                             "instead of the table)")
    parser.add_argument("--csv", metavar="FILE",
                        help="write the results as CSV, one row per point ('-': to standard output, "
                             "instead of the table)")
    parser.add_argument("--list", action="store_true", help="list the salts of the table and exit")
    parser.set_defaults(run=run, parser=parser)


def run(args: argparse.Namespace) -> int:
    """Run `quor-pp properties` with parsed arguments; return the exit status."""
    from ...properties.laliberte_table import laliberte_table, salt
    from ...properties.salts import HIGHEST_TEMPERATURE, KELVIN_OFFSET, LOWEST_TEMPERATURE, RangeWarning, UnknownSaltError

    if args.json == "-" and args.csv == "-":
        raise UsageError("--json - and --csv - cannot both write to standard output")
    if args.list:
        _print_salt_list(_guard(laliberte_table))
        return 0
    if args.salt is None:
        raise UsageError("give a SALT (a name, formula or CAS number), or --list")
    temperatures = args.temperature or [DEFAULT_CELSIUS if args.celsius else DEFAULT_TEMPERATURE]
    lowest = min(temperatures)
    if not args.celsius and lowest < LOWEST_TEMPERATURE:
        raise UsageError(f"argument -T/--temperature: {lowest:g} K is below {LOWEST_TEMPERATURE:g} K, where no "
                         f"aqueous solution is liquid; for {lowest:g} °C give {lowest + KELVIN_OFFSET:g}, or give "
                         "--celsius for degrees Celsius")
    if args.celsius and lowest + KELVIN_OFFSET < LOWEST_TEMPERATURE:
        raise UsageError(f"argument -T/--temperature: {lowest:g} °C is below "
                         f"{LOWEST_TEMPERATURE - KELVIN_OFFSET:g} °C, where no aqueous solution is liquid")
    highest, unit = max(temperatures), "°C" if args.celsius else "K"
    if highest + (KELVIN_OFFSET if args.celsius else 0.0) > HIGHEST_TEMPERATURE:
        limit = HIGHEST_TEMPERATURE - (KELVIN_OFFSET if args.celsius else 0.0)
        raise UsageError(f"argument -T/--temperature: {highest:g} {unit} is above water's critical "
                         f"temperature, {limit:g} {unit}")
    concentrations = args.molarity if args.molarity is not None else (
        args.molality if args.molality is not None else number_list(DEFAULT_MOLALITY))
    if min(concentrations) < 0:
        name = "-c/--molarity" if args.molarity is not None else "-b/--molality"
        raise UsageError(f"argument {name}: {min(concentrations):g} is negative")

    try:
        solute = _guard(lambda: salt(args.salt))
    except UnknownSaltError as error:
        raise CommandError(str(error)) from None
    temperature = [t for t in temperatures for _ in concentrations]
    concentration = concentrations * len(temperatures)
    given = "molarity" if args.molarity is not None else "molality"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RangeWarning)
        try:
            result = solute.properties(temperature, celsius=args.celsius, **{given: concentration})
        except ValueError as error:
            raise CommandError(str(error)) from None
    _check_finite(result)
    range_warnings = [w for w in caught if issubclass(w.category, RangeWarning)]
    report_warnings(args.parser.prog, range_warnings)
    if result.viscosity is None:
        print(f"{args.parser.prog}: note: Laliberte's table has no viscosity fit for {solute.formula}",
              file=sys.stderr)

    if args.json is not None:
        write_json(args.json, _json_document(result, [str(w.message) for w in range_warnings]))
    if args.csv is not None:
        write_csv(args.csv, result.records())
    if "-" not in (args.json, args.csv):
        _print_result(result, args.celsius)
    return 0


def _check_finite(result: SolutionProperties) -> None:
    """Refuse a table with an infinite or undefined entry (say, from a molality of 1e308)."""
    import numpy as np

    arrays = [result.molality, result.molarity, result.mass_fraction, result.density,
              *(a for a in (result.viscosity,) if a is not None)]
    bad = ~np.logical_and.reduce([np.isfinite(a) for a in arrays])
    if result.conductivity is not None:  # a conductivity outside its correlation is n/a, and flagged
        outside = result.outside_conductivity_fit
        bad |= ~np.isfinite(result.conductivity) & (~outside if outside is not None else True)
    if bad.any():
        i = int(np.argmax(bad))
        raise CommandError(f"{result.salt.formula}: the models give no finite result at "
                           f"{result.temperature[i]:.2f} K and molality {result.molality[i]:g} mol/kg")


def _guard[T](load: Callable[[], T]) -> T:
    """Call `load`, turning a missing `chemicals` package or table into a one-line failure."""
    try:
        return load()
    except ModuleNotFoundError as error:
        if error.name != "chemicals":
            raise
        raise CommandError(str(error)) from None
    except (OSError, ValueError) as error:  # the table is missing or not in its layout
        raise CommandError(f"cannot read the salt table: {error}") from None


def _print_result(result: SolutionProperties, celsius: bool) -> None:
    from ...properties.salts import KELVIN_OFFSET

    columns = [Column("t/degC", "t\n[°C]") if celsius else Column("T/K", "T\n[K]"),
               Column("molality/(mol/kg)", "b\n[mol/kg]"), Column("molarity/(mol/L)", "c\n[mol/L]"),
               Column("mass_fraction", "w"), Column("density/(kg/m3)", "ρ\n[kg/m³]"),
               Column("viscosity/(mPa s)", "η\n[mPa·s]")]
    if result.conductivity is not None:
        columns.append(Column("conductivity/(S/m)", "σ\n[S/m]"))
    columns.append(Column("outside_fit", "outside\nfit"))
    rows = []
    for i in range(len(result)):
        t = float(result.temperature[i]) - (KELVIN_OFFSET if celsius else 0.0)
        row = [f"{t:.2f}", _fixed(result.molality[i], 4), _fixed(result.molarity[i], 4),
               f"{result.mass_fraction[i]:.5f}", _fixed(result.density[i], 3),
               "n/a" if result.viscosity is None else _fixed(result.viscosity[i] * 1e3, 4)]
        if result.conductivity is not None:
            row.append(_fixed(result.conductivity[i], 3))
        density, viscosity = result.outside_density_fit[i], result.outside_viscosity_fit[i]
        conductivity = result.outside_conductivity_fit is not None and result.outside_conductivity_fit[i]
        flags = [name for name, flag in (("density", density), ("viscosity", viscosity),
                                         ("conductivity", conductivity)) if flag]
        row.append("both" if flags == ["density", "viscosity"] else ", ".join(flags) or "-")
        rows.append(row)
    highlight = result.outside_density_fit | result.outside_viscosity_fit
    if result.outside_conductivity_fit is not None:
        highlight = highlight | result.outside_conductivity_fit
    legend = ("b molality, c molarity, w mass fraction, ρ density, η viscosity"
              + (", σ conductivity" if result.conductivity is not None else "")
              + "; outside fit: beyond the temperatures or mass fractions the fit was made on")
    print_table(columns, rows, title=f"{result.salt}; Laliberte (2009)", caption=legend,
                highlight=highlight.tolist())


def _fixed(value: float, decimals: int) -> str:
    """Fixed notation with `decimals` digits, or scientific for magnitudes from 1e7 up."""
    if value != value:  # NaN: the model gives no value there
        return "n/a"
    return f"{value:.{decimals}f}" if abs(value) < 1e7 else f"{value:.{decimals}e}"


def _print_salt_list(salts: Sequence[Salt]) -> None:
    columns = [Column("formula", "formula"), Column("name", "name", wrap=True), Column("CAS", "CAS"),
               Column("M/(g/mol)", "M\n[g/mol]"), Column("density_fit/degC", "ρ fit\n[°C]"),
               Column("w_max", "w\nmax"), Column("viscosity_fit/degC", "η fit\n[°C]"),
               Column("w_max", "w\nmax")]
    rows = []
    for entry in salts:
        row = [entry.formula, entry.name, entry.cas, f"{entry.molecular_weight:g}",
               *_fit_cells(entry.density_fit)]
        row += _fit_cells(entry.viscosity_fit) if entry.viscosity_fit is not None else ["-", "-"]
        rows.append(row)
    print_table(columns, rows, title=f"Laliberte (2009): {len(rows)} salts")


def _fit_cells(fit: DensityFit | ViscosityFit) -> list[str]:
    from ...properties.salts import KELVIN_OFFSET

    low, high = fit.temperature_range
    return [f"{low - KELVIN_OFFSET:g} to {high - KELVIN_OFFSET:g}", f"{fit.max_mass_fraction:.4g}"]


def _json_document(result: SolutionProperties, messages: list[str]) -> dict[str, Any]:
    from ...properties.salts import SOURCE

    solute = result.salt

    def fit(entry: DensityFit | ViscosityFit | None) -> dict[str, Any] | None:
        if entry is None:
            return None
        return {"parameters": entry.parameters(), "temperature_range_K": list(entry.temperature_range),
                "max_mass_fraction": entry.max_mass_fraction, "points": entry.points}

    return {
        "salt": {"name": solute.name, "formula": solute.formula, "cas": solute.cas,
                 "molecular_weight_g_per_mol": solute.molecular_weight,
                 "density_fit": fit(solute.density_fit), "viscosity_fit": fit(solute.viscosity_fit)},
        "source": SOURCE,
        "rows": result.records(),
        "warnings": messages,
    }
