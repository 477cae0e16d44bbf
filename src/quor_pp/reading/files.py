"""Reading one output file: recognising its layout from its first lines, then one native read.

The native reader (`quor_pp._native`) takes the rows by the module's own rules and
reports the lines it refused, the header it used and a last row or block cut off
mid-write; this module only recognises the layout and turns that report into a
FormatError, a TruncatedFileWarning or a Table. The native reader takes a gzip
file's rows from the inflating stream, a block at a time.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from .. import _native
from ..core.interrupts import raising_stops
from .errors import FormatError, TruncatedFileWarning, fspath, quoted
from .layouts import LAYOUTS
from .logs import RunLog, parse_log, split_lines
from .source import LONGEST_LINE, Inflated, LineTooLong, is_gzip, open_regular, read_all
from .table import Table

__all__ = ["LAYOUTS", "Kind", "Table", "box_mean", "column_names", "find_file", "read"]

Kind = Literal["transport", "rdf", "thermo", "ave/time", "ave/histo", "ave/correlate", "histogram", "log"]

_ANY_LAYOUT = "a file of a known layout (" + ", ".join(LAYOUTS) + ")"
# The title line of each fix's output, as its first fields.
_TITLES = {"ave/time": ["#", "Time-averaged", "data", "for", "fix"],
           "ave/histo": ["#", "Histogrammed", "data", "for", "fix"],
           "ave/correlate": ["#", "Time-correlated", "data", "for", "fix"]}
_STEP = "TimeStep"
# Bytes read at a time for the first lines.
_HEAD_SIZE = 1 << 16
# Warnings point at the caller's line, outside this package.
_PACKAGE_DIRECTORY = os.path.dirname(os.path.abspath(__file__))


class _Head:
    """The first lines of a file, read and decoded as they are asked for."""

    def __init__(self, read: Callable[[int], bytes], path: str, expected: str) -> None:
        self.read = read
        self.path = path
        self.expected = expected
        self.data = b""
        self.end = False
        self.lines: list[str] = []
        self.fields: list[list[str]] = []
        self.start = 0  # byte offset of the line after the last one read

    def line(self, number: int) -> str | None:
        """Line `number` (from 0) without its line ending, or None when the file has fewer lines."""
        while number >= len(self.lines):
            if not self._next():
                return None
        return self.lines[number]

    def words(self, number: int) -> list[str]:
        """The fields of line `number` (none when there is no such line)."""
        return self.fields[number] if self.line(number) is not None else []

    def starts(self, number: int, prefix: str) -> bool:
        """True when line `number`, its leading whitespace aside, starts with `prefix`."""
        words = self.words(number)
        return bool(words) and words[0].startswith(prefix)

    def _next(self) -> bool:
        while (stop := self.data.find(b"\n", self.start, self.start + LONGEST_LINE + 1)) < 0:
            if len(self.data) - self.start > LONGEST_LINE:
                raise FormatError(self.path, self.expected, len(self.lines) + 1,
                                  f"a line of more than {LONGEST_LINE} bytes")
            if self.end:
                if self.start == len(self.data):
                    return False
                stop = len(self.data)
                break
            more = self.read(_HEAD_SIZE)
            self.end = not more
            self.data += more
        raw = self.data[self.start:stop]
        try:
            text = raw.removesuffix(b"\r").decode("utf-8")
        except UnicodeDecodeError:
            raise FormatError(self.path, self.expected, len(self.lines) + 1, "bytes that are not UTF-8 text") from None
        self.lines.append(text)
        self.fields.append(_native.split_fields(text))
        self.start = stop + 1
        return True


@dataclass(frozen=True)
class _Plan:
    """A recognised layout: where its column names are and how the native reader takes its rows."""

    kind: str
    names: list[str]
    header: int | None  # line (from 0) of the column names; None: the last '#Time' line
    header_line: int  # that line, for a check that the reader found it there
    clean_rows: bool = False
    block_fields: int = 0  # blocks: fields of a block's first line ("step rows ...")


def _names(path: str, kind: str, head: _Head, number: int, least: int = 1) -> list[str]:
    """Column names on line `number` ('#' deleted): at least `least` of them, none a number."""
    line = head.line(number)
    if line is None:
        raise FormatError(path, LAYOUTS[kind], None, f"the file ends before its line of column names (line {number + 1})")
    names: list[str] = _native.split_fields(line.replace("#", " "))
    if len(names) < least or any(map(_native.is_number, names)):
        raise FormatError(path, LAYOUTS[kind], number + 1, line)
    return names


def _fail(path: str, kind: str, head: _Head, number: int, otherwise: str) -> FormatError:
    line = head.line(number)
    return FormatError(path, LAYOUTS[kind], None if line is None else number + 1, otherwise if line is None else line)


def _transport(path: str, head: _Head) -> _Plan:
    header = None
    number = 0
    while head.starts(number, "#"):
        if head.starts(number, "#Time"):
            header = number
        number += 1
    if header is None:
        raise _fail(path, "transport", head, number, "no '#Time' header line")
    return _Plan("transport", _names(path, "transport", head, header, least=2), None, header, clean_rows=True)


def _rdf(path: str, head: _Head) -> _Plan:
    names = _names(path, "rdf", head, 0, least=2)
    if head.starts(0, "#Time") or head.starts(1, "#"):
        raise _fail(path, "rdf", head, 0 if head.starts(0, "#Time") else 1, "")
    return _Plan("rdf", names, 0, 0, clean_rows=True)


def _thermo(path: str, head: _Head) -> _Plan:
    for number in (0, 1):
        if not head.starts(number, "#"):
            raise _fail(path, "thermo", head, number, "the file ends before its header")
    names = _names(path, "thermo", head, 1)
    if head.words(0)[:5] == _TITLES["ave/time"] and head.starts(2, "#"):
        # fix ave/time blocks: a line of column names, then blocks, not rows of the names on line 2.
        raise _fail(path, "thermo", head, 2, "")
    return _Plan("thermo", names, 1, 1)


def _fix_output(path: str, head: _Head, kind: str) -> _Plan:
    """fix ave/time, ave/histo, ave/correlate: a title, the line of a block's first fields, then names."""
    title = "ave/time" if kind == "histogram" else kind
    if head.words(0)[:5] != _TITLES[title]:
        raise _fail(path, kind, head, 0, "an empty file")
    step_names = _names(path, kind, head, 1)
    if not head.starts(1, "#") or step_names[0].lower() != _STEP.lower():
        raise _fail(path, kind, head, 1, "")
    if not head.starts(2, "#"):
        # One row per output step (ave/time only): the names are on the TimeStep line.
        if kind != "ave/time":
            raise _fail(path, kind, head, 2, "no line of column names")
        return _Plan(kind, step_names, 1, 1)
    names = _names(path, kind, head, 2)
    if len(step_names) < 2:
        raise _fail(path, kind, head, 1, "")
    if title == "ave/time":
        is_histogram = "Coord" in names and "Count/Total" in names
        if kind == "histogram" and not is_histogram:
            raise _fail(path, kind, head, 2, "")
        kind = "histogram" if is_histogram else "ave/time"
    return _Plan(kind, names, 2, 2, block_fields=len(step_names))


