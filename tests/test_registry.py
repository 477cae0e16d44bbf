"""The registry of quantities: a quantity declared once reaches every output; the command starts light."""

import csv
import importlib.util
import io
import json
import subprocess
import sys

import pytest

import quor_pp
from quor_pp import cli
from quor_pp.analysis import quantities
from quor_pp.analysis.quantities import Curves, Normalisation, Quantity

from sample_truth import RUN


@pytest.fixture
def twin_viscosity():
    """A quantity added through the registry alone: the shear viscosity again, under another name."""
    twin = Quantity("viscosity_twin", "η₂", "shear viscosity, fitted again", "Pa s",
                    Curves("viscosity", "MSD_all"), Normalisation("viscosity", ("T",)),
                    curve_label=("twin", "Pa s²"), in_sweep_table=True)
    quantities.register(twin, before="thermal_conductivity")
    yield twin
    quantities.unregister(twin.name)


def test_a_registered_quantity_reaches_the_table_json_csv_and_plots(twin_viscosity, tmp_path, capsys):
    report = quor_pp.analyze(RUN)
    names = [row.quantity for row in report.rows]
    assert names.index("viscosity_twin") == names.index("thermal_conductivity") - 1
    twin, original = report.row("viscosity_twin"), report.row("viscosity")
    assert (twin.value, twin.std, twin.unit, twin.status) == (original.value, original.std, "Pa s", "ok")
    document = json.loads(report.to_json())
    assert any(row["quantity"] == "viscosity_twin" for row in document["rows"])

    assert cli.main(["analyze", str(RUN), "-q", "--csv", "-"]) == 0
    records = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    assert float(next(r for r in records if r["quantity"] == "viscosity_twin")["value"]) == original.value

    if importlib.util.find_spec("matplotlib") is not None:
        from quor_pp.views import plots

        assert ("viscosity_twin", "") in plots.figure_keys(report)
        assert plots.plot_fits(report, "viscosity_twin", "", tmp_path, formats=("png",)) == [
            str(tmp_path / "viscosity_twin.png")]


def test_a_quantity_is_declared_with_curves_or_a_derive_function():
    with pytest.raises(ValueError, match="curves and a normalisation, or a derive function"):
        Quantity("nothing", "x", "nothing", "m")
    with pytest.raises(ValueError, match="registered already"):
        quantities.register(quantities.quantity("viscosity"))


def test_help_imports_neither_numpy_nor_the_extension():
    code = ("import sys\nfrom quor_pp import cli\ntry:\n    cli.main(['--help'])\nexcept SystemExit:\n    pass\n"
            "try:\n    cli.main(['analyze', '--help'])\nexcept SystemExit:\n    pass\n"
            "print(sorted(m for m in ('numpy', '_quor_pp', 'rich', 'matplotlib') if m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "[]"
    assert "analyze" in result.stdout and "--molecules" in result.stdout
