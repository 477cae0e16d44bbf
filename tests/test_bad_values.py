"""Bad values in one replica become statuses of the rows they touch, never tracebacks or numbers marked ok."""

import shutil

import pytest

import quor_pp

from sample_truth import RUN


def two_replicas(tmp_path):
    run = tmp_path / "run"
    for k in (1, 2):
        shutil.copytree(RUN / f"replica_{k}", run / f"replica_{k}")
    return run


def set_column(path, column, value):
    """Every data row of a whitespace table given `value` in `column` (header on the last '#' line)."""
    lines = path.read_text().splitlines()
    names = [line for line in lines if line.startswith("#")][-1].lstrip("#").split()
    index = names.index(column)
    out = []
    for line in lines:
        fields = line.split()
        if fields and not line.startswith("#"):
            fields[index] = value(float(fields[index]))
        out.append(" ".join(fields))
    path.write_text("\n".join(out) + "\n")


def first_row_nan(path):
    lines = path.read_text().splitlines()
    fields = lines[2].split()
    fields[1] = "nan"
    lines[2] = " ".join(fields)
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("change, rows, status, words", [
    (lambda r: set_column(r / "nvt_prod.dat", "Temp", lambda v: "0"), [("viscosity", "")], "missing",
     "is 0, not a temperature"),
    (lambda r: set_column(r / "nvt_prod.dat", "Temp", lambda v: f"{-v}"), [("viscosity", ""), ("conductivity", "")],
     "missing", "not a temperature"),
    (lambda r: first_row_nan(r / "nvt_prod.dat"), [("viscosity", ""), ("thermal_conductivity", "")], "missing", "1 of 101 values of Temp"),
    (lambda r: set_column(r / "nvt_prod.dat", "Temp", lambda v: "1e200"), [("thermal_conductivity", "")],
     "invalid input", "not a number a result can have"),
    (lambda r: set_column(r / "diffself.dat", "MSD__Na", lambda v: f"{-v - 1.0}"), [("self_diffusion", "Na")],
     "not positive", "can only grow"),
])
def test_a_bad_value_in_one_replica_is_a_status_of_its_rows(tmp_path, change, rows, status, words):
    run = two_replicas(tmp_path)
    change(run / "replica_1")
    report = quor_pp.analyze(run, charges={"Na": 1, "Cl": -1})
    bad = report.replicas[0]
    for quantity, species in rows:
        estimate = bad.get(quantity, species)
        assert (estimate.value, estimate.status) == (None, status), (quantity, estimate)
        assert words in estimate.message
        row = report.row(quantity, species)
        assert (row.status, row.n) == ("partial", 1)
    assert report.row("self_diffusion", "wat").status == "ok"


@pytest.mark.parametrize("settings, message", [
    (dict(temperature=True), "temperature must be a number, not bool"),
    (dict(temperature="300"), "temperature must be a number, not str"),
    (dict(charges="Na=1"), "charges must be a mapping"),
    (dict(charges={"Na": float("nan")}), "finite, non-zero charge"),
    (dict(charges={"Na": 0}), "finite, non-zero charge"),
    (dict(molecules={"Na": 0}), "must be a positive int"),
    (dict(windows="x"), "windows must be a mapping"),
    (dict(temperature=25.0), "for 25 °C give 298.15"),
    (dict(temperature=1e-320), "below 173.15 K"),
])
def test_bad_settings_are_refused_naming_the_setting(settings, message):
    with pytest.raises((TypeError, ValueError), match=message):
        quor_pp.analyze(RUN, **settings)


def test_numpy_numbers_are_settings_like_python_ones():
    np = pytest.importorskip("numpy")
    report = quor_pp.analyze(RUN / "replica_1", molecules={"Na": np.int64(18)}, temperature=np.float64(298.15),
                             charges={"Na": np.int32(1), "Cl": -1})
    assert report.row("conductivity").status == "ok" and report.row("temperature").value == 298.15


def test_a_tiny_volume_leaves_what_needs_it_without_a_value():
    report = quor_pp.analyze(RUN / "replica_1", volume=1e-300, charges={"Na": 1, "Cl": -1})
    for quantity, species in [("volume", ""), ("self_diffusion_infinite", "Na"), ("conductivity", "")]:
        assert report.row(quantity, species).status == "missing"
    assert report.row("self_diffusion", "Na").status == "ok"


def test_a_pipe_in_place_of_the_data_file_is_refused_without_waiting(tmp_path):
    import os

    run = two_replicas(tmp_path) / "replica_1"
    (run / "nacl.data.gz").unlink()
    os.mkfifo(run / "nacl.data")
    row = quor_pp.analyze(run).row("self_diffusion", "Na")  # would block on open() if the pipe were read
    assert row.status == "missing" and "not a regular file" in row.message
