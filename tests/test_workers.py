"""Workers: any error of a replica is its failure, a dead worker loses nothing, and nothing outlives the command."""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import warnings

import pytest

import quor_pp
import quor_pp.workflow.parallel
from conftest import fingerprint_report
from quor_pp.workflow.workers import Interrupted, stop_on_signals

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"
HOOKS = pathlib.Path(__file__).parent / "worker_hooks"
ENGINES = [pytest.param({}, id="serial"), pytest.param({"jobs": 2, "engine": "threads"}, id="threads"),
           pytest.param({"jobs": 2, "engine": "processes"}, id="processes")]


@pytest.fixture
def hooks(monkeypatch):
    """Worker processes started from now on obey the directory names of worker_hooks/sitecustomize.py."""
    monkeypatch.setenv("QUOR_PP_TEST_HOOKS", "1")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(HOOKS), os.environ.get("PYTHONPATH")])))
    return dict(os.environ)


def replicas(tmp_path, *names):
    """Copies of the sample run's first replicas under the given names."""
    sources = sorted(RUN.glob("replica_*"))
    paths = []
    for source, name in zip(sources, names):
        shutil.copytree(source, tmp_path / name)
        paths.append(str(tmp_path / name))
    return paths


def analyze_quietly(paths, **engine):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quor_pp.ReplicaFailureWarning)
        return quor_pp.analyze(paths, **engine)


@pytest.mark.parametrize("engine", ENGINES)
def test_a_replica_at_zero_kelvin_loses_only_what_needs_t(tmp_path, engine):
    paths = replicas(tmp_path, "r1", "r2", "r3")
    thermo = pathlib.Path(paths[1]) / "nvt_prod.dat"
    lines = thermo.read_text().splitlines()
    thermo.write_text("\n".join(lines[:2] + [" ".join([row.split()[0], "0", *row.split()[2:]]) for row in lines[2:]])
                      + "\n")
    report = analyze_quietly(paths, **engine)
    # What needs T has no value in that replica; the rest of it, and the others, are analysed.
    assert report.failures == () and [r.path for r in report.replicas] == paths
    assert report.replicas[1].get("viscosity").status == "missing"
    assert report.replicas[1].get("self_diffusion", "Na").status == "ok"
    assert (report.row("viscosity").status, report.row("viscosity").n) == ("partial", 2)


@pytest.mark.parametrize("kind", [ZeroDivisionError, MemoryError, RecursionError, ValueError, TypeError, RuntimeError])
@pytest.mark.parametrize("engine", ENGINES[:2])
def test_any_exception_of_a_replica_is_its_failure(tmp_path, monkeypatch, kind, engine):
    paths = replicas(tmp_path, "r1", "bad", "r3")
    analyze_replica = quor_pp.workflow.replica_tasks.analyze_replica

    def failing(directory, settings, progress=None):
        if directory.endswith("bad"):
            raise kind("line one\nline two")
        return analyze_replica(directory, settings, progress)

    monkeypatch.setattr(quor_pp.workflow.replica_tasks, "analyze_replica", failing)
    report = analyze_quietly(paths, **engine)
    (failure,) = report.failures
    assert (failure.path, failure.error) == (paths[1], kind.__name__)
    assert "\n" not in failure.message and "line one line two" in failure.message
    assert len(report.replicas) == 2


@pytest.mark.parametrize("kind", ["ZeroDivisionError", "MemoryError", "RecursionError"])
def test_any_exception_in_a_worker_process_is_its_replicas_failure(tmp_path, hooks, kind):
    paths = replicas(tmp_path, "r1", f"raise_{kind}", "r3")
    report = analyze_quietly(paths, jobs=2, engine="processes")
    assert [(f.path, f.error) for f in report.failures] == [(paths[1], kind)]
    assert len(report.replicas) == 2


def test_an_interrupt_is_not_a_failure(tmp_path, monkeypatch):
    def interrupted(directory, settings, progress=None):
        raise KeyboardInterrupt

    monkeypatch.setattr(quor_pp.workflow.replica_tasks, "analyze_replica", interrupted)
    with pytest.raises(KeyboardInterrupt):
        quor_pp.analyze(replicas(tmp_path, "r1"))


def test_a_killed_worker_loses_nothing(tmp_path, hooks):
    paths = replicas(tmp_path, "r1", "die_once", "r3", "r4")
    tasks = [(path, quor_pp.AnalysisSettings()) for path in paths]
    outcomes = quor_pp.map_replicas(tasks, jobs=2, engine="processes")
    assert outcomes.retried == (1,)
    assert all(isinstance(outcome, quor_pp.ReplicaResult) for outcome in outcomes)
    assert os.path.exists(os.path.join(paths[1], "died"))
    expected = quor_pp.map_replicas(tasks)
    assert fingerprint_report(quor_pp.combine(outcomes, tasks[0][1])) == \
        fingerprint_report(quor_pp.combine(expected, tasks[0][1]))


