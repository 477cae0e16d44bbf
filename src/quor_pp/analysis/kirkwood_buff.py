"""Kirkwood-Buff integrals by the finite-volume method, how far they depend on the range, and what follows.

The integral over a sphere of diameter L with the weight w(x) = 1 − 3x/2 + x³/2
tends to G∞ + α/L (Krüger et al., J. Phys. Chem. Lett. 4, 235 (2013)), so L·G(L)
is a straight line in L whose slope is G∞. In a periodic box a g(r) says nothing
past half the box edge (farther pairs are images), so L stops there. The line is
fitted over the outer half of L; fitted over other reasonable ranges it gives other
values, whose spread is the extrapolation's own uncertainty, and which says whether
G(L) has converged at all.

From the integrals of a binary mixture follow the thermodynamic factor, the excess
coordination numbers ρ_j G_ij and the partial molar volumes (Ben-Naim, Molecular
Theory of Solutions, Oxford (2006), ch. 4).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Final

import numpy as np
import numpy.typing as npt

__all__ = ["KB_FIT_RANGE", "KB_RANGES", "KirkwoodBuff", "kirkwood_buff", "kirkwood_buff_running",
           "partial_volumes", "thermodynamic_factor"]

FloatArray = npt.NDArray[np.float64]

#: The fractions of the largest L (half the box edge) between which L·G(L) is fitted.
KB_FIT_RANGE: Final = (0.5, 1.0)

#: The other reasonable ranges, as fractions of the largest L: their spread of G∞ is
#: the uncertainty of the choice.
KB_RANGES: Final = tuple((low, high) for low in (0.4, 0.5, 0.6) for high in (0.8, 0.9, 1.0))


def kirkwood_buff_running(r: npt.ArrayLike, g: npt.ArrayLike, lengths: npt.ArrayLike) -> FloatArray:
    """G(L) = ∫₀ᴸ 4πr² (g − 1) w(r/L) dr with w(x) = 1 − 3x/2 + x³/2, for each L (trapezoidal rule)."""
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    result = []
    for length in np.asarray(lengths, dtype=np.float64):
        inside = radius <= length
        x = radius[inside] / length
        weight = 1.0 - 1.5 * x + 0.5 * x**3
        result.append(np.trapezoid(4.0 * math.pi * radius[inside] ** 2 * (values[inside] - 1.0) * weight,
                                   radius[inside]))
    return np.asarray(result, dtype=np.float64)


@dataclass(frozen=True)
class KirkwoodBuff:
    """An extrapolated Kirkwood-Buff integral and the curve it came from.

    Attributes
    ----------
    value : float
        G∞, the slope of L·G(L) against L over `KB_FIT_RANGE`, in r's unit cubed.
    intercept : float
        The line's intercept α.
    lengths, running : ndarray
        L and G(L) over the fitted range.
    limit : float
        The largest L used: half the box edge, or the largest tabulated radius.
    by_range : tuple of float
        G∞ fitted over each of `KB_RANGES`.
    spread : float
        Half the difference of the largest and smallest of `by_range`, r's unit cubed.
    residual : float
        The root-mean-square distance of L·G(L) from its line over the fitted range,
        divided by the mean L (r's unit cubed): small when L·G(L) is straight.
    """

    value: float
    intercept: float
    lengths: FloatArray
    running: FloatArray
    limit: float = math.nan
    by_range: tuple[float, ...] = ()
    spread: float = 0.0
    residual: float = 0.0
    curve: tuple[FloatArray, FloatArray] = field(default=(np.empty(0), np.empty(0)), repr=False)


def kirkwood_buff(r: npt.ArrayLike, g: npt.ArrayLike, fit_range: tuple[float, float] = KB_FIT_RANGE,
                  limit: float | None = None) -> KirkwoodBuff:
    """G∞ by a least-squares line through L·G(L) against L, L over `fit_range` times the largest L.

    Parameters
    ----------
    r, g : array_like
        Radii (any length unit) and the g(r) of the infinite system (finite-size corrected).
    fit_range : (float, float)
        The fitted range as fractions of the largest L.
    limit : float, optional
        The largest L: half the box edge. By default the largest tabulated radius.

    Raises
    ------
    ValueError
        Fewer than three tabulated radii in the range, or r and g of different lengths.
    """
    radius = np.asarray(r, dtype=np.float64)
    values = np.asarray(g, dtype=np.float64)
    if radius.shape != values.shape:
        raise ValueError(f"r and g have different lengths ({len(radius)} and {len(values)})")
    if len(radius) == 0 or not np.all(np.isfinite(values)):
        raise ValueError("g(r) is empty or has values that are not numbers")
    top = float(radius[-1]) if limit is None else min(float(radius[-1]), float(limit))
    lowest = min(fit_range[0], *(low for low, _ in KB_RANGES)) * top
    everything = radius[(radius >= lowest) & (radius <= top) & (radius > 0.0)]
    running_all = kirkwood_buff_running(radius, values, everything)

    def line(low: float, high: float) -> tuple[float, float, npt.NDArray[np.bool_]]:
        chosen = (everything >= low * top) & (everything <= high * top)
        if np.count_nonzero(chosen) < 3:
            raise ValueError(f"{np.count_nonzero(chosen)} tabulated radii between {low * top:g} and "
                             f"{high * top:g}: too few for the extrapolation of L·G(L)")
        slope, intercept = np.polyfit(everything[chosen], everything[chosen] * running_all[chosen], 1)
        return float(slope), float(intercept), chosen

    slope, intercept, chosen = line(*fit_range)
    lengths, running = everything[chosen], running_all[chosen]
    residual = float(np.sqrt(np.mean((lengths * running - (slope * lengths + intercept)) ** 2)) / np.mean(lengths))
    by_range = tuple(line(low, high)[0] for low, high in KB_RANGES)
    spread = 0.5 * (max(by_range) - min(by_range))
    thin = slice(None, None, max(len(radius) // 200, 1))
    curve_lengths = radius[(radius > 0.0) & (radius <= top)][thin]
    return KirkwoodBuff(slope, intercept, lengths, running, top, by_range, spread, residual,
                        (curve_lengths, kirkwood_buff_running(radius, values, curve_lengths)))


def thermodynamic_factor(density: float, x1: float, g11: float, g22: float, g12: float) -> float:
    """Γ = 1 / (1 + ρ x₁ x₂ (G₁₁ + G₂₂ − 2G₁₂)) of a binary mixture (ρ the total number density)."""
    denominator = 1.0 + density * x1 * (1.0 - x1) * (g11 + g22 - 2.0 * g12)
    return math.inf if denominator == 0.0 else 1.0 / denominator


def partial_volumes(densities: Sequence[float], g11: float, g22: float, g12: float) -> tuple[float, float]:
    """The partial molecular volumes V̄₁, V̄₂ of a binary mixture from its Kirkwood-Buff integrals.

    V̄₁ = (1 + ρ₂(G₂₂ − G₁₂))/η and V̄₂ = (1 + ρ₁(G₁₁ − G₁₂))/η with
    η = ρ₁ + ρ₂ + ρ₁ρ₂(G₁₁ + G₂₂ − 2G₁₂) (Ben-Naim 2006), in the inverse unit of
    the densities; ρ₁V̄₁ + ρ₂V̄₂ = 1.

    Raises
    ------
    ZeroDivisionError
        η = 0 (integrals that do not belong to a stable mixture).
    """
    rho1, rho2 = densities
    eta = rho1 + rho2 + rho1 * rho2 * (g11 + g22 - 2.0 * g12)
    return (1.0 + rho2 * (g22 - g12)) / eta, (1.0 + rho1 * (g11 - g12)) / eta
