"""The Onsager coefficients of one replica: every column of its matrix over one window, and its momentum balance.

Each column fitted over a window of its own gives a matrix whose entries belong to
different times, and that matrix need not conserve momentum even when the curves
do. Here one window is chosen for the whole file, on the sum of the diagonal
curves (positive, and diffusive wherever the collective motion is), and every
column is fitted over it. The mass-weighted rows Σ_j M_j Λ_ij of the result are
then checked (see `momentum`): a replica whose matrix misses the balance by more
than `AnalysisSettings.momentum_tolerance` gives no Onsager coefficients.
"""

from __future__ import annotations

import copy
import math
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np

from .fitting import Fit
from .momentum import balance_residual, run_masses
from .registry import Curves, Normalisation
from .window_search import fit_window

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["MOMENTUM_STATUS", "onsager"]

#: The status of Onsager coefficients whose matrix does not conserve momentum.
MOMENTUM_STATUS = "momentum not conserved"

_NORMALISATION = Normalisation("diffusion", ("N",))


def onsager(run: Run) -> Iterable[Estimate]:
    """Λ_ij = slope_ij / N for every pair of the run's `diffonsag.dat`, all over one window."""
    table = run.table("diffonsag")
    if table is None:
        return
    pairs = run.curves(Curves("diffonsag", "MSD__", "pair"))
    if not pairs:
        return
    time = table[next(iter(table))]
    diagonal = [column for label, column in pairs if _is_diagonal(label)]
    shared: tuple[float, float] | None = None
    if diagonal:
        trace = np.zeros(table.row_count)
        for column in diagonal:
            trace = trace + table[column]
        found = fit_window(time, trace, run.settings.window)
        shared = found.window
    fits = [run.fit(table, column, quantity="onsager", species=label, default_window=shared)
            for label, column in pairs]
    residual, note = _balance(run, [label for label, _ in pairs], fits)
    for k, fit in enumerate(fits):
        if fit.quality is not None:
            # Copies with the balance set (dataclasses.replace would check every field again).
            quality = copy.copy(fit.quality)
            object.__setattr__(quality, "momentum_residual", residual)
            object.__setattr__(quality, "momentum_note", note)
            checked = copy.copy(fit)
            object.__setattr__(checked, "quality", quality)
            run.fits[next(n for n, kept in enumerate(run.fits) if kept is fit)] = checked
            fits[k] = checked
    tolerance = run.settings.momentum_tolerance
    for (label, _), fit in zip(pairs, fits):
        estimate = run.from_fit("onsager", label, fit, _NORMALISATION)
        if estimate.success and residual is not None and residual > tolerance:
            estimate = run.missing("onsager", label, f"{os.path.basename(fit.source)}: {note}", None,
                                   status=MOMENTUM_STATUS, fit=fit, scale=estimate.scale)
        yield estimate


def _is_diagonal(label: str) -> bool:
    first, _, second = label.partition("-")
    return first == second


def _balance(run: Run, labels: list[str], fits: list[Fit]) -> tuple[float | None, str]:
    """The largest relative residual of the mass-weighted rows of the replica's matrix, and a note."""
    species = list(dict.fromkeys(name for label in labels for name in label.split("-", 1)))
    slopes: dict[tuple[str, str], float | None] = {}
    for label, fit in zip(labels, fits):
        first, _, second = label.partition("-")
        slopes[(first, second)] = fit.slope
    if any(slope is None for slope in slopes.values()):
        return None, "momentum balance not checked: not every Onsager column has a fit"
    missing_pairs = [f"{a}-{b}" for k, a in enumerate(species) for b in species[k:]
                     if (a, b) not in slopes and (b, a) not in slopes]
    if missing_pairs:
        return None, f"momentum balance not checked: no Onsager column for {', '.join(missing_pairs)}"
    masses, why = _masses(run, species)
    if not masses:
        return None, f"momentum balance not checked: {why}"
    matrix = {pair: float(slope) for pair, slope in slopes.items() if slope is not None}
    residuals = balance_residual(masses, matrix)
    worst = max(residuals, key=lambda name: -1.0 if math.isnan(residuals[name]) else residuals[name])
    largest = residuals[worst]
    if math.isnan(largest):
        return None, "momentum balance not checked: the Onsager matrix is zero"
    verdict = "exceeds" if largest > run.settings.momentum_tolerance else "within"
    return largest, (f"momentum balance Σ_j M_j Λ_ij off by {largest:.3g} of Σ_j M_j |Λ_ij| (row {worst}), "
                     f"{verdict} the tolerance of {run.settings.momentum_tolerance:g}")


def _masses(run: Run, species: list[str]) -> tuple[dict[str, float], str]:
    """The molar masses of the species: given, else from the data file the log reads; or why there are none."""
    given = run.settings.masses
    if all(name in given for name in species):
        return {name: given[name] for name in species}, ""
    counted: dict[str, float] = {}
    why = "no log.lammps to find a data file in"
    log = run.log
    if log is not None:
        counted, why = run.memo("masses", lambda: run_masses(log.path, log.read_data, log.atom_style,
                                                             log.group_definitions))
    masses = {name: given.get(name, counted.get(name)) for name in species}
    lacking = [name for name, mass in masses.items() if mass is None]
    if lacking:
        reason = why or f"the data file gives no single molecular mass for {', '.join(lacking)}"
        return {}, f"{reason} (give the masses, e.g. mass={{{lacking[0]!r}: 18.015}} or --mass {lacking[0]}=18.015)"
    return {name: float(mass) for name, mass in masses.items() if mass is not None}, ""
