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
  run directories at the same paths) and only the results travel back. A lost worker is its replica's
  failure; a lost scheduler is one `ClusterError`.

Every exception raised while one replica is analysed (but KeyboardInterrupt and
SystemExit) is that replica's `ReplicaFailure`, in every engine: one bad replica
never ends the run.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import importlib
import operator
import os
import pickle
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Final, TypeAlias

import numpy as np

from ..analysis.fitting import Fit
from ..analysis.transport import AnalysisSettings, ReplicaFailure, ReplicaResult, analyze_replica
from .workers import ClusterError, Lost, WorkerPool

if TYPE_CHECKING:
    import concurrent.futures

__all__ = ["ENGINES", "ClusterError", "Outcome", "Outcomes", "analyze_batch", "analyze_task", "batch_size",
           "choose_engine", "dask_client", "map_replicas"]

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

# Tasks per worker thread a Dask run is cut into (some left over to even out slow
# workers), and the most replicas in one task (bounds the size of a task's result).
_TASKS_PER_THREAD: Final = 4
_LARGEST_BATCH: Final = 256

# Longest reason a failure keeps from its exception's message, in characters.
_REASON_LENGTH: Final = 300


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


def _positive(name: str, number: object) -> int:
    if isinstance(number, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        count = operator.index(number)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(number).__name__}") from None
    if count < 1:
        raise ValueError(f"{name} must be a positive int, not {number!r}")
    return count


def analyze_task(directory: str, settings: AnalysisSettings, *, curves: bool = True, capture: bool = False,
                 progress: Callable[[str], None] | None = None) -> tuple[Outcome, list[Caught]]:
    """`analyze_replica` with any failure as a `ReplicaFailure`, for any engine.

    A plain module-level function of picklable arguments, so that process pools and
    Dask workers can run it. Every exception but KeyboardInterrupt and SystemExit
    (bad input, and also ZeroDivisionError, MemoryError, RecursionError, ...) is the
    replica's failure, with its path and a one-line reason. Without `curves`, the
    fits keep their windows, slopes and checks but not the points of the curves
    and lines (`Fit.time`, `Fit.msd`, `Fit.t_fit` and `Fit.fit` are empty), which
    makes a result several times smaller and quicker to send. With
    `capture`, warnings are recorded and returned instead of shown, and the
    failure keeps its exception only if it can travel to another process.
    """
    caught: list[Caught] = []
    recorder = warnings.catch_warnings(record=True) if capture else contextlib.nullcontext()
    with recorder as records:
        if capture:
            warnings.simplefilter("always")
        try:
            outcome: Outcome = analyze_replica(directory, settings, progress)
        except Exception as error:
            outcome = ReplicaFailure(directory, type(error).__name__, _message(error),
                                     error if not capture or _travels(error) else None)
        if records is not None:
            caught = [(r.category, str(r.message), r.filename, r.lineno) for r in records]
    if not curves and isinstance(outcome, ReplicaResult):
        outcome = _without_curves(outcome)
    return outcome, caught


def analyze_batch(tasks: Sequence[Task], *, curves: bool = True,
                  capture: bool = False) -> list[tuple[Outcome, list[Caught]]]:
    """`analyze_task` on each of several (directory, settings) tasks, one after the other: one Dask task."""
    return [analyze_task(directory, settings, curves=curves, capture=capture) for directory, settings in tasks]


def _pickled_batch(tasks: Sequence[Task], *, curves: bool) -> bytes:
    """`analyze_batch` as one pickle: a Dask task's result.

    Dask would serialise a list element by element, each with its own header and
    none sharing the strings of another; as one pickle the batch travels as bytes
    and is read back in one call, the names and units that every replica repeats
    read once.
    """
    return pickle.dumps(analyze_batch(tasks, curves=curves, capture=True), protocol=pickle.HIGHEST_PROTOCOL)


