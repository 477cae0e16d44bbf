"""Finding a run's replicas: a directory with transport tables, or the subdirectories that have them."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable
from typing import Any

from ..analysis.settings import RunFiles
from ..reading.errors import fspath

__all__ = ["find_replicas", "natural_key"]


def natural_key(name: str) -> list[Any]:
    """Sort key that puts replica_2 before replica_10."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", name)]


def _is_run(directory: str, files: RunFiles) -> bool:
    return any(os.path.isfile(os.path.join(directory, name + suffix))
               for name in files.curve_files() for suffix in ("", ".gz"))


def _replicas_of(path: str, files: RunFiles) -> list[str]:
    if not os.path.isdir(path):
        code = 20 if os.path.exists(path) else 2
        raise OSError(code, os.strerror(code), path)
    if _is_run(path, files):
        return [path]
    found = sorted((entry.path for entry in os.scandir(path) if entry.is_dir() and _is_run(entry.path, files)),
                   key=lambda p: natural_key(os.path.basename(p)))
    if not found:
        raise FileNotFoundError(2, f"no transport tables ({files.diffself[0]}, {files.viscosity[0]}, ...) "
                                   "in this directory or its subdirectories", path)
    return found


def find_replicas(runs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                  files: RunFiles = RunFiles()) -> list[str]:
    """The replica directories of `runs`, each once, in the order given.

    A directory that holds transport tables is one replica; otherwise each of its
    subdirectories that holds them is one, in natural order (replica_2 before
    replica_10). Of a list of runs, each is expanded so, a directory reached twice
    (by the same path, or by another path to it) is taken once, and a path that is
    no directory is kept as it is (its analysis reports it as a failed replica).

    Raises
    ------
    OSError
        A run is missing (FileNotFoundError), not a directory, or holds no replica.
    """
    if isinstance(runs, (str, os.PathLike)):
        return _replicas_of(fspath(runs), files)
    if isinstance(runs, (bytes, bytearray, memoryview)):  # iterating would give numbers, not paths
        raise TypeError(f"runs must be a str or os.PathLike path (or several), not {type(runs).__name__}; "
                        "decode a bytes path with os.fsdecode")
    found: dict[str, str] = {}
    for run in runs:
        # In a list, a path that is no directory is kept: its analysis reports it as a failed replica.
        path = fspath(run)
        for directory in _replicas_of(path, files) if os.path.isdir(path) else [path]:
            found.setdefault(os.path.realpath(directory), directory)
    return list(found.values())
