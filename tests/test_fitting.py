"""Window fits: quality of a fit, rejection of windows that are diffusive only on average, windows by hand."""
import dataclasses
import json
import math
import pathlib

import numpy as np
import pytest
scipy = pytest.importorskip("scipy")  # the independent reference; absent in the sanitizer job
import scipy.stats  # noqa: E402

import _quor_pp
from quor_pp.analysis.fitting import Fit, WindowSettings, line_fit, local_loglog_slope
from quor_pp.analysis.window_search import _search_allowed, common_window, fit_window

TRUE_SLOPE = 1.5


def crossover_with_noisy_tail(seed=0):
    """A curve that is ballistic, then caged, then diffusive (slope 1.5), with a very noisy tail.

    A window across the end of the ballistic rise and the cage plateau has a log-log
    slope of 1 on average, and the module's search prefers it to the diffusive stretch,
    whose log-log slope stays a little below 1 because of the plateau's offset.
    """
    t = np.geomspace(1e-2, 1e4, 240)
    rng = np.random.default_rng(seed)
    msd = 40.0 * (1.0 - np.exp(-(t / 0.5) ** 2)) + TRUE_SLOPE * t
    msd *= 1.0 + 0.002 * rng.standard_normal(len(t))
    tail = t > 1500.0
    msd[tail] *= 1.0 + 0.3 * rng.standard_normal(int(tail.sum()))
    return t, msd


def piecewise_power_law(t, breaks, slopes):
    """A continuous curve whose log-log slope is slopes[k] between breaks[k-1] and breaks[k]."""
    log_t = np.log10(t)
    edges = np.log10(np.concatenate(([t[0]], breaks, [t[-1]])))
    log_m = np.zeros_like(log_t)
    for k, slope in enumerate(slopes):
        lo, hi = edges[k], edges[k + 1]
        log_m += slope * (np.clip(log_t, lo, hi) - lo)
    return 10.0 ** log_m


def test_window_diffusive_only_on_average_is_rejected_and_the_slope_recovered():
    t, msd = crossover_with_noisy_tail()
    first = fit_window(t, msd, WindowSettings(check=False))
    fit = fit_window(t, msd)
    # Unchecked, the module's choice stands: a window in the crossover, far off the slope.
    assert first.slope == _quor_pp.diff_calculator(t, msd, 0.1, 10, 60, 0.1, 0.0)[0]
    assert first.window[1] < 5.0 and abs(first.slope - TRUE_SLOPE) > 10.0
    assert fit.status == "ok"
    [rejected] = fit.rejected
    assert (rejected.quality.t_start, rejected.quality.t_end) == first.window
    assert rejected.slope == first.slope
    assert any("local log-log slope" in reason for reason in rejected.reasons)
    # The kept window is diffusive, before the noisy tail, and gives back the slope.
    assert 100.0 < fit.window[0] and fit.window[1] < 1500.0
    assert fit.quality.problems == ()
    assert abs(fit.slope - TRUE_SLOPE) < fit.quality.slope_stderr
    # Its numbers are the module's for that stretch of the curve.
    rows = slice(fit.start, fit.stop)
    slope, _, line = line_fit(t[rows], msd[rows])
    assert slope == fit.slope and np.array_equal(line, fit.fit)


@pytest.mark.parametrize("settings", [WindowSettings(), WindowSettings(margin=0.0, min_window=5, max_window=30)])
def test_clean_linear_curve_keeps_the_modules_window_bit_for_bit(settings):
    t = np.arange(1.0, 301.0) * 0.37
    msd = 6.0 * 0.123 * t
    fit = fit_window(t, msd, settings)
    d, t_fit, line = _quor_pp.diff_calculator(t, msd, settings.margin, settings.min_window, settings.max_window,
                                              settings.max_error, settings.min_displacement)
    assert fit.status == "ok" and fit.rejected == ()
    assert fit.slope == d and fit.t_fit.tolist() == t_fit and fit.fit.tolist() == line
    q = fit.quality
    assert q.row_count == len(t_fit) == q.stop - q.start and (q.t_start, q.t_end) == (t_fit[0], t_fit[-1])
    assert q.r_squared == pytest.approx(1.0, abs=1e-12) and abs(q.relative_intercept) < 1e-12
    assert q.local_slope_min == pytest.approx(1.0) and q.local_slope_max == pytest.approx(1.0)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("margin, min_window, max_window", [(0.1, 10, 60), (0.0, 3, 8), (0.25, 6, 40)])
