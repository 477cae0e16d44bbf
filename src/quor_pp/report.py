"""Combining replicas into a report: statistics over replicas, the tidy table, the fits for plots."""

from __future__ import annotations

import dataclasses
import json
import math
import os
import re
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import _quor_pp

from .errors import fspath
from .fitting import Fit, WindowSettings
from .parallel import Outcome, map_replicas
from .transport import AnalysisSettings, Estimate, ReplicaFailure, ReplicaFailureWarning, ReplicaResult, RunFiles

if TYPE_CHECKING:
    import pandas

__all__ = ["QUANTITIES", "Report", "Row", "analyze", "combine", "combine_outcomes", "find_replicas"]

#: The quantities of a report, in the order of its table.
QUANTITIES = (
    "self_diffusion",
    "self_diffusion_infinite",
    "onsager",
    "viscosity",
    "thermal_conductivity",
    "conductivity",
    "conductivity_nernst_einstein",
    "temperature",
    "volume",
)
COLUMNS = ("quantity", "species", "value", "std", "sem", "n", "unit", "status", "message")


@dataclass(frozen=True)
class Row:
    """One quantity over all replicas.

    Attributes
    ----------
    quantity, species : str
        What it is ("self_diffusion", "Na").
    value : float or None
        Mean over the replicas that gave a value, in `unit`; None when none did.
    std : float or None
        Population standard deviation over those replicas.
    sem : float or None
        Standard error of the mean, std / sqrt(n - 1); None for fewer than two values.
    n : int
        Number of replicas that gave a value.
    unit : str
        "m^2/s", "Pa s", "W/(m K)", "S/m", "K", "m^3", or "reduced".
    status : str
        "ok" (every replica gave a value), "partial" (some did), or the status of the
        failures when none did ("no window", "too few points", "missing", ...).
    message : str
        Which replicas failed and why; empty when status is "ok".
    replicas : tuple of (float or None)
        The value of each replica, None where it failed.
    """

    quantity: str
    species: str
    value: float | None
    std: float | None
    sem: float | None
    n: int
    unit: str
    status: str
    message: str
    replicas: tuple[float | None, ...] = field(repr=False)

    @property
    def success(self) -> bool:
        return self.n > 0


def _row(quantity: str, species: str, results: Sequence[ReplicaResult]) -> Row:
    estimates = [result.get(quantity, species) for result in results]
    units = {e.unit for e in estimates if e is not None}
    if len(units) > 1:
        raise ValueError(f"{quantity} {species}: replicas in different units ({', '.join(sorted(units))})")
    values = tuple(e.value if e is not None else None for e in estimates)
    mean, std, count = _quor_pp.repacking_results([math.nan if v is None else v for v in values])
    failures = []
    for result, estimate in zip(results, estimates):
        if estimate is None:
            failures.append(("missing", f"{result.path}: not in this run"))
        elif not estimate.success:
            failures.append((estimate.status, f"{result.path}: {estimate.message}"))
    if count == 0:
        status = failures[0][0] if len({s for s, _ in failures}) == 1 else "failed"
    else:
        status = "ok" if not failures else "partial"
    return Row(
        quantity, species,
        mean if count else None,
        std if count else None,
        std / math.sqrt(count - 1) if count > 1 else None,
        count, units.pop(), status, "; ".join(m for _, m in failures), values)


