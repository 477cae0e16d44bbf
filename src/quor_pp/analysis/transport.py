"""Transport coefficients of one run directory, in SI units, by walking the registry of quantities.

`analyze_replica` is a plain function of a directory and picklable settings that
returns a picklable `ReplicaResult`, so that replicas can be analysed in any order,
in threads, processes or on remote workers, and combined afterwards (see report.py).
What each quantity is and how it is computed stands in `quantities.py`; this module
gives the quantities what they need from the run (its tables, fits, T, V, molecule
counts, each once) and turns a fit into an estimate with one rule.
"""

from __future__ import annotations

import errno
import math
import os
from collections.abc import Callable
from typing import Any

import numpy as np

from . import cross_checks
from . import quantities as registry
from ..reading.errors import FormatError, fspath
from ..reading.files import Table, box_mean, find_file
from .fitting import Fit
from .table_reuse import read_kept
from .window_search import fit_window, refuse_if_not_diffusive
from ..reading.logs import RunLog, read_log
from ..reading.group_replay import GroupTally, replay_groups
from ..reading.data_cache import data_file
from ..reading.molecules import DataFile
from .pairs import ordered_species
from .run_inputs import Input, TableKind, split_pair, table_temperature
from .registry import Curves, Normalisation, Quantity
from .results import (Estimate, MissingInputError, Needs, ReplicaFailure, ReplicaFailureWarning, ReplicaResult,
                      Source)
from .settings import AnalysisSettings, RunFiles
from ..core.units import UnitSystem, unit_system

__all__ = [
    "AnalysisSettings",
    "Estimate",
    "Input",
    "ReplicaFailure",
    "ReplicaFailureWarning",
    "ReplicaResult",
    "Run",
    "RunFiles",
    "analyze_replica",
    "find_file",
]

Progress = Callable[[str], None]



