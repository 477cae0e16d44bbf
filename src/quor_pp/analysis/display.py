"""How results are shown to people: symbols of the quantities, units scaled for reading, numbers.

Tables and plots of the `quor-pp` command use these, so that a value reads the
same in both. Files written for programs (JSON, CSV) stay in plain SI units.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final

from . import quantities

__all__ = ["SPREAD_DIGITS", "VALUE_DIGITS", "DisplayUnit", "display_unit", "label", "replica_names", "significant",
           "spread", "symbol", "title"]


@dataclass(frozen=True)
class DisplayUnit:
    """A unit to show values in: value in SI / `scale` is the number shown.

    Attributes
    ----------
    scale : float
        One display unit in SI units (1e-9 for 10⁻⁹ m²/s).
    plain : str
        The unit in ASCII, for plain-text tables ("1e-9 m^2/s").
    fancy : str
        The unit in Unicode, for terminals ("10⁻⁹ m²/s").
    tex : str
        The unit for matplotlib's mathtext ("$10^{-9}$ m$^2$/s").
    """

    scale: float
    plain: str
    fancy: str
    tex: str


# Scaled so that an aqueous electrolyte's values have a few digits before the point.
_DISPLAY_UNITS: Final = {
    "m^2/s": DisplayUnit(1e-9, "1e-9 m^2/s", "10⁻⁹ m²/s", r"$10^{-9}$ m$^2$/s"),
    "Pa s": DisplayUnit(1e-3, "mPa s", "mPa·s", r"mPa$\cdot$s"),
    "W/(m K)": DisplayUnit(1.0, "W/(m K)", "W/(m·K)", r"W/(m$\cdot$K)"),
    "S/m": DisplayUnit(1.0, "S/m", "S/m", "S/m"),
    "K": DisplayUnit(1.0, "K", "K", "K"),
    "m^3": DisplayUnit(1e-27, "nm^3", "nm³", r"nm$^3$"),
    "m^3/mol": DisplayUnit(1e-6, "cm^3/mol", "cm³/mol", r"cm$^3$/mol"),
    "m": DisplayUnit(1e-10, "A", "Å", "Å"),
    "s": DisplayUnit(1e-12, "ps", "ps", "ps"),
    "Pa": DisplayUnit(1e6, "MPa", "MPa", "MPa"),
    "J/mol": DisplayUnit(1e3, "kJ/mol", "kJ/mol", "kJ/mol"),
}

def display_unit(unit: str) -> DisplayUnit:
    """The unit to show values reported in `unit` in; an unknown unit is shown as it is."""
    known = _DISPLAY_UNITS.get(unit)
    return known if known is not None else DisplayUnit(1.0, unit, unit, unit)


#: Significant digits of a value, and of its spread (standard deviation, standard error).
VALUE_DIGITS: Final = 4
SPREAD_DIGITS: Final = 2


def significant(value: float | None, digits: int = VALUE_DIGITS) -> str:
    """`value` with `digits` significant digits, trailing zeros kept ("1.320"); "-" for a missing value."""
    if value is None or not math.isfinite(value):
        return "-"
    if value == 0.0:
        return "0"
    text = f"{value:#.{digits}g}"
    mantissa, exponent = text.split("e") if "e" in text else (text, "")
    mantissa = mantissa.rstrip(".")
    return f"{mantissa}e{exponent}" if exponent else mantissa


def spread(value: float | None) -> str:
    """A standard deviation or error, with `SPREAD_DIGITS` significant digits."""
    return significant(value, SPREAD_DIGITS)


def symbol(quantity: str) -> str:
    """The quantity's symbol ("D"), or its name when it is not registered."""
    known = quantities.registered(quantity)
    return known.symbol if known is not None else quantity


def title(quantity: str) -> str:
    """The quantity's title in words ("shear viscosity"), or its name when it is not registered."""
    known = quantities.registered(quantity)
    return known.title if known is not None else quantity


def label(quantity: str, species: str = "") -> str:
    """Short label of a row: symbol and species ("D Na", "η")."""
    return f"{symbol(quantity)} {species}" if species else symbol(quantity)


def replica_names(paths: Sequence[str]) -> list[str]:
    """Short names of replica directories: their base names, or longer tails where those repeat."""
    parts = [os.path.normpath(os.path.abspath(path)).split(os.sep) for path in paths]
    for depth in range(1, max((len(p) for p in parts), default=1) + 1):
        names = [os.sep.join(p[-depth:]) for p in parts]
        if len(set(names)) == len(names):
            return names
    return [os.path.normpath(path) for path in paths]
