"""Replica statistics for a paper: Student's t quantiles and confidence intervals of a mean over replicas."""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import _quor_pp

__all__ = ["ReplicaStatistics", "confidence_interval", "replica_statistics", "student_t_quantile"]

# The continued fraction needs about sqrt(max(a, b)) terms; this covers any degrees of
# freedom a replica count can have (and far beyond).
_MAX_TERMS = 100_000
_EPSILON = 2.220446049250313e-16
_TINY = 1e-300


def _beta_fraction(a: float, b: float, x: float) -> float:
    """Continued fraction of the incomplete beta function, by the modified Lentz method.

    Converges quickly for x < (a + 1) / (a + b + 2), where the caller uses it.
    """
    total, plus, minus = a + b, a + 1.0, a - 1.0
    c = 1.0
    d = 1.0 - total * x / plus
    d = 1.0 / (d if abs(d) > _TINY else _TINY)
    h = d
    for m in range(1, _MAX_TERMS + 1):
        m2 = 2.0 * m
        even = m * (b - m) * x / ((minus + m2) * (a + m2))
        d = 1.0 + even * d
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = 1.0 + even / c
        c = c if abs(c) > _TINY else _TINY
        h *= d * c
        odd = -(a + m) * (total + m) * x / ((a + m2) * (plus + m2))
        d = 1.0 + odd * d
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = 1.0 + odd / c
        c = c if abs(c) > _TINY else _TINY
        step = d * c
        h *= step
        if abs(step - 1.0) < 4.0 * _EPSILON:
            return h
    raise ArithmeticError(f"the incomplete beta fraction did not converge for a={a}, b={b}, x={x}")


def _log_beta(a: float, b: float) -> float:
    """ln B(a, b), without the cancellation of ln Γ(a) - ln Γ(a + b) when a is large."""
    small, big = min(a, b), max(a, b)
    if big < 100.0:
        return math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b)

    def series(z: float) -> float:  # Stirling's series of ln Γ(z) beyond its leading terms
        return 1.0 / (12.0 * z) - 1.0 / (360.0 * z ** 3) + 1.0 / (1260.0 * z ** 5)

    # ln Γ(big) - ln Γ(big + small) from Stirling's formula, its large terms cancelled by hand.
    difference = (-small * math.log(big) - (big + small - 0.5) * math.log1p(small / big) + small
                  + (series(big) - series(big + small)))
    return math.lgamma(small) + difference


def _incomplete_beta(a: float, b: float, x: float, y: float) -> float:
    """Regularized incomplete beta I_x(a, b), given x and y = 1 - x each to full precision."""
    if x <= 0.0:
        return 0.0
    if y <= 0.0:
        return 1.0
    log_front = a * math.log(x) + b * math.log(y) - _log_beta(a, b)
    front = math.exp(log_front)
    if x < (a + 1.0) / (a + b + 2.0):
        return front * _beta_fraction(a, b, x) / a
    return 1.0 - front * _beta_fraction(b, a, y) / b


def _upper_tail(t: float, dof: float) -> float:
    """P(T > t) for Student's t with `dof` degrees of freedom and t >= 0."""
    r = t / math.sqrt(dof)
    if r > 1e150:  # r² would overflow; x is then 1/r² and y is 1 to double precision
        x, y = (1.0 / r) / r, 1.0
    else:
        x, y = 1.0 / (1.0 + r * r), (r * r) / (1.0 + r * r)
    return 0.5 * _incomplete_beta(0.5 * dof, 0.5, x, y)


def student_t_quantile(probability: float, dof: float) -> float:
    """Quantile of Student's t distribution (its inverse cumulative distribution function).

    Solved by bisection on the upper tail P(T > t) = ½ I_{ν/(ν+t²)}(ν/2, ½), the
    regularized incomplete beta function evaluated by its continued fraction: slower
    than a Newton iteration but certain to converge, to within a few units in the last
    place of the tail probability. No SciPy needed.

    Parameters
    ----------
    probability : float
        Cumulative probability p in [0, 1].
    dof : float
        Degrees of freedom ν > 0 (need not be an integer).

    Returns
    -------
    float
        The t with P(T <= t) = p; -inf for p = 0 and inf for p = 1.

    Raises
    ------
    ValueError
        For p outside [0, 1] or ν not a finite positive number.

    Examples
    --------
    >>> round(student_t_quantile(0.975, 4), 6)
    2.776445
    >>> round(student_t_quantile(0.025, 1), 4)
    -12.7062
    """
    p, nu = float(probability), float(dof)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"probability must lie in [0, 1], not {probability}")
    if not (math.isfinite(nu) and nu > 0.0):
        raise ValueError(f"degrees of freedom must be a finite positive number, not {dof}")
    return _quantile(p, nu)


