"""Analysing many run directories at once: in this thread, a pool of threads or processes, or a Dask cluster.

`map_replicas` runs `analyze_replica` on every (directory, settings) task and returns
one outcome per task, in task order: a `ReplicaResult`, or a `ReplicaFailure` naming
the directory when its files could not be read or used. The outcomes are the same,
bit for bit, whichever engine ran them: every replica is analysed alone by the same
code, and nothing is combined before all are back.

The engines (`choose_engine`):

- "serial": one replica after the other in the calling thread (``jobs=1``);
- "threads": a thread pool, for ``jobs > 1`` on a free-threaded interpreter. The
  module needs no GIL, so its calls and the Python around them run in parallel;
- "processes": a pool of worker processes (`quor_pp.workers.WorkerPool`), for
  ``jobs > 1`` when the GIL is enabled. Workers end with this process, even when
  it is killed; a worker that dies takes only its own replica, which is tried once
  more (`Outcomes.retried`). They never import the caller's ``__main__``, so a
  script without a main guard may use them;
- "dask": tasks of a batch of replicas each on the cluster of a `distributed.Client`
  (`batch_size`: a few tasks per worker thread, so the scheduler's cost per task is
  paid per batch). Workers read the files where they are (every worker must see the
  run directories at the same paths) and only the results travel back. A batch whose
  worker died is tried again one replica per task, so that a lost worker is the failure
  of the replica that killed it alone; a lost scheduler, or a cluster without a worker for
  `worker_timeout` seconds, is one `ClusterError`.

Every exception raised while one replica is analysed (but KeyboardInterrupt and
SystemExit) is that replica's `ReplicaFailure`, in every engine: one bad replica
never ends the run.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import importlib
import math
import operator
import os
import pickle
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Final, TypeAlias

import numpy as np

from ..analysis.transport import AnalysisSettings, ReplicaFailure, ReplicaResult
from .dask_engine import WORKER_TIMEOUT, _dask, _timeout, _worker_timeouts, batch_size, dask_client
from .replica_tasks import (STOP_POLL, Caught, Outcome, Task, _failure, _positive, _read_only, analyze_batch,
                            analyze_task)
from .workers import ClusterError, Lost, WorkerPool, raise_if_stopped

if TYPE_CHECKING:
    import concurrent.futures

__all__ = ["ENGINES", "WORKER_TIMEOUT", "ClusterError", "Outcome", "Outcomes", "analyze_batch", "analyze_task",
           "batch_size", "choose_engine", "dask_client", "map_replicas"]

#: The ways `map_replicas` can run its tasks.
ENGINES: Final = ("serial", "threads", "processes", "dask")





class Outcomes(list[Outcome]):
    """What `map_replicas` returns: one outcome per task, in task order.

    Attributes
    ----------
    retried : tuple of int
        Indices of the tasks tried a second time because the worker process
        analysing them died (those lost twice are `ReplicaFailure` "WorkerLost").
    """

    def __init__(self, outcomes: Iterable[Outcome] = (), retried: Iterable[int] = ()) -> None:
        super().__init__(outcomes)
        self.retried: tuple[int, ...] = tuple(retried)


def choose_engine(jobs: int = 1, client: Any = None, engine: str | None = None) -> str:
    """The engine that `map_replicas` runs these arguments on.

    With a `client`, "dask"; else `engine` when it is given; else "serial" for one
    job, and for more, "threads" when the GIL is disabled (free-threaded CPython)
    and "processes" when it is enabled.

    Raises
    ------
    TypeError
        `jobs` is not an integer (NumPy integers are; bool is not) or `engine` is
        not a str.
    ValueError
        `jobs` is below 1, `engine` is unknown, or a client comes with another
        engine or with `jobs`.
    """
    jobs = _jobs(jobs)
    if engine is not None and not isinstance(engine, str):
        raise TypeError(f"engine must be a str or None, not {type(engine).__name__}")
    if engine is not None and engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, not {engine!r}")
    if client is not None:
        if engine not in (None, "dask") or jobs != 1:
            raise ValueError("a Dask client runs every replica on its cluster: give client= or jobs=, not both")
        return "dask"
    if engine == "dask":
        raise ValueError("engine='dask' needs client=, a distributed.Client")
    if engine is not None:
        return engine
    if jobs == 1:
        return "serial"
    return "processes" if sys._is_gil_enabled() else "threads"


def _jobs(jobs: object) -> int:
    return _positive("jobs", jobs)


def map_replicas(
    tasks: Sequence[tuple[str, AnalysisSettings]],
    *,
    jobs: int = 1,
    client: Any = None,
    engine: str | None = None,
    curves: bool = True,
    progress: Callable[[str], None] | None = None,
    done: Callable[[int, Outcome], None] | None = None,
    batch: int | None = None,
    worker_timeout: float | None = None,
) -> Outcomes:
    """Analyses every (directory, settings) task; returns the outcomes in task order.

    Parameters
    ----------
    tasks : sequence of (str, AnalysisSettings)
        The run directories, each with the settings to analyse it with.
    jobs : int
        How many replicas are analysed at once (see `choose_engine`); a NumPy
        integer will do.
    client : distributed.Client, optional
        Runs the replicas on its Dask cluster, in tasks of `batch` replicas.
        Relative paths are made absolute first, against this process's working
        directory.
    engine : str, optional
        "serial", "threads" or "processes", in place of the automatic choice.
    curves : bool
        Keep the whole curve of every fit (needed for plots of the fits).
    progress : callable, optional
        Serial engine only: called with a short message after each file and fit.
    done : callable, optional
        Called in the calling thread with the task's index and its outcome as
        each replica comes back, in the order they come back.
    batch : int, optional
        Dask only: replicas per task (default: `batch_size` of the cluster's
        worker threads). The outcomes do not depend on it. A task that fails as a
        whole (a replica killed its worker) is run again one replica per task, so
        that only that replica fails.
    worker_timeout : float, optional
        Dask only: how long the run waits, in seconds, while the cluster has no
        worker (at the start, or after losing them all) before it gives up with a
        `ClusterError`. Default: the one given to `dask_client` for its client,
        else `WORKER_TIMEOUT` (60 s).

    Returns
    -------
    Outcomes
        A list of one `ReplicaResult` or `ReplicaFailure` per task, and in
        `retried` the tasks tried again after their worker process died. Any
        exception while a replica is analysed is its failure; a worker that died
        on both attempts (or a Dask worker lost too often) is "WorkerLost".

    Raises
    ------
    TypeError
        `jobs`, `engine`, `client` or `batch` is of the wrong type.
    ValueError
        `jobs` or `batch` is below 1, or the engine cannot be used (see
        `choose_engine`).
    ClusterError
        The Dask scheduler was lost during the run, or its cluster had no
        worker for `worker_timeout` seconds.
    """
    chosen = choose_engine(jobs, client, engine)
    count = _jobs(jobs)
    if batch is not None:
        _positive("batch", batch)
    if chosen == "dask":
        _check_client(client)
        waited = _timeout(worker_timeout if worker_timeout is not None
                       else _worker_timeouts.get(id(client), WORKER_TIMEOUT))
    listed = [(os.fspath(directory), settings) for directory, settings in tasks]
    if chosen == "dask":
        listed = [(os.path.abspath(directory), settings) for directory, settings in listed]
    outcomes: list[Outcome | None] = [None] * len(listed)
    caught: list[list[Caught]] = [[] for _ in listed]
    pool: WorkerPool | None = None
    if chosen == "serial" or not listed:
        runs: Iterator[tuple[int, tuple[Outcome, list[Caught]]]] = (
            (index, analyze_task(directory, settings, curves=curves, progress=progress))
            for index, (directory, settings) in enumerate(listed))
    elif chosen == "threads":
        # Warnings are caught per thread only where catch_warnings is thread-local
        # (the default on free-threaded builds); elsewhere they are shown as raised.
        capture = bool(getattr(sys.flags, "context_aware_warnings", False))
        import concurrent.futures  # only here: it starts logging, which a command need not pay for

        runs = _threads(concurrent.futures.ThreadPoolExecutor(min(count, len(listed)), "quor-pp"),
                        listed, curves, capture)
    elif chosen == "processes":
        pool = WorkerPool(min(count, len(listed)))
        runs = _processes(pool, listed, curves)
    else:
        runs = _dask(client, listed, curves, batch, waited)
    for index, (outcome, warned) in runs:
        if chosen == "processes":  # a Dask batch is made read-only as it is read
            _read_only(outcome)
        outcomes[index], caught[index] = outcome, warned
        if done is not None:
            done(index, outcome)
        raise_if_stopped()  # under a command, a stop signal ends the run between replicas
    registry: dict[Any, Any] = {}
    for records in caught:
        for category, message, filename, lineno in records:
            warnings.warn_explicit(message, category, filename, lineno, registry=registry)
    return Outcomes((outcome for outcome in outcomes if outcome is not None),
                    pool.retried if pool is not None else ())


def _check_client(client: object) -> None:
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        distributed = None
    if distributed is None or not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")


def _threads(pool: concurrent.futures.Executor, tasks: list[Task], curves: bool,
             capture: bool) -> Iterator[tuple[int, tuple[Outcome, list[Caught]]]]:
    """The outcomes of a thread pool as they come back, with their task indices."""
    import concurrent.futures

    with pool:
        futures = {pool.submit(analyze_task, directory, settings, curves=curves, capture=capture): index
                   for index, (directory, settings) in enumerate(tasks)}
        pending = set(futures)
        try:
            while pending:
                # In short waits, so that a stop signal is acted on while the threads work.
                finished, pending = concurrent.futures.wait(pending, STOP_POLL,
                                                            concurrent.futures.FIRST_COMPLETED)
                raise_if_stopped()
                for future in sorted(finished, key=futures.__getitem__):
                    index = futures[future]
                    try:
                        yield index, future.result()
                    except Exception as error:
                        yield index, (_failure(tasks[index][0], error), [])
        finally:
            # On a fault (or an interrupt) the replicas not yet started are dropped.
            pool.shutdown(wait=False, cancel_futures=True)


def _processes(pool: WorkerPool, tasks: list[Task],
               curves: bool) -> Iterator[tuple[int, tuple[Outcome, list[Caught]]]]:
    """The outcomes of worker processes as they come back, with their task indices."""
    with pool:
        for index, ok, value in pool.run(analyze_task, tasks, {"curves": curves, "capture": True}):
            if ok:
                yield index, value
            elif isinstance(value, Lost):
                yield index, (ReplicaFailure(tasks[index][0], "WorkerLost",
                                             f"the worker process analysing it died, twice ({value.reason})"), [])
            else:
                yield index, (_failure(tasks[index][0], value), [])
