"""Window fits of displacement curves, kept with their window, log-log slope and status."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

import _quor_pp

__all__ = ["Fit", "WindowSettings", "fit_window"]

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class WindowSettings:
    """How the diffusive window of a curve is searched (see `_quor_pp.diff_calculator`).

    The defaults suit multiple-tau tables of a few hundred rows with log-spaced time
    blocks: a window spans 10 to 59 rows (about one to six decades of time) in the
    middle 80 % of the curve, and its log-log slope must lie within 1 ± 0.1.

    Attributes
    ----------
    margin : float
        Fraction of the rows left out of the search at each end of the curve.
    min_window : int
        Fewest rows in a window.
    max_window : int
        Rows in a window stay below this number.
    max_error : float
        Largest accepted distance of the log-log slope from 1.
    min_displacement : float
        Rows whose |MSD| is below its square are left out (same unit as the MSD's
        square root; 0 keeps every row).
    """

    margin: float = 0.1
    min_window: int = 10
    max_window: int = 60
    max_error: float = 0.1
    min_displacement: float = 0.0

    def __post_init__(self) -> None:
        if not 0.0 <= self.margin < 0.5:
            raise ValueError(f"margin must lie in [0, 0.5), not {self.margin}")
        if self.min_window < 2:
            raise ValueError(f"min_window must be at least 2, not {self.min_window}")
        if self.max_window <= self.min_window:
            raise ValueError(f"max_window ({self.max_window}) must exceed min_window ({self.min_window})")
        if not self.max_error > 0.0:
            raise ValueError(f"max_error must be positive, not {self.max_error}")
        if not (math.isfinite(self.min_displacement) and self.min_displacement >= 0.0):
            raise ValueError(f"min_displacement must be a finite number >= 0, not {self.min_displacement}")


@dataclass(frozen=True, eq=False)
class Fit:
    """One window fit of a curve.

    Attributes
    ----------
    source : str
        The file the curve comes from.
    column : str
        The curve's column (for a combined curve, a description of it).
    time : ndarray
        The curve's time axis, in the run's time unit.
    msd : ndarray
        The curve, in the file's unit.
    status : str
        "ok", "no window" (no window had a log-log slope within 1 ± max_error),
        "too few points" (the search region holds no window), or "degenerate" (the
        window's times are all equal).
    message : str
        Why the fit failed, in words; empty when it succeeded.
    slope : float or None
        Slope of the straight line fitted to the window, in the file's unit per time
        unit; None unless status is "ok".
    t_fit, fit : ndarray
        The window's times and the fitted line at them (empty unless status is "ok").
    start, stop : int
        The window as a slice of `time` and `msd` (rows start to stop - 1; 0 and 0 when
        no window was found).
    loglog_slope : float or None
        Least-squares slope of log10|msd| against log10 time over the window.
    """

    source: str
    column: str
    time: FloatArray = field(repr=False)
    msd: FloatArray = field(repr=False)
    status: str
    message: str
    slope: float | None
    t_fit: FloatArray = field(repr=False)
    fit: FloatArray = field(repr=False)
    start: int = 0
    stop: int = 0
    loglog_slope: float | None = None

    @property
    def success(self) -> bool:
        """True when a window was found and fitted."""
        return self.status == "ok"

    @property
    def window(self) -> tuple[float, float] | None:
        """First and last time of the window, or None."""
        return (float(self.t_fit[0]), float(self.t_fit[-1])) if self.success else None


def _array(values: Sequence[float] | FloatArray) -> FloatArray:
    array = np.array(values, dtype=np.float64)
    array.setflags(write=False)
    return array


def fit_window(
    time: Sequence[float] | FloatArray,
    msd: Sequence[float] | FloatArray,
    settings: WindowSettings = WindowSettings(),
    *,
    source: str = "",
    column: str = "",
) -> Fit:
    """Fits the most nearly diffusive window of one curve with `_quor_pp.diff_calculator`.

    The slope is the module's, bit for bit: the columns are passed to it unchanged.

    Parameters
    ----------
    time : sequence of float
        Time axis, in the run's time unit.
    msd : sequence of float
        The curve (a mean-squared displacement or a Helfand moment).
    settings : WindowSettings
        The window search.
    source, column : str
        Where the curve comes from, kept in the result.

    Returns
    -------
    Fit
        The window, the fitted line and its slope, or the reason no window was found.

    Examples
    --------
    >>> t = [float(k) for k in range(1, 101)]
    >>> result = fit_window(t, [6.0 * x for x in t])
    >>> result.status, round(result.slope, 9), result.stop - result.start >= 10
    ('ok', 6.0, True)
    """
    t = _array(time)
    m = _array(msd)
    empty = _array([])

    def failed(status: str, message: str) -> Fit:
        return Fit(source, column, t, m, status, message, None, empty, empty)

    if t.ndim != 1 or m.ndim != 1 or len(t) != len(m):
        raise ValueError(f"time and msd must be 1-D of one length, not {t.shape} and {m.shape}")
    threshold = settings.min_displacement * settings.min_displacement
    kept = np.flatnonzero(np.abs(m) >= threshold)
    n = len(kept)
    # The module's search region, in rows of the filtered curve.
    start = int(settings.margin * n)
    end = max(int((1.0 - settings.margin) * n) - settings.min_window, 0)
    if end <= start + settings.min_window:
        return failed("too few points",
                      f"{n} usable rows leave no window of {settings.min_window} rows "
                      f"after a margin of {settings.margin:g} at each end")
    d, t_fit, fit = _quor_pp.diff_calculator(
        t, m, settings.margin, settings.min_window, settings.max_window,
        settings.max_error, settings.min_displacement)
    if math.isnan(d) and len(t_fit) <= 1:
        return failed("no window",
                      f"no window of {settings.min_window} to {settings.max_window - 1} rows has a "
                      f"log-log slope within 1 ± {settings.max_error:g}")
    first = _locate(t[kept], np.asarray(t_fit))
    lo, hi = int(kept[first]), int(kept[first + len(t_fit) - 1]) + 1
    rows = kept[first:first + len(t_fit)]
    loglog = _loglog_slope(t[rows], m[rows])
    if not math.isfinite(d):
        return Fit(source, column, t, m, "degenerate", "the window's times are all equal", None,
                   _array(t_fit), _array(fit), lo, hi, loglog)
    return Fit(source, column, t, m, "ok", "", d, _array(t_fit), _array(fit), lo, hi, loglog)


def _loglog_slope(t: FloatArray, m: FloatArray) -> float | None:
    """Least-squares slope of log10|m| against log10 t (None when the times are all equal)."""
    x = np.log10(t)
    y = np.log10(np.abs(m))
    dx = x - x.mean()
    spread = float(dx @ dx)
    return float(dx @ (y - y.mean())) / spread if spread > 0.0 else None


def _locate(times: FloatArray, window: FloatArray) -> int:
    """Position of the window's times as a contiguous run in `times`."""
    for position in np.flatnonzero(times == window[0]):
        if np.array_equal(times[position:position + len(window)], window):
            return int(position)
    raise AssertionError("the fitted window is not a run of the curve's times")
