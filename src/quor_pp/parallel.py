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
- "processes": a process pool, for ``jobs > 1`` when the GIL is enabled. Workers
  start from a fork server (or are spawned), which is safe in a process with threads;
- "dask": one task per replica on the cluster of a `distributed.Client`. Workers
  read the files where they are (every worker must see the run directories at the
  same paths) and only the results travel back.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import importlib
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Final, TypeAlias

import numpy as np

from .fitting import Fit
from .transport import AnalysisSettings, ReplicaFailure, ReplicaResult, analyze_replica

__all__ = ["ENGINES", "Outcome", "analyze_task", "choose_engine", "map_replicas"]

#: The ways `map_replicas` can run its tasks.
ENGINES: Final = ("serial", "threads", "processes", "dask")

Outcome: TypeAlias = ReplicaResult | ReplicaFailure
Task: TypeAlias = tuple[str, AnalysisSettings]

# A warning raised while a replica was analysed: category, message, file and line.
# Pools and clusters catch them where they are raised and send them back with the
# result; `map_replicas` raises them again in the calling thread, in task order.
Caught: TypeAlias = tuple[type[Warning], str, str, int]

# The fit arrays a result carries.
_ARRAYS: Final = ("time", "msd", "t_fit", "fit")


def choose_engine(jobs: int = 1, client: Any = None, engine: str | None = None) -> str:
    """The engine that `map_replicas` runs these arguments on.

    With a `client`, "dask"; else `engine` when it is given; else "serial" for one
    job, and for more, "threads" when the GIL is disabled (free-threaded CPython)
    and "processes" when it is enabled.

    Raises
    ------
    ValueError
        `jobs` is not a positive int, `engine` is unknown, or a client comes with
        another engine or with `jobs`.
    """
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive int, not {jobs!r}")
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


def analyze_task(directory: str, settings: AnalysisSettings, *, curves: bool = True, capture: bool = False,
                 progress: Callable[[str], None] | None = None) -> tuple[Outcome, list[Caught]]:
    """`analyze_replica` with the failures of bad input as a `ReplicaFailure`, for any engine.

    A plain module-level function of picklable arguments, so that process pools and
    Dask workers can run it. Without `curves`, the fits keep their windows and lines
    but not the whole curves (`Fit.time` and `Fit.msd` are empty), which makes a
    result a few times smaller to send. With `capture`, warnings are recorded and
    returned instead of shown.
    """
    caught: list[Caught] = []
    recorder = warnings.catch_warnings(record=True) if capture else contextlib.nullcontext()
    with recorder as records:
        if capture:
            warnings.simplefilter("always")
        try:
            outcome: Outcome = analyze_replica(directory, settings, progress)
        except (OSError, ValueError) as error:
            outcome = ReplicaFailure(directory, type(error).__name__, _message(error), error)
        if records is not None:
            caught = [(r.category, str(r.message), r.filename, r.lineno) for r in records]
    if not curves and isinstance(outcome, ReplicaResult):
        outcome = _without_curves(outcome)
    return outcome, caught


def _message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror and error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def _without_curves(result: ReplicaResult) -> ReplicaResult:
    empty = np.empty(0)
    empty.setflags(write=False)
    lighter = {id(fit): dataclasses.replace(fit, time=empty, msd=empty) for fit in result.fits}
    estimates = tuple(dataclasses.replace(e, fit=lighter[id(e.fit)]) if e.fit is not None else e
                      for e in result.estimates)
    return dataclasses.replace(result, estimates=estimates, fits=tuple(lighter[id(fit)] for fit in result.fits))


