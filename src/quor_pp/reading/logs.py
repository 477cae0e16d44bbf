"""LAMMPS logs: the unit style, the groups, the data files read and the thermodynamic output."""

from __future__ import annotations

import mmap
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from .errors import FormatError, fspath
from .layouts import LOG_LAYOUT
from .log_scan import NotTextError, scan_setup
from .source import LONGEST_LINE, Inflated, LineTooLong, is_gzip, open_regular, read_all, read_bytes
from .table import Table

if TYPE_CHECKING:
    import pandas

__all__ = ["RunLog", "group_counts", "read_log"]




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
    events : tuple of tuple of str
        The commands that decide the run's atoms and groups, and the counts LAMMPS
        printed after them, in order (see `quor_pp.reading.log_scan.LogSetup`).
    """

    path: str
    units: str | None
    groups: dict[str, int] = field(default_factory=dict)
    kind: str = "log"
    thermo: tuple[Table, ...] = ()
    read_data: tuple[str, ...] = ()
    group_definitions: dict[str, tuple[tuple[str, ...], ...]] = field(default_factory=dict)
    atom_style: str | None = None
    events: tuple[tuple[str, ...], ...] = ()

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
    return parse_log_content(path, "\n".join(lines), lines)


def parse_log_content(path: str, content: str | bytes | bytearray | mmap.mmap, lines: list[str] | None = None,
                      *, thermo: bool = True) -> RunLog:
    """The RunLog of a log's content; its thermodynamic output only with `thermo` (from `lines` when given)."""
    raw = content.encode() if isinstance(content, str) else content
    if not raw[:8] == b"LAMMPS (":
        if not len(raw):
            raise FormatError(path, LOG_LAYOUT, None, "an empty file")
        end = raw.find(b"\n")
        first = bytes(raw[:end if 0 <= end < 300 else 300]).decode("utf-8", "replace").removesuffix("\r")
        if first.startswith("\ufeff"):
            first = "a UTF-8 byte-order mark before 'LAMMPS ('; save the file without it" \
                if first[1:].startswith("LAMMPS (") else first
        raise FormatError(path, LOG_LAYOUT, 1, first)
    try:
        setup = scan_setup(raw, LONGEST_LINE)
    except NotTextError as error:
        raise FormatError(path, LOG_LAYOUT, error.line, "bytes that are not UTF-8 text") from None
    except LineTooLong as error:
        raise FormatError(path, LOG_LAYOUT, error.line, f"a line of more than {error.longest} bytes") from None
    data_files: list[str] = []
    atom_style: str | None = None
    groups: dict[str, list[tuple[str, ...]]] = {}
    for words in setup.events:
        if words[0] == "read_data":
            data_files.append(words[1].strip("'\""))
        elif words[0] == "atom_style":
            atom_style = words[1]
        elif words[0] == "group" and len(words) >= 3:
            name, command = words[1], words[2:]
            if command == ("delete",):
                groups.pop(name, None)
            elif command == ("clear",):
                groups[name] = []
            else:
                groups.setdefault(name, []).append(command)
    runs = thermo_output(path, lines if lines is not None else split_lines(bytes(raw), path)) if thermo else ()
    return RunLog(path, setup.units, setup.groups, thermo=runs, read_data=tuple(data_files),
                  group_definitions={name: tuple(commands) for name, commands in groups.items()},
                  atom_style=atom_style, events=setup.events)


def read_log(log: str | os.PathLike[str], *, thermo: bool = True) -> RunLog:
    """Reads a LAMMPS log.

    Parameters
    ----------
    log : str or os.PathLike
        Path of the log (``log.lammps``).
    thermo : bool
        Read its thermodynamic output too (the bulk of a long log); without, the
        setup alone is read, in a small part of the time.

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
    if thermo:
        return parse_log(path, split_lines(read_bytes(path), path))
    with open_regular(path) as file:
        if is_gzip(file.read(2)):
            file.seek(0)
            try:
                return parse_log_content(path, read_all(Inflated(file, path).read, path), thermo=False)
            except ValueError as error:
                if isinstance(error, FormatError):
                    raise
                raise FormatError(path, LOG_LAYOUT, None, str(error).removeprefix(f"{path}: ")) from None
        if os.fstat(file.fileno()).st_size == 0:
            return parse_log_content(path, b"", thermo=False)
        # The setup is found in the file mapped into memory: a long log is never copied.
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as content:
            return parse_log_content(path, content, thermo=False)


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
    return dict(read_log(log, thermo=False).groups)
