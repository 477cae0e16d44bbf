"""A run's tables against each other: species, pairs, increasing columns, positive values, numbers."""

import math

import pytest

from cross_check_runs import (TRUTH, analyze_quietly, drop_column, each_replica, edit_lines, edit_rows,
                              rename_in_header, sample_copy)
from quor_pp.analysis.cross_checks import onsager_species
from quor_pp.analysis.settings import AnalysisSettings
from quor_pp.reading.errors import FormatError

CHARGES = {"Na": 1, "Cl": -1}


@pytest.fixture(scope="module")
def untouched(tmp_path_factory):
    return analyze_quietly(sample_copy(tmp_path_factory.mktemp("sample")), charges=CHARGES)


@pytest.mark.parametrize("names, species", [
    (["Time", "MSD__wat_wat", "MSD__wat_Na", "MSD__Na_Na"], ["wat", "Na"]),
    (["Time", "MSD__Na_SPC_Na_SPC", "MSD__Na_SPC_Cl", "MSD__Cl_Cl"], ["Na_SPC", "Cl"]),
    (["Time", "MSD__a_b", "MSD__b_b"], ["b"]),
])
def test_onsager_species_come_from_the_diagonal(names, species):
    assert onsager_species(names) == species


@pytest.mark.parametrize("molecules", [None, {"wat": 1000}])
def test_species_missing_from_diffself_are_counted_from_the_onsager_table(tmp_path, untouched, molecules):
    # N is the total over every species of the Onsager matrix: a species absent from
    # diffself.dat still counts (0.0229e-9 for Na-Na, not 0.658e-9).
    run = sample_copy(tmp_path)
    for replica in each_replica(run):
        drop_column(replica / "diffself.dat", "MSD__Na")
        if molecules:
            drop_column(replica / "diffself.dat", "MSD__wat")
    report = analyze_quietly(run, charges=CHARGES, molecules=molecules)
    for pair in ("Na-Na", "wat-wat", "Cl-Cl"):
        row = report.row("onsager", pair)
        assert row.status == "ok"
        assert row.value == pytest.approx(untouched.row("onsager", pair).value, rel=1e-12)
    assert report.row("conductivity").value == pytest.approx(untouched.row("conductivity").value, rel=1e-12)


@pytest.mark.parametrize("file", ["diffself.dat", "diffonsag.dat"])
def test_a_species_renamed_in_one_table_names_both_files(tmp_path, file):
    run = sample_copy(tmp_path, replicas=1)
    replica = each_replica(run)[0]
    rename_in_header(replica / file, "Na", "K")
    with pytest.raises(FormatError) as caught:
        analyze_quietly(run)
    message = str(caught.value)
    assert "diffonsag.dat" in message and "diffself.dat" in message
    assert ("K" if file == "diffself.dat" else "Na") in message


def test_both_orders_of_one_pair_are_ambiguous(tmp_path):
    run = sample_copy(tmp_path, replicas=1)
    replica = each_replica(run)[0]
    rename_in_header(replica / "diffonsag.dat", "MSD__wat_Na", "MSD__Cl_Na")
    with pytest.raises(FormatError, match="Na_Cl.*Cl_Na|Cl_Na.*Na_Cl"):
        analyze_quietly(run)


def _reverse_rows(rows):
    return rows[:10] + rows[10:20][::-1] + rows[20:]


def _appended(rows):
    return rows + rows


def _repeated_row(rows):
    return rows[:15] + [rows[14]] + rows[15:]


@pytest.mark.parametrize("file", ["diffself.dat", "diffonsag.dat", "viscosity.dat"])
@pytest.mark.parametrize("change", [_reverse_rows, _appended, _repeated_row])
def test_a_time_column_that_does_not_increase_is_refused(tmp_path, file, change):
    run = sample_copy(tmp_path, replicas=1)
    edit_rows(each_replica(run)[0] / file, change)
    with pytest.raises(FormatError, match=rf"{file}.*row \d+ has Time"):
        analyze_quietly(run)


def test_one_bad_replica_fails_alone(tmp_path, untouched):
    run = sample_copy(tmp_path)
    edit_rows(each_replica(run)[1] / "diffself.dat", _appended)
    report = analyze_quietly(run, charges=CHARGES)
    assert [f.path.endswith("replica_2") for f in report.failures] == [True]
    assert report.row("self_diffusion", "Na").n == 3


def _nan_rows(rows):
    for k in (20, 21):
        fields = rows[k].split()
        fields[2] = "nan"
        rows[k] = " " + "\t".join(fields)
    return rows


