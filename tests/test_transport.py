"""Transport analysis: MSD window fit, replica statistics, peak finding, proton-hopping corrections."""
import math
import random
import subprocess
import sys

import pytest

import _quor_pp as qp
import transport_reference as ref
from conftest import same_float, same_floats

NAN = float("nan")
INF = float("inf")
U64_MAX = 2**64 - 1


def assert_same_fit(result, expected):
    d, t_fit, fit = result
    assert isinstance(result, tuple) and isinstance(t_fit, list) and isinstance(fit, list)
    assert same_float(d, expected[0]), (d, expected[0])
    assert same_floats(t_fit, expected[1]), (t_fit, expected[1])
    assert same_floats(fit, expected[2]), (fit, expected[2])


def fit_both(*args):
    """The module's result, checked bit for bit against the direct evaluation."""
    result = qp.diff_calculator(*args)
    assert_same_fit(result, ref.diff_calculator(*args))
    return result


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


# --- MSD window fit -----------------------------------------------------------------------

TIME12 = [float(k) for k in range(1, 13)]
MSD12 = [1.0, 4.0, 9.0, 16.0, 25.0, 36.0, 42.0, 48.0, 54.0, 60.0, 66.0, 72.0]


@pytest.mark.parametrize(
    "margin, min_window, max_window, min_displacement, expected",
    [
        # Only (5, 3) lies in the band, although the linear stretch goes on to t = 12.
        (0.0, 3, 5, 0.0, (6.0, [6.0, 7.0, 8.0], [36.0, 42.0, 48.0])),
        # max_window is exclusive: with 3 no window is visited.
        (0.0, 3, 3, 0.0, (NAN, [1.0], [1.0])),
        # start 3, end 9 - 3 = 6: windows (3..5, 3) reach t = 8 at most but none qualifies.
        (0.25, 3, 5, 0.0, (NAN, [1.0], [1.0])),
        # |MSD| < 25 dropped: n = 8, end = 5, the same window found as (1, 3).
        (0.0, 3, 5, 5.0, (6.0, [6.0, 7.0, 8.0], [36.0, 42.0, 48.0])),
        # A negative margin pushes end past n; windows still stop at n.
        (-1.0, 3, 5, 0.0, (6.0, [6.0, 7.0, 8.0], [36.0, 42.0, 48.0])),
        # margin of one half or more: start >= end.
        (0.5, 3, 5, 0.0, (NAN, [1.0], [1.0])),
    ],
)
def test_worked_example_and_variants(margin, min_window, max_window, min_displacement, expected):
    result = fit_both(TIME12, MSD12, margin, min_window, max_window, 0.2, min_displacement)
    assert_same_fit(result, expected)


@pytest.mark.parametrize("a", [2.5, 1e-20, 7.0e5])
@pytest.mark.parametrize("margin, min_window, max_window", [(0.0, 2, 4), (0.1, 5, 30), (-0.3, 0, 100)])
def test_exactly_proportional_msd_gives_its_factor(a, margin, min_window, max_window):
    time = [0.5 * k for k in range(1, 41)]
    msd = [a * t for t in time]
    d, t_fit, fit = fit_both(time, msd, margin, min_window, max_window, 0.01, 0.0)
    assert d == pytest.approx(a, rel=1e-12)
    assert len(t_fit) >= 2
    first = time.index(t_fit[0])
    assert t_fit == time[first : first + len(t_fit)]
    assert fit == pytest.approx(msd[first : first + len(t_fit)], rel=1e-12)


@pytest.mark.parametrize(
    "time, msd, min_displacement",
    [
        ([], [], 0.0),
        ([1.0, 2.0], [1.0], 0.0),
        ([1.0], [1.0, 2.0], 0.0),
        ([], [1.0], 0.0),
        # every |MSD| below min_displacement**2, or NaN, or the threshold itself NaN
        ([1.0, 2.0, 3.0], [0.5, -0.9, NAN], 1.0),
        ([1.0, 2.0, 3.0], [NAN, NAN, NAN], 0.0),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], NAN),
    ],
)
def test_empty_mismatched_or_fully_filtered_input(time, msd, min_displacement):
    assert_same_fit(fit_both(time, msd, 0.0, 2, 10, 0.5, min_displacement), (NAN, [], []))