@dataclass(frozen=True)
class Report:
    """Transport coefficients of a set of replicas.

    Attributes
    ----------
    rows : list of Row
        The table: one row per quantity and species.
    replicas : list of ReplicaResult
        Per-replica estimates and fits.
    settings : AnalysisSettings
        The settings used.
    failures : list of ReplicaFailure
        The replicas that could not be analysed (a missing or malformed file, ...),
        with their paths; the table is made of the others.
    """

    rows: list[Row]
    replicas: list[ReplicaResult] = field(repr=False)
    settings: AnalysisSettings = field(repr=False)
    failures: list[ReplicaFailure] = field(default_factory=list, repr=False)

    def row(self, quantity: str, species: str = "") -> Row:
        """The row of `quantity` for `species`; KeyError when there is none."""
        for row in self.rows:
            if row.quantity == quantity and row.species == species:
                return row
        raise KeyError(f"no {quantity!r} for {species!r} in this report")

    def fits(self, quantity: str | None = None, species: str | None = None) -> list[tuple[str, Estimate, Fit]]:
        """(replica path, estimate, fit) for every estimate that came from a fit, for plotting."""
        return [
            (result.path, estimate, estimate.fit)
            for result in self.replicas
            for estimate in result.estimates
            if estimate.fit is not None
            and (quantity is None or estimate.quantity == quantity)
            and (species is None or estimate.species == species)
        ]

    def table(self) -> dict[str, list[Any]]:
        """The tidy table as columns (quantity, species, value, std, sem, n, unit, status, message)."""
        return {name: [getattr(row, name) for row in self.rows] for name in COLUMNS}

    def to_pandas(self) -> pandas.DataFrame:
        """The tidy table as a DataFrame (needs pandas); missing values are None."""
        import pandas

        return pandas.DataFrame(self.table(), columns=list(COLUMNS))

    def tidy_rows(self, *, per_replica: bool = False) -> list[dict[str, Any]]:
        """The table as records, one per row, in SI units; missing values are None.

        Each record has the keys quantity, species, replica, value, std, sem, n,
        unit, status and message; `replica` is "" for the statistics over the
        replicas. With `per_replica`, the value of every replica follows as its
        own record (replica: its path; std and sem None; n 1, or 0 when it failed).
        """
        records: list[dict[str, Any]] = []
        for row in self.rows:
            records.append({"quantity": row.quantity, "species": row.species, "replica": "", "value": row.value,
                            "std": row.std, "sem": row.sem, "n": row.n, "unit": row.unit, "status": row.status,
                            "message": row.message})
        if per_replica:
            for row in self.rows:
                for result in self.replicas:
                    estimate = result.get(row.quantity, row.species)
                    value = estimate.value if estimate is not None else None
                    records.append({
                        "quantity": row.quantity, "species": row.species, "replica": result.path,
                        "value": value, "std": None, "sem": None, "n": int(value is not None), "unit": row.unit,
                        "status": estimate.status if estimate is not None else "missing",
                        "message": estimate.message if estimate is not None else "not in this run"})
        return _finite(records)  # type: ignore[no-any-return]

    def to_dict(self, *, curves: bool = False) -> dict[str, Any]:
        """What `to_json` writes, as a dict of plain values (non-finite floats as None)."""

        def fit_record(fit: Fit) -> dict[str, Any]:
            record: dict[str, Any] = {
                "source": fit.source, "column": fit.column, "status": fit.status, "message": fit.message,
                "slope": fit.slope, "loglog_slope": fit.loglog_slope, "start": fit.start, "stop": fit.stop,
                "window": fit.window,
            }
            if curves:
                record.update(time=fit.time.tolist(), msd=fit.msd.tolist(), t_fit=fit.t_fit.tolist(),
                              fit=fit.fit.tolist())
            return record

        document = {
            "rows": [{**{name: getattr(row, name) for name in COLUMNS}, "replicas": list(row.replicas)}
                     for row in self.rows],
            "replicas": [
                {"path": result.path, "units": result.units, "estimates": [
                    {"quantity": e.quantity, "species": e.species, "value": e.value, "unit": e.unit,
                     "status": e.status, "message": e.message,
                     "fit": fit_record(e.fit) if e.fit is not None else None}
                    for e in result.estimates]}
                for result in self.replicas
            ],
            "failures": [{"path": f.path, "error": f.error, "message": f.message} for f in self.failures],
            "settings": dataclasses.asdict(self.settings),
        }
        return _finite(document)  # type: ignore[no-any-return]

    def to_json(self, *, curves: bool = False, indent: int | None = 2) -> str:
        """The table, the per-replica values and the fits' windows as JSON.

        With `curves`, each fit also carries its time and MSD arrays and fitted line.
        Missing values are null.
        """
        return json.dumps(self.to_dict(curves=curves), indent=indent)

    def __str__(self) -> str:
        header = ("quantity", "species", "value", "std", "sem", "n", "unit", "status")
        lines = [header]
        for row in self.rows:
            lines.append((row.quantity, row.species, _number(row.value), _number(row.std), _number(row.sem),
                          str(row.n), row.unit, row.status))
        widths = [max(len(line[k]) for line in lines) for k in range(len(header))]
        text = ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in lines]
        notes = [f"{row.quantity} {row.species}".strip() + f": {row.message}" for row in self.rows if row.message]
        notes += [f"not analysed: {failure}" for failure in self.failures]
        return "\n".join(text + ([""] + notes if notes else []))