def _plan(path: str, head: _Head, kind: str) -> _Plan:
    """The plan of a table of layout `kind`; FormatError when its first lines do not fit."""
    if kind == "transport":
        return _transport(path, head)
    if kind == "rdf":
        return _rdf(path, head)
    if kind == "thermo":
        return _thermo(path, head)
    return _fix_output(path, head, kind)


def recognise(head: _Head) -> str | None:
    """The layout that the first lines announce, or None."""
    line = head.line(0)
    if line is None:
        return None
    if line.startswith("LAMMPS ("):
        return "log"
    title = head.words(0)[:5]
    for kind, words in _TITLES.items():
        if title == words:
            return kind
    number = 0
    while head.starts(number, "#"):
        if head.starts(number, "#Time"):
            return "transport"
        number += 1
    # Column names on the first line and rows of as many fields after it: an rdf
    # table, '#' or not.
    names = _native.split_fields(line.replace("#", " "))
    is_names = len(names) >= 2 and not any(map(_native.is_number, names))
    if is_names and len(head.words(1)) == len(names) and not head.starts(1, "#"):
        return "rdf"
    if head.starts(0, "#"):
        return "thermo"
    return "rdf" if is_names else None


def _read_table(path: str, source: str | Inflated, plan: _Plan, expected: str) -> Table:
    with raising_stops():  # the read looks for signals between blocks: a stop may end it there
        found: dict[str, Any] = _native.read_table(source, header=plan.header, clean_rows=plan.clean_rows,
                                                   block_fields=plan.block_fields, longest_line=LONGEST_LINE)
    if found["not_utf8_line"] is not None:
        raise FormatError(path, expected, found["not_utf8_line"], "bytes that are not UTF-8 text")
    if found["long_line"] is not None:
        raise FormatError(path, expected, found["long_line"], f"a line of more than {LONGEST_LINE} bytes")
    if found["header_line"] != plan.header_line + 1:
        raise FormatError(path, expected, found["header_line"], quoted(found["header_text"]))
    names: tuple[str, ...] = found["names"]
    if list(names) != plan.names:
        raise FormatError(path, expected, None, "the file changed while it was read")
    if found["refused"]:
        line, _reason, text, size = found["refused"][0]
        raise FormatError(path, expected, line, quoted(text, size))
    first: dict[str, int] = {}
    for position, name in enumerate(names, 1):
        if name in first:
            raise FormatError(path, expected, plan.header_line + 1,
                              f"the column name {name!r} is both column {first[name]} and column {position}")
        first[name] = position
    if plan.block_fields and not found["blocks"] and found["cut"] is None:
        raise FormatError(path, expected, None, "no block of rows after the column names")
    arrays: dict[str, npt.NDArray[np.float64]] = {}
    if found["steps"] is not None and _STEP not in first:
        arrays[_STEP] = np.frombuffer(found["steps"], np.float64)
    for name, values in found["columns"].items():
        arrays[name] = np.frombuffer(values, np.float64)
    if plan.kind == "rdf" and not len(arrays[names[0]]):
        raise FormatError(path, expected, None, "no rows of numbers after the column names")
    if found["cut"] is not None:
        line, text, present, rows, size = found["cut"]
        left_out = "the line" if rows is None else f"its block ({present} of {rows} rows)"
        warnings.warn(TruncatedFileWarning(path, line, quoted(text, size), left_out),
                      skip_file_prefixes=(_PACKAGE_DIRECTORY,))
    return Table._adopt(path, plan.kind, arrays)


