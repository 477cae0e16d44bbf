"""Maxwell-Stefan and Fick diffusivities, transference numbers and the replicas' jackknife."""

import json
import math
import pathlib

import numpy as np
import pytest

import quor_pp
from quor_pp.analysis import mixtures
from quor_pp.analysis.quantities import Quantity, register, unregister
from quor_pp.analysis.results import Source
import quor_pp.analysis.quantities

ROOT = pathlib.Path(__file__).resolve().parents[1]
MIXTURE = ROOT / "examples" / "data" / "mixture"
TRUTH = json.loads((MIXTURE / "truth.json").read_text())


@pytest.mark.parametrize("x1, d1, d2", [(0.5, 2e-9, 1e-9), (0.1, 3e-9, 0.5e-9), (0.9, 1e-9, 1e-9)])
def test_uncorrelated_molecules_give_darkens_diffusivity(x1, d1, d2):
    # Without cross-correlations Λ_ii = x_i D_i, and Đ = x₂D₁ + x₁D₂ (Darken).
    x2 = 1.0 - x1
    lam = np.diag([x1 * d1, x2 * d2])
    expected = x2 * d1 + x1 * d2
    assert mixtures.binary_maxwell_stefan(x1, lam[0, 0], lam[1, 1], 0.0) == pytest.approx(expected, rel=1e-14)
    assert mixtures.maxwell_stefan_matrix([x1, x2], lam)[0, 1] == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("x, d", [([0.5, 0.3, 0.2], [2e-9, 2e-9, 1e-9]),
                                  ([0.1, 0.2, 0.3, 0.4], [1e-9, 3e-9, 2e-9, 0.5e-9])])
def test_uncorrelated_species_follow_the_multicomponent_darken_relation(x, d):
    # Without cross-correlations Đ_ij = D_i D_j Σ_k x_k / D_k (Krishna and van Baten 2005).
    result = mixtures.maxwell_stefan_matrix(x, np.diag(np.multiply(x, d)))
    harmonic = sum(xk / dk for xk, dk in zip(x, d))
    for i in range(len(x)):
        for j in range(len(x)):
            if i != j:
                assert result[i, j] == pytest.approx(d[i] * d[j] * harmonic, rel=1e-12)
    assert np.all(np.isnan(np.diag(result)))


@pytest.mark.parametrize("fractions, onsager", [([0.5], np.ones((1, 1))), ([0.5, 0.5], np.ones((3, 3))),
                                                ([0.0, 1.0], np.eye(2)), ([0.5, 0.5], np.zeros((2, 2)))])
def test_ill_posed_matrices_are_refused(fractions, onsager):
    with pytest.raises(ValueError):
        mixtures.maxwell_stefan_matrix(fractions, onsager)


def test_uncorrelated_ions_carry_current_by_their_self_diffusion():
    charges, x, d = [1.0, -1.0, 2.0], [0.2, 0.5, 0.1], [1.3e-9, 2.0e-9, 0.7e-9]
    carried = np.multiply(np.square(charges), np.multiply(x, d))
    t = mixtures.transference_numbers(charges, np.diag(np.multiply(x, d)))
    assert t == pytest.approx(carried / carried.sum(), rel=1e-14) and t.sum() == pytest.approx(1.0)


def test_finite_size_correction_of_the_maxwell_stefan_diffusivity():
    # Hand-worked: ξ k_B T / (6π η L Γ) at 298.15 K, η = 1 mPa s, L = 3 nm, Γ = 0.8 is 2.5817e-10 m²/s.
    sources = {"x_a": 0.5, "x_b": 0.5, "L_a-a": 1e-9, "L_a-b": 0.0, "L_b-b": 1e-9, "w_1:a": 1.0, "w_2:b": 1.0,
               "Gamma": 0.8, "kT/6πηL": 1.380649e-23 * 298.15 / (6 * math.pi * 1e-3 * 3e-9)}
    assert mixtures.pooled_infinite("a-b", sources) - 2e-9 == pytest.approx(2.5817e-10, rel=1e-4)
    assert mixtures.pooled_fick("a-b", sources) == pytest.approx(0.8 * (2e-9 + 2.5817e-10), rel=1e-4)


@pytest.fixture(scope="module")
def mixture():
    return quor_pp.analyze(MIXTURE)


