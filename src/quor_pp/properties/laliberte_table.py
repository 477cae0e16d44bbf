"""Laliberte's 2009 table as the `chemicals` package ships it: finding it, reading it, and looking a salt up.

`salt(name)` is the way in: a name, formula or CAS number gives the `Salt` whose
methods evaluate its solutions. Nothing here retypes a coefficient.
"""

from __future__ import annotations

import csv
import difflib
import functools
import importlib.util
import math
import re
import unicodedata
from decimal import Decimal
from pathlib import Path

from .salts import Salt
from .solution import _COLUMNS, INSTALL_HINT, DensityFit, UnknownSaltError, ViscosityFit

__all__ = ["laliberte_table", "salt", "table_path"]


def table_path() -> Path:
    """Where the installed `chemicals` package keeps Laliberte's table.

    The package is located without being imported (importing it loads pandas and SciPy).

    Raises
    ------
    ModuleNotFoundError
        `chemicals` is not installed.
    FileNotFoundError
        The installed `chemicals` has no such table.
    """
    found = importlib.util.find_spec("chemicals")
    locations = list(found.submodule_search_locations or []) if found is not None else []
    if not locations:
        raise ModuleNotFoundError(
            f"the salt table comes from the 'chemicals' package, which is not installed: {INSTALL_HINT}",
            name="chemicals")
    for location in locations:
        path = Path(location) / "Electrolytes" / "Laliberte2009.tsv"
        if path.is_file():
            return path
    raise FileNotFoundError(f"the installed chemicals package ({locations[0]}) "
                            "has no Electrolytes/Laliberte2009.tsv")


def laliberte_table(path: str | Path | None = None) -> tuple[Salt, ...]:
    """All salts of Laliberte's 2009 table, in the table's order.

    Parameters
    ----------
    path : str or path-like, optional
        A table in the same tab-separated layout; by default the one the
        installed `chemicals` package ships.

    Returns
    -------
    tuple of Salt
        One entry per row that has density parameters.

    Raises
    ------
    ModuleNotFoundError
        `chemicals` is not installed (and no `path` was given).
    ValueError
        The file does not have the table's layout.
    """
    return _read_table(Path(path) if path is not None else table_path())


@functools.cache
def _read_table(path: Path) -> tuple[Salt, ...]:
    with path.open(newline="", encoding="utf-8") as stream:
        rows = list(csv.reader(stream, delimiter="\t"))
    if not rows:
        raise ValueError(f"{path}: empty file, expected Laliberte's table")
    header = [name.strip() for name in rows[0]]
    for position, name in _COLUMNS.items():
        if position >= len(header) or header[position] != name:
            found = header[position] if position < len(header) else "nothing"
            raise ValueError(f"{path}: column {position + 1} of the header is {found!r}, expected {name!r}")
    salts = []
    for number, row in enumerate(rows[1:], start=2):
        cells = [cell.strip() for cell in row] + [""] * max(0, len(_COLUMNS) - len(row))
        if not any(cells):
            continue
        try:
            density = _fit(DensityFit, cells, 4, ("c0", "c1", "c2", "c3", "c4"))
            if density is None:
                continue  # a row without density parameters is of no use here
            salts.append(Salt(name=cells[0], cas=cells[1], formula=cells[2],
                              molecular_weight=_number(cells[3]), density_fit=density,
                              viscosity_fit=_fit(ViscosityFit, cells, 13,
                                                 ("v1", "v2", "v3", "v4", "v5", "v6"))))
        except ValueError as error:
            raise ValueError(f"{path}, line {number}: {error}") from None
    return tuple(salts)


def _number(cell: str) -> float:
    value = float(cell)
    if not math.isfinite(value):
        raise ValueError(f"non-finite number {cell!r}")
    return value


def _fit[F: (DensityFit, ViscosityFit)](kind: type[F], cells: list[str], first: int,
                                        names: tuple[str, ...]) -> F | None:
    """The parameters in the columns from `first` on, then Min T, Max T (°C), Max w and points."""
    block = cells[first:first + len(names) + 4]
    if not any(block[:len(names)]):
        return None
    *parameters, _, _, max_w, points = (_number(cell) for cell in block)
    low, high = (_kelvin_from_text(cell) for cell in block[-4:-2])
    return kind(**dict(zip(names, parameters)), temperature_range=(low, high),
                max_mass_fraction=max_w, points=int(points))


def _kelvin_from_text(celsius: str) -> float:
    """A table temperature in kelvin, added in decimal so that -14.1 °C is 259.05 K, not 259.04999999999995."""
    return float(Decimal(celsius) + Decimal("273.15"))


# Lookup.

def _normalise(text: str) -> str:
    """Case, blanks, punctuation and British spellings do not matter in a key."""
    text = unicodedata.normalize("NFKC", text).casefold()
    text = text.replace("sulph", "sulf").replace("aluminium", "aluminum")
    return re.sub(r"[\W_]+", "", text)


@functools.cache
def _index(path: Path) -> dict[str, tuple[Salt, ...]]:
    """Normalised names, formulas and CAS numbers of the table at `path`, to their salts."""
    salts = _read_table(path)
    index: dict[str, tuple[Salt, ...]] = {}
    for entry in salts:
        for key in {_normalise(entry.name), _normalise(entry.formula), _normalise(entry.cas)}:
            if entry not in index.get(key, ()):
                index[key] = index.get(key, ()) + (entry,)
    return index


def salt(key: str, *, table: str | Path | None = None) -> Salt:
    """Look a salt up in Laliberte's 2009 table by name, formula or CAS number.

    Case, blanks and punctuation are ignored, and British spellings
    (sulphate, aluminium) are accepted.

    Parameters
    ----------
    key : str
        Name (``"sodium chloride"``), formula (``"NaCl"``) or CAS number (``"7647-14-5"``).
    table : str or path-like, optional
        Another table in the same layout; by default the one `chemicals` ships.

    Returns
    -------
    Salt
        The salt, with its parameters and methods evaluating its solutions.

    Raises
    ------
    UnknownSaltError
        Nothing matches (or several salts do); the message lists close matches.
    ModuleNotFoundError
        `chemicals` is not installed.

    Examples
    --------
    >>> quor_pp.salt("sodium chloride").formula
    'NaCl'
    >>> quor_pp.salt("7647-14-5") == quor_pp.salt("NaCl")
    True
    """
    if not isinstance(key, str):
        raise TypeError(f"salt key must be a str, not {type(key).__name__}")
    path = Path(table) if table is not None else table_path()
    salts, index = _read_table(path), _index(path)
    normalised = _normalise(key)
    found = index.get(normalised, ())
    if len(found) == 1:
        return found[0]
    if found:
        names = tuple(entry.label for entry in found)
        raise UnknownSaltError(f"{key!r} matches several salts: {'; '.join(names)}", key, names)
    matches = _close_matches(normalised, salts, index)
    message = f"no salt named {key!r} (by name, formula or CAS number) in Laliberte's table of {len(salts)} salts"
    if matches:
        message += "; close matches: " + "; ".join(matches)
    raise UnknownSaltError(message, key, matches)


def _close_matches(normalised: str, salts: tuple[Salt, ...],
                   index: dict[str, tuple[Salt, ...]], limit: int = 5) -> tuple[str, ...]:
    found: list[Salt] = []
    if len(normalised) >= 3:  # names containing the key, e.g. "chloride"
        found += [entry for entry in salts if normalised in _normalise(entry.name)]
    for key in difflib.get_close_matches(normalised, index, n=limit, cutoff=0.6):
        found += [entry for entry in index[key] if entry not in found]
    return tuple(entry.label for entry in found[:limit])