def test_a_replica_that_kills_its_worker_twice_fails_alone(tmp_path, hooks):
    paths = replicas(tmp_path, "r1", "die_always", "r3", "r4")
    outcomes = quor_pp.map_replicas([(path, quor_pp.AnalysisSettings()) for path in paths], jobs=2,
                                    engine="processes")
    assert outcomes.retried == (1,)
    failure = outcomes[1]
    assert isinstance(failure, quor_pp.ReplicaFailure) and failure.error == "WorkerLost"
    assert "killed by SIGKILL" in failure.message
    assert [type(outcome).__name__ for outcome in outcomes] == ["ReplicaResult", "ReplicaFailure",
                                                                "ReplicaResult", "ReplicaResult"]


def session_processes(session):
    """Pids of the live processes of a session, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        if int(fields[3]) == session and fields[0] != "Z":
            found.append(int(entry))
    return found


def wait_for(condition, what):
    import time

    for _ in range(1200):  # a bound against a hang, not a timing
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"never happened: {what}")


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
@pytest.mark.skipif(not sys._is_gil_enabled(), reason="-j runs threads of the command's own process here, "
                    "not worker processes")
@pytest.mark.parametrize("stop, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGHUP, 129),
                                          (signal.SIGKILL, -signal.SIGKILL)])
def test_a_stopped_command_leaves_no_process(tmp_path, hooks, stop, status):
    paths = replicas(tmp_path, "hang1", "hang2", "r3")
    command = subprocess.Popen([sys.executable, "-m", "quor_pp", "analyze", *paths, "-j", "2", "-q"],
                               start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: sum(len(list(pathlib.Path(p).glob("started.*"))) for p in paths) == 2,
                 "both workers busy")
        assert len(session_processes(command.pid)) == 3
        command.send_signal(stop)
        assert command.wait(timeout=60) == status
        assert "Traceback" not in command.stderr.read()
        wait_for(lambda: not session_processes(command.pid), "every process of the session gone")
    finally:
        for pid in session_processes(command.pid):
            os.kill(pid, signal.SIGKILL)
        command.kill()
        command.wait()


def test_stop_signals_become_an_interrupt_with_the_signal():
    with pytest.raises(Interrupted) as caught:
        with stop_on_signals():
            os.kill(os.getpid(), signal.SIGTERM)  # the handler runs before kill returns
    assert caught.value.signum == signal.SIGTERM and isinstance(caught.value, KeyboardInterrupt)
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL


SCRIPT = f"""\
import warnings
import quor_pp
import quor_pp.workflow.replica_tasks
report = quor_pp.analyze({str(RUN)!r}, jobs=2, engine="processes")
print(len(report.replicas), len(report.failures))
"""


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_a_script_without_a_main_guard_can_use_processes(tmp_path, source):
    script = tmp_path / "unguarded.py"
    script.write_text(SCRIPT)
    arguments = [str(script)] if source == "file" else ["-"]
    done = subprocess.run([sys.executable, *arguments], input=SCRIPT if source == "stdin" else None,
                          capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "4 0\n", "")


def test_a_pool_runs_again_on_the_same_workers_and_returns_errors_as_values():
    import operator

    from quor_pp.workflow.workers import WorkerPool

    with WorkerPool(2) as pool:
        first = sorted(pool.run(operator.truediv, [(1, 2), (1, 0), (3, 1)]), key=lambda outcome: outcome[0])
        pids = {worker.process.pid for worker in pool._running}
        second = sorted(pool.run(pow, [(2, 10), (3, 2)]))
        assert {worker.process.pid for worker in pool._running} == pids
    assert [(index, ok) for index, ok, _ in first] == [(0, True), (1, False), (2, True)]
    assert first[0][2] == 0.5 and isinstance(first[1][2], ZeroDivisionError) and first[2][2] == 3.0
    assert second == [(0, True, 1024), (1, True, 9)] and pool.retried == []
    assert pool._running == []


def test_a_pool_takes_tasks_from_an_iterator_only_when_a_worker_is_free():
    from quor_pp.workflow.workers import WorkerPool

    taken = []

    def tasks():
        for k in range(6):
            taken.append(k)
            yield (k, 2)

    outcomes = []
    with WorkerPool(2) as pool:
        for index, ok, value in pool.run(pow, tasks()):
            # One task per worker in flight, the next taken as each comes back.
            assert len(taken) <= len(outcomes) + 2
            outcomes.append((index, ok, value))
    assert sorted(outcomes) == [(k, True, k * k) for k in range(6)]
    # A caller that stops handing out tasks gets back the ones already taken, and nothing more.
    with WorkerPool(2) as pool:
        assert list(pool.run(pow, iter([]))) == [] and pool._running == []
        assert sorted(pool.run(pow, iter([(3, 2)]))) == [(0, True, 9)]