@overload
def read(path: str | os.PathLike[str], kind: Literal["log"]) -> RunLog: ...
@overload
def read(path: str | os.PathLike[str],
         kind: Literal["transport", "rdf", "thermo", "ave/time", "ave/histo", "ave/correlate", "histogram"]) -> Table: ...
@overload
def read(path: str | os.PathLike[str], kind: None = None) -> Table | RunLog: ...


def read(path: str | os.PathLike[str], kind: Kind | None = None) -> Table | RunLog:
    """Reads one output file of a run, recognising its layout from its content.

    Parameters
    ----------
    path : str or os.PathLike
        The file; gzip-compressed files (``.gz``, recognised by their first bytes)
        are read as the file they hold.
    kind : str, optional
        The layout the file must have (a key of `LAYOUTS`); by default it is
        recognised from the first lines.

    Returns
    -------
    Table or RunLog
        The columns of a table (for blocks of fix output, with a TimeStep column
        repeating each block's step), or what the log says for a LAMMPS log.
        Comment lines ('#') and blank lines among the rows are passed over.

    Raises
    ------
    FormatError
        When the file fits no known layout, or not the one asked for, or names a
        column twice, or holds a line longer than `source.LONGEST_LINE` bytes (the
        reading stops there); the message names the file, the layout and the first
        line that disagreed (at most a few hundred characters of it).
    OSError
        FileNotFoundError, PermissionError, IsADirectoryError, ... with errno and
        filename set; a named pipe or a device is refused (errno EINVAL) unread.

    Warns
    -----
    TruncatedFileWarning
        When the file ends in the middle of a row (a run stopped or still running):
        that last line, or for blocks the whole last block, is left out.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> table_file = pathlib.Path(tempfile.mkdtemp()) / "diffself.dat"
    >>> _ = table_file.write_text("#NOTE: units real\\n#Time\\tMSD__wat\\t\\n 0 0\\n 10 2.5e-03\\n")
    >>> table = read(table_file)
    >>> table.kind, list(table), table["MSD__wat"].tolist()
    ('transport', ['Time', 'MSD__wat'], [0.0, 0.0025])
    """
    name = fspath(path)
    if kind is not None and kind not in LAYOUTS:
        raise ValueError(f"unknown layout {kind!r} (known: {', '.join(LAYOUTS)})")
    if "\0" in name:
        raise ValueError(f"{name!r}: the path contains a NUL character")
    expected = LAYOUTS[kind] if kind else _ANY_LAYOUT
    with open_regular(name) as file:
        packed = is_gzip(file.read(2))
        file.seek(0)
        inflated = Inflated(file, name) if packed else None
        head = _Head(file.read if inflated is None else inflated.read, name, expected)
        try:
            _plain_text_start(head, name, expected)
            found = recognise(head) if kind is None else kind
            if found is None:
                first = head.line(0)
                raise FormatError(name, _ANY_LAYOUT, None if first is None else 1,
                                  "an empty file" if first is None else first)
            plan = None if found == "log" else _plan(name, head, found)
            if plan is not None:
                # The rows: read by path, or inflated a block at a time as the reader asks.
                source: str | Inflated = name if inflated is None else inflated.unread(head.data)
                return _read_table(name, source, plan, expected if kind else LAYOUTS[plan.kind])
            with raising_stops():
                data = read_all(file.read if inflated is None else inflated.read, name, head.data)
        except FormatError:
            raise
        except LineTooLong as error:
            raise FormatError(name, LAYOUTS["log"], error.line, f"a line of more than {LONGEST_LINE} bytes") from None
        except ValueError as error:  # damaged gzip data
            raise FormatError(name, expected, None, str(error).removeprefix(f"{name}: ")) from None
    return parse_log(name, split_lines(data, name))


