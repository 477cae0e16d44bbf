"""`quor-pp sweep`: every state point of a directory tree of runs, as one tidy table with plots against state."""

from __future__ import annotations

import argparse
import importlib.util
import sys
import warnings
from typing import Any, Final

from ..display import QUANTITY_NAMES, display_unit, significant, spread
from ..errors import FormatError
from ..sweeps import STATE_FILE, SweepReport, combine_sweep, find_state_points, sweep_tasks
from .analyze import (add_engine_options, add_run_options, add_window_options, analyze_replicas, check_writable,
                      dask_client, describe_failure, fit_warnings, prepare_plot_directory, settings_from)
from .common import Column, CommandError, HelpFormatter, Progress, UsageError, print_table, write_csv, write_json

# The quantities the printed table shows (every one is in the CSV, JSON and Parquet files).
_SHOWN: Final = ("self_diffusion", "viscosity", "thermal_conductivity", "conductivity")

DESCRIPTION = f"""\
Analyses a sweep: a directory tree with one directory per state point (a salt
at a molality and a temperature), each holding that point's replicas, and
writes one tidy table of every quantity at every state point, in SI units,
with plots of each quantity against molality and against temperature.

The state of a point comes from a {STATE_FILE} in its directory:

  salt = "NaCl"
  molality = 1.0         # mol/kg
  temperature = 300.0    # K
  charges = {{ Na = 1, Cl = -1 }}   # optional: this point's ions
  water_model = "SPC/E"          # optional: any other key is a column

or from the directories' names by --pattern, whose {{salt}}, {{molality}} and
{{temperature}} fields (and any other {{name}}, as a column) each match a part of
a name; a pattern may span levels, as in '{{salt}}/{{molality}}m/{{temperature}}K'.

The printed table shows D, η, κ and σ as mean ± standard deviation over each
point's replicas; --csv, --json and --parquet hold every quantity. A replica
that cannot be analysed is a warning naming it, and its point is made of the
others; the command fails only when nothing could be analysed.

examples:
  quor-pp sweep examples/data/sweep --csv sweep.csv --plot sweep_plots/
  quor-pp sweep runs/ --pattern '{{salt}}_{{molality}}m_{{temperature}}K' --charge Na=1,Cl=-1 -j 2
  quor-pp sweep runs/ --scheduler tcp://10.0.0.5:8786 --parquet sweep.parquet
"""


def register(subparsers: Any) -> None:
    """Add the `sweep` subcommand to the `quor-pp` parser."""
    parser = subparsers.add_parser(
        "sweep", help="every state point of a tree of runs as one table, with plots against molality and T",
        description=DESCRIPTION, formatter_class=HelpFormatter)
    parser.add_argument("root", metavar="ROOT", help="the sweep's directory")
    parser.add_argument("--pattern", metavar="PATTERN",
                        help=f"take each point's state from its path under ROOT, e.g. "
                             f"'{{salt}}_{{molality}}m_{{temperature}}K' (default: from {STATE_FILE} files)")

    output = parser.add_argument_group("output")
    output.add_argument("--csv", metavar="FILE",
                        help="write the tidy table as CSV, in SI units ('-': to standard output, instead of the "
                             "table)")
    output.add_argument("--json", metavar="FILE",
                        help="write the state points, the tidy table and the failures as JSON ('-': to standard "
                             "output, instead of the table)")
    output.add_argument("--parquet", metavar="FILE", help="write the tidy table as Parquet (needs pyarrow)")
    output.add_argument("--per-replica", action="store_true",
                        help="add each replica's value to the tidy table as its own record")
    output.add_argument("--plot", metavar="DIR",
                        help="draw each quantity against molality and temperature, with replica error bars, as "
                             "PNG and SVG files in DIR (needs matplotlib: pip install 'quor-pp[plot]')")
    output.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes")
    add_engine_options(parser)
    add_run_options(parser, per_run=False)
    add_window_options(parser)
    parser.set_defaults(run=run_command, parser=parser)


