"""Many replicas at once: threads, processes and Dask give the serial report bit for bit; failures keep the rest."""
import contextlib
import logging
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import quor_pp
from conftest import fingerprint_report
import quor_pp.workflow.parallel
import quor_pp.workflow.report
from quor_pp import cli

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"
CHARGES = {"Na": 1.0, "Cl": -1.0}
GIL = sys._is_gil_enabled()
LOCAL_ENGINES = [pytest.param({"jobs": 2, "engine": "threads"}, id="threads"),
                 pytest.param({"jobs": 2, "engine": "processes"}, id="processes"),
                 pytest.param({"jobs": 2}, id="automatic")]


@pytest.fixture(scope="module")
def serial():
    return quor_pp.analyze(RUN, charges=CHARGES)


@pytest.fixture
def broken_run(tmp_path):
    """The sample run with a malformed table in replica_2 and no directory at all for a fifth replica."""
    run = tmp_path / "run"
    shutil.copytree(RUN, run)
    (run / "replica_2" / "diffself.dat").write_text("#Time\tMSD__wat\t\n 10\tten\n")
    return [str(run / f"replica_{k}") for k in (1, 2, 3, 4, 5)]


@pytest.mark.parametrize("engine", LOCAL_ENGINES)
def test_every_local_engine_gives_the_serial_report_bit_for_bit(serial, engine):
    report = quor_pp.analyze(RUN, charges=CHARGES, **engine)
    assert fingerprint_report(report) == fingerprint_report(serial)
    # Fits that came back from another process are as read-only as those made here.
    assert not any(fit.msd.flags.writeable for result in report.replicas for fit in result.fits)


def test_dask_gives_the_serial_report_bit_for_bit(serial, dask_client):
    report = quor_pp.analyze(RUN, charges=CHARGES, client=dask_client)
    assert fingerprint_report(report) == fingerprint_report(serial)


@pytest.mark.parametrize("batch", [1, 3, 4, 100])
def test_dask_batches_give_the_serial_outcomes_in_task_order(batch, dask_client, broken_run):
    # Batches of every size, one replica (a missing one) failing inside a batch.
    tasks = [(path, quor_pp.AnalysisSettings().replaced(charges=CHARGES)) for path in broken_run]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        alone = quor_pp.workflow.parallel.map_replicas(tasks, curves=False)
        batched = quor_pp.workflow.parallel.map_replicas(tasks, client=dask_client, batch=batch, curves=False)
    assert [type(outcome) for outcome in batched] == [type(outcome) for outcome in alone]
    assert [(f.path, f.error) for f in batched if isinstance(f, quor_pp.ReplicaFailure)] == \
        [(f.path, f.error) for f in alone if isinstance(f, quor_pp.ReplicaFailure)]
    report, expected = (quor_pp.workflow.report.combine_outcomes(outcomes, tasks[0][1], warn=False)
                        for outcomes in (batched, alone))
    assert fingerprint_report(report) == fingerprint_report(expected)
    assert report.replicas and all(len(fit.time) == 0 for result in report.replicas for fit in result.fits)


@pytest.mark.parametrize("replicas, threads, batch, size", [
    (10_000, 2, None, 256),  # capped: a task's result stays small
    (100, 2, None, 13),  # four tasks per thread
    (3, 8, None, 1),
    (10, 2, 7, 7),  # as asked
])
def test_batch_size(replicas, threads, batch, size):
    assert quor_pp.workflow.parallel.batch_size(replicas, threads, batch) == size


@pytest.mark.parametrize("batch, error", [(0, ValueError), (True, TypeError), (2.0, TypeError)])
def test_a_bad_batch_is_refused(batch, error):
    with pytest.raises(error, match="batch"):
        quor_pp.workflow.parallel.map_replicas([], batch=batch)


@pytest.mark.parametrize("engine", [pytest.param({}, id="serial"), *LOCAL_ENGINES])
def test_a_failing_replica_is_reported_by_path_and_the_others_are_kept(broken_run, engine):
    with pytest.warns(quor_pp.ReplicaFailureWarning) as caught:
        report = quor_pp.analyze(broken_run, **engine)
    assert [(f.path, f.error) for f in report.failures] == [(broken_run[1], "FormatError"),
                                                            (broken_run[4], "FileNotFoundError")]
    assert "diffself.dat: not a transport table" in report.failures[0].message
    assert [str(w.message) for w in caught] == [f"not analysed: {f}" for f in report.failures]
    assert [r.path for r in report.replicas] == [broken_run[k] for k in (0, 2, 3)]
    # Rows without a value: the sample's Onsager matrices, which miss the momentum balance.
    assert {row.n for row in report.rows if not row.quantity.startswith("conductivity")} - {0} == {3}
    expected = quor_pp.analyze([broken_run[k] for k in (0, 2, 3)])
    assert fingerprint_report(report)[:2] == fingerprint_report(expected)[:2]


