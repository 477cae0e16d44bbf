"""LAMMPS data files parsed once per content: the replicas of a run usually start from one data file."""

from __future__ import annotations

import threading

from .molecules import DataFile, read_data_file
from .source import open_regular

__all__ = ["data_file"]

# The data files read, by their content and atom style.
_DATA_FILES: dict[tuple[int, int, str | None], DataFile] = {}
_DATA_FILES_KEPT = 16
_DATA_FILES_LOCK = threading.Lock()


def data_file(path: str, atom_style: str | None) -> DataFile:
    """The data file at `path`, parsed once for files of one content.

    Raises what `read_data_file` raises (nothing is kept then).
    """
    with open_regular(path) as stream:  # a pipe or device named like the data file is refused, never waited on
        content = stream.read()
    # Files of one content share their atoms. Python's 64-bit hash of the bytes with their
    # length tells contents apart as surely as a run needs, without loading a digest library.
    key = (len(content), hash(content), atom_style)
    del content
    found = _DATA_FILES.get(key)
    if found is not None:
        return found
    data = read_data_file(path, atom_style)
    with _DATA_FILES_LOCK:
        if len(_DATA_FILES) >= _DATA_FILES_KEPT:
            del _DATA_FILES[next(iter(_DATA_FILES))]
        _DATA_FILES[key] = data
    return data
