"""Combining replicas into a report: statistics over replicas, the tidy table, notices, the fits for plots."""

from __future__ import annotations

import dataclasses
import math
import os
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final


from ..analysis import quantities as registry
from ..analysis.fitting import Fit, WindowSettings
from ..analysis.pairs import relabel_pairs, run_species_order
from ..analysis.table_reuse import tables_kept
from ..analysis.window_search import common_window
from .parallel import Outcome, map_replicas
from .intervals import interval_remark
from .replica_windows import momentum_remarks, share_windows
from .replicas import find_replicas, natural_key
from .run_consistency import one_run
from .rows import COLUMNS, Notice, Row, _inputs, _jackknife, _row
from ..analysis.results import Estimate, ReplicaFailure, ReplicaFailureWarning, ReplicaResult
from ..analysis.settings import AnalysisSettings

if TYPE_CHECKING:
    import pandas

__all__ = ["SCHEMA", "Notice", "Report", "Row", "analyze", "combine", "find_replicas", "natural_key"]

#: The version of the JSON document of `Report.to_json` (and of a sweep's).
SCHEMA: Final = "quor-pp/1"



@dataclass(frozen=True)
class Report:
    """Transport coefficients of a set of replicas.

    Attributes
    ----------
    rows : tuple of Row
        The table: one row per quantity and species, in the registry's order.
    replicas : tuple of ReplicaResult
        Per-replica estimates and fits.
    settings : AnalysisSettings
        The settings used.
    failures : tuple of ReplicaFailure
        The replicas that could not be analysed (a missing or malformed file, ...),
        with their paths; the table is made of the others.
    retried : tuple of str
        The replicas analysed a second time because the worker process analysing
        them died (a replica lost twice is a failure).
    window_remarks : tuple of str
        How the replicas shared their windows (see `quor_pp.workflow.replica_windows`).
    apart : tuple of str
        The replicas whose value of a curve stood far apart from the other replicas',
        and what was done about each (fitted again over the others' window, or left
        out of the row).
    """

    rows: tuple[Row, ...]
    replicas: tuple[ReplicaResult, ...] = field(repr=False)
    settings: AnalysisSettings = field(repr=False)
    failures: tuple[ReplicaFailure, ...] = field(default=(), repr=False)
    retried: tuple[str, ...] = field(default=(), repr=False)
    window_remarks: tuple[str, ...] = field(default=(), repr=False)
    apart: tuple[str, ...] = field(default=(), repr=False)

    def __post_init__(self) -> None:
        for name in ("rows", "replicas", "failures", "retried", "window_remarks", "apart"):
            object.__setattr__(self, name, tuple(getattr(self, name)))

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

    def notices(self) -> list[Notice]:
        """Every cause that left an estimate without a value: one notice per cause, with its replicas.

        A cause that several quantities share (no temperature for η, κ and D∞; no
        window for D of Na, which D∞ of Na inherits) is one notice, and so is a cause
        that replicas or curves word with their own numbers (`notice_causes`).
        """
        from .notice_causes import notices

        return notices(self.replicas)

    def checks(self) -> tuple[list[str], list[str]]:
        """The names of the cross-checks of the inputs applied to the replicas, and the notes they left.

        The names are keys of `quor_pp.analysis.cross_checks.CHECKS`, which says each in
        words; a report of several replicas also checked that they are of one run
        (unit style, composition, temperature).
        """
        from ..analysis.cross_checks import CHECKS

        applied: dict[str, None] = {}
        notes: dict[str, None] = {}
        for result in self.replicas:
            for check in result.checks:
                if check in CHECKS:
                    applied[check] = None
                else:
                    notes[check] = None
        if len(self.replicas) + len(self.failures) > 1:
            applied["one run"] = None
        return [name for name in CHECKS if name in applied], list(notes)
    def remarks(self) -> list[str]:
        """What the report says besides its rows' failures: how windows were shared, the momentum balance."""
        return [*self.apart, *self.window_remarks, *momentum_remarks(self.replicas), interval_remark()]

    def records(self, *, per_replica: bool = False) -> list[dict[str, Any]]:
        """The tidy table as records, one per row, in SI units; missing values are None.

        Each record has the keys quantity, species, replica, value, std, sem, ci95,
        n, unit, status, message and inputs; `replica` is "" for the statistics over the
        replicas. With `per_replica`, the value of every replica follows as its
        own record (replica: its path; std and sem None; n 1, or 0 when it failed).
        """
        records: list[dict[str, Any]] = []
        for row in self.rows:
            records.append({"quantity": row.quantity, "species": row.species, "replica": "", "value": row.value,
                            "std": row.std, "sem": row.sem, "ci95": row.ci95, "n": row.n, "unit": row.unit,
                            "status": row.status, "message": row.message, "inputs": row.inputs,
                            "interval": row.interval})
        if per_replica:
            for row in self.rows:
                for result in self.replicas:
                    estimate = result.get(row.quantity, row.species)
                    value = estimate.value if estimate is not None else None
                    records.append({
                        "quantity": row.quantity, "species": row.species, "replica": result.path,
                        "value": value, "std": None, "sem": None, "ci95": None, "n": int(value is not None),
                        "unit": row.unit, "status": estimate.status if estimate is not None else "missing",
                        "message": estimate.message if estimate is not None else "not in this run",
                        "inputs": _inputs([estimate]) if estimate is not None else "", "interval": ""})
        return _finite(records)  # type: ignore[no-any-return]

    def to_pandas(self) -> pandas.DataFrame:
        """The tidy table as a DataFrame (needs pandas); missing values are None."""
        import pandas

        return pandas.DataFrame([row.record() for row in self.rows], columns=list(COLUMNS))

    def _repr_html_(self) -> str:
        from .report_html import report_html  # the HTML views are built only in a notebook

        return report_html(self)

    def to_dict(self, *, curves: bool = False) -> dict[str, Any]:
        """What `to_json` writes, as a dict of plain values (non-finite floats as None)."""

        def fit_record(fit: Fit) -> dict[str, Any]:
            record: dict[str, Any] = {
                "source": fit.source, "column": fit.column, "status": fit.status, "message": fit.message,
                "slope": fit.slope, "loglog_slope": fit.loglog_slope, "start": fit.start, "stop": fit.stop,
                "window": fit.window, "quality": fit.quality.to_dict() if fit.quality is not None else None,
                "rejected": [window.to_dict() for window in fit.rejected],
            }
            if curves:
                record.update(time=fit.time.tolist(), msd=fit.msd.tolist(), t_fit=fit.t_fit.tolist(),
                              fit=fit.fit.tolist())
            return record

        def estimate_record(e: Estimate) -> dict[str, Any]:
            return {"quantity": e.quantity, "species": e.species, "value": e.value, "unit": e.unit,
                    "status": e.status, "message": e.message,
                    "needs": None if e.needs is None else {"setting": e.needs.setting, "species": e.needs.species},
                    "sources": [{"name": s.name, "value": s.value, "origin": s.origin} for s in e.sources],
                    "fit": fit_record(e.fit) if e.fit is not None else None}

        document = {
            "schema": SCHEMA,
            "rows": [{**row.record(), "replicas": list(row.replicas)} for row in self.rows],
            "replicas": [{"path": result.path, "units": result.units,
                          "estimates": [estimate_record(e) for e in result.estimates]}
                         for result in self.replicas],
            "failures": [failure.to_dict() for failure in self.failures],
            "retried": list(self.retried),
            "warnings": [notice.describe() for notice in self.notices()],
            "checks": dict(zip(("applied", "notes"), self.checks())),
            "remarks": self.remarks(),
            "settings": self.settings.to_dict(),
        }
        return _finite(document)  # type: ignore[no-any-return]

    def to_json(self, *, curves: bool = False, indent: int | None = 2) -> str:
        """The table, the per-replica values and the fits' windows as JSON (schema "quor-pp/1").

        With `curves`, each fit also carries its time and MSD arrays and fitted line.
        Missing values are null.
        """
        import json

        return json.dumps(self.to_dict(curves=curves), indent=indent)

    def __str__(self) -> str:
        header = ("quantity", "species", "value", "std", "sem", "n", "unit", "status")
        lines = [header]
        for row in self.rows:
            lines.append((row.quantity, row.species, _number(row.value), _number(row.std), _number(row.sem),
                          str(row.n), row.unit, row.status))
        widths = [max(len(line[k]) for line in lines) for k in range(len(header))]
        text = ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in lines]
        notes = [notice.describe() for notice in self.notices()] + self.remarks()
        notes += [f"not analysed: {failure}" for failure in self.failures]
        applied, remarks = self.checks()
        notes += remarks + ([f"checked: {', '.join(applied)}"] if applied else [])
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
    results = relabel_pairs(results)  # replicas analysed each in its own order of species
    # One pass over the estimates: each result's by (quantity, species), the first kept as
    # `ReplicaResult.get` finds it, and each quantity's species in the order they appear.
    indexes: list[dict[tuple[str, str], Estimate]] = []
    species_of: dict[str, dict[str, None]] = {}
    for result in results:
        index: dict[tuple[str, str], Estimate] = {}
        for estimate in result.estimates:
            index.setdefault((estimate.quantity, estimate.species), estimate)
            species_of.setdefault(estimate.quantity, {})[estimate.species] = None
        indexes.append(index)
    keys = [(quantity.name, species) for quantity in registry.quantities()
            for species in species_of.get(quantity.name, ())]
    estimates = {key: [index.get(key) for index in indexes] for key in keys}
    pooled = _pooled_groups(estimates)
    windows = "intersection" if settings.common_window else settings.replica_windows
    rows = tuple(_row(quantity, species, results, estimates[(quantity, species)], pooled, windows)
                 for quantity, species in keys)
    return Report(rows, tuple(results), settings, tuple(failures))


