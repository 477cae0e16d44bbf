"""Equilibrium averages of a run's thermodynamic table and of its bond-angle histogram.

The samples of a thermodynamic table are correlated in time: the standard error
of a mean is sqrt(g σ² / N) with g the statistical inefficiency, 1 + 2 Σ (1 − t/N) C(t)
summed over the normalised autocorrelation C(t) until it first drops to zero or
below. The start of the equilibrated part is the t₀ that keeps the most
uncorrelated samples, (N − t₀)/g(t₀) (Chodera, J. Chem. Theory Comput. 12, 1799
(2016)); both are computed here with NumPy, in the same way as the timeseries
module of the pymbar package, with the lag sums in native code.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from .. import _native
from .results import Source
from .thermo_units import column_unit

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["Equilibrated", "detect_equilibration", "statistical_inefficiency"]

#: Columns of a thermodynamic table that count rather than measure.
_COUNTERS = ("step", "timestep", "time", "elapsed", "elaplong", "cpu")


def statistical_inefficiency(values: npt.ArrayLike, min_lag: int = 3) -> float:
    """g = 1 + 2 Σ_t (1 − t/N) C(t), summed until C(t) ≤ 0 past `min_lag`; 1 for fewer than two samples.

    A constant series has g = 1 (its samples are no less informative for being equal).
    Computed natively: the sum over lags is quadratic in the samples.
    """
    if min_lag < 0:
        raise ValueError(f"min_lag must be >= 0, not {min_lag}")
    g: float = _native.statistical_inefficiency(np.ascontiguousarray(values, dtype=np.float64), int(min_lag))
    return g


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
        No samples, samples that are not all finite, or fewer than one candidate.
    """
    x = np.ascontiguousarray(values, dtype=np.float64)
    if x.ndim != 1:
        raise ValueError(f"a series to average is 1-D, not of shape {x.shape}")
    if candidates < 1:
        raise ValueError(f"candidates must be >= 1, not {candidates}")
    start, g, mean, error = _native.detect_equilibration(x, int(candidates))
    return Equilibrated(start, g, mean, error)


def _columns(run: Run) -> list[tuple[str, Equilibrated | None, str]]:
    """Every column's equilibration, scanned once per replica for the means and their errors."""
    found: list[tuple[str, Equilibrated | None, str]] = run.memo("thermo columns", lambda: _scan_columns(run))
    return found


def _scan_columns(run: Run) -> list[tuple[str, Equilibrated | None, str]]:
    table = run.read("thermo", "thermo")  # the table T comes from: read once
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
    """The equilibrated mean of every column of the thermodynamic table, in SI where the column's keyword
    says what it measures (`thermo_units.column_unit`), else in the run's own units."""
    for name, result, why in _columns(run):
        factor, unit = column_unit(name, run.units)
        if result is None:
            estimate = run.missing("thermo_mean", name, why, None, status="not numbers")
        else:
            estimate = run.value("thermo_mean", name, result.mean * factor, sources=(
                Source("start_row", result.start, "detected"), Source("g", result.inefficiency, "detected")))
        yield replace(estimate, unit=unit)


def thermo_mean_error(run: Run) -> Iterable[Estimate]:
    """The standard error of each equilibrated mean, from its statistical inefficiency, in the mean's unit."""
    for name, result, why in _columns(run):
        factor, unit = column_unit(name, run.units)
        if result is None or not math.isfinite(result.error):
            estimate = run.missing("thermo_mean_error", name, why or "a single sample has no error", None,
                                   status="not numbers" if result is None else "too few points")
        else:
            estimate = run.value("thermo_mean_error", name, result.error * factor,
                                 sources=(Source("g", result.inefficiency, "detected"),))
        yield replace(estimate, unit=unit)


def mean_angle(run: Run) -> Iterable[Estimate]:
    """The mean of the bond-angle histogram (Σ angle · count / Σ count), in degrees."""
    table = run.read("angle", "histogram")
    if table is None:
        return
    path = table.path
    coord, count = table["Coord"] if "Coord" in table else None, table["Count"] if "Count" in table else None
    if coord is None or count is None:
        yield run.missing("mean_angle", "", f"{path}: no Coord and Count columns ({', '.join(table)})", None)
        return
    total = float(np.sum(count))
    if not total > 0.0:
        yield run.missing("mean_angle", "", f"{path}: the histogram is empty", None, status="too few points")
        return
    yield run.value("mean_angle", "", float(np.dot(coord, count)) / total)