def test_threshold_is_inclusive_and_compares_magnitudes():
    # |MSD| == 2**2 passes; negative values pass on their magnitude and keep their sign.
    # Three points survive, enough for the single window (0, 2).
    time = [1.0, 2.0, 3.0, 4.0, 5.0]
    msd = [1.0, -4.0, -6.0, -8.0, 3.9]
    d, t_fit, fit = fit_both(time, msd, 0.0, 0, 3, 0.5, 2.0)
    assert t_fit == [2.0, 3.0] and d == -2.0 and fit == [-4.0, -6.0]


@pytest.mark.parametrize(
    "time, msd, args",
    [
        # nothing qualifies: first elements of the arguments, even filtered out and negative
        (TIME12, [-0.5] + MSD12[1:], (0.0, 3, 5, 0.0, 1.0)),
        (TIME12, [-30.0] + MSD12[1:], (0.0, 3, 5, 0.0, 0.0)),
        (TIME12, MSD12, (0.0, 3, 5, NAN, 0.0)),
        # min_window larger than the filtered count: end held at 0
        (TIME12, MSD12, (0.0, 40, 50, 0.2, 0.0)),
        (TIME12, MSD12, (0.0, U64_MAX, U64_MAX, 0.2, 0.0)),
        # a single point never forms a window, whatever the limits
        ([3.0], [7.0], (-5.0, 0, U64_MAX, 1e9, 0.0)),
        # windows of fewer than two points never have a finite slope
        (TIME12, TIME12, (0.0, 0, 2, 1e9, 0.0)),
    ],
)
def test_nothing_qualifies_returns_first_point(time, msd, args):
    assert_same_fit(fit_both(time, msd, *args), (NAN, [time[0]], [msd[0]]))


@pytest.mark.parametrize(
    "max_error, found",
    # 1 + 2**-51 is the least max_error that moves 1 + max_error above 2 after rounding
    # (and 1 - max_error below 0).
    [(1.0, False), (1.0 + 2.0**-51, True), (0.0, False), (NAN, False), (INF, True)],
)
@pytest.mark.parametrize(
    "msd, d_raw",
    [
        ([1.0, 100.0, 1.0], 11.0),  # the only window, (0, 2), has slope exactly 2 = 1 + 1.0
        ([10.0, 10.0, 1.0], 0.0),  # slope exactly 0 = 1 - 1.0
    ],
)
def test_slope_band_is_strict(msd, d_raw, max_error, found):
    time = [1.0, 10.0, 1000.0]  # integer logs keep the slopes exact
    d, t_fit, _ = fit_both(time, msd, 0.0, 0, 3, max_error, 0.0)
    assert (d == d_raw and t_fit == time[:2]) if found else (is_nan(d) and t_fit == [1.0])


@pytest.mark.parametrize(
    "log_msd, max_window, window",
    [
        # (0, 2) has slope 2 and (1, 2) slope 0: both 1 away from 1, the earlier start stays.
        ([0, 2, 2, 4], 3, (0, 2)),
        # (0, 2) has slope 2 and (0, 3) slope 0: same start, the shorter one stays.
        ([0, 2, 0, 5], 4, (0, 2)),
        # (0, 3) and (1, 3) tie at slope 3/2 and 1/2, but the later (2, 2) has slope 1.
        ([0, 3, 3, 4, 9, 9], 4, (2, 2)),
    ],
)
def test_equally_close_windows_resolve_to_earliest_then_shortest(log_msd, max_window, window):
    time = [10.0**k for k in range(len(log_msd))]
    msd = [10.0**k for k in log_msd]
    i, j = window
    # min_window 0 keeps end at n, so two-point windows reach position n - 2.
    _, t_fit, _ = fit_both(time, msd, 0.0, 0, max_window, 1.5, 0.0)
    assert t_fit == time[i : i + j]


@pytest.mark.parametrize(
    "second, skipped",
    [
        (2.0, True),
        # 2 + 2**-51 is one spacing away, not less than max(|t|, 1) * 2**-52 = 2**-51.
        (math.nextafter(2.0, 3.0), False),
        (2.5, False),
    ],
)
def test_duplicate_time_starts_no_window(second, skipped):
    # Windows (0, 3) and (1, 3) only; (1, 3) has X == Y, hence slope exactly 1, unless its
    # start is skipped, while (0, 3) falls steeply.
    time = [1.0, 2.0, second, 4.0, 8.0, 16.0, 32.0, 64.0]
    msd = [100.0, 2.0, second, 4.0, 1e6, 1e6, 1e6, 1e6]
    _, t_fit, _ = fit_both(time, msd, 0.0, 3, 4, 0.5, 0.0)
    assert t_fit == ([1.0] if skipped else time[1:4])


