"""Transport coefficients of one run directory, in SI units.

`analyze_replica` is a plain function of a directory and picklable settings that
returns a picklable `ReplicaResult`, so that replicas can be analysed in any order,
in threads, processes or on remote workers, and combined afterwards (see report.py).
"""

from __future__ import annotations

import dataclasses
import errno
import math
import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import _quor_pp

from .errors import FormatError, fspath, native_read
from .files import LAYOUTS, Table, read
from .fitting import Fit, WindowSettings, fit_window
from .logs import RunLog, read_log
from .units import UnitSystem, unit_system

__all__ = [
    "AnalysisSettings",
    "Estimate",
    "ReplicaFailure",
    "ReplicaFailureWarning",
    "ReplicaResult",
    "RunFiles",
    "YEH_HUMMER_XI",
    "analyze_replica",
]

#: Dimensionless constant of the finite-size correction of D for a cubic periodic box
#: (Yeh and Hummer, J. Phys. Chem. B 108, 15873 (2004)).
YEH_HUMMER_XI = 2.837297

Progress = Callable[[str], None]


@dataclass(frozen=True)
class RunFiles:
    """Names of the files in a run directory; the first existing name of each tuple is used."""

    diffself: tuple[str, ...] = ("diffself.dat",)
    diffonsag: tuple[str, ...] = ("diffonsag.dat",)
    viscosity: tuple[str, ...] = ("viscosity.dat",)
    thermal_conductivity: tuple[str, ...] = ("thermconductivity.dat", "tconductivity.dat")
    volume: tuple[str, ...] = ("volume.dat",)
    thermo: tuple[str, ...] = ("nvt_prod.dat",)
    log: tuple[str, ...] = ("log.lammps",)


@dataclass(frozen=True)
class AnalysisSettings:
    """Everything `analyze` needs besides the run directories (plain, picklable values).

    Attributes
    ----------
    window : WindowSettings
        The window search for every curve.
    units : str or None
        LAMMPS unit style of the runs ("real", "metal", "si", "lj"); by default taken
        from the `units` line of each run's log.
    temperature : float or None
        Temperature in K (reduced for "lj"); by default the mean of the `Temp` column
        of each run's thermodynamic table.
    volume : float or None
        Box volume in the run's length unit cubed (Å³ for "real" and "metal"); by
        default the first value of each run's volume.dat.
    viscosity : float or None
        Shear viscosity in Pa·s (reduced for "lj") for the finite-size correction of
        D; by default each run's own viscosity.
    molecules : mapping of str to int
        Number of molecules of each species; a species not given takes the atom
        count of the log's group of the same name.
    charges : mapping of str to float
        Charge of each ion in units of e; with charges, the electrical conductivity
        and its Nernst-Einstein estimate are computed. Species not given are neutral.
    files : RunFiles
        File names in a run directory.
    """

    window: WindowSettings = field(default_factory=WindowSettings)
    units: str | None = None
    temperature: float | None = None
    volume: float | None = None
    viscosity: float | None = None
    molecules: Mapping[str, int] = field(default_factory=dict)
    charges: Mapping[str, float] = field(default_factory=dict)
    files: RunFiles = field(default_factory=RunFiles)

    def __post_init__(self) -> None:
        if self.units is not None:
            unit_system(self.units)
        for name in ("temperature", "volume", "viscosity"):
            value = getattr(self, name)
            if value is not None and not (math.isfinite(value) and value > 0.0):
                raise ValueError(f"{name} must be a positive finite number, not {value}")
        for species, count in self.molecules.items():
            if isinstance(count, bool) or not isinstance(count, int) or count <= 0:
                raise ValueError(f"molecules[{species!r}] must be a positive int, not {count!r}")
        for species, charge in self.charges.items():
            if not math.isfinite(charge):
                raise ValueError(f"charges[{species!r}] must be finite, not {charge}")

    def replaced(self, **fields: Any) -> AnalysisSettings:
        """These settings with the fields given a value other than None replaced.

        The keyword arguments of `analyze` and `sweep` come here; mappings are copied,
        so a caller's dict changed later does not change the settings.
        """
        changes: dict[str, Any] = {name: dict(value) if isinstance(value, Mapping) else value
                   for name, value in fields.items() if value is not None}
        return dataclasses.replace(self, **changes) if changes else self


