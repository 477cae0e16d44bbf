"""What an analysis is told besides its run directories: plain, validated, picklable settings."""

from __future__ import annotations

import dataclasses
import math
import numbers
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

from .fitting import WindowSettings
from ..core.units import unit_system

__all__ = ["LOWEST_KELVIN", "REPLICA_WINDOWS", "AnalysisSettings", "RunFiles", "check_kelvin"]

#: How the replicas of a curve share a window (see `AnalysisSettings.replica_windows`).
REPLICA_WINDOWS = ("median", "own", "intersection")


def _declared(role: str) -> Callable[[], tuple[str, ...]]:
    """The file names of a fitted quantity's table, as its record in the registry declares them."""
    def names() -> tuple[str, ...]:
        from . import quantities

        return next(q.curves.names for q in quantities.quantities() if q.curves is not None and q.curves.file == role)

    return names


@dataclass(frozen=True)
class RunFiles:
    """Names of the files in a run directory; the first existing name of each tuple is used.

    Each name is also found compressed, with ".gz" after it. The tables of the fitted
    quantities take their names from the quantities' records (`quor_pp.quantities`).
    """

    diffself: tuple[str, ...] = field(default_factory=_declared("diffself"))
    diffonsag: tuple[str, ...] = ("diffonsag.dat",)  # read as one matrix (quantities._onsager), not a record's curves
    viscosity: tuple[str, ...] = field(default_factory=_declared("viscosity"))
    thermal_conductivity: tuple[str, ...] = field(default_factory=_declared("thermal_conductivity"))
    volume: tuple[str, ...] = ("volume.dat",)
    thermo: tuple[str, ...] = ("nvt_prod.dat",)
    log: tuple[str, ...] = ("log.lammps",)
    rdf: tuple[str, ...] = ("rdf.dat",)
    density: tuple[str, ...] = ("density.dat",)
    angle: tuple[str, ...] = ("npt_prod_angle.dat",)

    def curve_files(self) -> tuple[str, ...]:
        """The names of the transport tables: a directory holding one of them is a run."""
        return (*self.diffself, *self.diffonsag, *self.viscosity, *self.thermal_conductivity)