def run_command(args: argparse.Namespace) -> int:
    """Run `quor-pp sweep` with parsed arguments; return the exit status."""
    prog = args.parser.prog
    if args.json == "-" and args.csv == "-":
        raise UsageError("--json - and --csv - cannot both write to standard output")
    settings = settings_from(args)
    for destination in (args.json, args.csv, args.parquet):
        if destination not in (None, "-"):
            check_writable(destination)
    if args.parquet == "-":
        raise UsageError("--parquet writes a file, not standard output")
    if args.parquet is not None and importlib.util.find_spec("pyarrow") is None:
        raise CommandError("--parquet needs pyarrow: pip install 'quor-pp[parquet]'")
    if args.plot is not None:
        prepare_plot_directory(args.plot)
    try:
        points = find_state_points(args.root, args.pattern, settings.files)
    except FormatError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"{error.filename or args.root}: {error.strerror or error}") from None
    except ValueError as error:
        message = str(error)
        if message.startswith("pattern "):
            raise UsageError(f"--{message}") from None
        raise CommandError(message) from None

    with (warnings.catch_warnings(record=True) as caught, Progress.for_terminal(args.quiet) as progress,
          dask_client(args.scheduler) as client):
        warnings.simplefilter("always")
        outcomes = analyze_replicas(sweep_tasks(points, settings), progress=progress, jobs=args.jobs,
                                    client=client, curves=False)
    result = combine_sweep(args.root, points, outcomes, settings, strict=False)
    failed = [describe_failure(failure, settings) for failure in result.failures]
    if all(report is None for report in result.reports):
        more = f" (and {len(failed) - 1} more failed)" if len(failed) > 1 else ""
        raise CommandError(failed[0] + more if failed else f"{args.root}: no replica to analyse")
    messages = failed + [str(warning.message) for warning in caught]
    for report in result.reports:
        messages += fit_warnings(report) if report is not None else []
    for message in messages:
        print(f"{prog}: warning: {message}", file=sys.stderr)
    if not args.quiet and _without_charges(result):
        print(f"{prog}: note: give the ions' charges (--charge NAME=1,NAME=-1, or charges in {STATE_FILE}) for "
              "the electrical conductivity", file=sys.stderr)

    if args.json is not None:
        write_json(args.json, {**result.to_dict(per_replica=args.per_replica), "warnings": messages})
    if args.csv is not None:
        write_csv(args.csv, result.table(per_replica=args.per_replica))
    if args.parquet is not None:
        try:
            result.write_parquet(args.parquet, per_replica=args.per_replica)
        except OSError as error:
            raise CommandError(f"cannot write {args.parquet}: {error.strerror or error}") from None
    if "-" not in (args.json, args.csv):
        print_sweep(result)
        sys.stdout.flush()
    if args.plot is not None:
        written = write_sweep_plots(result, args.plot, args.quiet)
        if not args.quiet:
            print(f"{prog}: {len(written)} plot files in {args.plot}", file=sys.stderr)
    return 0


def _without_charges(result: SweepReport) -> bool:
    return any(report is not None and not report.settings.charges
               and any(row.quantity == "onsager" for row in report.rows) for report in result.reports)


def print_sweep(result: SweepReport) -> None:
    """Print one line per state point: its state, then D, η, κ and σ as mean ± std in scaled SI units."""
    keys = [key for key in result.keys() if key[0] in _SHOWN] or result.keys()[:6]
    units = {}
    for quantity, species in keys:
        unit = next(row.unit for _, row in result.rows(quantity, species))
        units[(quantity, species)] = display_unit(unit)
    extra = result.extra_keys()
    columns = [Column("point", "point", left=True), Column("salt", "salt", left=True),
               Column("molality", "b [mol/kg]"), Column("T", "T [K]"),
               *(Column(key, key, left=True) for key in extra), Column("replicas", "replicas")]
    for key in keys:
        symbol = QUANTITY_NAMES.get(key[0], (key[0],))[0]
        name = f"{symbol} {key[1]}".strip()
        columns.append(Column(f"{name.replace('∞', '_inf')} [{units[key].plain}]", f"{name} [{units[key].fancy}]"))
    rows = []
    for point, report in zip(result.points, result.reports):
        analysed = len(report.replicas) if report is not None else 0
        cells = [point.name, point.salt, f"{point.molality:g}", f"{point.temperature:g}",
                 *(str(point.extra.get(key, "-")) for key in extra),
                 f"{analysed}" if analysed == len(point.replicas) else f"{analysed}/{len(point.replicas)}"]
        for key in keys:
            row = next((r for r in report.rows if (r.quantity, r.species) == key), None) if report else None
            if row is None or row.value is None:
                cells.append("-")
                continue
            scale = units[key].scale
            std = row.std / scale if row.std is not None else None
            cells.append(f"{significant(row.value / scale)} ± {spread(std)}")
        rows.append(cells)
    total = sum(len(point.replicas) for point in result.points)
    title = (f"{result.root}: {len(result.points)} state points, {total} replicas; mean ± population standard "
             "deviation over each point's replicas")
    print_table(columns, rows, title=title, caption="every quantity, with sem and n: --csv, --json or --parquet",
                highlight=[report is None or bool(report.failures) for report in result.reports])


def write_sweep_plots(result: SweepReport, directory: str, quiet: bool) -> list[str]:
    """Draw every quantity of the sweep into `directory` as PNG and SVG; return the paths written.

    Raises
    ------
    CommandError
        A file cannot be written.
    """
    from .. import plots  # matplotlib is imported only here

    with Progress.for_terminal(quiet) as bar:
        bar.start("plotting", len(result.keys()))

        def done(name: str) -> None:
            bar.detail(name)
            bar.advance()

        try:
            return plots.plot_sweep(result, directory, progress=done)
        except OSError as error:
            raise CommandError(f"cannot write the plots to {directory}: {error.strerror or error}") from None
