"""Sweeps: a point's name, its state file and its replicas must agree."""

import pathlib
import shutil

import pytest

import quor_pp
from quor_pp.reading.errors import FormatError

SWEEP = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "sweep"
PATTERN = "{salt}_{molality}m_{temperature}K"


def _point(root, source, name, state=True):
    target = root / name
    shutil.copytree(SWEEP / source, target)
    if not state:
        (target / "state.toml").unlink()
    return target


@pytest.mark.parametrize("name, salt, molality", [
    ("NaCl_SPCE_1m_300K", "NaCl_SPCE", 1.0),  # an underscore in the salt: the one split with numbers
    ("NaCl_0.5m_300K", "NaCl", 0.5),
])
def test_names_split_where_the_numbers_are_plain_decimals(tmp_path, name, salt, molality):
    _point(tmp_path, "NaCl_0.5m_300K", name, state=False)
    (point,) = quor_pp.find_state_points(tmp_path, PATTERN)
    assert (point.salt, point.molality, point.temperature) == (salt, molality, 300.0)


@pytest.mark.parametrize("name", ["NaCl_0_5m_300K", "NaCl_1m_3_00K"])
def test_a_number_with_underscores_is_refused(tmp_path, name):
    _point(tmp_path, "NaCl_0.5m_300K", name, state=False)
    with pytest.raises(ValueError, match="no plain decimal number"):
        quor_pp.find_state_points(tmp_path, PATTERN)


def test_a_pattern_ending_in_a_slash_names_the_directories(tmp_path):
    _point(tmp_path, "NaCl_1m_300K", "NaCl_1m_300K", state=False)
    (point,) = quor_pp.find_state_points(tmp_path, PATTERN + "/")
    assert point.molality == 1.0


@pytest.mark.parametrize("line, words", [
    ("units = 5", "units must be one of real, metal, si and lj"),
    ("big = " + "9" * 5000, "state.toml"),
])
def test_state_file_values_that_would_be_ignored_are_refused(tmp_path, line, words):
    point = _point(tmp_path, "NaCl_1m_300K", "NaCl_1m_300K")
    with open(point / "state.toml", "a") as stream:
        stream.write(line + "\n")
    with pytest.raises((ValueError, FormatError), match=words):
        quor_pp.find_state_points(tmp_path)


def test_a_replica_run_at_another_temperature_is_set_apart_from_its_point(tmp_path):
    point = _point(tmp_path, "NaCl_1m_300K", "NaCl_1m_300K")
    shutil.rmtree(point / "replica_3")
    shutil.copytree(SWEEP / "NaCl_1m_330K" / "replica_1", point / "replica_3")
    with pytest.warns(UserWarning):
        report = quor_pp.sweep(tmp_path)
    (failure,) = report.failures
    assert pathlib.Path(failure.path).name == "replica_3" and "mean temperature 330" in failure.message
    assert report.reports[0].row("temperature").value == pytest.approx(300, abs=1)


def test_a_point_whose_replicas_were_run_at_another_temperature_is_not_analysed(tmp_path):
    # The replicas of 330 K under a state file that says 300 K: no value stands for 300 K.
    point = _point(tmp_path, "NaCl_1m_330K", "NaCl_1m_300K")
    (point / "state.toml").write_text((SWEEP / "NaCl_1m_300K" / "state.toml").read_text())
    _point(tmp_path, "NaCl_1m_330K", "NaCl_1m_330K")
    with pytest.warns(UserWarning):
        report = quor_pp.sweep(tmp_path)
    assert [p.name for p, r in zip(report.points, report.reports) if r is None] == ["NaCl_1m_300K"]
    assert {f.error for f in report.failures} == {"NotThisStatePoint"}
    assert all("300 K of the state point NaCl_1m_300K" in f.message for f in report.failures)


def test_a_point_whose_replicas_have_another_molality_is_not_analysed(tmp_path):
    # Replicas of 1 mol/kg (1000 waters, 18 NaCl) under a state file of 2 mol/kg.
    point = _point(tmp_path, "NaCl_1m_300K", "NaCl_2m_300K")
    (point / "state.toml").write_text((SWEEP / "NaCl_2m_300K" / "state.toml").read_text())
    _point(tmp_path, "NaCl_2m_300K", "NaCl_2m_300K_true")
    with pytest.warns(UserWarning):
        report = quor_pp.sweep(tmp_path)
    missing = [p.name for p, r in zip(report.points, report.reports) if r is None]
    assert missing == ["NaCl_2m_300K"]
    assert all("make 0.9992 mol/kg" in f.message and "2 mol/kg of the state point" in f.message
               for f in report.failures)
