"""Checks of one replica's inputs against each other: what a run's files, its log and the options must agree on.

A run says most things twice: the species stand in the self-diffusion table and
in the Onsager table, the log prints the atom count of every group it defines, a
time column must increase, a temperature or a volume must be positive. Each check
here takes what two sources say and either returns what they agree on or raises
(or returns the reason for a status) naming both sources and the disagreement.
`Run` calls them and keeps the names of the checks it applied, for the report.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from ..reading.errors import FormatError
from ..reading.table import Table
from .settings import LOWEST_KELVIN

if TYPE_CHECKING:
    from .transport import Run

__all__ = [
    "CHARGE_TOLERANCE",
    "CHECKS",
    "charge_contradictions",
    "check_charges",
    "check_increasing",
    "check_positive",
    "electroneutrality",
    "not_numbers",
    "onsager_species",
    "run_species",
    "temperature_problem",
]

#: The checks `Run` can apply, by name, in words: what the report lists as applied.
CHECKS: dict[str, str] = {
    "species": "the species of diffself.dat and diffonsag.dat agree",
    "pairs": "each Onsager pair has one column",
    "group counts": "the molecule counts' atoms equal the log's printed group counts",
    "temperature": "temperatures from files are positive and in kelvin",
    "volume": "volumes and densities are positive in every row",
    "increasing": "time and radius columns increase",
    "finite": "the fitted curves hold numbers only",
    "charges": "given charges equal the data file's molecule charges",
    "neutrality": "the charges are electroneutral (sum of N q is zero)",
    "units": "the unit style given agrees with the log's",
    "one run": "the replicas share their unit style, composition and temperature",
}

#: Charges (units of e) closer than this are one charge: a data file's partial charges
#: are written with a few decimals.
CHARGE_TOLERANCE = 1e-3


def onsager_species(columns: Iterable[str], prefix: str = "MSD__") -> list[str]:
    """The species of an Onsager table: those of its diagonal columns "X_X", in column order.

    A diagonal column names each species once, so that names holding an underscore
    ("Na_SPCE") are split without guessing.
    """
    found = []
    for name in columns:
        if not name.startswith(prefix):
            continue
        pair = name[len(prefix):]
        half, rest = divmod(len(pair), 2)
        if rest == 1 and pair[half] == "_" and pair[:half] == pair[half + 1:] and pair[:half]:
            found.append(pair[:half])
    return found


def run_species(self_table: Table | None, onsager_table: Table | None, prefix: str = "MSD__") -> list[str]:
    """The species of a run: the self-diffusion table's, then those only the Onsager table names.

    A table may leave a species out (a run that wrote only the Onsager curves of the
    ions); but a species the self-diffusion table names and the Onsager table does
    not is a contradiction (a renamed group), refused.

    Raises
    ------
    FormatError
        Naming both files and the species that do not match.
    """
    own = ([name[len(prefix):] for name in self_table if name.startswith(prefix) and len(name) > len(prefix)]
           if self_table is not None else [])
    if onsager_table is None:
        return own
    onsager = onsager_species(onsager_table, prefix)
    if not onsager:
        return own
    extra = [name for name in own if name not in onsager]
    if extra and self_table is not None:
        missing = [name for name in onsager if name not in own]
        raise FormatError(onsager_table.path, f"the Onsager table of the species of {self_table.path}", None,
                          f"it has no diagonal column for {', '.join(extra)} (its species: {', '.join(onsager)}"
                          + (f"; {', '.join(missing)} only here" if missing else "") + ")")
    return own + [name for name in onsager if name not in own]


def check_pairs(table: Table, pairs: Sequence[tuple[tuple[str, str], str]]) -> None:
    """Refuse an Onsager table with two columns of one unordered pair (Na_Cl and Cl_Na)."""
    seen: dict[frozenset[str] | tuple[str, str], str] = {}
    for (first, second), column in pairs:
        key: frozenset[str] | tuple[str, str] = frozenset((first, second)) if first != second else (first, first)
        if key in seen and seen[key] != column:
            raise FormatError(table.path, "an Onsager table with one column per pair of species", None,
                              f"the pair {first}-{second} is both {seen[key]} and {column}: which one is meant "
                              "is ambiguous")
        seen.setdefault(key, column)


def check_increasing(table: Table, what: str) -> None:
    """Refuse a table whose first column (time, radius) does not strictly increase.

    A file appended to twice restarts its time; a block written twice repeats it. Either
    would change a fit or an integral without a sign, so the file is refused, naming
    the first row where the column does not increase (rows counted from 1, comments
    and blank lines aside).

    Raises
    ------
    FormatError
    """
    if not len(table):
        return
    name = next(iter(table))
    values = table[name]
    if len(values) < 2:
        return
    steps = np.diff(values)
    bad = np.flatnonzero(~(steps > 0.0))
    if len(bad):
        row = int(bad[0]) + 2
        previous, value = values[row - 2], values[row - 1]
        again = " (the rows start again: a file appended to, or a block written twice)" if value <= values[0] else ""
        raise FormatError(table.path, f"a table whose {what} column {name} increases", None,
                          f"row {row} has {name} {value:g} after {previous:g}{again}")


def check_positive(path: str, name: str, values: npt.NDArray[np.float64], what: str) -> None:
    """Refuse a column of a physical quantity (volume, density, temperature) with a row that is not positive.

    Raises
    ------
    FormatError
        Naming the file, the column and the first such row (from 1).
    """
    bad = np.flatnonzero(~(values > 0.0))
    if len(bad):
        row = int(bad[0]) + 1
        raise FormatError(path, f"a table of positive {what}s", None,
                          f"row {row} of {name} is {values[row - 1]:g}"
                          + (f" ({len(bad)} rows of {len(values)} are not positive)" if len(bad) > 1 else ""))


def temperature_problem(mean: float, units: str, where: str) -> str:
    """Why a mean temperature read from a file is no temperature in kelvin, or "" when it is one."""
    if units != "lj" and mean < LOWEST_KELVIN:
        return (f"the mean {where} is {mean:g} K, below {LOWEST_KELVIN:g} K: the file is not in kelvin "
                f"(degrees Celsius?); give the temperature")
    return ""


def not_numbers(path: str, column: str, values: npt.NDArray[np.float64]) -> str:
    """Why a curve holding NaN or infinities cannot be fitted (naming its rows), or "" when it holds numbers only."""
    bad = np.flatnonzero(~np.isfinite(values))
    if not len(bad):
        return ""
    rows = ", ".join(str(int(k) + 1) for k in bad[:5]) + (", ..." if len(bad) > 5 else "")
    return (f"{os.path.basename(path)} {column}: {len(bad)} of {len(values)} rows are not numbers (rows {rows}); "
            "the simulation may have blown up")


def charge_contradictions(given: Mapping[str, float], in_data: Mapping[str, float]) -> list[str]:
    """The species whose given charge differs from a molecule's net charge in the data file, in words."""
    return [f"{name}: given {charge:g}, {in_data[name]:g} in the data file" for name, charge in given.items()
            if name in in_data and abs(charge - in_data[name]) > CHARGE_TOLERANCE]


