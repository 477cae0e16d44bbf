"""Window fits of displacement curves, kept with their window, quality, rejected windows and status."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field, fields
from typing import Any, Final

import numpy as np
import numpy.typing as npt


from .. import _native

__all__ = [
    "Fit",
    "FitQuality",
    "RejectedWindow",
    "WindowSettings",
    "line_fit",
    "local_loglog_slope",
]

FloatArray = npt.NDArray[np.float64]

#: A local log-log slope is taken between a row and the first row at least this many times
#: later. Over a factor of two the noise of one replica's curve mostly averages out, while a
#: slope that drifts across a window still shows; over a factor of 1.25 noise alone puts
#: a third of the slopes of a good window outside 1 ± 0.1.
LOCAL_SLOPE_RATIO = 2.0


@dataclass(frozen=True)
class WindowSettings:
    """How the diffusive window of a curve is searched (see `_quor_pp.diff_calculator`).

    The defaults suit multiple-tau tables of a few hundred rows with log-spaced time
    blocks: a window spans 10 to 59 rows (about one to six decades of time) in the
    middle 80 % of the curve, and its log-log slope must lie within 1 ± 0.1.

    A window is only diffusive if it is so throughout, not on average: the window the
    search chooses is rejected when its straight line has the wrong sign at some row
    (the line leaves the data), or when the local log-log slope lies outside
    1 ± max_error at more than `out_of_band_share` of its rows. The search is then
    repeated over the windows that avoid the offending rows, at most `max_rejections`
    times.

    Attributes
    ----------
    margin : float
        Fraction of the rows left out of the search at each end of the curve.
    min_window : int
        Fewest rows in a window.
    max_window : int
        Windows have fewer rows than this: at most ``max_window - 1``.
    max_error : float
        Largest accepted distance of the log-log slope from 1.
    min_displacement : float
        Rows whose |MSD| is below its square are left out (same unit as the MSD's
        square root; 0 keeps every row).
    check : bool
        Whether chosen windows are checked and bad ones rejected (False keeps the
        module's first choice, whatever it looks like).
    out_of_band_share : float
        Largest share of a window's local slopes that may lie outside 1 ± max_error.
    max_rejections : int
        Most repeats of the search after a rejection before the curve is given up as
        "rejected".
    """

    margin: float = 0.1
    min_window: int = 10
    max_window: int = 60
    max_error: float = 0.1
    min_displacement: float = 0.0
    check: bool = True
    out_of_band_share: float = 1.0 / 3.0
    max_rejections: int = 10

    def rows_phrase(self) -> str:
        """The rows a window may span, as every view says it: "10 to 59 rows" (`max_window` is excluded)."""
        return f"{self.min_window} to {self.max_window - 1} rows"

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
        if not 0.0 <= self.out_of_band_share < 1.0:
            raise ValueError(f"out_of_band_share must lie in [0, 1), not {self.out_of_band_share}")
        if self.max_rejections < 0:
            raise ValueError(f"max_rejections must be at least 0, not {self.max_rejections}")


def _plain(value: Any) -> Any:
    """A value for JSON: non-finite floats become None, tuples lists."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, tuple):
        return [_plain(item) for item in value]
    return value


@dataclass(frozen=True)
class FitQuality:
    """How well a straight line describes the window it was fitted to.

    Attributes
    ----------
    t_start, t_end : float
        First and last time of the window, in the run's time unit.
    start, stop : int
        The window as a slice of the curve's rows.
    row_count : int
        Rows fitted (fewer than stop - start when the displacement filter dropped some).
    slope_stderr : float
        Standard error of the slope from the least-squares regression, in the slope's
        unit (NaN for two rows).
    r_squared : float
        Coefficient of determination of the line over the window (NaN when the
        window's values are all equal).
    relative_intercept : float
        Intercept of the line over its value at the window's start; far from 0 when the
        window is not yet, or no longer, proportional to time.
    local_slope_min, local_slope_max : float
        Range of the local log-log slope inside the window, each taken between a row
        and the first row of the window at least `LOCAL_SLOPE_RATIO` times later (NaN
        when it has none).
    problems : tuple of str
        Why the window fails the checks of a diffusive window; empty when it passes.
        A window given by hand is fitted whatever its problems, which stay here.
    momentum_residual : float or None
        For a column of an Onsager matrix: the largest relative momentum-balance
        residual max_i |Σ_j M_j Λ_ij| / Σ_j M_j |Λ_ij| of the replica's matrix, all
        of whose columns share this window (None when it was not checked).
    momentum_note : str
        Why the momentum balance was not checked, or what it found; empty otherwise.
    """

    t_start: float
    t_end: float
    start: int
    stop: int
    row_count: int
    slope_stderr: float
    r_squared: float
    relative_intercept: float
    local_slope_min: float
    local_slope_max: float
    problems: tuple[str, ...] = ()
    momentum_residual: float | None = None
    momentum_note: str = ""

    def to_dict(self) -> dict[str, Any]:
        """The fields as plain JSON values (non-finite floats as None)."""
        return {f.name: _plain(getattr(self, f.name)) for f in fields(self)}


@dataclass(frozen=True)
class RejectedWindow:
    """A window the search chose and then rejected, with the reasons.

    Attributes
    ----------
    slope : float
        Slope of its straight line, in the curve's unit per time unit.
    loglog_slope : float
        Its log-log slope, as the search scored it.
    quality : FitQuality
        Its window and quality; `quality.problems` holds the reasons.
    """

    slope: float
    loglog_slope: float
    quality: FitQuality

    @property
    def reasons(self) -> tuple[str, ...]:
        """Why the window was rejected."""
        return self.quality.problems

    def to_dict(self) -> dict[str, Any]:
        """The window, its slopes, quality and reasons as plain JSON values."""
        return {"slope": _plain(self.slope), "loglog_slope": _plain(self.loglog_slope),
                **self.quality.to_dict()}


@dataclass(frozen=True, eq=False)
class Fit:
    """One window fit of a curve. Immutable: its arrays are read-only.

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
        "ok"; "no window" (no window had a log-log slope within 1 ± max_error);
        "too few points" (the search region holds no window, or a window given by hand
        holds fewer than two rows); "outside data" (a window given by hand lies outside
        the curve's times); "degenerate" (the window's times are all equal, or its
        values not finite); "rejected" (every window found failed the checks of a
        diffusive window, see `rejected`).
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
    quality : FitQuality or None
        The window's quality; None unless status is "ok".
    rejected : tuple of RejectedWindow
        Windows chosen by the search and rejected, in the order they were tried.
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
    quality: FitQuality | None = None
    rejected: tuple[RejectedWindow, ...] = ()

    def __post_init__(self) -> None:
        for name in ("time", "msd", "t_fit", "fit"):
            array = getattr(self, name)
            if not isinstance(array, np.ndarray) or array.flags.writeable:
                object.__setattr__(self, name, _array(array))
        if not isinstance(self.rejected, tuple):
            object.__setattr__(self, "rejected", tuple(self.rejected))

    @property
    def success(self) -> bool:
        """True when a window was found and fitted."""
        return self.status == "ok"

    @property
    def window(self) -> tuple[float, float] | None:
        """First and last time of the window, or None."""
        if not self.success:
            return None
        # The quality keeps the window's ends when a light result has left its points out.
        if self.quality is not None:
            return (self.quality.t_start, self.quality.t_end)
        return (float(self.t_fit[0]), float(self.t_fit[-1]))

    def _repr_html_(self) -> str:
        from .fit_html import fit_html  # the HTML views are built only in a notebook

        return fit_html(self)

    def to_pandas(self) -> Any:
        """The curve as a DataFrame (needs pandas): time, msd and whether each row is in the window."""
        import pandas

        rows = np.arange(len(self.time))
        return pandas.DataFrame({"time": self.time, "msd": self.msd,
                                 "in_window": (rows >= self.start) & (rows < self.stop)})


def _array(values: Sequence[float] | FloatArray) -> FloatArray:
    # A read-only float64 array (a table's column) is taken as it is: no copy to make.
    if isinstance(values, np.ndarray) and values.dtype == np.float64 and not values.flags.writeable:
        return values
    array = np.array(values, dtype=np.float64)
    array.setflags(write=False)
    return array


_EMPTY: Final = _array([])  # the arrays of a fit without a window


def line_fit(x: Sequence[float] | FloatArray, y: Sequence[float] | FloatArray) -> tuple[float, float, FloatArray]:
    """Least-squares straight line through (x, y) with the module's own arithmetic.

    The sums and their combination are evaluated in the order `_quor_pp.diff_calculator`
    uses for its final fit, so that for a window it chose the slope and the line are
    the same bit for bit.

    Parameters
    ----------
    x, y : sequence of float
        The points, of one length (at least 1).

    Returns
    -------
    slope, intercept : float
        NaN when the x are all equal.
    fitted : ndarray
        The line at each x, read-only.

    Examples
    --------
    >>> slope, intercept, fitted = line_fit([1.0, 2.0, 3.0], [3.0, 5.0, 7.0])
    >>> slope, intercept, fitted.tolist()
    (2.0, 1.0, [3.0, 5.0, 7.0])
    """
    # The same Python floats either way; tolist makes them in one call.
    xs = x.tolist() if isinstance(x, np.ndarray) and x.dtype == np.float64 and x.ndim == 1 else [float(v) for v in x]
    ys = y.tolist() if isinstance(y, np.ndarray) and y.dtype == np.float64 and y.ndim == 1 else [float(v) for v in y]
    if len(xs) != len(ys) or not xs:
        raise ValueError(f"x and y must be non-empty and of one length, not {len(xs)} and {len(ys)}")
    sx = sy = sxy = sxx = 0.0
    for a, b in zip(xs, ys):
        sx += a
        sy += b
        sxy += a * b
        sxx += a * a
    j = float(len(xs))
    den = j * sxx - sx * sx
    if den == 0.0:
        slope = intercept = math.nan
    else:
        slope = (j * sxy - sx * sy) / den
        intercept = (sy - sx * slope) / j
    return slope, intercept, _array([a * slope + intercept for a in xs])


def _module_loglog_slope(t: FloatArray, m: FloatArray) -> float:
    """The log-log slope the module's search gives a window (same sums, same order)."""
    sx = sy = sxy = sxx = 0.0
    for a, b in zip(t.tolist(), m.tolist()):
        x = math.log10(a) if a > 0.0 else (-math.inf if a == 0.0 else math.nan)
        y = math.log10(abs(b)) if b != 0.0 else -math.inf
        sx += x
        sy += y
        sxy += x * y
        sxx += x * x
    j = float(len(t))
    den = j * sxx - sx * sx
    return math.nan if den == 0.0 else (j * sxy - sx * sy) / den


def local_loglog_slope(time: Sequence[float] | FloatArray, msd: Sequence[float] | FloatArray,
                       ratio: float = LOCAL_SLOPE_RATIO) -> FloatArray:
    """Local log-log slope of |msd| against time at each row.

    The slope at a row is taken to the first later row at least `ratio` times later:
    a difference over a fixed ratio of times, rather than between neighbours, stays
    finite where a multiple-tau table repeats a time at a block boundary (320 and
    320.01). Rows without such a later row get NaN, as do rows with a time or value
    that has no logarithm.

    Parameters
    ----------
    time, msd : sequence of float
        The curve; its times should increase.
    ratio : float
        Ratio of the two times a slope spans (> 1).

    Returns
    -------
    ndarray
        One slope per row.

    Examples
    --------
    >>> local_loglog_slope([1.0, 2.0, 4.0, 8.0], [1.0, 4.0, 8.0, 16.0]).round(6).tolist()
    [2.0, 1.0, 1.0, nan]
    """
    t = np.ascontiguousarray(time, dtype=np.float64)
    m = np.ascontiguousarray(msd, dtype=np.float64)
    if not ratio > 1.0:
        raise ValueError(f"ratio must exceed 1, not {ratio}")
    if t.ndim != 1 or m.shape != t.shape:
        raise ValueError(f"time and msd must be 1-D of one length, not {t.shape} and {m.shape}")
    # The partner of each row is found by a scan that moves forward with the rows: natively.
    slopes: FloatArray = np.frombuffer(_native.local_loglog_slopes(t, m, float(ratio)), np.float64).copy()
    return slopes