def batch_size(replicas: int, threads: int, batch: int | None = None) -> int:
    """How many replicas one Dask task analyses: `batch` when given, else sized from the worker threads.

    About `_TASKS_PER_THREAD` tasks per thread, so that every thread has work to
    the end, and never more than `_LARGEST_BATCH` replicas in one task.

    Raises
    ------
    TypeError, ValueError
        `batch` is not a positive int.
    """
    if batch is not None:
        return _positive("batch", batch)
    return max(1, min(_LARGEST_BATCH, -(-replicas // (_TASKS_PER_THREAD * max(1, threads)))))


def _message(error: BaseException) -> str:
    """One line about `error`: its message (with the kind, when that is not bad input), shortened."""
    if isinstance(error, OSError) and error.strerror and error.filename is not None:
        text = f"{error.filename}: {error.strerror}"
    else:
        text = " ".join(str(error).split())
        if not isinstance(error, (OSError, ValueError)) or not text:
            text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    return text if len(text) <= _REASON_LENGTH else text[:_REASON_LENGTH - 1] + "…"


def _travels(error: BaseException) -> bool:
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return False
    return True


def _failure(directory: str, error: object) -> ReplicaFailure:
    """The failure of a task whose call raised outside `analyze_task`'s own guard."""
    if isinstance(error, BaseException):
        return ReplicaFailure(directory, type(error).__name__, _message(error), error)
    return ReplicaFailure(directory, "RuntimeError", f"the task failed: {error!r}")


def _without_curves(result: ReplicaResult) -> ReplicaResult:
    empty = np.empty(0)
    empty.setflags(write=False)
    lighter = {id(fit): dataclasses.replace(fit, time=empty, msd=empty, t_fit=empty, fit=empty)
               for fit in result.fits}
    estimates = tuple(dataclasses.replace(e, fit=lighter[id(e.fit)]) if e.fit is not None else e
                      for e in result.estimates)
    return dataclasses.replace(result, estimates=estimates, fits=tuple(lighter[id(fit)] for fit in result.fits),
                               structure=())  # the figures' curves go with the fits' curves


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
        worker threads). The outcomes do not depend on it.

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
        The Dask scheduler was lost during the run.
    """
    chosen = choose_engine(jobs, client, engine)
    count = _jobs(jobs)
    if batch is not None:
        _positive("batch", batch)
    if chosen == "dask":
        _check_client(client)
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
        runs = _dask(client, listed, curves, batch)
    for index, (outcome, warned) in runs:
        if chosen == "processes":  # a Dask batch is made read-only as it is read
            _read_only(outcome)
        outcomes[index], caught[index] = outcome, warned
        if done is not None:
            done(index, outcome)
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
        try:
            for future in concurrent.futures.as_completed(futures):
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


@contextlib.contextmanager
def dask_client(address: str | None) -> Iterator[Any]:
    """A `distributed.Client` connected to the scheduler at `address` (None: no client), closed afterwards.

    An existing file is taken as a scheduler file (as dask-jobqueue and dask-mpi
    write). The client is not made the default one, so it changes nothing for
    other Dask code in the process; `map_replicas` does not need it to be.

    Raises
    ------
    ModuleNotFoundError
        distributed is not installed (the message says what to install).
    ClusterError
        The scheduler cannot be reached (Dask's connect timeout applies: 30 s
        unless configured, e.g. by DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT).
    """
    if address is None:
        yield None
        return
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise ModuleNotFoundError("a Dask scheduler needs Dask's distributed package: "
                                  "pip install 'quor-pp[dask]'", name="distributed") from None
    where = {"scheduler_file": address} if os.path.isfile(address) else {"address": address}
    try:
        client = distributed.Client(**where, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    try:
        yield client
    finally:
        with contextlib.suppress(Exception):
            client.close()


def _dask(client: Any, tasks: list[Task], curves: bool,
          batch: int | None) -> Iterator[tuple[int, tuple[Outcome, list[Caught]]]]:
    """The outcomes of Dask tasks of a batch of replicas each as they come back, with their task indices."""
    import asyncio
    import concurrent.futures

    # Only when a client is given (and untyped: looked up as plain modules).
    distributed = importlib.import_module("distributed")
    killed = importlib.import_module("distributed.scheduler").KilledWorker
    # What a lost connection to the scheduler looks like, depending on when it happens.
    broken = (OSError, TimeoutError, concurrent.futures.CancelledError, asyncio.CancelledError)
    futures: list[Any] = []
    left = len(tasks)
    try:
        size = batch_size(len(tasks), _threads_of(client), batch)
        batches = [tasks[start:start + size] for start in range(0, len(tasks), size)]
        futures = client.map(_pickled_batch, batches, curves=curves, pure=False)
        where = {future.key: k * size for k, future in enumerate(futures)}
        # The client's own loop: the command's client is not the default one.
        for future in distributed.as_completed(futures, loop=client.loop):
            first = where[future.key]
            count = len(batches[first // size])
            if future.status == "finished":
                outcomes = _loads(future.result())
            elif future.status == "cancelled" or client.status not in ("running", "connecting"):
                raise ClusterError(_lost_scheduler(client, left, len(tasks)))
            else:
                error = future.exception()
                if isinstance(error, killed):
                    outcomes = [(ReplicaFailure(tasks[index][0], "WorkerLost", "the Dask workers analysing it "
                                                "died: " + _message(error)), []) for index in range(first, first + count)]
                else:
                    outcomes = [(_failure(tasks[index][0], error), []) for index in range(first, first + count)]
            for offset, outcome in enumerate(outcomes):
                left -= 1
                yield first + offset, outcome
    except broken as error:
        raise ClusterError(f"{_lost_scheduler(client, left, len(tasks))} ({type(error).__name__}: {error})") from None
    finally:
        with contextlib.suppress(Exception):
            client.cancel([future for future in futures if not future.done()])


def _threads_of(client: Any) -> int:
    """The worker threads of a client's cluster (1 when the scheduler does not say)."""
    try:
        return max(1, sum(int(count) for count in client.nthreads().values()))
    except Exception:
        return 1


def _lost_scheduler(client: Any, left: int, total: int) -> str:
    try:
        address = str(client.scheduler.address)
    except Exception:
        address = "(unknown)"
    return f"lost the Dask scheduler at {address}: {left} of {total} replicas were not analysed"


def _loads(data: bytes) -> list[tuple[Outcome, list[Caught]]]:
    """A batch's outcomes from its pickle, their arrays read-only, the cyclic garbage collector paused meanwhile.

    Reading a batch makes hundreds of objects per replica, none of them garbage;
    collections started by those allocations would scan every result received so
    far, again and again: the client's time per replica would grow with the sweep
    (twice as long at 8 000 replicas as with the collector paused).
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        outcomes: list[tuple[Outcome, list[Caught]]] = pickle.loads(data)
        for outcome, _ in outcomes:
            _read_only(outcome)
    finally:
        if enabled:
            gc.enable()
    return outcomes


def _read_only(outcome: Outcome) -> None:
    """Fit arrays come back from another process writable: make them read-only, as made here.

    An array reached twice (a fit is both a result's and an estimate's; a light result's
    empty arrays are one array) is frozen once.
    """
    if isinstance(outcome, ReplicaResult):
        fits = {id(fit): fit for fit in outcome.fits}
        fits.update((id(e.fit), e.fit) for e in outcome.estimates if e.fit is not None)
        frozen: set[int] = set()
        for fit in fits.values():
            for name in _ARRAYS:
                array = getattr(fit, name)
                if id(array) not in frozen:
                    frozen.add(id(array))
                    array.setflags(write=False)
