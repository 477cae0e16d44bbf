"""`quor-pp analyze` run as a user runs it: the sample run's table, JSON, CSV and plots, failures, progress."""

import csv
import gzip
import importlib.util
import io
import json
import os
import pathlib
import shlex
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

from quor_pp import cli
from sample_truth import KNOWN, RUN

ROOT = pathlib.Path(__file__).parents[1]
CHARGES = "Na=1,Cl=-1"
FITTED = [("self_diffusion", s) for s in ("wat", "Na", "Cl")] + [
    ("onsager", f"{a}-{b}") for a, b in (("wat", "wat"), ("wat", "Na"), ("wat", "Cl"), ("Na", "Na"), ("Na", "Cl"),
                                         ("Cl", "Cl"))] + [
    ("viscosity", ""), ("thermal_conductivity", ""), ("conductivity", "")] + [
    ("viscosity_component", c) for c in ("xx", "yy", "zz", "xy", "xz", "yz", "off")] + [("bulk_viscosity", "")]

# What the plain table shows each SI unit as: the scale of its numbers and the unit's text.
SHOWN = {"m^2/s": (1e-9, "1e-9 m^2/s"), "Pa s": (1e-3, "mPa s"), "W/(m K)": (1.0, "W/(m K)"),
         "S/m": (1.0, "S/m"), "K": (1.0, "K"), "m^3": (1e-27, "nm^3"), "1": (1.0, "1"),
         "Pa": (1e6, "MPa"), "J/mol": (1e3, "kJ/mol"), "deg": (1.0, "deg"), "kg/m^3": (1.0, "kg/m^3")}


def command(*args, cwd=ROOT, **kwargs):
    return subprocess.run([sys.executable, "-m", "quor_pp", *map(str, args)], capture_output=True, text=True,
                          timeout=300, cwd=cwd, **kwargs)


def within_statistical_error(value, truth, sem, expected_error):
    # Four replicas estimate their own spread poorly: take the larger of the reported
    # standard error and the one the generator's noise implies.
    return abs(value - truth) <= 3.0 * max(sem, expected_error)


def plain_table(stdout):
    """The rows of the plain-text table, as dicts of the columns split on runs of two or more blanks."""
    lines = stdout.splitlines()
    while lines[0].startswith("# "):  # the title, and the inputs the values were made from
        lines.pop(0)
    header, *lines = lines
    names = header.split()
    rows = []
    for line in lines:
        cells = [cell for cell in line.split("  ") if cell.strip()]
        cells = [cell.strip() for cell in cells]
        if len(cells) == len(names) - 1:  # a row of the whole box: no species
            cells.insert(1, "")
        rows.append(dict(zip(names, cells)))
    return rows


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """One analysis of the sample run writing the table, the JSON and the per-replica CSV."""
    out = tmp_path_factory.mktemp("sample")
    result = command("analyze", RUN, "--charge", CHARGES, "--json", out / "run.json",
                     "--csv", out / "run.csv", "--per-replica")
    assert result.returncode == 0, result.stderr
    return result, json.loads((out / "run.json").read_text()), list(csv.DictReader(open(out / "run.csv")))


@pytest.mark.parametrize("quantity, species, truth, expected_error", KNOWN)
def test_json_values_in_si_units_recover_the_generators_values(sample, quantity, species, truth, expected_error):
    _, document, _ = sample
    row = next(r for r in document["rows"] if (r["quantity"], r["species"]) == (quantity, species))
    assert row["n"] == 4 and row["status"] == "ok" and len(row["replicas"]) == 4
    assert within_statistical_error(row["value"], truth, row["sem"], expected_error)
    assert row["value"] == pytest.approx(np.mean(row["replicas"]), rel=1e-12)
    assert row["std"] == pytest.approx(np.std(row["replicas"]), rel=1e-12)


def test_outputs_agree_with_each_other(sample):
    result, document, records = sample
    table = plain_table(result.stdout)
    summary = [r for r in records if r["replica"] == ""]
    assert [(r["quantity"], r["species"]) for r in table] == [(r["quantity"], r["species"]) for r in summary] \
        == [(r["quantity"], r["species"]) for r in document["rows"]]
    for shown, record, row in zip(table, summary, document["rows"]):
        assert float(record["value"]) == row["value"]  # CSV and JSON: SI, every digit
        # The table: four significant digits in a scaled unit, and a column for each replica.
        scale, unit = SHOWN[row["unit"]]
        assert (shown["unit"], shown["n"], shown["status"]) == (unit, "4", "ok")
        assert float(shown["mean"]) == pytest.approx(row["value"] / scale, rel=5e-4, abs=1e-12)
        digits = shown["mean"].lstrip("-0.").split("e")[0].replace(".", "")  # 1.025e+04 has four too
        assert len(digits) == 4 or row["quantity"] == "volume"
        assert [float(shown[f"replica_{k}"]) for k in range(1, 5)] == pytest.approx(
            [v / scale for v in row["replicas"]], rel=5e-4)
        # Per-replica records follow, one for each replica, with the replica's value.
        mine = [r for r in records if (r["quantity"], r["species"]) == (row["quantity"], row["species"])][1:]
        assert [float(r["value"]) for r in mine] == row["replicas"]
        assert [r["replica"] for r in mine] == [os.path.join(str(RUN), f"replica_{k}") for k in range(1, 5)]
    assert {r["unit"] for r in records} == {"m^2/s", "Pa s", "W/(m K)", "S/m", "K", "m^3", "1",
                                                "Pa", "J/mol", "deg", "kg/m^3"}
    assert document["warnings"] == [] and document["schema"] == "quor-pp/1"


