"""quor_pp.analyze: known coefficients recovered from the sample run, direct-fit agreement, failures reported."""
import concurrent.futures
import dataclasses
import json
import math
import pathlib
import pickle
import shutil

import numpy as np
import pytest

import _quor_pp
import quor_pp
from conftest import same_float
from sample_truth import KNOWN, RUN, TRUTH
import quor_pp.analysis.quantities

CHARGES = {"Na": 1.0, "Cl": -1.0}


@pytest.fixture(scope="module")
def report():
    return quor_pp.analyze(RUN, charges=CHARGES)


@pytest.fixture(scope="module")
def own_windows():
    """Each replica over the window its own search chose (by default all share one)."""
    return quor_pp.analyze(RUN, charges=CHARGES, settings=quor_pp.AnalysisSettings(replica_windows="own"))


def copy_replica(tmp_path, name="run"):
    target = tmp_path / name
    shutil.copytree(RUN / "replica_1", target)
    return target


@pytest.mark.parametrize("quantity, species, truth, expected_error", KNOWN)
def test_known_coefficients_are_recovered_within_the_statistical_error(report, quantity, species, truth,
                                                                       expected_error):
    row = report.row(quantity, species)
    assert row.status == "ok" and row.n == 4 and row.unit in ("m^2/s", "Pa s", "W/(m K)", "S/m")
    # Four replicas estimate their own spread poorly: take the larger of the reported
    # standard error and the one the generator's noise implies.
    assert abs(row.value - truth) <= 3.0 * max(row.sem, expected_error), (row, truth)


def test_finite_size_correction_is_the_same_for_every_species(report):
    for replica in report.replicas:
        shifts = [replica.get("self_diffusion_infinite", s).value - replica.get("self_diffusion", s).value
                  for s in ("wat", "Na", "Cl")]
        assert shifts == pytest.approx([shifts[0]] * 3, rel=1e-12)
        # kT / (6 pi eta L) for water at room temperature in a 3 nm box: a few 1e-10 m^2/s.
        assert 1e-10 < shifts[0] < 4e-10


@pytest.mark.parametrize("replica", range(4))
@pytest.mark.parametrize("species", ["wat", "Na", "Cl"])
def test_diffusion_agrees_bit_for_bit_with_a_direct_module_fit(own_windows, replica, species):
    report = own_windows
    directory = RUN / f"replica_{replica + 1}"
    table = _quor_pp.parse_quor_file(str(directory / "diffself.dat"))
    w = quor_pp.WindowSettings()
    slope, t_fit, fit = _quor_pp.diff_calculator(table["Time"], table[f"MSD__{species}"], w.margin, w.min_window,
                                                 w.max_window, w.max_error, w.min_displacement)
    count = TRUTH["molecules"][species]
    estimate = report.replicas[replica].get("self_diffusion", species)
    assert same_float(estimate.value, slope / count * 1e-5)
    assert estimate.fit.t_fit.tolist() == t_fit and estimate.fit.fit.tolist() == fit
    assert estimate.fit.time[estimate.fit.start:estimate.fit.stop].tolist() == t_fit
    assert abs(estimate.fit.loglog_slope - 1.0) < w.max_error


def test_replica_statistics_come_from_repacking_results(report):
    for row in report.rows:
        if quor_pp.analysis.quantities.quantity(row.quantity).pooled is not None:
            continue  # a function of the inputs' means, with a jackknife error (test_mixtures.py)
        values = [math.nan if v is None else v for v in row.replicas]
        mean, std, count = _quor_pp.repacking_results(values)
        if count == 0:  # no replica gave a value (the sample's Onsager matrices miss the momentum balance)
            assert (row.value, row.std, row.n) == (None, None, 0)
            continue
        assert (row.value, row.std, row.n) == (mean, std, count)
        assert row.sem == pytest.approx(np.std(values, ddof=1) / math.sqrt(count), rel=1e-12)


def test_table_json_and_pandas_have_the_tidy_columns(report):
    records = report.records()
    assert list(records[0])[:9] == ["quantity", "species", "replica", "value", "std", "sem", "ci95", "n", "unit"]
    document = json.loads(report.to_json(curves=True), parse_constant=lambda c: pytest.fail(f"{c} in JSON"))
    assert document["schema"] == "quor-pp/1"
    assert len(document["rows"]) == len(report.rows) and len(document["replicas"]) == 4
    fit = next(e["fit"] for e in document["replicas"][0]["estimates"] if e["quantity"] == "viscosity")
    assert len(fit["time"]) == len(fit["msd"]) and fit["window"] == [fit["t_fit"][0], fit["t_fit"][-1]]
    pandas = pytest.importorskip("pandas")
    frame = report.to_pandas()
    assert isinstance(frame, pandas.DataFrame) and len(frame) == len(report.rows)


