"""The rows a user gets from runs of a mixture made to look like real ones, against answers found another way."""

import math

import numpy as np
import pytest

import quor_pp
from quor_pp.analysis import rdf_correction

pytest.importorskip("scipy")
import mixture_runs as made  # noqa: E402  (needs SciPy)

PAIR_QUANTITIES = ("onsager", "rdf_first_peak", "rdf_first_minimum", "coordination_number", "kirkwood_buff",
                   "maxwell_stefan", "darken", "fick", "fick_infinite", "maxwell_stefan_infinite")
LABELS = {"wat-wat", "wat-met", "met-met"}
VISCOSITY = 0.6e-3  # Pa s


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """Five replicas whose diffself.dat, diffonsag.dat and rdf.dat name species in either order."""
    root = tmp_path_factory.mktemp("mixed")
    made.write_run(root)
    return root, quor_pp.analyze(root, molecules=made.MOLECULES, viscosity=VISCOSITY)


@pytest.mark.parametrize("columns", [("rdf", "finiterdf"), ("finiterdf",), ("rdf",)])
def test_gamma_is_that_of_the_quadratures_whichever_columns_the_file_has(tmp_path, columns):
    # Only the corrected column: corrected never again; only the measured one: corrected once.
    made.write_run(tmp_path, columns=columns)
    report = quor_pp.analyze(tmp_path, molecules=made.MOLECULES)
    gamma = report.row("thermodynamic_factor")
    assert gamma.status == "ok" and gamma.n == 5
    assert gamma.value == pytest.approx(made.exact_gamma(), rel=0.02)
    for pair in ("wat_wat", "wat_met", "met_met"):
        row = report.row("kirkwood_buff", pair.replace("_", "-"))
        assert row.value * 1e30 == pytest.approx(made.exact_integral(pair), abs=1.0)


def test_integrals_stop_at_half_the_box_edge_and_show_their_range_dependence(mixed):
    _, report = mixed
    estimate = report.replicas[0].get("kirkwood_buff", "wat-met")
    sources = {s.name: s.value for s in estimate.sources}
    assert sources["L_max"] == pytest.approx(made.EDGE / 2 * 1e-10, rel=1e-9)  # the table goes on to 32 Å
    spread = report.row("thermodynamic_factor_range")
    assert spread.status == "ok" and 0.0 < spread.value < 0.1 * report.row("thermodynamic_factor").value


def test_every_pair_is_one_row_of_all_replicas_whatever_their_column_order(mixed):
    _, report = mixed
    for quantity in PAIR_QUANTITIES:
        rows = [row for row in report.rows if row.quantity == quantity]
        assert rows, quantity
        for row in rows:
            assert row.species in LABELS, (quantity, row.species)
            assert (row.n, row.status) == (5, "ok"), (quantity, row.species, row.message)
    assert {row.species for row in report.rows if row.quantity == "excess_coordination"} == LABELS | {"met-wat"}


def test_sweeps_and_single_replicas_keep_the_first_replicas_order(mixed):
    root, _ = mixed
    alone = quor_pp.analyze(root / "replica_2", molecules=made.MOLECULES)  # met first in its files
    assert {row.species for row in alone.rows if row.quantity == "onsager"} == {"met-met", "met-wat", "wat-wat"}
    together = quor_pp.analyze([root / "replica_2", root / "replica_1"], molecules=made.MOLECULES)
    assert {row.n for row in together.rows if row.quantity == "kirkwood_buff"} == {2}


def test_replicas_analysed_alone_in_their_own_order_still_combine_into_one_row_per_pair(mixed):
    root, _ = mixed
    settings = quor_pp.AnalysisSettings(molecules=made.MOLECULES)
    results = [quor_pp.analyze_replica(root / name, settings) for name in ("replica_1", "replica_2")]
    assert results[1].get("onsager", "met-wat") is not None  # its own order: met first
    report = quor_pp.combine(results, settings)
    for quantity in PAIR_QUANTITIES[:6]:
        assert {(row.species, row.n) for row in report.rows if row.quantity == quantity} <= \
            {(label, 2) for label in LABELS}, quantity
    assert {row.species for row in report.rows if row.quantity == "excess_coordination"} == LABELS | {"met-wat"}
    assert {item.pair for item in report.replicas[1].structure} == LABELS  # the figures' curves too


