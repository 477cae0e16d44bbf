"""Figures of a report and what they are drawn from: curve scales, local slopes, display numbers."""

import math
import pathlib
import shutil

import pytest

import quor_pp
from quor_pp.analysis import display
from quor_pp.views import plots

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"


@pytest.fixture(scope="module")
def report():
    return quor_pp.analyze(RUN, charges={"Na": 1, "Cl": -1})


def test_scale_takes_every_fitted_slope_to_its_value(report):
    fitted = [(estimate, fit) for _, estimate, fit in report.fits() if estimate.value is not None]
    assert len(fitted) == 4 * 20  # 12 transport curves, 7 stress components and the bulk viscosity
    for estimate, fit in fitted:
        assert estimate.scale * fit.slope == pytest.approx(estimate.value, rel=1e-13)


def test_scale_is_known_for_a_curve_without_a_window(tmp_path):
    run = tmp_path / "run"
    shutil.copytree(RUN / "replica_1", run)
    text = (run / "viscosity.dat").read_text().splitlines()
    # A ballistic curve: every column proportional to t².
    rows = [line if line.startswith("#") else "\t".join([line.split()[0]] + [f"{float(line.split()[0]) ** 2:g}"] * 9)
            for line in text]
    (run / "viscosity.dat").write_text("\n".join(rows) + "\n")
    failed = quor_pp.analyze(run).replicas[0].get("viscosity")
    good = quor_pp.analyze(RUN / "replica_1").replicas[0].get("viscosity")
    assert failed.status == "no window" and failed.value is None
    # η = slope / T · (atm fs → Pa s): the same temperature gives the same factor.
    assert failed.scale == good.scale == pytest.approx(1.01325e-10 / report_temperature(run), rel=1e-12)


def report_temperature(run):
    return quor_pp.analyze(run).row("temperature").value


@pytest.mark.parametrize("value, digits, text", [
    (1.32, 4, "1.320"),  # trailing zeros kept: four significant digits
    (0.0008433, 4, "0.0008433"),
    (-0.01765, 4, "-0.01765"),
    (298.16, 4, "298.2"),
    (1234.0, 4, "1234"),  # no dangling point
    (120000.0, 4, "1.200e+05"),
    (0.08717, 2, "0.087"),
    (0.0, 2, "0"),
    (None, 4, "-"),
    (math.nan, 4, "-"),
])
def test_significant_digits(value, digits, text):
    assert display.significant(value, digits) == text


@pytest.mark.parametrize("paths, names", [
    (["run/replica_1", "run/replica_2"], ["replica_1", "replica_2"]),
    (["a/run/replica_1", "b/run/replica_1"], ["a/run/replica_1", "b/run/replica_1"]),
    (["x/r1/", "x/r2"], ["r1", "r2"]),
])
def test_replica_names_are_the_shortest_distinct_tails(paths, names):
    assert display.replica_names(paths) == names


def test_figures_are_drawn_for_every_fitted_quantity(report, tmp_path):
    keys = plots.figure_keys(report)
    assert len(keys) == 20 and ("self_diffusion_infinite", "Na") not in keys and ("temperature", "") not in keys
    assert keys[0] == ("self_diffusion", "wat") and plots.file_stem("onsager", "Na-Cl") == "onsager_Na-Cl"
    pytest.importorskip("matplotlib")
    # A run with only viscosity.dat draws a figure for each of its curves and the replica values.
    for k in (1, 2):
        shutil.copytree(RUN / f"replica_{k}", tmp_path / "run" / f"replica_{k}",
                        ignore=shutil.ignore_patterns("diff*.dat", "thermconductivity.dat"))
    small = quor_pp.analyze(tmp_path / "run")
    told = []
    written = plots.plot_report(small, tmp_path / "figures", formats=("png",), progress=told.append)
    assert told == ["viscosity", *(f"viscosity_component_{c}" for c in ("xx", "yy", "zz", "xy", "xz", "yz", "off")),
                    "bulk_viscosity", "replica_values", "angle_distribution"]
    assert [pathlib.Path(p).name for p in written] == [f"{name}.png" for name in told]
    assert all(pathlib.Path(p).stat().st_size > 10_000 for p in written)


def test_reduced_units_are_drawn_without_seconds(tmp_path):
    pytest.importorskip("matplotlib")
    run = tmp_path / "run"
    shutil.copytree(RUN / "replica_1", run)
    lj = quor_pp.analyze(run, units="lj", temperature=1.0)
    svg = plots.plot_fits(lj, "self_diffusion", "Na", tmp_path, formats=("svg",))[0]
    text = pathlib.Path(svg).read_text()
    assert "time [τ]" in text and "[reduced]" in text and "ps]" not in text
