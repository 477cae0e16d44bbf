"""Structure of a mixture from its radial distribution functions: peaks, shells, Kirkwood-Buff integrals, Γ.

The functions at the top work on plain arrays (r in any length unit, g(r)
dimensionless) and are what the tests check against analytic g(r). The derive
functions below them read a run's rdf.dat and give the registry's estimates in SI
units: lengths in m, Kirkwood-Buff integrals in m³ per molecule.

Kirkwood-Buff integrals follow the finite-volume method of Krüger et al., J. Phys.
Chem. Lett. 4, 235 (2013): the integral over a sphere of diameter L with the weight
w(x) = 1 − 3x/2 + x³/2 tends to G∞ + α/L, so L·G(L) is a straight line in L whose
slope is G∞. The line is fitted over the outer half of the tabulated radii
(`KB_FIT_RANGE`), where the short-range structure has died out. A file without
finite-size corrected columns gets the correction of Ganguly and van der Vegt,
J. Chem. Theory Comput. 9, 1347 (2013), before the integration.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

import numpy as np
import numpy.typing as npt

import _quor_pp

if TYPE_CHECKING:
    from ..reading.files import Table
    from .results import Estimate
    from .transport import Run

__all__ = ["KB_FIT_RANGE", "PEAK_NEIGHBOURS", "Shell", "coordination_number", "first_shell",
           "ganguly_van_der_vegt", "kirkwood_buff", "kirkwood_buff_running", "thermodynamic_factor"]

FloatArray = npt.NDArray[np.float64]

#: Least samples on each side that a peak must exceed.
PEAK_NEIGHBOURS: Final = 5

#: Half the width of the stretch of r that a peak or minimum must dominate, in metres:
#: a first shell is some tenths of an ångström wide, the noise of a histogram a bin
#: or two (in reduced units, 0.1 σ).
PEAK_HALF_WIDTH: Final = 0.3e-10
PEAK_HALF_WIDTH_REDUCED: Final = 0.1


#: The fractions of the largest tabulated radius between which L·G(L) is fitted.
KB_FIT_RANGE: Final = (0.5, 1.0)


@dataclass(frozen=True)
class Shell:
    """The first coordination shell of a g(r).

    Attributes
    ----------
    peak : int
        Index of the first peak.
    minimum : int or None
        Index of the first minimum after it; None when g(r) has none in range.
    """

    peak: int
    minimum: int | None


def _is_peak(values: FloatArray, index: int, neighbours: int) -> bool:
    if index - neighbours < 0 or index + neighbours >= len(values):
        return False
    centre = values[index]
    return all(centre > values[index - k] and centre > values[index + k] for k in range(1, neighbours + 1))


def _find_peak(values: FloatArray, start: int, neighbours: int) -> int | None:
    """The first peak at or after `start`; the native finder's fallback index is checked, not trusted."""
    index = int(_quor_pp.local_maximum_finder(values, start, neighbours))
    return index if _is_peak(values, index, neighbours) else None


def neighbours_for(r: npt.ArrayLike, half_width: float) -> int:
    """The neighbour count of the peak search: the samples in `half_width` of r (at least `PEAK_NEIGHBOURS`)."""
    radius = np.asarray(r, dtype=np.float64)
    if len(radius) < 2:
        return PEAK_NEIGHBOURS
    step = float(np.median(np.diff(radius)))
    return max(PEAK_NEIGHBOURS, round(half_width / step)) if step > 0.0 else PEAK_NEIGHBOURS


def smoothed(g: npt.ArrayLike, half: int) -> FloatArray:
    """g averaged over 2·half + 1 samples (shorter windows at the ends), to locate extrema in noise."""
    values = np.asarray(g, dtype=np.float64)
    if half < 1 or len(values) == 0:
        return values
    sums = np.concatenate(([0.0], np.cumsum(values)))
    index = np.arange(len(values))
    low, high = np.maximum(index - half, 0), np.minimum(index + half + 1, len(values))
    return np.asarray((sums[high] - sums[low]) / (high - low), dtype=np.float64)