def test_a_sweep_names_each_pair_alike_at_every_state_point(tmp_path):
    # The made runs are near 298 K: a state point of another temperature would set them apart.
    for name, temperature, orders in (("a", 298.0, [made.SPECIES[::-1], made.SPECIES]),
                                      ("b", 298.5, [made.SPECIES, made.SPECIES])):
        made.write_run(tmp_path / name, replicas=2, orders=orders)
        (tmp_path / name / "state.toml").write_text(f'salt = "none"\nmolality = 0.0\ntemperature = {temperature}\n'
                                                    "molecules = { wat = 1000, met = 1000 }\n")
    result = quor_pp.sweep(tmp_path)
    pairs = {species for quantity, species in result.keys() if quantity == "onsager"}
    assert pairs == {"met-met", "met-wat", "wat-wat"}  # the first point's first replica names met first
    assert all(len(result.series("kirkwood_buff", pair)) == 2 for pair in pairs)


def test_narrow_hydrogen_bond_peaks_at_contact_are_the_first_shell(mixed):
    _, report = mixed
    for pair, (_, (centre, _, _), _) in made.PAIRS.items():
        label = pair.replace("_", "-")
        peak = report.row("rdf_first_peak", label).value * 1e10
        assert peak == pytest.approx(centre, abs=0.03)
        minimum = report.row("rdf_first_minimum", label).value * 1e10
        assert peak < minimum < 3.5  # the first shell's minimum, not the second shell's
        # n = 4π ρ_j ∫ g r² dr up to the minimum, by quadrature of the exact g(r)
        density = made.MOLECULES[pair.split("_")[1]] / made.VOLUME
        exact, _ = made.integrate.quad(lambda r: 4 * math.pi * density * r * r * made.exact_rdf(r, pair),
                                       0.0, minimum, points=[2.4, centre], limit=200)
        assert report.row("coordination_number", label).value == pytest.approx(exact, rel=0.003)
        assert 0.5 < exact < 2.0


def test_a_broad_first_peak_is_found_at_its_maximum(tmp_path):
    table = {**made.PAIRS, **made.BROAD}
    made.write_run(tmp_path, replicas=2, table=table)
    report = quor_pp.analyze(tmp_path, molecules=made.MOLECULES)
    fine = np.linspace(2.5, 6.0, 35001)
    expected = fine[np.argmax(made.exact_rdf(fine, "wat_wat", table))]
    assert report.row("rdf_first_peak", "wat-wat").value * 1e10 == pytest.approx(expected, abs=0.06)


def test_a_g_that_never_reaches_one_has_no_integral(tmp_path):
    made.write_run(tmp_path, replicas=2, tail_offset=0.01)
    report = quor_pp.analyze(tmp_path, molecules=made.MOLECULES)
    for row in (report.row("kirkwood_buff", "wat-wat"), report.row("thermodynamic_factor")):
        assert row.value is None and row.status == "not converged"
    assert report.row("fick", "wat-met").value is None


def test_fick_is_the_mean_gamma_times_the_pooled_maxwell_stefan_diffusivity(mixed):
    _, report = mixed
    gamma = report.row("thermodynamic_factor")
    fick = report.row("fick", "wat-met")
    assert fick.value == pytest.approx(np.mean(gamma.replicas) * report.row("maxwell_stefan", "wat-met").value,
                                       rel=1e-12)
    # Darken's Đ of the self-diffusion coefficients written: x₂D₁ + x₁D₂
    assert report.row("darken", "wat-met").value == pytest.approx(0.5 * (2.3e-9 + 1.9e-9), rel=0.01)


def test_finite_size_term_of_fick_is_the_self_diffusion_one(mixed):
    # Γ(Đ + ξ k_B T/(6π η L Γ)) − ΓĐ: Yeh and Hummer's term, whatever Γ
    _, report = mixed
    replica = report.replicas[0]
    temperature = next(s.value for s in replica.get("temperature").sources if s.name == "T") \
        if replica.get("temperature").sources else replica.get("temperature").value
    term = 2.837297 * 1.380649e-23 * temperature / (6 * math.pi * VISCOSITY * made.EDGE * 1e-10)
    difference = replica.get("fick_infinite", "wat-met").value - replica.get("fick", "wat-met").value
    assert difference == pytest.approx(term, rel=1e-6)


