"""What the Kirkwood-Buff integrals of a binary mixture's two components give: Γ, its range, partial volumes.

Each component's integrals are those of its species weighted by their shares of
the component's molecules (a salt's ions taken together). Γ and the partial molar
volumes are computed with the integrals fitted over `KB_FIT_RANGE`; Γ is computed
again with the integrals of each of `KB_RANGES`, and half the spread of those is
the uncertainty that the choice of range leaves (`thermodynamic_factor_range`). A
Γ that moves by more than `GAMMA_RANGE_TOLERANCE` of itself has no converged
integrals behind it and gets the status "not converged".
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

from .kirkwood_buff import partial_volumes, thermodynamic_factor
from .results import Source
from .structure import components, kirkwood_buff_integrals

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["GAMMA_RANGE_TOLERANCE"]

#: The relative half-spread of Γ over the fit ranges above which it is not converged.
GAMMA_RANGE_TOLERANCE: Final = 0.1

_AVOGADRO: Final = 6.02214076e23


@dataclass(frozen=True)
class _Binary:
    names: tuple[str, str]
    counts: tuple[float, float]
    volume: float  # in the run's length unit cubed
    main: tuple[float, float, float]  # G11, G22, G12 in the run's length unit cubed
    by_range: tuple[tuple[float, float, float], ...]
    sources: tuple[Source, ...]

    @property
    def density(self) -> float:
        return (self.counts[0] + self.counts[1]) / self.volume

    @property
    def x1(self) -> float:
        return self.counts[0] / (self.counts[0] + self.counts[1])

    def gamma(self, integrals: tuple[float, float, float]) -> float:
        return thermodynamic_factor(self.density, self.x1, *integrals)


def _binary(run: Run) -> tuple[_Binary | None, str, str]:
    """The two components' integrals, or why there are none, and the status to give."""
    found, why = components(run)
    if not found:
        return None, why, "not binary"
    counts = {s: run.input("N_i", s) for s in run.species()}
    volume = run.input("V")
    lacking = next((i for i in (*counts.values(), volume) if i.value is None), None)
    if lacking is not None:
        return None, lacking.why, "missing"
    assert volume.value is not None
    integrals = kirkwood_buff_integrals(run)
    order = {s: k for k, s in enumerate(run.species())}

    def integral(a: str, b: str) -> list[float] | tuple[str, str]:
        key = "-".join(sorted((a, b), key=lambda s: order.get(s, len(order))))
        pair = integrals.get(key)
        if pair is None:
            return f"no g(r) of {key}", "missing"
        if pair.result is None or pair.status != "ok":
            return f"Kirkwood-Buff integral {key}: {pair.why}", pair.status
        return [pair.result.value, *pair.result.by_range]

    # Within a component, each species weighs as its share of the component's molecules.
    shares = []
    for _, members in found:
        molecules = sum(counts[s].value or 0.0 for s in members)
        shares.append({s: (counts[s].value or 0.0) / molecules for s in members})
    combined: list[list[float]] = []
    for first, second in ((shares[0], shares[0]), (shares[1], shares[1]), (shares[0], shares[1])):
        summed: list[float] | None = None
        for a, wa in first.items():
            for b, wb in second.items():
                values = integral(a, b)
                if isinstance(values, tuple):
                    return None, *values
                weighted = [wa * wb * v for v in values]
                summed = weighted if summed is None else [t + w for t, w in zip(summed, weighted)]
        assert summed is not None
        combined.append(summed)
    g11, g22, g12 = combined
    n = tuple(sum(counts[s].value or 0.0 for s in members) for _, members in found)
    return _Binary((found[0][0], found[1][0]), (n[0], n[1]), volume.value / run.units.volume,
                   (g11[0], g22[0], g12[0]), tuple(zip(g11[1:], g22[1:], g12[1:])),
                   run.sources(*counts.values(), volume)), "", "ok"


def _made(run: Run) -> tuple[_Binary | None, str, str]:
    made: tuple[_Binary | None, str, str] = run.memo("binary integrals", lambda: _binary(run))
    return made


def _gamma_range(binary: _Binary) -> tuple[float, float]:
    """Γ over `KB_FIT_RANGE` and half the spread of Γ over the other fit ranges."""
    value = binary.gamma(binary.main)
    others = [binary.gamma(integrals) for integrals in binary.by_range]
    return value, 0.5 * (max(others) - min(others)) if others else 0.0


def thermodynamic_factor_estimates(run: Run) -> Iterable[Estimate]:
    if run.table("rdf") is None:
        return
    binary, why, status = _made(run)
    if binary is None:
        yield run.missing("thermodynamic_factor", "", why, None, status=status)
        return
    value, spread = _gamma_range(binary)
    if not (math.isfinite(value) and value > 0.0):
        yield run.missing("thermodynamic_factor", "", f"Γ = {value:g} is not positive and finite: the "
                          "Kirkwood-Buff integrals are not converged", None, status="unphysical")
        return
    if not (math.isfinite(spread) and spread <= GAMMA_RANGE_TOLERANCE * value):
        yield run.missing("thermodynamic_factor", "", f"Γ = {value:.4g} moves by ±{spread:.3g} between fit ranges "
                          f"of L·G(L) (more than {GAMMA_RANGE_TOLERANCE:.0%}): G(L) has not converged", None,
                          status="not converged")
        return
    yield run.value("thermodynamic_factor", "", value,
                    sources=(*binary.sources, Source("Gamma_range_spread", spread, "fit ranges of L·G(L)")))


def thermodynamic_factor_range(run: Run) -> Iterable[Estimate]:
    """Half the spread of Γ when L·G(L) is fitted over other reasonable ranges."""
    if run.table("rdf") is None:
        return
    binary, why, status = _made(run)
    if binary is None:
        yield run.missing("thermodynamic_factor_range", "", why, None, status=status)
        return
    value, spread = _gamma_range(binary)
    if not math.isfinite(spread):
        yield run.missing("thermodynamic_factor_range", "", f"Γ = {value:g} over one of the ranges", None,
                          status="unphysical")
        return
    yield run.value("thermodynamic_factor_range", "", spread)


def partial_molar_volume(run: Run) -> Iterable[Estimate]:
    """The partial molar volume of each component (a salt's: per mole of its ions), in m³/mol."""
    if run.table("rdf") is None:
        return
    binary, why, status = _made(run)
    if binary is None:
        if status != "not binary":
            yield run.missing("partial_molar_volume", "", why, None, status=status)
        return
    densities = [n / binary.volume for n in binary.counts]
    try:
        volumes = partial_volumes(densities, *binary.main)
    except ZeroDivisionError:
        volumes = (math.inf, math.inf)
    molar = 1.0 if run.units.reduced else run.units.volume * _AVOGADRO  # reduced: per molecule, in σ³
    for name, volume in zip(binary.names, volumes):
        if not math.isfinite(volume):
            yield run.missing("partial_molar_volume", name, "the Kirkwood-Buff integrals give no finite volume",
                              None, status="unphysical")
        else:
            yield run.value("partial_molar_volume", name, volume * molar, sources=binary.sources)
