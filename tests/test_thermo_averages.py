"""Equilibrated means of thermodynamic tables with errors from the statistical inefficiency."""

import math

import numpy as np
import pytest

import quor_pp
from quor_pp.analysis import thermo_averages

RUN = __import__("pathlib").Path(__file__).resolve().parents[1] / "examples" / "data" / "run"


def ar1(phi, n, seed):
    rng = np.random.default_rng(seed)
    x = np.empty(n)
    x[0] = rng.normal() / math.sqrt(1 - phi * phi)
    for k in range(1, n):
        x[k] = phi * x[k - 1] + rng.normal()
    return x


@pytest.mark.parametrize("phi", [0.0, 0.5, 0.8])
def test_inefficiency_of_an_ar1_series_is_its_known_value(phi):
    # For x_t = φ x_{t−1} + noise, C(t) = φ^t and g = (1 + φ)/(1 − φ).
    found = thermo_averages.statistical_inefficiency(ar1(phi, 20000, 7))
    assert found == pytest.approx((1 + phi) / (1 - phi), rel=0.12)


def test_error_of_the_mean_matches_the_spread_of_independent_series():
    means, errors = [], []
    for seed in range(40):
        result = thermo_averages.detect_equilibration(ar1(0.7, 2000, seed) + 5.0)
        means.append(result.mean)
        errors.append(result.error)
    assert np.std(means, ddof=1) == pytest.approx(np.mean(errors), rel=0.3)


def test_an_initial_transient_is_cut_off():
    series = ar1(0.3, 2000, 3)
    series[:300] += np.linspace(20.0, 0.0, 300)  # relaxing from a hot start
    result = thermo_averages.detect_equilibration(series)
    assert 150 <= result.start <= 400 and abs(result.mean) < 0.2


@pytest.mark.parametrize("values", [[], [1.0, math.nan]])
def test_series_without_finite_samples_are_refused(values):
    with pytest.raises(ValueError):
        thermo_averages.detect_equilibration(values)


def test_constant_series_has_no_correlation():
    assert thermo_averages.statistical_inefficiency(np.full(100, 3.0)) == 1.0


def test_sample_run_rows():
    report = quor_pp.analyze(RUN)
    assert report.row("thermo_mean", "Temp").value == pytest.approx(report.row("temperature").value, abs=0.5)
    assert 0 < report.row("thermo_mean_error", "Temp").value < 1.0
    assert not any(row.species == "Step" for row in report.rows)
    assert report.row("mean_angle").value == pytest.approx(104.5, abs=0.3)  # the generator's normal angles