def test_sample_run_without_charges_tells_how_to_get_the_conductivity():
    result = command("analyze", RUN / "replica_1", RUN / "replica_3", "--csv", "-")
    assert result.returncode == 0
    records = list(csv.DictReader(io.StringIO(result.stdout)))
    # The data file the log reads says which species carry charges: those rows say what to give.
    assert {r["status"] for r in records if r["quantity"].startswith("conductivity")} == {"missing"}
    assert {r["n"] for r in records if not r["quantity"].startswith("conductivity")} == {"2"}
    assert result.stderr.count("\n") == 1 and "give --charge Na=1,Cl=-1" in result.stderr


def test_no_charges_note_for_a_run_of_neutral_molecules(tmp_path):
    run = copy_run(tmp_path, (1,))
    data = run / "replica_1" / "nacl.data.gz"
    text = gzip.decompress(data.read_bytes()).decode()
    data.write_bytes(gzip.compress(text.replace(" 3 1 0 0 0", " 3 0 0 0 0").replace(" 4 -1 0 0 0", " 4 0 0 0 0")
                                   .encode()))
    # The log's 'set type 3 charge 1.0' would charge the ions again: the run must not have it.
    log = run / "replica_1" / "log.lammps"
    log.write_text("".join(line for line in log.read_text().splitlines(keepends=True) if not line.startswith("set")))
    result = command("analyze", run, "--csv", "-")
    assert result.returncode == 0 and result.stderr == ""
    assert not any(r["quantity"].startswith("conductivity") for r in csv.DictReader(io.StringIO(result.stdout)))


def copy_run(tmp_path, replicas=(1, 2, 3, 4)):
    run = tmp_path / "run"
    for k in replicas:
        shutil.copytree(RUN / f"replica_{k}", run / f"replica_{k}")
    return run


def make_ballistic(path, column):
    """Replace one column of a transport table by a curve without a diffusive stretch (MSD ∝ t²)."""
    lines = path.read_text().splitlines()
    names = next(line for line in lines if line.startswith("#Time")).split()
    index = names.index(column)
    out = []
    for line in lines:
        fields = line.split()
        if not line.startswith("#"):
            fields[index] = f"{1e-6 * float(fields[0]) ** 2:g}"
        out.append("\t".join(fields))
    path.write_text("\n".join(out) + "\n")


def test_a_curve_without_a_window_is_a_warning_and_a_status(tmp_path):
    run = copy_run(tmp_path)
    make_ballistic(run / "replica_2" / "diffself.dat", "MSD__Na")
    result = command("analyze", run, "--charge", CHARGES)
    assert result.returncode == 0
    warnings = [line for line in result.stderr.splitlines() if "warning:" in line]
    assert any(os.path.join("replica_2") in line and "self_diffusion Na" in line and "no window" in line
               for line in warnings), result.stderr
    rows = {(r["quantity"], r["species"]): r for r in plain_table(result.stdout)}
    assert (rows["self_diffusion", "Na"]["status"], rows["self_diffusion", "Na"]["n"]) == ("partial", "3")
    assert rows["self_diffusion", "wat"]["status"] == "ok"


def bad_layout(run):
    (run / "replica_1" / "diffonsag.dat").write_text("#Time\tMSD__Na_Na\t\n 10\tten\n")
    return f"{run / 'replica_1' / 'diffonsag.dat'}: not a transport table", 1


def unknown_log_units(run):
    log = run / "replica_1" / "log.lammps"
    log.write_text(log.read_text().replace("units\t\treal", "units\t\tcgs"))
    return f"{log}: unit style 'cgs' is not supported", 1


def no_group(run):
    log = run / "replica_1" / "log.lammps"
    log.write_text(log.read_text().replace("atoms in group Na\n", "atoms in group Sodium\n")
                   .replace("group           Na ", "group           Sodium "))
    return None, 0


