"""Equilibrium averages of a run's thermodynamic table and of its bond-angle histogram.

The samples of a thermodynamic table are correlated in time: the standard error
of a mean is sqrt(g σ² / N) with g the statistical inefficiency, 1 + 2 Σ (1 − t/N) C(t)
summed over the normalised autocorrelation C(t) until it first drops to zero or
below. The start of the equilibrated part is the t₀ that keeps the most
uncorrelated samples, (N − t₀)/g(t₀) (Chodera, J. Chem. Theory Comput. 12, 1799
(2016)); both are computed here with NumPy, in the same way as the timeseries
module of the pymbar package.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from .results import Source

if TYPE_CHECKING:
    from .files import Table
    from .results import Estimate
    from .transport import Run

__all__ = ["Equilibrated", "detect_equilibration", "statistical_inefficiency"]

#: Columns of a thermodynamic table that count rather than measure.
_COUNTERS = ("step", "timestep", "time", "elapsed", "elaplong", "cpu")


def statistical_inefficiency(values: npt.ArrayLike, min_lag: int = 3) -> float:
    """g = 1 + 2 Σ_t (1 − t/N) C(t), summed until C(t) ≤ 0 past `min_lag`; 1 for fewer than two samples.

    A constant series has g = 1 (its samples are no less informative for being equal).
    """
    x = np.asarray(values, dtype=np.float64)
    n = len(x)
    if n < 2:
        return 1.0
    dx = x - x.mean()
    with np.errstate(over="ignore", invalid="ignore"):  # values near the float limit give no variance
        variance = float(np.dot(dx, dx)) / n
    if variance == 0.0 or not math.isfinite(variance):
        return 1.0
    g = 1.0
    for t in range(1, n - 1):
        c = float(np.dot(dx[:-t], dx[t:])) / (n - t) / variance
        if c <= 0.0 and t > min_lag:
            break
        g += 2.0 * c * (1.0 - t / n)
    return max(g, 1.0)


@dataclass(frozen=True)
class Equilibrated:
    """The equilibrated part of a series.

    Attributes
    ----------
    start : int
        Index of its first sample.
    inefficiency : float
        g of the samples from `start` on.
    mean, error : float
        Their mean and its standard error sqrt(g var / n).
    """

    start: int
    inefficiency: float
    mean: float
    error: float


def detect_equilibration(values: npt.ArrayLike, candidates: int = 50) -> Equilibrated:
    """The start t₀ that maximises (N − t₀)/g(t₀) among `candidates` evenly spaced starts in the first half.

    Raises
    ------
    ValueError
        No samples, or samples that are not all finite.
    """
    x = np.asarray(values, dtype=np.float64)
    if len(x) == 0 or not np.all(np.isfinite(x)):
        raise ValueError("a series to average needs finite samples")
    starts = sorted({int(k) for k in np.linspace(0, max(len(x) // 2 - 1, 0), min(candidates, max(len(x) // 2, 1)))})
    best: tuple[float, int, float] | None = None
    for start in starts:
        g = statistical_inefficiency(x[start:])
        effective = (len(x) - start) / g
        if best is None or effective > best[0]:
            best = (effective, start, g)
    assert best is not None
    _, start, g = best
    tail = x[start:]
    error = math.sqrt(g * float(np.var(tail)) / len(tail)) if len(tail) > 1 else math.nan
    return Equilibrated(start, g, float(tail.mean()), error)


def _thermo_table(run: Run) -> Table | None:
    from .files import read
    from .transport import find_file

    path = find_file(run.directory, run.settings.files.thermo)
    return None if path is None else read(path, kind="thermo")


def _columns(run: Run) -> list[tuple[str, Equilibrated | None, str]]:
    """Every column's equilibration, scanned once per replica for the means and their errors."""
    found: list[tuple[str, Equilibrated | None, str]] = run.memo("thermo columns", lambda: _scan_columns(run))
    return found


def _scan_columns(run: Run) -> list[tuple[str, Equilibrated | None, str]]:
    table = _thermo_table(run)
    if table is None:
        return []
    found: list[tuple[str, Equilibrated | None, str]] = []
    for name in table:
        if name.lower().removeprefix("v_").removeprefix("c_") in _COUNTERS:
            continue
        try:
            found.append((name, detect_equilibration(table[name]), ""))
        except ValueError as error:
            found.append((name, None, f"{os.path.basename(table.path)} {name}: {error}"))
    return found


def thermo_mean(run: Run) -> Iterable[Estimate]:
    """The equilibrated mean of every column of the thermodynamic table, in the table's own unit."""
    for name, result, why in _columns(run):
        if result is None:
            yield run.missing("thermo_mean", name, why, None, status="not numbers")
        else:
            yield run.value("thermo_mean", name, result.mean, sources=(
                Source("start_row", result.start, "detected"), Source("g", result.inefficiency, "detected")))


def thermo_mean_error(run: Run) -> Iterable[Estimate]:
    """The standard error of each equilibrated mean, from its statistical inefficiency."""
    for name, result, why in _columns(run):
        if result is None or not math.isfinite(result.error):
            yield run.missing("thermo_mean_error", name, why or "a single sample has no error", None,
                              status="not numbers" if result is None else "too few points")
        else:
            yield run.value("thermo_mean_error", name, result.error,
                            sources=(Source("g", result.inefficiency, "detected"),))


def mean_angle(run: Run) -> Iterable[Estimate]:
    """The mean of the bond-angle histogram (Σ angle · count / Σ count), in degrees."""
    from .files import read
    from .transport import find_file

    path = find_file(run.directory, run.settings.files.angle)
    if path is None:
        return
    table = read(path, kind="histogram")
    coord, count = table["Coord"] if "Coord" in table else None, table["Count"] if "Count" in table else None
    if coord is None or count is None:
        yield run.missing("mean_angle", "", f"{path}: no Coord and Count columns ({', '.join(table)})", None)
        return
    total = float(np.sum(count))
    if not total > 0.0:
        yield run.missing("mean_angle", "", f"{path}: the histogram is empty", None, status="too few points")
        return
    yield run.value("mean_angle", "", float(np.dot(coord, count)) / total)