def column_names(path: str | os.PathLike[str], kind: Literal["transport", "rdf"]) -> list[str]:
    """The column names of a table of layout `kind`, from its first lines only (the rows are not read).

    Raises
    ------
    FormatError, OSError
        As `read` does for the first lines.
    """
    name = fspath(path)
    with open_regular(name) as file:
        packed = is_gzip(file.read(2))
        file.seek(0)
        inflated = Inflated(file, name) if packed else None
        head = _Head(file.read if inflated is None else inflated.read, name, LAYOUTS[kind])
        try:
            return list(_plan(name, head, kind).names)
        except FormatError:
            raise
        except ValueError as error:  # damaged gzip data
            raise FormatError(name, LAYOUTS[kind], None, str(error).removeprefix(f"{name}: ")) from None


def _plain_text_start(head: _Head, path: str, expected: str) -> None:
    """Refuse, saying why, the starts of text that would otherwise be refused at a later line.

    A byte-order mark makes the first line's '#' the second character; lines ended by
    CR alone (old Mac text) make the whole file one line.
    """
    try:
        head.line(0)
    except FormatError:
        if b"\r" in head.data and b"\n" not in head.data:
            raise FormatError(path, expected, None, "its lines end in CR alone; convert them to LF (or CR LF)") from None
        raise
    if head.data.startswith(b"\xef\xbb\xbf"):
        raise FormatError(path, expected, 1, "a UTF-8 byte-order mark starts the file; save it without one")
    if b"\r" in head.data and b"\n" not in head.data:
        raise FormatError(path, expected, None, "its lines end in CR alone; convert them to LF (or CR LF)")


def find_file(directory: str, names: tuple[str, ...]) -> str | None:
    """The first of `names` (or its gzip-compressed form, name + ".gz") that exists in `directory`."""
    for name in names:
        for candidate in (name, name + ".gz"):
            path = os.path.join(directory, candidate)
            if os.path.exists(path):
                return path
    return None


def box_mean(path: str) -> tuple[float, int]:
    """The mean of a fix ave/time file of one value (volume.dat, density.dat) over its rows, and their count.

    An NPT run writes one row per output step: the mean is the run's average box.
    FormatError for a file of more columns, of no rows, or with a row that is not
    positive.
    """
    table = read(path, kind="ave/time")
    expected = "fix ave/time output of one value (TimeStep and one column)"
    if len(table) != 2 or table.row_count == 0:
        raise FormatError(path, expected, None, f"it has columns {', '.join(table)} and {table.row_count} rows")
    name = list(table)[1]
    values = table[name]
    # A box's volume or density is positive in every row: a zero or negative one is a
    # broken output, and averaging it in would move the run's every normalisation.
    bad = np.flatnonzero(~(values > 0.0))
    if len(bad):
        raise FormatError(path, "fix ave/time output of a positive value", None,
                          f"row {int(bad[0]) + 1} of {name} is {values[bad[0]]:g}"
                          + (f" ({len(bad)} of {len(values)} rows are not positive)" if len(bad) > 1 else ""))
    return float(np.mean(values)), len(values)