def map_replicas(
    tasks: Sequence[tuple[str, AnalysisSettings]],
    *,
    jobs: int = 1,
    client: Any = None,
    engine: str | None = None,
    curves: bool = True,
    progress: Callable[[str], None] | None = None,
    done: Callable[[int, Outcome], None] | None = None,
) -> list[Outcome]:
    """Analyses every (directory, settings) task; returns the outcomes in task order.

    Parameters
    ----------
    tasks : sequence of (str, AnalysisSettings)
        The run directories, each with the settings to analyse it with.
    jobs : int
        How many replicas are analysed at once (see `choose_engine`).
    client : distributed.Client, optional
        Runs one task per replica on its Dask cluster. Relative paths are made
        absolute first, against this process's working directory.
    engine : str, optional
        "serial", "threads" or "processes", in place of the automatic choice.
    curves : bool
        Keep the whole curve of every fit (needed for plots of the fits).
    progress : callable, optional
        Serial engine only: called with a short message after each file and fit.
    done : callable, optional
        Called in the calling thread with the task's index and its outcome as
        each replica comes back, in the order they come back.

    Returns
    -------
    list of ReplicaResult or ReplicaFailure
        One per task. A failure is bad input (a missing, unreadable or malformed
        file, a setting the run cannot use: `OSError` and `ValueError`) or a worker
        that died ("WorkerLost"); any other exception is a fault and is raised.
    """
    chosen = choose_engine(jobs, client, engine)
    listed = [(os.fspath(directory), settings) for directory, settings in tasks]
    if chosen == "dask":
        listed = [(os.path.abspath(directory), settings) for directory, settings in listed]
    outcomes: list[Outcome | None] = [None] * len(listed)
    caught: list[list[Caught]] = [[] for _ in listed]
    if chosen == "serial" or not listed:
        runs: Iterator[tuple[int, tuple[Outcome, list[Caught]]]] = (
            (index, analyze_task(directory, settings, curves=curves, progress=progress))
            for index, (directory, settings) in enumerate(listed))
    elif chosen == "threads":
        # Warnings are caught per thread only where catch_warnings is thread-local
        # (the default on free-threaded builds); elsewhere they are shown as raised.
        capture = bool(getattr(sys.flags, "context_aware_warnings", False))
        runs = _pool(concurrent.futures.ThreadPoolExecutor(min(jobs, len(listed)), "quor-pp"),
                     listed, curves, capture)
    elif chosen == "processes":
        runs = _pool(_process_pool(min(jobs, len(listed))), listed, curves, True)
    else:
        runs = _dask(client, listed, curves)
    for index, (outcome, warned) in runs:
        if chosen in ("processes", "dask"):
            _read_only(outcome)
        outcomes[index], caught[index] = outcome, warned
        if done is not None:
            done(index, outcome)
    registry: dict[Any, Any] = {}
    for records in caught:
        for category, message, filename, lineno in records:
            warnings.warn_explicit(message, category, filename, lineno, registry=registry)
    return [outcome for outcome in outcomes if outcome is not None]


def _process_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    import multiprocessing

    context: multiprocessing.context.BaseContext
    if "forkserver" in multiprocessing.get_all_start_methods():
        server = multiprocessing.get_context("forkserver")
        # The fork server imports this package once, so that each worker forked from
        # it starts ready instead of importing NumPy and the module again (about a
        # second on a busy machine). It has an effect only before the server starts.
        server.set_forkserver_preload(["__main__", __name__])
        context = server
    else:
        context = multiprocessing.get_context("spawn")
    # Workers start in this process's working directory, so relative paths mean the same.
    return concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=os.chdir,
                                                  initargs=(os.getcwd(),))


def _pool(pool: concurrent.futures.Executor, tasks: list[Task], curves: bool,
          capture: bool) -> Iterator[tuple[int, tuple[Outcome, list[Caught]]]]:
    """The outcomes of a pool as they come back, with their task indices."""
    from concurrent.futures.process import BrokenProcessPool

    with pool:
        futures = {pool.submit(analyze_task, directory, settings, curves=curves, capture=capture): index
                   for index, (directory, settings) in enumerate(tasks)}
        try:
            for future in concurrent.futures.as_completed(futures):
                index = futures[future]
                try:
                    yield index, future.result()
                except BrokenProcessPool as error:
                    yield index, (_lost(tasks[index][0], error), [])
        finally:
            # On a fault (or an interrupt) the replicas not yet started are dropped.
            pool.shutdown(wait=False, cancel_futures=True)


def _dask(client: Any, tasks: list[Task], curves: bool) -> Iterator[tuple[int, tuple[Outcome, list[Caught]]]]:
    """The outcomes of one Dask task per replica as they come back, with their task indices."""
    import asyncio

    # Only when a client is given (and untyped: looked up as plain modules).
    distributed = importlib.import_module("distributed")
    lost = (importlib.import_module("distributed.scheduler").KilledWorker,
            importlib.import_module("distributed.comm").CommClosedError,
            concurrent.futures.CancelledError, asyncio.CancelledError)
    futures = client.map(analyze_task, [directory for directory, _ in tasks], [settings for _, settings in tasks],
                         curves=curves, capture=True, pure=False)
    where = {future.key: index for index, future in enumerate(futures)}
    try:
        for future in distributed.as_completed(futures):
            index = where[future.key]
            if future.status != "finished":
                try:
                    error = future.exception()
                except (concurrent.futures.CancelledError, asyncio.CancelledError) as cancelled:
                    error = cancelled
                if not isinstance(error, lost):
                    raise error
                yield index, (_lost(tasks[index][0], error), [])
            else:
                yield index, future.result()
    finally:
        client.cancel([future for future in futures if not future.done()])


def _lost(directory: str, error: BaseException) -> ReplicaFailure:
    return ReplicaFailure(directory, "WorkerLost",
                          f"the worker analysing it died ({type(error).__name__}: {error})", error)


def _read_only(outcome: Outcome) -> None:
    """Fit arrays come back from another process writable: make them read-only, as made here."""
    if isinstance(outcome, ReplicaResult):
        for fit in outcome.fits:
            _freeze(fit)
        for estimate in outcome.estimates:
            if estimate.fit is not None:
                _freeze(estimate.fit)


def _freeze(fit: Fit) -> None:
    for name in _ARRAYS:
        getattr(fit, name).setflags(write=False)
