"""One window per curve for all replicas, and the replicas whose value stands far apart from the others.

Each replica's search takes, of the windows in the band, the one whose log-log slope
is closest to 1. In a noisy curve that is the stretch the noise happened to
straighten, so the chosen window and the value's error go together: the replicas'
values come out biased (a Helfand moment's straightest stretch is one bent down by
noise, so η reads low) and closer together than their true scatter. Fitting every
replica over one window, chosen from all of them and from none in particular,
removes both: here the median start and the median end of the windows the
replicas' searches accepted (robust to one replica's spurious window, and strictly
increasing: the k-th smallest start precedes the k-th smallest end).

A replica whose value lies far outside the scatter of the others is left out of
the median, and named: a spurious window in one replica (the oscillating start of
a heat flux's moment) must not be averaged into a row. Far means beyond what chance
allows once in `1 / DISAGREEMENT` trials: for a value v and the n − 1 others, of
mean m and sample standard deviation s, (v − m) / (s √(1 + 1/(n − 1))) follows
Student's t with n − 2 degrees of freedom when all are alike (its own fit error is
added to s in quadrature). With five replicas that is 12.9 standard deviations,
with four 31.6: few replicas cannot tell a slow outlier from their own scatter,
and are left alone.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import statistics
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Final

from .results import Estimate, ReplicaResult
from .statistics import student_t_quantile

__all__ = ["DISAGREEMENT", "DISAGREES", "Disagreement", "disagreements", "mark_disagreements", "median_windows",
           "stands_apart"]

#: The two-sided probability, for replicas that are alike, of a value standing apart.
DISAGREEMENT: Final = 1e-3

#: The same, for a value that stood apart over its own window to be confirmed over the
#: replicas' common window: it need only stay outside the others' 95 % range there.
CONFIRMATION: Final = 0.05

#: The status of a replica's value that stands apart from the others even over their window.
DISAGREES: Final = "disagrees with the other replicas"


@dataclass(frozen=True)
class Disagreement:
    """A replica's value of one curve, far from the other replicas'.

    Attributes
    ----------
    key : str
        The curve, "quantity:species" ("thermal_conductivity:").
    replica : str
        The replica's path.
    value : float
        Its value, in the quantity's unit.
    others : (float, float)
        The lowest and highest value of the other replicas.
    distance : float
        |value − mean of the others| over the combined standard deviation.
    limit : float
        The distance beyond which a value stood apart, for this many replicas.
    count : int
        The replicas with a value of the curve.
    window : (float, float) or None
        The window its value was fitted over, in the run's time unit.
    unit : str
        The quantity's unit.
    """

    key: str
    replica: str
    value: float
    others: tuple[float, float]
    distance: float
    window: tuple[float, float] | None
    unit: str
    limit: float
    count: int

    def limit_at(self, probability: float) -> float:
        """The distance beyond which a value stands apart at another probability, for as many replicas."""
        return _limit(self.count, probability)

    def describe(self, refitted: tuple[float, float] | None = None) -> str:
        """One line for the report."""
        quantity, _, species = self.key.partition(":")
        name = f"{quantity} {species}".strip()
        where = "" if self.window is None else f" over {self.window[0]:g} to {self.window[1]:g}"
        line = (f"{name}: {os.path.basename(os.path.normpath(self.replica))}{where} gave {self.value:.4g} {self.unit}, "
                f"{self.distance:.0f} standard deviations from the other replicas (more than {self.limit:.3g}) "
                f"({self.others[0]:.4g} to {self.others[1]:.4g})")
        if refitted is not None:
            return line + f"; left out of the common window, and fitted again over {refitted[0]:g} to {refitted[1]:g}"
        return line


def _fitted(result: ReplicaResult) -> dict[str, Estimate]:
    """The replica's estimates that come from a fit, by "quantity:species"."""
    return {f"{e.quantity}:{e.species}": e for e in result.estimates if e.fit is not None}


def disagreements(results: Sequence[ReplicaResult], probability: float = DISAGREEMENT) -> list[Disagreement]:
    """The values of fitted curves that stand apart from the other replicas' (needs three replicas with values).

    A value v stands apart when |v − m| > t · sqrt(s² (1 + 1/(n − 1)) + e²), m and s
    the mean and sample standard deviation of the n − 1 other replicas' values, e its
    own fit's standard error (of its slope, in the value's unit) and t the quantile
    of Student's t with n − 2 degrees of freedom exceeded with `probability` (two-sided).
    """
    by_key: dict[str, list[tuple[str, Estimate]]] = {}
    for result in results:
        for key, estimate in _fitted(result).items():
            if estimate.value is not None and math.isfinite(estimate.value):
                by_key.setdefault(key, []).append((result.path, estimate))
    found = []
    for key, members in by_key.items():
        values = [e.value for _, e in members if e.value is not None]
        errors = [_fit_error(e) for _, e in members]
        for k in stands_apart(values, errors, probability):
            path, estimate = members[k]
            others = values[:k] + values[k + 1:]
            fit = estimate.fit
            limit = _limit(len(values), probability)
            found.append(Disagreement(key, path, values[k], (min(others), max(others)),
                                      _distance(values, errors, k), fit.window if fit is not None else None,
                                      estimate.unit, limit, len(values)))
    return found


