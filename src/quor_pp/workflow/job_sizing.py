"""Whether worker processes pay for a run's replicas, judged from the bytes of their files.

A pool of worker processes starts fresh interpreters that import NumPy and the
package before the first replica is analysed: about 1 s of CPU for the pool
(`START_SECONDS`), which a shared machine pays in wall time too. The work itself
grows with the bytes of the replicas' files, about `SECONDS_PER_MEGABYTE` of CPU per
MB (reading and fitting their columns). N workers take a share (N − 1)/N of that
work off the calling process; they pay when that share is more than their start.
Below (`serial_below`: about 10 MB of files for two jobs, 6 MB for eight), the
replicas are analysed one after the other in the calling process, which is then as
fast or faster; the outcomes are the same bit for bit either way
(`parallel.map_replicas`). Threads (free-threaded Python) start at once and are
used as asked.

Both figures are measured by ``benchmarks/bench_jobs.py`` (see its docstring); the
environment variable ``QUOR_PP_SERIAL_BELOW_BYTES`` sets the threshold instead (0:
worker processes for any run, as the test suite uses them).
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from typing import Final

__all__ = ["SECONDS_PER_MEGABYTE", "START_SECONDS", "run_bytes", "serial_below", "worthwhile_jobs"]

#: CPU time of starting a pool of worker processes, s (measured: 0.8 to 1.1 s for two).
START_SECONDS: Final = 1.1

#: CPU time of analysing a megabyte of run files, s (measured on the sample run's files).
SECONDS_PER_MEGABYTE: Final = 0.22

#: What a gzip-compressed file is taken to hold per byte: the text parsed, about four
#: times the compressed size for the columns of numbers these files hold.
_COMPRESSION: Final = 4


def serial_below(jobs: int) -> int:
    """The bytes of files below which `jobs` worker processes do not pay: their start costs more than
    the share of the work they take off; the environment's ``QUOR_PP_SERIAL_BELOW_BYTES`` instead, when set
    to a whole number."""
    text = os.environ.get("QUOR_PP_SERIAL_BELOW_BYTES", "").strip()
    if text.isdigit():
        return int(text)
    share = 1.0 - 1.0 / max(jobs, 2)
    return int(START_SECONDS / (SECONDS_PER_MEGABYTE * share) * 1e6)


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
    files or more (for as many workers as replicas, at most `jobs`); threads (the
    GIL disabled) always do.
    """
    if jobs <= 1 or len(directories) < 2:
        return 1
    if not sys._is_gil_enabled():
        return jobs
    return jobs if run_bytes(directories) >= serial_below(min(jobs, len(directories))) else 1
