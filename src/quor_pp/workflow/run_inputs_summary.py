"""The inputs of a report's normalisations, one entry each, in the units of its table.

The molecule counts, temperature, volume and viscosity that the rows were made from
come with every estimate that used them (`Estimate.sources`, in SI units). A report
shows each once: its value, or its range over the replicas, in the unit the table
shows such values in (nm³, mPa·s), and the files it was read from.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

from ..analysis.display import display_unit, significant
from ..core.units import unit_system

if TYPE_CHECKING:
    from ..analysis.results import ReplicaResult

__all__ = ["RunInput", "run_inputs"]

# The inputs shown, and the SI unit each source is in ("" for a count).
_SHOWN: Final = re.compile(r"N|N_\S+|T|V|eta")
_SI_UNITS: Final = {"T": "K", "V": "m^3", "eta": "Pa s"}
_SYMBOLS: Final = {"eta": "η"}


@dataclass(frozen=True)
class RunInput:
    """One input of the normalisations over the replicas of a report.

    Attributes
    ----------
    name : str
        As the estimates name it: "N_wat", "T", "V", "eta".
    low, high : float
        Its smallest and largest value over the replicas, in SI units (K, m³, Pa·s).
    unit : str
        The unit the table shows it in ("nm³", "mPa·s", "K"; "" for a count, or for
        reduced units).
    scale : float
        One `unit` in SI units.
    origins : tuple of str
        Where it was read ("volume.dat", "nvt_prod.dat", "fit", "option").
    """

    name: str
    low: float
    high: float
    unit: str
    scale: float
    origins: tuple[str, ...]

    def describe(self) -> str:
        """"V = 33.00 nm³ (volume.dat)", "T = 298.1–298.3 K (nvt_prod.dat)"."""
        low, high = significant(self.low / self.scale), significant(self.high / self.scale)
        if self.name.startswith("N"):
            low, high = f"{self.low:g}", f"{self.high:g}"
        shown = low if low == high else f"{low}–{high}"
        unit = f" {self.unit}" if self.unit else ""
        return f"{_SYMBOLS.get(self.name, self.name)} = {shown}{unit} ({', '.join(self.origins)})"


def run_inputs(replicas: Sequence[ReplicaResult]) -> list[RunInput]:
    """Each input of the replicas' estimates once, in the order first met (counts, T, V, η)."""
    found: dict[str, tuple[list[float], dict[str, None]]] = {}
    for result in replicas:
        for estimate in result.estimates:
            for source in estimate.sources:
                if _SHOWN.fullmatch(source.name):
                    values, origins = found.setdefault(source.name, ([], {}))
                    values.append(source.value)
                    origins[source.origin] = None
    reduced = any(unit_system(result.units).reduced for result in replicas)
    entries = []
    for name, (values, origins) in found.items():
        si = _SI_UNITS.get(name, "")
        unit = display_unit(si) if si and not reduced else None
        entries.append(RunInput(name, min(values), max(values), unit.fancy if unit is not None else "",
                                unit.scale if unit is not None else 1.0, tuple(origins)))
    return entries
