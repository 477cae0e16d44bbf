"""`quor-pp analyze`: transport coefficients of a run over its replicas, as a table, JSON, CSV and plots.

The work goes in four steps, each a function that another command can reuse:
`collect_replicas` finds the replica directories, `analyze_replicas` analyses
each (one after the other, in a pool of threads or processes with -j, or on a
Dask cluster with --scheduler), `report_of` makes the report, and
`print_report`, `write_plots` show it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import os
import re
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from ..display import display_unit, replica_names, significant, spread
from ..errors import FormatError
from ..fitting import WindowSettings
from ..parallel import Outcome, map_replicas
from ..report import Report, combine, find_replicas
from ..transport import AnalysisSettings, ReplicaFailure, ReplicaResult, RunFiles, analyze_replica
from ..units import UNIT_SYSTEMS
from .common import (Column, CommandError, HelpFormatter, Progress, UsageError, assignments, positive_float,
                     print_table, write_csv, write_json)

_FILES = RunFiles()
_WINDOW = WindowSettings()

DESCRIPTION = f"""\
Fits the diffusive window of every mean-squared-displacement curve of a run and
reports the transport coefficients as mean ± standard deviation over its
replicas, in SI units: self-diffusion D (and D∞, corrected for the finite box),
Onsager coefficients Λ, shear viscosity η, thermal conductivity κ and, with
--charge, the electrical conductivity σ and its Nernst-Einstein estimate.

