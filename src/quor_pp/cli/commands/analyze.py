"""`quor-pp analyze`: transport coefficients of a run over its replicas, as a table, JSON, CSV and plots.

It parses options and prints: `quor_pp.find_replicas` finds the replicas,
`quor_pp.analyze` analyses them under the package's one failure policy, and the
report's own records, notices and document are what is shown and written.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings

from .common import (Column, CommandError, HelpFormatter, Progress, UsageError, print_table, stoppable, write_csv,
                     write_json)
from .options import (add_engine_options, add_run_options, add_window_options, dask_client_or_error, describe_error,
                      option_hint, protect_inputs, settings_from, worthwhile_jobs)

TYPE_CHECKING = False  # typing is not imported at run time: `analyze --help` starts without it
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

    from ...workflow.report import Report
    from ...analysis.results import ReplicaFailure

# Exit status when the table was made but some replicas could not be analysed.
SOME_FAILED = 3

DESCRIPTION = """\
Fits the diffusive window of every mean-squared-displacement curve of a run and
reports the transport coefficients as mean ± standard deviation over its
replicas, in SI units: self-diffusion D (and D∞, corrected for the finite box),
Onsager coefficients Λ, shear viscosity η, thermal conductivity κ and, with
--charge, the electrical conductivity σ and its Nernst-Einstein estimate.

A RUN is one replica directory or a directory of replica directories
(replica_1, replica_2, ...); several RUNs are taken together as one run's
replicas. A replica directory holds any of diffself.dat, diffonsag.dat,
viscosity.dat, thermconductivity.dat (the curves), volume.dat, nvt_prod.dat
(volume and temperature) and log.lammps (unit style, molecule counts); any of
them may be gzip-compressed (name.gz).

A curve without a diffusive window is a warning, and its row says so. A
replica that cannot be analysed (a missing or malformed file) is a warning
naming it, and the table is made of the others.

exit status: 0 every replica analysed; 1 none could be (or bad data or
files); 2 a bad command line; 3 the table was made, but some replicas could
not be analysed.

-j N analyses N replicas at once: in threads on free-threaded Python, in
processes otherwise. --scheduler runs the replicas on a Dask cluster whose
workers see the run directories. The numbers are the same either way.

