"""Structure of a mixture from its radial distribution functions: shells, coordination, Kirkwood-Buff integrals.

The functions at the top work on plain arrays (r in any length unit, g(r)
dimensionless) and are what the tests check against analytic g(r). The derive
functions below them read a run's rdf.dat and give the registry's estimates in SI
units: lengths in m, Kirkwood-Buff integrals in m³ per molecule.

An rdf.dat holds, per pair, ``finiterdf__i_j``, the g(r) measured in the finite
box, and ``rdf__i_j``, the same with the finite-size correction of Ganguly and van
der Vegt already applied. The integrals are taken of the corrected one; a file
with only one kind is told apart by the closed-box sum rule (`rdf_correction`) and
corrected only when it holds the measured g(r). Kirkwood-Buff integrals follow the
finite-volume method of Krüger et al. (`kirkwood_buff`), up to half the box edge.
The thermodynamic factor and what else follows from the integrals of the two
components is in `mixture_thermodynamics`.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

import numpy as np
import numpy.typing as npt

from .kirkwood_buff import KB_FIT_RANGE, KirkwoodBuff, kirkwood_buff, kirkwood_buff_running, thermodynamic_factor
from .pair_structure import PairStructure, thinned
from .rdf_correction import box_sum_rule, ganguly_van_der_vegt
from .results import Needs, Source

if TYPE_CHECKING:
    from ..reading.files import Table
    from .results import Estimate
    from .transport import Run

__all__ = ["KB_FIT_RANGE", "PEAK_NEIGHBOURS", "Shell", "components", "coordination_number", "first_shell",
           "ganguly_van_der_vegt", "kirkwood_buff", "kirkwood_buff_running", "shells", "thermodynamic_factor"]

FloatArray = npt.NDArray[np.float64]

#: The least half-width of the smoothing and peak search, in samples.
PEAK_NEIGHBOURS: Final = 5

#: Half the width of the stretch of r over which g(r) is smoothed to find its extrema,
#: three times over, in metres: a first shell is some tenths of an ångström wide, the
#: noise of a histogram a bin or two (in reduced units, 0.1 σ).
PEAK_HALF_WIDTH: Final = 0.3e-10
PEAK_HALF_WIDTH_REDUCED: Final = 0.1

#: The least rise or fall of g(r) between a peak and a minimum that makes them extrema.
SHELL_CONTRAST: Final = 0.02

#: How many times the noise of the smoothed g(r) a shell's rise or fall must exceed.
NOISE_MARGIN: Final = 6.0

#: The spread of the excess coordination number ρ_j G_ij over the fit ranges above
#: which G(L) is taken as not converged.
KB_CONVERGENCE: Final = 0.1


@dataclass(frozen=True)
class Shell:
    """A coordination shell of a g(r).

    Attributes
    ----------
    peak : int
        Index of its peak.
    minimum : int or None
        Index of the minimum after it; None when g(r) has none in range.
    """

    peak: int
    minimum: int | None


def neighbours_for(r: npt.ArrayLike, half_width: float) -> int:
    """The samples in `half_width` of r (at least `PEAK_NEIGHBOURS`): the scale of the extrema search."""
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


def _thresholds(values: FloatArray, smooth: FloatArray, half: int) -> FloatArray:
    """The rise or fall that makes an extremum at each sample: `NOISE_MARGIN` times the noise left after smoothing.

    The noise is measured in the outer half of the table, where g(r) is smooth, and
    grows towards contact as 1/r (a histogram's shells near contact hold few pairs).
    """
    n = len(values)
    tail = (values - smooth)[n // 2:]
    # The median absolute deviation: a few wild samples (past half the box edge) do not count.
    spread = 1.4826 * float(np.median(np.abs(tail - np.median(tail)))) if len(tail) > 1 else 0.0
    noise = spread / math.sqrt(2 * half + 1)
    growth = np.minimum(0.75 * n / np.arange(1, n + 1), 10.0)
    return np.asarray(np.maximum(SHELL_CONTRAST, NOISE_MARGIN * noise * growth), dtype=np.float64)


def shells(g: npt.ArrayLike, neighbours: int = PEAK_NEIGHBOURS, count: int = 2) -> list[Shell]:
    """The first `count` coordination shells of g(r): each peak and the minimum after it.

    The walk starts where g first exceeds 0.1, past the excluded core, and follows
    g smoothed over a third of `neighbours` on each side: a maximum is a peak once g
    has fallen below it by more than the noise (at least `SHELL_CONTRAST`), a
    minimum once g has risen above it by as much. A peak is found whatever its
    width, a narrow hydrogen-bond peak at contact as a broad one; its index is
    then the highest sample near the smoothed maximum.
    """
    values = np.asarray(g, dtype=np.float64)
    half = max(neighbours // 3, 1)
    smooth = smoothed(values, half)
    rising = np.flatnonzero(smooth > 0.1)
    if len(rising) == 0:
        return []
    margin = _thresholds(values, smooth, half)
    light = smoothed(values, max(half // 3, 1))
    found: list[Shell] = []
    peak: int | None = None
    best = int(rising[0])
    for k in range(best, len(smooth)):
        v = smooth[k]
        if peak is None:
            if v > smooth[best]:
                best = k
            elif v < smooth[best] - margin[best]:
                low, high = max(best - half, 0), min(best + half + 1, len(values))
                peak, best = low + int(np.argmax(light[low:high])), k
        elif v < smooth[best]:
            best = k
        elif v > smooth[best] + margin[best]:
            found.append(Shell(peak, best))
            if len(found) == count:
                return found
            peak, best = None, k
    if peak is not None:
        found.append(Shell(peak, None))
    return found


def first_shell(g: npt.ArrayLike, neighbours: int = PEAK_NEIGHBOURS) -> Shell | None:
    """The first peak of g(r) and the first minimum after it (see `shells`); None when g has no peak."""
    found = shells(g, neighbours, 1)
    return found[0] if found else None


def coordination_number(r: npt.ArrayLike, g: npt.ArrayLike, density: float, r_max: float,
                        r_min: float = 0.0) -> float:
    """n = 4π ρ ∫_r_min^r_max g(r) r² dr (trapezoidal rule on the tabulated points, r_min ≤ r ≤ r_max).

    `density` is the number density of the neighbour species in the inverse cube of r's unit.
    """
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    inside = (radius <= r_max) & (radius >= r_min)
    return float(4.0 * math.pi * density * np.trapezoid(values[inside] * radius[inside] ** 2, radius[inside]))


def running_coordination(r: npt.ArrayLike, g: npt.ArrayLike, density: float) -> FloatArray:
    """n(r) at every tabulated r, for figures."""
    radius, values = np.asarray(r, dtype=np.float64), np.asarray(g, dtype=np.float64)
    integrand = values * radius**2
    steps = 0.5 * (integrand[1:] + integrand[:-1]) * np.diff(radius)
    return 4.0 * math.pi * density * np.concatenate(([0.0], np.cumsum(steps)))


# --- a run's pairs ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class PairIntegral:
    """The Kirkwood-Buff integral of one pair of a replica, or why there is none.

    Attributes
    ----------
    result : KirkwoodBuff or None
        In the run's length unit cubed.
    why, status : str
        Why there is no value (or why it is not converged) and the estimate's status.
    sources : tuple of Source
        Which column was integrated and how, the half box edge, the spread over
        the fit ranges and the straightness of L·G(L).
    """

    result: KirkwoodBuff | None
    why: str = ""
    status: str = "ok"
    sources: tuple[Source, ...] = ()
    needs: Needs | None = None


@dataclass(frozen=True)
class _Pair:
    label: str
    r: FloatArray
    g: FloatArray
    shells: list[Shell]
    density: float | None  # of the neighbour species, in the run's length unit to the −3
    integral: PairIntegral


def _columns(run: Run) -> dict[str, tuple[str | None, str | None]]:
    """(corrected column, finite-box column) of every pair of the rdf table, by pair label."""
    from .registry import Curves

    found: dict[str, tuple[str | None, str | None]] = {}
    for label, column in run.curves(Curves("rdf", "rdf__", "pair")):
        found[label] = (column, None)
    for label, column in run.curves(Curves("rdf", "finiterdf__", "pair")):
        found[label] = (found.get(label, (None, None))[0], column)
    return found


def _radius(table: Table) -> FloatArray:
    return table[next(iter(table))]


def _integral(run: Run, label: str, r: FloatArray, table: Table, corrected: str | None,
              finite: str | None) -> PairIntegral:
    """The pair's Kirkwood-Buff integral up to half the box edge, of its corrected g(r)."""
    volume = run.input("V")
    if volume.value is None:
        return PairIntegral(None, f"the half box edge, where the integral stops, needs the volume: {volume.why}",
                            "missing", needs=volume.needs)
    box = volume.value / run.units.volume
    limit = 0.5 * box ** (1.0 / 3.0)  # half the edge of a cube of the box's volume
    first, second = label.split("-", 1)
    count = run.input("N_i", second)
    neighbours = count.value
    column = corrected or finite
    assert column is not None
    g = table[column]
    checks: tuple[Source, ...] = ()
    if corrected is not None and finite is not None:
        how = f"{corrected}, corrected in the file"
        if neighbours is not None:  # shown: the measured column's sum rule, −δ_ij when the columns are as named
            try:
                rule = box_sum_rule(r, table[finite], neighbours, box, first == second, limit)
                checks = (Source("box_sum_rule", rule.box_integral, f"{finite}, −δ_ij expected"),)
            except ValueError:
                pass
    elif neighbours is None:
        return PairIntegral(None, f"only {column} in the file: telling whether it is corrected needs N_{second}: "
                            f"{count.why}", "missing", needs=count.needs)
    else:
        try:
            rule = box_sum_rule(r, g, neighbours, box, first == second, limit)
        except ValueError as error:
            return PairIntegral(None, f"{column}: {error}", "too few points")
        if rule.finite_box:
            g = ganguly_van_der_vegt(r, g, neighbours, box, first == second)
            how = f"{column}, measured in the box (sum rule {rule.box_integral:.3f}), corrected here"
        else:
            how = f"{column}, already corrected (no closed-box sum rule: {rule.box_integral:.3f})"
    try:
        result = kirkwood_buff(r, g, limit=limit)
    except ValueError as error:
        return PairIntegral(None, f"{column}: {error}", "too few points")
    length, cube = run.units.length, run.units.volume
    sources = (Source("L_max", limit * length, "half the box edge"),
               Source("G_range_spread", result.spread * cube, how),
               Source("LG_line_residual", result.residual * cube, "L·G(L) about its line"), *checks)
    if neighbours is not None and (neighbours / box) * result.spread > KB_CONVERGENCE:
        return PairIntegral(result, f"G(L) has not converged by L = {limit:.4g}: fitted over other ranges, "
                            f"G∞ moves by ±{result.spread:.3g} (ρ_j ΔG = {neighbours / box * result.spread:.3g} > "
                            f"{KB_CONVERGENCE})", "not converged", sources)
    return PairIntegral(result, sources=sources)


def _figure_curves(pair: _Pair) -> PairStructure:
    coordination = running_coordination(pair.r, pair.g, pair.density) if pair.density is not None else np.empty(0)
    result = pair.integral.result
    lengths, running = result.curve if result is not None else (np.empty(0), np.empty(0))
    return PairStructure(
        pair.label, thinned(pair.r), thinned(pair.g), thinned(coordination) if len(coordination) else coordination,
        tuple(float(pair.r[s.peak]) for s in pair.shells),
        tuple(float(pair.r[s.minimum]) for s in pair.shells if s.minimum is not None),
        thinned(lengths), thinned(running),
        None if result is None else (result.value, result.intercept),
        None if result is None else (float(result.lengths[0]), float(result.lengths[-1])))


def _scan(run: Run) -> dict[str, _Pair]:
    table = run.table("rdf")
    if table is None:
        return {}
    r = _radius(table)
    width = PEAK_HALF_WIDTH_REDUCED if run.units.reduced else PEAK_HALF_WIDTH / run.units.length
    neighbours = neighbours_for(r, width)
    volume = run.input("V")
    found: dict[str, _Pair] = {}
    for label, (corrected, finite) in _columns(run).items():
        column = corrected or finite
        assert column is not None
        g = table[column]
        count = run.input("N_i", label.split("-", 1)[1])
        density = (count.value / (volume.value / run.units.volume)
                   if count.value is not None and volume.value is not None else None)
        pair = _Pair(label, r, g, shells(g, neighbours), density, _integral(run, label, r, table, corrected, finite))
        found[label] = pair
        run.structure.append(_figure_curves(pair))
    return found


def pairs(run: Run) -> dict[str, _Pair]:
    """Every pair of the run's rdf.dat with its shells and integral, made once per replica."""
    found: dict[str, _Pair] = run.memo("rdf pairs", lambda: _scan(run))
    return found


def kirkwood_buff_integrals(run: Run) -> dict[str, PairIntegral]:
    """The Kirkwood-Buff integral of every pair of the run's rdf.dat, in its length unit cubed."""
    return {label: pair.integral for label, pair in pairs(run).items()}


# --- estimates of a run ----------------------------------------------------------------------------


def _shell_estimates(run: Run, quantity: str, which: int, part: str) -> Iterable[Estimate]:
    ordinal = ("first", "second")[which]
    for label, pair in pairs(run).items():
        shell = pair.shells[which] if len(pair.shells) > which else None
        if shell is None:
            yield run.missing(quantity, label, f"g(r) has no {ordinal} peak", None, status="no peak")
        elif part == "peak":
            yield run.value(quantity, label, float(pair.r[shell.peak]) * run.units.length)
        elif part == "height":
            yield run.value(quantity, label, float(pair.g[shell.peak]))
        elif shell.minimum is None:
            yield run.missing(quantity, label, f"g(r) has no minimum after its {ordinal} peak", None,
                              status="no minimum")
        else:
            yield run.value(quantity, label, float(pair.r[shell.minimum]) * run.units.length)


def first_peak(run: Run) -> Iterable[Estimate]:
    return _shell_estimates(run, "rdf_first_peak", 0, "peak")


def first_peak_height(run: Run) -> Iterable[Estimate]:
    return _shell_estimates(run, "rdf_first_peak_height", 0, "height")


def first_minimum(run: Run) -> Iterable[Estimate]:
    return _shell_estimates(run, "rdf_first_minimum", 0, "minimum")


def second_peak(run: Run) -> Iterable[Estimate]:
    return _shell_estimates(run, "rdf_second_peak", 1, "peak")


def second_minimum(run: Run) -> Iterable[Estimate]:
    return _shell_estimates(run, "rdf_second_minimum", 1, "minimum")


def _coordination(run: Run, quantity: str, which: int) -> Iterable[Estimate]:
    volume = run.input("V")
    ordinal = ("first", "second")[which]
    for label, pair in pairs(run).items():
        count = run.input("N_i", label.split("-", 1)[1])
        shell = pair.shells[which] if len(pair.shells) > which else None
        if shell is None or shell.minimum is None:
            yield run.missing(quantity, label, f"g(r) has no {ordinal} minimum", None, status="no minimum")
        elif pair.density is None:
            lacking = count if count.value is None else volume
            yield run.missing(quantity, label, lacking.why, lacking.needs)
        else:
            inner = float(pair.r[pair.shells[0].minimum]) if which and pair.shells[0].minimum is not None else 0.0
            yield run.value(quantity, label,
                            coordination_number(pair.r, pair.g, pair.density, float(pair.r[shell.minimum]), inner),
                            sources=run.sources(count, volume))


def coordination(run: Run) -> Iterable[Estimate]:
    return _coordination(run, "coordination_number", 0)


def coordination_second(run: Run) -> Iterable[Estimate]:
    return _coordination(run, "coordination_number_second", 1)


def kirkwood_buff_estimates(run: Run) -> Iterable[Estimate]:
    cube = run.units.volume
    for label, found in kirkwood_buff_integrals(run).items():
        if found.result is None or found.status != "ok":
            yield run.missing("kirkwood_buff", label, found.why, found.needs, status=found.status)
        else:
            yield run.value("kirkwood_buff", label, found.result.value * cube, sources=found.sources)


def excess_coordination(run: Run) -> Iterable[Estimate]:
    """ρ_j G_ij: the molecules of j around one of i beyond the bulk's share, for i-j and, unlike, j-i."""
    volume = run.input("V")
    for label, found in kirkwood_buff_integrals(run).items():
        first, second = label.split("-", 1)
        for around, neighbour in ((first, second), (second, first))[:1 if first == second else 2]:
            name = f"{around}-{neighbour}"
            count = run.input("N_i", neighbour)
            if found.result is None or found.status != "ok":
                yield run.missing("excess_coordination", name, found.why, found.needs, status=found.status)
            elif count.value is None or volume.value is None:
                lacking = count if count.value is None else volume
                yield run.missing("excess_coordination", name, lacking.why, lacking.needs)
            else:
                density = count.value / (volume.value / run.units.volume)
                yield run.value("excess_coordination", name, density * found.result.value,
                                sources=run.sources(count, volume))


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