def _number(value: float | None) -> str:
    return "-" if value is None else f"{value:.4g}"


def _finite(value: Any) -> Any:
    """JSON has no NaN: non-finite floats become null."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def combine(results: Sequence[ReplicaResult], settings: AnalysisSettings = AnalysisSettings(),
            failures: Sequence[ReplicaFailure] = ()) -> Report:
    """The report of a set of replica results (mean, std and sem through `repacking_results`).

    Parameters
    ----------
    results : sequence of ReplicaResult
        One per replica, from `analyze_replica`, in any order the caller chooses.
    settings : AnalysisSettings
        The settings they were made with, kept in the report.
    failures : sequence of ReplicaFailure
        The replicas that could not be analysed, kept in the report.

    Returns
    -------
    Report
    """
    if not results:
        raise ValueError("no replica results to combine")
    keys: dict[tuple[str, str], None] = {}
    for quantity in QUANTITIES:
        for result in results:
            for estimate in result.estimates:
                if estimate.quantity == quantity:
                    keys[(quantity, estimate.species)] = None
    return Report([_row(quantity, species, results) for quantity, species in keys], list(results), settings,
                  list(failures))


def combine_outcomes(outcomes: Sequence[Outcome], settings: AnalysisSettings = AnalysisSettings(), *,
                     warn: bool = True) -> Report:
    """The report of what `map_replicas` returned: the results combined, the failures kept.

    Each failure is also a `ReplicaFailureWarning` (unless `warn` is false). When no
    replica could be analysed, the first failure's exception is raised, with a note
    naming the others.
    """
    results = [outcome for outcome in outcomes if isinstance(outcome, ReplicaResult)]
    failures = [outcome for outcome in outcomes if isinstance(outcome, ReplicaFailure)]
    if not results:
        raise no_result(failures)
    if warn:
        for failure in failures:
            warnings.warn(f"not analysed: {failure}", ReplicaFailureWarning, stacklevel=2)
    return combine(results, settings, failures)


def no_result(failures: Sequence[ReplicaFailure]) -> BaseException:
    """The exception to raise when every replica failed: the first one's, naming how many others failed."""
    if not failures:
        return ValueError("no replica results to combine")
    first = failures[0]
    error = first.exception if first.exception is not None else RuntimeError(str(first))
    if len(failures) > 1:
        error.add_note(f"{len(failures) - 1} more replicas failed: "
                       + "; ".join(str(failure) for failure in failures[1:]))
    return error