@pytest.mark.filterwarnings("ignore::quor_pp.ReplicaFailureWarning")
def test_a_failing_replica_on_dask_is_reported_by_path(broken_run, dask_client):
    # (Its warnings are not checked: Dask's own threads swap the warning filters
    # while they run, which catch_warnings cannot guard against under the GIL.)
    report = quor_pp.analyze(broken_run, client=dask_client)
    assert [f.path for f in report.failures] == [broken_run[1], broken_run[4]]
    assert [r.path for r in report.replicas] == [broken_run[k] for k in (0, 2, 3)]


@pytest.mark.parametrize("engine", [pytest.param({}, id="serial"), pytest.param({"jobs": 2}, id="pool")])
def test_when_no_replica_can_be_analysed_the_first_error_is_raised(broken_run, engine):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing is a warning when everything failed
        with pytest.raises(quor_pp.FormatError, match="diffself.dat: not a transport table") as caught:
            quor_pp.analyze([broken_run[1], broken_run[4]], **engine)
    assert any(broken_run[4] in note for note in caught.value.__notes__)


@pytest.mark.parametrize("jobs, client, engine, expected", [
    (1, None, None, "serial"),
    (4, None, None, "processes" if GIL else "threads"),
    (np.int64(4), None, None, "processes" if GIL else "threads"),
    (np.uint8(1), None, None, "serial"),
    (3, None, "processes", "processes"),
    (1, object(), None, "dask"),
    (0, None, None, "jobs must be a positive int"),
    (2, object(), None, "not both"),
    (1, None, "dask", "needs client="),
    (2, None, "mpi", "engine must be one of"),
])
def test_engine_choice(jobs, client, engine, expected):
    if expected in quor_pp.ENGINES:
        assert quor_pp.choose_engine(jobs, client, engine) == expected
    else:
        with pytest.raises(ValueError, match=expected):
            quor_pp.choose_engine(jobs, client, engine)


@pytest.mark.parametrize("arguments, message", [
    ({"jobs": "2"}, "jobs must be an int, not str"),
    ({"jobs": 2.0}, "jobs must be an int, not float"),
    ({"jobs": True}, "jobs must be an int, not bool"),
    ({"engine": 3}, "engine must be a str or None, not int"),
    ({"client": object()}, "client must be a distributed.Client, not object"),
    ({"client": "tcp://127.0.0.1:8786"}, "client must be a distributed.Client, not str"),
])
def test_wrong_types_name_the_parameter(arguments, message):
    with pytest.raises(TypeError, match=message):
        quor_pp.map_replicas([(str(RUN / "replica_1"), quor_pp.AnalysisSettings())], **arguments)


def test_results_without_curves_have_the_same_numbers_and_travel_light(serial):
    tasks = [(path, serial.settings) for path in quor_pp.find_replicas(RUN)]
    full = quor_pp.map_replicas(tasks)
    light = quor_pp.map_replicas(tasks, curves=False)
    for a, b in zip(full, light):
        assert [(e.value, e.fit and (e.fit.slope, e.fit.start, e.fit.stop)) for e in a.estimates] == \
            [(e.value, e.fit and (e.fit.slope, e.fit.start, e.fit.stop)) for e in b.estimates]
        assert all(len(f.time) == len(f.msd) == len(f.t_fit) == len(f.fit) == 0 for f in b.fits)
        assert [f.window for f in a.fits] == [f.window for f in b.fits]
        assert len(pickle.dumps(b)) * 2 < len(pickle.dumps(a))  # the curves were most of it


def analyze_csv(tmp_path, *options):
    path = tmp_path / f"run{len(list(tmp_path.iterdir()))}.csv"
    assert cli.main(["analyze", str(RUN), "--charge", "Na=1,Cl=-1", "--per-replica", "--csv", str(path), "-q",
                     *options]) == 0
    return path.read_text()


def test_command_gives_the_same_numbers_with_jobs(tmp_path):
    assert analyze_csv(tmp_path, "-j", "2") == analyze_csv(tmp_path)


def test_command_gives_the_same_numbers_on_a_scheduler(tmp_path, dask_client):
    assert analyze_csv(tmp_path, "--scheduler", dask_client.scheduler.address) == analyze_csv(tmp_path)