def test_mixture_sample_recovers_its_maxwell_stefan_and_fick_diffusivities(mixture):
    spread = TRUTH["replica_spread"]["onsager"] / math.sqrt(3)  # the three Onsager curves share one error
    row = mixture.row("maxwell_stefan", "wat-meoh")
    assert row.status == "ok" and row.n == 3 and row.unit == "m^2/s"
    assert abs(row.value - TRUTH["maxwell_stefan_m2_s"]) <= 3 * max(row.sem, spread * row.value)
    fick = mixture.row("fick", "wat-meoh")
    gamma = mixture.row("thermodynamic_factor").value
    assert fick.value == pytest.approx(gamma * row.value, rel=1e-12)
    infinite = mixture.row("maxwell_stefan_infinite", "wat-meoh")
    assert infinite.value > row.value and mixture.row("fick_infinite", "wat-meoh").value > fick.value
    assert mixture.row("bulk_viscosity").value == pytest.approx(2.4e-3, rel=0.25)


def test_derived_rows_are_functions_of_the_replicas_mean_inputs_with_a_jackknife_error(electrolyte):
    row = electrolyte.row("ionicity")
    sigma = electrolyte.row("conductivity").replicas
    sigma_ne = electrolyte.row("conductivity_nernst_einstein").replicas
    assert row.value == pytest.approx(np.mean(sigma) / np.mean(sigma_ne), rel=1e-12)
    assert row.value != pytest.approx(np.mean(np.divide(sigma, sigma_ne)), rel=1e-9)  # not the mean of ratios
    n = len(sigma)
    left_out = [(sum(sigma) - a) / (sum(sigma_ne) - b) for a, b in zip(sigma, sigma_ne)]
    assert row.sem == pytest.approx(math.sqrt((n - 1) / n * np.sum(np.square(left_out - np.mean(left_out)))),
                                    rel=1e-9)
    assert row.sem == pytest.approx(row.std / math.sqrt(row.n - 1), rel=1e-12)


def _linear(run):
    base = next(iter(run.estimates("viscosity")))
    yield run.value("probe_sum", "", 2.0 * base.value + 1.0, sources=(Source("eta", base.value, "fit"),))


def test_jackknife_of_a_linear_function_is_the_standard_error():
    # For f linear in its inputs the jackknife error is exactly the standard error of f's values.
    register(Quantity("probe_sum", "p", "probe", "Pa s", derive=_linear,
                      pooled=lambda species, sources: 2.0 * sources["eta"] + 1.0))
    try:
        report = quor_pp.analyze(MIXTURE)
    finally:
        unregister("probe_sum")
    row = report.row("probe_sum")
    values = [v for v in row.replicas]
    assert row.value == pytest.approx(np.mean(values), rel=1e-12)
    assert row.sem == pytest.approx(np.std(values, ddof=1) / math.sqrt(len(values)), rel=1e-9)


@pytest.fixture(scope="module")
def electrolyte():
    return quor_pp.analyze(ROOT / "examples" / "data" / "run", charges={"Na": 1, "Cl": -1})


def test_pairs_pooled_together_are_the_pairs_pooled_one_by_one(electrolyte):
    """The Maxwell-Stefan pairs share their inputs and are jackknifed together: as if each were alone."""
    from quor_pp.workflow.report import _jackknife

    pooled = quor_pp.analysis.quantities.registered("maxwell_stefan").pooled
    pairs = [row for row in electrolyte.rows if row.quantity == "maxwell_stefan" and row.species.count("-") == 1
             and "NaCl" not in row.species]
    assert len(pairs) == 3
    for row in reversed(pairs):  # another order than the report's: no result may carry over
        sources = [result.get("maxwell_stefan", row.species).sources for result in electrolyte.replicas]
        alone = _jackknife(pooled, [row.species], sources)[row.species]
        assert alone == (row.value, row.sem)


def test_electrolyte_rows_of_the_sample_run(electrolyte):
    report = electrolyte
    t_na, t_cl = report.row("transference_number", "Na"), report.row("transference_number", "Cl")
    assert t_na.value + t_cl.value == pytest.approx(1.0, rel=1e-12)
    # Uncorrelated ions: t_Na ≈ D_Na / (D_Na + D_Cl) within the replicas' error.
    d_na, d_cl = (report.row("self_diffusion", s).value for s in ("Na", "Cl"))
    assert abs(t_na.value - d_na / (d_na + d_cl)) <= 3 * t_na.sem
    ionicity, haven = report.row("ionicity"), report.row("haven_ratio")
    sigma, sigma_ne = report.row("conductivity").value, report.row("conductivity_nernst_einstein").value
    assert ionicity.value == pytest.approx(sigma / sigma_ne, rel=1e-12)
    assert haven.value == pytest.approx(sigma_ne / sigma, rel=1e-12)
    names = {(r.quantity, r.species) for r in report.rows}
    assert ("maxwell_stefan", "wat-NaCl") in names and ("fick", "wat-NaCl") not in names  # no rdf.dat: no Γ
