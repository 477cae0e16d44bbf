"""Outputs are whole or not written at all, never land on an input or on each other, and never follow a stray link."""
import os
import pathlib
import stat
import subprocess
import sys

import pytest

import quor_pp
from quor_pp.core.outputs import OutputPathError, check_outputs, replacing, run_inputs

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"
OLD = '{"old": "a good file from yesterday"}\n'
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".part"))


def run_limited(code, limit, cwd):
    """Python `code` in a process that may not write files beyond `limit` bytes (writes then fail with EFBIG)."""
    prologue = f"import resource; resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))\n"
    return subprocess.run([sys.executable, "-c", prologue + code], cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}, timeout=120)


@pytest.mark.parametrize("option", ["--json", "--csv"])
def test_a_command_output_that_fails_partway_leaves_the_old_file(tmp_path, option):
    out = tmp_path / "out"
    out.write_text(OLD)
    code = (f"import sys; from quor_pp.cli import main\n"
            f"sys.exit(main(['analyze', {str(RUN)!r}, '--charge', 'Na=1,Cl=-1', '--per-replica', {option!r}, 'out', "
            "'-q']))")
    done = run_limited(code, 4096, tmp_path)
    assert done.returncode == 1, done.stderr
    assert done.stderr.strip().endswith("cannot write out: File too large") and done.stderr.count("\n") == 1
    assert out.read_text() == OLD and leftovers(tmp_path) == []


def test_a_parquet_write_that_fails_partway_leaves_the_old_file(tmp_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "sweep.parquet"
    out.write_text(OLD)
    code = ("import pyarrow, pyarrow.parquet as pq; from quor_pp.core.outputs import replacing\n"
            "table = pyarrow.table({'x': list(range(200_000))})\n"
            "with replacing('sweep.parquet', binary=True) as stream:\n"
            "    pq.write_table(table, stream, compression=None)\n")
    done = run_limited(code, 65536, tmp_path)
    assert done.returncode == 1 and "File too large" in done.stderr
    assert out.read_text() == OLD and leftovers(tmp_path) == []


@pytest.mark.parametrize("binary", [False, True])
@pytest.mark.parametrize("interruption", [KeyboardInterrupt, OSError, ValueError])
def test_an_interrupted_write_leaves_the_old_file_and_no_temporary(tmp_path, binary, interruption):
    out = tmp_path / "out.json"
    out.write_text(OLD)
    with pytest.raises(interruption):
        with replacing(out, binary=binary) as stream:
            stream.write(b"{half" if binary else "{half")
            raise interruption()
    assert out.read_text() == OLD and leftovers(tmp_path) == []


def test_a_complete_write_replaces_the_file_and_keeps_its_mode(tmp_path):
    out = tmp_path / "out.csv"
    out.write_text(OLD)
    out.chmod(0o640)
    with replacing(out) as stream:
        stream.write("a,b\n1,2\n")
    assert out.read_text() == "a,b\n1,2\n" and stat.S_IMODE(out.stat().st_mode) == 0o640
    fresh = tmp_path / "fresh.csv"
    with replacing(fresh) as stream:
        stream.write("x\n")
    mask = os.umask(0o022)
    os.umask(mask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o666 & ~mask


def test_a_device_is_written_through_and_never_removed():
    with pytest.raises(RuntimeError):
        with replacing(os.devnull, binary=True) as stream:
            stream.write(b"discarded")
            raise RuntimeError("a failure in the middle")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_a_failing_parquet_write_over_a_device_leaves_it(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    with pytest.raises(pyarrow.ArrowException):
        with replacing(os.devnull, binary=True) as stream:
            pq.write_table(pyarrow.table({"x": [1, 2]}), stream, compression="no such codec")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


@pytest.fixture
def files(tmp_path):
    run = tmp_path / "replica_1"
    run.mkdir()
    (run / "diffself.dat").write_text("#Time MSD__a\n1 1\n")
    (run / "log.lammps").write_text("LAMMPS (x)\n")
    (tmp_path / "link.dat").symlink_to(run / "diffself.dat")
    os.link(run / "log.lammps", tmp_path / "hard.log")
    return tmp_path, run_inputs([run], ["diffself.dat", "viscosity.dat", "log.lammps"])


@pytest.mark.parametrize("outputs, message", [
    ({"--json": "replica_1/diffself.dat"}, "--json replica_1/diffself.dat: is the input file"),
    ({"--csv": "replica_1/../replica_1/./log.lammps"}, "is the input file"),
    ({"--csv": "link.dat"}, "--csv link.dat: is the input file"),
    ({"--json": "hard.log"}, "is the input file"),
    ({"--json": "out", "--csv": "out"}, "--csv out: is also the output of --json"),
    ({"--json": "out", "--csv": "./out"}, "is also the output of --json"),
    ({"--json": "replica_1"}, "--json replica_1: is a directory"),
])
def test_outputs_that_would_destroy_data_are_refused(files, monkeypatch, outputs, message):
    folder, inputs = files
    monkeypatch.chdir(folder)
    before = {path: pathlib.Path(path).read_bytes() for path in inputs}
    assert sorted(map(os.path.basename, inputs)) == ["diffself.dat", "log.lammps"]
    with pytest.raises(OutputPathError, match=message):
        check_outputs(outputs, inputs)
    assert isinstance(OutputPathError(""), ValueError)
    assert {path: pathlib.Path(path).read_bytes() for path in inputs} == before


def test_separate_outputs_standard_output_and_devices_pass(files, monkeypatch):
    folder, inputs = files
    monkeypatch.chdir(folder)
    check_outputs({"--json": "out.json", "--csv": "-", "--parquet": None, "--plot-data": os.devnull,
                   "--html": "replica_1/report.html"}, inputs)


def test_a_link_in_a_plot_directory_is_replaced_not_written_through(tmp_path):
    pytest.importorskip("matplotlib")
    from quor_pp.views import plots

    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    plot_dir = tmp_path / "plots"
    plot_dir.mkdir()
    (plot_dir / "replica_values.png").symlink_to(victim)
    report = quor_pp.analyze(RUN)
    written = plots.plot_replica_values(report, plot_dir, formats=("png",))
    assert victim.read_text() == "precious"
    assert not os.path.islink(written[0]) and pathlib.Path(written[0]).read_bytes().startswith(PNG_SIGNATURE)


def test_two_commands_plotting_into_one_directory_each_leave_whole_figures(tmp_path):
    pytest.importorskip("matplotlib")
    plot_dir = tmp_path / "plots"
    command = [sys.executable, "-m", "quor_pp", "analyze", str(RUN), "--plot", str(plot_dir), "-q", "--csv", os.devnull]
    runs = [subprocess.Popen(command, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    assert [run.wait(timeout=120) for run in runs] == [0, 0], [run.stderr.read() for run in runs]
    from matplotlib import image
    import xml.etree.ElementTree as ElementTree

    names = sorted(os.listdir(plot_dir))
    assert leftovers(plot_dir) == [] and len(names) > 4
    for name in names:
        if name.endswith(".png"):
            assert image.imread(plot_dir / name).ndim == 3
        else:
            ElementTree.parse(plot_dir / name)
