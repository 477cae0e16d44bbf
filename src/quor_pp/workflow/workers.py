"""Worker processes that end with the command, and a command that ends cleanly on a signal.

`WorkerPool` runs a function on many tasks in child processes of this one, one task
per worker at a time, and hands back each outcome as it arrives. What makes it safe
to leave running under a batch system:

- a worker that dies (killed, out of memory, a crash in native code) takes only the
  task it was running: a new worker takes its place and the task is tried once
  more; a task lost twice comes back as lost (`Lost`), and the others go on;
- workers end by themselves when this process dies, even by SIGKILL: the kernel
  sends them SIGKILL when their parent goes (``PR_SET_PDEATHSIG`` on Linux), and a
  thread in each watches the parent as well, for systems without it;
- workers ignore SIGINT (Ctrl-C reaches the whole process group): this process
  stops them when it is interrupted, so no worker prints a traceback of its own;
- workers are fresh interpreters that import only this package (never the
  caller's ``__main__``), so a script without an ``if __name__ == "__main__":``
  guard, or read from standard input, can use a pool.

`stop_on_signals` turns SIGTERM, SIGHUP and SIGINT into an `Interrupted` exception,
so that every ``finally`` runs (pools are stopped, temporary files removed) and the
command can exit with status 128 + the signal's number. The handler itself only
notes the signal: a handler that raised would raise wherever the interpreter
happened to be, in a weakref callback or a finaliser too, where the exception is
printed and dropped and the command goes on. The exception is raised where the
work can stop (`raise_if_stopped`): between replicas, between figures, in a pool
waiting on its workers (woken at once through the signal's wakeup pipe), and at
the latest when the block ends. Workers still running then are stopped
(SIGTERM, so that a figure being written is removed, then SIGKILL) and waited for.
"""

from __future__ import annotations

import contextlib
import os
import signal
import struct
import sys
import types
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any, Final

from ..core.interrupts import stops_raise_here

# Every command imports this module for its signals and errors: what only a pool
# needs (subprocess, pickle, selectors, threads) is imported when a pool runs.
if TYPE_CHECKING:
    import subprocess

__all__ = ["ClusterError", "Interrupted", "Lost", "WorkerPool", "exit_status", "raise_if_stopped", "stop_on_signals"]

#: The signals `stop_on_signals` turns into `Interrupted`.
STOP_SIGNALS: Final = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                            if hasattr(signal, name))

_HEADER: Final = struct.Struct("!Q")
_PARENT: Final = "QUOR_PP_WORKER_PARENT"
_PATH: Final = "QUOR_PP_WORKER_PATH"
_PR_SET_PDEATHSIG: Final = 1
# How often a worker without a process descriptor looks whether its parent is still there, s.
_PARENT_POLL: Final = 0.5
# How long a worker asked to stop (SIGTERM) has to remove its temporary files before SIGKILL, s.
_STOP_GRACE: Final = 5.0
# When a worker's stop that Python dropped (raised in a weakref callback) comes again, s.
_LEAVE_AGAIN: Final = 0.01

# Worker bootstrap: the parent's module path first, so that the worker imports the same package.
_BOOTSTRAP: Final = ("import json, os, sys; sys.path[:] = json.loads(os.environ.pop('" + _PATH + "')); "
                     "from quor_pp.workflow.workers import serve; serve()")


class ClusterError(RuntimeError):
    """A Dask cluster could not be used: its scheduler cannot be reached or was lost during the run.

    (Kept here, with no Dask import, so that the command can catch it cheaply.)
    """


class Interrupted(KeyboardInterrupt):
    """The process received a stop signal (SIGINT, SIGTERM or SIGHUP) while `stop_on_signals` was active.

    A KeyboardInterrupt, so that code which already cleans up on Ctrl-C does the
    same for the others.

    Attributes
    ----------
    signum : int
        The signal's number.
    """

    def __init__(self, signum: int) -> None:
        self.signum = signum
        super().__init__(f"stopped by {signal.Signals(signum).name}")