@dataclass(frozen=True)
class Estimate:
    """One quantity from one run.

    Attributes
    ----------
    quantity : str
        "self_diffusion", "viscosity", ... (see `QUANTITIES` in report.py).
    species : str
        The species or pair ("Na", "Na-Cl"), or "" for a property of the whole box.
    value : float or None
        The value in `unit`; None when it could not be computed.
    unit : str
        "m^2/s", "Pa s", ..., or "reduced" for "lj" runs.
    status : str
        "ok", or why there is no value: a fit's status ("no window", "too few points",
        "degenerate") or "missing" (an input is missing).
    message : str
        The reason in words; empty when status is "ok".
    fit : Fit or None
        The fit the value comes from, if it comes from one.
    scale : float or None
        For a value from a fit: the factor from the fit's slope (curve unit per time
        unit of the run) to `unit`, known also when the fit found no window; None
        when an input it needs (a molecule count, T, V) is missing. The curve times
        `scale` and the run's time unit in seconds has the value as its slope against
        time in seconds, which is how plots draw curves of different runs together.
    """

    quantity: str
    species: str
    value: float | None
    unit: str
    status: str = "ok"
    message: str = ""
    fit: Fit | None = field(default=None, repr=False)
    scale: float | None = field(default=None, repr=False)

    @property
    def success(self) -> bool:
        return self.status == "ok"


@dataclass(frozen=True)
class ReplicaResult:
    """What one run directory gave: its estimates and every fit made on the way.

    Attributes
    ----------
    path : str
        The run directory.
    units : str
        Its LAMMPS unit style.
    estimates : list of Estimate
    fits : list of Fit
    """

    path: str
    units: str
    estimates: list[Estimate]
    fits: list[Fit] = field(repr=False)

    def get(self, quantity: str, species: str = "") -> Estimate | None:
        """The estimate of `quantity` for `species`, or None."""
        return next((e for e in self.estimates if e.quantity == quantity and e.species == species), None)


@dataclass(frozen=True)
class ReplicaFailure:
    """A run directory that could not be analysed, in place of its `ReplicaResult`.

    Attributes
    ----------
    path : str
        The run directory.
    error : str
        The kind of failure: the exception's type name ("FileNotFoundError",
        "FormatError", ...), or "WorkerLost" when the process or worker analysing
        the run died.
    message : str
        What went wrong, naming the file where a file was at fault.
    exception : BaseException or None
        The exception itself, where it could be kept (it travels back from worker
        processes without its traceback).
    """

    path: str
    error: str
    message: str
    exception: BaseException | None = field(default=None, repr=False, compare=False)

    def __str__(self) -> str:
        return self.message if self.message.startswith(self.path) else f"{self.path}: {self.message}"


class ReplicaFailureWarning(UserWarning):
    """A replica could not be analysed; the report holds the others (and the failure in `Report.failures`)."""


def _find(directory: str, names: tuple[str, ...]) -> str | None:
    for name in names:
        path = os.path.join(directory, name)
        if os.path.exists(path):
            return path
    return None


def _species_columns(table: Table, prefix: str) -> dict[str, str]:
    """Species (or pair) name to column, for columns named prefix + name."""
    return {name[len(prefix):]: name for name in table if name.startswith(prefix) and len(name) > len(prefix)}


def _temperature(table: Table) -> float:
    for name in table:
        bare = name.lower().removeprefix("v_").removeprefix("c_")
        if bare in ("temp", "temperature", "thermo_temp"):
            values = table[name]
            if len(values) == 0:
                raise FormatError(table.path, "a thermodynamic table with rows", None, "no rows")
            return float(np.mean(values))
    raise FormatError(table.path, "a thermodynamic table with a Temp column", None,
                      f"its columns are {', '.join(table)}")


def _box_value(path: str) -> float:
    """The first value of a fix ave/time file of one value (volume.dat, density.dat)."""
    table = read(path, kind="ave/time")
    expected = "fix ave/time output of one value (TimeStep and one column)"
    if len(table) != 2 or table.rows == 0:
        raise FormatError(path, expected, None, f"it has columns {', '.join(table)} and {table.rows} rows")
    return native_read(_quor_pp.parse_volume_density, path, LAYOUTS["ave/time"])


