"""The sample run shipped inside the package, and `quor-pp example` that copies it out."""
import filecmp
import os
import pathlib

import pytest

import quor_pp
from quor_pp import cli
from quor_pp.datasets import SAMPLE_CHARGES, copy_sample_run, sample_run

REPOSITORY_SAMPLE = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"


def _files(root):
    return sorted(str(p.relative_to(root)) for p in pathlib.Path(root).rglob("*") if p.is_file()
                  and "__pycache__" not in p.parts)


def test_the_shipped_sample_is_the_repositorys_byte_for_byte():
    shipped = sample_run()
    assert _files(shipped) == _files(REPOSITORY_SAMPLE)
    match, mismatch, errors = filecmp.cmpfiles(shipped, REPOSITORY_SAMPLE, _files(REPOSITORY_SAMPLE), shallow=False)
    assert mismatch == [] and errors == []


def test_a_copy_analyses_to_the_same_table_as_the_original(tmp_path):
    copy = copy_sample_run(tmp_path / "nacl")
    original = quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES, curves=False)
    copied = quor_pp.analyze(copy, charges=SAMPLE_CHARGES, curves=False)
    assert [r.record() | {"inputs": ""} for r in copied.rows] == [r.record() | {"inputs": ""} for r in original.rows]
    assert all(row.status == "ok" for row in copied.rows)


@pytest.mark.parametrize("occupied", ["file inside", "is a file"])
def test_copying_never_overwrites(tmp_path, occupied):
    target = tmp_path / "taken"
    if occupied == "file inside":
        target.mkdir()
        (target / "notes.txt").write_text("mine")
        expected = FileExistsError
    else:
        target.write_text("mine")
        expected = NotADirectoryError
    with pytest.raises(expected, match="taken"):
        copy_sample_run(target)
    assert "mine" in ((target / "notes.txt") if target.is_dir() else target).read_text()


def test_an_empty_directory_is_filled(tmp_path):
    (tmp_path / "empty").mkdir()
    copy_sample_run(tmp_path / "empty")
    assert sorted(os.listdir(tmp_path / "empty"))[:4] == ["replica_1", "replica_2", "replica_3", "replica_4"]


def test_example_command_copies_then_analyze_runs_on_the_copy(tmp_path, capsys):
    target = tmp_path / "sample"
    assert cli.main(["example", str(target)]) == 0
    out = capsys.readouterr().out
    assert f"quor-pp analyze {target} --charge Na=1,Cl=-1" in out
    assert cli.main(["analyze", str(target), "--charge", "Na=1,Cl=-1", "-q"]) == 0
    table = capsys.readouterr().out
    assert "conductivity" in table and "4 replicas" in table


def test_example_command_refuses_an_occupied_directory_with_one_line(tmp_path, capsys):
    (tmp_path / "x.txt").write_text("")
    assert cli.main(["example", str(tmp_path)]) == 1
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and str(tmp_path) in error and "not empty" in error


def test_example_path_prints_the_installed_sample(capsys):
    assert cli.main(["example", "--path"]) == 0
    assert capsys.readouterr().out.strip() == sample_run()