def exit_status(signum: int) -> int:
    """The shell's exit status for a process stopped by signal `signum`: 128 + its number (130 for SIGINT)."""
    return 128 + signum


class _Stop:
    """The stop signals of one `stop_on_signals` block: the first one noted, and the pipe each arrival is written to.

    The interpreter writes the signal's number into the pipe the moment the signal
    arrives (``signal.set_wakeup_fd``), before the Python handler runs: a pool
    waiting in ``select`` wakes at once, and a signal that arrives just as the
    handlers are removed is still read from the pipe.
    """

    def __init__(self, signals: Sequence[int]) -> None:
        self.signals = frozenset(signals)
        self.reader, self.writer = os.pipe()
        for end in (self.reader, self.writer):
            os.set_blocking(end, False)
        self.signum: int | None = None
        self.closed = False
        self.written_by_interpreter = False

    def note(self, signum: int, frame: types.FrameType | None) -> None:
        """The signal handler: notes the signal and returns, whatever code it interrupted.

        Inside a long read that looks for signals between blocks (`raising_stops`),
        where an exception cannot be lost, it raises `Interrupted` at once instead.
        """
        if self.signum is None:
            self.signum = signum
        if not self.written_by_interpreter:  # wake the pools' waits all the same
            with contextlib.suppress(OSError):
                os.write(self.writer, bytes([signum]))
        if stops_raise_here():
            raise Interrupted(signum)

    def received(self) -> int | None:
        """The first stop signal that arrived, if any (emptying the pipe)."""
        written = b""
        if not self.closed:
            with contextlib.suppress(OSError):  # BlockingIOError: nothing arrived
                written = os.read(self.reader, 512)
        # Another signal with a Python handler (set by some library) writes there too.
        if self.signum is None:
            self.signum = next((number for number in written if number in self.signals), None)
        return self.signum

    def check(self) -> None:
        """Raise `Interrupted` if a stop signal has arrived."""
        if (signum := self.received()) is not None:
            raise Interrupted(signum)

    def close(self) -> None:
        """Close the pipe; the signal noted stays (a pool of another thread may still ask)."""
        self.closed = True
        for end in (self.reader, self.writer):
            with contextlib.suppress(OSError):
                os.close(end)


# The innermost `stop_on_signals` block running, if any.
_stopping: _Stop | None = None


def raise_if_stopped() -> None:
    """Raise `Interrupted` if a stop signal has arrived since `stop_on_signals` began; nothing outside such a block.

    Called where the work can stop cleanly: between replicas, between figures,
    while waiting on workers.
    """
    if (stop := _stopping) is not None:
        stop.check()


@contextlib.contextmanager
def stop_on_signals(signals: Sequence[int] = STOP_SIGNALS) -> Iterator[None]:
    """Turn each of `signals` into `Interrupted` while the block runs: at `raise_if_stopped`, or when the block ends.

    The handler only notes the signal; the block's work calls `raise_if_stopped`
    where it can stop, and a signal that no such call met is raised when the block
    ends, so that a stopped command never ends as if it had not been. When the
    block ends by an interrupt, every worker process still running is stopped and
    waited for.

    Outside the main thread (where handlers cannot be set) the block runs unchanged.
    The previous handlers come back afterwards.
    """
    global _stopping
    # No thread can have been started through threading before it was imported.
    threading = sys.modules.get("threading")
    if threading is not None and threading.current_thread() is not threading.main_thread():
        yield
        return

    stop, outer = _Stop(signals), _stopping
    previous: dict[int, Any] = {}
    wakeup: int | None = None
    signum: int | None = None
    try:
        try:
            wakeup = signal.set_wakeup_fd(stop.writer, warn_on_full_buffer=False)
            stop.written_by_interpreter = True
        except ValueError:  # Windows takes a socket only: the handler writes the pipe itself
            wakeup = None
        for number in signals:
            previous[number] = signal.signal(number, stop.note)
        _stopping = stop
        yield
    except KeyboardInterrupt:
        _end_every_worker()
        raise
    finally:
        # The handlers go first: a signal after them acts as it would without the block.
        for number, handler in previous.items():
            signal.signal(number, handler)
        if wakeup is not None:
            signal.set_wakeup_fd(wakeup)
        _stopping = outer
        signum = stop.received()
        stop.close()
    if signum is not None:
        _end_every_worker()
        raise Interrupted(signum)


