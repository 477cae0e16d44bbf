"""The work of one task, whichever engine runs it: a replica analysed with any failure kept as its outcome.

Every engine of `parallel` runs `analyze_task` (or a batch of them) and reads the
outcomes back with the same rules: a failure is one line, warnings travel with the
result, and the arrays of a result from another process are made read-only.
"""

from __future__ import annotations

import contextlib
import operator
import dataclasses
import gc
import pickle
import warnings
from collections.abc import Callable, Sequence
from typing import Final, TypeAlias

import numpy as np

from ..analysis.fitting import Fit
from ..analysis.transport import AnalysisSettings, ReplicaFailure, ReplicaResult, analyze_replica

__all__ = ["STOP_POLL", "Caught", "Outcome", "Task", "analyze_batch", "analyze_task"]

# Longest wait for threads or a cluster between two looks for a stop signal, s.
STOP_POLL: Final = 0.1

Outcome: TypeAlias = ReplicaResult | ReplicaFailure
Task: TypeAlias = tuple[str, AnalysisSettings]

# A warning raised while a replica was analysed: category, message, file and line.
# Pools and clusters catch them where they are raised and send them back with the
# result; `map_replicas` raises them again in the calling thread, in task order.
Caught: TypeAlias = tuple[type[Warning], str, str, int]

# The fit arrays a result carries.
_ARRAYS: Final = ("time", "msd", "t_fit", "fit")

# Longest reason a failure keeps from its exception's message, in characters.
_REASON_LENGTH: Final = 300


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