def test_partial_molar_volumes_add_up_to_the_molar_volume(mixed):
    _, report = mixed
    n = sum(made.MOLECULES.values())
    volumes = [report.row("partial_molar_volume", s).value for s in made.SPECIES]
    molar = made.VOLUME * 1e-30 * 6.02214076e23 / n
    assert 0.5 * volumes[0] + 0.5 * volumes[1] == pytest.approx(molar, rel=1e-9)
    excess = report.row("excess_coordination", "wat-met").value
    assert excess == pytest.approx(made.MOLECULES["met"] / made.VOLUME * report.row("kirkwood_buff", "wat-met").value
                                   * 1e30, rel=1e-9)


@pytest.mark.parametrize("pair, same", [("wat_wat", True), ("met_met", False)])
def test_the_box_sum_rule_tells_the_measured_g_from_the_corrected(pair, same):
    # (a g(r) whose ρ_j G is near −δ_ij looks alike either way, and its correction is as small)
    corrected = made.exact_rdf(made.RADIUS, pair)
    measured = made.measured_in_box(made.RADIUS, corrected, 1000, made.VOLUME, same)
    half = made.EDGE / 2
    found = rdf_correction.box_sum_rule(made.RADIUS, measured, 1000, made.VOLUME, same, half)
    assert found.finite_box and found.box_integral == pytest.approx(-1.0 if same else 0.0, abs=0.1)
    assert not rdf_correction.box_sum_rule(made.RADIUS, corrected, 1000, made.VOLUME, same, half).finite_box
    again = rdf_correction.ganguly_van_der_vegt(made.RADIUS, measured, 1000, made.VOLUME, same)
    inside = made.RADIUS <= half
    assert again[inside] == pytest.approx(corrected[inside], abs=1e-6)


def test_figures_draw_what_the_analysis_kept_one_per_pair(tmp_path):
    pytest.importorskip("matplotlib")
    from quor_pp.views import structure_plots

    made.write_run(tmp_path / "run", replicas=2)  # the second names met first
    report = quor_pp.analyze(tmp_path / "run", molecules=made.MOLECULES)
    for path in (tmp_path / "run").glob("replica_*/rdf.dat"):
        path.unlink()  # the figures must not need the files
    (tmp_path / "plots").mkdir()
    written = structure_plots.plot_rdfs(report, tmp_path / "plots", formats=("png",))
    assert sorted(p.rsplit("/", 1)[1] for p in written) == ["rdf_met-met.png", "rdf_wat-met.png",
                                                             "rdf_wat-wat.png"]
    kept = report.replicas[1].structure[0]
    assert len(kept.r) <= 800 and kept.coordination[-1] > 0 and kept.extrapolation is not None


def test_density_error_follows_the_statistical_inefficiency(tmp_path):
    # An AR(1) series x_k = φ x_{k−1} + e_k has g = (1 + φ)/(1 − φ).
    made.write_run(tmp_path, replicas=1)
    rng = np.random.default_rng(3)
    phi, count, sigma = 0.8, 20000, 0.01
    values = np.empty(count)
    values[0] = 0.0
    noise = rng.normal(0.0, sigma * math.sqrt(1 - phi**2), count)
    for k in range(1, count):
        values[k] = phi * values[k - 1] + noise[k]
    (tmp_path / "replica_1" / "density.dat").write_text(
        "# Time-averaged data for fix dens_avg\n# TimeStep v_dens\n"
        + "".join(f"{k * 100} {0.85 + v:.8f}\n" for k, v in enumerate(values)))
    report = quor_pp.analyze(tmp_path, molecules=made.MOLECULES)
    assert report.row("density").value == pytest.approx(850.0, abs=0.5)
    expected = 1000 * sigma * math.sqrt((1 + phi) / (1 - phi) / count)
    assert report.row("density_error").value == pytest.approx(expected, rel=0.25)
