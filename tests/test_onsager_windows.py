"""An Onsager matrix that conserves momentum, windows past the short-time regime, replicas that stand apart.

The runs are made by `quor_pp.known_runs` (particles whose centre of mass stays still,
so their Onsager matrix conserves momentum exactly) and then spoiled by hand where a
test needs a fault.
"""

import dataclasses
import json
import shutil
import statistics
import subprocess
import sys

import numpy as np
import pytest

import quor_pp
from quor_pp import known_runs
from quor_pp.analysis.momentum import balance_residual
from quor_pp.analysis.window_consensus import DISAGREEMENT, stands_apart
from quor_pp.analysis.window_search import fit_window

# A small mixture run: 4096 samples of 10 fs, lags up to 20 ps.
SMALL = dataclasses.replace(known_runs.SHAPES["short"], steps=2**12, blocks=5)


@pytest.fixture(scope="module")
def run_set(tmp_path_factory):
    root = tmp_path_factory.mktemp("known") / "run"
    truth = known_runs.write_run_set(root, SMALL, 5, 2026)
    return root, truth


def copied(run_set, tmp_path):
    root, truth = run_set
    shutil.copytree(root, tmp_path / "run")
    return tmp_path / "run", truth


def rewrite_table(path, change):
    """Apply change(header names, rows as an array) to a transport table, keeping its comment lines."""
    lines = path.read_text().splitlines()
    header = next(k for k, line in enumerate(lines) if line.startswith("#Time"))
    names = lines[header].split()
    rows = np.array([[float(v) for v in line.split()] for line in lines[header + 1:] if line.strip()])
    rows = change(names, rows)
    body = ["\t".join(f"{v:.9g}" for v in row) for row in rows]
    path.write_text("\n".join(lines[:header + 1] + body) + "\n")


def onsager_fits(report):
    return [(path, estimate.species, fit) for path, estimate, fit in report.fits("onsager")]


# --- the momentum balance ------------------------------------------------------------------------------


def test_a_consistent_matrix_is_balanced_and_says_so(run_set):
    root, truth = run_set
    report = quor_pp.analyze(root)
    document = report.to_dict()
    for replica in document["replicas"]:
        qualities = [e["fit"]["quality"] for e in replica["estimates"] if e["quantity"] == "onsager"]
        assert len(qualities) == 3
        # One window for the whole matrix of a replica, and its balance well within 1 %.
        assert len({(q["t_start"], q["t_end"]) for q in qualities}) == 1
        assert all(q["momentum_residual"] < 0.01 for q in qualities)
    for pair in ("wat-wat", "wat-meoh", "meoh-meoh"):
        row = report.row("onsager", pair)
        assert row.status == "ok" and row.n == 5
        assert abs(row.value - truth.rows()[("onsager", pair)]) <= max(row.ci95, 0.1 * abs(row.value))
    # Independently of the package's residual: the mean matrix, weighted by the masses of the data file.
    masses = {s.name: s.mass for s in SMALL.species}
    values = {tuple(p.split("-")): report.row("onsager", p).value for p in ("wat-wat", "wat-meoh", "meoh-meoh")}
    for i in masses:
        total = sum(masses[j] * values[(i, j) if (i, j) in values else (j, i)] for j in masses)
        assert abs(total) < 0.01 * masses[i] * abs(values[(i, i)])
    assert any("momentum balance" in line and "3 replicas" not in line for line in report.remarks())
    assert "momentum balance" in str(report)


def test_a_matrix_that_misses_the_balance_is_refused(run_set, tmp_path):
    run, _ = copied(run_set, tmp_path)
    # One replica's cross column is 20 % too large: its matrix no longer conserves momentum.
    table = run / "replica_2" / "diffonsag.dat"
    rewrite_table(table, lambda names, rows: rows * np.where(np.array(names) == "MSD__wat_meoh", 1.2, 1.0))
    report = quor_pp.analyze(run)
    row = report.row("onsager", "wat-meoh")
    assert row.status == "partial" and row.n == 4 and row.replicas[1] is None
    estimate = report.replicas[1].get("onsager", "wat-meoh")
    assert estimate.status == "momentum not conserved" and estimate.value is None
    residual = estimate.fit.quality.momentum_residual
    assert 0.02 < residual < 0.2
    assert "exceeds the tolerance" in str(report)
    # The rows made from the matrix lose that replica too.
    assert report.row("maxwell_stefan", "wat-meoh").replicas[1] is None
    # A looser tolerance takes the matrix as it is.
    loose = quor_pp.analyze(run, settings=quor_pp.AnalysisSettings(momentum_tolerance=0.5))
    assert loose.row("onsager", "wat-meoh").status == "ok"


