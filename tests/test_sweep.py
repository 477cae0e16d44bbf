"""Sweeps: the sample sweep's table recovers the true values and trends; state from files or names; failures kept."""
import csv
import importlib.util
import doctest
import json
import math
import os
import pathlib
import shutil
import xml.etree.ElementTree as ElementTree

import pytest

import quor_pp
from conftest import fingerprint_report
from quor_pp import cli
import quor_pp.workflow.sweeps
import quor_pp.views.plots

ROOT = pathlib.Path(__file__).parents[1]
SWEEP = ROOT / "examples" / "data" / "sweep"
TRUTH = json.loads((SWEEP / "truth.json").read_text())
POINTS = {point["name"]: point for point in TRUTH["points"]}
PATTERN = "{salt}_{molality}m_{temperature}K"
# (quantity, species, key of truth.json)
KNOWN = [*[("self_diffusion", s, "self_diffusion_m2_s") for s in ("wat", "Na", "Cl")],
         ("viscosity", "", "viscosity_Pa_s"), ("thermal_conductivity", "", "thermal_conductivity_W_mK"),
         ("conductivity", "", "conductivity_S_m")]

# The sample sweep names its salt, so its points get experiment rows: whole tables compare
# only where the salt table (the properties extra) is installed.
needs_salt_table = pytest.mark.skipif(importlib.util.find_spec("chemicals") is None,
                                      reason="the sample sweep's experiment rows need the salt table")



@pytest.fixture(scope="module")
def result():
    return quor_pp.sweep(SWEEP)


def truth(name, key, species):
    point = POINTS[name]
    value, error = point[key], point["standard_error"][key]
    return (value[species], error[species]) if species else (value, error)


def summary(records, quantity, species):
    return [r for r in records if (r["quantity"], r["species"], r["replica"]) == (quantity, species, "")]


@pytest.mark.parametrize("quantity, species, key", KNOWN)
def test_the_table_recovers_every_points_value(result, quantity, species, key):
    records = summary(result.records(), quantity, species)
    assert sorted(r["point"] for r in records) == sorted(POINTS)
    for record in records:
        value, expected_error = truth(record["point"], key, species)
        assert (record["n"], record["status"]) == (3, "ok")
        # Three replicas estimate their spread poorly: the larger of the two errors.
        assert abs(record["value"] - value) <= 3.0 * max(record["sem"], expected_error), record


@pytest.mark.parametrize("quantity, species, key", KNOWN)
@pytest.mark.parametrize("along, across", [("molality", "temperature"), ("temperature", "molality")])
def test_the_table_recovers_the_trends(result, quantity, species, key, along, across):
    """From the first to the last point of each line: the change agrees with the true one, and has its sign."""
    lines = {}
    for record in summary(result.records(), quantity, species):
        lines.setdefault(record[across], []).append(record)
    assert len(lines) == {"molality": 3, "temperature": 2}[across]
    for line in lines.values():
        first, last = sorted(line, key=lambda r: r[along])[::len(line) - 1]
        (true_first, e_first), (true_last, e_last) = (truth(r["point"], key, species) for r in (first, last))
        error = math.hypot(max(first["sem"], e_first), max(last["sem"], e_last))
        change, true_change = last["value"] - first["value"], true_last - true_first
        assert abs(change - true_change) <= 3.0 * error
        if abs(true_change) > 3.0 * error:  # every trend of the generator but κ's against T
            assert math.copysign(1.0, change) == math.copysign(1.0, true_change)


def test_points_are_ordered_by_state_with_their_settings(result):
    assert [(p.name, p.salt, p.molality, p.temperature) for p in result.points] == [
        (f"NaCl_{b:g}m_{t:g}K", "NaCl", b, t) for b in (0.5, 1.0, 2.0) for t in (300.0, 330.0)]
    assert all(report.settings.charges == {"Na": 1.0, "Cl": -1.0} for report in result.reports)
    assert all(len(p.replicas) == 3 and not report.failures for p, report in zip(result.points, result.reports))


def link_points(target, layout, state_files=False):
    """A copy of the sample sweep laid out as `layout` (a format of salt, b and t), replicas as symbolic links."""
    for name, point in POINTS.items():
        directory = target / layout.format(salt=point["salt"], b=point["molality"], t=point["temperature_K"])
        directory.mkdir(parents=True)
        for replica in sorted((SWEEP / name).glob("replica_*")):
            (directory / replica.name).symlink_to(replica)
        if state_files:
            shutil.copy(SWEEP / name / "state.toml", directory)
    return target


