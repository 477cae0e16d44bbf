"""The run beside experiment (Laliberte, Gilliam, a segmented model) and the proton-hopping rows."""

import json
import math
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("chemicals", reason="the experimental values come from the salt table (the properties extra)")

import quor_pp  # noqa: E402
from quor_pp.analysis import experiment  # noqa: E402
from quor_pp.analysis.settings import AnalysisSettings  # noqa: E402
import quor_pp.workflow.sweeps

ROOT = pathlib.Path(__file__).resolve().parents[1]
KOH = ROOT / "examples" / "data" / "koh"
RUN = ROOT / "examples" / "data" / "run"
TRUTH = json.loads((KOH / "truth.json").read_text())
E2, KB = 1.602176634e-19**2, 1.380649e-23


def analyze(run, **settings):
    return quor_pp.analyze(run, AnalysisSettings(**settings))


@pytest.fixture(scope="module")
def koh():
    return analyze(KOH, charges={"K": 1, "OH": -1}, salt="KOH", molality=6.0, hopping_ion="OH")


@pytest.fixture(scope="module")
def nacl():
    return analyze(RUN, charges={"Na": 1, "Cl": -1}, salt="NaCl", molality=1.0)


# thermo's pure-water viscosity uses rounder constants, a few parts in 1e5 away (see test_salts.py).
@pytest.mark.parametrize("prop, function, tolerance", [("density", "Laliberte_density", 1e-9),
                                                        ("viscosity", "Laliberte_viscosity", 5e-5)])
def test_experimental_rows_agree_with_thermo(nacl, prop, function, tolerance):
    electrochem = pytest.importorskip("thermo.electrochem")
    salt = quor_pp.salt("NaCl")
    w = float(salt.mass_fraction(1.0))
    temperatures = nacl.row("temperature").replicas
    expected = [getattr(electrochem, function)(t, [w], [salt.cas]) for t in temperatures]
    row = nacl.row(f"{prop}_experiment")
    assert row.status == "ok" and list(row.replicas) == pytest.approx(expected, rel=tolerance)
    deviation = nacl.row(f"{prop}_deviation")
    simulated = nacl.row(prop).value
    assert deviation.value == pytest.approx(
        sum((simulated_replica - e) / e for simulated_replica, e in
            zip(nacl.row(prop).replicas, expected)) / len(expected), rel=1e-3, abs=1e-4)
    assert (simulated - row.value) / row.value == pytest.approx(deviation.value, rel=1e-3, abs=1e-6)


def test_koh_conductivity_sits_its_known_deficit_below_gilliam(koh):
    experimental = koh.row("conductivity_experiment")
    assert experimental.status == "ok"
    assert experimental.value == pytest.approx(TRUTH["conductivity_experiment_S_m"], rel=2e-3)  # T varies a little
    simulated = koh.row("conductivity")
    error = 3 * max(simulated.sem, TRUTH["conductivity_relative_spread"] * simulated.value)
    assert abs(experimental.value - simulated.value - TRUTH["deficit_S_m"]) <= error
    # At 80 °C the viscosity correlation of KOH is outside its fitted range: the row says so.
    viscosity = koh.row("viscosity_experiment")
    assert viscosity.value is None and viscosity.status == "outside range" and "outside" in viscosity.message


def test_hop_time_and_diffusion_follow_the_closed_form_through_the_command(tmp_path):
    out = tmp_path / "koh.json"
    result = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(KOH), "--charge", "K=1,OH=-1",
                             "--salt", "KOH", "--molality", "6", "--hopping-ion", "OH", "--json", str(out), "-q"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    rows = {(r["quantity"], r["species"]): r for r in json.loads(out.read_text())["rows"]}
    sigma_exp = rows[("conductivity_experiment", "")]["value"]
    sigma_md = rows[("conductivity", "")]["value"]
    temperature = rows[("temperature", "")]["value"]
    length = rows[("volume", "")]["value"] ** (1 / 3)
    delta, count = 2.8e-10, TRUTH["molecules"]["OH"]
    tau = E2 * delta**2 * count / (6 * KB * temperature * length**3 * (sigma_exp - sigma_md))
    assert rows[("proton_hop_time", "")]["value"] == pytest.approx(tau, rel=1e-9)
    assert rows[("proton_hop_diffusion", "")]["value"] == pytest.approx(delta**2 / (6 * tau), rel=1e-9)
    corrected = rows[("self_diffusion_hop_corrected", "OH")]["value"]
    assert corrected == pytest.approx(rows[("self_diffusion", "OH")]["value"] + delta**2 / (6 * tau), rel=1e-9)
    # Against the generator's own τ, within the error of the simulated conductivity.
    assert rows[("proton_hop_time", "")]["value"] == pytest.approx(TRUTH["proton_hop_time_s"], rel=0.5)
    table = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(KOH), "--charge", "K=1,OH=-1",
                            "--salt", "KOH", "--molality", "6", "--hopping-ion", "OH", "--hop-distance", "5.6"],
                           capture_output=True, text=True, timeout=300)
    hop = next(line.split() for line in table.stdout.splitlines() if line.startswith("proton_hop_time"))
    assert float(hop[1]) * 1e-12 == pytest.approx(4 * tau, rel=1e-3)  # τ ∝ δ², shown in ps