@dataclass(frozen=True)
class Lost:
    """A task whose worker died on both of its attempts.

    Attributes
    ----------
    reason : str
        How the last worker ended ("killed by SIGKILL", "exited with status 1").
    """

    reason: str


# Every worker process of this process still running, whichever pool or thread
# started it: a command stopped by a signal ends them all before it exits.
_alive: set[_Worker] = set()


def _end_every_worker() -> None:
    """Stop every worker process still running (a pool of another thread's too) and wait for each to end."""
    _stop_workers(list(_alive))


def _stop_workers(workers: Sequence[_Worker]) -> None:
    """Ask `workers` to stop (SIGTERM: a worker removes the file it was writing), SIGKILL those that do not in time."""
    import time

    for worker in workers:
        worker.terminate()
    deadline = time.monotonic() + _STOP_GRACE
    for worker in workers:
        worker.kill(within=max(0.0, deadline - time.monotonic()))


class _Worker:
    """One child process and its two pipes."""

    def __init__(self) -> None:
        import json
        import subprocess

        environment = {**os.environ, _PARENT: str(os.getpid()), _PATH: json.dumps(sys.path)}
        command = [sys.executable, *subprocess._args_from_interpreter_flags(), "-c", _BOOTSTRAP]  # type: ignore[attr-defined]
        self.process: subprocess.Popen[bytes] = subprocess.Popen(command, stdin=subprocess.PIPE,
                                                                 stdout=subprocess.PIPE, env=environment,
                                                                 close_fds=True)
        assert self.process.stdin is not None and self.process.stdout is not None
        self.requests: IO[bytes] = self.process.stdin
        self.replies: IO[bytes] = self.process.stdout
        self.task: int | None = None
        _alive.add(self)

    def send(self, message: object) -> None:
        import pickle

        data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
        self.requests.write(_HEADER.pack(len(data)) + data)
        self.requests.flush()

    def receive(self) -> bytes:
        """The next answer, pickled; EOFError when the process has died."""
        return _read_exactly(self.replies, _HEADER.unpack(_read_exactly(self.replies, _HEADER.size))[0])

    def end(self, within: float | None = None) -> str:
        """How the process ended, after it did (waiting for it, and killing it after `within` s when given)."""
        import subprocess

        with contextlib.suppress(OSError):
            self.requests.close()
        try:
            code = self.process.wait(within)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(OSError):
                self.process.kill()
            code = self.process.wait()
        with contextlib.suppress(OSError):
            self.replies.close()
        _alive.discard(self)
        if code < 0:
            with contextlib.suppress(ValueError):
                return f"killed by {signal.Signals(-code).name}"
        return f"exited with status {code}"

    def terminate(self) -> None:
        """Ask the process to stop: it leaves its task, removing what it was writing, and exits."""
        with contextlib.suppress(OSError):
            self.process.terminate()

    def kill(self, within: float = _STOP_GRACE) -> None:
        """Stop the process: SIGTERM, then SIGKILL if it has not ended `within` s later."""
        self.terminate()
        self.end(within)


def _read_exactly(stream: IO[bytes], size: int) -> bytes:
    data = stream.read(size)
    if data is None or len(data) != size:
        raise EOFError("the worker's pipe closed")
    return data