def test_without_masses_the_balance_is_not_checked_and_the_report_says_why(run_set, tmp_path):
    run, _ = copied(run_set, tmp_path)
    for replica in sorted(run.iterdir()):
        (replica / "knownrun.data.gz").unlink()
    report = quor_pp.analyze(run, molecules={"wat": 100, "meoh": 25})
    assert report.row("onsager", "wat-wat").status == "ok"
    [(_, _, fit), *_] = onsager_fits(report)
    assert fit.quality.momentum_residual is None and "not checked" in fit.quality.momentum_note
    assert any("not checked" in line and "--mass" in line for line in report.remarks())
    # Given by hand, the masses are used.
    given = quor_pp.analyze(run, settings=quor_pp.AnalysisSettings(
        molecules={"wat": 100, "meoh": 25}, masses={"wat": 18.015, "meoh": 32.042}))
    assert all(fit.quality.momentum_residual < 0.01 for _, _, fit in onsager_fits(given))


def test_the_mass_option_reaches_the_check(run_set, tmp_path):
    run, _ = copied(run_set, tmp_path)
    for replica in sorted(run.iterdir()):
        (replica / "knownrun.data.gz").unlink()
    # Wrong masses (methanol as heavy as water): the exact balance of the run is missed.
    result = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(run), "-q", "--molecules",
                             "wat=100,meoh=25", "--mass", "wat=18.015", "--mass", "meoh=18.015",
                             "--json", str(tmp_path / "out.json")], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    document = json.loads((tmp_path / "out.json").read_text())
    rows = {(r["quantity"], r["species"]): r for r in document["rows"]}
    assert rows[("onsager", "wat-wat")]["status"] == "momentum not conserved"
    assert document["settings"]["masses"] == {"wat": 18.015, "meoh": 18.015}
    bad = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(run), "--mass", "wat=-1"],
                         capture_output=True, text=True, timeout=300)
    assert bad.returncode == 2 and "--mass" in bad.stderr and "Traceback" not in bad.stderr


@pytest.mark.parametrize("masses, matrix, expected", [
    # Two species whose centre of mass stays still.
    ({"a": 2.0, "b": 1.0}, {("a", "a"): 1.0, ("a", "b"): -2.0, ("b", "b"): 4.0}, {"a": 0.0, "b": 0.0}),
    # Nothing cancels: a diagonal matrix.
    ({"a": 2.0, "b": 1.0}, {("a", "a"): 1.0, ("a", "b"): 0.0, ("b", "b"): 4.0}, {"a": 1.0, "b": 1.0}),
    # Half of row a cancels: |2·1 − 1·1| / (2 + 1).
    ({"a": 2.0, "b": 1.0}, {("a", "a"): 1.0, ("b", "a"): -1.0, ("b", "b"): 2.0}, {"a": 1 / 3, "b": 0.0}),
])
def test_balance_residual(masses, matrix, expected):
    assert balance_residual(masses, matrix) == pytest.approx(expected, abs=1e-15)


# --- windows ---------------------------------------------------------------------------------------------


def spurious_start(names, rows):
    """A heat-flux moment whose first rows hold a straight stretch 60 % steeper than the curve, then a dip.

    The stretch has a log-log slope of exactly 1, the search's favourite, and lies before the
    curve's local slope settles; the long diffusive part stays as it was.
    """
    column = names.index("MSD_all")
    t = rows[:, 0]
    curve = rows[:, column].copy()
    early = (t >= 60.0) & (t <= 200.0)
    anchor = curve[np.searchsorted(t, 300.0)]
    curve[early] = 1.6 * anchor / 300.0 * t[early]
    dip = (t > 200.0) & (t < 300.0)
    curve[dip] = 1.6 * anchor / 300.0 * 200.0 * (t[dip] / 200.0) ** 0.3
    rows[:, column] = curve
    return rows