def _natural(name: str) -> list[Any]:
    return [(0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", name)]


def _is_run(directory: str, files: RunFiles) -> bool:
    names = (*files.diffself, *files.diffonsag, *files.viscosity, *files.thermal_conductivity)
    return any(os.path.isfile(os.path.join(directory, name)) for name in names)


def find_replicas(runs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                  files: RunFiles = RunFiles()) -> list[str]:
    """The replica directories of `runs`.

    A directory that holds transport tables is one replica; otherwise each of its
    subdirectories that holds them is one, in natural order (replica_2 before
    replica_10). A list of directories is taken as it is.
    """
    if isinstance(runs, (str, os.PathLike)):
        path = fspath(runs)
        if not os.path.isdir(path):
            code = 20 if os.path.exists(path) else 2
            raise OSError(code, os.strerror(code), path)
        if _is_run(path, files):
            return [path]
        found = sorted((entry.path for entry in os.scandir(path) if entry.is_dir() and _is_run(entry.path, files)),
                       key=lambda p: _natural(os.path.basename(p)))
        if not found:
            raise FileNotFoundError(2, f"no transport tables ({files.diffself[0]}, {files.viscosity[0]}, ...) "
                                       "in this directory or its subdirectories", path)
        return found
    return [fspath(run) for run in runs]


def analyze(
    runs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    settings: AnalysisSettings | None = None,
    *,
    units: str | None = None,
    temperature: float | None = None,
    volume: float | None = None,
    viscosity: float | None = None,
    molecules: Mapping[str, int] | None = None,
    charges: Mapping[str, float] | None = None,
    window: WindowSettings | None = None,
    progress: Callable[[str], None] | None = None,
    jobs: int = 1,
    client: Any = None,
    engine: str | None = None,
    curves: bool = True,
) -> Report:
    """Transport coefficients of a run, averaged over its replicas, in SI units.

    Parameters
    ----------
    runs : str, os.PathLike or iterable of them
        A run directory, a directory of replica directories, or a list of replica
        directories.
    settings : AnalysisSettings, optional
        All settings at once; the keywords below replace single fields of it.
    units : str, optional
        LAMMPS unit style, when the logs do not say it.
    temperature : float, optional
        Temperature in K, instead of the thermodynamic table's mean.
    volume : float, optional
        Box volume in the run's length unit cubed (Å³ for real and metal).
    viscosity : float, optional
        Shear viscosity in Pa·s for the finite-size correction of D.
    molecules : mapping of str to int, optional
        Molecule counts by species, instead of the log's group counts.
    charges : mapping of str to float, optional
        Ion charges in units of e, for the electrical conductivity.
    window : WindowSettings, optional
        The window search.
    progress : callable, optional
        Called with a short message after each file read and each fit (when the
        replicas are analysed one after the other).
    jobs : int
        Replicas analysed at once: in threads on a free-threaded interpreter, in
        processes where the GIL is enabled (see `quor_pp.parallel`). 1 by default.
    client : distributed.Client, optional
        Analyse the replicas on this Dask cluster, one task per replica (needs
        ``pip install 'quor-pp[dask]'``); its workers must see the run directories.
    engine : str, optional
        "serial", "threads" or "processes", in place of the choice `jobs` makes.
    curves : bool
        Keep the whole curve of every fit, which plots of the fits need; without,
        the fits keep their windows and lines, and results from workers are a few
        times smaller.

    Returns
    -------
    Report
        The tidy table (`quantity, species, value, std, sem, n, unit`), per-replica
        values and every fit; the same, bit for bit, whichever engine ran it.
        Replicas that could not be analysed are left out of the table, listed in
        `Report.failures` and each reported by a `ReplicaFailureWarning`.

    Raises
    ------
    OSError, FormatError, ValueError
        No replica could be analysed: the first one's error, naming its file.

    Examples
    --------
    From the root of a source checkout, with the sample run:

    >>> report = analyze("examples/data/run", charges={"Na": 1, "Cl": -1})
    >>> row = report.row("self_diffusion", "Na")
    >>> row.unit, row.n, row.status
    ('m^2/s', 4, 'ok')
    >>> report.row("viscosity").unit
    'Pa s'
    """
    chosen = (settings or AnalysisSettings()).replaced(
        units=units, temperature=temperature, volume=volume, viscosity=viscosity, window=window,
        molecules=molecules, charges=charges)
    directories = find_replicas(runs, chosen.files)
    outcomes = map_replicas([(directory, chosen) for directory in directories], jobs=jobs, client=client,
                            engine=engine, curves=curves, progress=progress)
    return combine_outcomes(outcomes, chosen)