examples:
  quor-pp analyze run/ --charge Na=1,Cl=-1
  quor-pp analyze run/replica_1 run/replica_2 --per-replica --csv results.csv
  quor-pp analyze run/ --charge Na=1,Cl=-1 --plot plots/ --json results.json
  quor-pp analyze runs/*/ -j 8 --csv results.csv
"""


def register(subparsers: Any) -> argparse.ArgumentParser:
    """Add the `analyze` subcommand to the `quor-pp` parser."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "analyze", help="transport coefficients of a run over its replicas, with plots of the fits",
        description=DESCRIPTION, formatter_class=HelpFormatter)
    parser.add_argument("runs", metavar="RUN", nargs="+", help="a replica directory or a directory of replicas")
    output = parser.add_argument_group("output")
    output.add_argument("--per-replica", action="store_true",
                        help="add the value of every replica to the table (and to --csv)")
    output.add_argument("--ci", action="store_true",
                        help="add the 95%% confidence interval of the mean (Student's t over the replicas) to the "
                             "table; --csv and --json always have it")
    output.add_argument("--json", metavar="FILE",
                        help="write the table, every replica's values and fit windows as JSON, in SI units "
                             "('-': to standard output, instead of the table)")
    output.add_argument("--csv", metavar="FILE",
                        help="write the table as CSV, one row per quantity and species, in SI units "
                             "('-': to standard output, instead of the table)")
    output.add_argument("--plot", metavar="DIR",
                        help="draw every quantity's curves, windows and fitted lines, and the replica values, "
                             "as PNG files in DIR (needs matplotlib: pip install 'quor-pp[plot]')")
    add_plot_format_option(output)
    output.add_argument("--report", metavar="FILE",
                        help="write one self-contained HTML page of the analysis: the table, every fit's figure, "
                             "the settings and the input files (needs matplotlib)")
    output.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes")
    add_engine_options(parser)
    parser.add_argument("--batch", type=positive_int, metavar="N",
                        help="with --scheduler: replicas per Dask task (default: a few tasks per worker thread)")
    add_run_options(parser)
    add_window_options(parser)
    parser.set_defaults(run=run_command)
    return parser


def run_command(args: argparse.Namespace) -> int:
    """Run `quor-pp analyze` with parsed arguments; return the exit status."""
    import quor_pp

    prog = args.parser.prog
    if args.json == "-" and args.csv == "-":
        raise UsageError("--json - and --csv - cannot both write to standard output")
    if args.batch is not None and args.scheduler is None:
        raise UsageError("--batch sets the replicas per task of a Dask cluster: it needs --scheduler")
    settings = settings_from(args)
    check_writable(args.json, args.csv, args.report)
    if args.report is not None:
        require_matplotlib("--report")
    if args.plot is not None:
        prepare_plot_directory(args.plot)
    try:
        directories = quor_pp.find_replicas(args.runs, settings.files)
    except OSError as error:
        raise CommandError(describe_error(error)) from None
    skipped = protect_inputs({"--json": args.json, "--csv": args.csv, "--report": args.report}, directories)
    for line in skipped:
        print(f"{prog}: warning: {line}", file=sys.stderr)

    jobs = worthwhile_jobs(prog, directories, args.jobs, args.quiet)
    with (warnings.catch_warnings(record=True) as caught, Progress.for_terminal(args.quiet) as progress,
          dask_client_or_error(args.scheduler, args.worker_timeout) as client):
        warnings.simplefilter("always")
        progress.start("reading and fitting", len(directories))
        try:
            report = quor_pp.analyze(directories, settings, progress=stoppable(progress.detail),
                                     done=lambda index, outcome: progress.advance(), jobs=jobs, client=client,
                                     curves=args.plot is not None or args.report is not None, batch=args.batch)
        except Exception as error:  # every replica failed: the first one's error, as one line
            raise CommandError(describe_error(error) + _others(error)) from None
    print_warnings(prog, report.failures, caught)
    for notice in report.notices():
        print(f"{prog}: warning: {notice.describe(option_hint)}", file=sys.stderr)
    applied, remarks = report.checks()
    for remark in remarks:
        print(f"{prog}: note: {remark}", file=sys.stderr)
    for remark in report.apart:
        print(f"{prog}: warning: {remark}", file=sys.stderr)
    if report.retried:
        print(f"{prog}: note: {len(report.retried)} replicas were analysed again after their worker process "
              "died", file=sys.stderr)

    if args.json is not None:
        write_json(args.json, report.to_dict())
    if args.csv is not None:
        write_csv(args.csv, report.records(per_replica=args.per_replica))
    if "-" not in (args.json, args.csv):
        print_report(report, per_replica=args.per_replica, ci=args.ci, title=_title(args.runs, report))
        sys.stdout.flush()
    if args.report is not None:
        write_page(report, args.report)
    if args.plot is not None:
        written = write_plots(report, args.plot, args.quiet, formats=args.plot_format, jobs=args.jobs)
        if not args.quiet:
            print(f"{prog}: {len(written)} plot files in {args.plot}", file=sys.stderr)
    return SOME_FAILED if report.failures else 0


def _others(error: BaseException) -> str:
    """" (and N more replicas failed)", from the failures the package attaches when every replica failed."""
    count = len(getattr(error, "replica_failures", ())) - 1
    return f" (and {count} more replicas failed)" if count > 0 else ""


def print_warnings(prog: str, failures: Sequence[ReplicaFailure], caught: Sequence[warnings.WarningMessage]) -> None:
    """One line for every replica that failed, and for every other warning caught."""
    from ...analysis.results import ReplicaFailureWarning

    for failure in failures:
        line = describe_error(failure.exception, failure.path) if failure.exception is not None else str(failure)
        print(f"{prog}: warning: {line}", file=sys.stderr)
    for warning in caught:
        if not issubclass(warning.category, ReplicaFailureWarning):
            print(f"{prog}: warning: {warning.message}", file=sys.stderr)


def _title(runs: Sequence[str], report: Report) -> str:
    units = sorted({result.units for result in report.replicas})
    window = report.settings.window
    return (f"{', '.join(runs)}: {len(report.replicas)} replica{'s' if len(report.replicas) != 1 else ''}, "
            f"units {'/'.join(units)}; windows of {window.rows_phrase()}, "
            f"log-log slope 1 ± {window.max_error:g}")


def print_report(report: Report, *, per_replica: bool = False, ci: bool = False, title: str = "") -> None:
    """Print the report's table: mean, std and sem over the replicas in scaled SI units, n, status.

    With `ci`, the 95 % confidence interval follows the sem; with `per_replica`, a
    column of values for every replica follows. Below the table, the inputs the
    values were made from (molecule counts, T, V) and where each came from.
    """
    from ...analysis.display import display_unit, replica_names, significant, spread
    from ...workflow.run_inputs_summary import run_inputs

    names = replica_names([result.path for result in report.replicas]) if per_replica else []
    columns = [Column("quantity", "quantity", left=True), Column("species", "species", left=True),
               Column("mean", "mean"), Column("std", "± std"), Column("sem", "sem"),
               *([Column("ci95", "95% CI")] if ci else []), Column("n", "n"),
               Column("unit", "unit", left=True), Column("status", "status", left=True)]
    columns += [Column(name, name) for name in names]
    plain, fancy = [], []
    for row in report.rows:
        unit = display_unit(row.unit)

        def scaled(value: float | None) -> float | None:
            return None if value is None else value / unit.scale

        cells = [row.quantity, row.species, significant(scaled(row.value)), spread(scaled(row.std)),
                 spread(scaled(row.sem)), *([spread(scaled(row.ci95))] if ci else []), str(row.n)]
        tail = [row.status, *(significant(scaled(value)) for value in row.replicas[:len(names)])]
        plain.append([*cells, unit.plain, *tail])
        fancy.append([*cells[:3], f"± {cells[3]}", *cells[4:], unit.fancy, *tail])
    # The inputs of the normalisations (molecule counts, T, V, η), each once in the table's units.
    inputs = [entry.describe() for entry in run_inputs(report.replicas)]
    caption = ("mean ± population standard deviation over the replicas; sem = std/√(n−1)"
               + ("; 95% CI = t(0.975, n−1)·sem" if ci else "")
               + "; self_diffusion_infinite: corrected for the finite box")
    if inputs:
        title += f"\ninputs: {'; '.join(inputs)}"
    applied, _ = report.checks()
    if applied:
        title += f"\nchecked: {', '.join(applied)}"
    print_table(columns, plain, fancy_rows=fancy, title=title, caption=caption,
                highlight=[row.status != "ok" for row in report.rows])


def write_page(result: Any, path: str, *, sweep: bool = False) -> None:
    """Write the HTML page of a report (or of a sweep); a file that cannot be written is a CommandError."""
    from ...views import html

    try:
        (html.write_sweep_report if sweep else html.write_report)(result, path)
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None


def check_writable(*paths: str | None) -> None:
    """Fail before any work when an output file cannot be written (its directory is missing or read-only).

    Raises
    ------
    CommandError
    """
    for path in paths:
        if path in (None, "-"):
            continue
        folder = os.path.dirname(path) or os.curdir
        if os.path.isdir(path):
            raise CommandError(f"cannot write {path}: Is a directory")
        if not os.path.isdir(folder):
            raise CommandError(f"cannot write {path}: No such file or directory")
        if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
            raise CommandError(f"cannot write {path}: Permission denied")


def require_matplotlib(option: str) -> None:
    """Fail before any work when matplotlib, which `option` needs, is missing."""
    import importlib.util

    if importlib.util.find_spec("matplotlib") is None:
        raise CommandError(f"{option} needs matplotlib: pip install 'quor-pp[plot]'")


def prepare_plot_directory(directory: str) -> None:
    """Check that plots can be drawn and make their directory, before any work is done.

    Raises
    ------
    CommandError
        matplotlib is missing, or the directory cannot be made.
    """
    require_matplotlib("--plot")
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot make the plot directory {directory}: {error.strerror or error}") from None


def positive_int(text: str) -> int:
    """An argparse type: a whole number of at least 1."""
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 1")
    return number


# The file formats --plot-format takes.
PLOT_FORMATS = ("png", "svg", "pdf")


def plot_formats(text: str) -> tuple[str, ...]:
    """An argparse type: a comma-separated list of figure formats, each once, in the order given."""
    formats = tuple(dict.fromkeys(part.strip().lower() for part in text.split(",") if part.strip()))
    if not formats or any(name not in PLOT_FORMATS for name in formats):
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of {', '.join(PLOT_FORMATS)}")
    return formats


def add_plot_format_option(group: Any) -> None:
    """The --plot-format option: the file formats of every figure."""
    group.add_argument("--plot-format", type=plot_formats, default=("png",), metavar="FORMATS",
                       help="the file formats of the --plot figures, comma-separated: png, svg, pdf "
                            "(default: png); with -j N, N figures are drawn at once")


def write_plots(report: Any, directory: str, quiet: bool, *, sweep: bool = False,
                formats: Sequence[str] = ("png",), jobs: int = 1) -> list[str]:
    """Draw every figure of a report (or of a sweep) into `directory`, `jobs` at once; return the paths written.

    Raises
    ------
    CommandError
        A file cannot be written.
    """
    from ...views import plots  # matplotlib is imported only here

    # Every figure that may be drawn; one without its files (an angle histogram) draws nothing.
    total = len(plots.sweep_figures(report) if sweep else plots.report_figures(report))
    with Progress.for_terminal(quiet) as bar:
        bar.start("plotting", total)

        def done(name: str) -> None:
            bar.detail(name)
            bar.advance()

        # Between figures, a stop signal ends the drawing: each file is whole or not there.
        try:
            if sweep:
                return plots.plot_sweep(report, directory, progress=stoppable(done), formats=formats, jobs=jobs)
            return plots.plot_report(report, directory, progress=stoppable(done), formats=formats, jobs=jobs)
        except OSError as error:
            raise CommandError(f"cannot write the plots to {directory}: {error.strerror or error}") from None
