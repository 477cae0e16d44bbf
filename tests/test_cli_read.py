"""`quor-pp read`: the kind, columns, row count and first rows of each file of a run, as a user sees them."""

import pathlib
import subprocess
import sys

import pytest

from quor_pp import cli

ROOT = pathlib.Path(__file__).parents[1]
REPLICA = ROOT / "examples" / "data" / "run" / "replica_1"


def command(*args):
    """`quor-pp read ARGS` in a subprocess, through the package's entry point."""
    return subprocess.run([sys.executable, "-m", "quor_pp", "read", *map(str, args)], capture_output=True,
                          text=True, timeout=120, cwd=ROOT)


@pytest.fixture
def read(capsys, monkeypatch):
    """`quor-pp read ARGS` in this process (quicker): returns the exit status, standard output and error."""
    monkeypatch.chdir(ROOT)

    def run(*args):
        try:
            code = cli.main(["read", *map(str, args)])
        except SystemExit as exit:  # argparse's own usage errors
            code = exit.code
        out, err = capsys.readouterr()
        return code, out, err

    return run


def summary(stdout):
    """The 'key  value' lines before the first blank line."""
    head = stdout.split("\n\n")[0].splitlines()
    return dict(line.split(None, 1) for line in head)


def numeric_lines(path, skip):
    """Rows of numbers of a file, as the text has them, skipping lines that start with `skip`."""
    rows = []
    for line in path.read_text().splitlines():
        fields = line.split()
        if not fields or line.lstrip().startswith(skip):
            continue
        try:
            rows.append([float(field) for field in fields])
        except ValueError:
            continue
    return rows


@pytest.mark.parametrize("name, kind, columns, rows", [
    ("diffself.dat", "transport", "Time, MSD__wat, MSD__Na, MSD__Cl", 236),
    ("diffonsag.dat", "transport", "Time, MSD__wat_wat, MSD__wat_Na, MSD__wat_Cl, MSD__Na_Na, MSD__Na_Cl, MSD__Cl_Cl",
     236),
    ("viscosity.dat", "transport", "Time, MSD_xx, MSD_yy, MSD_zz, MSD_xy, MSD_xz, MSD_yz, MSD_off, MSD_all, "
     "MSD_bulkvisc", 236),
    ("thermconductivity.dat", "transport", "Time, MSD_x, MSD_y, MSD_z, MSD_all", 236),
    ("nvt_prod.dat", "thermo", "Step, Temp, Press, PotEng, KinEng", 101),
    ("volume.dat", "ave/time", "TimeStep, v_vol", 1),
    ("density.dat", "ave/time", "TimeStep, v_dens", 1),
    ("npt_prod_angle.dat", "histogram", "TimeStep, Index, Coord, Count, Count/Total", 90),
])
def test_each_file_kind_of_the_sample_run(read, name, kind, columns, rows):
    code, stdout, stderr = read(REPLICA / name, "--rows", 3)
    assert code == 0 and stderr == ""
    head = summary(stdout)
    assert head["kind"].split(":")[0] == kind
    assert head["rows"] == str(rows)
    assert head["columns"] == f"{len(columns.split(', '))}: {columns}"
    # The first rows are the file's first rows of numbers (after a block's TimeStep line).
    title, header, *shown = stdout.split("\n\n")[1].splitlines()
    assert title == f"# first {min(3, rows)} of {rows} rows" and header.split() == columns.split(", ")
    expected = numeric_lines(REPLICA / name, "#")
    if kind == "histogram":
        expected = [[500000.0, *row] for row in expected[1:]]
    assert [[float(v) for v in line.split()] for line in shown] == expected[:min(3, rows)]


def test_rows_zero_shows_no_rows(read):
    code, stdout, _ = read(REPLICA / "diffself.dat", "-n", 0)
    assert code == 0 and "\n\n" not in stdout and summary(stdout)["rows"] == "236"


def test_log_shows_units_groups_and_no_thermo_output():
    result = command(REPLICA / "log.lammps")
    assert result.returncode == 0
    head = summary(result.stdout)
    assert head["kind"].startswith("log:") and head["units"] == "real"
    assert head["groups"] == "5: wat, Na, Cl, water, ions"
    groups = result.stdout.split("\n\n")[1].splitlines()[2:]
    assert [line.split() for line in groups[:5]] == [["wat", "1000"], ["Na", "18"], ["Cl", "18"], ["water", "3000"],
                                                     ["ions", "36"]]
    assert "thermo   (no thermodynamic output)" in result.stdout