def _split_pair(name: str, species: set[str]) -> tuple[str, str] | None:
    """The two species of an Onsager column name "i_j"."""
    splits = [(name[:k], name[k + 1:]) for k, c in enumerate(name) if c == "_"]
    known = [pair for pair in splits if pair[0] in species and pair[1] in species]
    if len(known) == 1:
        return known[0]
    if not species and len(splits) == 1:
        return splits[0]
    return None


class _Replica:
    """The working state of one replica's analysis (never leaves analyze_replica)."""

    def __init__(self, directory: str, settings: AnalysisSettings, progress: Progress | None) -> None:
        self.directory = directory
        self.settings = settings
        self.progress = progress
        self.estimates: list[Estimate] = []
        self.fits: list[Fit] = []
        files = settings.files
        log_path = _find(directory, files.log)
        self.log: RunLog | None = read_log(log_path) if log_path else None
        name = settings.units or (self.log.units if self.log else None)
        if name is None:
            where = f"no 'units' line in {log_path}" if log_path else f"no {files.log[0]} in {directory}"
            raise ValueError(f"{directory}: the unit style is unknown ({where}); pass units='real' or similar")
        self.units: UnitSystem = unit_system(name)
        self.notify(f"{directory}: units {name}")

    def notify(self, what: str) -> None:
        if self.progress is not None:
            self.progress(what)

    def add(self, quantity: str, species: str, value: float | None, status: str = "ok", message: str = "",
            fit: Fit | None = None, scale: float | None = None) -> Estimate:
        estimate = Estimate(quantity, species, value if status == "ok" else None, self.units.unit(quantity),
                            status, message, fit, scale)
        self.estimates.append(estimate)
        return estimate

    def fit(self, table: Table, column: str, curve: np.ndarray | None = None) -> Fit:
        time = table[next(iter(table))]  # the #Time column, whatever its exact name
        result = fit_window(time, table[column] if curve is None else curve, self.settings.window,
                            source=table.path, column=column)
        self.fits.append(result)
        self.notify(f"{table.path}: {column}: {result.status}")
        return result

    def table(self, names: tuple[str, ...]) -> Table | None:
        path = _find(self.directory, names)
        if path is None:
            return None
        table = read(path, kind="transport")
        self.notify(f"{path}: {table.rows} rows")
        return table

    # --- box properties ---------------------------------------------------------------------

    def temperature(self) -> tuple[float | None, str]:
        if self.settings.temperature is not None:
            value = self.settings.temperature
            self.add("temperature", "", value)
            return value, ""
        path = _find(self.directory, self.settings.files.thermo)
        if path is None:
            why = f"no {self.settings.files.thermo[0]} in {self.directory}; pass temperature="
            self.add("temperature", "", None, "missing", why)
            return None, why
        value = _temperature(read(path, kind="thermo"))
        self.add("temperature", "", value)
        return value, ""

    def volume(self) -> tuple[float | None, str]:
        """The volume in m³ (reduced for lj)."""
        if self.settings.volume is not None:
            raw = self.settings.volume
        else:
            path = _find(self.directory, self.settings.files.volume)
            if path is None:
                why = f"no {self.settings.files.volume[0]} in {self.directory}; pass volume="
                self.add("volume", "", None, "missing", why)
                return None, why
            raw = _box_value(path)
            if not (math.isfinite(raw) and raw > 0.0):
                raise FormatError(path, "a positive box volume", 3, f"{raw}")
        value = raw * self.units.volume
        self.add("volume", "", value)
        return value, ""

    def molecules(self, species: str) -> tuple[int | None, str]:
        if species in self.settings.molecules:
            return self.settings.molecules[species], ""
        groups = self.log.groups if self.log else {}
        if species in groups:
            return groups[species], ""
        where = f"no group {species!r} in {self.log.path}" if self.log else f"no log in {self.directory}"
        return None, f"no molecule count for {species!r} ({where}); pass molecules={{{species!r}: N}}"


def _failed_fit(fit: Fit) -> tuple[str, str]:
    return fit.status, f"{os.path.basename(fit.source)} {fit.column}: {fit.message}"


