"""The examples in the package's docstrings and the sample-run script run as written."""
import doctest
import importlib
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parents[1]


@pytest.mark.parametrize("module", ["reading.files", "analysis.fitting", "analysis.window_search", "reading.logs", "workflow.report", "core.units",
                                    "analysis.thermo_units"])
def test_docstring_examples_run(module, monkeypatch):
    monkeypatch.chdir(ROOT)
    result = doctest.testmod(importlib.import_module(f"quor_pp.{module}"))
    assert result.attempted > 0 and result.failed == 0


def test_sample_run_prints_the_table_with_units():
    result = subprocess.run([sys.executable, "examples/sample_run.py"], cwd=ROOT, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    for line in ("self_diffusion                Na", "viscosity", "thermal_conductivity", "conductivity"):
        assert line in result.stdout
    assert "m^2/s" in result.stdout and "W/(m K)" in result.stdout and "nan" not in result.stdout.lower()


def test_version_is_the_installed_distributions():
    import importlib.metadata

    import quor_pp

    assert quor_pp.__version__ == importlib.metadata.version("quor-pp")