def electroneutrality(charges: Mapping[str, float], counts: Mapping[str, float]) -> str:
    """Why the charged species are not electroneutral (Σ N_i q_i ≠ 0), or "" when they are."""
    total = 0.0
    for name, charge in charges.items():
        total += charge * counts[name]
    scale = max((abs(charge) * counts[name] for name, charge in charges.items()), default=0.0)
    if abs(total) > CHARGE_TOLERANCE * max(scale, 1.0):
        terms = " + ".join(f"{counts[name]:g}×({charge:g})" for name, charge in charges.items())
        return f"the charges are not electroneutral: sum of N q = {terms} = {total:g} e"
    return ""


def check_charges(run: Run, charges: Mapping[str, float]) -> None:
    """Refuse given charges that the data file contradicts, or that are not electroneutral.

    Each species' charge is compared with the net charge of one of its molecules in
    the data file the log reads (water: 0, Na: +1), and Σ N_i q_i with zero over the
    molecule counts the run has. `AnalysisSettings.trust_charges` keeps the given
    charges whatever the files say (a model whose ions carry scaled charges in the data
    file but not in the analysis).

    Raises
    ------
    ValueError
        Naming each disagreement.
    """
    if run.settings.trust_charges:
        return
    in_data = run.detected_charges()
    if in_data:
        run.checked("charges")
        wrong = charge_contradictions(charges, in_data)
        if wrong:
            raise ValueError(f"{run.directory}: the charges given disagree with the data file ({'; '.join(wrong)}); "
                             "give the data file's charges, or trust_charges=True (--trust-charges) to keep them")
    counts = {}
    for name in charges:
        count = run.input("N_i", name)
        if count.value is None:
            return  # a count is missing: neutrality cannot be checked, and what needs N says so
        counts[name] = count.value
    run.checked("neutrality")
    problem = electroneutrality(charges, counts)
    if problem:
        raise ValueError(f"{run.directory}: {problem}; check the charges and the molecule counts, or give "
                         "trust_charges=True (--trust-charges)")