def analyze_replica(
    directory: str | os.PathLike[str],
    settings: AnalysisSettings = AnalysisSettings(),
    progress: Progress | None = None,
) -> ReplicaResult:
    """Transport coefficients of one run directory.

    Fits every curve of the run's transport tables and converts the slopes to SI:
    self-diffusion D_i = slope / N_i (and its finite-size correction), Onsager
    coefficients Λ_ij = slope / N, shear viscosity η = slope / T, thermal
    conductivity κ = slope / T², and, with charges, the electrical conductivity from
    the charge-weighted Onsager curves and its Nernst-Einstein estimate.

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
    ValueError
        The unit style is unknown, or a charge names a species the run does not have.
    """
    path = fspath(directory)
    if not os.path.isdir(path):
        code = errno.ENOTDIR if os.path.exists(path) else errno.ENOENT
        raise OSError(code, os.strerror(code), path)
    run = _Replica(path, settings, progress)
    units = run.units
    temperature, no_temperature = run.temperature()
    volume, no_volume = run.volume()
    kb = units.boltzmann

    # Self-diffusion: the file holds the sum over the N_i molecules, already divided by 6.
    self_slopes: dict[str, float] = {}
    counts: dict[str, int | None] = {}
    diffusion: dict[str, float] = {}
    diffself = run.table(settings.files.diffself)
    species_names = list(_species_columns(diffself, "MSD__")) if diffself else []
    for species in species_names:
        assert diffself is not None
        fit = run.fit(diffself, "MSD__" + species)
        count, why = run.molecules(species)
        counts[species] = count
        scale = None if count is None else units.diffusion / count
        if not fit.success:
            run.add("self_diffusion", species, None, *_failed_fit(fit), fit=fit, scale=scale)
        elif count is None:
            assert fit.slope is not None
            self_slopes[species] = fit.slope
            run.add("self_diffusion", species, None, "missing", why, fit=fit)
        else:
            assert fit.slope is not None
            self_slopes[species] = fit.slope
            diffusion[species] = fit.slope / count * units.diffusion
            run.add("self_diffusion", species, diffusion[species], fit=fit, scale=scale)

    # Onsager coefficients: slope / N with N every molecule of the box.
    known = set(species_names) | set(settings.molecules)
    diffonsag = run.table(settings.files.diffonsag)
    pairs: dict[tuple[str, str], str] = {}
    if diffonsag is not None:
        for name, column in _species_columns(diffonsag, "MSD__").items():
            pair = _split_pair(name, known)
            if pair is not None:
                pairs[pair] = column
        missing_counts = [s for s, c in counts.items() if c is None]
        total = sum(c for c in counts.values() if c is not None) if counts and not missing_counts else None
        for (first, second), column in pairs.items():
            fit = run.fit(diffonsag, column)
            label = f"{first}-{second}"
            scale = None if total is None else units.diffusion / total
            if not fit.success:
                run.add("onsager", label, None, *_failed_fit(fit), fit=fit, scale=scale)
            elif total is None:
                why = (f"no molecule count for {', '.join(map(repr, missing_counts))}" if missing_counts
                       else f"no {settings.files.diffself[0]} to count the molecules")
                run.add("onsager", label, None, "missing", why, fit=fit)
            else:
                assert fit.slope is not None
                run.add("onsager", label, fit.slope / total * units.diffusion, fit=fit, scale=scale)
    present = set(species_names) | {s for pair in pairs for s in pair}
    unknown_charges = sorted(set(settings.charges) - present)
    if unknown_charges and present:
        raise ValueError(f"{path}: charges given for {', '.join(map(repr, unknown_charges))}, "
                         f"which the run does not have (species: {', '.join(species_names)})")

    # Shear viscosity and thermal conductivity from the MSD_all columns.
    viscosity: float | None = None
    for quantity, names, power, factor in (
        ("viscosity", settings.files.viscosity, 1, units.viscosity),
        ("thermal_conductivity", settings.files.thermal_conductivity, 2, units.thermal_conductivity),
    ):
        table = run.table(names)
        if table is None:
            continue
        if "MSD_all" not in table:
            raise FormatError(table.path, "a transport table with an MSD_all column", None,
                              f"its columns are {', '.join(table)}")
        fit = run.fit(table, "MSD_all")
        scale = None if temperature is None else factor / temperature**power
        if not fit.success:
            run.add(quantity, "", None, *_failed_fit(fit), fit=fit, scale=scale)
        elif temperature is None:
            run.add(quantity, "", None, "missing", no_temperature, fit=fit)
        else:
            assert fit.slope is not None
            value = fit.slope / temperature**power * factor
            run.add(quantity, "", value, fit=fit, scale=scale)
            if quantity == "viscosity":
                viscosity = value

    # Finite-size correction: D_inf = D + xi k_B T / (6 pi eta L).
    eta = settings.viscosity if settings.viscosity is not None else viscosity
    for species in species_names:
        estimate = next(e for e in run.estimates if e.quantity == "self_diffusion" and e.species == species)
        if not estimate.success:
            run.add("self_diffusion_infinite", species, None, estimate.status, estimate.message)
        elif temperature is None or volume is None or eta is None:
            why = no_temperature or no_volume or (
                f"no shear viscosity (no {settings.files.viscosity[0]} fit); pass viscosity=")
            run.add("self_diffusion_infinite", species, None, "missing", why)
        else:
            length = volume ** (1.0 / 3.0)
            correction = YEH_HUMMER_XI * kb * temperature / (6.0 * math.pi * eta * length)
            run.add("self_diffusion_infinite", species, diffusion[species] + correction)

    if settings.charges and species_names:
        _conductivity(run, diffonsag, pairs, self_slopes, temperature, no_temperature, volume, no_volume)
    return ReplicaResult(path, units.name, run.estimates, run.fits)


