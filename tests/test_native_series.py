"""The package's native series code: the located window, and what it refuses."""

import math

import numpy as np
import pytest

import _quor_pp
from quor_pp import _native
from quor_pp.analysis.fitting import WindowSettings
from quor_pp.analysis.window_search import fit_window
from quor_pp.analysis.thermo_averages import detect_equilibration, statistical_inefficiency


def _curves():
    rng = np.random.default_rng(11)
    t = np.cumsum(rng.uniform(0.5, 1.5, 240))
    clean = 4.0 * t
    # Rows below the displacement threshold inside the curve: the window's rows are not contiguous.
    holes = clean.copy()
    holes[rng.choice(np.arange(30, 200), 25, replace=False)] = 1e-9
    # A multiple-tau table repeats a time at each block boundary.
    repeated = np.concatenate([np.arange(1.0, 121.0), np.arange(120.0, 480.0, 3.0)])
    return [(t, clean), (t, holes), (repeated, 2.0 * repeated ** 1.02), (t, -3.0 * t)]


@pytest.mark.parametrize("curve", range(4))
@pytest.mark.parametrize("min_displacement", [0.0, 1e-3])
def test_located_window_is_the_modules_window(curve, min_displacement):
    t, msd = _curves()[curve]
    settings = WindowSettings(min_displacement=min_displacement)
    fit = fit_window(t, msd, settings)
    d, t_fit, line = _quor_pp.diff_calculator(t, msd, settings.margin, settings.min_window, settings.max_window,
                                              settings.max_error, min_displacement)
    assert fit.status == "ok" and fit.slope == d
    assert fit.t_fit.tolist() == t_fit and fit.fit.tolist() == line
    # The rows the window names hold its times, and only rows that pass the filter.
    d2, _, _, rows, usable = _native.search_window(t, msd, settings.margin, settings.min_window,
                                                   settings.max_window, settings.max_error, min_displacement)
    rows = np.frombuffer(rows, np.int64)
    assert d2 == d and t[rows].tolist() == t_fit
    assert usable == np.count_nonzero(np.abs(msd) >= min_displacement ** 2)
    assert np.all(np.abs(msd[rows]) >= min_displacement ** 2)
    assert (fit.start, fit.stop) == (rows[0], rows[-1] + 1)


@pytest.mark.parametrize("call", [
    lambda: _native.check_window(np.arange(3, dtype=np.int64), np.ones(3), 0.1, 2.0),
    lambda: _native.check_window(np.ones((2, 2)), np.ones(4), 0.1, 2.0),
    lambda: _native.check_window("abc", np.ones(3), 0.1, 2.0),
    lambda: _native.search_window(np.ones(4), np.ones(4), 0.1, -1, 60, 0.1, 0.0),
    lambda: _native.detect_equilibration(np.ones(4, dtype=np.float32), 5),
    lambda: _native.statistical_inefficiency(np.ones(4)),
], ids=["integers", "2-D", "text", "negative window", "float32", "arity"])
def test_bad_arguments_raise_type_errors(call):
    with pytest.raises((TypeError, OverflowError)):
        call()


@pytest.mark.parametrize("call", [
    lambda: _native.check_window(np.ones(3), np.ones(4), 0.1, 2.0),
    lambda: _native.check_window(np.ones(0), np.ones(0), 0.1, 2.0),
    lambda: _native.search_window(np.ones(3), np.ones(4), 0.1, 10, 60, 0.1, 0.0),
    lambda: detect_equilibration([]),
    lambda: detect_equilibration([1.0, math.nan]),
    lambda: detect_equilibration([1.0, 2.0], candidates=0),
    lambda: statistical_inefficiency([1.0, 2.0], min_lag=-1),
], ids=["lengths", "empty", "search lengths", "no samples", "nan", "no candidates", "negative lag"])
def test_bad_values_raise_value_errors(call):
    with pytest.raises(ValueError):
        call()


def test_equilibration_keeps_the_start_with_most_uncorrelated_samples():
    """Against a brute force over every candidate start, with g from an FFT autocorrelation."""
    rng = np.random.default_rng(4)
    x = np.zeros(400)
    for k in range(1, len(x)):
        x[k] = 0.8 * x[k - 1] + rng.normal()
    x[:60] += np.linspace(8.0, 0.0, 60)

    def inefficiency(y):
        n = len(y)
        dy = y - y.mean()
        spectrum = np.fft.rfft(dy, 2 * n)
        acf = np.fft.irfft(spectrum * np.conj(spectrum))[:n] / np.arange(n, 0, -1)
        c = acf / acf[0]
        g = 1.0
        for t in range(1, n - 1):
            if c[t] <= 0.0 and t > 3:
                break
            g += 2.0 * c[t] * (1.0 - t / n)
        return max(g, 1.0)

    starts = sorted({int(k) for k in np.linspace(0, len(x) // 2 - 1, 50)})
    best = max(starts, key=lambda s: ((len(x) - s) / inefficiency(x[s:]), -s))
    found = detect_equilibration(x)
    assert found.start == best
    assert found.inefficiency == pytest.approx(inefficiency(x[best:]), rel=1e-9)
    assert found.mean == pytest.approx(x[best:].mean(), rel=1e-12)
