"""A Dask cluster that never gets a worker, or whose worker a replica kills: one line, or one failure, never a hang."""
import logging
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import quor_pp
from quor_pp import cli
import quor_pp.workflow.parallel

distributed = pytest.importorskip("distributed")

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"
HOOKS = pathlib.Path(__file__).parent / "worker_hooks"


@pytest.fixture(scope="module")
def empty_cluster():
    """A scheduler in this process that other processes can reach, and no worker at all."""
    with distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp", dashboard_address=":0",
                                  silence_logs=logging.CRITICAL) as cluster:
        yield cluster


def test_the_command_gives_up_on_a_cluster_without_workers_in_one_line(empty_cluster):
    address = empty_cluster.scheduler_address
    done = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "-q", "--scheduler", address,
                           "--worker-timeout", "1"], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (f"quor-pp analyze: the Dask scheduler at {address} has had no worker for 1 s: "
                           "4 of 4 replicas were not analysed\n")


def test_map_replicas_gives_up_on_a_cluster_without_workers(empty_cluster):
    tasks = [(str(path), quor_pp.AnalysisSettings()) for path in sorted(RUN.glob("replica_*"))[:2]]
    with distributed.Client(empty_cluster.scheduler_address, set_as_default=False) as client:
        with pytest.raises(quor_pp.workflow.parallel.ClusterError, match=r"has had no worker for 0.5 s: 2 of 2 replicas"):
            quor_pp.map_replicas(tasks, client=client, worker_timeout=0.5)
        # A timeout given to the client's context is the run's default.
        with quor_pp.workflow.parallel.dask_client(empty_cluster.scheduler_address, worker_timeout=0.25) as own:
            with pytest.raises(quor_pp.workflow.parallel.ClusterError, match=r"no worker for 0.25 s"):
                quor_pp.map_replicas(tasks, client=own)


@pytest.mark.parametrize("timeout, error", [(0, ValueError), (-1.0, ValueError), (float("nan"), ValueError),
                                            (float("inf"), ValueError), ("60", TypeError), (True, TypeError)])
def test_a_bad_worker_timeout_is_refused_before_any_work(empty_cluster, timeout, error):
    with distributed.Client(empty_cluster.scheduler_address, set_as_default=False) as client:
        with pytest.raises(error, match="worker_timeout"):
            quor_pp.map_replicas([(str(RUN / "replica_1"), quor_pp.AnalysisSettings())], client=client,
                                 worker_timeout=timeout)


@pytest.mark.parametrize("options, message", [
    (["--worker-timeout", "5"], "--worker-timeout is how long a Dask cluster may have no worker: it needs --scheduler"),
    (["--worker-timeout", "0", "--scheduler", "tcp://127.0.0.1:9"], "'0' is not a positive number"),
    (["--worker-timeout", "soon", "--scheduler", "tcp://127.0.0.1:9"], "'soon' is not a positive number"),
])
def test_worker_timeout_usage_errors(options, message, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["analyze", str(RUN), "-q", *options])
    assert stop.value.code == 2 and message in capsys.readouterr().err


KILLER_IN_A_BATCH = """\
import logging, dask, distributed, quor_pp
if __name__ == "__main__":
    # One worker thread that takes one task at a time, and a task lost with its worker is failed at once.
    with dask.config.set({{"distributed.scheduler.allowed-failures": 0,
                          "distributed.scheduler.worker-saturation": 1.0}}), \\
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=":0",
                                     silence_logs=logging.CRITICAL) as cluster, \\
            distributed.Client(cluster, set_as_default=False) as client:
        tasks = [(path, quor_pp.AnalysisSettings()) for path in {paths!r}]
        for outcome in quor_pp.map_replicas(tasks, client=client, batch=len(tasks)):
            print(type(outcome).__name__, getattr(outcome, "error", "-"))
"""


def test_a_replica_that_kills_its_worker_fails_alone_in_its_batch(tmp_path):
    paths = []
    for name, source in zip(["r1", "die_always", "r3", "r4"], sorted(RUN.glob("replica_*"))):
        shutil.copytree(source, tmp_path / name)
        paths.append(str(tmp_path / name))
    script = tmp_path / "killer_in_a_batch.py"
    script.write_text(KILLER_IN_A_BATCH.format(paths=paths))
    environment = {**os.environ, "QUOR_PP_TEST_HOOKS": "1",
                   "PYTHONPATH": os.pathsep.join(filter(None, [str(HOOKS), os.environ.get("PYTHONPATH")]))}
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300,
                          env=environment)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["ReplicaResult -", "ReplicaFailure WorkerLost", "ReplicaResult -",
                                        "ReplicaResult -"]


def test_a_command_waiting_for_a_worker_stops_on_sigterm(empty_cluster):
    import signal
    import time

    scheduler = empty_cluster.scheduler
    before = len(scheduler.clients)
    command = subprocess.Popen([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "-q", "--scheduler",
                                empty_cluster.scheduler_address, "--worker-timeout", "600"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(1200):  # a bound against a hang: until the command's client has connected
            if len(scheduler.clients) > before or command.poll() is not None:
                break
            time.sleep(0.05)
        time.sleep(0.5)  # into the wait for a worker
        command.send_signal(signal.SIGTERM)
        _, err = command.communicate(timeout=60)
        assert (command.returncode, err) == (143, "")
    finally:
        command.kill()
        command.communicate()