def test_search_over_sub_ranges_is_the_modules_search(seed, margin, min_window, max_window):
    """With every row allowed, searching the runs of rows gives the module's own choice."""
    rng = np.random.default_rng(seed)
    t = np.cumsum(rng.uniform(0.5, 1.5, 150))
    msd = t ** rng.uniform(0.8, 1.2) * (1.0 + 0.05 * rng.standard_normal(150))
    settings = WindowSettings(margin=margin, min_window=min_window, max_window=max_window, max_error=0.3)
    d, t_fit, line = _quor_pp.diff_calculator(t, msd, margin, min_window, max_window, 0.3, 0.0)
    n = len(t)
    allowed = np.zeros(n, dtype=bool)
    allowed[int(margin * n):int((1.0 - margin) * n) - min_window - 1] = True
    found = _search_allowed(t, msd, allowed, settings)
    if math.isnan(d):
        assert found is None
    else:
        assert found[1:] == (d, t_fit, line)
        # Cutting the region in two keeps only the windows that fit in one part.
        middle = int(np.searchsorted(t, t_fit[len(t_fit) // 2]))
        allowed[middle] = False
        found = _search_allowed(t, msd, allowed, settings)
        assert found is None or not (found[0] <= middle < found[0] + len(found[2]))


def test_line_fit_is_the_modules_final_fit_bit_for_bit():
    rng = np.random.default_rng(5)
    for _ in range(20):
        t = np.cumsum(rng.uniform(0.1, 3.0, 80))
        msd = 2.0 * t + rng.normal(0.0, 5.0, 80)
        d, t_fit, line = _quor_pp.diff_calculator(t, msd, 0.1, 5, 40, 0.5, 0.0)
        if math.isnan(d):
            continue
        first = int(np.searchsorted(t, t_fit[0]))
        slope, _, fitted = line_fit(t[first:first + len(t_fit)], msd[first:first + len(t_fit)])
        assert slope == d and fitted.tolist() == line


def test_quality_matches_an_independent_regression():
    t, msd = crossover_with_noisy_tail(seed=3)
    fit = fit_window(t, msd)
    rows = slice(fit.start, fit.stop)
    reference = scipy.stats.linregress(t[rows], msd[rows])
    q = fit.quality
    assert fit.slope == pytest.approx(reference.slope, rel=1e-10)
    assert q.slope_stderr == pytest.approx(reference.stderr, rel=1e-8)
    assert q.r_squared == pytest.approx(reference.rvalue ** 2, rel=1e-10)
    assert q.relative_intercept == pytest.approx(
        reference.intercept / (reference.intercept + reference.slope * t[fit.start]), rel=1e-6)


def test_every_window_failing_gives_status_rejected():
    # The log-log slope alternates between 1.5 and 0.5 every factor of 4 in time.
    t = np.geomspace(1.0, 1e4, 200)
    breaks = 4.0 ** np.arange(1, 7)
    msd = piecewise_power_law(t, breaks, [1.5 if k % 2 == 0 else 0.5 for k in range(7)])
    fit = fit_window(t, msd)
    assert fit.status == "rejected" and fit.slope is None and fit.quality is None
    assert len(fit.rejected) >= 2 and "no window found is diffusive throughout" in fit.message
    # Bounded: giving up after the first rejection.
    once = fit_window(t, msd, WindowSettings(max_rejections=0))
    assert once.status == "rejected" and len(once.rejected) == 1


def test_line_that_leaves_the_data_is_shown_on_a_window_given_by_hand():
    """The issue's case: slope drifting across a window, its straight line negative at the start.

    A window given by hand is used as given: fitted, with the checks' findings in its quality.
    """
    t = np.geomspace(1.0, 1e4, 200)
    msd = piecewise_power_law(t, [100.0], [0.5, 1.5])
    fit = fit_window(t, msd, window=(3.0, 3000.0))
    assert fit.status == "ok" and fit.window == (pytest.approx(t[t >= 3.0][0]), pytest.approx(t[t <= 3000.0][-1]))
    assert any("negative where the curve is positive" in reason for reason in fit.quality.problems)
    # Intercept and line at the start both negative, the line rising: the ratio exceeds 1.
    assert fit.quality.relative_intercept > 1.0 and fit.slope > 0.0
    # Unchecked, the same window and the same findings.
    kept = fit_window(t, msd, WindowSettings(check=False), window=(3.0, 3000.0))
    assert kept.status == "ok" and kept.slope == fit.slope and kept.quality.problems == fit.quality.problems


@pytest.mark.parametrize("window, status, rows", [
    ((10.0, 20.0), "ok", 11),
    ((10.5, 10.9), "too few points", 0),
    ((10.0, 10.5), "too few points", 0),
    ((500.0, 600.0), "outside data", 0),
    ((-5.0, -1.0), "outside data", 0),
    ((95.0, 1000.0), "ok", 6),
])
def test_windows_by_hand(window, status, rows):
    t = np.arange(1.0, 101.0)
    fit = fit_window(t, 3.0 * t + 2.0, window=window)
    assert fit.status == status
    if status == "ok":
        assert fit.quality.row_count == rows == len(fit.t_fit)
        assert fit.slope == pytest.approx(3.0) and fit.quality.relative_intercept == pytest.approx(2.0 / fit.fit[0])
    else:
        assert fit.slope is None and fit.message


def test_window_by_hand_uses_the_displacement_filter():
    t = np.arange(1.0, 21.0)
    msd = 2.0 * t
    msd[5] = 0.0
    fit = fit_window(t, msd, WindowSettings(min_displacement=1.0), window=(4.0, 10.0))
    assert fit.quality.row_count == 6 and 6.0 not in fit.t_fit and fit.slope == pytest.approx(2.0)


@pytest.mark.parametrize("window", [(5.0, 1.0), (math.nan, 3.0), (1.0, math.inf)])
def test_bad_window_by_hand_raises(window):
    with pytest.raises(ValueError, match="window"):
        fit_window([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], window=window)


def test_common_window():
    t = np.arange(1.0, 101.0)
    fits = [fit_window(t, 2.0 * t, window=w) for w in [(10.0, 50.0), (20.0, 70.0), (5.0, 45.0)]]
    failed = fit_window(t, 2.0 * t, window=(200.0, 300.0))
    assert common_window(fits) == (20.0, 45.0)
    assert common_window([*fits, failed]) == (20.0, 45.0)
    assert common_window([fits[0], fit_window(t, 2.0 * t, window=(60.0, 80.0))]) is None
    assert common_window([failed]) is None and common_window([]) is None
    # Fitting each replica in the common window gives one span of time for all.
    shared = [fit_window(t, 2.0 * t, window=common_window(fits)) for _ in fits]
    assert {fit.window for fit in shared} == {(20.0, 45.0)}


def test_fit_is_immutable_and_its_records_are_json():
    t, msd = crossover_with_noisy_tail()
    fit = fit_window(t, msd)
    for name in ("time", "msd", "t_fit", "fit"):
        with pytest.raises(ValueError, match="read-only"):
            getattr(fit, name)[0] = 0.0
    with pytest.raises(dataclasses.FrozenInstanceError):
        fit.quality.row_count = 3  # type: ignore[misc]
    assert isinstance(fit.rejected, tuple) and isinstance(fit.quality.problems, tuple)
    # A replaced array (as parallel runs do) is made read-only too.
    lighter = dataclasses.replace(fit, time=np.zeros(0), msd=np.zeros(0))
    assert not lighter.time.flags.writeable
    record = json.loads(json.dumps({"quality": fit.quality.to_dict(),
                                    "rejected": [r.to_dict() for r in fit.rejected]}))
    assert record["quality"]["row_count"] == fit.quality.row_count
    assert record["rejected"][0]["problems"] == list(fit.rejected[0].reasons)
    two_rows = fit_window([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], window=(1.0, 2.0))
    assert two_rows.quality.to_dict()["slope_stderr"] is None


def test_window_settings_refuse_bad_checks():
    with pytest.raises(ValueError, match="out_of_band_share"):
        WindowSettings(out_of_band_share=1.0)
    with pytest.raises(ValueError, match="max_rejections"):
        WindowSettings(max_rejections=-1)
    assert isinstance(fit_window([1.0], [1.0]), Fit)


def test_local_slope_of_a_power_law_with_a_repeated_block_time():
    t = np.array([10.0 * k for k in range(1, 33)] + [320.01] + [320.0 + 20.0 * k for k in range(1, 33)])
    slopes = local_loglog_slope(t, 3.0 * t ** 0.8)
    defined = slopes[~np.isnan(slopes)]
    assert len(defined) == np.count_nonzero(t * 2.0 <= t[-1]) and np.allclose(defined, 0.8, rtol=1e-12)
    shuffled = np.random.default_rng(2).permutation(len(t))
    unordered = local_loglog_slope(t[shuffled], 3.0 * t[shuffled] ** 0.8)
    assert np.allclose(unordered[~np.isnan(unordered)], 0.8, rtol=1e-12)


def test_sample_run_windows_pass_the_checks():
    """Real-layout noisy curves: noise alone does not get a good window rejected."""
    run = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"
    for path in sorted(run.glob("replica_*/*.dat")):
        if path.name not in ("diffself.dat", "diffonsag.dat", "viscosity.dat", "thermconductivity.dat"):
            continue
        table = _quor_pp.parse_quor_file(str(path))
        time, *columns = table
        for column in columns:
            if column.startswith("MSD__wat_"):
                continue  # the water's Onsager curves are the ions' combined (momentum), fitted over the matrix's window
            fit = fit_window(table[time], table[column])
            assert fit.status == "ok" and fit.rejected == (), (path, column)
            assert fit.slope == _quor_pp.diff_calculator(table[time], table[column], 0.1, 10, 60, 0.1, 0.0)[0]


def test_a_curve_too_large_to_fit_says_so():
    t = np.arange(1.0, 300.0)
    with np.errstate(over="ignore", invalid="ignore"):
        fit = fit_window(t, 1e306 * t)
    assert fit.status == "degenerate" and "overflows" in fit.message and "times are all equal" not in fit.message