LOG_WITH_THERMO = """\
LAMMPS (2 Aug 2023)
units metal
group ions type 2 3
36 atoms in group ions
Step Temp Press
       0   280   1
     100   290   3
Loop time of 1.0 on 1 procs for 100 steps with 3036 atoms
   Step          Temp          Press    TotEng
       100   300   -5   -1.5
WARNING: a line that ends the block
       200   302   7    -1.25
"""


def test_log_thermo_summary_is_of_the_last_run(read, tmp_path):
    log = tmp_path / "log.lammps"
    log.write_text(LOG_WITH_THERMO)
    code, stdout, _ = read(log)
    assert code == 0
    head = summary(stdout)
    assert head["units"] == "metal" and head["groups"] == "1: ions"
    assert "thermo   2 runs (2, 1 rows); the last one:" in stdout
    table = stdout.split("\n\n")[-1].splitlines()
    assert table[0] == "# thermodynamic output of the last run, 1 rows"
    assert table[1].split() == ["column", "first", "last", "mean", "min", "max"]
    assert [line.split() for line in table[2:]] == [
        ["Step", "100", "100", "100", "100", "100"], ["Temp", "300", "300", "300", "300", "300"],
        ["Press", "-5", "-5", "-5", "-5", "-5"], ["TotEng", "-1.5", "-1.5", "-1.5", "-1.5", "-1.5"]]


@pytest.mark.parametrize("make, args, status, message", [
    (None, ["no/such.dat"], 1, "quor-pp read: no/such.dat: No such file or directory"),
    (None, [REPLICA], 1, f"{REPLICA}: Is a directory"),
    (lambda p: p.write_text("1 2 3\n4 5 6\n"), [], 1, "not a file of a known layout"),
    (lambda p: p.write_text("#Time\tMSD\t\n 1\tx\n"), [], 1, "not a transport table"),
    (lambda p: p.write_bytes(b"#Time\tMSD\t\n 1\t\xff\n"), [], 1, "not UTF-8"),
    (None, [REPLICA / "volume.dat", "--kind", "transport"], 1, "volume.dat: not a transport table"),
    (None, [REPLICA / "volume.dat", "--kind", "csv"], 2, "argument --kind: invalid choice: 'csv'"),
    (None, [REPLICA / "volume.dat", "-n", "-1"], 2, "argument -n/--rows: '-1' is not a count of rows"),
])
def test_failures_exit_with_one_line(read, tmp_path, make, args, status, message):
    if make is not None:
        path = tmp_path / "file.dat"
        make(path)
        args = [path, *args]
    code, out, err = read(*args)
    assert code == status and out == ""
    assert message in err.strip().splitlines()[-1]
    if status == 1:
        assert err.count("\n") == 1


def test_a_failure_through_the_entry_point_has_no_traceback(tmp_path):
    (tmp_path / "table.dat").write_text("#Time\tMSD\t\n 1\tx\n")
    result = command(tmp_path / "table.dat")
    assert result.returncode == 1 and result.stdout == "" and "Traceback" not in result.stderr
    assert result.stderr == f"quor-pp read: {tmp_path / 'table.dat'}: not a transport table ('#' comment lines, " \
                            "a '#Time' header, rows of numbers); line 2: ' 1\\tx'\n"


@pytest.mark.parametrize("text, kind, rows", [
    ("# Histogrammed data for fix h every 1 1 1\n# TimeStep Number-of-bins Total-counts Missing-counts Min-value "
     "Max-value\n# Bin Coord Count Count/Total\n100 2 10 0 0 1\n1 0.25 4 0.4\n2 0.75 6 0.6\n", "ave/histo", 2),
    ("# Time-correlated data for fix c\n# Timestep Number-of-time-windows\n# Index TimeDelta Ncount v_p*v_p\n"
     "100 2\n1 0 3 1.5\n2 10 2 0.5\n", "ave/correlate", 2),
    ("# Radius  finiterdf__wat_wat  rdf__wat_wat\n0.05 0 0\n0.15 0.5 0.25\n", "rdf", 2),
])
@pytest.mark.parametrize("packed", [False, True])
def test_fix_output_rdf_and_gzip_files_are_recognised(read, tmp_path, text, kind, rows, packed):
    import gzip

    path = tmp_path / ("out.dat.gz" if packed else "out.dat")
    path.write_bytes(gzip.compress(text.encode()) if packed else text.encode())
    code, out, _ = read(path)
    assert code == 0 and summary(out)["kind"].startswith(kind + ":") and summary(out)["rows"] == str(rows)
