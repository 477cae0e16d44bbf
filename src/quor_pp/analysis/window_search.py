"""The search for a curve's diffusive window, its checks, and a window given by hand.

`fit_window` runs `_quor_pp.diff_calculator` and checks the window it chooses; a
window that fails is rejected and the search repeated on the rest of the curve.
What a fit holds (`Fit`, `FitQuality`, `RejectedWindow`) and how the search is
told (`WindowSettings`) stand in `fitting`.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import Final, NamedTuple

import numpy as np
import numpy.typing as npt

import _quor_pp

from .. import _native
from .fitting import (_EMPTY, LOCAL_SLOPE_RATIO, Fit, FitQuality, FloatArray, RejectedWindow, WindowSettings, _array,
                      _module_loglog_slope, local_loglog_slope)

__all__ = ["SHORT_TIME_EXCURSION", "common_window", "fit_window", "refuse_if_not_diffusive", "settling_row"]

#: The short-time regime (ballistic motion, a cage, the oscillations of a flux's
#: correlation) is where the local log-log slope lies far from 1: more than this many
#: times max_error away (0.3 by default), in the first half of the curve's decades.
#: Noise moves a local slope taken over a factor of two that far only in the long tail.
SHORT_TIME_EXCURSION: Final = 3.0


def settling_row(time: FloatArray, msd: FloatArray, settings: WindowSettings) -> int | None:
    """The first row past the curve's short-time regime; None when the curve has none.

    That is the row after the last one, in the first half of the curve's span of log
    time, whose local log-log slope lies outside 1 ± SHORT_TIME_EXCURSION · max_error.
    A window starting before it would hold motion that is not yet diffusive, however
    straight a stretch of it looks (an oscillation can hold the slope at 1 for a few rows).
    """
    # Only the first half of the decades matters: the rows up to the middle of log time.
    positive = np.flatnonzero(time > 0.0)
    if len(positive) < 2:
        return None
    # The last local slope is that of the last row with a partner LOCAL_SLOPE_RATIO times later.
    first, last = float(time[positive[0]]), float(np.max(time)) / LOCAL_SLOPE_RATIO
    middle = math.sqrt(first * last) if last > first else first
    stop = int(np.searchsorted(time, middle, side="right"))
    # A local slope reaches a row LOCAL_SLOPE_RATIO times later: pass the rows it needs.
    reach = min(len(time), int(np.searchsorted(time, middle * LOCAL_SLOPE_RATIO, side="right")) + 1)
    slopes = local_loglog_slope(time[:reach], msd[:reach])[:stop]
    far = np.flatnonzero(np.abs(slopes[positive[0]:] - 1.0) > SHORT_TIME_EXCURSION * settings.max_error)
    return int(far[-1]) + positive[0] + 1 if len(far) else None


class _Checked(NamedTuple):
    """A window's straight line and its checks."""

    slope: float
    intercept: float
    line: FloatArray  # the line at each row of the window
    quality: FitQuality
    loglog_slope: float | None
    flags: bytes  # per row, non-zero where the local slope leaves the band or the line has the wrong sign

    @property
    def refused_rows(self) -> npt.NDArray[np.bool_]:
        """The rows a further search must avoid."""
        refused: npt.NDArray[np.bool_] = np.frombuffer(self.flags, np.uint8) != 0
        return refused


def _check(t: FloatArray, m: FloatArray, rows: npt.NDArray[np.intp], settings: WindowSettings,
           settled: int | None = None) -> _Checked:
    """The line through the rows `rows` of (t, m), fitted with the module's arithmetic, and its quality.

    `settled` is the curve's `settling_row`: a window starting before it lies in the
    short-time regime.
    """
    x, y = t[rows], m[rows]
    count = len(rows)
    # One native pass: the line (its sums in the order of `line_fit`, so the same bit for
    # bit), the regression's spread, the local log-log slopes and the sign checks.
    (slope, intercept, fitted, stderr, r_squared, relative, local_min, local_max, defined, outside, crossing,
     mean_y, loglog, flags) = _native.check_window(x, y, settings.max_error, LOCAL_SLOPE_RATIO)
    problems = []
    if crossing:
        sign = "negative where the curve is positive" if mean_y > 0.0 else "positive where the curve is negative"
        problems.append(f"the fitted line is {sign} at {crossing} of {count} rows")
    if outside > settings.out_of_band_share * defined:
        problems.append(f"the local log-log slope lies outside 1 ± {settings.max_error:g} at {outside} of "
                        f"{defined} rows (more than {settings.out_of_band_share:.0%})")
    if settled is not None and rows[0] < settled:
        problems.append(f"it starts at {x[0]:g}, in the short-time regime (the local log-log slope settles "
                        f"within 1 ± {settings.max_error:g} only from {t[settled]:g})")
    quality = FitQuality(float(x[0]), float(x[-1]), int(rows[0]), int(rows[-1]) + 1, count, stderr, r_squared,
                         relative, local_min, local_max, tuple(problems))
    return _Checked(slope, intercept, np.frombuffer(fitted, np.float64), quality,
                    None if math.isnan(loglog) else loglog, flags)


