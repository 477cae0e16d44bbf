"""The inputs a replica's normalisations take (T, V, molecule counts): a value with where it came from, or
why there is none; and the temperature of a thermodynamic table.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Literal

import numpy as np

from ..reading.errors import FormatError
from ..reading.files import Table
from . import cross_checks
from .results import Needs

__all__ = ["Input", "TableKind", "split_pair", "table_temperature"]


@dataclass(frozen=True)
class Input:
    """An input of the normalisations (T, V, a molecule count): its value, or why there is none.

    Attributes
    ----------
    name : str
        "T", "V", "N_Na", "N", "eta", ...
    value : float or None
    origin : str
        Where the value came from ("option", a file's name, "fit").
    why : str
        Why there is no value; empty when there is one.
    needs : Needs or None
        The setting that would supply it.
    parts : tuple of Input
        For an input made of others (T², N, V k_B T / e²), those it was made of.
    """

    name: str
    value: float | None
    origin: str = ""
    why: str = ""
    needs: Needs | None = None
    parts: tuple[Input, ...] = ()


#: The layouts of a run's tables (every layout but the log's).
TableKind = Literal["transport", "rdf", "thermo", "ave/time", "ave/histo", "ave/correlate", "histogram"]


def table_temperature(table: Table, origin: str = "", units: str = "") -> Input:
    """T from the Temp column of a thermodynamic table: its mean, when every value is a positive number in kelvin.

    A row that is not positive (0 K: a broken output) or a mean below any brine's
    temperature (a file in degrees Celsius) leaves T missing, saying why.
    """
    origin = origin or os.path.basename(table.path)
    for name in table:
        bare = name.lower().removeprefix("v_").removeprefix("c_")
        if bare in ("temp", "temperature", "thermo_temp"):
            values = table[name]
            if len(values) == 0:
                raise FormatError(table.path, "a thermodynamic table with rows", None, "no rows")
            where = f"{name} of {origin}"
            bad = int(np.count_nonzero(~np.isfinite(values)))
            if bad:
                return Input("T", None, why=f"{bad} of {len(values)} values of {where} are not numbers",
                             needs=Needs("temperature"))
            cold = np.flatnonzero(~(values > 0.0))
            if len(cold):  # a row of 0 K or below is a broken output, never averaged in
                row = int(cold[0]) + 1
                return Input("T", None, why=f"row {row} of {name} of {origin} is {values[row - 1]:g}, not a "
                             f"temperature ({len(cold)} of {len(values)} rows)", needs=Needs("temperature"))
            mean = float(np.mean(values))
            if not mean > 0.0 or not math.isfinite(mean):
                return Input("T", None, why=f"the mean {name} of {origin} is {mean:g}, not a temperature",
                             needs=Needs("temperature"))
            problem = cross_checks.temperature_problem(mean, units, f"{name} of {origin}")
            if problem:
                return Input("T", None, why=problem, needs=Needs("temperature"))
            return Input("T", mean, origin)
    raise FormatError(table.path, "a thermodynamic table with a Temp column", None,
                      f"its columns are {', '.join(table)}")


def split_pair(name: str, species: set[str]) -> tuple[str, str] | None:
    """The two species of an Onsager column name "i_j"."""
    splits = [(name[:k], name[k + 1:]) for k, c in enumerate(name) if c == "_"]
    known = [pair for pair in splits if pair[0] in species and pair[1] in species]
    if len(known) == 1:
        return known[0]
    if not species and len(splits) == 1:
        return splits[0]
    return None
