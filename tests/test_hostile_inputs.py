"""Hostile inputs: names that a spreadsheet would run, symbolic links that loop, state files nested too deeply."""
import csv
import io
import pathlib
import shutil

import pytest

from quor_pp import cli
from quor_pp.cli.commands.common import inert_cell

ROOT = pathlib.Path(__file__).parents[1]
RUN = ROOT / "examples" / "data" / "run"
SWEEP = ROOT / "examples" / "data" / "sweep"
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


@pytest.mark.parametrize("value, cell", [
    ("=1+1", "'=1+1"), ("+SUM(1)", "'+SUM(1)"), ("-2+3", "'-2+3"), ("@cmd", "'@cmd"), ("\t=1", "'\t=1"),
    ("\r=1", "'\r=1"), ("-cmd|' /C calc'!A0", "'-cmd|' /C calc'!A0"),
    # Numbers, and text that is only a number, are read as numbers: never escaped.
    (-1.5e-11, -1.5e-11), (-3, -3), ("-1.5e-9", "-1.5e-9"), ("+2", "+2"),
    ("wat-Na", "wat-Na"), ("T=298 (file)", "T=298 (file)"), ("", ""), (None, ""),
])
def test_cells_that_would_start_a_formula_are_escaped(value, cell):
    assert inert_cell(value) == cell


def unsafe_cells(text):
    """Every cell of a CSV text that a spreadsheet would take for a formula."""
    found = []
    for row in csv.reader(io.StringIO(text)):
        for cell in row:
            if cell.startswith(FORMULA_STARTS):
                try:
                    float(cell)
                except ValueError:
                    found.append(cell)
    return found


def test_replica_and_species_names_reach_the_csv_as_text(tmp_path, capsys, monkeypatch):
    # Replica directories and a species named like formulas; the species is given its count so its rows have numbers.
    for source, name in (("replica_1", "=1+1"), ("replica_2", "@cmd")):
        replica = tmp_path / name
        shutil.copytree(RUN / source, replica)
        for table in ("diffself.dat", "diffonsag.dat"):
            path = replica / table
            lines = path.read_text().splitlines(keepends=True)
            path.write_text("".join(line.replace("Na", "+SUM(1)") if line.startswith("#Time") else line
                                    for line in lines))
    monkeypatch.chdir(tmp_path)  # the replica column holds the paths as given
    assert cli.main(["analyze", "=1+1", "@cmd", "--per-replica", "--csv", "-",
                     "-q", "--molecules", "+SUM(1)=18", "--charge", "+SUM(1)=1,Cl=-1"]) == 0
    text = capsys.readouterr().out
    assert unsafe_cells(text) == []
    rows = list(csv.DictReader(io.StringIO(text)))
    assert {row["replica"] for row in rows} >= {"'=1+1", "'@cmd"}
    assert "'+SUM(1)" in {row["species"] for row in rows}
    # Numbers stay numbers, negative ones too (cross Onsager coefficients are negative).
    values = [row["value"] for row in rows if row["value"]]
    assert all(isinstance(float(value), float) for value in values)
    assert any(value.startswith("-") for value in values)


def test_sweep_columns_named_like_formulas_are_escaped(tmp_path, capsys):
    root = tmp_path / "sweep"
    shutil.copytree(SWEEP / "NaCl_1m_300K", root / "NaCl_1m_300K")
    with open(root / "NaCl_1m_300K" / "state.toml", "a") as state:
        state.write('"=HYPERLINK(1)" = "@evil"\nshift = -4\n')
    assert cli.main(["sweep", str(root), "--csv", "-", "-q"]) in (0, 3)
    text = capsys.readouterr().out
    assert unsafe_cells(text) == []
    header, first = next(csv.reader(io.StringIO(text))), next(csv.DictReader(io.StringIO(text)))
    assert "'=HYPERLINK(1)" in header
    assert (first["'=HYPERLINK(1)"], first["shift"]) == ("'@evil", "-4")


def looping_link(directory, name="loop"):
    link = directory / name
    link.symlink_to(name)
    return link


@pytest.mark.parametrize("where", ["replica", "table", "point"])
def test_a_symbolic_link_that_loops_is_skipped_with_one_line(tmp_path, capsys, where):
    if where == "point":
        root = tmp_path / "sweep"
        for name in ("NaCl_1m_300K", "NaCl_2m_300K"):
            shutil.copytree(SWEEP / name, root / name)
        link = looping_link(root / "NaCl_1m_300K" / "replica_1")
        status = cli.main(["sweep", str(root), "--csv", str(tmp_path / "out.csv"), "-q"])
    else:
        run = tmp_path / "run"
        shutil.copytree(RUN, run)
        if where == "table":  # a table that is itself a loop: that replica has no such table
            (run / "replica_2" / "thermconductivity.dat").unlink()
            link = looping_link(run / "replica_2", "thermconductivity.dat")
        else:
            link = looping_link(run / "replica_2")
        status = cli.main(["analyze", str(run), "--csv", str(tmp_path / "out.csv"), "-q", "--charge", "Na=1,Cl=-1"])
    err = capsys.readouterr().err
    assert status == 0, err
    assert f"warning: {link}: Too many levels of symbolic links; skipped\n" in err
    assert "Traceback" not in err
    assert (tmp_path / "out.csv").read_text().count("\n") > 10


def test_a_run_that_is_a_looping_link_is_one_line(tmp_path, capsys):
    run = tmp_path / "run"
    shutil.copytree(RUN, run)
    link = looping_link(run)
    assert cli.main(["analyze", str(run), "-q"]) == 1
    assert capsys.readouterr().err == f"quor-pp analyze: {link}: Too many levels of symbolic links\n"


@pytest.mark.parametrize("nesting", [
    "x = " + "[" * 100_000 + "]" * 100_000,
    "x = " + "{a = " * 100_000 + "1" + "}" * 100_000,
    "x." + "a." * 100_000 + "b = 1",
])
def test_a_state_file_nested_too_deeply_is_one_line_and_the_other_points_go_on(tmp_path, capsys, nesting):
    root = tmp_path / "sweep"
    for name in ("NaCl_1m_300K", "NaCl_2m_300K"):
        shutil.copytree(SWEEP / name, root / name)
    state = root / "NaCl_2m_300K" / "state.toml"
    state.write_text(state.read_text() + nesting + "\n")
    assert cli.main(["sweep", str(root), "-q", "--csv", str(tmp_path / "sweep.csv")]) == 3
    lines = capsys.readouterr().err.splitlines()
    # One line for the point left out (others may follow about the points analysed, e.g. without chemicals).
    assert lines[0] == (f"quor-pp sweep: warning: {state}: not a TOML state file; arrays or tables are nested too "
                        "deeply to be read; that state point is left out")
    assert all(line.startswith("quor-pp sweep: ") for line in lines)
    points = {line.split(",")[0] for line in (tmp_path / "sweep.csv").read_text().splitlines()[1:]}
    assert points == {"NaCl_1m_300K"}
    (root / "NaCl_1m_300K" / "state.toml").write_text(state.read_text())  # no point left: the error itself
    assert cli.main(["sweep", str(root), "-q"]) == 1
