"""Structure from g(r): first shell, coordination number, Kirkwood-Buff integrals and the thermodynamic factor."""

import json
import math
import pathlib

import numpy as np
import pytest

import quor_pp
from quor_pp.analysis import structure

integrate = pytest.importorskip("scipy.integrate")

MIXTURE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "data" / "mixture"
TRUTH = json.loads((MIXTURE / "truth.json").read_text())
R = np.arange(0.0, 15.0 + 1e-9, 0.02)


def analytic(r, alpha, wavelength):
    """g = 1 − exp(−αr)(cos kr + (α/k) sin kr): peak at λ/2, minimum at λ, g(0) = 0."""
    k = 2.0 * math.pi / wavelength
    return 1.0 - np.exp(-alpha * r) * (np.cos(k * r) + alpha / k * np.sin(k * r))


PAIRS = [(0.45, 5.6), (0.4, 7.0), (0.6, 3.5), (0.8, 4.0)]


@pytest.mark.parametrize("alpha, wavelength", PAIRS)
def test_extrapolated_integral_is_the_infinite_volume_one(alpha, wavelength):
    exact, _ = integrate.quad(lambda r: 4 * math.pi * r * r * (analytic(r, alpha, wavelength) - 1.0), 0, 200,
                              limit=400)
    found = structure.kirkwood_buff(R, analytic(R, alpha, wavelength))
    # The straight line leaves out the 1/L² term of the weight's x³ and the tail beyond 15 Å.
    assert found.value == pytest.approx(exact, abs=1.0)
    assert len(found.lengths) == len(found.running) > 100


def test_identical_pair_functions_make_an_ideal_mixture():
    g = analytic(R, 0.5, 4.0)
    kb = structure.kirkwood_buff(R, g).value
    assert structure.thermodynamic_factor(0.03, 0.3, kb, kb, kb) == 1.0
    # Γ < 1 when like pairs are favoured (demixing tendency), > 1 when unlike pairs are.
    assert structure.thermodynamic_factor(0.03, 0.3, 20.0, 20.0, 5.0) < 1.0 < \
        structure.thermodynamic_factor(0.03, 0.3, 5.0, 5.0, 20.0)


@pytest.mark.parametrize("same", [True, False])
def test_finite_box_correction_makes_an_ideal_gas_uniform(same):
    # In a box of N molecules a molecule sees N − 1 others of its own kind: g = 1 − 1/N.
    volume, count = 30.0**3, 200
    raw = np.full(len(R), 1.0 - 1.0 / count if same else 1.0)
    corrected = structure.ganguly_van_der_vegt(R, raw, count, volume, same)
    assert corrected == pytest.approx(np.ones(len(R)), abs=1e-8)


@pytest.mark.parametrize("alpha, wavelength", PAIRS[:3])
@pytest.mark.parametrize("seed", [1, 2])
def test_first_shell_is_found_in_noise(alpha, wavelength, seed):
    noisy = analytic(R, alpha, wavelength) + np.random.default_rng(seed).normal(0.0, 0.004, len(R))
    shell = structure.first_shell(noisy, structure.neighbours_for(R, 0.3))
    assert shell is not None and shell.minimum is not None
    assert R[shell.peak] == pytest.approx(wavelength / 2, abs=0.1)
    assert R[shell.minimum] == pytest.approx(wavelength, abs=0.3)  # a shallow minimum, flat in the noise


@pytest.mark.parametrize("g", [np.ones(len(R)), np.zeros(len(R)), np.linspace(0, 2, len(R))])
def test_no_peak_is_reported_as_none(g):
    assert structure.first_shell(g, 15) is None


def test_coordination_number_is_the_integral_up_to_the_minimum():
    density = 0.033
    g = analytic(R, 0.45, 5.6)
    exact, _ = integrate.quad(lambda r: 4 * math.pi * density * r * r * analytic(r, 0.45, 5.6), 0, 5.6)
    assert structure.coordination_number(R, g, density, 5.6 + 1e-9) == pytest.approx(exact, rel=1e-4)
    running = structure.running_coordination(R, g, density)
    assert running[round(5.6 / 0.02)] == pytest.approx(exact, rel=1e-4)


@pytest.fixture(scope="module")
def mixture():
    return quor_pp.analyze(MIXTURE)


def test_mixture_sample_structure_matches_its_analytic_functions(mixture):
    for pair, (_, wavelength) in {"wat-wat": (0, 5.6), "wat-meoh": (0, 3.5), "meoh-meoh": (0, 7.0)}.items():
        assert mixture.row("rdf_first_peak", pair).value == pytest.approx(wavelength / 2 * 1e-10, abs=0.1e-10)
        assert mixture.row("rdf_first_minimum", pair).value == pytest.approx(wavelength * 1e-10, abs=0.2e-10)
        key = pair.replace("-", "_")
        assert mixture.row("kirkwood_buff", pair).value == pytest.approx(TRUTH["kirkwood_buff_A3"][key] * 1e-30,
                                                                         abs=1.0e-30)
    gamma = mixture.row("thermodynamic_factor")
    assert gamma.status == "ok" and gamma.unit == "1"
    assert gamma.value == pytest.approx(TRUTH["thermodynamic_factor"], rel=0.01)


def test_each_pair_gets_a_figure_of_its_structure(mixture, tmp_path):
    pytest.importorskip("matplotlib")
    from quor_pp.views import structure_plots

    written = structure_plots.plot_rdfs(mixture, tmp_path, formats=("png",))
    assert sorted(pathlib.Path(p).name for p in written) == [f"rdf_{pair}.png" for pair in
                                                             ("meoh-meoh", "wat-meoh", "wat-wat")]
    assert all(pathlib.Path(p).stat().st_size > 20_000 for p in written)


def hydrogen_bonded(r, height, width, centre=2.7):
    """A steep contact at 2.45 Å, a narrow hydrogen-bond peak, then a broad second shell near 4.7 Å."""
    core = 1.0 / (1.0 + np.exp(-(r - 2.45) / 0.05))
    broad = 1.0 + 0.3 * np.exp(-0.4 * (r - 2.45)) * np.cos(2 * math.pi * (r - 4.7) / 4.8)
    return core * (broad + height * np.exp(-0.5 * ((r - centre) / width) ** 2))


@pytest.mark.parametrize("step", [0.01, 0.02, 0.05, 0.1])
@pytest.mark.parametrize("height, width", [(1.5, 0.07), (3.0, 0.1), (0.8, 0.12)])
@pytest.mark.parametrize("noise", [0.0, 0.02])
def test_narrow_first_peaks_next_to_contact_are_found(step, height, width, noise):
    r = np.arange(0.0, 16.0 + 1e-9, step)
    g = hydrogen_bonded(r, height, width) + noise / np.maximum(r, 1.0) * \
        np.random.default_rng(5).normal(0.0, 1.0, len(r)) * (r > 2.3)
    found = structure.shells(g, structure.neighbours_for(r, 0.3))
    fine = np.linspace(2.4, 3.2, 80001)
    top = fine[np.argmax(hydrogen_bonded(fine, height, width))]
    assert len(found) == 2
    assert abs(r[found[0].peak] - top) <= step + 1e-9
    assert top < r[found[0].minimum] < 3.8  # the dip before the second shell
    assert 4.0 < r[found[1].peak] < 5.4