def _pooled_groups(estimates: Mapping[tuple[str, str], Sequence[Estimate | None]]
                   ) -> dict[tuple[str, str], tuple[float, float] | None]:
    """The jackknives of the pooled rows of one quantity whose replicas share each input object, made together."""
    groups: dict[tuple[Any, ...], list[str]] = {}
    for (quantity, species), found in estimates.items():
        record = registry.registered(quantity)
        if record is None or record.pooled is None or len(found) < 2 or \
                not all(e is not None and e.success for e in found):
            continue
        groups.setdefault((quantity, *(id(e.sources) for e in found if e is not None)), []).append(species)
    made: dict[tuple[str, str], tuple[float, float] | None] = {}
    for (quantity, *_), members in groups.items():
        if len(members) < 2:
            continue
        record = registry.registered(quantity)
        assert record is not None and record.pooled is not None
        sources = [e.sources for e in estimates[(quantity, members[0])] if e is not None]
        for name, result in _jackknife(record.pooled, members, sources).items():
            made[(quantity, name)] = result
    return made


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
    if len(results) > 1:  # replicas of other runs are set apart (or, without a majority, refused)
        results, apart = one_run(results)
        failures += apart
    if warn:
        for failure in failures:
            warnings.warn(f"not analysed: {failure}", ReplicaFailureWarning, stacklevel=3)
    report = combine(results, settings, failures)
    retried = getattr(outcomes, "retried", ())  # task indices, when a pool of processes ran them
    if retried:
        report = dataclasses.replace(report, retried=tuple(outcomes[k].path for k in retried))
    return report