def test_nan_in_a_curve_gives_a_status_naming_its_rows(tmp_path):
    run = sample_copy(tmp_path, replicas=1)
    edit_rows(each_replica(run)[0] / "diffself.dat", _nan_rows)
    report = analyze_quietly(run)
    row = report.row("self_diffusion", "Na")
    assert row.status == "not numbers" and row.value is None
    assert "diffself.dat MSD__Na" in row.message and "rows 21, 22" in row.message
    assert report.row("self_diffusion", "wat").status == "ok"


@pytest.mark.parametrize("file, row, value", [
    ("volume.dat", 0, "0"), ("volume.dat", 0, "-30561.25"), ("density.dat", 0, "0.0"),
])
def test_a_volume_or_density_that_is_not_positive_is_refused(tmp_path, file, row, value):
    run = sample_copy(tmp_path, replicas=1)
    path = each_replica(run)[0] / file
    edit_rows(path, lambda rows: rows + [f"600000 {value}"])
    with pytest.raises(FormatError, match=rf"{file}.*row 2 of .* is {float(value):g}"):
        analyze_quietly(run, settings=AnalysisSettings(salt="NaCl", molality=1.0))


def _celsius(rows):
    out = []
    for line in rows:
        fields = line.split()
        fields[1] = f"{float(fields[1]) - 273.15:.4f}"
        out.append(" ".join(fields))
    return out


def test_a_temperature_in_celsius_leaves_what_needs_it_missing(tmp_path):
    run = sample_copy(tmp_path, replicas=1)
    edit_rows(each_replica(run)[0] / "nvt_prod.dat", _celsius)
    report = analyze_quietly(run)
    for quantity in ("viscosity", "thermal_conductivity", "temperature"):
        row = report.row(quantity)
        assert row.value is None and "kelvin" in row.message
    # Quantities that need no temperature keep their values.
    assert report.row("self_diffusion", "wat").value == pytest.approx(TRUTH["self_diffusion_m2_s"]["wat"], rel=0.05)


def test_a_temperature_row_of_zero_kelvin_is_not_averaged_in(tmp_path):
    run = sample_copy(tmp_path, replicas=2)
    edit_rows(each_replica(run)[0] / "nvt_prod.dat",
              lambda rows: rows[:3] + [rows[3].replace(rows[3].split()[1], "0.0", 1)] + rows[4:])
    report = analyze_quietly(run)
    estimate = report.replicas[0].get("viscosity")
    assert estimate.value is None and "row 4 of Temp of nvt_prod.dat is 0" in estimate.message
    assert report.row("viscosity").n == 1


def test_the_report_lists_the_checks_applied(untouched):
    applied = set(untouched.replicas[0].checks)
    assert {"species", "pairs", "increasing", "finite", "temperature", "volume"} <= applied
    assert math.isfinite(untouched.row("conductivity").value)


@pytest.mark.parametrize("content, words", [
    (b"\xef\xbb\xbf#NOTE\n#Time\tMSD__a\t\n 0 0\n 10 1\n", "byte-order mark"),
    (b"#NOTE\r#Time\tMSD__a\t\r 0 0\r 10 1\r", "lines end in CR alone"),
])
def test_text_that_starts_wrong_is_refused_for_its_cause(write_file, content, words):
    from quor_pp.reading.files import read

    with pytest.raises(FormatError, match=words):
        read(write_file(content, "diffself.dat"))


def test_a_bytes_path_is_refused_as_such():
    import quor_pp

    with pytest.raises(TypeError, match="not bytes"):
        quor_pp.analyze(b"/tmp")


def test_read_warns_of_rows_that_are_not_numbers(write_file):
    import subprocess
    import sys

    path = write_file("#NOTE\n#Time\tMSD__a\tMSD__b\t\n 0 0 0\n 10 nan nan\n 20 2 3\n", "diffself.dat")
    done = subprocess.run([sys.executable, "-m", "quor_pp", "read", path], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "1 of 3 rows" in done.stderr and "rows 2)" in done.stderr


@pytest.mark.parametrize("change", [_reverse_rows, _appended])
def test_an_rdf_whose_radius_does_not_increase_is_refused(tmp_path, change):
    import shutil

    from cross_check_runs import SAMPLE

    run = tmp_path / "mixture"
    shutil.copytree(SAMPLE.parent / "mixture" / "replica_1", run)

    def rows_only(lines):  # the RDF table's first line names its columns, without '#'
        return [lines[0]] + change(lines[1:])

    edit_lines(run / "rdf.dat", rows_only)
    with pytest.raises(FormatError, match=r"rdf.dat.*radius column Radius increases.*row \d+ has Radius"):
        analyze_quietly(run)