@pytest.mark.parametrize("change", [bad_layout, unknown_log_units, no_group])
def test_bad_data_in_a_replica(tmp_path, change):
    run = copy_run(tmp_path, (1,))
    message, status = change(run)
    result = command("analyze", run)
    assert result.returncode == status and "Traceback" not in result.stderr
    if status:
        assert result.stderr.count("\n") == 1 and message in result.stderr
    else:  # a missing count leaves D of Na without a value and says which option gives it
        assert "give --molecules Na=N" in result.stderr
        given = command("analyze", run, "--molecules", "Na=18", "--csv", "-")
        na = next(r for r in csv.DictReader(io.StringIO(given.stdout)) if r["species"] == "Na")
        assert na["status"] == "ok" and float(na["value"]) == pytest.approx(1.303e-9, rel=1e-3)


@pytest.mark.parametrize("args, status, message", [
    (["analyze", "no/such/run"], 1, "quor-pp analyze: no/such/run: No such file or directory"),
    (["analyze", "examples"], 1, "examples: no transport tables (diffself.dat, viscosity.dat, ...)"),
    (["analyze", "README.md"], 1, "README.md: Not a directory"),
    (["analyze", RUN, "--charge", "K=1"], 1, "charges given for 'K', which the run does not have"),
    pytest.param(["analyze", RUN, "--plot", "README.md"], 1, "cannot make the plot directory README.md",
                 marks=pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                                          reason="without matplotlib --plot stops before the directory")),
    (["analyze", RUN, "--json", "/nonexistent/dir/out.json"], 1, "cannot write /nonexistent/dir/out.json"),
    (["analyze", RUN, "--units", "cgs"], 2, "argument --units: invalid choice: 'cgs'"),
    (["analyze", RUN, "--molecules", "Na18"], 2, "argument --molecules: 'Na18' is not NAME=N"),
    (["analyze", RUN, "--molecules", "Na=0"], 2, "argument --molecules: 'Na=0': '0' is not N"),
    (["analyze", RUN, "--charge", "Na=one"], 2, "argument --charge: 'Na=one': 'one' is not Q"),
    (["analyze", RUN, "-T", "-25"], 2, "argument -T/--temperature: '-25' is not a positive number"),
    (["analyze", RUN, "--min-window", "50", "--max-window", "40"], 2,
     "--max-window (40) must exceed --min-window (50)"),
    (["analyze", RUN, "--margin", "0.7"], 2, "--margin must lie in [0, 0.5)"),
    (["analyze", RUN, "--json", "-", "--csv", "-"], 2, "cannot both write to standard output"),
    (["analyze"], 2, "the following arguments are required: RUN"),
    (["read"], 2, "the following arguments are required: FILE"),
])
def test_failures_exit_with_one_line(args, status, message, capsys, monkeypatch):
    monkeypatch.chdir(ROOT)
    try:
        code = cli.main([str(arg) for arg in args])
    except SystemExit as exit:  # argparse's own usage errors
        code = exit.code
    out, err = capsys.readouterr()
    assert code == status and out == ""
    assert message in err.strip().splitlines()[-1]
    if status == 1:
        assert err.count("\n") == 1


def test_failures_through_the_entry_point_have_no_traceback(tmp_path):
    run = copy_run(tmp_path, (1,))
    expected, _ = bad_layout(run)
    for args, status, message in [(["no/such/run"], 1, "quor-pp analyze: no/such/run: No such file or directory"),
                                  ([run], 1, f"quor-pp analyze: {expected}"),
                                  ([run, "--units", "cgs"], 2, "quor-pp analyze: error: argument --units")]:
        result = command("analyze", *args)
        assert result.returncode == status and result.stdout == "" and "Traceback" not in result.stderr
        assert result.stderr.strip().splitlines()[-1].startswith(message)


def test_help_lists_the_commands_and_shows_the_defaults():
    top = command("--help")
    assert top.returncode == 0 and all(name in top.stdout for name in ("analyze", "read", "properties"))
    result = command("analyze", "--help")
    text = " ".join(result.stdout.split())
    assert result.returncode == 0
    for expected in ("--per-replica", "--json FILE", "--csv FILE", "--plot DIR", "--quiet", "--units {real,metal,si,lj}",
                     "--charge NAME=Q", "--molecules NAME=N", "--margin F fraction of the rows left out at each end "
                     "of a curve (default: 0.1)", "(default: 10)", "(default: 60)", "quor-pp analyze run/ --charge"):
        assert expected in text, expected


