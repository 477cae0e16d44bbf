"""Which g(r) of an rdf.dat is the one measured in the finite box, and its finite-size correction.

In a closed box of N_j molecules, the g_ij(r) measured there obeys the sum rule
ρ_j ∫_box (g_ij − 1) dV = −δ_ij: the molecules around one molecule are the box's
others. Its running excess ΔN(R) = ρ_j ∫₀ᴿ 4πr² (g − 1) dr therefore keeps falling
with the sphere's volume v(R) once the short-range structure has died out,
ΔN(R) ≈ ρ_j G∞ − (ρ_j G∞ + δ_ij) v(R)/V, and reaches −δ_ij at v = V. The g(r)
corrected after Ganguly and van der Vegt (J. Chem. Theory Comput. 9, 1347 (2013))
stands for the infinite system: its ΔN(R) levels off at ρ_j G∞. A straight line
through ΔN against v/V over the outer radii tells the two apart, so a column of
unknown kind is corrected only when it is the raw one, and only once.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["SumRule", "box_sum_rule", "ganguly_van_der_vegt", "running_excess"]

FloatArray = npt.NDArray[np.float64]

#: The fractions of the largest radius integrated over which ΔN(R) is fitted.
SUM_RULE_RANGE = (0.5, 1.0)


def running_excess(r: npt.ArrayLike, g: npt.ArrayLike, density: float) -> FloatArray:
    """ΔN(R) = ρ ∫₀ᴿ 4πr² (g − 1) dr at every tabulated R (trapezoidal rule), ρ in r's unit to the −3."""
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    integrand = 4.0 * math.pi * radius**2 * (values - 1.0)
    steps = 0.5 * (integrand[1:] + integrand[:-1]) * np.diff(radius)
    return np.asarray(density * np.concatenate(([0.0], np.cumsum(steps))), dtype=np.float64)


def ganguly_van_der_vegt(r: npt.ArrayLike, g: npt.ArrayLike, neighbours: float, volume: float,
                         same: bool) -> FloatArray:
    """g(r) corrected for the finite number of molecules in the box.

    g_c(r) = g(r) · N_j (1 − v(r)/V) / (N_j (1 − v(r)/V) − ΔN_ij(r) − δ_ij), with
    v(r) = 4πr³/3 and ΔN_ij(r) = (N_j/V) ∫₀ʳ 4πs² (g(s) − 1) ds the excess of j
    molecules around an i molecule (Ganguly and van der Vegt 2013).

    Parameters
    ----------
    r, g : array_like
        Radii (any length unit) and the g(r) measured in the box.
    neighbours : float
        N_j, the molecules of the neighbour species in the box.
    volume : float
        The box volume in r's unit cubed.
    same : bool
        Whether i and j are one species (δ_ij = 1).
    """
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    excess = running_excess(radius, values, neighbours / volume)
    outside = neighbours * (1.0 - 4.0 * math.pi * radius**3 / 3.0 / volume)
    return np.asarray(values * outside / (outside - excess - (1.0 if same else 0.0)), dtype=np.float64)


@dataclass(frozen=True)
class SumRule:
    """The closed-box sum rule of a g(r): the line ΔN(R) = a + b v(R)/V through its outer radii.

    Attributes
    ----------
    box_integral : float
        a + b, ρ_j ∫ (g − 1) dV extrapolated to the whole box: −δ_ij for a g(r)
        measured in the box, ρ_j G∞ for a corrected one.
    slope : float
        b: −(ρ_j G∞ + δ_ij) for a g(r) measured in the box, 0 for a corrected one.
    finite_box : bool
        Whether the line is nearer the measured g(r)'s than the corrected one's.
    """

    box_integral: float
    slope: float
    finite_box: bool


def box_sum_rule(r: npt.ArrayLike, g: npt.ArrayLike, neighbours: float, volume: float, same: bool,
                 limit: float | None = None) -> SumRule:
    """Whether a g(r) is the one measured in the box (it obeys the sum rule) or a corrected one.

    Parameters
    ----------
    r, g : array_like
        Radii (any length unit) and g(r).
    neighbours : float
        N_j, the molecules of the neighbour species in the box.
    volume : float
        The box volume in r's unit cubed.
    same : bool
        Whether i and j are one species.
    limit : float, optional
        The largest radius to use (half the box edge); by default the largest tabulated.

    Raises
    ------
    ValueError
        Fewer than three tabulated radii in the outer range.
    """
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    top = float(radius[-1]) if limit is None else min(float(radius[-1]), limit)
    excess = running_excess(radius, values, neighbours / volume)
    outer = (radius >= SUM_RULE_RANGE[0] * top) & (radius <= SUM_RULE_RANGE[1] * top)
    if np.count_nonzero(outer) < 3:
        raise ValueError(f"{np.count_nonzero(outer)} tabulated radii below {top:g}: too few for the sum rule")
    share = 4.0 * math.pi * radius[outer] ** 3 / 3.0 / volume
    slope, intercept = np.polyfit(share, excess[outer], 1)
    delta = 1.0 if same else 0.0
    # A measured g(r) has b = −(a + δ), a corrected one b = 0: whichever b is nearer.
    finite = abs(slope + intercept + delta) < abs(slope)
    return SumRule(float(intercept + slope), float(slope), bool(finite))