@needs_salt_table
@pytest.mark.parametrize("layout, pattern, extra", [
    ("{salt}_{b:g}m_{t:g}K", PATTERN, {}),
    ("{salt}/{b:g}m/{t:g}K", "{salt}/{molality}m/{temperature}K", {}),
    ("spce/{salt}_{b}_{t}", "{model}/{salt}_{molality}_{temperature}", {"model": "spce"}),
])
def test_state_from_directory_names_gives_the_same_table(tmp_path, result, layout, pattern, extra):
    named = quor_pp.sweep(link_points(tmp_path, layout), pattern=pattern, charges={"Na": 1, "Cl": -1})
    assert [(p.molality, p.temperature, dict(p.extra)) for p in named.points] == \
        [(p.molality, p.temperature, extra) for p in result.points]
    assert [fingerprint_report(r)[0] for r in named.reports] == [fingerprint_report(r)[0] for r in result.reports]
    assert all(record.items() >= extra.items() for record in named.records())


@pytest.mark.parametrize("pattern", [None, PATTERN])
def test_points_may_be_links_and_a_link_back_up_does_not_loop(tmp_path, result, pattern):
    for name in POINTS:
        (tmp_path / name).symlink_to(SWEEP / name)
    (tmp_path / "loop").symlink_to(tmp_path)
    (tmp_path / "notes").mkdir()
    linked = quor_pp.find_state_points(tmp_path, pattern)
    assert [(p.name, p.molality, p.temperature, len(p.replicas)) for p in linked] == \
        [(p.name, p.molality, p.temperature, 3) for p in result.points]


def test_a_pattern_and_state_files_together_must_agree(tmp_path):
    root = link_points(tmp_path, "{salt}_{b:g}m_{t:g}K", state_files=True)
    assert len(quor_pp.sweep(root, pattern=PATTERN).points) == 6
    (root / "NaCl_1m_300K" / "state.toml").write_text('salt = "NaCl"\nmolality = 2.0\ntemperature = 300\n')
    with pytest.raises(ValueError, match=r"molality = 2.0, but the directory's name says 1.0"):
        quor_pp.sweep(root, pattern=PATTERN)


@pytest.mark.parametrize("state, error, match", [
    ('salt = "NaCl"\nmolality = 1.0\n', ValueError, "no temperature for this state point"),
    ('salt = "NaCl"\nmolality = "one"\ntemperature = 300\n', ValueError, "molality must be a finite number"),
    ('salt = "NaCl"\nmolality = 1\ntemperature = -3\n', ValueError, "temperature must be positive"),
    ("salt = NaCl\n", quor_pp.FormatError, "not a TOML state file.*line 1"),
    ('salt = "NaCl"\nmolality = 1\ntemperature = 300\ncharges = [1, -1]\n', ValueError, "charges must be a table"),
    ('salt = "NaCl"\nmolality = 1\ntemperature = 300\nmolecules = { wat = 0 }\n', ValueError,
     "molecules.wat must be a positive integer"),
    ('salt = "NaCl"\nmolality = 1\ntemperature = 300\nrun = { a = 1 }\n', ValueError,
     "run must be a string, number or boolean"),
    ('salt = "NaCl"\nmolality = 1\ntemperature = 300\nvalue = 3\n', ValueError, "'value' names a column"),
])
def test_bad_state_files_are_clear_errors(tmp_path, state, error, match):
    (tmp_path / "point").mkdir()
    (tmp_path / "point" / "state.toml").write_text(state)
    with pytest.raises(error, match=match):
        quor_pp.find_state_points(tmp_path)


@pytest.mark.parametrize("pattern, match", [
    ("{salt}_{molality:g}m_{temperature}K", "a field is a plain name"),
    ("{salt}_{salt}", "appears twice"),
    ("runs", "has no field"),
    ("{salt}_{molality}m_{temperature}K", "the molality in its name, 'x', is not a number"),
    ("{salt}-{molality}", "no directory whose path matches"),
])
def test_bad_patterns_are_clear_errors(tmp_path, pattern, match):
    (tmp_path / "NaCl_xm_300K").mkdir()
    with pytest.raises((ValueError, FileNotFoundError), match=match):
        quor_pp.find_state_points(tmp_path, pattern)


