"""Property models used outside the data they were fitted to say so, and never give a non-physical value."""

import math
import warnings

import pytest

pytest.importorskip("chemicals")  # Laliberte's table: the salts come from it

import quor_pp  # noqa: E402
from quor_pp.properties.salts import RangeWarning  # noqa: E402


@pytest.mark.parametrize("temperature, molality, positive", [
    (600.0, 1.0, True),  # far above 100 °C: a number, flagged
    (360.0, 200.0, False),  # the correlation would give -50 S/m: no value at all
])
def test_conductivity_outside_its_correlation_warns(temperature, molality, positive):
    koh = quor_pp.salt("KOH")
    with pytest.warns(RangeWarning, match="conductivity correlation"):
        value = koh.conductivity(temperature, molality)
    assert (value > 0.0) if positive else math.isnan(value)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table = koh.properties([298.15, temperature], molality=[1.0, molality])
    assert table.outside_conductivity_fit.tolist() == [False, True]
    assert table.records()[1]["outside_conductivity_fit"] is True


def test_conductivity_inside_its_correlation_is_quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # Gilliam et al.'s correlation at 25 °C and 1 mol/kg: about 21 S/m (measured: 21.5 S/m near 1 M).
        assert quor_pp.salt("KOH").conductivity(298.15, 1.0) == pytest.approx(21.3, abs=0.5)


def test_the_command_flags_the_conductivity(tmp_path):
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-m", "quor_pp", "properties", "KOH", "-T", "360", "-b", "200"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0
    assert "n/a" in done.stdout and "conductivity" in done.stdout.splitlines()[-1]
