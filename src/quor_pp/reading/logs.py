"""LAMMPS logs: the unit style, the groups, the data files read and the thermodynamic output."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from .errors import FormatError, fspath
from .layouts import LOG_LAYOUT
from .molecules import scan_commands
from .source import read_bytes
from .table import Table

if TYPE_CHECKING:
    import pandas

__all__ = ["RunLog", "group_counts", "read_log"]


# What LAMMPS prints after each group command, whatever whitespace the input used.
_GROUP_COUNT = re.compile(r"\s*(\d+) atoms in group (\S+)\s*")
# The echoed input command that sets the unit style.
_UNITS = re.compile(r"\s*units\s+(\S+)(?:\s.*)?")


@dataclass(frozen=True)
class RunLog:
    """What quor_pp takes from a LAMMPS log.

    Attributes
    ----------
    path : str
        The log file.
    units : str or None
        The unit style of the last `units` command echoed in the log, or None.
    groups : dict of str to int
        Atom count of every group, as LAMMPS printed it; a group defined again keeps
        its last count.
    kind : str
        Always "log".
    thermo : tuple of Table
        The thermodynamic output of each run, in order: a table (kind "log") of the
        columns under a "Step ..." heading (Step, Temp, Press, Volume, ...), as
        read-only arrays. A line that is no row (a warning) ends a run's table;
        headings without rows are left out.
    read_data : tuple of str
        The file named by each `read_data` command, in order, as written in the log.
    group_definitions : dict of str to tuple of tuple of str
        For each group, the words after its name of every `group` command that
        names it, in order (a later command adds to or changes the group, so all
        are kept; `group NAME delete` removes it and `clear` starts it again):
        ``{"wat": (("type", "1", "2"),)}``.
    atom_style : str or None
        The style of the last `atom_style` command, which says the layout of the
        data file's atoms.
    """

    path: str
    units: str | None
    groups: dict[str, int] = field(default_factory=dict)
    kind: str = "log"
    thermo: tuple[Table, ...] = ()
    read_data: tuple[str, ...] = ()
    group_definitions: dict[str, tuple[tuple[str, ...], ...]] = field(default_factory=dict)
    atom_style: str | None = None

    def to_pandas(self) -> pandas.DataFrame:
        """The group counts as a DataFrame with columns `group` and `atoms`."""
        import pandas

        return pandas.DataFrame({"group": list(self.groups), "atoms": list(self.groups.values())})


def split_lines(data: bytes, path: str) -> list[str]:
    """The lines of a log's UTF-8 text (a CR before a LF goes with it); FormatError naming a line that is not UTF-8."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise FormatError(path, LOG_LAYOUT, line, "bytes that are not UTF-8 text") from None
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line.removesuffix("\r") for line in lines]


def _numbers(words: list[str]) -> list[float] | None:
    try:
        return [float(word) for word in words]
    except ValueError:
        return None


def thermo_output(path: str, lines: list[str]) -> tuple[Table, ...]:
    """Every block of thermodynamic output: a 'Step ...' heading, then rows of as many numbers."""
    runs: list[Table] = []
    names: list[str] | None = None
    rows: list[list[float]] = []
    for line in lines:
        words = line.split()
        if names is not None:
            values = _numbers(words) if len(words) == len(names) else None
            if values is not None:
                rows.append(values)
                continue
            if rows:
                columns = np.array(rows, dtype=np.float64).T
                runs.append(Table(path, "log", dict(zip(names, columns))))
            names, rows = None, []
        if len(words) > 1 and words[0] == "Step" and _numbers(words[1:2]) is None:
            names = words
    if names is not None and rows:
        runs.append(Table(path, "log", dict(zip(names, np.array(rows, dtype=np.float64).T))))
    return tuple(runs)


def parse_log(path: str, lines: list[str]) -> RunLog:
    """The RunLog of a log already split into lines."""
    if not lines or not lines[0].startswith("LAMMPS ("):
        first = lines[0] if lines else "an empty file"
        raise FormatError(path, LOG_LAYOUT, 1 if lines else None, first)
    units: str | None = None
    groups: dict[str, int] = {}
    for line in lines:
        match = _GROUP_COUNT.fullmatch(line)
        if match is not None:
            groups.pop(match[2], None)  # a redefined group moves to where it was last counted
            groups[match[2]] = int(match[1])
            continue
        match = _UNITS.fullmatch(line)
        if match is not None:
            units = match[1]
    setup = scan_commands(lines)
    return RunLog(path, units, groups, thermo=thermo_output(path, lines), read_data=setup.data_files,
                  group_definitions={name: tuple(tuple(command) for command in commands)
                                     for name, commands in setup.groups.items()},
                  atom_style=setup.atom_style)


def read_log(log: str | os.PathLike[str]) -> RunLog:
    """Reads a LAMMPS log.

    Parameters
    ----------
    log : str or os.PathLike
        Path of the log (``log.lammps``).

    Returns
    -------
    RunLog
        The unit style and the group counts.

    Raises
    ------
    FormatError
        When the file is not a LAMMPS log.
    OSError
        When it cannot be read (FileNotFoundError, PermissionError, ...).
    """
    path = fspath(log)
    return parse_log(path, split_lines(read_bytes(path), path))


def group_counts(log: str | os.PathLike[str]) -> dict[str, int]:
    """Atom count of every group in a LAMMPS log.

    Takes the lines LAMMPS prints itself, "N atoms in group NAME", so the whitespace
    of the input's `group` commands (tabs, aligned blanks) does not matter.

    Parameters
    ----------
    log : str or os.PathLike
        Path of the log.

    Returns
    -------
    dict of str to int
        Group name to atom count, in the order the groups were last counted; a group
        defined again keeps its last count.

    Raises
    ------
    FormatError
        When the file is not a LAMMPS log.
    OSError
        When it cannot be read.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> log = pathlib.Path(tempfile.mkdtemp()) / "log.lammps"
    >>> _ = log.write_text("LAMMPS (7 Feb 2024)\\ngroup\\twat\\ttype 1\\n1000 atoms in group wat\\n")
    >>> group_counts(log)
    {'wat': 1000}
    """
    return dict(read_log(log).groups)
