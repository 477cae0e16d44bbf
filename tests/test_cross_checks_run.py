"""Options against the run's files, and replicas against each other: charges, units, one run, the command's options."""

import subprocess
import sys

import pytest

from cross_check_runs import TRUTH, analyze_quietly, each_replica, edit_lines, sample_copy
from quor_pp.workflow.run_consistency import NotOneRunError


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    return sample_copy(tmp_path_factory.mktemp("sample"), replicas=2)


@pytest.mark.parametrize("charges, words", [
    ({"Na": 2, "Cl": -1}, "Na: given 2, 1 in the data file"),
    ({"Na": 1, "Cl": -1, "wat": 1}, "wat: given 1, 0 in the data file"),
])
def test_charges_the_data_file_contradicts_are_refused(run, charges, words):
    with pytest.raises(ValueError, match=words):
        analyze_quietly(run, charges=charges)


def test_charges_that_are_not_neutral_are_refused(run):
    # The charges agree with the data file, but the counts given make 36 Na for 18 Cl.
    with pytest.raises(ValueError, match=r"not electroneutral.*36×\(1\) \+ 18×\(-1\) = 18 e"):
        analyze_quietly(run, charges={"Na": 1, "Cl": -1}, molecules={"Na": 36})


def _trusting(trust):
    from quor_pp.analysis.settings import AnalysisSettings

    return AnalysisSettings(trust_charges=trust)


def test_insisting_keeps_the_given_charges(run):
    # Doubling both charges quadruples the conductivity: the given charges were used.
    plain = analyze_quietly(run, charges={"Na": 1, "Cl": -1})
    doubled = analyze_quietly(run, charges={"Na": 2, "Cl": -2}, settings=_trusting(True))
    assert doubled.row("conductivity").value == pytest.approx(4 * plain.row("conductivity").value, rel=1e-9)
    assert plain.row("conductivity").value == pytest.approx(TRUTH["conductivity_S_m"], rel=0.2)
    assert {"charges", "neutrality"} <= set(plain.replicas[0].checks)


def test_units_given_against_the_log_leave_a_note(run):
    report = analyze_quietly(run, units="metal")
    applied, notes = report.checks()
    assert "units" in applied
    assert notes == ["units: the unit style metal given replaces the log's 'units real'"]
    assert "unit style metal given replaces" in str(report)


def _units(replica, style):
    edit_lines(replica / "log.lammps", lambda lines: [f"units\t\t{style}" if line.startswith("units") else line
                                                      for line in lines])


def _composition(replica, na):
    # The log and the data file agree on 36 Na (both edited), as a run of another molality would.
    edit_lines(replica / "log.lammps", lambda lines: [line.replace("18 atoms in group Na", f"{na} atoms in group Na")
                                                      .replace("group           Na              type 3",
                                                               "group Na type 3 2" if na > 18 else "group Na type 3")
                                                      for line in lines])


def _warmer(replica, factor):
    def change(lines):
        out = []
        for line in lines:
            fields = line.split()
            if not line.startswith("#") and fields:
                fields[1] = f"{float(fields[1]) * factor:.4f}"
                line = " ".join(fields)
            out.append(line)
        return out

    edit_lines(replica / "nvt_prod.dat", change)


@pytest.mark.parametrize("change, words", [
    (lambda r: _units(r, "metal"), "its unit style is metal, the 3 others' is real"),
    (lambda r: _warmer(r, 330 / 298.15), "its mean temperature 329"),
])
def test_a_replica_of_another_run_is_set_apart(tmp_path, change, words):
    run = sample_copy(tmp_path, replicas=4)
    change(each_replica(run)[3])
    report = analyze_quietly(run)
    assert [failure.error for failure in report.failures] == ["NotOneRun"]
    assert words in report.failures[0].message
    assert report.row("self_diffusion", "wat").n == 3


def test_replicas_of_two_runs_without_a_majority_are_refused(tmp_path):
    run = sample_copy(tmp_path, replicas=2)
    _warmer(each_replica(run)[1], 330 / 298.15)
    with pytest.raises(NotOneRunError, match="mean temperatures differ"):
        analyze_quietly(run)


def _cli(*args):
    return subprocess.run([sys.executable, "-m", "quor_pp", *args], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("args, words", [
    (["--window", "viscosty=2000:20000"], "no quantity 'viscosty'"),
    (["-T", "300", "-T", "400"], "given twice"),
])
def test_options_that_would_be_ignored_are_usage_errors(run, args, words):
    done = _cli("analyze", str(run), *args)
    assert done.returncode == 2 and words in done.stderr and "Traceback" not in done.stderr


def test_a_temperature_that_underflows_gives_a_status(run):
    report = analyze_quietly(run, units="lj", temperature=1e-300)
    row = report.row("thermal_conductivity")
    assert row.value is None and row.status == "invalid input"


def _twice_the_sodium(replica):
    # Every Cl made Na in the data file and the log: 36 Na, no Cl, as in a run of another salt.
    import gzip

    data = replica / "nacl.data.gz"
    text = gzip.decompress(data.read_bytes()).decode()
    data.write_bytes(gzip.compress(text.replace(" 4 -1 0 0 0", " 3 -1 0 0 0").encode()))
    edit_lines(replica / "log.lammps", lambda lines: [
        line.replace("18 atoms in group Na", "36 atoms in group Na").replace("18 atoms in group Cl",
                                                                              "0 atoms in group Cl")
        for line in lines])


def test_a_replica_of_another_composition_is_set_apart(tmp_path):
    run = sample_copy(tmp_path, replicas=3)
    _twice_the_sodium(each_replica(run)[2])
    report = analyze_quietly(run)
    (failure,) = report.failures
    assert failure.error == "NotOneRun" and "N_Na=36" in failure.message and "N_Na=18" in failure.message
    assert report.row("self_diffusion", "Na").n == 2
    assert report.to_dict()["checks"]["applied"][-1] == "one run"