def test_progress_bar_only_on_a_terminal_and_not_when_quiet():
    pty = pytest.importorskip("pty")
    env = {**os.environ, "TERM": "xterm-256color", "COLUMNS": "120"}

    def stderr_on_a_terminal(*extra):
        primary, secondary = pty.openpty()
        with subprocess.Popen([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "--csv", os.devnull,
                               *extra],
                              stdout=subprocess.DEVNULL, stderr=secondary, env=env, cwd=ROOT) as process:
            os.close(secondary)
            chunks = []
            while True:
                try:
                    chunk = os.read(primary, 65536)
                except OSError:  # the terminal closed with the process
                    break
                if not chunk:
                    break
                chunks.append(chunk)
            assert process.wait(timeout=300) == 0
        os.close(primary)
        return b"".join(chunks).decode("utf-8", "replace")

    assert "reading and fitting" in stderr_on_a_terminal()
    quiet = stderr_on_a_terminal("--quiet")
    assert "reading and fitting" not in quiet and "note:" not in quiet
    piped = command("analyze", RUN, "--charge", CHARGES, "--csv", os.devnull)
    assert piped.returncode == 0 and piped.stderr == ""


def test_matplotlib_is_imported_only_for_plots():
    code = ("import sys; from quor_pp.cli import main; status = main(['analyze', sys.argv[1], '-q', '--csv', "
            "sys.argv[2]]); print(status, 'matplotlib' in sys.modules)")
    result = subprocess.run([sys.executable, "-c", code, str(RUN), os.devnull], capture_output=True, text=True,
                            timeout=300)
    assert result.stdout.splitlines()[-1] == "0 False", result.stderr


def test_plots_without_matplotlib_exit_1_with_the_install_hint(monkeypatch, capsys, tmp_path):
    import importlib.util
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *rest: None if name == "matplotlib" else real(name, *rest))
    assert cli.main(["analyze", str(RUN), "--plot", str(tmp_path / "plots")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install 'quor-pp[plot]'" in err
    assert not (tmp_path / "plots").exists()


def main_job_arguments(plots):
    """The arguments `scripts/example.sh` gives the command, with the plots sent to `plots`."""
    script = (ROOT / "scripts" / "example.sh").read_text()
    line = next(line for line in script.splitlines() if line.strip().startswith("set -- "))
    args = shlex.split(line.strip())[2:]
    args[args.index("--plot") + 1] = str(plots)
    return args


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_main_job_prints_the_table_and_writes_every_plot(tmp_path):
    pytest.importorskip("matplotlib")
    plots = tmp_path / "plots"
    result = command("analyze", *main_job_arguments(plots), "--plot-format", "png,svg")
    assert result.returncode == 0, result.stderr
    rows = plain_table(result.stdout)
    assert {r["unit"] for r in rows} >= {"1e-9 m^2/s", "mPa s", "W/(m K)", "S/m"}
    stems = [f"{q}_{s}" if s else q for q, s in FITTED] + ["replica_values", "angle_distribution"]
    assert sorted(p.name for p in plots.iterdir()) == sorted(f"{stem}.{suffix}" for stem in stems
                                                               for suffix in ("png", "svg"))
    assert f"{len(stems) * 2} plot files in {plots}" in result.stderr
    for stem in stems:
        width, height = png_size(plots / f"{stem}.png")
        assert width >= 800 and height >= 600
        svg = ElementTree.parse(plots / f"{stem}.svg").getroot()
        assert svg.tag.endswith("svg")
    # Text stays text in the SVG: the title with the mean and spread, the axis with its unit.
    text = (plots / "self_diffusion_Na.svg").read_text()
    na = next(r for r in rows if (r["quantity"], r["species"]) == ("self_diffusion", "Na"))
    assert "Self-diffusion coefficient of Na" in text and f"{na['mean']} ± {na['std']}" in text
    assert "time [ps]" in text and "replica_4" in text


@pytest.mark.parametrize("options", [
    lambda run: ["--json", run / "replica_1" / "diffself.dat"],
    lambda run: ["--csv", run / "replica_1" / "log.lammps"],
    lambda run: ["--json", run / "out", "--csv", run / "out"],
])
def test_an_output_aimed_at_an_input_or_another_output_is_refused(tmp_path, options):
    run = copy_run(tmp_path, (1,))
    before = {path: path.read_bytes() for path in run.rglob("*") if path.is_file()}
    result = command("analyze", run, *options(run))
    assert result.returncode == 2 and "Traceback" not in result.stderr and result.stdout == ""
    assert {path: path.read_bytes() for path in run.rglob("*") if path.is_file()} == before


@pytest.mark.parametrize("charges", ["Na=1,Na=2", ["Na=1", "--charge", "Na=2"]])
def test_a_charge_given_twice_is_a_usage_error(charges, capsys):
    args = ["analyze", str(RUN), "--charge", *([charges] if isinstance(charges, str) else charges)]
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    assert exit.value.code == 2 and "Na" in capsys.readouterr().err