def test_duplicate_below_one_uses_absolute_tolerance():
    # Below 1 the tolerance is 2**-52 itself, so the next double after 0.5 is the same instant.
    time = [0.25, 0.5, math.nextafter(0.5, 1.0), 1.0, 2.0, 4.0, 8.0, 16.0]
    msd = [100.0] + time[1:4] + [1e6] * 4
    _, t_fit, _ = fit_both(time, msd, 0.0, 3, 4, 0.5, 0.0)
    assert t_fit == [0.25]


@pytest.mark.parametrize(
    "time, msd",
    [
        # zero and negative times give -inf and NaN logs; zero MSD gives -inf
        ([0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
        ([-1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [1.0, 1.0, 2.0, 3.0, 4.0, 0.0, 6.0]),
        ([1.0, NAN, 3.0, 4.0, 5.0, 6.0, 7.0], [1.0, 2.0, 3.0, INF, 5.0, 6.0, 7.0]),
        ([1.0, 2.0, INF, 4.0, 5.0, 6.0, 7.0], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, -INF]),
    ],
)
def test_non_finite_logs_skip_their_windows(time, msd):
    d, t_fit, fit = fit_both(time, msd, 0.0, 2, 4, 0.3, 0.0)
    assert all(math.isfinite(v) for v in t_fit)


def test_degenerate_final_fit_gives_nan_line():
    # Two close large times: the log-log slope (44) is finite and inside a wide band, but the
    # raw denominator 2 * Sxx - Sx * Sx cancels to exactly zero.
    time = [955162053141.0, 955162053152.0, 1e13]
    d, t_fit, fit = fit_both(time, [1.0, 10.0, 1.0], 0.0, 0, 3, 1e300, 0.0)
    assert is_nan(d) and t_fit == time[:2] and all(map(is_nan, fit))


def test_huge_search_region_returns_at_once():
    # end saturates at 2**64 - 1; a loop over every start position would never finish.
    code = (
        "import _quor_pp as qp\n"
        f"print(qp.diff_calculator({TIME12}, {MSD12}, -1e300, 3, {U64_MAX}, 0.2, 0.0))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr(ref.diff_calculator(TIME12, MSD12, -1e300, 3, U64_MAX, 0.2, 0.0))


def random_curve(rng):
    """A small curve with the awkward values the search must pass over, and random settings."""
    n = rng.randint(1, 44)
    if rng.random() < 0.3:
        # Integer logs: slopes are exact rationals, so equally close windows are common.
        time = [10.0 ** (k // rng.choice((1, 1, 1, 2))) for k in range(n)]
        msd = [10.0 ** rng.randint(-1, 2 * k + 1) for k in range(n)]
    else:
        power = rng.uniform(0.6, 1.8)
        noise = rng.choice((0.0, 0.01, 0.2))
        time = [0.5 * (k + 1) for k in range(n)]
        msd = [2.0 * t**power * (1.0 + noise * (rng.random() - 0.5)) for t in time]
    for k in range(n):
        r = rng.random()
        if r < 0.06 and k:
            time[k] = time[k - 1]
        elif r < 0.08:
            msd[k] = 0.0
        elif r < 0.10:
            msd[k] = -msd[k]
        elif r < 0.12:
            msd[k] = NAN
        elif r < 0.13:
            time[k] = rng.choice((NAN, 0.0, -time[k], INF))
        elif r < 0.14:
            msd[k] = rng.choice((INF, -INF))
    margin = rng.choice((0.0, 0.0, rng.uniform(-0.5, 0.6), -1e300))
    min_window = rng.randint(0, 5)
    max_window = rng.choice((rng.randint(0, 18), rng.randint(0, 18), U64_MAX if n < 16 else 20))
    max_error = rng.choice((rng.uniform(0.0, 0.7), 0.05, 0.0, 1.5))
    min_displacement = rng.choice((0.0, 0.0, rng.uniform(0.0, 1.5), NAN))
    return time, msd, margin, min_window, max_window, max_error, min_displacement


def test_matches_direct_evaluation_on_random_curves():
    # Proves the carried sums and the lane-wise selection equal fresh per-window sums with a
    # sequential selection, bit for bit, including ties and non-finite values.
    rng = random.Random(20240611)
    found = 0
    for _ in range(6000):
        args = random_curve(rng)
        result = qp.diff_calculator(*args)
        assert_same_fit(result, ref.diff_calculator(*args))
        found += math.isfinite(result[0])
    assert found > 1500  # the comparison covers successful searches, not only fallbacks


def test_matches_direct_evaluation_on_longer_curves():
    rng = random.Random(7)
    for n in (63, 64, 65, 200):
        time = [0.01 * (k + 1) for k in range(n)]
        msd = [6.0 * t * (1.0 - math.exp(-t / 0.2)) * (1.0 + 0.02 * (rng.random() - 0.5)) for t in time]
        for args in ((0.05, 3, 12, 0.1, 0.0), (0.0, 0, 9, 0.3, 0.0), (0.2, 6, 20, 0.02, 0.0)):
            fit_both(time, msd, *args)


def brownian_msd(seed, walkers, steps, diffusion, dt):
    """Mean-squared displacement of 3-D Brownian walkers, each component a Gaussian walk."""
    rng = random.Random(seed)
    step = math.sqrt(2.0 * diffusion * dt)
    total = [0.0] * steps
    for _ in range(3 * walkers):
        x = 0.0
        for k in range(steps):
            x += rng.gauss(0.0, step)
            total[k] += x * x
    return [(k + 1) * dt for k in range(steps)], [s / walkers for s in total]


@pytest.mark.parametrize("seed", [1, 2])
def test_random_walks_give_back_their_diffusion_coefficient(seed):
    diffusion, dt = 2.3e-9, 1e-12  # m^2/s and s, like water self-diffusion sampled each ps
    time, msd = brownian_msd(seed, walkers=3000, steps=100, diffusion=diffusion, dt=dt)
    slope, t_fit, _ = qp.diff_calculator(time, msd, 0.0, 20, 101, 0.05, 1e-12)
    assert len(t_fit) >= 20
    assert slope / 6.0 == pytest.approx(diffusion, rel=0.04)


# --- Replica statistics -------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, expected",
    [
        ([], (NAN, NAN, 0)),
        ([NAN, INF, -INF], (NAN, NAN, 0)),
        ([1.0, NAN, 3.0, INF], (2.0, 1.0, 2)),
        ([5.0], (5.0, 0.0, 1)),
        ([-INF, 2.0, 4.0, 4.0, NAN, 4.0, 5.0, 5.0, 7.0, 9.0], (5.0, 2.0, 8)),
    ],
)
def test_repacking_results_cases(values, expected):
    mean, std, count = qp.repacking_results(values)
    assert type(count) is int and count == expected[2]
    assert same_float(mean, expected[0]) and same_float(std, expected[1])


def test_repacking_results_is_the_plain_population_statistics():
    # Sums in order without compensation, divisor c (not c - 1), IEEE square root.
    rng = random.Random(3)
    for _ in range(300):
        values = [rng.choice((rng.gauss(1e-9, 3e-10), rng.uniform(-1e3, 1e3), NAN, INF, 1e308))
                  for _ in range(rng.randint(0, 30))]
        result = qp.repacking_results(values)
        expected = ref.repacking_results(values)
        assert same_float(result[0], expected[0]) and same_float(result[1], expected[1])
        assert result[2] == expected[2]


# --- Peak finding -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, start, reach, expected",
    [
        ([0.0, 1.0, 0.0, 2.0, 0.0], 0, 1, 1),
        ([0.0, 1.0, 0.0, 2.0, 0.0], 1, 1, 3),  # first candidate is 2, a trough
        ([0.0, 1.0, 1.0, 0.0], 0, 1, 1),  # a plateau is not a peak: fallback 0 + 1
        ([0.0, 1.0, 5.0, 1.0, 0.0], 0, 2, 2),
        ([0.0, 1.0, 5.0, 1.0], 0, 2, 2),  # n <= 2c: fallback
        ([0.0, 3.0, 1.0, 2.0, 5.0, 0.0], 0, 2, 2),  # 5 is beyond the last candidate n - c - 1
        ([], 7, 0, 7),  # no neighbours: search_start, whatever the data
        ([3.0, 1.0], 1, 0, 1),
        ([0.0, 2.0, NAN, 1.0, 3.0, 0.0], 0, 1, 4),  # a NaN neighbour disqualifies the peak at 1
        ([0.0, NAN, 0.0, 1.0, 0.0], 0, 1, 3),
        ([0.0, 1.0, 0.0], 10, 1, 11),  # start past the end: fallback s + c
        ([0.0, 1.0, 0.0], 2**63, 2**63, U64_MAX),  # s + c beyond 64 bits saturates
        ([0.0, 1.0, 0.0], U64_MAX, 1, U64_MAX),
        ([0.0, 1.0, 0.0], 0, U64_MAX, U64_MAX),
        ([0.0, 1.0, 0.0], 5, U64_MAX - 5, U64_MAX),
    ],
)
def test_local_maximum_finder_cases(data, start, reach, expected):
    assert qp.local_maximum_finder(data, start, reach) == expected


def test_local_maximum_finder_matches_direct_search():
    rng = random.Random(11)
    for _ in range(500):
        data = [rng.choice((rng.randint(0, 4) * 1.0, NAN)) if rng.random() < 0.1 else rng.randint(0, 4) * 1.0
                for _ in range(rng.randint(0, 15))]
        start, reach = rng.randint(0, 8), rng.randint(0, 4)
        assert qp.local_maximum_finder(data, start, reach) == ref.local_maximum_finder(data, start, reach)
    for _ in range(300):
        n = rng.randint(0, 120)
        data = [rng.choice((NAN, INF, -INF)) if rng.random() < 0.03 else float(rng.randint(0, 30)) for _ in range(n)]
        start, reach = rng.randint(0, 40), rng.randint(0, 30)
        assert qp.local_maximum_finder(data, start, reach) == ref.local_maximum_finder(data, start, reach)



# --- Proton-hopping corrections ------------------------------------------------------------

WATER = dict(experimental_conductivity=42.0, md_conductivity=30.5, temperature=298.15,
             box_length=3.2e-9, particle_count=27.0, hop_distance=2.5e-10)


def tau(**changes):
    return qp.tau_calculator(**{**WATER, **changes})


def test_tau_follows_its_grouping():
    rng = random.Random(5)
    for _ in range(200):
        args = (rng.uniform(0, 100), rng.uniform(0, 100), rng.uniform(250, 400),
                rng.uniform(1e-9, 1e-8), float(rng.randint(1, 500)), rng.uniform(1e-10, 4e-10))
        assert same_float(qp.tau_calculator(*args), ref.tau_calculator(*args))
        assert same_float(qp.diffusion_adjustment(args[0], args[5]), ref.diffusion_adjustment(args[0], args[5]))


def test_tau_scales_as_its_formula():
    base = tau()
    assert base > 0.0
    # Power-of-two factors scale every rounded step exactly.
    assert tau(box_length=2 * WATER["box_length"]) == base / 8
    assert tau(particle_count=2 * WATER["particle_count"]) == base * 2
    assert tau(hop_distance=2 * WATER["hop_distance"]) == base * 4
    assert tau(temperature=2 * WATER["temperature"]) == base / 2
    assert tau(md_conductivity=WATER["experimental_conductivity"] + 11.5) == -base


@pytest.mark.parametrize(
    "changes, expected",
    [
        (dict(md_conductivity=42.0), INF),
        (dict(md_conductivity=42.0, hop_distance=0.0), NAN),
        (dict(md_conductivity=42.0, particle_count=0.0), NAN),
        (dict(md_conductivity=42.0, box_length=-1.0), -INF),
        (dict(temperature=0.0), INF),
        (dict(box_length=0.0), INF),
    ],
)
def test_tau_at_zero_denominator(changes, expected):
    assert same_float(tau(**changes), expected)


@pytest.mark.parametrize(
    "tau_value, delta, expected",
    [(1.0, 6.0, 6.0), (2.0, 1.0, 1.0 / 12.0), (0.0, 1.0, INF), (0.0, 0.0, NAN), (-3.0, 3.0, -0.5)],
)
def test_diffusion_adjustment_cases(tau_value, delta, expected):
    assert same_float(qp.diffusion_adjustment(tau_value, delta), expected)


def test_hop_diffusion_is_independent_of_hop_distance():
    # D_hop = k T L^3 (sigma_exp - sigma_md) / (e^2 N)
    k = 1.380649e-23
    expected = k * WATER["temperature"] * WATER["box_length"] ** 3 * 11.5 / (
        1.602176634e-19**2 * WATER["particle_count"])
    for delta in (1e-10, 2.5e-10, 7e-10):
        assert qp.diffusion_adjustment(tau(hop_distance=delta), delta) == pytest.approx(expected, rel=1e-12)