def fit_window(
    time: Sequence[float] | FloatArray,
    msd: Sequence[float] | FloatArray,
    settings: WindowSettings = WindowSettings(),
    *,
    source: str = "",
    column: str = "",
    window: tuple[float, float] | None = None,
) -> Fit:
    """Fits the most nearly diffusive window of one curve with `_quor_pp.diff_calculator`.

    The slope is the module's, bit for bit: the columns are passed to it unchanged, and
    when its window is rejected (see `WindowSettings`) the search is repeated by the
    module on the parts of the curve that avoid the rejected rows, so that whichever
    window is kept has the numbers the module gives it.

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
    window : (float, float), optional
        A window given by hand, as its first and last time in the run's time unit:
        the rows whose times lie in it (both ends included, and passing the
        displacement filter) are fitted by a straight line with the module's
        arithmetic (`line_fit`) and checked like a window the search chose, but
        used as given: what the checks find stays in its quality's `problems`.

    Returns
    -------
    Fit
        The window, the fitted line, its slope and quality, the windows rejected on the
        way, or the reason no window was kept.

    Raises
    ------
    ValueError
        When time and msd are not 1-D of one length, or `window` is not an
        increasing pair of finite times.

    Examples
    --------
    >>> t = [float(k) for k in range(1, 101)]
    >>> result = fit_window(t, [6.0 * x for x in t])
    >>> result.status, round(result.slope, 9), result.stop - result.start >= 10
    ('ok', 6.0, True)
    >>> by_hand = fit_window(t, [6.0 * x for x in t], window=(20.0, 40.0))
    >>> by_hand.status, by_hand.quality.row_count, round(by_hand.slope, 9)
    ('ok', 21, 6.0)
    """
    t = _array(time)
    m = _array(msd)
    empty = _EMPTY

    def failed(status: str, message: str, rejected: tuple[RejectedWindow, ...] = ()) -> Fit:
        return Fit(source, column, t, m, status, message, None, empty, empty, rejected=rejected)

    if t.ndim != 1 or m.ndim != 1 or len(t) != len(m):
        raise ValueError(f"time and msd must be 1-D of one length, not {t.shape} and {m.shape}")
    threshold = settings.min_displacement * settings.min_displacement
    settled = settling_row(t, m, settings)
    if window is not None:
        return _fit_by_hand(t, m, np.flatnonzero(np.abs(m) >= threshold), window, settings, source, column, settled)
    # The module's search, run natively over the same compiled code as
    # `_quor_pp.diff_calculator` (so the same bits), which also says where its window lies.
    d, t_found, fit_found, found_rows, n = _native.search_window(
        np.ascontiguousarray(t), np.ascontiguousarray(m), settings.margin, settings.min_window,
        settings.max_window, settings.max_error, settings.min_displacement)
    # The module's search region, in rows of the filtered curve.
    start = int(settings.margin * n)
    end = max(int((1.0 - settings.margin) * n) - settings.min_window, 0)
    if end <= start + settings.min_window:
        return failed("too few points",
                      f"{n} usable rows leave no window of {settings.min_window} rows "
                      f"after a margin of {settings.margin:g} at each end")
    t_fit, fit = np.frombuffer(t_found, np.float64), np.frombuffer(fit_found, np.float64)
    if math.isnan(d) and len(t_fit) <= 1:
        return failed("no window",
                      f"no window of {settings.rows_phrase()} has a "
                      f"log-log slope within 1 ± {settings.max_error:g}")
    rows = np.frombuffer(found_rows, np.int64).astype(np.intp, copy=False)
    assert len(rows) == len(t_fit), "the fitted window is not a run of the curve's times"
    if not math.isfinite(d):
        return Fit(source, column, t, m, "degenerate", _why_degenerate(t[rows], m[rows]), None,
                   t_fit, fit, int(rows[0]), int(rows[-1]) + 1, _loglog_slope(t[rows], m[rows]))
    checked = _check(t, m, rows, settings, settled)
    if not (settings.check and checked.quality.problems):
        return Fit(source, column, t, m, "ok", "", d, t_fit, fit, checked.quality.start, checked.quality.stop,
                   checked.loglog_slope, checked.quality)
    # Rejected: the search goes on over the rows the checks leave, in filtered positions.
    kept = np.flatnonzero(np.abs(m) >= threshold)
    tk, mk = t[kept], m[kept]
    first = int(np.searchsorted(kept, rows[0]))
    # Windows occupy filtered positions [start, end - 1) (the module stops one short of end).
    allowed = np.zeros(n, dtype=bool)
    allowed[start:end - 1] = True
    if settled is not None:  # no window of the short-time regime
        allowed[:int(np.searchsorted(kept, settled))] = False
    rejected: list[RejectedWindow] = []
    while True:
        quality = checked.quality
        if not (settings.check and quality.problems):
            return Fit(source, column, t, m, "ok", "", d, _array(t_fit), _array(fit), quality.start, quality.stop,
                       checked.loglog_slope, quality, tuple(rejected))
        rejected.append(RejectedWindow(d, _module_loglog_slope(tk[first:first + len(t_fit)],
                                                               mk[first:first + len(t_fit)]), quality))
        if len(rejected) > settings.max_rejections:
            break
        allowed[first:first + len(t_fit)] &= ~checked.refused_rows
        found = _search_allowed(tk, mk, allowed, settings)
        if found is None:
            break
        first, d, t_fit, fit = found[0], found[1], _array(found[2]), _array(found[3])
        checked = _check(t, m, kept[first:first + len(t_fit)], settings, settled)
    tried = "; ".join(f"{r.quality.t_start:g} to {r.quality.t_end:g}: {', '.join(r.reasons)}" for r in rejected)
    return failed("rejected", f"no window found is diffusive throughout ({tried})", tuple(rejected))