def no_result(failures: Sequence[ReplicaFailure]) -> BaseException:
    """The exception to raise when every replica failed: the first one's, naming how many others failed."""
    if not failures:
        return ValueError("no replica results to combine")
    first = failures[0]
    error = first.exception if first.exception is not None else RuntimeError(str(first))
    # Every failure, as data for callers that word them their own way (the command).
    error.replica_failures = tuple(failures)  # type: ignore[attr-defined]
    if len(failures) > 1:
        error.add_note(f"{len(failures) - 1} more replicas failed: "
                       + "; ".join(str(failure) for failure in failures[1:]))
    return error


def analyze(
    runs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    settings: AnalysisSettings | None = None,
    *,
    units: str | None = None,
    temperature: float | None = None,
    volume: float | None = None,
    viscosity: float | None = None,
    molecules: Mapping[str, int] | None = None,
    atoms_per_molecule: Mapping[str, int] | None = None,
    charges: Mapping[str, float] | None = None,
    window: WindowSettings | None = None,
    windows: Mapping[str, tuple[float, float]] | None = None,
    common_window: bool | None = None,
    replica_windows: str | None = None,
    masses: Mapping[str, float] | None = None,
    progress: Callable[[str], None] | None = None,
    done: Callable[[int, Outcome], None] | None = None,
    jobs: int = 1,
    client: Any = None,
    engine: str | None = None,
    curves: bool = True,
    batch: int | None = None,
) -> Report:
    """Transport coefficients of a run, averaged over its replicas, in SI units.

    Parameters
    ----------
    runs : str, os.PathLike or iterable of them
        A run directory, a directory of replica directories, or several of them,
        taken together as one run's replicas (see `find_replicas`).
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
        Molecule counts by species, instead of those the run's files give.
    atoms_per_molecule : mapping of str to int, optional
        Atoms in one molecule of a species, to count its molecules from its group.
    charges : mapping of str to float, optional
        Ion charges in units of e, for the electrical conductivity.
    window : WindowSettings, optional
        The window search.
    windows : mapping of str to (float, float), optional
        Windows given by hand in the run's time unit, by quantity ("" for all).
    common_window : bool, optional
        Fit every replica of a curve over the intersection of their windows.
    replica_windows : str, optional
        How the replicas of a curve share a window: "median" (the default: every
        replica over the median start and end of the replicas' own windows), "own"
        or "intersection" (see `AnalysisSettings`).
    masses : mapping of str to float, optional
        Molar masses in g/mol by species, for the Onsager matrix's momentum balance.
    progress : callable, optional
        Called with a short message after each file read and each fit (when the
        replicas are analysed one after the other).
    done : callable, optional
        Called with the index and outcome of each replica as it is finished.
    jobs : int
        Replicas analysed at once: in threads on a free-threaded interpreter, in
        processes where the GIL is enabled (see `quor_pp.parallel`). 1 by default.
    client : distributed.Client, optional
        Analyse the replicas on this Dask cluster (needs ``pip install
        'quor-pp[dask]'``); its workers must see the run directories.
    engine : str, optional
        "serial", "threads" or "processes", in place of the choice `jobs` makes.
    curves : bool
        Keep the whole curve of every fit, which plots of the fits need; without,
        the fits keep their windows, slopes and checks but not the points of their
        curves and lines, and results from workers are several times smaller.
    batch : int, optional
        With a client: replicas per Dask task (default: a few tasks per worker
        thread; see `quor_pp.parallel.batch_size`).

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
    TypeError
        A setting of the wrong type.

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
    if settings is not None and not isinstance(settings, AnalysisSettings):
        raise TypeError(f"settings must be an AnalysisSettings, not {type(settings).__name__}")
    chosen = (settings or AnalysisSettings()).replaced(
        units=units, temperature=temperature, volume=volume, viscosity=viscosity, window=window,
        molecules=molecules, atoms_per_molecule=atoms_per_molecule, charges=charges, windows=windows,
        common_window=common_window, replica_windows=replica_windows, masses=masses)
    directories = find_replicas(runs, chosen.files)
    if not chosen.species_order:  # one order of species and pairs for every replica
        chosen = chosen.replaced(species_order=run_species_order(directories, chosen.files) or None)
    with tables_kept():  # read once for both passes, where they run in this process
        outcomes = map_replicas([(directory, chosen) for directory in directories], jobs=jobs, client=client,
                                engine=engine, curves=curves, progress=progress, done=done, batch=batch)
        # Again, every curve over one window for all its replicas (unless each keeps its own).
        shared, chosen, remarks, apart = share_windows(
            outcomes, chosen, lambda again: map_replicas(list(zip(directories, again)), jobs=jobs, client=client,
                                                         engine=engine, curves=curves, batch=batch))
    report = combine_outcomes(shared, chosen)
    return dataclasses.replace(report, window_remarks=remarks, apart=apart) if remarks or apart else report


def common_windows(outcomes: Iterable[Outcome]) -> dict[str, tuple[float, float] | None]:
    """The window every replica's fit of each curve shares, by "quantity:species" (None where none)."""
    fits: dict[str, list[Fit]] = {}
    for outcome in outcomes:
        if isinstance(outcome, ReplicaResult):
            for estimate in outcome.estimates:
                if estimate.fit is not None:
                    fits.setdefault(f"{estimate.quantity}:{estimate.species}", []).append(estimate.fit)
    return {key: common_window(found) for key, found in fits.items()}
