"""Analysing replicas on a Dask cluster: the client of an address, batches of replicas per task, and a cluster
that reports (no worker for too long, a lost scheduler, a worker that dies) instead of waiting.
"""

from __future__ import annotations

import contextlib
import importlib
import math
import os
from collections.abc import Iterator
from typing import Any, Final

from ..analysis.results import ReplicaFailure
from .replica_tasks import (STOP_POLL, Caught, Outcome, Task, _failure, _loads, _message, _pickled_batch, _positive)
from .workers import ClusterError, raise_if_stopped

__all__ = ["WORKER_TIMEOUT", "batch_size", "dask_client"]

# Tasks per worker thread a Dask run is cut into (some left over to even out slow
# workers), and the most replicas in one task (bounds the size of a task's result).
_TASKS_PER_THREAD: Final = 4
_LARGEST_BATCH: Final = 256

# How often a run asks a Dask scheduler whether it has workers, s.
_WORKER_POLL: Final = 1.0

#: How long a Dask run waits for its cluster to have a worker, by default, s.
WORKER_TIMEOUT: Final = 60.0


# The worker timeouts given to `dask_client`, by the id of its client while it is open.
_worker_timeouts: dict[int, float] = {}


@contextlib.contextmanager
def dask_client(address: str | None, *, worker_timeout: float = WORKER_TIMEOUT) -> Iterator[Any]:
    """A `distributed.Client` connected to the scheduler at `address` (None: no client), closed afterwards.

    `map_replicas` on this client waits `worker_timeout` seconds, unless told
    otherwise, for its cluster to have a worker.

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
    TypeError, ValueError
        `worker_timeout` is not a positive number.
    """
    waited = _timeout(worker_timeout)
    if address is None:
        yield None
        return
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise ModuleNotFoundError("a Dask scheduler needs Dask's distributed package: "
                                  "pip install 'quor-pp[dask]'", name="distributed") from None
    where = {"scheduler_file": address} if os.path.isfile(address) else {"address": address}
    if "address" in where and not _parses_as_address(address):
        raise ClusterError(f"{address} is neither a scheduler file nor a Dask scheduler's address "
                           "(tcp://host:port)")
    try:
        client = distributed.Client(**where, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    _worker_timeouts[id(client)] = waited
    try:
        yield client
    finally:
        del _worker_timeouts[id(client)]
        with contextlib.suppress(Exception):
            client.close()


def _parses_as_address(address: str) -> bool:
    """Whether Dask can read `address` as a scheduler's address (whether one listens there or not).

    Asked first because a client given an address it cannot read raises, but leaves behind
    a half-made client whose finaliser waits 60 s when the process exits and then prints a
    traceback; a scheduler file not yet written (or mistyped) is such an address.
    """
    addressing = importlib.import_module("distributed.comm.addressing")
    try:
        scheme, location = addressing.parse_address(address)
        importlib.import_module("distributed.comm.registry").get_backend(scheme)
        if scheme in ("tcp", "tls", "ws", "wss"):
            addressing.parse_host_port(location)
    except ValueError:
        return False
    return True


def _dask(client: Any, tasks: list[Task], curves: bool, batch: int | None,
          worker_timeout: float) -> Iterator[tuple[int, tuple[Outcome, list[Caught]]]]:
    """The outcomes of Dask tasks of a batch of replicas each as they come back, with their task indices.

    A batch that fails as a whole (its worker died, killed by one of its replicas)
    is tried again one replica per task, so that only the replica that kills its
    worker fails. The wait for results looks for a stop signal every `STOP_POLL`
    seconds, and ends in a `ClusterError` once the cluster has had no worker for
    `worker_timeout` seconds.
    """
    import asyncio
    import concurrent.futures
    import time

    # Only when a client is given (and untyped: looked up as plain modules).
    distributed = importlib.import_module("distributed")
    killed = importlib.import_module("distributed.scheduler").KilledWorker
    # What a lost connection to the scheduler looks like, depending on when it happens.
    broken = (OSError, TimeoutError, concurrent.futures.CancelledError, asyncio.CancelledError)
    submitted: dict[Any, tuple[Any, int, int]] = {}  # key: (future, first task, tasks)
    left = len(tasks)
    try:
        workers = _WorkerWatch(client, worker_timeout, len(tasks))
        while not workers.check(left):  # the batches are sized to the threads there are
            raise_if_stopped()
            time.sleep(STOP_POLL)
        size = batch_size(len(tasks), _threads_of(client), batch)
        batches = [tasks[start:start + size] for start in range(0, len(tasks), size)]
        futures = client.map(_pickled_batch, batches, curves=curves, pure=False)
        submitted.update((future.key, (future, k * size, len(batches[k]))) for k, future in enumerate(futures))
        # The client's own loop: the command's client is not the default one.
        completed = distributed.as_completed(futures, loop=client.loop)
        while not completed.is_empty():
            ready = completed.next_batch(block=False)
            if not ready:
                raise_if_stopped()
                workers.check(left)
                time.sleep(STOP_POLL)
                continue
            for future in ready:
                if future.status == "cancelled" or client.status not in ("running", "connecting"):
                    raise ClusterError(_lost_scheduler(client, left, len(tasks)))
                if future.status not in ("finished", "error"):
                    # Its result was lost with a worker that died since: it is computed again.
                    completed.add(future)
                    continue
                try:
                    data, error = future.result(), None
                except broken:
                    raise
                except Exception as failed:  # a task's error, raised again here
                    data, error = None, failed
                _, first, count = submitted.pop(future.key)
                if error is None:
                    outcomes = _loads(data)
                elif count > 1:
                    # One replica may have killed the batch's worker: each is tried alone.
                    for index in range(first, first + count):
                        alone = client.submit(_pickled_batch, [tasks[index]], curves=curves, pure=False)
                        submitted[alone.key] = (alone, index, 1)
                        completed.add(alone)
                    continue
                elif isinstance(error, killed):
                    outcomes = [(ReplicaFailure(tasks[first][0], "WorkerLost",
                                                "the Dask workers analysing it died: " + _message(error)), [])]
                else:
                    outcomes = [(_failure(tasks[first][0], error), [])]
                for offset, outcome in enumerate(outcomes):
                    left -= 1
                    yield first + offset, outcome
    except broken as error:
        raise ClusterError(f"{_lost_scheduler(client, left, len(tasks))} ({type(error).__name__}: {error})") from None
    finally:
        with contextlib.suppress(Exception):
            client.cancel([future for future, _, _ in submitted.values() if not future.done()])


class _WorkerWatch:
    """Whether a Dask cluster has workers, asked every `_WORKER_POLL` seconds; a `ClusterError` after too long without.

    A cluster may start with none (a batch system's job still queued) and lose them
    all during a run: its tasks then wait with no end. This gives it `timeout`
    seconds to have one again.
    """

    def __init__(self, client: Any, timeout: float, total: int) -> None:
        import time

        self.client = client
        self.timeout = timeout
        self.total = total
        self.seen = self.asked = time.monotonic()  # a worker is assumed at the start, for `timeout`
        self.present = self._ask()

    def _ask(self) -> bool:
        import time

        self.asked = time.monotonic()
        present = bool(self.client.nthreads())
        if present:
            self.seen = self.asked
        return present

    def check(self, left: int) -> bool:
        """Whether the cluster has a worker now (asking the scheduler when the last answer is old enough).

        Raises
        ------
        ClusterError
            The cluster has had no worker for `timeout` seconds.
        """
        import time

        if time.monotonic() - self.asked >= _WORKER_POLL:
            self.present = self._ask()
        if not self.present and self.asked - self.seen >= self.timeout:
            raise ClusterError(f"the Dask scheduler at {_address(self.client)} has had no worker for "
                               f"{self.timeout:g} s: {left} of {self.total} replicas were not analysed")
        return self.present


def _threads_of(client: Any) -> int:
    """The worker threads of a client's cluster (1 when the scheduler does not say)."""
    try:
        return max(1, sum(int(count) for count in client.nthreads().values()))
    except Exception:
        return 1


def _address(client: Any) -> str:
    try:
        return str(client.scheduler.address)
    except Exception:
        return "(unknown)"


def _lost_scheduler(client: Any, left: int, total: int) -> str:
    return f"lost the Dask scheduler at {_address(client)}: {left} of {total} replicas were not analysed"


def _timeout(seconds: object) -> float:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"worker_timeout must be a number of seconds, not {type(seconds).__name__}")
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"worker_timeout must be a positive number of seconds, not {seconds!r}")
    return float(seconds)


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