def test_declared_units_scale_every_coefficient_by_the_conversion_ratio(tmp_path):
    run = copy_replica(tmp_path)
    real = quor_pp.analyze(run)
    metal = quor_pp.analyze(run, units="metal")
    ratios = {"self_diffusion": 1e-8 / 1e-5, "viscosity": 1e-7 / 1.01325e-10,
              "thermal_conductivity": quor_pp.unit_system("metal").thermal_conductivity / 6.9476954570553e4}
    for quantity, ratio in ratios.items():
        for row in real.rows:
            if row.quantity == quantity:
                assert metal.row(quantity, row.species).value == pytest.approx(row.value * ratio, rel=1e-9)
    lj = quor_pp.analyze(run, units="lj")
    assert {row.unit for row in lj.rows} == {"reduced", "K", "deg"}  # an angle is in degrees in any unit style


def write_rows(path, rows, columns=("MSD__wat",)):
    with open(path, "w") as out:
        out.write("#NOTE: test\n#Time\t" + "".join(f"{c}\t" for c in columns) + "\n")
        for t, value in rows:
            out.write(f" {t:g}\t" + "\t".join(f"{value:g}" for _ in columns) + "\n")


@pytest.mark.parametrize("rows, status", [
    ([(t, 0.01 * t) for t in range(1, 13)], "too few points"),
    ([(t, 0.01 * t * t) for t in range(1, 300)], "no window"),  # ballistic throughout
])
def test_a_failed_fit_is_reported_with_its_reason(tmp_path, rows, status):
    run = copy_replica(tmp_path)
    write_rows(run / "diffself.dat", rows)
    report = quor_pp.analyze(run)
    row = report.row("self_diffusion", "wat")
    assert (row.value, row.std, row.n, row.status) == (None, None, 0, status)
    assert "diffself.dat MSD__wat" in row.message
    assert report.row("self_diffusion_infinite", "wat").status == status
    assert not any(isinstance(v, float) and math.isnan(v) for r in report.rows for v in (r.value, r.std, r.sem))


def test_missing_molecule_count_names_the_remedy(tmp_path):
    run = copy_replica(tmp_path)
    (run / "nacl.data.gz").unlink()  # only the log's atom counts are left
    known = quor_pp.analyze(RUN / "replica_1").row("self_diffusion", "Na").value
    row = quor_pp.analyze(run).row("self_diffusion", "Na")
    assert row.status == "missing" and "atoms_per_molecule={'Na': N}" in row.message and row.value is None
    assert quor_pp.analyze(run).row("onsager", "Na-Na").status == "missing"
    assert quor_pp.analyze(run, molecules={"Na": 18}).row("self_diffusion", "Na").value == known
    assert quor_pp.analyze(run, atoms_per_molecule={"Na": 1}).row("self_diffusion", "Na").value == known
    (run / "log.lammps").write_text((run / "log.lammps").read_text().replace("atoms in group Na", "atoms in group Na+"))
    assert "molecules={'Na': N}" in quor_pp.analyze(run).row("self_diffusion", "Na").message


def three_site_water(run):
    """The log's water group as a real input writes it: every site of the molecule, 3000 atoms."""
    log = run / "log.lammps"
    log.write_text(log.read_text().replace("group\t\twat\t\ttype 1\n1000 atoms in group wat",
                                           "group\t\twat\t\ttype 1 2\n3000 atoms in group wat"))


def test_a_group_of_three_sites_per_molecule_counts_molecules_not_atoms(tmp_path):
    run = copy_replica(tmp_path)
    three_site_water(run)
    assert quor_pp.group_counts(run / "log.lammps")["wat"] == 3000
    one_site = quor_pp.analyze(RUN / "replica_1").row("self_diffusion", "wat")
    counted = quor_pp.analyze(run)
    assert counted.row("self_diffusion", "wat").value == one_site.value
    assert "N_wat=1000 (nacl.data.gz)" in counted.row("self_diffusion", "wat").inputs
    (run / "nacl.data.gz").unlink()
    guessless = quor_pp.analyze(run)
    for quantity, species in [("self_diffusion", "wat"), ("self_diffusion_infinite", "wat"),
                              ("onsager", "wat-Na"), ("onsager", "Na-Na")]:
        assert guessless.row(quantity, species).status == "missing", (quantity, species)
    assert quor_pp.analyze(run, atoms_per_molecule={"wat": 3}).row("self_diffusion", "wat").value == one_site.value


def test_one_failed_replica_leaves_a_partial_row(tmp_path):
    for k in range(1, 4):
        shutil.copytree(RUN / f"replica_{k}", tmp_path / f"replica_{k}")
    write_rows(tmp_path / "replica_2" / "thermconductivity.dat", [(t, 1.0) for t in range(1, 200)], ["MSD_all"])
    row = quor_pp.analyze(tmp_path).row("thermal_conductivity")
    assert row.status == "partial" and row.n == 2 and row.replicas[1] is None and row.replicas[0] is not None
    assert "replica_2" in row.message


