"""`quor-pp sweep`: every state point of a directory tree of runs, as one tidy table with plots against state."""

from __future__ import annotations

import argparse
import sys
import warnings

from .analyze import (SOME_FAILED, add_plot_format_option, check_writable, prepare_plot_directory, print_warnings,
                      require_matplotlib, write_page, write_plots)
from .common import (Column, CommandError, HelpFormatter, Progress, UsageError, print_table, stoppable, write_csv,
                     write_json)
from .options import (add_engine_options, add_run_options, add_window_options, dask_client_or_error, describe_error,
                      option_hint, protect_inputs, settings_from, worthwhile_jobs)

TYPE_CHECKING = False  # typing is not imported at run time: `sweep --help` starts without it
if TYPE_CHECKING:
    from typing import Any

    from ...workflow.sweeps import SweepReport

STATE_FILE = "state.toml"

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


def register(subparsers: Any) -> argparse.ArgumentParser:
    """Add the `sweep` subcommand to the `quor-pp` parser."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
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
                             "PNG files in DIR (needs matplotlib: pip install 'quor-pp[plot]')")
    add_plot_format_option(output)
    output.add_argument("--report", metavar="FILE",
                        help="write one self-contained HTML page of the analysis: the table, every fit's figure, "
                             "the settings and the input files (needs matplotlib)")
    output.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes")
    add_engine_options(parser)
    add_run_options(parser)
    add_window_options(parser)
    parser.set_defaults(run=run_command)
    return parser


def run_command(args: argparse.Namespace) -> int:
    """Run `quor-pp sweep` with parsed arguments; return the exit status."""
    import importlib.util

    import quor_pp
    from ...reading.errors import FormatError

    prog = args.parser.prog
    if args.json == "-" and args.csv == "-":
        raise UsageError("--json - and --csv - cannot both write to standard output")
    if args.parquet == "-":
        raise UsageError("--parquet writes a file, not standard output")
    settings = settings_from(args)
    check_writable(args.json, args.csv, args.parquet, args.report)
    if args.parquet is not None and importlib.util.find_spec("pyarrow") is None:
        raise CommandError("--parquet needs pyarrow: pip install 'quor-pp[parquet]'")
    if args.report is not None:
        require_matplotlib("--report")
    if args.plot is not None:
        prepare_plot_directory(args.plot)
    try:
        with warnings.catch_warnings(record=True) as left_out:  # a point whose state file cannot be read
            warnings.simplefilter("always")
            points = quor_pp.find_state_points(args.root, args.pattern, settings.files)
    except quor_pp.PatternError as error:
        raise UsageError(f"--{error}") from None
    except (OSError, FormatError, ValueError) as error:
        raise CommandError(describe_error(error, args.root)) from None
    outputs = {"--json": args.json, "--csv": args.csv, "--parquet": args.parquet, "--report": args.report}
    skipped = protect_inputs(outputs, [*(point.path for point in points),
                                       *(replica for point in points for replica in point.replicas)])
    for line in [*skipped, *(str(warning.message) for warning in left_out)]:
        print(f"{prog}: warning: {line}", file=sys.stderr)

    jobs = worthwhile_jobs(prog, [replica for point in points for replica in point.replicas], args.jobs, args.quiet)
    with (warnings.catch_warnings(record=True) as caught, Progress.for_terminal(args.quiet) as progress,
          dask_client_or_error(args.scheduler, args.worker_timeout) as client):
        warnings.simplefilter("always")
        progress.start("reading and fitting", sum(len(point.replicas) for point in points))
        try:
            result = quor_pp.sweep(args.root, settings, points=points, progress=stoppable(progress.detail),
                                   done=lambda index, outcome: progress.advance(), jobs=jobs, client=client)
        except Exception as error:  # nothing could be analysed: the first error, as one line
            count = len(getattr(error, "replica_failures", ())) - 1
            more = f" (and {count} more failed)" if count > 0 else ""
            raise CommandError(describe_error(error) + more) from None
    print_warnings(prog, result.failures, caught)
    for point, report in zip(result.points, result.reports):
        for notice in report.notices() if report is not None else ():
            print(f"{prog}: warning: {point.name}: {notice.describe(option_hint)}", file=sys.stderr)
        for remark in report.checks()[1] if report is not None else ():
            print(f"{prog}: note: {point.name}: {remark}", file=sys.stderr)

    if args.json is not None:
        write_json(args.json, result.to_dict(per_replica=args.per_replica))
    if args.csv is not None:
        write_csv(args.csv, result.records(per_replica=args.per_replica))
    if args.parquet is not None:
        try:
            result.write_parquet(args.parquet, per_replica=args.per_replica)
        except OSError as error:
            raise CommandError(f"cannot write {args.parquet}: {error.strerror or error}") from None
    if "-" not in (args.json, args.csv):
        print_sweep(result)
        sys.stdout.flush()
    if args.report is not None:
        write_page(result, args.report, sweep=True)
    if args.plot is not None:
        written = write_plots(result, args.plot, args.quiet, sweep=True, formats=args.plot_format,
                              jobs=args.jobs)
        if not args.quiet:
            print(f"{prog}: {len(written)} plot files in {args.plot}", file=sys.stderr)
    return SOME_FAILED if result.failures or left_out else 0


def print_sweep(result: SweepReport) -> None:
    """Print one line per state point: its state, then D, η, κ and σ as mean ± std in scaled SI units."""
    from ...analysis.display import display_unit, significant, spread, symbol
    from ...analysis.quantities import registered

    shown = [key for key in result.keys() if (q := registered(key[0])) is not None and q.in_sweep_table]
    keys = shown or result.keys()[:6]
    units = {}
    for quantity, species in keys:
        unit = next(row.unit for _, row in result.series(quantity, species))
        units[(quantity, species)] = display_unit(unit)
    extra = result.extra_keys()
    columns = [Column("point", "point", left=True), Column("salt", "salt", left=True),
               Column("molality", "b [mol/kg]"), Column("T", "T [K]"),
               *(Column(key, key, left=True) for key in extra), Column("replicas", "replicas")]
    for key in keys:
        name = f"{symbol(key[0])} {key[1]}".strip()
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
