"""Tables kept for the second pass of an analysis: each replica is analysed with its own windows, then again.

While `tables_kept` is active, `read_kept` returns the table read before for a file of
the same path, size and modification time, so that the second pass (every replica
fitted over the replicas' shared windows) does not read and parse the files again.
It helps only where both passes run in this process (serially or in threads); worker
processes read their files as before.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator

from ..reading.files import Table, read

__all__ = ["read_kept", "tables_kept"]

_kept: dict[tuple[str, int, int, str], Table] | None = None
_users = 0
_lock = threading.Lock()


@contextlib.contextmanager
def tables_kept() -> Iterator[None]:
    """Keep every table read inside the block (nested and concurrent blocks share them)."""
    global _kept, _users
    with _lock:
        _users += 1
        if _kept is None:
            _kept = {}
    try:
        yield
    finally:
        with _lock:
            _users -= 1
            if _users == 0:
                _kept = None


def read_kept(path: str, kind: str) -> Table:
    """`read(path, kind)`, or the table kept from an earlier read of the same file."""
    kept = _kept
    if kept is None:
        return read(path, kind=kind)  # type: ignore[call-overload,no-any-return]
    stat = os.stat(path)
    key = (path, stat.st_size, stat.st_mtime_ns, kind)
    found = kept.get(key)
    if found is None:
        found = read(path, kind=kind)  # type: ignore[call-overload]
        with _lock:
            kept[key] = found
    return found