def _conductivity(run: _Replica, diffonsag: Table | None, pairs: dict[tuple[str, str], str],
                  self_slopes: dict[str, float], temperature: float | None, no_temperature: str,
                  volume: float | None, no_volume: str) -> None:
    """Electrical conductivity σ and its Nernst-Einstein estimate, in S/m."""
    units = run.units
    charges = {s: float(q) for s, q in run.settings.charges.items() if q != 0.0}
    box = None if temperature is None or volume is None else (
        units.elementary_charge**2 / (volume * units.boltzmann * temperature))
    missing = no_temperature or no_volume

    # σ = e²/(V k_B T) Σ_i Σ_j q_i q_j s_ij over ordered pairs. The window is fitted on
    # the charge-weighted sum of the Onsager curves: for one window the slope of the sum
    # is the sum of the slopes, and the sum is diffusive even when a cross curve alone
    # (near zero for uncorrelated ions) has no diffusive window.
    if diffonsag is not None:
        terms = []
        for (first, second), column in pairs.items():
            if first in charges and second in charges:
                weight = charges[first] * charges[second] * (1.0 if first == second else 2.0)
                terms.append((weight, column))
        absent = [s for s in charges if (s, s) not in pairs]
        if absent:
            run.add("conductivity", "", None, "missing",
                    f"no Onsager column for {', '.join(f'{s}_{s}' for s in absent)} in {diffonsag.path}")
        else:
            curve = np.zeros(diffonsag.rows)
            for weight, column in terms:
                curve = curve + weight * diffonsag[column]
            label = " + ".join(f"{w:g}*{c}" for w, c in terms)
            fit = run.fit(diffonsag, label, curve)
            scale = None if box is None else box * units.diffusion
            if not fit.success:
                run.add("conductivity", "", None, *_failed_fit(fit), fit=fit, scale=scale)
            elif box is None:
                run.add("conductivity", "", None, "missing", missing, fit=fit)
            else:
                assert fit.slope is not None
                run.add("conductivity", "", box * fit.slope * units.diffusion, fit=fit, scale=scale)

    # Nernst-Einstein: e²/(V k_B T) Σ_i q_i² N_i D_i, where N_i D_i is the self slope.
    lacking = [s for s in charges if s not in self_slopes]
    if lacking:
        run.add("conductivity_nernst_einstein", "", None, "missing",
                f"no self-diffusion fit for {', '.join(map(repr, lacking))}")
    elif box is None:
        run.add("conductivity_nernst_einstein", "", None, "missing", missing)
    else:
        total = 0.0
        for species, charge in charges.items():
            total += charge * charge * self_slopes[species]
        run.add("conductivity_nernst_einstein", "", box * total * units.diffusion)