def first_shell(g: npt.ArrayLike, neighbours: int = PEAK_NEIGHBOURS) -> Shell | None:
    """The first peak of g(r) and the first minimum after it; None when g has no peak.

    The extrema are sought on g averaged over a third of `neighbours` on each side,
    and must exceed `neighbours` samples on each side; the search starts where g
    first exceeds 0.1, past the excluded core (whose noise of a few counts would
    otherwise make peaks).
    """
    values = smoothed(g, neighbours // 3)
    rising = np.flatnonzero(values > 0.1)
    if len(rising) == 0:
        return None
    peak = _find_peak(values, int(rising[0]), neighbours)
    if peak is None:
        return None
    minimum = _find_peak(-values, peak, neighbours)
    return Shell(peak, minimum)


def coordination_number(r: npt.ArrayLike, g: npt.ArrayLike, density: float, r_max: float) -> float:
    """n = 4π ρ ∫₀^r_max g(r) r² dr (trapezoidal rule on the tabulated points, r ≤ r_max).

    `density` is the number density of the neighbour species in the inverse cube of r's unit.
    """
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    inside = radius <= r_max
    return float(4.0 * math.pi * density * np.trapezoid(values[inside] * radius[inside] ** 2, radius[inside]))


def running_coordination(r: npt.ArrayLike, g: npt.ArrayLike, density: float) -> FloatArray:
    """n(r) at every tabulated r, for figures."""
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    integrand = values * radius**2
    steps = 0.5 * (integrand[1:] + integrand[:-1]) * np.diff(radius)
    return 4.0 * math.pi * density * np.concatenate(([0.0], np.cumsum(steps)))


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
        G∞, the slope of L·G(L) against L, in r's unit cubed.
    intercept : float
        The line's intercept α.
    lengths, running : ndarray
        L and G(L) over the fitted range.
    """

    value: float
    intercept: float
    lengths: FloatArray
    running: FloatArray


def kirkwood_buff(r: npt.ArrayLike, g: npt.ArrayLike,
                  fit_range: tuple[float, float] = KB_FIT_RANGE) -> KirkwoodBuff:
    """G∞ by a least-squares line through L·G(L) against L, L over `fit_range` times the largest r.

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
    low, high = fit_range[0] * radius[-1], fit_range[1] * radius[-1]
    lengths = radius[(radius >= low) & (radius <= high) & (radius > 0.0)]
    if len(lengths) < 3:
        raise ValueError(f"{len(lengths)} tabulated radii between {low:g} and {high:g}: too few for the "
                         "extrapolation of L·G(L)")
    running = kirkwood_buff_running(radius, values, lengths)
    slope, intercept = np.polyfit(lengths, lengths * running, 1)
    return KirkwoodBuff(float(slope), float(intercept), lengths, running)


def ganguly_van_der_vegt(r: npt.ArrayLike, g: npt.ArrayLike, neighbours: float, volume: float,
                         same: bool) -> FloatArray:
    """g(r) corrected for the finite number of molecules in the box.

    g_c(r) = g(r) · N_j (1 − v(r)/V) / (N_j (1 − v(r)/V) − ΔN_ij(r) − δ_ij), with
    v(r) = 4πr³/3 and ΔN_ij(r) = (N_j/V) ∫₀ʳ 4πs² (g(s) − 1) ds the excess of j
    molecules around an i molecule (Ganguly and van der Vegt 2013).
    """
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    density = neighbours / volume
    integrand = 4.0 * math.pi * radius**2 * (values - 1.0)
    excess = density * np.concatenate(([0.0], np.cumsum(0.5 * (integrand[1:] + integrand[:-1]) * np.diff(radius))))
    outside = neighbours * (1.0 - 4.0 * math.pi * radius**3 / 3.0 / volume)
    return np.asarray(values * outside / (outside - excess - (1.0 if same else 0.0)), dtype=np.float64)


def thermodynamic_factor(density: float, x1: float, g11: float, g22: float, g12: float) -> float:
    """Γ = 1 / (1 + ρ x₁ x₂ (G₁₁ + G₂₂ − 2G₁₂)) of a binary mixture (ρ the total number density)."""
    denominator = 1.0 + density * x1 * (1.0 - x1) * (g11 + g22 - 2.0 * g12)
    return math.inf if denominator == 0.0 else 1.0 / denominator


# --- estimates of a run ----------------------------------------------------------------------------


def _pairs(run: Run) -> list[tuple[str, str, str, bool]]:
    """(pair label, raw column, column to integrate, whether it is finite-size corrected) of the rdf table."""
    from .registry import Curves

    table = run.table("rdf")
    if table is None:
        return []
    found = []
    for label, column in run.curves(Curves("rdf", "rdf__", "pair")):
        corrected = "finite" + column
        if corrected not in table:  # the column may name the pair in the other order
            first, second = label.split("-", 1)
            for name in (f"finiterdf__{first}_{second}", f"finiterdf__{second}_{first}"):
                if name in table:
                    corrected = name
        found.append((label, column, corrected if corrected in table else column, corrected in table))
    return found


def _radius(table: Table) -> FloatArray:
    return table[next(iter(table))]


def _shells(run: Run) -> dict[str, tuple[FloatArray, FloatArray, Shell | None]]:
    table = run.table("rdf")
    shells = {}
    if table is not None:
        for label, column, _, _ in _pairs(run):
            r = _radius(table)
            width = PEAK_HALF_WIDTH_REDUCED if run.units.reduced else PEAK_HALF_WIDTH / run.units.length
            shells[label] = (r, table[column], first_shell(table[column], neighbours_for(r, width)))
    return shells


def first_peak(run: Run) -> Iterable[Estimate]:
    for label, (r, _, shell) in _shells(run).items():
        if shell is None:
            yield run.missing("rdf_first_peak", label, "g(r) has no peak", None, status="no peak")
        else:
            yield run.value("rdf_first_peak", label, float(r[shell.peak]) * run.units.length)


def first_peak_height(run: Run) -> Iterable[Estimate]:
    for label, (_, g, shell) in _shells(run).items():
        if shell is None:
            yield run.missing("rdf_first_peak_height", label, "g(r) has no peak", None, status="no peak")
        else:
            yield run.value("rdf_first_peak_height", label, float(g[shell.peak]))


def first_minimum(run: Run) -> Iterable[Estimate]:
    for label, (r, _, shell) in _shells(run).items():
        if shell is None or shell.minimum is None:
            yield run.missing("rdf_first_minimum", label, "g(r) has no minimum after its first peak", None,
                              status="no minimum")
        else:
            yield run.value("rdf_first_minimum", label, float(r[shell.minimum]) * run.units.length)


def coordination(run: Run) -> Iterable[Estimate]:
    volume = run.input("V")
    for label, (r, g, shell) in _shells(run).items():
        neighbour = label.split("-", 1)[1]
        count = run.input("N_i", neighbour)
        if shell is None or shell.minimum is None:
            yield run.missing("coordination_number", label, "g(r) has no first minimum", None,
                              status="no minimum")
        elif count.value is None or volume.value is None:
            lacking = count if count.value is None else volume
            yield run.missing("coordination_number", label, lacking.why, lacking.needs)
        else:
            density = count.value / (volume.value / run.units.volume)
            yield run.value("coordination_number", label,
                            coordination_number(r, g, density, float(r[shell.minimum])),
                            sources=run.sources(count, volume))


def kirkwood_buff_integrals(run: Run) -> dict[str, tuple[KirkwoodBuff | None, str]]:
    """G∞ of every pair of the run's rdf.dat in the run's length unit cubed, or why there is none."""
    table = run.table("rdf")
    found: dict[str, tuple[KirkwoodBuff | None, str]] = {}
    if table is None:
        return found
    volume = run.input("V")
    r = _radius(table)
    for label, _, column, corrected in _pairs(run):
        g = table[column]
        if not corrected:
            first, second = label.split("-", 1)
            count = run.input("N_i", second)
            if count.value is None or volume.value is None:
                found[label] = (None, (count if count.value is None else volume).why)
                continue
            g = ganguly_van_der_vegt(r, g, count.value, volume.value / run.units.volume, first == second)
        try:
            found[label] = (kirkwood_buff(r, g), "")
        except ValueError as error:
            found[label] = (None, str(error))
    return found


def kirkwood_buff_estimates(run: Run) -> Iterable[Estimate]:
    cube = run.units.volume
    for label, (result, why) in kirkwood_buff_integrals(run).items():
        if result is None:
            yield run.missing("kirkwood_buff", label, why, None)
        else:
            yield run.value("kirkwood_buff", label, result.value * cube)


def components(run: Run) -> tuple[list[tuple[str, tuple[str, ...]]], str]:
    """The two components of the mixture as (name, species), or why there are not two.

    Two species are the two components. A neutral species and two ions of opposite
    charge are water and a salt whose ions are not told apart (Weerasinghe and Smith,
    J. Chem. Phys. 118, 10663 (2003)); the salt is named by its ions ("NaCl").
    """
    species = run.species()
    if len(species) == 2:
        return [(s, (s,)) for s in species], ""
    charges = dict(run.settings.charges)
    ions = [s for s in species if s in charges]
    neutral = [s for s in species if s not in charges]
    if len(species) == 3 and len(ions) == 2 and len(neutral) == 1 and charges[ions[0]] * charges[ions[1]] < 0:
        return [(neutral[0], (neutral[0],)), ("".join(ions), tuple(ions))], ""
    return [], (f"{len(species)} species ({', '.join(species)}): Γ is defined here for two components, or a "
                "neutral solvent and two ions of opposite charge (give --charge)")


def thermodynamic_factor_estimates(run: Run) -> Iterable[Estimate]:
    if run.table("rdf") is None:
        return
    found, why = components(run)
    if not found:
        yield run.missing("thermodynamic_factor", "", why, None, status="not binary")
        return
    counts = {s: run.input("N_i", s) for s in run.species()}
    volume = run.input("V")
    lacking = next((i for i in (*counts.values(), volume) if i.value is None), None)
    if lacking is not None:
        yield run.missing("thermodynamic_factor", "", lacking.why, lacking.needs)
        return
    # Within a component, each species weighs as its share of the component's molecules.
    shares = []
    for _, members in found:
        total = sum(counts[s].value or 0.0 for s in members)
        shares.append({s: (counts[s].value or 0.0) / total for s in members})
    integrals = kirkwood_buff_integrals(run)
    order = {s: k for k, s in enumerate(run.species())}

    def g(a: str, b: str) -> float | None:
        key = "-".join(sorted((a, b), key=lambda s: order.get(s, len(order))))
        result = integrals.get(key, (None, ""))[0]
        return None if result is None else result.value

    def combined(first: dict[str, float], second: dict[str, float]) -> float | None:
        total = 0.0
        for a, wa in first.items():
            for b, wb in second.items():
                value = g(a, b)
                if value is None:
                    return None
                total += wa * wb * value
        return total

    one, two = shares
    g11, g22, g12 = combined(one, one), combined(two, two), combined(one, two)
    if g11 is None or g22 is None or g12 is None:
        yield run.missing("thermodynamic_factor", "", "a Kirkwood-Buff integral of the mixture is missing", None)
        return
    n1 = sum(counts[s].value or 0.0 for s in one)
    n2 = sum(counts[s].value or 0.0 for s in two)
    assert volume.value is not None
    density = (n1 + n2) / (volume.value / run.units.volume)
    value = thermodynamic_factor(density, n1 / (n1 + n2), g11, g22, g12)
    if not (math.isfinite(value) and value > 0.0):
        yield run.missing("thermodynamic_factor", "", f"Γ = {value:g} is not positive and finite: the "
                          "Kirkwood-Buff integrals are not converged", None, status="unphysical")
        return
    yield run.value("thermodynamic_factor", "", value, sources=run.sources(*counts.values(), volume))
