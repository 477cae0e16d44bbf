"""Whether worker processes pay for a run's replicas, judged from the bytes of their files.

A pool of worker processes starts fresh interpreters that import NumPy and the
package before the first replica is analysed: about half a second each on an idle
core, and longer on a shared machine, where the workers' start takes the cores the
work needs. The work itself grows with the bytes of the replicas' files (reading
and fitting their columns). Below `SERIAL_BELOW_BYTES` of files, the replicas are
analysed one after the other in the calling process, which is then as fast or
faster; the outcomes are the same bit for bit either way (`parallel.map_replicas`).
Threads (free-threaded Python) start at once and are used as asked.

The threshold is measured by ``benchmarks/bench_jobs.py`` (see its docstring);
the environment variable ``QUOR_PP_SERIAL_BELOW_BYTES`` sets another (0: worker
processes for any run, as the test suite uses them).
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from typing import Final

__all__ = ["SERIAL_BELOW_BYTES", "run_bytes", "serial_below", "worthwhile_jobs"]

#: Bytes of run files (compressed ones counted as `_COMPRESSION` times their size)
#: below which worker processes do not pay on the machines measured.
SERIAL_BELOW_BYTES: Final = 16_000_000

#: What a gzip-compressed file is taken to hold per byte: the text parsed, about four
#: times the compressed size for the columns of numbers these files hold.
_COMPRESSION: Final = 4


def serial_below() -> int:
    """The bytes of files below which replicas are analysed serially: `SERIAL_BELOW_BYTES`, or the
    environment's ``QUOR_PP_SERIAL_BELOW_BYTES`` when that is a whole number of bytes."""
    text = os.environ.get("QUOR_PP_SERIAL_BELOW_BYTES", "").strip()
    return int(text) if text.isdigit() else SERIAL_BELOW_BYTES


def run_bytes(directories: Sequence[str]) -> int:
    """The bytes of the files directly in `directories`, compressed ones counted `_COMPRESSION` times.

    A directory or file that cannot be read counts nothing: its replica fails
    later, with its own message.
    """
    total = 0
    for directory in directories:
        try:
            with os.scandir(directory) as entries:
                for entry in entries:
                    try:
                        if entry.is_file():
                            size = entry.stat().st_size
                            total += size * _COMPRESSION if entry.name.endswith(".gz") else size
                    except OSError:
                        continue
        except OSError:
            continue
    return total


def worthwhile_jobs(directories: Sequence[str], jobs: int) -> int:
    """The replicas to analyse at once: `jobs`, or 1 where worker processes would not pay.

    Worker processes pay for two replicas or more with `serial_below` bytes of
    files or more; threads (the GIL disabled) always do.
    """
    if jobs <= 1 or len(directories) < 2:
        return 1
    if not sys._is_gil_enabled():
        return jobs
    return jobs if run_bytes(directories) >= serial_below() else 1
