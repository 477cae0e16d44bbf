"""What a replica keeps of one pair's g(r) for its figure: light, picklable curves, in the run's length unit."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["FIGURE_POINTS", "PairStructure", "thinned"]

FloatArray = npt.NDArray[np.float64]

#: The most points of a curve kept for a figure (a g(r) of 0.02 Å bins to 16 Å).
FIGURE_POINTS = 800


def thinned(values: npt.ArrayLike, points: int = FIGURE_POINTS) -> FloatArray:
    """Every k-th value, k the least that keeps at most `points` of them; read-only."""
    array = np.asarray(values, dtype=np.float64)
    step = max(-(-len(array) // points), 1)
    kept = np.array(array[::step])
    kept.setflags(write=False)
    return kept


@dataclass(frozen=True)
class PairStructure:
    """The curves of one pair of one replica that its structure figure draws.

    Attributes
    ----------
    pair : str
        The pair's label in the run's order of species ("wat-met").
    r, g : ndarray
        Radii in the run's length unit and the g(r) the shells were found in.
    coordination : ndarray
        The running coordination number n(r) at `r`; empty without a density.
    peaks, minima : tuple of float
        The radii of the shells' peaks and minima, in the run's length unit.
    lengths, running : ndarray
        L and the Kirkwood-Buff integral G(L) (length unit cubed); empty without one.
    extrapolation : (float, float) or None
        G∞ and α of the line L·G(L) = G∞ L + α, fitted between `fit_range`.
    fit_range : (float, float) or None
        The smallest and largest L of the fit.
    """

    pair: str
    r: FloatArray
    g: FloatArray
    coordination: FloatArray
    peaks: tuple[float, ...]
    minima: tuple[float, ...]
    lengths: FloatArray
    running: FloatArray
    extrapolation: tuple[float, float] | None
    fit_range: tuple[float, float] | None