def test_a_run_that_conducts_better_than_experiment_has_no_deficit():
    report = analyze(KOH, charges={"K": 1, "OH": -1}, salt="KOH", molality=0.5, hopping_ion="OH")
    for name, species in (("proton_hop_time", ""), ("proton_hop_diffusion", ""),
                          ("self_diffusion_hop_corrected", "OH")):
        row = report.row(name, species)
        assert row.value is None and row.status == "no deficit" and "no deficit" in row.message


def write_model(path, temperature=298.15, limits=(0.0, 3.0), rows=((100.0,) + (0.0,) * 9,)):
    path.write_text(json.dumps({"salt": "NaCl", "temperature": temperature, "limits": list(limits),
                                "coefficients": [list(r) for r in rows]}))
    return str(path)


def test_segmented_model_gives_the_conductivity_of_another_salt(tmp_path):
    # Λ = 100 S cm²/mol at every molarity: σ = Λ c / 10 = 10 c S/m.
    report = analyze(RUN, charges={"Na": 1, "Cl": -1}, salt="NaCl", molality=1.0,
                     conductivity_model=write_model(tmp_path / "nacl.json"))
    temperatures = report.row("temperature").replicas
    expected = [10.0 * float(quor_pp.salt("NaCl").molarity(t, 1.0)) for t in temperatures]
    assert list(report.row("conductivity_experiment").replicas) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("model, message", [
    ({"limits": (0.0, 0.5)}, "outside Dewane bounds"),
    ({"temperature": 353.15}, "holds at 353.15 K"),
])
def test_a_model_outside_its_range_says_so(tmp_path, model, message):
    report = analyze(RUN, charges={"Na": 1, "Cl": -1}, salt="NaCl", molality=1.0,
                     conductivity_model=write_model(tmp_path / "m.json", **model))
    row = report.row("conductivity_experiment")
    assert row.value is None and row.status == "outside range" and message in row.message


@pytest.mark.parametrize("content, message", [
    ("not json", "not JSON"),
    ('{"salt": "NaCl"}', "salt, temperature, limits and coefficients"),
    ('{"salt": "NaCl", "temperature": 298, "limits": [0, 1, 2], "coefficients": [[1,2,3,4,5,6,7,8,9,10]]}',
     "3 limits need 2 rows"),
])
def test_bad_model_files_are_refused_with_their_path(tmp_path, content, message):
    path = tmp_path / "bad.json"
    path.write_text(content)
    with pytest.raises(ValueError, match=message) as caught:
        experiment.read_conductivity_model(str(path))
    assert str(path) in str(caught.value)


def test_without_a_conductivity_model_there_is_no_row_and_hopping_says_what_to_give():
    report = analyze(RUN, charges={"Na": 1, "Cl": -1}, salt="NaCl", molality=1.0, hopping_ion="Cl")
    assert not any(row.quantity.startswith("conductivity_") and row.quantity != "conductivity_nernst_einstein"
                   for row in report.rows)
    row = report.row("proton_hop_time")
    assert row.status == "missing" and "--conductivity-model" in row.message


@pytest.mark.parametrize("settings, error", [({"molality": -1.0}, ValueError), ({"salt": 3}, TypeError),
                                             ({"hop_distance": 0.0}, ValueError)])
def test_bad_experiment_settings_are_refused(settings, error):
    with pytest.raises(error):
        AnalysisSettings(**settings)


def test_a_sweep_point_passes_its_salt_and_molality():
    point = quor_pp.workflow.sweeps.find_state_points(ROOT / "examples" / "data" / "sweep")[0]
    settings = point.settings(AnalysisSettings())
    assert (settings.salt, settings.molality) == (point.salt, point.molality) and math.isfinite(settings.molality)


@pytest.mark.parametrize("args, message", [(["--molality", "-1"], "is not a molality"),
                                           (["--hop-distance", "0"], "--hop-distance")])
def test_bad_experiment_options_are_usage_errors(args, message):
    result = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(KOH), *args], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 2 and message in result.stderr