class WorkerPool:
    """Child processes that run a function on tasks, restarted when one dies; use it as a context manager.

    Parameters
    ----------
    workers : int
        How many processes run at once (started on the first `run`).

    Attributes
    ----------
    retried : list of int
        Indices of the tasks that were tried again because their worker died, in
        the order it happened.
    """

    def __init__(self, workers: int) -> None:
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers}")
        self.workers = workers
        self.retried: list[int] = []
        self._running: list[_Worker] = []

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, kind: type[BaseException] | None, *rest: object) -> None:
        self.close(now=kind is not None)

    def close(self, *, now: bool = False) -> None:
        """Stop every worker: after its task (closing its pipe), or at once with `now`; wait for each to end."""
        running, self._running = self._running, []
        if now:
            _stop_workers(running)
        for worker in running:
            worker.end()

    def run(self, function: Callable[..., Any], arguments: Sequence[tuple[Any, ...]] | Iterator[tuple[Any, ...]],
            keywords: Mapping[str, Any] | None = None) -> Iterator[tuple[int, bool, Any]]:
        """Run ``function(*arguments[i], **keywords)`` for every i; yield (i, ok, value) as each ends.

        `function` and the arguments must be picklable (a module-level function of
        plain values). `ok` is False when the call raised: `value` is then the
        exception, or a `Lost` when the task's worker died twice. Workers that are
        left running when the caller stops early (or is interrupted) are killed.

        `arguments` may be an iterator: a task is then taken from it only when a
        worker is free to run it (i counts the tasks taken), so that the caller can
        share the tasks with work of its own and stop handing them out at any time.
        """
        import collections
        import pickle
        import selectors

        keywords = dict(keywords or {})
        source = iter(arguments) if isinstance(arguments, Iterator) else None
        tasks = [] if source is not None else list(arguments)
        waiting = collections.deque(range(len(tasks)))
        losses: collections.Counter[int] = collections.Counter()

        def take() -> int | None:
            """The next task to send: a retried one, else one from `source`; None when there is none."""
            nonlocal source
            if waiting:
                return waiting.popleft()
            if source is not None:
                try:
                    tasks.append(next(source))
                except StopIteration:
                    source = None
                    return None
                return len(tasks) - 1
            return None

        selector = selectors.DefaultSelector()
        for idle in self._running:  # left from an earlier run
            selector.register(idle.replies, selectors.EVENT_READ, idle)
        # The stop signals of the command, kept for the whole run: a pool in another
        # thread must not replace the workers that the command ends as it stops.
        stopping = _stopping
        if stopping is not None:  # a stop signal ends the wait at once
            selector.register(stopping.reader, selectors.EVENT_READ, None)
        try:
            while waiting or source is not None or any(worker.task is not None for worker in self._running):
                if stopping is not None:
                    stopping.check()
                # Keep every worker busy, starting workers up to the limit.
                while True:
                    worker = next((w for w in self._running if w.task is None), None)
                    if worker is None and len(self._running) >= self.workers:
                        break
                    index = take()
                    if index is None:
                        break
                    if worker is None:
                        worker = _Worker()
                        self._running.append(worker)
                        selector.register(worker.replies, selectors.EVENT_READ, worker)
                    worker.task = index
                    try:
                        worker.send((index, function, tasks[index], keywords))
                    except OSError:
                        pass  # it died while idle: seen as its pipe closing, below
                if not any(worker.task is not None for worker in self._running):
                    continue  # the tasks ran out: nothing to wait for
                ready = selector.select()
                # A stop wins over what the workers sent meanwhile: a worker that the same
                # signal ended is not replaced.
                if stopping is not None:
                    stopping.check()
                for key, _ in ready:
                    worker = key.data
                    if worker is None:
                        continue
                    try:
                        answer = worker.receive()
                    except (EOFError, OSError):
                        selector.unregister(worker.replies)
                        self._running.remove(worker)
                        reason = worker.end()
                        lost = worker.task
                        if lost is None:
                            continue
                        losses[lost] += 1
                        if losses[lost] == 1:
                            self.retried.append(lost)
                            waiting.appendleft(lost)
                        else:
                            yield lost, False, Lost(reason)
                        continue
                    index, worker.task = worker.task, None
                    try:
                        index, ok, value = pickle.loads(answer)
                    except Exception as error:  # an answer made there that cannot be read here
                        ok, value = False, RuntimeError(f"the result could not be read back ({error})")
                    yield index, ok, value
        finally:
            selector.close()
            # Stopped early (a fault or an interrupt in the caller): nothing more is wanted.
            if any(worker.task is not None for worker in self._running):
                self.close(now=True)


