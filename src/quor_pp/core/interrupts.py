"""Where a stop signal may interrupt at once: long reads that look for signals between blocks.

The command's signal handler only notes a stop and lets the work stop where it
can, because an exception raised from a handler inside arbitrary code (a weakref
callback, a finaliser) can be swallowed. A native read, though, looks for signals
between blocks of the file at a known place, where an exception is never lost: there
the handler may raise at once, so that a read of gigabytes stops in a fraction of a
second. The readers mark that stretch with `raising_stops`; the handler asks
`stops_raise_here`.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Iterator

__all__ = ["raising_stops", "stops_raise_here"]

_where = threading.local()


@contextlib.contextmanager
def raising_stops() -> Iterator[None]:
    """Within the block, a stop signal handled in this thread may raise at once."""
    depth: int = getattr(_where, "depth", 0)
    _where.depth = depth + 1
    try:
        yield
    finally:
        _where.depth = depth


def stops_raise_here() -> bool:
    """Whether the calling thread (the main one, for a signal handler) is in a `raising_stops` block."""
    return bool(getattr(_where, "depth", 0))
