"""Collective diffusion of mixtures and electrolytes from the Onsager coefficients of a run.

Every Onsager coefficient Λ_ij = lim (1/6N) d/dt ⟨Σ_k Δr_ik · Σ_l Δr_jl⟩ is taken in
the frame of the simulation box, whose total momentum is zero: the barycentric
(centre-of-mass) frame. Maxwell-Stefan diffusivities do not depend on the frame;
transference numbers do, and are given in this barycentric frame.

Each derived value is also given as a function of its inputs (`pooled_*`), which
the report applies to the inputs' means over the replicas and, leaving out one
replica at a time, to a jackknife estimate of its error: a ratio of means is not
the mean of ratios.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from .registry import YEH_HUMMER_XI
from .results import Source
from .structure import components

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["binary_maxwell_stefan", "maxwell_stefan_matrix", "transference_numbers"]


def binary_maxwell_stefan(x1: float, l11: float, l22: float, l12: float) -> float:
    """Đ = (x₂/x₁)Λ₁₁ + (x₁/x₂)Λ₂₂ − 2Λ₁₂ (Krishna and van Baten, Ind. Eng. Chem. Res. 44, 6939 (2005))."""
    x2 = 1.0 - x1
    return (x2 / x1) * l11 + (x1 / x2) * l22 - 2.0 * l12


def maxwell_stefan_matrix(fractions: Sequence[float], onsager: np.ndarray) -> np.ndarray:
    """Đ_ij of every pair of n ≥ 2 species from the n × n Onsager matrix (NaN on the diagonal).

    Krishna and van Baten (2005): with the last species n as reference,
    Δ_ij = (1 − x_i)(Λ_ij/x_j − Λ_in/x_n) − x_i Σ_{k≠i} (Λ_kj/x_j − Λ_kn/x_n) for
    i, j < n, and B = Δ⁻¹ holds the inverse diffusivities:
    B_ii = x_i/Đ_in + Σ_{j≠i} x_j/Đ_ij and B_ij = −x_i (1/Đ_ij − 1/Đ_in). For two
    species this is the binary formula. Đ_ij of i, j < n is taken from row i (the
    matrix of noisy data is not exactly symmetric), Đ_ji is set equal to it.

    Raises
    ------
    ValueError
        Fewer than two species, a fraction that is not positive, or a singular Δ.
    """
    x = np.asarray(fractions, dtype=np.float64)
    lam = np.asarray(onsager, dtype=np.float64)
    n = len(x)
    if n < 2 or lam.shape != (n, n):
        raise ValueError(f"{n} mole fractions and an Onsager matrix of shape {lam.shape}: need n ≥ 2 and n × n")
    if not np.all(x > 0.0):
        raise ValueError("every mole fraction must be positive")
    m = n - 1
    # Element by element in Python floats: the same IEEE arithmetic as NumPy's scalars,
    # without their cost (a report evaluates this once per replica left out).
    xs: list[float] = x.tolist()
    ls: list[list[float]] = lam.tolist()
    delta = [[0.0] * m for _ in range(m)]
    for i in range(m):
        for j in range(m):
            own = (1.0 - xs[i]) * (ls[i][j] / xs[j] - ls[i][m] / xs[m])
            others = sum(ls[k][j] / xs[j] - ls[k][m] / xs[m] for k in range(n) if k != i)
            delta[i][j] = own - xs[i] * others
    try:
        b: list[list[float]] = np.linalg.inv(np.array(delta)).tolist()
    except np.linalg.LinAlgError:
        raise ValueError("the Onsager matrix gives a singular Δ") from None
    result = [[math.nan] * n for _ in range(n)]
    for i in range(m):
        inverse_reference = b[i][i] + sum(xs[j] * b[i][j] for j in range(m) if j != i) / xs[i]
        result[i][m] = result[m][i] = 1.0 / inverse_reference
        for j in range(i + 1, m):
            result[i][j] = result[j][i] = 1.0 / (inverse_reference - b[i][j] / xs[i])
    return np.array(result)


def transference_numbers(charges: Sequence[float], onsager: np.ndarray) -> np.ndarray:
    """t_i = q_i Σ_j q_j Λ_ij / Σ_kj q_k q_j Λ_kj of each ion, in the frame of Λ."""
    q = np.asarray(charges, dtype=np.float64)
    lam = np.asarray(onsager, dtype=np.float64)
    parts = q * (lam @ q)
    return np.asarray(parts / parts.sum(), dtype=np.float64)


# --- the inputs of a run ----------------------------------------------------------------------------


def _onsager(run: Run) -> tuple[dict[tuple[str, str], float], str]:
    values: dict[tuple[str, str], float] = {}
    for estimate in run.estimates("onsager"):
        if estimate.value is None:
            return {}, f"Onsager coefficient {estimate.species}: {estimate.message}"
        first, second = estimate.species.split("-", 1)
        values[(first, second)] = values[(second, first)] = estimate.value
    if not values:
        return {}, f"no Onsager coefficients ({run.settings.files.diffonsag[0]})"
    return values, ""


def _fractions(run: Run, species: Sequence[str]) -> tuple[dict[str, float], str]:
    counts = {s: run.input("N_i", s) for s in species}
    lacking = next((c for c in counts.values() if c.value is None), None)
    if lacking is not None:
        return {}, lacking.why
    total = sum(c.value or 0.0 for c in counts.values())
    return {s: (c.value or 0.0) / total for s, c in counts.items()}, ""


def _sources(onsager: Mapping[tuple[str, str], float], fractions: Mapping[str, float]) -> tuple[Source, ...]:
    order = list(fractions)
    found = [Source(f"x_{s}", fractions[s], "molecule counts") for s in order]
    for i, a in enumerate(order):
        for b in order[i:]:
            found.append(Source(f"L_{a}-{b}", onsager[(a, b)], "onsager"))
    return tuple(found)


def _matrix(sources: Mapping[str, float]) -> tuple[list[str], list[float], np.ndarray]:
    order = [name[2:] for name in sources if name.startswith("x_")]
    lam = np.empty((len(order), len(order)))
    for i, a in enumerate(order):
        for j, b in enumerate(order):
            key = f"L_{a}-{b}" if i <= j else f"L_{b}-{a}"
            lam[i, j] = sources[key]
    return order, [sources[f"x_{s}"] for s in order], lam


def _binary(sources: Mapping[str, float]) -> float:
    """Đ of the two components of a run (species, or a salt's ions taken together) from pooled sources."""
    weights = {name[2:]: value for name, value in sources.items() if name.startswith("w_")}
    order, x, lam = _matrix(sources)
    rows = [[weights.get(f"{c}:{s}", 0.0) for s in order] for c in ("1", "2")]
    w = np.asarray(rows)
    lam_c = w @ lam @ w.T
    x1 = float(w[0] @ np.asarray(x))
    return binary_maxwell_stefan(x1, float(lam_c[0, 0]), float(lam_c[1, 1]), float(lam_c[0, 1]))


def pooled_pair(species: str, sources: Mapping[str, float]) -> float:
    """Đ of a pair of species (or of the two components) from the replicas' mean inputs."""
    if any(name.startswith("w_") for name in sources):
        return _binary(sources)
    order, matrix = _pooled_matrix(sources)
    first, second = species.split("-", 1)
    return float(matrix[order.index(first), order.index(second)])


# The matrix of the last inputs: a report asks for every pair of one set of inputs in turn.
_last_matrix: tuple[Mapping[str, float], tuple[tuple[str, float], ...], list[str], np.ndarray] | None = None


def _pooled_matrix(sources: Mapping[str, float]) -> tuple[list[str], np.ndarray]:
    global _last_matrix
    items = tuple(sources.items())
    last = _last_matrix  # one read: another thread may replace it meanwhile
    if last is not None and last[0] is sources and last[1] == items:
        return last[2], last[3]
    order, x, lam = _matrix(sources)
    matrix = maxwell_stefan_matrix(x, lam)
    _last_matrix = (sources, items, order, matrix)
    return order, matrix


def _component_sources(run: Run) -> tuple[str, tuple[Source, ...], str]:
    """(label, sources, why not) of the run's two components for the binary Đ."""
    found, why = components(run)
    if not found:
        return "", (), why
    onsager, why = _onsager(run)
    fractions, lacking = _fractions(run, run.species())
    if not onsager or not fractions:
        return "", (), why or lacking
    weights = [Source(f"w_{k}:{s}", 1.0, "component") for k, (_, members) in zip(("1", "2"), found)
               for s in members]
    label = "-".join(name for name, _ in found)
    return label, (*_sources(onsager, fractions), *weights), ""


def maxwell_stefan(run: Run) -> Iterable[Estimate]:
    species = run.species()
    if run.table("diffonsag") is None or len(species) < 2:
        return
    onsager, why = _onsager(run)
    fractions, lacking = _fractions(run, species)
    if not onsager or not fractions:
        yield run.missing("maxwell_stefan", "", why or lacking, None)
        return
    sources = _sources(onsager, fractions)
    order, x, lam = _matrix({s.name: s.value for s in sources})
    try:  # every pair from one matrix, as `pooled_pair` takes each from it
        matrix: np.ndarray | None = maxwell_stefan_matrix(x, lam)
        singular = ""
    except ValueError as error:
        matrix, singular = None, str(error)
    for i, a in enumerate(species):
        for b in species[i + 1:]:
            label = f"{a}-{b}"
            if matrix is None:
                yield run.missing("maxwell_stefan", label, singular, None, status="singular")
                continue
            value = float(matrix[order.index(a), order.index(b)])
            yield run.value("maxwell_stefan", label, value, sources=sources)
    if len(species) > 2:
        label, binary, _ = _component_sources(run)
        if label:
            yield run.value("maxwell_stefan", label, _binary({s.name: s.value for s in binary}), sources=binary)


def _gamma(run: Run) -> tuple[float | None, str]:
    found = next(iter(run.estimates("thermodynamic_factor")), None)
    if found is None:
        return None, f"no thermodynamic factor (no {run.settings.files.rdf[0]})"
    return found.value, found.message


def _correction_sources(run: Run) -> tuple[tuple[Source, ...], str]:
    """k_B T/(6π η L) as a source, or why it is unknown."""
    temperature, volume, viscosity = run.input("T"), run.input("V"), run.input("eta")
    lacking = next((i for i in (temperature, volume, viscosity) if i.value is None), None)
    if lacking is not None:
        return (), lacking.why
    assert temperature.value is not None and volume.value is not None and viscosity.value is not None
    scale = run.units.boltzmann * temperature.value / (6.0 * math.pi * viscosity.value * volume.value ** (1 / 3))
    return (Source("kT/6πηL", scale, "T, V, η"),), ""


def pooled_infinite(species: str, sources: Mapping[str, float]) -> float:
    """Đ∞ = Đ + ξ k_B T / (6π η L Γ) (Jamali et al., J. Chem. Theory Comput. 14, 2667 (2018))."""
    return _binary(sources) + YEH_HUMMER_XI * sources["kT/6πηL"] / sources["Gamma"]


def pooled_fick(species: str, sources: Mapping[str, float]) -> float:
    """D = Γ Đ, or Γ Đ∞ with the finite-size term among the sources."""
    if "kT/6πηL" in sources:
        return sources["Gamma"] * pooled_infinite(species, sources)
    return sources["Gamma"] * _binary(sources)


def _binary_derived(run: Run, quantity: str, corrected: bool) -> Iterable[Estimate]:
    if run.table("diffonsag") is None or run.table("rdf") is None:
        return
    label, sources, why = _component_sources(run)
    if not label:
        yield run.missing(quantity, "", why, None, status="not binary" if "species" in why else "missing")
        return
    gamma, why = _gamma(run)
    if gamma is None:
        yield run.missing(quantity, label, f"no thermodynamic factor: {why}", None)
        return
    extra: tuple[Source, ...] = ()
    if corrected:
        extra, why = _correction_sources(run)
        if not extra:
            yield run.missing(quantity, label, why, None)
            return
    every = (*sources, Source("Gamma", gamma, "thermodynamic_factor"), *extra)
    values = {s.name: s.value for s in every}
    value = pooled_infinite(label, values) if quantity == "maxwell_stefan_infinite" else pooled_fick(label, values)
    yield run.value(quantity, label, value, sources=every)


def maxwell_stefan_infinite(run: Run) -> Iterable[Estimate]:
    return _binary_derived(run, "maxwell_stefan_infinite", True)


def fick(run: Run) -> Iterable[Estimate]:
    return _binary_derived(run, "fick", False)


def fick_infinite(run: Run) -> Iterable[Estimate]:
    return _binary_derived(run, "fick_infinite", True)


# --- electrolytes -----------------------------------------------------------------------------------


def pooled_transference(species: str, sources: Mapping[str, float]) -> float:
    ions = [name[2:] for name in sources if name.startswith("q_")]
    q = [sources[f"q_{ion}"] for ion in ions]
    lam = np.empty((len(ions), len(ions)))
    for i, a in enumerate(ions):
        for j, b in enumerate(ions):
            lam[i, j] = sources[f"L_{a}-{b}" if i <= j else f"L_{b}-{a}"]
    return float(transference_numbers(q, lam)[ions.index(species)])


def transference_number(run: Run) -> Iterable[Estimate]:
    charges = run.charges()
    if not charges or run.table("diffonsag") is None:
        return
    onsager, why = _onsager(run)
    ions = [s for s in run.species() if s in charges] or list(charges)
    if not onsager or any((a, b) not in onsager for a in ions for b in ions):
        for ion in ions:
            yield run.missing("transference_number", ion, why or "an Onsager coefficient of the ions is missing",
                              None)
        return
    sources = [Source(f"q_{ion}", charges[ion], "charge") for ion in ions]
    sources += [Source(f"L_{a}-{b}", onsager[(a, b)], "onsager") for i, a in enumerate(ions) for b in ions[i:]]
    values = {s.name: s.value for s in sources}
    for ion in ions:
        yield run.value("transference_number", ion, pooled_transference(ion, values), sources=tuple(sources))


def pooled_ratio(species: str, sources: Mapping[str, float]) -> float:
    return sources["numerator"] / sources["denominator"]


def _ratio(run: Run, quantity: str, numerator: str, denominator: str) -> Iterable[Estimate]:
    if not run.settings.charges:
        return
    top = next(iter(run.estimates(numerator)), None)
    bottom = next(iter(run.estimates(denominator)), None)
    if top is None or bottom is None:
        return
    for part in (top, bottom):
        if part.value is None:
            yield run.missing(quantity, "", f"{part.quantity}: {part.message}", part.needs, status=part.status)
            return
    assert top.value is not None and bottom.value is not None
    sources = (Source("numerator", top.value, numerator), Source("denominator", bottom.value, denominator))
    yield run.value(quantity, "", top.value / bottom.value, sources=sources)


def ionicity(run: Run) -> Iterable[Estimate]:
    return _ratio(run, "ionicity", "conductivity", "conductivity_nernst_einstein")


def haven_ratio(run: Run) -> Iterable[Estimate]:
    return _ratio(run, "haven_ratio", "conductivity_nernst_einstein", "conductivity")


def viscosity_components(run: Run) -> Iterable[Estimate]:
    """η from each stress component's curve of viscosity.dat (MSD_xy, ..., MSD_off, MSD_all), each fitted."""
    from .registry import Normalisation

    table = run.table("viscosity")
    if table is None:
        return
    for column in table:
        if column.startswith("MSD_") and column not in ("MSD_bulkvisc", "MSD_all"):  # MSD_all is η itself
            label = column[len("MSD_"):]
            fit = run.fit(table, column, quantity="viscosity_component", species=label)
            yield run.from_fit("viscosity_component", label, fit, Normalisation("viscosity", ("T",)))


def bulk_viscosity(run: Run) -> Iterable[Estimate]:
    """η_B from the MSD_bulkvisc curve of viscosity.dat (the Helfand moment of the pressure fluctuation)."""
    from .registry import Normalisation

    table = run.table("viscosity")
    if table is None or "MSD_bulkvisc" not in table:
        return
    fit = run.fit(table, "MSD_bulkvisc", quantity="bulk_viscosity")
    yield run.from_fit("bulk_viscosity", "", fit, Normalisation("viscosity", ("T",)))


# --- Darken's estimate ------------------------------------------------------------------------------


def pooled_darken(species: str, sources: Mapping[str, float]) -> float:
    """Đ_Darken = x₂D₁ + x₁D₂ from the self-diffusion coefficients and mole fractions."""
    first, second = species.split("-", 1)
    return sources[f"x_{second}"] * sources[f"D_{first}"] + sources[f"x_{first}"] * sources[f"D_{second}"]


def darken(run: Run) -> Iterable[Estimate]:
    """Darken's Đ of a mixture of two species, beside Maxwell-Stefan's: what uncorrelated molecules would give."""
    species = run.species()
    if len(species) != 2 or run.table("diffself") is None:
        return
    label = f"{species[0]}-{species[1]}"
    fractions, lacking = _fractions(run, species)
    found = {e.species: e for e in run.estimates("self_diffusion")}
    failed = next((found.get(s) for s in species if found.get(s) is None or found[s].value is None), None)
    if not fractions or failed is not None or any(s not in found for s in species):
        why = lacking or (f"self-diffusion of {failed.species}: {failed.message}" if failed is not None
                          else "a self-diffusion coefficient is missing")
        yield run.missing("darken", label, why, None)
        return
    sources = (*(Source(f"x_{s}", fractions[s], "molecule counts") for s in species),
               *(Source(f"D_{s}", found[s].value or 0.0, "self_diffusion") for s in species))
    yield run.value("darken", label, pooled_darken(label, {s.name: s.value for s in sources}), sources=sources)
