"""The sample run shipped with the package: 1 mol/kg NaCl in water, four replicas, `real` units.

The wheel carries it under ``quor_pp/data/run``; in a source tree it is
``examples/data/run``. Either way `sample_run` gives its directory, to read in
place, and `copy_sample_run` copies it to where a user can look at it and write
beside it (what ``quor-pp example DIR`` does).
"""

from __future__ import annotations

import os
import shutil
from pathlib import Path
from typing import Final

__all__ = ["SAMPLE_CHARGES", "copy_sample_run", "sample_run"]

#: The ions' charges of the sample run, in units of e (``--charge Na=1,Cl=-1``).
SAMPLE_CHARGES: Final = {"Na": 1, "Cl": -1}

_PACKAGE: Final = Path(__file__).resolve().parent
# Installed wheel first; then the repository the package is imported from.
_PLACES: Final = (_PACKAGE / "data" / "run", _PACKAGE.parent.parent / "examples" / "data" / "run")


def sample_run() -> str:
    """The directory of the sample run (its replicas ``replica_1`` ... ``replica_4``).

    The files are the package's own: read them, do not write into the directory.

    Returns
    -------
    str
        An absolute path.

    Raises
    ------
    FileNotFoundError
        The package was installed without its sample (a build that left out its data).

    Examples
    --------
    >>> import os, quor_pp
    >>> from quor_pp.datasets import SAMPLE_CHARGES, sample_run
    >>> sorted(os.listdir(sample_run()))[:2]
    ['replica_1', 'replica_2']
    >>> report = quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES)
    >>> report.row("temperature").n
    4
    """
    for place in _PLACES:
        if (place / "replica_1").is_dir():
            return str(place)
    raise FileNotFoundError(f"the sample run is not installed (looked in {', '.join(map(str, _PLACES))})")


def copy_sample_run(directory: str | os.PathLike[str]) -> str:
    """Copy the sample run into `directory`, made for it, and return its path.

    Parameters
    ----------
    directory : str or os.PathLike
        Where the replicas go; it must not exist yet, or be empty.

    Returns
    -------
    str
        `directory`, as given (a str).

    Raises
    ------
    FileExistsError
        `directory` exists and holds something (nothing is overwritten).
    NotADirectoryError
        `directory` is a file.
    FileNotFoundError
        The sample run is not installed.
    """
    source = sample_run()
    target = os.fspath(directory)
    if os.path.isdir(target):
        if os.listdir(target):
            raise FileExistsError(f"{target} exists and is not empty: the sample run needs a new directory")
        os.rmdir(target)
    elif os.path.lexists(target):
        raise NotADirectoryError(f"{target} is not a directory")
    shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))
    return target