def _search_allowed(tk: FloatArray, mk: FloatArray, allowed: npt.NDArray[np.bool_],
                    settings: WindowSettings) -> tuple[int, float, list[float], list[float]] | None:
    """The module's best window among those lying in runs of allowed rows, or None.

    Each run is searched by `_quor_pp.diff_calculator` on a slice of the filtered curve
    with no margin, extended by min_window + 1 rows so that its windows are exactly
    those inside the run. Runs are compared on the module's log-log slope, the earlier
    run winning a tie as the module's own search would.
    """
    best: tuple[float, int, float, list[float], list[float]] | None = None
    edges = np.flatnonzero(np.diff(np.concatenate(([0], allowed.astype(np.int8), [0]))))
    for a, b in zip(edges[::2].tolist(), edges[1::2].tolist()):
        if b - a < settings.min_window:
            continue
        stop = b + settings.min_window + 1
        d, t_fit, fit = _quor_pp.diff_calculator(
            tk[a:stop], mk[a:stop], 0.0, settings.min_window, settings.max_window,
            settings.max_error, settings.min_displacement)
        if not math.isfinite(d):  # no window here (or, never in practice, a degenerate one)
            continue
        first = a + _locate(tk[a:stop], np.asarray(t_fit))
        score = abs(_module_loglog_slope(tk[first:first + len(t_fit)], mk[first:first + len(t_fit)]) - 1.0)
        if best is None or score < best[0]:
            best = (score, first, d, t_fit, fit)
    return None if best is None else best[1:]


