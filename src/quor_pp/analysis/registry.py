"""The registry of quantities: the record types (`Quantity`, `Curves`, `Normalisation`) and the table itself.

The records are registered by `quantities` (the transport coefficients) and
`quantity_records` (structure, mixtures, experiment, thermodynamics); this module
holds only the types and the table, so that the modules that compute a quantity can
name its record types without importing the records.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final, Literal

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["Curves", "Normalisation", "Quantity", "YEH_HUMMER_XI", "quantities", "quantity", "register",
           "registered", "unregister"]

#: Dimensionless constant of the finite-size correction of D for a cubic periodic box
#: (Yeh and Hummer, J. Phys. Chem. B 108, 15873 (2004)).
YEH_HUMMER_XI: Final = 2.837297


@dataclass(frozen=True)
class Curves:
    """Where the curves of a fitted quantity are.

    Attributes
    ----------
    file : str
        The file's role, a field of `RunFiles` ("diffself", "viscosity", ...).
    column : str
        The column's name ("MSD_all"), or for `per` "species" and "pair" the prefix
        of the columns, followed by a species ("MSD__Na") or a pair ("MSD__Na_Cl").
    per : {"box", "species", "pair"}
        One curve for the box, one per species, or one per unordered pair of species.
    names : tuple of str
        For a quantity's own table, the names the run writes it under (each also found
        with ".gz"): the defaults of that role in `RunFiles`, so that a quantity's file,
        columns, normalisation and unit are declared in its record alone.
    """

    file: str
    column: str
    per: Literal["box", "species", "pair"] = "box"
    names: tuple[str, ...] = ()


@dataclass(frozen=True)
class Normalisation:
    """How the slope of a fitted curve becomes the value: slope / (d₁ · d₂ · …) × factor.

    Attributes
    ----------
    factor : str
        The `UnitSystem` factor that takes the slope's unit to SI ("diffusion",
        "viscosity", "thermal_conductivity").
    divide_by : tuple of str
        The inputs the slope is divided by, in this order: "N_i" (molecules of the
        curve's species), "N" (molecules of the box), "T" (temperature), "T^2",
        "V k_B T / e^2" (box volume times thermal energy over the charge unit squared).
    """

    factor: str
    divide_by: tuple[str, ...] = ()


@dataclass(frozen=True)
class Quantity:
    """One quantity of a report.

    Attributes
    ----------
    name : str
        Its name in tables and JSON ("self_diffusion").
    symbol : str
        Short symbol for tables and plots ("D").
    title : str
        What it is, in words ("self-diffusion coefficient").
    unit : str
        Its SI unit as written in files ("m^2/s"); runs in reduced units report
        "reduced" unless `reduced` is False.
    curves, normalisation : Curves and Normalisation, optional
        For a quantity fitted on curves: where they are and how a slope becomes the value.
    derive : callable, optional
        For any other quantity: the function of the run that gives its estimates.
    curve_label : (str, str), optional
        For a fitted quantity, the y axis of its figure: what the scaled curve is
        (mathtext) and its unit; the figure is drawn for every quantity with fits.
    in_sweep_table : bool
        Shown in the printed table of a sweep (every quantity is in its files).
    positive : bool
        Physically positive (a coefficient of a mean-squared displacement): a fit with
        a slope that is not positive gives a status, never a value.
    reduced : bool
        Reported as "reduced" in Lennard-Jones units.
    reference : str
        The formula's source, for documentation.
    pooled : callable, optional
        For a value that is a non-linear function of its inputs: that function of the
        species and the estimate's sources by name. A report applies it to the
        sources' means over the replicas, with a jackknife error.
    formula : str
        How the value is made, in LaTeX (for the documentation's page of the quantity).
    inputs : tuple of str
        What it is made from: other quantities of the registry by name, files of the
        run ("rdf.dat") and inputs (T, V, N_i, charges, options).
    statuses : tuple of (str, str)
        Every status its estimates can have other than "ok", with the reason for each
        (see `quor_pp.analysis.statuses`).
    passes_on : tuple of str
        The quantities among `inputs` whose status an estimate takes over unchanged
        when that input has no value.
    """

    name: str
    symbol: str
    title: str
    unit: str
    curves: Curves | None = None
    normalisation: Normalisation | None = None
    derive: Callable[[Run], Iterable[Estimate]] | None = None
    curve_label: tuple[str, str] | None = None
    in_sweep_table: bool = False
    reduced: bool = True
    positive: bool = False
    reference: str = ""
    pooled: Callable[[str, Mapping[str, float]], float] | None = None
    formula: str = ""
    inputs: tuple[str, ...] = ()
    statuses: tuple[tuple[str, str], ...] = ()
    passes_on: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if (self.curves is None) != (self.normalisation is None) or (self.curves is None) == (self.derive is None):
            raise ValueError(f"{self.name}: a quantity has curves and a normalisation, or a derive function")

    def unit_in(self, reduced_units: bool) -> str:
        """The unit of its values in a run whose units are reduced or not."""
        return "reduced" if reduced_units and self.reduced else self.unit


_REGISTRY: dict[str, Quantity] = {}


def register(new: Quantity, *, before: str | None = None) -> None:
    """Add a quantity to the registry, at the end or before the quantity named `before`.

    Raises
    ------
    ValueError
        A quantity of that name is registered already, or `before` is not.
    """
    if new.name in _REGISTRY:
        raise ValueError(f"a quantity named {new.name!r} is registered already")
    if before is None:
        _REGISTRY[new.name] = new
        return
    if before not in _REGISTRY:
        raise ValueError(f"no quantity named {before!r} to insert {new.name!r} before")
    items = list(_REGISTRY.items())
    position = next(k for k, (name, _) in enumerate(items) if name == before)
    items.insert(position, (new.name, new))
    _REGISTRY.clear()
    _REGISTRY.update(items)


def unregister(name: str) -> None:
    """Remove the quantity called `name` (KeyError when there is none)."""
    del _REGISTRY[name]


def quantities() -> Sequence[Quantity]:
    """Every registered quantity, in the order of a report's table."""
    return tuple(_REGISTRY.values())


def registered(name: str) -> Quantity | None:
    """The quantity called `name`, or None."""
    return _REGISTRY.get(name)


def quantity(name: str) -> Quantity:
    """The quantity called `name`; KeyError naming the known ones when there is none."""
    try:
        return _REGISTRY[name]
    except KeyError:
        raise KeyError(f"no quantity {name!r} (known: {', '.join(_REGISTRY)})") from None
