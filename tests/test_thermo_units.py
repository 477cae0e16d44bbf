"""Units of the thermodynamic means: SI where the column's keyword says what it is, the style's units otherwise."""

import pathlib
import shutil

import numpy as np
import pytest

import quor_pp
from quor_pp.analysis import thermo_averages
from quor_pp.analysis.thermo_units import column_unit
from quor_pp.core.units import unit_system

DATA = pathlib.Path(__file__).resolve().parents[1] / "examples" / "data"
FARADAY = 96485.3321233100184  # C/mol, exact since the 2019 SI: one eV per particle is F J/mol


@pytest.mark.parametrize("style, column, factor, unit", [
    ("real", "Press", 101325.0, "Pa"),          # atm
    ("metal", "Pxy", 1e5, "Pa"),                # bar
    ("real", "PotEng", 4184.0, "J/mol"),        # kcal/mol, thermochemical calorie
    ("metal", "TotEng", FARADAY, "J/mol"),      # eV
    ("si", "KinEng", 6.02214076e23, "J/mol"),   # J per box, per mole of boxes
    ("real", "Temp", 1.0, "K"),
    ("real", "Volume", 1e-30, "m^3"),           # Å³
    ("metal", "Lx", 1e-10, "m"),
    ("real", "Density", 1000.0, "kg/m^3"),      # g/cm³
    ("si", "Density", 1.0, "kg/m^3"),
    ("metal", "Dt", 1e-12, "s"),                # ps
    ("real", "c_msd[4]", 1.0, "real units"),    # a compute can measure anything
    ("metal", "v_myPress", 1.0, "metal units"),
    ("si", "f_ave", 1.0, "si units"),
    ("lj", "Press", 1.0, "reduced"),
])
def test_column_units_against_the_definitions_of_each_style(style, column, factor, unit):
    found, name = column_unit(column, unit_system(style))
    assert name == unit and found == pytest.approx(factor, rel=1e-12)


def records(sample):
    if sample == "sweep":
        return quor_pp.sweep(DATA / "sweep").records()
    return quor_pp.analyze(DATA / sample).records()


@pytest.mark.parametrize("sample", ["run", "mixture", "koh", "sweep"])
def test_no_row_of_a_shipped_sample_is_in_an_unnamed_unit(sample):
    found = records(sample)
    thermo = [r for r in found if r["quantity"].startswith("thermo_mean")]
    assert thermo and not [r for r in found if r["unit"] in ("file unit", "", None)]
    # The samples' tables hold thermo keywords only: every row of them is in SI.
    assert {r["unit"] for r in thermo} <= {"K", "Pa", "J/mol", "m^3", "m", "kg/m^3"}


def test_a_column_is_converted_with_its_error_and_a_compute_keeps_the_style(tmp_path):
    replica = tmp_path / "replica_1"
    shutil.copytree(DATA / "run" / "replica_1", replica)
    table = replica / "nvt_prod.dat"
    lines = table.read_text().splitlines()
    rows = np.array([[float(v) for v in line.split()] for line in lines[2:]])
    table.write_text("\n".join([lines[0], lines[1] + " c_dipole"]
                               + [f"{line} {k % 7}" for k, line in enumerate(lines[2:])]) + "\n")
    report = quor_pp.analyze(replica)
    pressure = thermo_averages.detect_equilibration(rows[:, 2])
    mean, error = report.row("thermo_mean", "Press"), report.row("thermo_mean_error", "Press")
    assert (mean.unit, error.unit) == ("Pa", "Pa")
    assert mean.value == pytest.approx(pressure.mean * 101325.0, rel=1e-12)
    assert error.value == pytest.approx(pressure.error * 101325.0, rel=1e-12)
    compute = report.row("thermo_mean", "c_dipole")
    assert compute.unit == "real units" and compute.status == "ok"
    assert compute.value == pytest.approx(thermo_averages.detect_equilibration(
        [k % 7 for k in range(len(rows))]).mean, rel=1e-12)
