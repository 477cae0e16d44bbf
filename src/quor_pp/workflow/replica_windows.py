"""How the replicas of a run share their windows, and what the report says about it and about the Onsager matrices.

`analyze` runs every replica once with its own window search; `share_windows` then
names the replicas whose value stands apart, chooses each curve's common window
(see `quor_pp.analysis.window_consensus`), has the replicas analysed again over it,
and withdraws a value that still stands apart. The remarks it returns, and those
of `momentum_remarks`, are lines of the report.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Sequence

from ..analysis.fitting import Fit
from ..analysis.results import ReplicaResult
from ..analysis.settings import AnalysisSettings
from ..analysis.window_consensus import (CONFIRMATION, DISAGREEMENT, Disagreement, disagreements, mark_disagreements,
                                         median_windows)
from ..analysis.window_search import common_window
from .parallel import Outcome

__all__ = ["momentum_remarks", "share_windows"]


def share_windows(outcomes: Sequence[Outcome], settings: AnalysisSettings,
                  rerun: Callable[[Sequence[AnalysisSettings]], Sequence[Outcome]]
                  ) -> tuple[Sequence[Outcome], AnalysisSettings, tuple[str, ...], tuple[str, ...]]:
    """The outcomes over the replicas' common windows, the settings that chose them, and two kinds of remarks.

    The first remarks say how the windows were shared; the second name the replicas
    whose value stood apart (warnings: what was done about each).

    Parameters
    ----------
    outcomes : sequence of Outcome
        Every replica analysed with its own windows.
    settings : AnalysisSettings
        Those settings; `replica_windows` (or `common_window`) says how windows are shared.
    rerun : callable
        Analyses every replica again, each with its settings of the sequence given
        (in the order of `outcomes`).

    A replica whose own search found no window for a curve is fitted over the common
    window unless its curve's log-log slope over it is that of the short-time regime
    (ballistic): the others' window is never imposed on a curve that is not diffusive
    over it.
    """
    results = [outcome for outcome in outcomes if isinstance(outcome, ReplicaResult)]
    choice = "intersection" if settings.common_window else settings.replica_windows
    apart = disagreements(results)
    if choice == "own" or len(results) < 2:
        return _marked(outcomes, apart), settings, (), tuple(d.describe() + "; left out of the row" for d in apart)
    if choice == "intersection":
        fits: dict[str, list[Fit]] = {}
        for result in results:
            for estimate in result.estimates:
                if estimate.fit is not None:
                    fits.setdefault(f"{estimate.quantity}:{estimate.species}", []).append(estimate.fit)
        windows = {key: common_window(found) for key, found in fits.items()}
    else:
        windows = median_windows(results, apart)
    # A window given by hand for a quantity stays the window of its curves.
    windows = {key: window for key, window in windows.items()
               if key.partition(":")[0] not in settings.windows and "" not in settings.windows}
    chosen = settings.replaced(curve_windows=windows)
    # The second pass makes again only what came from a fit; the rest is the first pass's.
    again = _merged(outcomes, rerun([
        chosen if not isinstance(outcome, ReplicaResult) else
        chosen.replaced(strict_windows=_without_window(outcome), only_quantities=outcome.fitted_quantities or None)
        for outcome in outcomes]))
    # Over the common window, a value that stood apart before need only stay outside the
    # others' 95 % range to be confirmed; any other must stand apart on its own.
    results_again = [outcome for outcome in again if isinstance(outcome, ReplicaResult)]
    before = {(d.key, d.replica) for d in apart}
    still = [d for d in disagreements(results_again, CONFIRMATION)
             if (d.key, d.replica) in before or d.distance > d.limit_at(DISAGREEMENT)]
    warned = [d.describe(windows.get(d.key)) for d in apart]
    warned += [d.describe() + "; left out of the row" for d in still]
    remarks: list[str] = []
    if windows:
        how = "the median start and end of" if choice == "median" else "the span shared by"
        remarks.append(f"windows: every replica of a curve is fitted over one window, {how} the windows its "
                       "replicas' searches accepted (settings.curve_windows)")
    return _marked(again, still), chosen, tuple(remarks), tuple(warned)


def _merged(first: Sequence[Outcome], again: Sequence[Outcome]) -> list[Outcome]:
    """Each replica's second result, completed with the quantities only its first one made."""
    merged: list[Outcome] = []
    for before, after in zip(first, again):
        if not (isinstance(before, ReplicaResult) and isinstance(after, ReplicaResult)
                and before.fitted_quantities):
            merged.append(after)
            continue
        remade = set(before.fitted_quantities)
        made = {(e.quantity, e.species): e for e in after.estimates if e.quantity in remade}
        estimates = [made.pop((e.quantity, e.species), e) if e.quantity in remade else e for e in before.estimates]
        estimates += made.values()  # new in the second pass (a curve fitted only there)
        merged.append(dataclasses.replace(after, estimates=tuple(estimates)))
    return merged


def _without_window(result: ReplicaResult) -> tuple[str, ...]:
    """The curves this replica's own search found no window for (the Onsager matrix, checked by its balance, aside)."""
    return tuple(f"{e.quantity}:{e.species}" for e in result.estimates
                 if e.fit is not None and not e.fit.success and e.quantity != "onsager")


def _marked(outcomes: Sequence[Outcome], found: Sequence[Disagreement]) -> Sequence[Outcome]:
    """The outcomes with the values that stand apart withdrawn (the same object when there are none)."""
    if not found:
        return outcomes
    results = [outcome for outcome in outcomes if isinstance(outcome, ReplicaResult)]
    marked = iter(mark_disagreements(results, found))
    return [next(marked) if isinstance(outcome, ReplicaResult) else outcome for outcome in outcomes]


def momentum_remarks(results: Sequence[ReplicaResult]) -> tuple[str, ...]:
    """One line on the momentum balance of the replicas' Onsager matrices (none without Onsager fits)."""
    residuals: list[tuple[float, str]] = []
    notes: dict[str, list[str]] = {}
    for result in results:
        fit = next((e.fit for e in result.estimates if e.quantity == "onsager" and e.fit is not None
                    and e.fit.quality is not None), None)
        if fit is None or fit.quality is None:
            continue
        name = os.path.basename(os.path.normpath(result.path))
        if fit.quality.momentum_residual is not None:
            residuals.append((fit.quality.momentum_residual, name))
        else:
            notes.setdefault(fit.quality.momentum_note, []).append(name)
    lines = []
    if residuals:
        worst, where = max(residuals)
        lines.append(f"onsager: momentum balance |Σ_j M_j Λ_ij| / Σ_j M_j |Λ_ij| of each replica's matrix: "
                     f"largest {worst:.3g} ({where}; {len(residuals)} replicas checked)")
    for note, names in notes.items():
        lines.append(f"onsager: {note} ({', '.join(names)})")
    return tuple(lines)