def stands_apart(values: Sequence[float], errors: Sequence[float] | None = None,
                 probability: float = DISAGREEMENT) -> list[int]:
    """The positions of the values that stand apart from the others (see `disagreements`).

    Parameters
    ----------
    values : sequence of float
        One value per replica (at least three, or none stands apart).
    errors : sequence of float, optional
        Each value's own standard error (0 by default).
    probability : float
        How rarely a value of replicas that are alike may stand apart (two-sided).

    Examples
    --------
    >>> stands_apart([0.376, 0.394, 0.385, 0.576, 0.381])
    [3]
    """
    if len(values) < 3:
        return []
    own = list(errors) if errors is not None else [0.0] * len(values)
    limit = _limit(len(values), probability)
    return [k for k in range(len(values)) if _distance(values, own, k) > limit]


@functools.lru_cache(maxsize=64)
def _limit(count: int, probability: float) -> float:
    return student_t_quantile(1.0 - probability / 2.0, count - 2)


def _distance(values: Sequence[float], errors: Sequence[float], k: int) -> float:
    """|v_k − m| / sqrt(s² (1 + 1/(n − 1)) + e_k²) over the others' mean m and standard deviation s."""
    others = [v for n, v in enumerate(values) if n != k]
    count = len(others)
    centre = math.fsum(others) / count
    spread2 = math.fsum((v - centre) * (v - centre) for v in others) / (count - 1)
    scale = math.sqrt(spread2 * (1.0 + 1.0 / count) + errors[k] * errors[k])
    return abs(values[k] - centre) / scale if scale > 0.0 else 0.0


def _fit_error(estimate: Estimate) -> float:
    fit = estimate.fit
    if fit is None or fit.quality is None or estimate.scale is None:
        return 0.0
    error = abs(fit.quality.slope_stderr * estimate.scale)
    return error if math.isfinite(error) else 0.0


def median_windows(results: Sequence[ReplicaResult], leave_out: Iterable[Disagreement] = ()
                   ) -> dict[str, tuple[float, float] | None]:
    """For every fitted curve, the median start and median end of the windows its replicas accepted.

    Replicas named in `leave_out` for a curve are not counted for it. A curve no
    replica found a window for gets None (its fits then say there is no common window).
    """
    left = {(d.key, d.replica) for d in leave_out}
    starts: dict[str, list[float]] = {}
    ends: dict[str, list[float]] = {}
    for result in results:
        for key, estimate in _fitted(result).items():
            starts.setdefault(key, [])
            ends.setdefault(key, [])
            assert estimate.fit is not None
            window = estimate.fit.window
            if window is not None and (key, result.path) not in left:
                starts[key].append(window[0])
                ends[key].append(window[1])
    return {key: (statistics.median(starts[key]), statistics.median(ends[key])) if starts[key] else None
            for key in starts}


def mark_disagreements(results: Sequence[ReplicaResult], found: Iterable[Disagreement]) -> list[ReplicaResult]:
    """The results with each disagreeing value withdrawn: status `DISAGREES`, its fit kept, the reason said."""
    marked: dict[str, dict[str, Disagreement]] = {}
    for disagreement in found:
        marked.setdefault(disagreement.replica, {})[disagreement.key] = disagreement
    changed = []
    for result in results:
        mine: Mapping[str, Disagreement] = marked.get(result.path, {})
        if not mine:
            changed.append(result)
            continue
        estimates = []
        for estimate in result.estimates:
            named = mine.get(f"{estimate.quantity}:{estimate.species}") if estimate.fit is not None else None
            if named is not None:
                disagreement = named
                estimate = dataclasses.replace(
                    estimate, value=None, status=DISAGREES,
                    message=(f"its value {disagreement.value:.4g} lies {disagreement.distance:.0f} standard "
                             f"deviations from the other replicas' ({disagreement.others[0]:.4g} to "
                             f"{disagreement.others[1]:.4g}) even over their common window"))
            estimates.append(estimate)
        changed.append(dataclasses.replace(result, estimates=tuple(estimates)))
    return changed