class Run:
    """What the quantities of one replica are computed from: its tables, fits and inputs, each made once.

    The derive functions of `quantities.py` receive it; it never leaves `analyze_replica`.
    """

    def __init__(self, directory: str, settings: AnalysisSettings, progress: Progress | None) -> None:
        self.directory = directory
        self.settings = settings
        self.progress = progress
        self.fits: list[Fit] = []
        self.structure: list[Any] = []  # each pair's curves for the figures (structure.py fills it)
        self._paths: dict[str, str | None] = {}
        self._tables: dict[str, Table | None] = {}
        self._inputs: dict[tuple[str, str], Input] = {}
        self._estimates: dict[str, list[Estimate]] = {}
        self._molecule_counts: tuple[dict[str, tuple[str, GroupTally]], str] | None = None
        self._data_charges: dict[str, float] = {}
        self._memo: dict[str, Any] = {}
        self._source_objects: dict[tuple[Any, ...], Source] = {}
        self._source_tuples: dict[tuple[Source, ...], tuple[Source, ...]] = {}
        self.checks: dict[str, None] = {}  # the cross-checks applied, by name (cross_checks.CHECKS)
        # What is being made (quantities, inputs, memos), innermost last, and what was made from a fit:
        # a second pass over other windows need make only those again.
        self._making: list[tuple[str, Any]] = []
        self._from_fits: set[tuple[str, Any]] = set()
        log_path = find_file(directory, settings.files.log)
        # The log's thermodynamic output, the bulk of a long log, is read only if T or V need it.
        self.log: RunLog | None = read_log(log_path, thermo=False) if log_path else None
        name = settings.units or (self.log.units if self.log else None) or settings.state_units
        if name is None:
            why = "no 'units' line" if log_path else f"no {settings.files.log[0]} in this directory"
            raise MissingInputError(log_path or directory, f"the unit style is unknown ({why})", Needs("units"))
        try:
            self.units: UnitSystem = unit_system(name)
        except ValueError as error:
            raise MissingInputError(log_path or directory, str(error), Needs("units")) from None
        self.notify(f"{directory}: units {name}")
        if settings.units is not None and self.log is not None and self.log.units is not None:
            self.checked("units")
            if self.log.units != settings.units:
                self.checks[f"units: the unit style {settings.units} given replaces the log's 'units "
                            f"{self.log.units}'"] = None

    def checked(self, name: str) -> None:
        """Note that the cross-check `name` (a key of `cross_checks.CHECKS`) was applied to this replica."""
        self.checks[name] = None

    def notify(self, what: str) -> None:
        if self.progress is not None:
            self.progress(what)

    # --- what the run holds ---------------------------------------------------------------------

    def path(self, role: str) -> str | None:
        """The path of the run's file of this role (a field of `RunFiles`), looked up once; None when absent."""
        if role not in self._paths:
            self._paths[role] = find_file(self.directory, getattr(self.settings.files, role))
        return self._paths[role]

    def read(self, role: str, kind: TableKind) -> Table | None:
        """The run's file of this role read as a table of layout `kind`, once; None when it has none."""
        if role not in self._tables:
            path = self.path(role)
            table = None if path is None else read_kept(path, kind)
            if table is not None:
                self.notify(f"{path}: {table.row_count} rows")
                if kind in ("transport", "rdf"):
                    cross_checks.check_increasing(table, "radius" if kind == "rdf" else "time")
                    self.checked("increasing")
            self._tables[role] = table
        return self._tables[role]

    def table(self, role: str) -> Table | None:
        """The run's transport (or rdf) table of this role, read once; None when it has none."""
        return self.read(role, "rdf" if role == "rdf" else "transport")

    def species(self) -> list[str]:
        """The species of the run, in the run's order (`AnalysisSettings.species_order`), else its tables'.

        Those of the self-diffusion table, then those only the Onsager table names.
        """
        found: list[str] = self.memo("species", self._species)
        return list(found)

    def _species(self) -> list[str]:
        own, onsager = self.table("diffself"), self.table("diffonsag")
        if own is not None and onsager is not None:
            self.checked("species")
        return ordered_species(cross_checks.run_species(own, onsager), self.settings.species_order)

    def curves(self, source: Curves) -> list[tuple[str, str]]:
        """(species or pair label, column) of every curve of `source` in the run, in a fixed order.

        A pair is unordered: its label puts its species in the run's order ("Na-Cl"
        whether the column says Na_Cl or Cl_Na), so replicas that write the columns
        in different orders give one row.
        """
        table = self.table(source.file)
        if table is None:
            return []
        if source.per == "box":
            if source.column not in table:
                raise FormatError(table.path, f"a transport table with an {source.column} column", None,
                                  f"its columns are {', '.join(table)}")
            return [("", source.column)]
        named = [(name[len(source.column):], name) for name in table
                 if name.startswith(source.column) and len(name) > len(source.column)]
        if source.per == "species":
            return named
        order = self.species() or list(self.settings.species_order)  # a replica without diffself.dat
        known = set(order) | set(self.settings.molecules)
        rank = {name: k for k, name in enumerate(order)}
        pairs: dict[tuple[str, str], str] = {}
        split = [(pair, column) for name, column in named if (pair := split_pair(name, known)) is not None]
        cross_checks.check_pairs(table, split)
        self.checked("pairs")
        for pair, column in split:
            first, second = sorted(pair, key=lambda s: (rank.get(s, len(rank)), s))
            pairs.setdefault((first, second), column)
        return [(f"{first}-{second}", column) for (first, second), column in
                sorted(pairs.items(), key=lambda item: [(rank.get(s, len(rank)), s) for s in item[0]])]

    def charges(self) -> dict[str, float]:
        """The ions' charges; ValueError when a charge names a species the run does not have."""
        checked: dict[str, float] = self.memo("charges", self._checked_charges)
        return dict(checked)

    def _checked_charges(self) -> dict[str, float]:
        charges = dict(self.settings.charges)
        present = set(self.species())
        for label, _ in self.curves(Curves("diffonsag", "MSD__", "pair")):
            present.update(label.split("-", 1))
        unknown = sorted(set(charges) - present)
        if unknown and present:
            raise ValueError(f"{self.directory}: charges given for {', '.join(map(repr, unknown))}, which the run "
                             f"does not have (species: {', '.join(self.species())})")
        if charges:
            cross_checks.check_charges(self, charges)
        return charges

    # --- inputs of the normalisations -----------------------------------------------------------

    def input(self, name: str, species: str = "") -> Input:
        """An input by name ("T", "T^2", "V", "eta", "N_i" with a species, "N", "V k_B T / e^2"), made once."""
        key = (name, species)
        if key not in self._inputs:
            self._inputs[key] = self._made(("input", key), lambda: self._make_input(name, species))
        else:
            self._used(("input", key))
        return self._inputs[key]

    def _make_input(self, name: str, species: str) -> Input:
        settings, files = self.settings, self.settings.files
        if name == "T":
            if settings.temperature is not None:
                return Input("T", settings.temperature, "option")
            thermo = self.read("thermo", "thermo")
            if thermo is not None:
                self.checked("temperature")
                return table_temperature(thermo, units=self.units.name)
            thermo = self._log_thermo("Temp")
            if thermo is not None:
                self.checked("temperature")
                return table_temperature(thermo, "log thermo, last run", self.units.name)
            if settings.state_temperature is not None:
                return Input("T", settings.state_temperature, "state point")
            return Input("T", None, why=f"no {files.thermo[0]}", needs=Needs("temperature"))
        if name == "T^2":
            return self._combined("T^2", [self.input("T")], lambda t: t * t)
        if name == "V":
            if settings.volume is not None:
                return self._volume(settings.volume, "option")
            path = self.path("volume")
            thermo = self._log_thermo("Volume") if path is None else None
            if thermo is not None:
                values = thermo["Volume"]
                cross_checks.check_positive(self.log.path if self.log else "", "Volume", values, "volume")
                self.checked("volume")
                return self._volume(float(np.mean(values)), f"log thermo, mean of the last run's {len(values)} rows")
            if path is None:
                return Input("V", None, why=f"no {files.volume[0]}", needs=Needs("volume"))
            raw, rows = box_mean(path)  # refuses a row that is not positive
            self.checked("volume")
            if not (math.isfinite(raw) and raw > 0.0):
                raise FormatError(path, "a positive box volume", None, f"its mean is {raw}")
            return self._volume(raw, os.path.basename(path) + (f", mean of {rows} rows" if rows > 1 else ""))
        if name == "V k_B T / e^2":
            units = self.units
            return self._combined(name, [self.input("V"), self.input("T")],
                                  lambda v, t: v * units.boltzmann * t / units.elementary_charge**2)
        if name == "eta":
            if settings.viscosity is not None:
                return Input("eta", settings.viscosity, "option")
            own = next(iter(self.estimates("viscosity")), None)
            if own is None or own.value is None:
                why = (f"no shear viscosity (no {files.viscosity[0]} fit"
                       + (f": {own.message})" if own is not None else ")"))
                return Input("eta", None, why=why, needs=Needs("viscosity"))
            return Input("eta", own.value, "fit")
        if name == "N_i":
            return self._molecules(species)
        if name == "N":
            counts = [self.input("N_i", s) for s in self.species()]
            if not counts:
                return Input("N", None, why=f"no {files.diffself[0]} to count the molecules",
                             needs=Needs("molecules"))
            return self._combined("N", counts, lambda *values: sum(values))
        raise KeyError(f"no input {name!r}")

    def _log_thermo(self, column: str) -> Table | None:
        """The log's thermodynamic output of its last run, when it has `column` (and rows)."""
        log = self.log
        runs: tuple[Table, ...] = self.memo("log thermo", lambda: read_log(log.path).thermo) if log is not None else ()
        last = runs[-1] if runs else None
        return last if last is not None and column in last and last.row_count > 0 else None

    def _volume(self, raw: float, origin: str) -> Input:
        value = raw * self.units.volume
        if not (math.isfinite(value) and value > 0.0):
            return Input("V", None, why=f"a volume of {raw:g} ({origin}) is no volume in m³ ({value:g})",
                         needs=Needs("volume"))
        return Input("V", value, origin)

    def _molecules(self, species: str) -> Input:
        """N of a species: given, counted in the data file the log reads, or its group's atoms over K.

        A group's atom count alone is no molecule count (a three-site water group
        holds three atoms per molecule): without a data file or atoms per molecule,
        the count is missing, never guessed.
        """
        label = f"N_{species}"
        if species in self.settings.molecules:
            return Input(label, self.settings.molecules[species], "option")
        counted, why_not = self._counted_molecules()
        if species in counted:
            origin, tally = counted[species]
            if tally.why:
                return Input(label, None, why=tally.why, needs=Needs("molecules", species))
            if tally.molecules == 0:
                return Input(label, None, why=f"group {species!r} holds no atom of {origin}",
                             needs=Needs("molecules", species))
            if tally.molecules is not None:
                return Input(label, tally.molecules, origin)
        groups = self.log.groups if self.log else {}
        per_molecule = self.settings.atoms_per_molecule.get(species)
        if species in groups and self.log is not None:
            atoms, log_name = groups[species], os.path.basename(self.log.path)
            if atoms == 0:
                return Input(label, None, why=f"group {species!r} has no atoms in {log_name}",
                             needs=Needs("molecules", species))
            if per_molecule is not None:
                if atoms % per_molecule:
                    return Input(label, None, why=f"group {species!r} has {atoms} atoms in {log_name}, not a "
                                 f"multiple of {per_molecule} atoms per molecule", needs=Needs("molecules", species))
                return Input(label, atoms // per_molecule, f"{log_name} group / {per_molecule}")
            return Input(label, None, why=f"only the atom count of group {species!r} is known ({atoms} atoms in "
                         f"{log_name}{'; ' + why_not if why_not else ''})", needs=Needs("atoms_per_molecule", species))
        where = f"no group {species!r} in {self.log.path}" if self.log else f"no log in {self.directory}"
        return Input(label, None, why=f"no molecule count for {species!r} ({where})",
                     needs=Needs("molecules", species))

    def _counted_molecules(self) -> tuple[dict[str, tuple[str, GroupTally]], str]:
        """Every group the log defines, replayed over the data files it reads; or why there are none."""
        if self._molecule_counts is not None:
            return self._molecule_counts
        counted: dict[str, tuple[str, GroupTally]] = {}
        why = ""
        log = self.log
        if log is not None:
            folder = os.path.dirname(log.path)

            def load(name: str, atom_style: str | None) -> DataFile:
                found = find_file(folder, (os.path.basename(name),))
                if found is None:
                    raise ValueError(f"no {os.path.basename(name)} beside the log to count molecules in")
                return data_file(found, atom_style)

            if not log.read_data:
                why = "the log reads no data file"
            else:
                try:
                    replay = replay_groups(log.events, load, os.path.basename(log.path))
                except (ValueError, OSError) as error:
                    why = str(error)
                else:
                    self.checked("group counts")
                    origin = "+".join(os.path.basename(path) for path in replay.data_files)
                    if replay.followed:
                        origin += " (" + ", ".join(replay.followed) + ")"
                    counted = {name: (origin, tally) for name, tally in replay.groups.items()}
                    self._data_charges = {name: tally.charge for name, tally in replay.groups.items()
                                          if tally.charge is not None}
        self._molecule_counts = (counted, why)
        return self._molecule_counts

    def detected_charges(self) -> dict[str, float]:
        """The net charge of a molecule of each species, where the data file the log reads says it."""
        self._counted_molecules()
        species = set(self.species())
        return {name: charge for name, charge in self._data_charges.items() if name in species}
    @staticmethod
    def _combined(name: str, parts: list[Input], combine: Callable[..., float]) -> Input:
        lacking = next((part for part in parts if part.value is None), None)
        if lacking is not None:
            return Input(name, None, why=lacking.why, needs=lacking.needs)
        return Input(name, combine(*(part.value for part in parts)), "+".join(sorted({p.origin for p in parts})),
                     parts=tuple(parts))

    @staticmethod
    def sources(*inputs: Input) -> tuple[Source, ...]:
        """The inputs with a value, as the sources of an estimate: those made of others by their parts."""
        found: list[Source] = []
        for given in inputs:
            if given.parts:
                found += Run.sources(*given.parts)
            elif given.value is not None:
                found.append(Source(given.name, given.value, given.origin))
        return tuple(found)

    def memo(self, key: str, compute: Callable[[], Any]) -> Any:
        """`compute()` made once per replica: work that several quantities share (an equilibration scan)."""
        if key not in self._memo:
            self._memo[key] = self._made(("memo", key), compute)
        else:
            self._used(("memo", key))
        return self._memo[key]

    def _made(self, what: tuple[str, Any], make: Callable[[], Any]) -> Any:
        """make(), noting whether it used a fit (directly or through what it used)."""
        self._making.append(what)
        try:
            return make()
        finally:
            self._making.pop()
            self._used(what)

    def _used(self, what: tuple[str, Any]) -> None:
        """What is being made used `what`: if that came from a fit, so does all of it."""
        if what in self._from_fits:
            self._from_fits.update(self._making)

    def fitted_quantities(self) -> tuple[str, ...]:
        """The quantities made so far whose values came from a fit, directly or through their inputs."""
        return tuple(name for kind, name in self._from_fits if kind == "quantity")

    # --- estimates -------------------------------------------------------------------------------

    def estimates(self, name: str) -> list[Estimate]:
        """The estimates of the quantity called `name`, computed once (quantities may use each other's)."""
        if name not in self._estimates:
            self._estimates[name] = []  # a quantity that needs itself finds none
            self._estimates[name] = self._made(("quantity", name),
                                               lambda: list(self._compute(registry.quantity(name))))
        else:
            self._used(("quantity", name))
        return self._estimates[name]

    def _compute(self, quantity: Quantity) -> list[Estimate]:
        if quantity.derive is not None:
            return list(quantity.derive(self))
        assert quantity.curves is not None and quantity.normalisation is not None
        table = self.table(quantity.curves.file)
        found = []
        for label, column in self.curves(quantity.curves):
            assert table is not None
            fit = self.fit(table, column, quantity=quantity.name, species=label)
            found.append(self.from_fit(quantity.name, label, fit, quantity.normalisation))
        return found

    def fit(self, table: Table, column: str, curve: np.ndarray | None = None, *, quantity: str = "",
            species: str = "", default_window: tuple[float, float] | None = None) -> Fit:
        """The window fit of a column of `table` (or of `curve`, made from its columns).

        The window is the one given for the curve, else for its quantity, else for all,
        else `default_window`; without any, the search chooses one.
        """
        time = table[next(iter(table))]  # the #Time column, whatever its exact name
        values = table[column] if curve is None else curve
        key = f"{quantity}:{species}"
        windows = self.settings.curve_windows
        self.checked("finite")
        blown_up = cross_checks.not_numbers(table.path, column, values)
        if blown_up:  # NaN in a run's output: its simulation failed there; no window is fitted around it
            empty = np.empty(0)
            result = Fit(table.path, column, time, values, "not numbers", blown_up, None, empty, empty)
        elif key in windows and windows[key] is None:
            empty = np.empty(0)
            result = Fit(table.path, column, time, values, "no common window",
                         "the windows accepted in the replicas do not overlap", None, empty, empty)
        else:
            window = (windows.get(key) or self.settings.windows.get(quantity) or self.settings.windows.get("")
                      or default_window)
            result = fit_window(time, values, self.settings.window, source=table.path, column=column,
                                window=window)
            if key in self.settings.strict_windows:
                result = refuse_if_not_diffusive(result, self.settings.window)
        self.fits.append(result)
        self._from_fits.update(self._making)
        self.notify(f"{table.path}: {column}: {result.status}")
        return result

    def from_fit(self, quantity: str, species: str, fit: Fit, normalisation: Normalisation) -> Estimate:
        """The estimate a fit gives: slope / (d₁ · d₂ · …) × factor, or the status of what is missing."""
        inputs = [self.input("N_i", species) if name == "N_i" else self.input(name)
                  for name in normalisation.divide_by]
        lacking = next((i for i in inputs if i.value is None), None)
        factor: float = getattr(self.units, normalisation.factor)
        divisor = 1.0
        for given in inputs:
            divisor = divisor * given.value if given.value is not None else divisor
        # T² of a tiny T underflows to 0: such inputs give no value, never a division by zero.
        usable = lacking is None and divisor != 0.0
        scale = factor / divisor if usable else None
        if not fit.success:
            message = f"{os.path.basename(fit.source)} {fit.column}: {fit.message}"
            return self.missing(quantity, species, message, None, status=fit.status, fit=fit, scale=scale)
        if lacking is not None:
            return self.missing(quantity, species, lacking.why, lacking.needs, fit=fit)
        assert fit.slope is not None
        if not usable:
            shown = ", ".join(f"{i.name}={i.value:g}" for i in inputs if i.value is not None)
            return self.missing(quantity, species, f"the slope over {shown} is not a number a result can have",
                                None, status="invalid input", fit=fit)
        value = fit.slope / divisor * factor
        if registry.quantity(quantity).positive and not fit.slope > 0.0:
            return self.missing(quantity, species, f"{os.path.basename(fit.source)} {fit.column}: the fitted slope "
                                f"is {fit.slope:.4g}, but this curve can only grow", None, status="not positive",
                                fit=fit, scale=scale)
        if not math.isfinite(value) or (value == 0.0 and fit.slope != 0.0):
            shown = ", ".join(f"{i.name}={i.value:g}" for i in inputs if i.value is not None)
            return self.missing(quantity, species, f"the slope over {shown} is not a number a result can have",
                                None, status="invalid input", fit=fit, scale=scale)
        return self.value(quantity, species, value, fit=fit, scale=scale, sources=self.sources(*inputs))

    def value(self, quantity: str, species: str, value: float, *, fit: Fit | None = None,
              scale: float | None = None, sources: tuple[Source, ...] = ()) -> Estimate:
        """An estimate with a value."""
        unit = registry.quantity(quantity).unit_in(self.units.reduced)
        return Estimate(quantity, species, value, unit, "ok", "", fit, scale, None, self._shared(sources))

    def _shared(self, sources: tuple[Source, ...]) -> tuple[Source, ...]:
        """The sources as the objects of this replica's earlier estimates that had equal ones.

        A result then holds each input once however many estimates name it, and is
        pickled, sent and read back (a Dask sweep's client reads thousands) with a
        third of the objects.
        """
        if not sources:
            return ()
        kept = self._source_objects
        shared = tuple(kept.setdefault((s.name, s.origin, type(s.value), s.value,
                                        math.copysign(1.0, s.value) if isinstance(s.value, float) else 0.0), s)
                       for s in sources)
        return self._source_tuples.setdefault(shared, shared)

    def missing(self, quantity: str, species: str, why: str, needs: Needs | None, *, status: str = "missing",
                fit: Fit | None = None, scale: float | None = None) -> Estimate:
        """An estimate without a value, with its status and the reason."""
        unit = registry.quantity(quantity).unit_in(self.units.reduced)
        return Estimate(quantity, species, None, unit, status, why, fit, scale, needs)


def analyze_replica(
    directory: str | os.PathLike[str],
    settings: AnalysisSettings = AnalysisSettings(),
    progress: Progress | None = None,
) -> ReplicaResult:
    """Transport coefficients of one run directory: every registered quantity, in registry order.

    Fits every curve of the run's transport tables and converts the slopes to SI:
    self-diffusion D_i = slope / N_i (and its finite-size correction), Onsager
    coefficients Λ_ij = slope / N, shear viscosity η = slope / T, thermal
    conductivity κ = slope / T², and, with charges, the electrical conductivity from
    the charge-weighted Onsager curves and its Nernst-Einstein estimate (see
    `quor_pp.quantities`).

    Parameters
    ----------
    directory : str or os.PathLike
        The run directory (diffself.dat, diffonsag.dat, viscosity.dat,
        thermconductivity.dat, volume.dat, nvt_prod.dat, log.lammps; any may be absent).
    settings : AnalysisSettings
        Window search, units, overrides.
    progress : callable, optional
        Called with a short message after each file read and each fit.

    Returns
    -------
    ReplicaResult
        Every estimate with its status, and every fit.

    Raises
    ------
    FormatError
        A file does not have its expected layout.
    OSError
        A file cannot be read; NotADirectoryError or FileNotFoundError for `directory`.
    MissingInputError
        The unit style is unknown (a ValueError).
    ValueError
        A charge names a species the run does not have.
    """
    path = fspath(directory)
    if not os.path.isdir(path):
        code = errno.ENOTDIR if os.path.exists(path) else errno.ENOENT
        raise OSError(code, os.strerror(code), path)
    run = Run(path, settings, progress)
    only = set(settings.only_quantities)
    estimates = [estimate for quantity in registry.quantities() if not only or quantity.name in only
                 for estimate in run.estimates(quantity.name)]
    return ReplicaResult(path, run.units.name, tuple(estimates), tuple(run.fits), tuple(run.structure),
                         tuple(run.checks), run.fitted_quantities())