A RUN is one replica directory or a directory of replica directories
(replica_1, replica_2, ...); several RUNs are taken together as one run's
replicas. A replica directory holds any of {_FILES.diffself[0]}, {_FILES.diffonsag[0]},
{_FILES.viscosity[0]}, {_FILES.thermal_conductivity[0]} (the curves), {_FILES.volume[0]},
{_FILES.thermo[0]} (volume and temperature) and {_FILES.log[0]} (unit style and the
molecule count of each species' group).

A curve without a diffusive window is a warning, and its row says so. A
replica that cannot be analysed (a missing or malformed file) is a warning
naming it, and the table is made of the others; the command fails only when
no replica could be analysed.

-j N analyses N replicas at once: in threads on free-threaded Python, in
processes otherwise. --scheduler runs one task per replica on a Dask cluster
whose workers see the run directories. The numbers are the same either way.

examples:
  quor-pp analyze run/ --charge Na=1,Cl=-1
  quor-pp analyze run/replica_1 run/replica_2 --per-replica --csv results.csv
  quor-pp analyze run/ --charge Na=1,Cl=-1 --plot plots/ --json results.json
  quor-pp analyze runs/*/ -j 8 --csv results.csv
"""

# The analysis' hints name keyword arguments; the command's user gives options.
_HINTS = [
    (re.compile(r"pass molecules=\{'([^']*)': N\}"), r"give --molecules \1=N"),
    (re.compile(r"pass units='real' or similar"), "give --units"),
    (re.compile(r"pass (temperature|volume|viscosity)="), r"give --\1"),
]


def register(subparsers: Any) -> None:
    """Add the `analyze` subcommand to the `quor-pp` parser."""
    parser = subparsers.add_parser(
        "analyze", help="transport coefficients of a run over its replicas, with plots of the fits",
        description=DESCRIPTION, formatter_class=HelpFormatter)
    parser.add_argument("runs", metavar="RUN", nargs="+", help="a replica directory or a directory of replicas")

    output = parser.add_argument_group("output")
    output.add_argument("--per-replica", action="store_true",
                        help="add the value of every replica to the table (and to --csv)")
    output.add_argument("--json", metavar="FILE",
                        help="write the table, every replica's values and fit windows as JSON, in SI units "
                             "('-': to standard output, instead of the table)")
    output.add_argument("--csv", metavar="FILE",
                        help="write the table as CSV, one row per quantity and species, in SI units "
                             "('-': to standard output, instead of the table)")
    output.add_argument("--plot", metavar="DIR",
                        help="draw every quantity's curves, windows and fitted lines, and the replica values, "
                             "as PNG and SVG files in DIR (needs matplotlib: pip install 'quor-pp[plot]')")
    output.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes")
    add_engine_options(parser)
    add_run_options(parser, per_run=True)
    add_window_options(parser)
    parser.set_defaults(run=run_command, parser=parser)


def add_engine_options(parser: argparse.ArgumentParser) -> None:
    """The -j and --scheduler options: how many replicas are analysed at once, and where."""
    engine = parser.add_argument_group("parallel analysis")
    where = engine.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                       help="analyse N replicas at once (threads on free-threaded Python, else processes)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="analyse the replicas on the Dask cluster of this scheduler (tcp://host:8786, or "
                            "a scheduler file), one task per replica; its workers must see the run directories "
                            "(needs pip install 'quor-pp[dask]')")


def add_run_options(parser: argparse.ArgumentParser, *, per_run: bool) -> None:
    """Options that replace what the run's files say; `per_run` adds those that differ between runs of a sweep."""
    run = parser.add_argument_group("the run (by default, taken from its files)")
    run.add_argument("--units", choices=list(UNIT_SYSTEMS),
                     help=f"LAMMPS unit style (default: the 'units' line of {_FILES.log[0]}; lj is reported "
                          "in reduced units)")
    if per_run:
        run.add_argument("-T", "--temperature", type=positive_float, metavar="K",
                         help=f"temperature, K (default: the mean Temp of {_FILES.thermo[0]})")
        run.add_argument("--volume", type=positive_float, metavar="V",
                         help=f"box volume in the run's length unit cubed, e.g. Å³ for real and metal "
                              f"(default: {_FILES.volume[0]})")
        run.add_argument("--viscosity", type=positive_float, metavar="PA_S",
                         help="shear viscosity for the finite-size correction of D, Pa·s (default: the run's own)")
    run.add_argument("--molecules", type=assignments(_count, "N"), action="append", metavar="NAME=N[,...]",
                     help=f"molecule count of a species (default: the atom count of the group of that name in "
                          f"{_FILES.log[0]}, one atom per molecule)")
    run.add_argument("--charge", type=assignments(float, "Q"), action="append", metavar="NAME=Q[,...]",
                     help="charge of an ion in units of e, e.g. Na=1,Cl=-1; needed for the electrical "
                          "conductivity (default: none)")


def add_window_options(parser: argparse.ArgumentParser) -> None:
    """The options of the window search."""
    window = parser.add_argument_group("window search (a window is a stretch of rows of one curve)")
    window.add_argument("--margin", type=float, default=_WINDOW.margin, metavar="F",
                        help="fraction of the rows left out at each end of a curve")
    window.add_argument("--min-window", type=int, default=_WINDOW.min_window, metavar="N",
                        help="fewest rows in a window")
    window.add_argument("--max-window", type=int, default=_WINDOW.max_window, metavar="N",
                        help="rows in a window stay below this")
    window.add_argument("--max-error", type=float, default=_WINDOW.max_error, metavar="E",
                        help="largest accepted distance of a window's log-log slope from 1")
    window.add_argument("--min-displacement", type=float, default=_WINDOW.min_displacement, metavar="D",
                        help="leave out rows whose |MSD| is below D² (the curve's length unit)")


def _jobs(text: str) -> int:
    try:
        return _count(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive integer") from None


def _count(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise ValueError(text)
    return value


def _merged(groups: list[dict[str, Any]] | None) -> dict[str, Any]:
    merged: dict[str, Any] = {}
    for group in groups or []:
        merged.update(group)
    return merged


def settings_from(args: argparse.Namespace) -> AnalysisSettings:
    """The analysis settings of the command line.

    Raises
    ------
    UsageError
        The window settings do not fit together.
    """
    try:
        window = WindowSettings(args.margin, args.min_window, args.max_window, args.max_error, args.min_displacement)
    except ValueError as error:
        # The settings' names, as the options that set them.
        message = re.sub(r"\b(margin|min_window|max_window|max_error|min_displacement)\b",
                         lambda match: "--" + match[1].replace("_", "-"), str(error))
        raise UsageError(message) from None
    return AnalysisSettings(window=window, units=args.units, temperature=getattr(args, "temperature", None),
                            volume=getattr(args, "volume", None), viscosity=getattr(args, "viscosity", None),
                            molecules=_merged(args.molecules), charges=_merged(args.charge))


def collect_replicas(runs: Sequence[str], files: RunFiles = _FILES) -> list[str]:
    """The replica directories of every RUN, each once, in the order given.

    Raises
    ------
    CommandError
        A RUN is missing, not a directory, or holds no replica.
    """
    found: dict[str, str] = {}
    for run in runs:
        try:
            directories = find_replicas(run, files)
        except OSError as error:
            raise CommandError(f"{run}: {error.strerror or error}") from None
        for directory in directories:
            found.setdefault(os.path.realpath(directory), directory)
    return list(found.values())


def analyze_one(directory: str, settings: AnalysisSettings,
                progress: Callable[[str], None] | None = None) -> ReplicaResult:
    """`analyze_replica` with its expected failures as a one-line CommandError naming the file.

    A plain module-level function of picklable arguments, for process pools.
    """
    try:
        return analyze_replica(directory, settings, progress)
    except (OSError, ValueError) as error:
        raise CommandError(describe_error(error, directory, settings)) from None


def describe_error(error: BaseException, directory: str, settings: AnalysisSettings) -> str:
    """The one line the command shows for an error analysing `directory`, naming the file and the option to give."""
    if isinstance(error, FormatError):
        return str(error)
    if isinstance(error, OSError):
        where = error.filename if error.filename is not None else directory
        return f"{where}: {error.strerror or error}"
    message = _hint(str(error))
    if isinstance(error, ValueError) and settings.units is None and message.startswith("unit style "):
        # From the log's units line.
        log = next((path for name in settings.files.log
                    if os.path.exists(path := os.path.join(directory, name))), directory)
        return f"{log}: {message}; give --units"
    return message if message.startswith(directory) else f"{directory}: {message}"


def describe_failure(failure: ReplicaFailure, settings: AnalysisSettings) -> str:
    """The one line the command shows for a replica that could not be analysed."""
    if failure.exception is None or failure.error == "WorkerLost":
        return str(failure)
    return describe_error(failure.exception, failure.path, settings)


@contextlib.contextmanager
def dask_client(address: str | None) -> Iterator[Any]:
    """A `distributed.Client` connected to the scheduler at `address` (None: no client), closed afterwards.

    An existing file is taken as a scheduler file (as dask-jobqueue and dask-mpi write).

    Raises
    ------
    CommandError
        distributed is not installed, or the scheduler cannot be reached.
    """
    if address is None:
        yield None
        return
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise CommandError("--scheduler needs Dask's distributed package: pip install 'quor-pp[dask]'") from None
    where = {"scheduler_file": address} if os.path.isfile(address) else {"address": address}
    try:
        # Dask's connect timeout applies (30 s unless configured, e.g. by
        # DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT).
        client = distributed.Client(**where, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise CommandError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    try:
        yield client
    finally:
        client.close()


def analyze_replicas(tasks: Sequence[tuple[str, AnalysisSettings]], *, progress: Progress | None = None,
                     jobs: int = 1, client: Any = None, curves: bool = True) -> list[Outcome]:
    """Every replica's outcome (`ReplicaResult` or `ReplicaFailure`), in the order of `tasks`.

    With one job, the replicas are analysed one after the other and the progress
    bar shows each file and fit; with more, or a Dask `client`, the bar counts
    replicas as they come back.
    """
    bar = progress if progress is not None else Progress(False)
    bar.start("reading and fitting", len(tasks))
    # Files are shown relative to the run directory when the replicas share one.
    parents = {os.path.dirname(directory.rstrip(os.sep)) for directory, _ in tasks}
    parent = parents.pop() if len(parents) == 1 else ""

    def detail(text: str) -> None:
        bar.detail(_relative(text, parent))

    def done(index: int, outcome: Outcome) -> None:
        bar.detail(_relative(tasks[index][0], parent))
        bar.advance()

    return map_replicas(tasks, jobs=jobs, client=client, curves=curves, progress=detail, done=done)


def report_of(outcomes: Sequence[Outcome], settings: AnalysisSettings) -> tuple[Report, list[str]]:
    """The report of the replicas that were analysed, and a line for each that was not.

    Raises
    ------
    CommandError
        No replica could be analysed: the first one's error, with the count of the others.
    """
    results = [outcome for outcome in outcomes if isinstance(outcome, ReplicaResult)]
    failures = [outcome for outcome in outcomes if isinstance(outcome, ReplicaFailure)]
    lines = [describe_failure(failure, settings) for failure in failures]
    if not results:
        more = f" (and {len(lines) - 1} more replicas failed)" if len(lines) > 1 else ""
        raise CommandError(lines[0] + more if lines else "no replica to analyse")
    return combine(results, settings, failures), lines


def _relative(text: str, parent: str) -> str:
    return text.removeprefix(parent + os.sep) if parent else text


def _hint(message: str) -> str:
    for pattern, replacement in _HINTS:
        message = pattern.sub(replacement, message)
    return message


def run_command(args: argparse.Namespace) -> int:
    """Run `quor-pp analyze` with parsed arguments; return the exit status."""
    prog = args.parser.prog
    if args.json == "-" and args.csv == "-":
        raise UsageError("--json - and --csv - cannot both write to standard output")
    settings = settings_from(args)
    for destination in (args.json, args.csv):
        if destination not in (None, "-"):
            check_writable(destination)
    if args.plot is not None:
        prepare_plot_directory(args.plot)
    directories = collect_replicas(args.runs, settings.files)

    with (warnings.catch_warnings(record=True) as caught, Progress.for_terminal(args.quiet) as progress,
          dask_client(args.scheduler) as client):
        warnings.simplefilter("always")
        outcomes = analyze_replicas([(directory, settings) for directory in directories], progress=progress,
                                    jobs=args.jobs, client=client, curves=args.plot is not None)
    report, failed = report_of(outcomes, settings)
    messages = failed + [str(warning.message) for warning in caught] + fit_warnings(report)
    for message in messages:
        print(f"{prog}: warning: {message}", file=sys.stderr)
    if not args.quiet and not settings.charges and any(row.quantity == "onsager" for row in report.rows):
        species = ", ".join(row.species for row in report.rows if row.quantity == "self_diffusion")
        print(f"{prog}: note: give the ions' charges for the electrical conductivity, "
              f"e.g. --charge NAME=1,NAME=-1 (species: {species})", file=sys.stderr)

    if args.json is not None:
        write_json(args.json, {"runs": list(args.runs), **report.to_dict(), "warnings": messages})
    if args.csv is not None:
        write_csv(args.csv, report.tidy_rows(per_replica=args.per_replica))
    if "-" not in (args.json, args.csv):
        print_report(report, per_replica=args.per_replica, title=_title(args.runs, report))
        sys.stdout.flush()
    if args.plot is not None:
        with Progress.for_terminal(args.quiet) as progress:
            written = write_plots(report, args.plot, progress)
        if not args.quiet:
            print(f"{prog}: {len(written)} plot files in {args.plot}", file=sys.stderr)
    return 0


def fit_warnings(report: Report) -> list[str]:
    """One line for every replica estimate without a value (a fit without a window, a missing input).

    A failure that a later quantity inherits (D∞ from D) is told once.
    """
    lines: list[str] = []
    told: set[tuple[str, str]] = set()
    for row in report.rows:
        if row.status == "ok":
            continue
        for result in report.replicas:
            estimate = result.get(row.quantity, row.species)
            status, message = (estimate.status, estimate.message) if estimate is not None else ("missing",
                                                                                                "not in this run")
            if status == "ok" or (result.path, message) in told:
                continue
            told.add((result.path, message))
            what = f"{row.quantity} {row.species}".strip()
            lines.append(f"{result.path}: {what}: {_hint(message)}")
    return lines


def _title(runs: Sequence[str], report: Report) -> str:
    units = sorted({result.units for result in report.replicas})
    window = report.settings.window
    return (f"{', '.join(runs)}: {len(report.replicas)} replica{'s' if len(report.replicas) != 1 else ''}, "
            f"units {'/'.join(units)}; windows of {window.min_window} to {window.max_window - 1} rows, "
            f"log-log slope 1 ± {window.max_error:g}")


def print_report(report: Report, *, per_replica: bool = False, title: str = "") -> None:
    """Print the report's table: mean, std and sem over the replicas in scaled SI units, n, status.

    With `per_replica`, a column of values for every replica follows.
    """
    names = replica_names([result.path for result in report.replicas]) if per_replica else []
    columns = [Column("quantity", "quantity", left=True), Column("species", "species", left=True),
               Column("mean", "mean"), Column("std", "± std"), Column("sem", "sem"), Column("n", "n"),
               Column("unit", "unit", left=True), Column("status", "status", left=True)]
    columns += [Column(name, name) for name in names]
    plain, fancy = [], []
    for row in report.rows:
        unit = display_unit(row.unit)

        def scaled(value: float | None) -> float | None:
            return None if value is None else value / unit.scale

        cells = [row.quantity, row.species, significant(scaled(row.value)), spread(scaled(row.std)),
                 spread(scaled(row.sem)), str(row.n)]
        tail = [row.status, *(significant(scaled(value)) for value in row.replicas[:len(names)])]
        plain.append([*cells, unit.plain, *tail])
        fancy.append([*cells[:3], f"± {cells[3]}", *cells[4:], unit.fancy, *tail])
    caption = ("mean ± population standard deviation over the replicas; sem = std/√(n−1); "
               "self_diffusion_infinite: corrected for the finite box")
    print_table(columns, plain, fancy_rows=fancy, title=title, caption=caption,
                highlight=[row.status != "ok" for row in report.rows])


def check_writable(path: str) -> None:
    """Fail before any work when an output file cannot be written (its directory is missing or read-only).

    Raises
    ------
    CommandError
    """
    folder = os.path.dirname(path) or os.curdir
    if os.path.isdir(path):
        raise CommandError(f"cannot write {path}: Is a directory")
    if not os.path.isdir(folder):
        raise CommandError(f"cannot write {path}: No such file or directory")
    if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise CommandError(f"cannot write {path}: Permission denied")


def prepare_plot_directory(directory: str) -> None:
    """Check that plots can be drawn and make their directory, before any work is done.

    Raises
    ------
    CommandError
        matplotlib is missing, or the directory cannot be made.
    """
    if importlib.util.find_spec("matplotlib") is None:
        raise CommandError("--plot needs matplotlib: pip install 'quor-pp[plot]'")
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot make the plot directory {directory}: {error.strerror or error}") from None


def write_plots(report: Report, directory: str, progress: Progress | None = None) -> list[str]:
    """Draw every figure of `report` into `directory` as PNG and SVG; return the paths written.

    Raises
    ------
    CommandError
        A file cannot be written.
    """
    from .. import plots  # matplotlib is imported only here

    bar = progress if progress is not None else Progress(False)
    bar.start("plotting", len(plots.figure_keys(report)) + 1)

    def done(name: str) -> None:
        bar.detail(name)
        bar.advance()

    try:
        return plots.plot_report(report, directory, progress=done)
    except OSError as error:
        raise CommandError(f"cannot write the plots to {directory}: {error.strerror or error}") from None