def serve() -> None:
    """A worker's life: run the tasks that arrive on standard input, answer on standard output.

    Started by `WorkerPool`; ends when its pipe closes or its parent dies.
    """
    import pickle

    parent = int(os.environ.pop(_PARENT))
    _die_with(parent)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Stopped by the pool (or by a signal to the whole process group): leave the task
    # through its ``finally`` clauses, so that a file half written is removed. Should
    # the exception land where Python drops it (a weakref callback), the signal is
    # sent again; the pool kills a worker that is still there after its grace time.
    signal.signal(signal.SIGTERM, _leave)
    sys.unraisablehook = _leave_again
    # Only answers travel on the pipe: anything printed goes to standard error.
    requests = os.fdopen(os.dup(0), "rb")
    replies = os.fdopen(os.dup(1), "wb")
    os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
    os.dup2(2, 1)
    while True:
        try:
            header = _read_exactly(requests, _HEADER.size)
        except EOFError:
            return
        index, function, arguments, keywords = pickle.loads(_read_exactly(requests, _HEADER.unpack(header)[0]))
        try:
            answer: tuple[int, bool, Any] = (index, True, function(*arguments, **keywords))
        except Exception as error:
            answer = (index, False, error)
        try:
            data = pickle.dumps(answer, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as error:  # an answer that cannot travel is a failure of its task
            data = pickle.dumps((index, False, RuntimeError(
                f"the result could not be sent back ({type(error).__name__}: {error})")))
        replies.write(_HEADER.pack(len(data)) + data)
        replies.flush()


class _Leave(SystemExit):
    """A worker asked to stop: raised by its SIGTERM handler."""


def _leave(signum: int, frame: types.FrameType | None) -> None:
    # Once: a second SIGTERM (the group's, then the pool's) must not cut short the
    # ``finally`` clauses that the first one runs.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise _Leave(exit_status(signal.SIGTERM))


def _leave_again(unraisable: Any) -> None:
    """A worker's hook for exceptions Python drops: a stop that landed in a callback comes again, quietly.

    Again a moment later, by an alarm: a signal raised here would be handled in
    this hook, which drops exceptions too.
    """
    if not isinstance(unraisable.exc_value, _Leave):
        sys.__unraisablehook__(unraisable)
    elif hasattr(signal, "setitimer"):  # elsewhere the pool kills the worker after its grace time
        signal.signal(signal.SIGALRM, _leave)
        signal.setitimer(signal.ITIMER_REAL, _LEAVE_AGAIN)


def _die_with(parent: int) -> None:
    """End this process when `parent` ends: by the kernel where it can, and by a watching thread."""
    if sys.platform == "linux":
        import ctypes

        with contextlib.suppress(OSError, AttributeError):
            ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # it died before the request took effect
        os._exit(1)
    import threading

    threading.Thread(target=_watch, args=(parent,), name="quor-pp parent watch", daemon=True).start()


def _watch(parent: int) -> None:
    import selectors

    try:
        descriptor = os.pidfd_open(parent)
    except (AttributeError, OSError):
        descriptor = None
    if descriptor is not None:
        with selectors.DefaultSelector() as waiter:
            waiter.register(descriptor, selectors.EVENT_READ)
            while not waiter.select():
                pass
    else:
        import time

        while os.getppid() == parent:
            time.sleep(_PARENT_POLL)
    os._exit(1)