def _fit_by_hand(t: FloatArray, m: FloatArray, kept: npt.NDArray[np.intp], window: tuple[float, float],
                 settings: WindowSettings, source: str, column: str, settled: int | None) -> Fit:
    """Fits the rows of a window given by its first and last time, as given: its problems stay in its quality."""
    begin, finish = (float(v) for v in window)
    if not (math.isfinite(begin) and math.isfinite(finish) and begin <= finish):
        raise ValueError(f"a window must be two finite times, the first not after the second, not {window}")
    empty = _EMPTY

    def failed(status: str, message: str, rejected: tuple[RejectedWindow, ...] = ()) -> Fit:
        return Fit(source, column, t, m, status, message, None, empty, empty, rejected=rejected)

    finite = t[np.isfinite(t)]
    if not len(finite) or finish < finite.min() or begin > finite.max():
        span = f"{finite.min():g} to {finite.max():g}" if len(finite) else "no finite times"
        return failed("outside data", f"the window {begin:g} to {finish:g} lies outside the curve's times ({span})")
    rows = kept[(t[kept] >= begin) & (t[kept] <= finish)]
    if len(rows) < 2:
        return failed("too few points", f"the window {begin:g} to {finish:g} holds {len(rows)} usable rows, "
                                        "fewer than 2")
    x, y = t[rows], m[rows]
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
        return failed("degenerate", f"the window {begin:g} to {finish:g} holds values that are not finite")
    checked = _check(t, m, rows, settings, settled)
    slope, line, quality, loglog = checked.slope, checked.line, checked.quality, checked.loglog_slope
    if not math.isfinite(slope):
        return failed("degenerate", _why_degenerate(x, y))
    return Fit(source, column, t, m, "ok", "", slope, _array(x), line, quality.start, quality.stop, loglog, quality)


def refuse_if_not_diffusive(fit: Fit, settings: WindowSettings) -> Fit:
    """The fit of a window given for a curve, or "rejected" where the curve is not diffusive over it.

    For the replicas' common window in a replica whose own search found none: the
    window is refused only where the curve's log-log slope over it is that of the
    short-time regime, farther from 1 than SHORT_TIME_EXCURSION · max_error (a
    ballistic curve, slope 2). Anything stricter (the band of the search, the local
    slopes, the line's sign) would refuse the replicas whose curve still bends up
    over the window, as a true curve does, and keep those whose noise straightened
    it: the bias the shared window removes (η 6 % low on slowly relaxing runs).
    What the checks find stays in the fit's quality.
    """
    slope = fit.loglog_slope
    limit = SHORT_TIME_EXCURSION * settings.max_error
    if not fit.success or fit.quality is None or (slope is not None and abs(slope - 1.0) <= limit):
        return fit
    assert fit.slope is not None
    quality = fit.quality
    shown = "undefined" if slope is None else f"{slope:.3g}"
    return Fit(fit.source, fit.column, fit.time, fit.msd, "rejected",
               f"the replicas' common window {quality.t_start:g} to {quality.t_end:g} is not diffusive here (its "
               f"log-log slope is {shown}, outside 1 ± {limit:g}), and the curve has no window of its "
               "own", None, _EMPTY, _EMPTY,
               rejected=(RejectedWindow(fit.slope, math.nan if slope is None else slope, quality),))


def common_window(fits: Iterable[Fit]) -> tuple[float, float] | None:
    """The window that all accepted windows share: the latest start and the earliest end.

    Fits without an accepted window are left out, so that one window can be given to
    every replica, those that failed included.

    Parameters
    ----------
    fits : iterable of Fit
        One fit per replica.

    Returns
    -------
    (float, float) or None
        First and last time, in the run's time unit; None when no fit has a window or
        the windows do not overlap over a span of time.

    Examples
    --------
    >>> t = [float(k) for k in range(1, 101)]
    >>> a = fit_window(t, [2.0 * x for x in t], window=(10.0, 50.0))
    >>> b = fit_window(t, [2.0 * x for x in t], window=(30.0, 80.0))
    >>> common_window([a, b])
    (30.0, 50.0)
    """
    windows = [fit.window for fit in fits if fit.window is not None]
    if not windows:
        return None
    begin = max(w[0] for w in windows)
    finish = min(w[1] for w in windows)
    return (begin, finish) if begin < finish else None


def _why_degenerate(t: FloatArray, m: FloatArray) -> str:
    """Why a window's straight line has no finite slope."""
    if np.all(t == t[0]):
        return "the window's times are all equal"
    return (f"the straight line over the window overflows: its values reach {float(np.max(np.abs(m))):.3g} "
            "(a unit or scale error?)")


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
