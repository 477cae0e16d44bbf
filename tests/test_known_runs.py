"""Synthetic runs with known coefficients: the generator's truth by independent routes, and the analysis of a run."""

import math

import numpy as np
import pytest

import quor_pp
from quor_pp import known_runs
from quor_pp.known_runs import Relaxation, RunRecipe, Species
from quor_pp.mixtures import binary_maxwell_stefan

# A small quick run: two species, a short run, short relaxation times.
SMALL = RunRecipe((Species("wat", 60, 18.015, 2.1e-9), Species("meoh", 20, 32.042, 1.5e-9)), volume=2400.0,
                  steps=2**12, blocks=5)
# Three species, two of them charged, with unequal masses.
SALT = RunRecipe((Species("wat", 50, 18.015, 2.3e-9), Species("Na", 6, 22.99, 1.3e-9, 1.0),
                  Species("Cl", 6, 35.453, 2.0e-9, -1.0)), volume=1700.0, steps=2**12, blocks=5)


def langevin_shape(t, tau):
    """t − τ(1 − e^{−t/τ}): the MSD of a Langevin particle over 6D, and the Helfand moment of an OU process over 2τ."""
    return t - tau * -np.expm1(-t / tau)


@pytest.mark.parametrize("interval, relaxation", [(10.0, 50.0), (10.0, 2000.0), (10.0, 4.0), (1.0, 200.0)])
def test_ou_integrals_have_the_langevin_msd_at_every_lag(interval, relaxation):
    # Across independent series the mean of (I(t) − I(0))² is 2τ²(t/τ − 1 + e^{−t/τ}) for an OU
    # process of unit variance, however coarse the sampling: the integral is sampled exactly.
    rows, steps = 4000, 64
    values, integrals = known_runs._integrated_ou(np.random.default_rng(7), rows, steps, interval, relaxation)
    t = np.arange(steps) * interval
    expected = 2.0 * relaxation * langevin_shape(t[1:], relaxation)
    observed = (integrals[:, 1:] ** 2).mean(axis=0)
    # χ² of rows independent Gaussians: relative standard error √(2/rows) ≈ 2.2 %.
    assert np.max(np.abs(observed / expected - 1.0)) < 5.0 * math.sqrt(2.0 / rows)
    assert values.var() == pytest.approx(1.0, abs=0.03)
    lag = min(steps // 2, max(1, round(relaxation / interval)))
    correlation = (values[:, :-lag] * values[:, lag:]).mean()
    assert correlation == pytest.approx(math.exp(-lag * interval / relaxation), abs=0.03)


@pytest.mark.parametrize("shape", [Relaxation((1.0,), (100.0,)), Relaxation((0.8, 0.2), (50.0, 600.0))])
def test_green_kubo_integral_of_the_generated_series_is_the_known_one(shape):
    # Green-Kubo: ∫⟨u(0)u(t)⟩dt of the unit series is the shape's integral Σ w τ, which
    # sets η (κ) with the stress (flux) variance; computed here from the series
    # themselves, by the autocorrelation over time origins and a trapezoid rule.
    interval, steps, rows = 10.0, 2**13, 64
    values, _ = known_runs._correlated_series(np.random.default_rng(11), rows, steps, interval, shape)
    cut = int(8 * max(shape.times) / interval)
    spectrum = np.abs(np.fft.rfft(values, 2 * steps)) ** 2
    acf = np.fft.irfft(spectrum.sum(axis=0))[:cut] / (rows * (steps - np.arange(cut)))
    integral = interval * (acf.sum() - 0.5 * acf[0])
    assert acf[0] == pytest.approx(1.0, abs=0.02)
    assert integral == pytest.approx(shape.integral, rel=0.08)


def test_the_long_time_slopes_of_the_files_are_the_truth():
    # The mean over replicas of each written curve, divided by the Langevin shape, is
    # flat at its true amplitude: N_i D_i for a species, N Λ_ij for a pair, η T and κ T²
    # for the Helfand moments (their shape is the stress one, known in closed form).
    recipe = RunRecipe(SMALL.species, volume=2400.0, steps=2**12, blocks=5, momentum_relaxation=40.0,
                       stress_relaxation=Relaxation((1.0,), (80.0,)), heat_relaxation=Relaxation((1.0,), (30.0,)))
    truth = known_runs.truth_of(recipe)
    rng = np.random.default_rng(3)
    lags = known_runs.lag_indices(recipe.blocks)
    t = lags * recipe.sample_interval
    late = t >= 20 * recipe.momentum_relaxation
    runs = [known_runs._simulate(recipe, rng) for _ in range(12)]
    total = sum(s.count for s in recipe.species)
    checks = []
    for s in recipe.species:
        scale = s.count * truth.self_diffusion[s.name] / 1e-5  # Å²/fs
        checks.append((np.mean([r.self_msd[s.name] for r in runs], axis=0) / scale, 0.05))
    scale = total * truth.onsager["wat-meoh"] / 1e-5
    checks.append((np.mean([r.onsager[("wat", "meoh")] for r in runs], axis=0) / scale, 0.15))
    eta = recipe.viscosity / (101325.0 * 1e-15) * recipe.temperature
    checks.append((np.mean([r.viscosity["MSD_all"] for r in runs], axis=0) / eta, 0.12))
    kappa = recipe.thermal_conductivity / (4184.0 / 6.02214076e23 / 1e-25) * recipe.temperature**2
    checks.append((np.mean([r.heat["MSD_all"] for r in runs], axis=0) / kappa, 0.12))
    for k, (scaled, tolerance) in enumerate(checks):
        tau = (recipe.momentum_relaxation, recipe.momentum_relaxation, recipe.momentum_relaxation,
               recipe.stress_relaxation.times[0], recipe.heat_relaxation.times[0])[k]
        ratio = scaled / langevin_shape(t, tau)
        assert np.mean(ratio[late]) == pytest.approx(1.0, abs=tolerance), k
        # The ballistic start (⟨Δr²⟩ ≈ ⟨v²⟩t², ⟨v²⟩ = 3D/τ) and the crossover, where the
        # noise is small: the whole curve has the Langevin shape, not only its slope.
        assert np.all(np.abs(ratio[t <= 2 * tau] - 1.0) < tolerance / 2), k


@pytest.mark.parametrize("recipe", [SMALL, SALT], ids=["binary", "salt"])
def test_collective_curves_conserve_momentum(tmp_path, recipe):
    # Σ_j M_j ⟨ΔR_i · ΔR_j⟩ = 0 at every lag in the written file (rounded to six
    # digits), as in a box whose total momentum is zero, and so Σ_j M_j Λ_ij = 0.
    known_runs.write_replica(tmp_path / "replica_1", recipe, 5)
    table = quor_pp.read(tmp_path / "replica_1" / "diffonsag.dat")
    species = recipe.species
    for first in species:
        terms = []
        for second in species:
            name = (f"MSD__{first.name}_{second.name}" if f"MSD__{first.name}_{second.name}" in table
                    else f"MSD__{second.name}_{first.name}")
            terms.append(second.mass * np.asarray(table[name]))
        scale = np.max(np.abs(terms), axis=0)
        assert np.all(np.abs(np.sum(terms, axis=0)) <= 3e-5 * scale)
    truth = known_runs.truth_of(recipe)
    for first in species:
        total = sum(second.mass * truth.onsager[known_runs._pair_label(species, first, second)] for second in species)
        assert abs(total) < 1e-12 * max(abs(v) for v in truth.onsager.values()) * first.mass


def test_truth_of_uncorrelated_particles_follows_darken_and_einstein():
    truth = known_runs.truth_of(SMALL)
    x1 = 60 / 80
    # Darken's Đ from the box-frame Onsager coefficients by the package's formula.
    lam = truth.onsager
    assert binary_maxwell_stefan(x1, lam["wat-wat"], lam["meoh-meoh"], lam["wat-meoh"]) == pytest.approx(
        (1 - x1) * 2.1e-9 + x1 * 1.5e-9, rel=1e-12)
    assert truth.maxwell_stefan["wat-meoh"] == pytest.approx((1 - x1) * 2.1e-9 + x1 * 1.5e-9, rel=1e-12)
    # In the box the centre of mass is held still: a particle moves a little less than free.
    assert 0.97 * 2.1e-9 < truth.self_diffusion["wat"] < 2.1e-9
    salt = known_runs.truth_of(SALT)
    # σ = e²/(V k_B T) Σ_ij q_i q_j N Λ_ij; for a neutral salt the frame does not matter,
    # and uncorrelated ions give Nernst-Einstein's Σ q² N_i D_i (free D).
    e, kb = 1.602176634e-19, 1.380649e-23
    nernst_einstein = e * e / (1700e-30 * kb * 298.15) * (6 * 1.3e-9 + 6 * 2.0e-9)
    assert salt.conductivity == pytest.approx(nernst_einstein, rel=1e-12)
    assert truth.conductivity is None


def test_shuffled_columns_hold_the_same_curves(tmp_path):
    plain = tmp_path / "plain"
    shuffled = tmp_path / "shuffled"
    known_runs.write_replica(plain, SALT, 9)
    known_runs.write_replica(shuffled, SALT, 9, shuffle_columns=True)
    for name in ("diffself.dat", "diffonsag.dat"):
        a, b = quor_pp.read(plain / name), quor_pp.read(shuffled / name)
        assert sorted(map(sorted, (c.split("_") for c in a))) == sorted(map(sorted, (c.split("_") for c in b)))
        for column in b:
            parts = column.split("_")
            same = column if column in a else "_".join([*parts[:2], parts[3], parts[2]])
            np.testing.assert_array_equal(a[same], b[column])


@pytest.mark.parametrize("recipe, charges", [(SMALL, None), (SALT, {"Na": 1, "Cl": -1})], ids=["binary", "salt"])
def test_the_analysis_of_a_generated_run_lands_on_the_truth(tmp_path, recipe, charges):
    # Without options but the charges: units, molecule counts, T and V come from the files.
    # The salt's cross terms between water and the few ions are near zero and too noisy
    # to fit in four short replicas; its curves that grow are checked.
    truth = known_runs.write_run_set(tmp_path / "run", recipe, replicas=4, seed=21)
    report = quor_pp.analyze(tmp_path / "run", charges=charges)
    tolerance = {"self_diffusion": 0.1, "onsager": 0.3, "maxwell_stefan": 0.3, "viscosity": 0.3,
                 "thermal_conductivity": 0.3, "conductivity": 0.3}
    checked = 0
    for (quantity, species), value in truth.rows().items():
        first, _, second = species.partition("-")
        if recipe is SALT and quantity in ("onsager", "maxwell_stefan") and first != second:
            continue
        row = report.row(quantity, species)
        assert row.value is not None, (quantity, species, row.message)
        assert row.value == pytest.approx(value, rel=tolerance[quantity]), (quantity, species)
        checked += 1
    assert checked == {"binary": 8, "salt": 9}["binary" if recipe is SMALL else "salt"]
    assert report.row("temperature").value == pytest.approx(298.15, rel=1e-8)
    assert report.row("volume").value == pytest.approx(recipe.volume * 1e-30, rel=1e-12)
    counts = [report.row("self_diffusion", s.name).inputs.split(" ")[0] for s in recipe.species]
    assert counts == [f"N_{s.name}={s.count}" for s in recipe.species]


@pytest.mark.parametrize("change, message", [
    ({"blocks": 7}, "shorter than the run"),
    ({"species": ()}, "at least one species"),
    ({"species": (Species("a", 1, 1.0, 1e-9), Species("a", 2, 1.0, 1e-9))}, "its own name"),
    ({"species": (Species("a", 0, 1.0, 1e-9),)}, "positive count"),
    ({"viscosity": 0.0}, "must be positive"),
])
def test_recipes_that_cannot_be_run_are_refused(change, message):
    settings = {"species": SMALL.species, "steps": 2**12, "blocks": 5, **change}
    with pytest.raises(ValueError, match=message):
        RunRecipe(**settings)