def test_command_warns_of_a_failing_replica_and_fails_only_when_none_is_left(broken_run, capsys):
    assert cli.main(["analyze", *broken_run[:4], "-j", "2", "--csv", os.devnull]) == 3  # some replicas failed
    lines = capsys.readouterr().err.splitlines()
    assert [line for line in lines if "replica_2" in line] == [
        f"quor-pp analyze: warning: {broken_run[1]}/diffself.dat: not a transport table ('#' comment lines, "
        "a '#Time' header, rows of numbers); line 2: ' 10\\tten'"]
    (pathlib.Path(broken_run[3]) / "log.lammps").unlink()
    assert cli.main(["analyze", broken_run[1], broken_run[3], "-j", "2"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "not a transport table" in err and "(and 1 more replicas failed)" in err


@pytest.mark.parametrize("args, message", [
    (["-j", "0"], "argument -j/--jobs: '0' is not a positive integer"),
    (["-j", "2", "--scheduler", "tcp://127.0.0.1:1"], "not allowed with argument"),
    (["--batch", "4"], "--batch sets the replicas per task of a Dask cluster: it needs --scheduler"),
    (["--batch", "0", "--scheduler", "tcp://127.0.0.1:1"], "argument --batch: '0' is not a whole number"),
])
def test_bad_engine_options_are_usage_errors(args, message, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["analyze", str(RUN), *args])
    assert stop.value.code == 2 and message in capsys.readouterr().err


def test_an_unreachable_scheduler_is_one_line(capsys):
    dask = pytest.importorskip("dask")
    pytest.importorskip("distributed")
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
            assert cli.main(["analyze", str(RUN), "--scheduler", "tcp://127.0.0.1:9", "-q"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in err


@pytest.fixture(scope="module")
def tcp_cluster():
    """A two-worker LocalCluster in this process that other processes can reach."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp",
                                  dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster:
        yield cluster


def test_the_command_on_a_scheduler_of_another_process(tmp_path, tcp_cluster):
    # The command's client is not the default one: nothing may need a default client.
    # (The sample's Onsager matrices miss the momentum balance: a tolerance of 1 keeps stderr for this test.)
    done = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "--charge", "Na=1,Cl=-1",
                           "--per-replica", "--csv", "-", "-q",
                           "--scheduler", tcp_cluster.scheduler_address],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == analyze_csv(tmp_path)


def test_a_lost_scheduler_is_one_clear_error(monkeypatch):
    distributed = pytest.importorskip("distributed")
    release = threading.Event()
    analyze_replica = quor_pp.workflow.replica_tasks.analyze_replica

    def slow_but_the_first(directory, settings, progress=None):
        if not directory.endswith("replica_1"):
            release.wait(60)
        return analyze_replica(directory, settings, progress)

    monkeypatch.setattr(quor_pp.workflow.replica_tasks, "analyze_replica", slow_but_the_first)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp",
                                       dashboard_address=":0", silence_logs=logging.CRITICAL)
    client = distributed.Client(cluster.scheduler_address, set_as_default=False)

    def stop_the_scheduler(index, outcome):
        cluster.sync(cluster.scheduler.close)

    tasks = [(path, quor_pp.AnalysisSettings()) for path in quor_pp.find_replicas(RUN)]
    try:
        with pytest.raises(quor_pp.workflow.parallel.ClusterError,
                           match="lost the Dask scheduler at tcp://.*: 3 of 4 replicas were not analysed"):
            quor_pp.map_replicas(tasks, client=client, done=stop_the_scheduler)
    finally:
        release.set()
        client.close()
        # Without its scheduler the cluster would wait for it (30 s) before giving up.
        with contextlib.suppress(Exception):
            cluster.close(timeout=1)


HOOKS = pathlib.Path(__file__).parent / "worker_hooks"
LOST_WORKER = """\
import logging, dask, distributed, quor_pp
import quor_pp.workflow.replica_tasks
if __name__ == "__main__":
    with dask.config.set({{"distributed.scheduler.allowed-failures": 0}}), \\
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=":0",
                                     silence_logs=logging.CRITICAL) as cluster, \\
            distributed.Client(cluster, set_as_default=False) as client:
        (outcome,) = quor_pp.map_replicas([(r"{}", quor_pp.AnalysisSettings())], client=client)
        print(outcome.error, outcome.message)
"""


def test_a_lost_dask_worker_is_its_replicas_failure(tmp_path):
    pytest.importorskip("distributed")
    replica = tmp_path / "die_always"
    shutil.copytree(RUN / "replica_1", replica)
    environment = {**os.environ, "QUOR_PP_TEST_HOOKS": "1",
                   "PYTHONPATH": os.pathsep.join(filter(None, [str(HOOKS), os.environ.get("PYTHONPATH")]))}
    script = tmp_path / "lost_worker.py"
    script.write_text(LOST_WORKER.format(replica))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120,
                          env=environment)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("WorkerLost the Dask workers analysing it died: ")
    assert done.stdout.count("\n") == 1