# A report asks for the same few quantiles (one level, a handful of replica counts) once
# per row: each is solved once.
@functools.lru_cache(maxsize=256)
def _quantile(p: float, nu: float) -> float:
    if p == 0.5:
        return 0.0
    if p in (0.0, 1.0):
        return math.inf if p == 1.0 else -math.inf
    # 1 - p is exact for p >= 0.5, so the upper tail keeps its precision on both sides.
    tail, sign = (1.0 - p, 1.0) if p > 0.5 else (p, -1.0)
    lo, hi = 0.0, 1.0
    while _upper_tail(hi, nu) > tail:
        lo, hi = hi, 2.0 * hi
        if math.isinf(hi):
            return sign * math.inf
    while True:
        mid = lo + 0.5 * (hi - lo)
        if not lo < mid < hi:
            break
        if _upper_tail(mid, nu) > tail:
            lo = mid
        else:
            hi = mid
    return sign * (lo + 0.5 * (hi - lo))


def confidence_interval(
    values: Sequence[float] | None = None,
    *,
    std: float | None = None,
    n: int | None = None,
    level: float = 0.95,
) -> float | None:
    """Half-width of the Student-t confidence interval of a mean over n replicas.

    With the package's statistics (population std, sem = std / sqrt(n - 1), which is
    the sample standard deviation over sqrt(n)), the half-width is
    t_{(1 + level)/2, n - 1} × sem.

    Parameters
    ----------
    values : sequence of float, optional
        The replicas' values; non-finite ones are left out, as `repacking_results` does.
    std : float, optional
        Population standard deviation of the n values (instead of `values`).
    n : int, optional
        Number of values (with `std`).
    level : float
        Confidence level, in (0, 1).

    Returns
    -------
    float or None
        The half-width, in the values' unit; None for fewer than two values.

    Raises
    ------
    ValueError
        When neither `values` nor both `std` and `n` are given (or both are), or the
        level or std is out of range.

    Examples
    --------
    >>> round(confidence_interval([1.0, 2.0, 3.0, 4.0]), 6)
    2.05426
    >>> round(confidence_interval(std=1.118033988749895, n=4), 6)
    2.05426
    """
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie in (0, 1), not {level}")
    if values is not None:
        if std is not None or n is not None:
            raise ValueError("give either values or std and n, not both")
        _, std, n = _quor_pp.repacking_results(values)
    elif std is None or n is None:
        raise ValueError("give the values, or both std and n")
    if n < 2:
        return None
    if not (math.isfinite(std) and std >= 0.0):
        raise ValueError(f"std must be a finite number >= 0, not {std}")
    return student_t_quantile(0.5 + 0.5 * level, n - 1) * (std / math.sqrt(n - 1))


@dataclass(frozen=True)
class ReplicaStatistics:
    """One quantity over the replicas: mean, spread and confidence interval.

    Attributes
    ----------
    mean : float or None
        Mean of the finite values; None when there are none.
    std : float or None
        Population standard deviation.
    sem : float or None
        Standard error of the mean, std / sqrt(n - 1); None for fewer than two values.
    n : int
        Number of finite values.
    ci : float or None
        Half-width of the confidence interval of the mean at `level` (Student's t with
        n - 1 degrees of freedom); None for fewer than two values.
    level : float
        Confidence level of `ci`.
    """

    mean: float | None
    std: float | None
    sem: float | None
    n: int
    ci: float | None
    level: float = 0.95

    def to_dict(self) -> dict[str, Any]:
        """The fields as plain JSON values."""
        return {"mean": self.mean, "std": self.std, "sem": self.sem, "n": self.n, "ci": self.ci,
                "level": self.level}


def replica_statistics(values: Sequence[float], level: float = 0.95) -> ReplicaStatistics:
    """Mean, population std, sem and confidence half-width of one quantity over replicas.

    Non-finite values are left out (`_quor_pp.repacking_results` makes the mean and std).

    Examples
    --------
    >>> s = replica_statistics([1.0, 2.0, 3.0, 4.0, float("nan")])
    >>> s.mean, s.n, round(s.sem, 6), round(s.ci, 6)
    (2.5, 4, 0.645497, 2.05426)
    """
    mean, std, count = _quor_pp.repacking_results(values)
    if count == 0:
        return ReplicaStatistics(None, None, None, 0, None, level)
    return ReplicaStatistics(mean, std, std / math.sqrt(count - 1) if count > 1 else None, count,
                             confidence_interval(std=std, n=count, level=level), level)