def test_a_spurious_short_window_is_not_averaged_into_an_ok_row(run_set, tmp_path):
    run, truth = copied(run_set, tmp_path)
    rewrite_table(run / "replica_3" / "tconductivity.dat", spurious_start)
    report = quor_pp.analyze(run)
    row = report.row("thermal_conductivity")
    clean = quor_pp.analyze(run_set[0]).row("thermal_conductivity")
    # The third replica's value is that of its diffusive part, as without the stretch (whose
    # slope is 60 % steeper), or it is withdrawn.
    assert row.replicas[2] is None or row.replicas[2] == pytest.approx(clean.replicas[2], rel=0.05)
    assert row.n >= 4 and row.value == pytest.approx(clean.value, rel=0.05)
    # Its own search stays out of the short-time regime (here its diffusive part is too
    # noisy for a window of its own: the stretch is refused, never taken instead).
    own = quor_pp.analyze(run / "replica_3").replicas[0].get("thermal_conductivity", "").fit
    assert not own.success or own.window[0] > 200.0
    assert any("short-time regime" in reason for window in own.rejected for reason in window.reasons) or \
        own.window is None or own.window[0] > 200.0


def test_a_window_given_by_hand_is_used_with_its_quality_shown(run_set, tmp_path):
    run, _ = copied(run_set, tmp_path)
    rewrite_table(run / "replica_3" / "tconductivity.dat", spurious_start)
    report = quor_pp.analyze(run, windows={"thermal_conductivity": (100.0, 10000.0)})
    row = report.row("thermal_conductivity")
    assert row.status == "ok" and row.n == 5
    fits = {path: fit for path, _, fit in report.fits("thermal_conductivity")}
    assert all(100.0 <= fit.window[0] and fit.window[1] <= 10000.0 for fit in fits.values())
    spoiled = next(fit for path, fit in fits.items() if path.endswith("replica_3"))
    assert any("short-time regime" in problem or "outside 1" in problem for problem in spoiled.quality.problems)


def test_a_window_in_the_short_time_regime_is_refused():
    """Ballistic start, an oscillation that holds the slope at 1 for a few rows, then diffusion."""
    t = np.concatenate((np.arange(1.0, 33.0), 32.0 * 2.0 ** (np.arange(1, 160) / 16.0)))
    tau = 30.0
    curve = 2.0 * (t - tau * (1.0 - np.exp(-t / tau)))  # ballistic to diffusive, slope 2
    early = (t >= 4.0) & (t <= 12.0)
    curve[early] = curve[np.searchsorted(t, 12.0)] / 12.0 * t[early]  # straight through the origin
    fit = fit_window(t, curve)
    assert fit.success and fit.window[0] > 12.0
    assert fit.slope == pytest.approx(2.0, rel=0.05)


@pytest.mark.parametrize("replicas", [4, 5, 8])
def test_replicas_alike_stand_apart_as_rarely_as_promised(replicas):
    rng = np.random.default_rng(replicas)
    trials = 20000
    flagged = sum(len(stands_apart(list(rng.normal(1.0, 0.05, replicas)))) for _ in range(trials))
    rate = flagged / (trials * replicas)
    assert 0.25 * DISAGREEMENT < rate < 2.5 * DISAGREEMENT


@pytest.mark.parametrize("values, expected", [
    ([0.376, 0.394, 0.385, 0.576, 0.381], [3]),  # the heat conductivity of a replica fitted in its oscillations
    ([1.0, 1.01, 0.99, 1.02, 1.3], [4]),
    ([1.0, 1.01, 0.99, 1.3], []),  # four replicas cannot tell a 30 % value from their scatter
    ([1.0, 1.01, 0.99, 2.0], [3]),
    ([1.0, 1.3, 0.7], []),
])
def test_values_that_stand_apart(values, expected):
    assert stands_apart(values) == expected


def test_a_replica_far_from_the_others_is_named_and_left_out(run_set, tmp_path):
    run, _ = copied(run_set, tmp_path)
    # The fourth replica's Helfand moment four times too steep: diffusive, but far from the others.
    rewrite_table(run / "replica_4" / "viscosity.dat",
                  lambda names, rows: rows * np.where(np.arange(len(names)) == 0, 1.0, 4.0))
    report = quor_pp.analyze(run)
    row = report.row("viscosity")
    clean = quor_pp.analyze(run_set[0]).row("viscosity")
    assert row.status == "partial" and row.n == 4 and row.replicas[3] is None
    assert report.replicas[3].get("viscosity", "").status == "disagrees with the other replicas"
    assert row.value == pytest.approx(statistics.fmean(clean.replicas[:3] + clean.replicas[4:]), rel=0.05)
    named = [line for line in report.apart if line.startswith("viscosity:") and "replica_4" in line]
    assert len(named) == 2 and "left out of the common window" in named[0] and "left out of the row" in named[1]
    # Each replica keeping its own window: named and left out all the same.
    own = quor_pp.analyze(run, replica_windows="own")
    assert own.row("viscosity").replicas[3] is None and any("replica_4" in line for line in own.apart)
