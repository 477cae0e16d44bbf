"""A sweep's figures against experiment: each correlation solid only where it was fitted, at the table's temperature."""

import json
import pathlib
import shutil

import numpy as np
import pytest

pytest.importorskip("chemicals", reason="the experimental curves come from the salt table (the properties extra)")
pytest.importorskip("matplotlib")

import quor_pp  # noqa: E402
from quor_pp.analysis.settings import AnalysisSettings  # noqa: E402
from quor_pp.views.experiment_plots import experiment_curves, plot_experiment  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parents[1] / "examples" / "data"


@pytest.fixture(scope="module")
def sample():
    return quor_pp.sweep(DATA / "sweep")


def state(directory, salt, molality, temperature, charges, molecules=None):
    text = f'salt = "{salt}"\nmolality = {molality}\ntemperature = {temperature}\ncharges = {{ {charges} }}\n'
    if molecules:
        text += f"molecules = {{ {molecules} }}\n"
    (directory / "state.toml").write_text(text)


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    """A NaCl point far past the viscosity fit (9.9 mol/kg: the 2 m runs with the counts of 9.9 m) and a KOH
    point at 80 °C, above the temperatures of KOH's viscosity fit."""
    root = tmp_path_factory.mktemp("wide")
    shutil.copytree(DATA / "sweep" / "NaCl_2m_330K", root / "nacl")
    state(root / "nacl", "NaCl", 9.9, 330.0, "Na = 1, Cl = -1", "wat = 1000, Na = 178, Cl = 178")
    shutil.copytree(DATA / "koh", root / "koh")
    state(root / "koh", "KOH", 6.0, 353.15, "K = 1, OH = -1")
    return quor_pp.sweep(root)


def table(sweep, quantity):
    return {(r["point"]): r["value"] for r in sweep.records() if r["quantity"] == quantity and not r["replica"]}


def test_the_curve_is_at_the_measured_temperature_and_meets_the_tables_values(sample):
    prop = "viscosity"  # the sample sweep has no density.dat: no simulated density to draw
    measured, expected = table(sample, "temperature"), table(sample, f"{prop}_experiment")
    curves = experiment_curves(sample, prop)
    assert sorted(c.label_temperature for c in curves) == [300.0, 330.0]
    for curve in curves:
        names = [p.name for p in sample.points if p.temperature == curve.label_temperature]
        assert curve.fitted.all()  # 0.5 to 2 mol/kg at 300 and 330 K: inside both of NaCl's fits
        for point in (p for p in sample.points if p.name in names):
            [k] = np.flatnonzero(curve.molality == point.molality)  # the curve passes through every point
            assert curve.temperature[k] == measured[point.name] != point.temperature
            # The table's row is the mean over the replicas, each at its own temperature; the curve is at
            # their mean temperature: the same to second order in their spread (0.2 K moves η by 0.5 %).
            assert curve.values[k] == pytest.approx(expected[point.name], rel=1e-4)


def test_outside_its_fitted_range_the_correlation_is_not_solid(wide):
    nacl, koh = quor_pp.salt("NaCl"), quor_pp.salt("KOH")
    [viscosity_koh, viscosity_nacl] = experiment_curves(wide, "viscosity")
    fit = nacl.viscosity_fit
    w = np.asarray(nacl.mass_fraction(viscosity_nacl.molality))
    # The fit's highest mass fraction ends the solid part, to a part in a million.
    edge = fit.max_mass_fraction / ((1 - fit.max_mass_fraction) * nacl.molecular_weight * 1e-3)
    assert np.all(w[viscosity_nacl.fitted] <= fit.max_mass_fraction)
    assert viscosity_nacl.molality[viscosity_nacl.fitted].max() == pytest.approx(edge, rel=1e-6)
    assert viscosity_nacl.molality.max() > 9.9 and not viscosity_nacl.fitted[-1]
    assert np.isfinite(viscosity_nacl.values).all()  # drawn dashed beyond the edge
    # KOH's viscosity was fitted up to 40 °C: at 80 °C none of the curve is solid, as the table says outside range.
    assert viscosity_koh.temperature.min() > koh.viscosity_fit.temperature_range[1] and not viscosity_koh.fitted.any()
    row = next(r for r in wide.records() if r["quantity"] == "viscosity_experiment" and r["salt"] == "KOH")
    assert row["status"] == "outside range"
    [conductivity] = experiment_curves(wide, "conductivity")  # Gilliam's KOH correlation holds to 6.6 mol/kg
    assert conductivity.salt == "KOH" and conductivity.fitted[conductivity.molality > 0].all()  # σ(0) = 0: no value


def test_a_segmented_model_is_solid_within_its_limits_and_absent_beyond(tmp_path):
    model = tmp_path / "nacl.json"
    model.write_text(json.dumps({"salt": "NaCl", "temperature": 300.0, "limits": [0.0, 1.5],
                                 "coefficients": [[100.0] + [0.0] * 9]}))
    sweep = quor_pp.sweep(DATA / "sweep", AnalysisSettings(conductivity_model=str(model)))
    curves = {c.label_temperature: c for c in experiment_curves(sweep, "conductivity")}
    at_300, at_330 = curves[300.0], curves[330.0]
    molarity = np.asarray(quor_pp.salt("NaCl").molarity(at_300.temperature, at_300.molality))
    # σ = Λ c / 10 with Λ = 100 S cm²/mol, up to the model's last limit; nothing past it.
    inside = (molarity > 0.0) & (molarity <= 1.5)
    assert np.allclose(at_300.values[inside], 10.0 * molarity[inside], rtol=1e-12, atol=0.0)
    assert np.isnan(at_300.values[molarity > 1.5]).all() and (molarity > 1.5).any()
    assert np.array_equal(at_300.fitted[molarity > 0], inside[molarity > 0])
    assert 1.5 - 1e-6 < molarity[at_300.fitted].max() <= 1.5  # the solid part reaches the last limit
    # 30 K from the model's temperature: the table says outside range, the curve is nowhere solid.
    assert not at_330.fitted.any()


def test_the_figure_is_written_with_its_dashed_part(wide, tmp_path):
    [path] = plot_experiment(wide, "viscosity", tmp_path)
    assert pathlib.Path(path).name == "viscosity_vs_experiment.png" and pathlib.Path(path).stat().st_size > 10_000