@pytest.fixture
def broken_sweep(tmp_path):
    """The sample sweep with a malformed viscosity table in one replica and a point without replicas."""
    root = tmp_path / "sweep"
    shutil.copytree(SWEEP, root)
    (root / "NaCl_1m_300K" / "replica_2" / "viscosity.dat").write_text("#Time\tMSD_all\t\n 10\t1\t2\n")
    (root / "NaCl_3m_300K").mkdir()
    (root / "NaCl_3m_300K" / "state.toml").write_text('salt = "NaCl"\nmolality = 3\ntemperature = 300\n')
    return root


@needs_salt_table
@pytest.mark.parametrize("engine", [{}, {"jobs": 2}], ids=["serial", "pool"])
def test_a_failing_run_in_the_middle_of_a_sweep_is_reported_while_the_others_complete(broken_sweep, engine):
    with pytest.warns(quor_pp.ReplicaFailureWarning):
        broken = quor_pp.sweep(broken_sweep, **engine)
    assert [(f.path, f.error) for f in broken.failures] == [
        (str(broken_sweep / "NaCl_1m_300K" / "replica_2"), "FormatError"),
        (str(broken_sweep / "NaCl_3m_300K"), "FileNotFoundError")]
    counts = {(r["point"], r["n"]) for r in broken.records()}
    assert counts == {(name, 2 if name == "NaCl_1m_300K" else 3) for name in POINTS}
    assert [p.name for p, r in zip(broken.points, broken.reports) if r is None] == ["NaCl_3m_300K"]


def run_sweep(*args):
    return cli.main(["sweep", *map(str, args)])


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    """One `quor-pp sweep` of the sample sweep writing CSV, JSON and the plots."""
    pytest.importorskip("matplotlib")
    out = tmp_path_factory.mktemp("sweep")
    assert run_sweep(SWEEP, "--csv", out / "sweep.csv", "--json", out / "sweep.json", "--plot", out / "plots",
                     "--plot-format", "png,svg", "-q") == 0
    return out


def test_command_writes_the_table_and_a_plot_of_every_quantity(outputs, result):
    records = list(csv.DictReader(open(outputs / "sweep.csv")))
    document = json.loads((outputs / "sweep.json").read_text())
    assert [float(r["value"]) for r in records] == [r["value"] for r in document["records"]] == \
        [r["value"] for r in result.records()]
    assert list(records[0])[:5] == ["point", "salt", "molality", "temperature", "quantity"]
    assert document["failures"] == [] and document["warnings"] == []
    # A figure per quantity, and the simulated viscosity against Laliberte's (the sample has no density.dat
    # nor an NaCl conductivity model).
    stems = {quor_pp.views.plots.file_stem(q, s) for q, s in result.keys()} | {"viscosity_vs_experiment"}
    assert {p.name for p in (outputs / "plots").iterdir()} == {f"{stem}.{suffix}" for stem in stems
                                                                for suffix in ("png", "svg")}
    # A line per temperature against molality, a line per molality against temperature.
    svg = ElementTree.parse(outputs / "plots" / "viscosity.svg")
    texts = {"".join(node.itertext()).strip() for node in svg.iter() if node.tag.endswith("text")}
    assert {"NaCl, 300 K", "NaCl, 330 K", "NaCl, 0.5 mol/kg", "NaCl, 1 mol/kg", "NaCl, 2 mol/kg"} <= texts


@pytest.mark.parametrize("options", [["-j", "2"], ["--pattern", PATTERN, "--charge", "Na=1,Cl=-1"]],
                         ids=["jobs", "pattern"])
def test_command_gives_the_same_table_with_jobs_or_a_pattern(outputs, tmp_path, options):
    assert run_sweep(SWEEP, "--csv", tmp_path / "again.csv", "-q", *options) == 0
    assert (tmp_path / "again.csv").read_text() == (outputs / "sweep.csv").read_text()


def test_command_on_a_scheduler_gives_the_same_table(outputs, tmp_path, dask_client):
    assert run_sweep(SWEEP, "--csv", tmp_path / "dask.csv", "-q", "--scheduler", dask_client.scheduler.address) == 0
    assert (tmp_path / "dask.csv").read_text() == (outputs / "sweep.csv").read_text()


def test_parquet_holds_the_table(outputs, tmp_path):
    parquet = pytest.importorskip("pyarrow.parquet")
    assert run_sweep(SWEEP, "--parquet", tmp_path / "sweep.parquet", "--csv", os.devnull, "-q") == 0
    table = parquet.read_table(tmp_path / "sweep.parquet").to_pylist()
    records = list(csv.DictReader(open(outputs / "sweep.csv")))
    assert [(r["point"], r["quantity"], r["value"]) for r in table] == \
        [(r["point"], r["quantity"], float(r["value"])) for r in records]