def _positive(name: str, value: Any) -> float | None:
    """`value` as a positive finite float, None for None; TypeError or ValueError naming `name`."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be a positive finite number, not {value!r}")
    return number


#: Below this a temperature in kelvin is taken for one in degrees Celsius (the coldest
#: brine the property models know is warmer than this).
LOWEST_KELVIN = 173.15


def check_kelvin(temperature: float, units: str | None, what: str = "temperature") -> None:
    """Refuse a temperature that looks like degrees Celsius (outside reduced units).

    Raises
    ------
    ValueError
        Naming the value in kelvin that was likely meant.
    """
    if units != "lj" and temperature < LOWEST_KELVIN:
        raise ValueError(f"{what} {temperature:g} K is below {LOWEST_KELVIN:g} K: temperatures are in kelvin "
                         f"(for {temperature:g} °C give {temperature + 273.15:g}; in reduced units, give units='lj')")


def _mapping(name: str, value: Any, check: Any) -> Mapping[str, Any]:
    """A read-only copy of a mapping of species to checked values."""
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a mapping of species to values, not {type(value).__name__}")
    checked = {}
    for species, item in value.items():
        if not isinstance(species, str):
            raise TypeError(f"{name} keys must be species names (str), not {type(species).__name__}")
        checked[species] = check(f"{name}[{species!r}]", item)
    return MappingProxyType(checked)


def _count(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if int(value) <= 0:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return int(value)


def _charge(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number) or number == 0.0:
        raise ValueError(f"{name} must be a finite, non-zero charge in units of e, not {value!r}")
    return number


def _positive_mass(name: str, value: Any) -> float:
    mass = _positive(name, value)
    assert mass is not None
    return mass


def _window(name: str, value: Any) -> tuple[float, float]:
    if not (isinstance(value, tuple | list) and len(value) == 2):
        raise TypeError(f"{name} must be a (start, end) pair of times, not {value!r}")
    start, end = (_time(name, v) for v in value)
    if not start < end:
        raise ValueError(f"{name} must start before it ends, not {value!r}")
    return (start, end)


def _optional_window(name: str, value: Any) -> tuple[float, float] | None:
    return None if value is None else _window(name, value)


def _time(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(float(value)):
        raise TypeError(f"{name} times must be finite numbers, not {value!r}")
    if float(value) < 0.0:
        raise ValueError(f"{name} times must not be negative, not {value!r}")
    return float(value)


def _known_windows(windows: Mapping[str, Any]) -> None:
    """Refuse a window given for a quantity that does not exist (a misspelt name would be ignored)."""
    from . import quantities  # the registry, read without NumPy

    known = [quantity.name for quantity in quantities.quantities()]
    unknown = [name for name in windows if name and name not in known]
    if unknown:
        raise ValueError(f"windows: no quantity {', '.join(map(repr, unknown))} (known: {', '.join(known)})")


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
        of each run's thermodynamic table, or of the log's thermo output.
    volume : float or None
        Box volume in the run's length unit cubed (Å³ for "real" and "metal"); by
        default the mean of each run's volume.dat, or of the log's thermo output.
    viscosity : float or None
        Shear viscosity in Pa·s (reduced for "lj") for the finite-size correction of
        D; by default each run's own viscosity.
    molecules : mapping of str to int
        Number of molecules of each species; by default counted in the LAMMPS data
        file that the log reads, or taken from the log's group of the species' name
        when `atoms_per_molecule` says how many atoms a molecule has.
    atoms_per_molecule : mapping of str to int
        Atoms in one molecule of a species: its group's atom count divided by this
        is its molecule count.
    charges : mapping of str to float
        Charge of each ion in units of e (finite, non-zero); with charges, the
        electrical conductivity and its Nernst-Einstein estimate are computed.
        Species not given are neutral.
    windows : mapping of str to (float, float)
        Fit windows given by hand, in the run's time unit: by quantity name, or
        under "" for every quantity without one of its own.
    common_window : bool
        Fit every replica of a curve over one window: the intersection of the
        windows the search accepted in each (`replica_windows` "intersection").
    replica_windows : str
        How the replicas of a curve share a window. "median" (the default): every
        replica is fitted again over one window, from the median start to the median
        end of the windows the search accepted in the replicas, leaving out replicas
        whose own value disagrees with the others far beyond their scatter; "own":
        each replica keeps the window its own search chose; "intersection": the
        span all accepted windows share (as `common_window`). See
        `quor_pp.analysis.window_consensus`.
    masses : mapping of str to float
        Molar mass of a molecule of each species in g/mol, for the momentum balance
        of the Onsager matrix; by default summed from the `Masses` section of the
        data file the log reads.
    momentum_tolerance : float
        Largest relative momentum-balance residual |Σ_j M_j Λ_ij| / Σ_j M_j |Λ_ij|
        of a replica's Onsager matrix before its coefficients are refused.
    curve_windows : mapping of str to (float, float) or None
        Windows for single curves, by "quantity:species" ("self_diffusion:Na"),
        before `windows`; None: the curve has no common window. `analyze` fills it
        with the replicas' shared windows.
    strict_windows : tuple of str
        The curves of `curve_windows` whose window is refused (status "rejected")
        where the curve's log-log slope over it is that of the short-time regime
        (see `quor_pp.analysis.window_search.refuse_if_not_diffusive`):
        `analyze` names those whose own search found no window in this replica.
    only_quantities : tuple of str
        Make only these quantities (and what they need); all when empty. The second
        pass of `analyze` makes only those that came from a fit.
    state_temperature, state_units : float or str, optional
        The temperature (K) and unit style of a sweep's state point (its state.toml
        or directory name): used when a run's own files give none.
    files : RunFiles
        File names in a run directory.
    salt : str or None
        The run's salt, a key of Laliberte's table ("KOH", "NaCl"): with `molality`,
        the experimental density, viscosity and conductivity are set beside the run's.
    molality : float or None
        The salt's molality, mol per kg of water (not negative).
    hopping_ion : str or None
        The species that moves also by proton hopping (OH, H3O): the conductivity
        that the run lacks against experiment gives its hop time and hop diffusion.
    hop_distance : float or None
        The distance of one proton hop in m; by default 2.8e-10 m, the O-O distance of
        a hydrogen bond in liquid water.
    conductivity_model : str or None
        A JSON file of segmented molar-conductivity coefficients for a salt other than
        KOH (see `quor_pp.experiment.read_conductivity_model`).
    species_order : tuple of str
        The run's order of species, decided once across its replicas (`analyze` and
        `sweep` fill it from the first replica): pairs are labelled ("wat-met") and
        matrices built in this order in every replica, whatever the order of each
        replica's columns. Empty: each replica's own column order.
    trust_charges : bool
        Keep the given charges even where the data file gives a molecule another net
        charge, or they are not electroneutral (by default such charges are refused).

    Raises
    ------
    TypeError
        A setting of the wrong type (the message names it).
    ValueError
        A setting out of its range: a temperature, volume or viscosity that is not
        positive and finite, a molecule count below 1, a zero or non-finite charge.
    """

    window: WindowSettings = field(default_factory=WindowSettings)
    units: str | None = None
    temperature: float | None = None
    volume: float | None = None
    viscosity: float | None = None
    molecules: Mapping[str, int] = field(default_factory=dict)
    atoms_per_molecule: Mapping[str, int] = field(default_factory=dict)
    charges: Mapping[str, float] = field(default_factory=dict)
    windows: Mapping[str, tuple[float, float]] = field(default_factory=dict)
    common_window: bool = False
    replica_windows: str = "median"
    masses: Mapping[str, float] = field(default_factory=dict)
    momentum_tolerance: float = 0.02
    curve_windows: Mapping[str, tuple[float, float] | None] = field(default_factory=dict)
    strict_windows: tuple[str, ...] = ()
    only_quantities: tuple[str, ...] = ()
    state_temperature: float | None = None
    state_units: str | None = None
    files: RunFiles = field(default_factory=RunFiles)
    salt: str | None = None
    molality: float | None = None
    hopping_ion: str | None = None
    hop_distance: float | None = None
    conductivity_model: str | None = None
    species_order: tuple[str, ...] = ()
    trust_charges: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.window, WindowSettings):
            raise TypeError(f"window must be a WindowSettings, not {type(self.window).__name__}")
        if not isinstance(self.files, RunFiles):
            raise TypeError(f"files must be a RunFiles, not {type(self.files).__name__}")
        for name in ("units", "state_units"):
            value = getattr(self, name)
            if value is not None:
                if not isinstance(value, str):
                    raise TypeError(f"{name} must be a str, not {type(value).__name__}")
                unit_system(value)
        for name in ("common_window", "trust_charges"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} must be a bool, not {type(getattr(self, name)).__name__}")
        if not (isinstance(self.strict_windows, tuple | list)
                and all(isinstance(key, str) for key in self.strict_windows)):
            raise TypeError(f"strict_windows must be a tuple of curve keys, not {self.strict_windows!r}")
        object.__setattr__(self, "strict_windows", tuple(self.strict_windows))
        if not (isinstance(self.only_quantities, tuple | list)
                and all(isinstance(name, str) for name in self.only_quantities)):
            raise TypeError(f"only_quantities must be a tuple of quantity names, not {self.only_quantities!r}")
        object.__setattr__(self, "only_quantities", tuple(self.only_quantities))
        if self.replica_windows not in REPLICA_WINDOWS:
            raise ValueError(f"replica_windows must be one of {', '.join(REPLICA_WINDOWS)}, "
                             f"not {self.replica_windows!r}")
        object.__setattr__(self, "momentum_tolerance", _positive("momentum_tolerance", self.momentum_tolerance))
        for name in ("temperature", "volume", "viscosity", "state_temperature"):
            object.__setattr__(self, name, _positive(name, getattr(self, name)))
        for name in ("temperature", "state_temperature"):
            value = getattr(self, name)
            if value is not None:
                check_kelvin(value, self.units or self.state_units, name)
        for name in ("salt", "hopping_ion", "conductivity_model"):
            value = getattr(self, name)
            if value is not None and (not isinstance(value, str) or not value):
                raise TypeError(f"{name} must be a non-empty str, not {value!r}")
        if isinstance(self.species_order, str) or not all(isinstance(s, str) for s in self.species_order):
            raise TypeError(f"species_order must be a sequence of species names, not {self.species_order!r}")
        object.__setattr__(self, "species_order", tuple(self.species_order))
        object.__setattr__(self, "hop_distance", _positive("hop_distance", self.hop_distance))
        if self.molality is not None:
            if isinstance(self.molality, bool) or not isinstance(self.molality, numbers.Real):
                raise TypeError(f"molality must be a number, not {type(self.molality).__name__}")
            if not (math.isfinite(float(self.molality)) and float(self.molality) >= 0.0):
                raise ValueError(f"molality must be a finite number not below 0, not {self.molality!r}")
            object.__setattr__(self, "molality", float(self.molality))
        for name, check in (("molecules", _count), ("atoms_per_molecule", _count), ("charges", _charge),
                            ("masses", _positive_mass),
                            ("windows", _window), ("curve_windows", _optional_window)):
            object.__setattr__(self, name, _mapping(name, getattr(self, name), check))
        _known_windows(self.windows)


    def __reduce__(self) -> tuple[Any, ...]:
        # Read-only mappings do not pickle: send plain dicts, checked again on arrival.
        values = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}
        return (_rebuild, ({name: dict(value) if isinstance(value, Mapping) else value
                            for name, value in values.items()},))

    def replaced(self, **fields: Any) -> AnalysisSettings:
        """These settings with the fields given a value other than None replaced.

        The keyword arguments of `analyze` and `sweep` come here; mappings are copied,
        so a caller's dict changed later does not change the settings.
        """
        changes = {name: value for name, value in fields.items() if value is not None}
        return dataclasses.replace(self, **changes) if changes else self

    def to_dict(self) -> dict[str, Any]:
        """The settings as plain values, for JSON."""
        values = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}
        values.update(window=dataclasses.asdict(self.window), files=dataclasses.asdict(self.files))
        for name in ("molecules", "atoms_per_molecule", "charges", "masses"):
            values[name] = dict(values[name])
        values["species_order"] = list(self.species_order)
        values["windows"] = {name: list(window) for name, window in self.windows.items()}
        values["curve_windows"] = {name: None if window is None else list(window)
                                   for name, window in self.curve_windows.items()}
        values["strict_windows"] = list(self.strict_windows)
        values["only_quantities"] = list(self.only_quantities)
        return values


def _rebuild(values: dict[str, Any]) -> AnalysisSettings:
    return AnalysisSettings(**values)
