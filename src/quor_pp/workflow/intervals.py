"""What a row's interval holds, in words for its `interval` column and the report.

Every row's ci95 is Student's t for n − 1 degrees of freedom times a standard error
over the n replicas, so it holds what differs between independent replicas. What
else it holds depends on how the row's replica values were made:

- a fitted curve (D, Λ, η, κ, σ): every replica is fitted over one window shared by
  all replicas (`AnalysisSettings.replica_windows`), so the scatter is that of the
  replicas' curves over that window, not narrowed by each replica's search choosing
  the stretch that suits its own noise, nor biased by it;
- a row made from other rows of each replica (D∞, σ_NE, ionicity, Haven ratio): the
  replicas' values, each made from its own inputs, so that their scatter carries
  that of the inputs, correlations included;
- a row made from the replicas' mean inputs (Maxwell-Stefan, Fick, transference):
  a jackknife over the replicas, leaving each out of the means in turn.
"""

from __future__ import annotations

from typing import Final

from ..analysis.registry import Quantity

__all__ = ["interval_of", "interval_remark"]

_FITTED: Final = "replica scatter over one window per curve shared by all replicas"
_OWN: Final = "replica scatter, each replica over its own window"
_DERIVED: Final = "replica scatter of values made from each replica's own inputs"
_POOLED: Final = "jackknife over the replicas of a function of their mean inputs"


def interval_of(record: Quantity | None, fitted: bool, pooled: bool, replica_windows: str = "median") -> str:
    """What the interval of a row holds ("" for a row without one is the caller's to decide)."""
    if pooled:
        return _POOLED
    if fitted:
        return _OWN if replica_windows == "own" else _FITTED
    return _DERIVED


def interval_remark() -> str:
    """One line for the report: what ci95 is."""
    return ("ci95: Student's t (n - 1 degrees of freedom) times the standard error over the replicas; what each "
            "row's interval holds is in its 'interval' column (replica scatter over one shared window per fitted "
            "curve; derived rows through each replica's inputs, or a jackknife of the mean inputs)")
