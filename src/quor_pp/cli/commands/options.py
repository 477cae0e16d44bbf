"""The options that `analyze` and `sweep` share, their settings, and how the package's errors read as the command's.

The package's errors and statuses carry their facts as fields (the file, the
setting that would supply a missing input); here they are worded with the options
a user of the command gives, without ever parsing a message.
"""

from __future__ import annotations

import argparse
import math
import sys

from .common import CommandError, UsageError, assignments, positive_float

TYPE_CHECKING = False  # typing is not imported at run time: `--help` starts without it
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, Final

    from ...analysis.results import Needs
    from ...analysis.settings import AnalysisSettings

# The defaults shown in --help, without importing the package's numerical modules.
_WINDOW_DEFAULTS: Final = {"margin": 0.1, "min_window": 10, "max_window": 60, "max_error": 0.1,
                           "min_displacement": 0.0}
UNIT_STYLES: Final = ("real", "metal", "si", "lj")
# quor_pp.parallel.WORKER_TIMEOUT, s (that module imports NumPy).
_WORKER_TIMEOUT: Final = 60.0

# How each setting of the analysis is given on the command line.
_OPTIONS: Final = {"temperature": "-T", "volume": "--volume", "viscosity": "--viscosity", "units": "--units",
                   "charges": "--charge"}


def option_hint(needs: Needs) -> str:
    """How a user of the command supplies a missing input: "give --molecules wat=N"."""
    if needs.setting == "molecules":
        return (f"give --molecules {needs.species}=N" if needs.species else "give --molecules NAME=N")
    if needs.setting == "charges" and needs.species:
        return f"give --charge {needs.species}"
    if needs.setting == "atoms_per_molecule":
        return f"give --molecules {needs.species}=N or --atoms-per-molecule {needs.species}=K"
    return f"give {_OPTIONS.get(needs.setting, '--' + needs.setting.replace('_', '-'))}"


def describe_error(error: BaseException, where: str = "") -> str:
    """The one line the command shows for an error of the package: the file, the problem, the option to give."""
    from ...reading.errors import FormatError
    from ...analysis.results import MissingInputError

    if isinstance(error, MissingInputError):
        return f"{error.path}: {error.reason}; {option_hint(error.needs)}"
    if isinstance(error, FormatError):
        return str(error)
    if isinstance(error, OSError) and error.strerror:
        return f"{error.filename if error.filename is not None else where}: {error.strerror}"
    message = str(error) or type(error).__name__
    return message if not where or message.startswith(where) else f"{where}: {message}"


