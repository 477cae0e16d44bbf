"""Replica statistics: Student's t quantiles and confidence intervals against SciPy."""
import math

import numpy as np
import pytest
scipy = pytest.importorskip("scipy")  # the independent reference; absent in the sanitizer job
import scipy.stats  # noqa: E402

from quor_pp.analysis.statistics import confidence_interval, replica_statistics, student_t_quantile

PROBABILITIES = [0.975, 0.995, 0.9, 0.6, 1.0 - 1e-12, 0.025, 1e-8, 0.3]


@pytest.mark.parametrize("dof", [1, 2, 3, 4, 4.5, 9, 30, 99.5, 150, 1000, 1e6, 0.3])
def test_student_t_quantile_matches_scipy(dof):
    for p in PROBABILITIES:
        assert student_t_quantile(p, dof) == pytest.approx(scipy.stats.t.ppf(p, dof), rel=1e-10), p


def test_student_t_quantile_limits_and_symmetry():
    assert student_t_quantile(0.5, 3) == 0.0
    assert student_t_quantile(1.0, 3) == math.inf and student_t_quantile(0.0, 3) == -math.inf
    assert student_t_quantile(0.01, 7) == pytest.approx(-student_t_quantile(0.99, 7), rel=1e-14)
    # Next to the median t = (p - 1/2) / density(0), where a closed form may round to 0.
    for dof in (1, 4, 30):
        assert student_t_quantile(0.5 + 1e-9, dof) == pytest.approx(1e-9 / scipy.stats.t.pdf(0.0, dof), rel=1e-6)
    # Many degrees of freedom: the normal quantile, with its first correction z (1 + (z² + 1) / 4ν).
    z = 1.959963984540054
    assert student_t_quantile(0.975, 1e9) == pytest.approx(z * (1.0 + (z * z + 1.0) / 4e9), rel=1e-8)


@pytest.mark.parametrize("p, dof", [(-0.1, 3), (1.5, 3), (math.nan, 3), (0.9, 0), (0.9, -2), (0.9, math.inf)])
def test_student_t_quantile_refuses_bad_arguments(p, dof):
    with pytest.raises(ValueError):
        student_t_quantile(p, dof)


@pytest.mark.parametrize("values", [[1.0, 2.0], [1.5, 1.59, 1.61, 1.6, 1.58], list(np.linspace(0.3, 0.9, 12))])
@pytest.mark.parametrize("level", [0.95, 0.99, 0.68])
def test_confidence_interval_matches_scipy(values, level):
    low, high = scipy.stats.t.interval(level, len(values) - 1, loc=np.mean(values), scale=scipy.stats.sem(values))
    half = (high - low) / 2.0
    assert confidence_interval(values, level=level) == pytest.approx(half, rel=1e-10)
    assert confidence_interval(std=float(np.std(values)), n=len(values), level=level) == pytest.approx(half, rel=1e-10)
    stats = replica_statistics(values, level)
    assert stats.ci == pytest.approx(half, rel=1e-10) and stats.sem == pytest.approx(scipy.stats.sem(values))


def test_statistics_leave_out_non_finite_values_and_need_two():
    stats = replica_statistics([2.0, math.nan, 4.0, math.inf])
    assert (stats.mean, stats.std, stats.n) == (3.0, 1.0, 2)
    assert stats.ci == pytest.approx(scipy.stats.t.ppf(0.975, 1) * 1.0)
    assert replica_statistics([5.0]).to_dict() == {"mean": 5.0, "std": 0.0, "sem": None, "n": 1, "ci": None,
                                                   "level": 0.95}
    assert replica_statistics([math.nan]).mean is None and confidence_interval([]) is None


@pytest.mark.parametrize("kwargs", [{}, {"std": 1.0}, {"values": [1.0, 2.0], "n": 2}, {"std": -1.0, "n": 3},
                                    {"values": [1.0, 2.0], "level": 1.0}])
def test_confidence_interval_refuses_bad_arguments(kwargs):
    with pytest.raises(ValueError):
        confidence_interval(**kwargs)


def test_docstring_examples_run():
    import doctest

    import quor_pp.analysis.statistics

    assert doctest.testmod(quor_pp.analysis.statistics).failed == 0