@pytest.mark.parametrize("change, error, match", [
    (lambda run: (run / "log.lammps").unlink(), ValueError, "unit style is unknown"),
    (lambda run: (run / "nvt_prod.dat").write_text("# t\n# Step Press\n0 1\n"), quor_pp.FormatError, "Temp"),
    (lambda run: (run / "viscosity.dat").write_text("#Time\tMSD_xy\t\n 1\t2\n"), quor_pp.FormatError, "MSD_all"),
])
def test_bad_runs_raise_clear_exceptions(tmp_path, change, error, match):
    run = copy_replica(tmp_path)
    change(run)
    with pytest.raises(error, match=match):
        quor_pp.analyze(run)


@pytest.mark.parametrize("call, match", [
    (lambda: quor_pp.analyze(RUN / "replica_1", charges={"K": 1.0}), "which the run does not have"),
    (lambda: quor_pp.analyze(RUN / "replica_1", temperature=-25.0), "temperature must be"),
    (lambda: quor_pp.analyze(RUN / "replica_1", molecules={"wat": 0}), "molecules"),
    (lambda: quor_pp.analyze(RUN / "replica_1", units="furlongs"), "not supported"),
    (lambda: quor_pp.WindowSettings(margin=0.7), "margin"),
    (lambda: quor_pp.WindowSettings(min_window=10, max_window=10), "max_window"),
])
def test_bad_settings_are_value_errors(call, match):
    with pytest.raises(ValueError, match=match):
        call()


def test_missing_run_directory_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        quor_pp.analyze(tmp_path / "nowhere")
    assert caught.value.filename == str(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError):
        quor_pp.analyze(tmp_path)  # exists, but holds no run


def test_replicas_are_found_in_natural_order(tmp_path):
    for name in ("replica_10", "replica_2", "replica_1", "notes"):
        (tmp_path / name).mkdir()
        if name != "notes":
            (tmp_path / name / "diffself.dat").write_text("")
    assert [pathlib.Path(p).name for p in quor_pp.find_replicas(tmp_path)] == ["replica_1", "replica_2", "replica_10"]


def test_replicas_can_be_mapped_in_parallel_and_combined(report):
    settings = dataclasses.replace(report.settings)
    assert pickle.loads(pickle.dumps(settings)) == settings
    directories = quor_pp.find_replicas(RUN)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(quor_pp.analyze_replica, directories, [settings] * len(directories)))
    results = [pickle.loads(pickle.dumps(result)) for result in results]
    combined = quor_pp.combine(results, settings)
    assert [(r.quantity, r.species, r.value, r.std) for r in combined.rows] == \
        [(r.quantity, r.species, r.value, r.std) for r in report.rows]


def test_progress_is_told_of_each_file_and_fit(tmp_path):
    messages = []
    quor_pp.analyze(copy_replica(tmp_path), progress=messages.append)
    assert any("diffself.dat: MSD__Na: ok" in m for m in messages)
    assert any("viscosity.dat: 236 rows" in m for m in messages)


def test_temperature_and_volume_from_the_logs_thermo_output_of_the_last_run(tmp_path):
    run = copy_replica(tmp_path)
    (run / "nvt_prod.dat").unlink()
    (run / "volume.dat").unlink()
    log = run / "log.lammps"
    log.write_text(log.read_text().replace("Total wall time", "Step Temp Press Volume\n0 250 1 20000\n"
                                           "Loop time of 1 on 1 procs\nStep Temp Press Volume\n"
                                           "0 297 1 30000\n100 299 -3 30100\nLoop time of 2 on 1 procs\n"
                                           "Total wall time"))
    report = quor_pp.analyze(run)
    assert report.row("temperature").value == 298.0 and report.row("temperature").inputs.endswith("(log thermo, last run)")
    assert report.row("volume").value == pytest.approx(30050e-30, rel=1e-12)
    assert report.row("viscosity").status == "ok"


def test_onsager_pairs_are_one_row_whatever_the_column_order(tmp_path):
    run = tmp_path / "run"
    for k in (1, 2):
        shutil.copytree(RUN / f"replica_{k}", run / f"replica_{k}")
    table = run / "replica_2" / "diffonsag.dat"
    swapped = {"MSD__wat_Na": "MSD__Na_wat", "MSD__wat_Cl": "MSD__Cl_wat", "MSD__Na_Cl": "MSD__Cl_Na"}
    lines = table.read_text().splitlines()
    header = next(k for k, line in enumerate(lines) if line.startswith("#Time"))
    lines[header] = "\t".join(swapped.get(name, name) for name in lines[header].split("\t"))
    table.write_text("\n".join(lines) + "\n")
    settings = quor_pp.AnalysisSettings(replica_windows="own")
    report = quor_pp.analyze(run, settings=settings)
    pairs = [row.species for row in report.rows if row.quantity == "onsager"]
    assert pairs == ["wat-wat", "wat-Na", "wat-Cl", "Na-Na", "Na-Cl", "Cl-Cl"]
    assert {report.row("onsager", pair).n for pair in pairs} == {2}
    assert report.row("onsager", "Na-Cl").replicas[1] == \
        quor_pp.analyze(RUN / "replica_2", settings=settings).row("onsager", "Na-Cl").value