def test_parquet_takes_an_extra_key_of_mixed_types_as_text(tmp_path):
    parquet = pytest.importorskip("pyarrow.parquet")
    root = link_points(tmp_path / "sweep", "{salt}_{b:g}m_{t:g}K", state_files=True)
    for name, batch in (("NaCl_1m_300K", "1"), ("NaCl_2m_300K", '"2b"')):
        with open(root / name / "state.toml", "a") as state:
            state.write(f"batch = {batch}\n")
    result = quor_pp.sweep(root)
    result.write_parquet(tmp_path / "sweep.parquet")
    batches = {(r["point"], r["batch"]) for r in parquet.read_table(tmp_path / "sweep.parquet").to_pylist()}
    assert {("NaCl_1m_300K", "1"), ("NaCl_2m_300K", "2b"), ("NaCl_1m_330K", None)} <= batches


@needs_salt_table
def test_command_warns_of_failing_runs_and_prints_the_points(broken_sweep, capsys):
    assert run_sweep(broken_sweep, "-q") == 3  # some replicas failed
    out, err = capsys.readouterr()
    warnings = [line for line in err.splitlines() if line.startswith("quor-pp sweep: warning: ")]
    assert len(warnings) == 2 and "replica_2/viscosity.dat" in warnings[0] and "NaCl_3m_300K" in warnings[1]
    lines = {line.split()[0]: line.split() for line in out.splitlines()[2:]}
    assert lines["NaCl_1m_300K"][4] == "2/3" and lines["NaCl_3m_300K"][4:] == ["0"] + ["-"] * 6


@pytest.mark.parametrize("args, status, message", [
    (["no/such/sweep"], 1, "no/such/sweep: No such file or directory"),
    ([SWEEP / "NaCl_1m_300K" / "replica_1"], 1, f"no {quor_pp.workflow.sweeps.STATE_FILE} in this directory"),
    ([SWEEP, "--pattern", "{salt}_{salt}"], 2, "--pattern '{salt}_{salt}': the field {salt} appears twice"),
    ([SWEEP, "--parquet", "-"], 2, "--parquet writes a file"),
])
def test_command_failures_are_one_line(args, status, message, capsys):
    try:
        code = run_sweep(*args)
    except SystemExit as stop:
        code = stop.code
    err = capsys.readouterr().err
    assert code == status and message in err.strip().splitlines()[-1]


def test_docstring_examples_run(monkeypatch):
    monkeypatch.chdir(ROOT)
    result = doctest.testmod(quor_pp.workflow.sweeps)
    assert result.attempted > 0 and result.failed == 0


def test_a_sweep_without_thermodynamic_tables_takes_the_state_temperature_or_the_option(tmp_path, capsys):
    sweep = tmp_path / "sweep"
    shutil.copytree(SWEEP / "NaCl_1m_300K", sweep / "NaCl_1m_300K")
    for table in sweep.rglob("nvt_prod.dat"):
        table.unlink()
    from_state = quor_pp.sweep(sweep).reports[0].row("viscosity")
    assert from_state.status == "ok" and from_state.inputs == "T=300 (state point)"
    assert run_sweep(sweep, "-T", "310", "-q", "--csv", "-") == 0
    viscosity = next(r for r in csv.DictReader(capsys.readouterr().out.splitlines()) if r["quantity"] == "viscosity")
    assert viscosity["inputs"] == "T=310 (option)"
    assert float(viscosity["value"]) == pytest.approx(from_state.value * 300 / 310, rel=1e-12)
    with pytest.raises(SystemExit) as exit:
        run_sweep(sweep, "-T", "25")
    assert exit.value.code == 2 and "for 25 °C give 298.15" in capsys.readouterr().err


def test_a_state_file_that_is_a_directory_is_refused(tmp_path):
    sweep = tmp_path / "sweep"
    shutil.copytree(SWEEP / "NaCl_1m_300K", sweep / "NaCl_1m_300K")
    (sweep / "NaCl_1m_300K" / "state.toml").unlink()
    (sweep / "NaCl_1m_300K" / "state.toml").mkdir()
    with pytest.raises(IsADirectoryError, match="state file must be a regular file"):
        quor_pp.find_state_points(sweep)