def _count(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise ValueError(text)
    return value


def jobs(text: str) -> int:
    """An argparse type: a positive number of jobs."""
    try:
        return _count(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive integer") from None


def _charge(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value == 0.0:
        raise ValueError(text)
    return value


def _window(text: str) -> tuple[str, tuple[float, float]]:
    name, sign, span = text.rpartition("=")
    start, colon, end = span.partition(":")
    try:
        window = (float(start), float(end))
    except ValueError:
        window = (math.nan, math.nan)
    if not colon or not all(math.isfinite(v) and v >= 0.0 for v in window) or not window[0] < window[1]:
        raise argparse.ArgumentTypeError(f"{text!r} is not [QUANTITY=]START:END with 0 <= START < END")
    return (name if sign else "", window)


def add_engine_options(parser: argparse.ArgumentParser) -> None:
    """The -j and --scheduler options: how many replicas are analysed at once, and where."""
    engine = parser.add_argument_group("parallel analysis")
    where = engine.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=jobs, default=1, metavar="N",
                       help="analyse N replicas at once: in threads on free-threaded Python, else in worker "
                            "processes, whose start pays only for runs of some 10 MB of files or more with -j 2, "
                            "6 MB with -j 8 (smaller ones are analysed in this process, as fast; the results are "
                            "the same); with --plot, N figures are drawn at once")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="analyse the replicas on the Dask cluster of this scheduler (tcp://host:8786, or "
                            "a scheduler file); its workers must see the run directories "
                            "(needs pip install 'quor-pp[dask]')")
    engine.add_argument("--worker-timeout", type=positive_float, metavar="SECONDS",
                        help=f"with --scheduler: give up, with exit status 1, when the cluster has had no worker "
                             f"for this long, at the start or during the run (default: {_WORKER_TIMEOUT:g})")


class _Once(argparse.Action):
    """Store an option's value, refusing a second, different one (-T 300 -T 400 would keep 400 unseen)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        previous = getattr(namespace, self.dest, None)
        if previous is not None and previous != values:
            raise argparse.ArgumentError(self, f"given twice ({previous} and {values}): give it once")
        setattr(namespace, self.dest, values)


def add_run_options(parser: argparse.ArgumentParser) -> None:
    """Options that replace or complete what the run's files say."""
    run = parser.add_argument_group("the run (by default, taken from its files)")
    run.add_argument("--units", choices=UNIT_STYLES, action=_Once,
                     help="LAMMPS unit style (default: the 'units' line of log.lammps; lj is reported in reduced "
                          "units)")
    run.add_argument("-T", "--temperature", type=positive_float, metavar="K", action=_Once,
                     help="temperature in kelvin (default: the mean Temp of nvt_prod.dat or of the log's thermo "
                          "output)")
    run.add_argument("--volume", type=positive_float, metavar="V", action=_Once,
                     help="box volume in the run's length unit cubed, e.g. Å³ for real and metal "
                          "(default: the mean of volume.dat or of the log's thermo output)")
    run.add_argument("--viscosity", type=positive_float, metavar="PA_S", action=_Once,
                     help="shear viscosity for the finite-size correction of D, Pa·s (default: the run's own)")
    run.add_argument("--molecules", type=assignments(_count, "N"), action="append", metavar="NAME=N[,...]",
                     help="molecule count of a species (default: counted in the data file the log reads)")
    run.add_argument("--atoms-per-molecule", type=assignments(_count, "K"), action="append",
                     metavar="NAME=K[,...]",
                     help="atoms in one molecule of a species: its molecule count is its group's atom count "
                          "in log.lammps over K")
    run.add_argument("--charge", type=assignments(_charge, "Q"), action="append", metavar="NAME=Q[,...]",
                     help="charge of an ion in units of e, e.g. Na=1,Cl=-1; needed for the electrical "
                          "conductivity (default: none); checked against the data file's molecule charges and "
                          "for electroneutrality")
    run.add_argument("--trust-charges", action="store_true",
                     help="keep the --charge values even where the data file gives another net charge or they "
                          "are not electroneutral")
    run.add_argument("--mass", type=assignments(_mass, "M"), action="append", metavar="NAME=M[,...]",
                     help="molar mass of a molecule of a species in g/mol, e.g. wat=18.015, for the momentum "
                          "balance of the Onsager matrix (default: from the Masses of the data file the log reads)")
    run.add_argument("--momentum-tolerance", type=positive_float, default=0.02, metavar="F",
                     help="largest relative residual |Σ_j M_j Λ_ij| / Σ_j M_j |Λ_ij| of a replica's Onsager "
                          "matrix before its coefficients are refused")
    run.add_argument("--replica-windows", choices=("median", "own", "intersection"), default="median",
                     help="how the replicas of a curve share a window: all fitted over the median of their own "
                          "windows, each over its own, or all over the span the windows share")
    add_experiment_options(parser)


def _mass(text: str) -> float:
    try:
        return positive_float(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a molar mass (a positive number of g/mol)") from None


def add_experiment_options(parser: argparse.ArgumentParser) -> None:
    """Options that set the run beside experiment: its salt and molality, and the proton-hopping ion."""
    experiment = parser.add_argument_group("against experiment")
    experiment.add_argument("--salt", metavar="NAME",
                            help="the run's salt, as in Laliberte's table (KOH, NaCl): the experimental density, "
                                 "viscosity and conductivity are shown beside the run's (needs --molality)")
    experiment.add_argument("--molality", type=_molality, metavar="MOL_KG",
                            help="the salt's molality, mol per kg of water")
    experiment.add_argument("--conductivity-model", metavar="FILE",
                            help="JSON file of segmented molar-conductivity coefficients for a salt other than KOH")
    experiment.add_argument("--hopping-ion", metavar="NAME",
                            help="the ion that also moves by proton hopping (OH, H3O): its hop time and hop "
                                 "diffusion from the conductivity the run lacks against experiment")
    experiment.add_argument("--hop-distance", type=positive_float, metavar="ANGSTROM",
                            help="distance of one proton hop in Å (default 2.8, the O-O distance of a hydrogen "
                                 "bond in water)")


def _molality(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a molality (a number not below 0)")
    return value


def add_window_options(parser: argparse.ArgumentParser) -> None:
    """The options of the window search."""
    window = parser.add_argument_group("window search (a window is a stretch of rows of one curve)")
    defaults = _WINDOW_DEFAULTS
    window.add_argument("--margin", type=float, default=defaults["margin"], metavar="F",
                        help="fraction of the rows left out at each end of a curve")
    window.add_argument("--min-window", type=int, default=defaults["min_window"], metavar="N",
                        help="fewest rows in a window")
    window.add_argument("--max-window", type=int, default=defaults["max_window"], metavar="N",
                        help="windows have fewer rows than N: at most N - 1")
    window.add_argument("--max-error", type=float, default=defaults["max_error"], metavar="E",
                        help="largest accepted distance of a window's log-log slope from 1")
    window.add_argument("--min-displacement", type=float, default=defaults["min_displacement"], metavar="D",
                        help="leave out rows whose |MSD| is below D² (the curve's length unit)")
    window.add_argument("--window", type=_window, action="append", metavar="[QUANTITY=]START:END",
                        help="fit this window, in the run's time unit, instead of searching one: for one "
                             "quantity (viscosity=2:200) or, without a name, for all")
    window.add_argument("--common-window", action="store_true",
                        help="fit every replica of a curve over one window: the intersection of the windows "
                             "accepted in each")


def _merged(groups: list[dict[str, Any]] | None, option: str) -> dict[str, Any]:
    merged: dict[str, Any] = {}
    for group in groups or []:
        for name, value in group.items():
            if name in merged and merged[name] != value:
                raise UsageError(f"argument {option}: {name} is given twice ({merged[name]:g} and {value:g})")
            merged[name] = value
    return merged


def settings_from(args: argparse.Namespace) -> AnalysisSettings:
    """The analysis settings of the command line.

    Raises
    ------
    UsageError
        The window settings do not fit together, or a species is given two values.
    """
    from ...analysis.fitting import WindowSettings
    from ...analysis.settings import AnalysisSettings, check_kelvin

    names = ("margin", "min_window", "max_window", "max_error", "min_displacement")
    try:
        window = WindowSettings(*(getattr(args, name) for name in names))
    except ValueError as error:
        raise UsageError(_as_options(str(error), names)) from None
    if args.temperature is not None:
        try:
            check_kelvin(args.temperature, args.units)
        except ValueError as error:
            raise UsageError(f"argument -T/--temperature: {error}".replace("units='lj'", "--units lj")) from None
    windows: dict[str, tuple[float, float]] = {}
    from ...analysis import quantities  # the registry, read without NumPy

    known = [quantity.name for quantity in quantities.quantities()]
    for name, span in args.window or []:
        if name in windows:
            raise UsageError(f"argument --window: {name or 'the window for all'} is given twice")
        if name and name not in known:
            raise UsageError(f"argument --window: no quantity {name!r} (known: {', '.join(known)})")
        windows[name] = span
    return AnalysisSettings(window=window, units=args.units, temperature=args.temperature, volume=args.volume,
                            viscosity=args.viscosity, molecules=_merged(args.molecules, "--molecules"),
                            atoms_per_molecule=_merged(args.atoms_per_molecule, "--atoms-per-molecule"),
                            charges=_merged(args.charge, "--charge"), windows=windows,
                            masses=_merged(getattr(args, "mass", None), "--mass"),
                            momentum_tolerance=getattr(args, "momentum_tolerance", 0.02),
                            replica_windows=getattr(args, "replica_windows", "median"),
                            common_window=args.common_window, salt=getattr(args, "salt", None),
                            molality=getattr(args, "molality", None),
                            hopping_ion=getattr(args, "hopping_ion", None),
                            hop_distance=(None if getattr(args, "hop_distance", None) is None
                                          else args.hop_distance * 1e-10),
                            conductivity_model=getattr(args, "conductivity_model", None),
                            trust_charges=getattr(args, "trust_charges", False))


def _as_options(message: str, names: tuple[str, ...]) -> str:
    """A WindowSettings message with its field names written as the options that set them."""
    for name in sorted(names, key=len, reverse=True):
        message = message.replace(name, "--" + name.replace("_", "-"))
    return message


def dask_client_or_error(address: str | None, worker_timeout: float | None = None) -> Any:
    """The Dask client of --scheduler (or None), as a context manager; a missing package is a CommandError.

    Raises
    ------
    UsageError
        --worker-timeout is given without --scheduler.
    """
    import contextlib

    from ...workflow.parallel import WORKER_TIMEOUT, dask_client

    if worker_timeout is not None and address is None:
        raise UsageError("--worker-timeout is how long a Dask cluster may have no worker: it needs --scheduler")

    @contextlib.contextmanager
    def connected() -> Any:
        with contextlib.ExitStack() as stack:
            stack.enter_context(_without_logs())  # entered first: also while the client closes
            try:
                client = stack.enter_context(dask_client(address, worker_timeout=worker_timeout or WORKER_TIMEOUT))
            except ModuleNotFoundError as error:
                raise CommandError(f"--scheduler: {error}") from None
            yield client

    return connected()


def _without_logs() -> Any:
    """No log record on standard error while the command holds its Dask client.

    The command says in one line what went wrong with the cluster (a lost scheduler, no
    worker, a stop signal); Dask's client would add its own lines and tracebacks of the
    same event, as when a batch job's time runs out and its scheduler ends with the command.
    """
    import contextlib
    import logging

    @contextlib.contextmanager
    def disabled() -> Any:
        before = logging.root.manager.disable
        logging.disable(logging.CRITICAL)
        try:
            yield
        finally:
            logging.disable(before)

    return disabled()


def protect_inputs(outputs: dict[str, str | None], directories: list[str]) -> list[str]:
    """Refuse, before any work, outputs aimed at a file of the run (or at each other): OutputPathError, exit 2.

    Returns
    -------
    list of str
        One line for each entry of the run's directories that could not be looked
        at (a symbolic link that loops, a directory that cannot be listed): it is
        skipped, and the command shows the line as a warning. No output can be
        such an entry, since writing through it would fail the same way.
    """
    import os

    from ...core.outputs import check_outputs

    inputs: list[str] = []
    skipped: list[str] = []
    for directory in directories:
        if not os.path.isdir(directory):
            continue
        try:
            entries = list(os.scandir(directory))
        except OSError as error:
            skipped.append(f"{directory}: {error.strerror or error}; its files were not checked against the outputs")
            continue
        for entry in entries:
            try:
                if entry.is_file():
                    inputs.append(entry.path)
            except OSError as error:  # a link that loops (ELOOP), or one that cannot be followed
                skipped.append(f"{entry.path}: {error.strerror or error}; skipped")
    check_outputs(outputs, inputs)
    return skipped


def worthwhile_jobs(prog: str, directories: Sequence[str], jobs: int, quiet: bool) -> int:
    """The replicas to analyse at once for -j `jobs`: 1 where worker processes would not pay, with a note."""
    from ...workflow.job_sizing import run_bytes, serial_below, worthwhile_jobs as chosen

    found = chosen(directories, jobs)
    if found < jobs and len(directories) > 1 and not quiet:
        print(f"{prog}: note: -j {jobs}: the {len(directories)} replicas ({run_bytes(directories) / 1e6:.1f} MB of "
              f"files) are analysed in this process, sooner than worker processes start (they pay from about "
              f"{serial_below(min(jobs, len(directories))) / 1e6:.0f} MB)", file=sys.stderr)
    return found
