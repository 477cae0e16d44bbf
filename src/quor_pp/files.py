"""Reading one output file: recognising its layout and reading it with the matching native reader.

The layout is recognised from the first lines, and the native reader reads the values.
Three checks of decreasing speed make sure that it took every row, each used only
when the one before cannot tell:

1. One pass of NumPy comparisons over the file's bytes counts its fields (and for fix
   ave/time blocks its lines): when they come to the rows the reader took times the
   number of columns, every line after the header is blank or a row of exactly that
   width. Only the last lines are looked at in Python, for a row cut off mid-write.
2. With comment lines among the rows, NumPy finds the lines that are not plainly rows
   (a '#', a byte that is not ASCII, another number of fields) and only those are
   looked at in Python.
3. Line by line: to name the first line at fault.
"""

from __future__ import annotations

import dataclasses
import os
import warnings
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, BinaryIO, Literal, overload

import numpy as np
import numpy.typing as npt

import _quor_pp

from .errors import FormatError, TruncatedFileWarning, fspath, native_read
from .logs import LOG_LAYOUT, RunLog, parse_log
from .text import (
    LineShapes,
    Scan,
    clean_line,
    count_lines,
    decode_line,
    fields,
    first_line_not_utf8,
    is_count,
    is_cut_count,
    is_cut_row,
    is_number,
    is_row,
    line_shapes,
    scan,
    split_lines,
    strip_leading,
)

if TYPE_CHECKING:
    import pandas

__all__ = ["LAYOUTS", "Kind", "Table", "read"]

Kind = Literal["transport", "rdf", "thermo", "ave/time", "histogram", "log"]

#: Every layout that `read` recognises, with the words its FormatError uses for it.
LAYOUTS: dict[str, str] = {
    "transport": "a transport table ('#' comment lines, a '#Time' header, rows of numbers)",
    "rdf": "an rdf table (column names on the first line, rows of numbers)",
    "thermo": "a thermodynamic-property table (a '#' title line, a '#' line of column names, rows of numbers)",
    "ave/time": "fix ave/time output ('# Time-averaged data for fix ...', '# TimeStep ...', rows or blocks of rows)",
    "histogram": "a bond-angle histogram (fix ave/time blocks with columns Coord and Count/Total)",
    "log": LOG_LAYOUT,
}
_ANY_LAYOUT = "a file of a known layout (" + ", ".join(LAYOUTS) + ")"
_AVE_TIME_TITLE = "# Time-averaged data for fix"
# Bytes read for the first lines; more are read when the header lines are longer.
_HEAD_SIZE = 1 << 16
# Reads of a file that keeps changing under the reader before read() gives up.
_ATTEMPTS = 3
# Warnings point at the caller's line, outside this package.
_PACKAGE_DIRECTORY = os.path.dirname(os.path.abspath(__file__))

_Columns = dict[str, list[float]]


class Table(Mapping[str, npt.NDArray[np.float64]]):
    """Columns of one output file, by name, as read-only NumPy arrays.

    Attributes
    ----------
    path : str
        The file.
    kind : str
        Its layout, one of the keys of `LAYOUTS`.
    """

    __slots__ = ("_columns", "kind", "path")

    def __init__(self, path: str, kind: str, columns: Mapping[str, npt.ArrayLike]) -> None:
        self.path = path
        self.kind = kind
        self._columns: dict[str, npt.NDArray[np.float64]] = {}
        for name, values in columns.items():
            array = np.array(values, dtype=np.float64)
            array.setflags(write=False)
            self._columns[name] = array

    @classmethod
    def _adopt(cls, path: str, kind: str, columns: dict[str, npt.NDArray[np.float64]]) -> Table:
        """A table holding these arrays themselves, made read-only (no copy)."""
        table = cls.__new__(cls)
        table.path = path
        table.kind = kind
        for array in columns.values():
            array.setflags(write=False)
        table._columns = columns
        return table

    def __getitem__(self, name: str) -> npt.NDArray[np.float64]:
        try:
            return self._columns[name]
        except KeyError:
            raise KeyError(f"{self.path} has no column {name!r} (columns: {', '.join(self._columns)})") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    @property
    def rows(self) -> int:
        """Number of rows."""
        return next((len(column) for column in self._columns.values()), 0)

    def __repr__(self) -> str:
        names = ", ".join(self._columns)
        return f"Table({self.path!r}, kind={self.kind!r}, rows={self.rows}, columns=[{names}])"

    def to_pandas(self) -> pandas.DataFrame:
        """The columns as a DataFrame (needs pandas)."""
        import pandas

        return pandas.DataFrame({name: np.array(column) for name, column in self._columns.items()})


class _Head:
    """The first lines of a file, read and decoded as they are asked for."""

    def __init__(self, file: BinaryIO, path: str, expected: str) -> None:
        self.file = file
        self.path = path
        self.expected = expected
        self.data = b""
        self.end = False
        self.lines: list[str] = []
        self.starts = [0]  # byte offset of each line, and of the line after the last one read

    def line(self, number: int) -> str | None:
        """Line `number` (from 0) without its line ending, or None when the file has fewer lines."""
        while number >= len(self.lines):
            if not self._next():
                return None
        return self.lines[number]

    def offset(self, number: int) -> int:
        """Byte offset where line `number` starts (the file's size when there is no such line)."""
        while number >= len(self.lines) and self._next():
            pass
        return self.starts[min(number, len(self.starts) - 1)]

    def _next(self) -> bool:
        start = self.starts[-1]
        while (stop := self.data.find(b"\n", start)) < 0:
            if self.end:
                if start == len(self.data):
                    return False
                stop = len(self.data)
                break
            more = self.file.read(max(_HEAD_SIZE, len(self.data)))
            self.end = not more
            self.data += more
        text = decode_line(self.data[start:stop])
        if text is None:
            raise FormatError(self.path, self.expected, len(self.lines) + 1, "bytes that are not UTF-8 text")
        self.lines.append(text)
        self.starts.append(stop + 1)
        return True


@dataclass(frozen=True)
class _Plan:
    """A recognised layout: its header, where its rows begin, and the native reader for it."""

    kind: str
    expected: str  # the words of a FormatError: the layout that was asked for
    names: list[str]
    first: int  # number (from 0) of the first line after the header lines
    reader: Callable[[str], _Columns]
    # The reader deletes every '#' of a line before taking its fields.
    clean: bool = False
    # fix ave/time blocks: the fields of each block's first line ("TimeStep
    # Number-of-rows ..."); 0 for a table of rows.
    block_fields: int = 0

    @property
    def width(self) -> int:
        return len(self.names)


def _names(path: str, kind: str, head: _Head, number: int, least: int = 1) -> list[str]:
    """Column names on line `number`: at least `least` of them, none a number."""
    line = head.line(number)
    if line is None:
        raise FormatError(path, LAYOUTS[kind], None, f"the file ends before its line of column names (line {number + 1})")
    names = fields(clean_line(line))
    if len(names) < least or any(map(is_number, names)):
        raise FormatError(path, LAYOUTS[kind], number + 1, line)
    return names


def _transport(path: str, head: _Head) -> _Plan:
    header = None
    number = 0
    while (line := head.line(number)) is not None and strip_leading(line).startswith("#"):
        if strip_leading(line).startswith("#Time"):
            header = number
        number += 1
    if header is None:
        raise FormatError(path, LAYOUTS["transport"], None if line is None else number + 1,
                          "no '#Time' header line" if line is None else line)
    names = _names(path, "transport", head, header, least=2)
    return _Plan("transport", LAYOUTS["transport"], names, header + 1, _quor_pp.parse_quor_file, clean=True)


def _rdf(path: str, head: _Head) -> _Plan:
    names = _names(path, "rdf", head, 0, least=2)
    first = head.line(0)
    assert first is not None
    if strip_leading(first).startswith("#Time"):
        raise FormatError(path, LAYOUTS["rdf"], 1, first)
    return _Plan("rdf", LAYOUTS["rdf"], names, 1, _quor_pp.parse_quor_file, clean=True)


def _thermo(path: str, head: _Head) -> _Plan:
    for number in (0, 1):
        line = head.line(number)
        if line is None or not strip_leading(line).startswith("#"):
            raise FormatError(path, LAYOUTS["thermo"], None if line is None else number + 1,
                              "the file ends before its header" if line is None else line)
    names = _names(path, "thermo", head, 1)
    title, third = head.line(0), head.line(2)
    assert title is not None
    if strip_leading(title).startswith(_AVE_TIME_TITLE) and third is not None and strip_leading(third).startswith("#"):
        # fix ave/time blocks: a line of column names, then blocks, not rows of the names on line 2.
        raise FormatError(path, LAYOUTS["thermo"], 3, third)
    return _Plan("thermo", LAYOUTS["thermo"], names, 2, _quor_pp.parse_thermoprop)


def _ave_time(path: str, head: _Head, kind: str = "ave/time") -> _Plan:
    expected = LAYOUTS[kind]
    title = head.line(0)
    if title is None or not strip_leading(title).startswith(_AVE_TIME_TITLE):
        raise FormatError(path, expected, None if title is None else 1, "an empty file" if title is None else title)
    step_names = _names(path, kind, head, 1)
    steps = head.line(1)
    assert steps is not None
    if not strip_leading(steps).startswith("#") or step_names[0] != "TimeStep":
        raise FormatError(path, expected, 2, steps)
    third = head.line(2)
    if third is None or not strip_leading(third).startswith("#"):
        # One row per output step: the names are on the TimeStep line.
        if kind == "histogram":
            raise FormatError(path, expected, None if third is None else 3,
                              "no line of column names" if third is None else third)
        return _Plan(kind, expected, step_names, 2, _quor_pp.parse_thermoprop)
    # Blocks: a line "TimeStep Number-of-rows ...", then that many rows of the named columns.
    names = _names(path, kind, head, 2)
    if len(step_names) < 2:
        raise FormatError(path, expected, 2, steps)
    is_histogram = "Coord" in names and "Count/Total" in names
    if kind == "histogram" and not is_histogram:
        raise FormatError(path, expected, 3, third)
    return _Plan("histogram" if is_histogram else "ave/time", expected, names, 3, _quor_pp.parse_bond_angle,
                 block_fields=len(step_names))


_PLANS: dict[str, Callable[[str, _Head], _Plan]] = {
    "transport": _transport,
    "rdf": _rdf,
    "thermo": _thermo,
    "ave/time": _ave_time,
    "histogram": lambda path, head: _ave_time(path, head, "histogram"),
}


def recognise(head: _Head) -> str | None:
    """The layout that the first lines announce, or None."""
    line = head.line(0)
    if line is None:
        return None
    if line.startswith("LAMMPS ("):
        return "log"
    first = strip_leading(line)
    if first.startswith(_AVE_TIME_TITLE):
        return "ave/time"
    number = 0
    while (text := head.line(number)) is not None and strip_leading(text).startswith("#"):
        if strip_leading(text).startswith("#Time"):
            return "transport"
        number += 1
    if first.startswith("#"):
        return "thermo"
    names = fields(clean_line(line))
    if len(names) >= 2 and not any(map(is_number, names)):
        return "rdf"
    return None


@dataclass
class _Rows:
    """Which of the native reader's rows make the table, as a check of the file found them."""

    native: int  # rows the native reader takes from the file
    kept: int | npt.NDArray[np.intp]  # the table's rows: the first `kept` of them, or these
    steps: npt.NDArray[np.float64] | None = None  # fix ave/time blocks: each kept row's TimeStep
    warning: TruncatedFileWarning | None = None


def _status(text: str, plan: _Plan) -> str:
    """What a line after the header lines is, for a table of `plan.width` columns.

    "row" (a row of exactly that many numbers), "wide" (a row with more fields),
    "blank", "comment" (a '#' line that is no row), "header" (a '#Time' line, which
    would start a new table for the transport reader), "cut" (the beginning of a row,
    as a line cut off mid-write looks), or "bad".
    """
    stripped = strip_leading(text)
    if stripped.startswith("#Time"):
        return "header"
    values = fields(text.replace("#", "") if plan.clean else text)
    if not values:
        return "blank"
    if is_row(values, plan.width):
        return "row" if len(values) == plan.width else "wide"
    if stripped.startswith("#"):
        return "comment"
    return "cut" if is_cut_row(values, plan.width) else "bad"


def _is_block_line(values: list[str], width: int) -> bool:
    """True for the first line of a fix ave/time block: TimeStep, Number-of-rows, ... (`width` numbers)."""
    return len(values) == width and is_count(values[0]) and is_count(values[1]) and all(map(is_number, values))


def _is_cut_block_line(values: list[str], width: int) -> bool:
    """True when these fields may be the beginning of a block's first line, cut off mid-write."""
    if not 0 < len(values) <= width:
        return False
    *whole, last = values
    counts, numbers = whole[:2], whole[2:]
    if not all(map(is_count, counts)) or not all(map(is_number, numbers)):
        return False
    return is_cut_count(last) if len(whole) < 2 else is_cut_row([last], 1)


def _block_rows(blocks: list[tuple[int, int, int, str]], native: int, block_lines_are_rows: bool,
                kept: npt.NDArray[np.intp] | None, warning: TruncatedFileWarning | None) -> _Rows:
    """The rows of complete blocks (line, step, rows, text); `kept` when already known."""
    counts = np.array([rows for _, _, rows, _ in blocks], dtype=np.intp)
    steps = np.repeat(np.array([float(step) for _, step, _, _ in blocks]), counts)
    if kept is None:
        total = int(counts.sum())
        if block_lines_are_rows and len(blocks) > 1:
            # The reader takes the first line of every block but the first as a row:
            # block k's rows sit k places further on.
            kept = np.arange(total, dtype=np.intp) + np.repeat(np.arange(len(blocks), dtype=np.intp), counts)
        else:
            return _Rows(native, total, steps, warning)
    return _Rows(native, kept, steps, warning)


def _fast_rows(path: str, plan: _Plan, counted: Scan, count_lines: Callable[[], int]) -> _Rows | None:
    """The rows of a table of rows from the field count of one pass, or None when it cannot tell.

    The reader takes a row from each line of at least `plan.width` fields. When the
    lines after the header hold R × width fields and the reader took R rows, every
    line is thus blank or a row of exactly `width` fields. The last line with fields
    may also be a comment or a row cut off mid-write: its own fields are then added
    to the count. `count_lines` gives the number of lines after the header, for the
    warning about a cut row.
    """
    if not counted.ascii:
        return None
    tail = [line.decode("ascii") for line in counted.tail]
    k = len(tail) - 1
    while k >= 0 and _status(tail[k], plan) == "blank":
        k -= 1
    if k < 0:
        # No line with fields in sight: only a pass that saw every line can tell.
        if counted.tail_first != 0 or counted.fields != sum(len(line.split()) for line in tail):
            return None
        return _Rows(0, 0)
    status = _status(tail[k], plan)
    if status not in ("row", "comment", "cut"):
        return None
    last_fields = len(tail[k].split())
    rows, rest = divmod(counted.fields - last_fields, plan.width)
    if rest or rows < 0:
        return None
    if status == "row":
        rows += 1
    warning = None
    if status == "cut":
        number = plan.first + count_lines() - (len(tail) - k) + 1
        warning = TruncatedFileWarning(path, number, tail[k])
    return _Rows(rows, rows, warning=warning)


class _BlockWalk:
    """Follows the blocks of fix ave/time output through `scan`: a block's first line says how many rows follow."""

    def __init__(self, plan: _Plan) -> None:
        self.width = plan.block_fields
        self.blocks: list[tuple[int, int, int, str]] = []  # line from the first block, step, rows, text
        self.stopped: tuple[int, str | None] | None = None  # the line that was no block's first line
        self.last = b""  # the last block's first line

    def __call__(self, number: int, raw: bytes) -> int | None:
        # ASCII fields: the pass's verdict is not used for other text. Other forms of
        # a block's first line ('+5') are left to the line-by-line check.
        values = raw.split()
        if (len(values) != self.width or not values[0].isdigit() or not values[1].isdigit()
                or not all(is_number(value.decode("ascii", "replace")) for value in values[2:])):
            self.stopped = (number, decode_line(raw))
            return None
        rows = int(values[1])
        self.blocks.append((number, int(values[0]), rows, ""))
        self.last = raw
        return number + rows + 1


def _fast_blocks(path: str, plan: _Plan, counted: Scan, walk: _BlockWalk) -> _Rows | None:
    """The rows of fix ave/time blocks from one pass, or None when the counts cannot tell.

    Every line must be a block's first line where the blocks say so, and a row of
    exactly `plan.width` fields elsewhere; only the last block may end early, or the
    last line be a block's first line cut off.
    """
    if not counted.ascii or not walk.blocks or not counted.tail:
        return None
    lines, step_fields, width = counted.lines, plan.block_fields, plan.width
    blocks = walk.blocks
    complete = blocks
    extra_fields = 0  # fields of a last line cut off
    cut_row = False
    taken = 0  # a last line cut off that the reader takes as a row
    warning = None
    if walk.stopped is not None:
        number, text = walk.stopped
        values = fields(text) if text is not None else []
        if number != lines - 1 or text is None or not _is_cut_block_line(values, step_fields):
            return None
        extra_fields = len(values)
        taken = int(plan.first + number >= 4 and is_row(values, width))
        warning = TruncatedFileWarning(path, plan.first + number + 1, text)
        row_lines = lines - 1 - len(blocks)
    else:
        start, _, rows, text = blocks[-1]
        text = text or decode_line(walk.last) or ""
        present = lines - start - 1
        if present > rows:
            return None
        if present > 0:
            last = counted.tail[-1].decode("ascii")
            status = _status(last, plan)
            if status not in ("row", "cut"):
                return None
            cut_row = status == "cut"
            extra_fields = len(last.split()) if cut_row else 0
        if present < rows or cut_row:
            complete = blocks[:-1]
            warning = TruncatedFileWarning(path, plan.first + start + 1, text,
                                           f"its block ({present - cut_row} of {rows} rows)")
        row_lines = lines - len(blocks) - cut_row
    if counted.fields != len(blocks) * step_fields + row_lines * width + extra_fields:
        return None
    block_lines_are_rows = step_fields >= width
    native = row_lines + (len(blocks) - 1 if block_lines_are_rows else 0) + taken
    return _block_rows(complete, native, block_lines_are_rows, None, warning)


def _odd_lines(plan: _Plan, data: bytes, shapes: LineShapes,
               allowed: frozenset[str]) -> tuple[dict[int, str], int, str] | None:
    """The status of each line after the header lines that is neither plainly a row nor blank.

    Also the number and status of the last line with fields (which may look like a
    row when it is one cut off): -1 and "blank" when there is none. None as soon as a
    line before the last one with fields has a status not `allowed`.
    """
    plain = ~shapes.marked & ((shapes.fields == plan.width) | (shapes.fields == 0))
    plain[:plan.first] = True
    with_fields = np.flatnonzero(shapes.fields[plan.first:]) + plan.first
    end = int(with_fields[-1]) if len(with_fields) else -1
    odd = {}
    for number in np.flatnonzero(~plain).tolist():
        odd[number] = status = _status(shapes.text(data, number), plan)
        if status not in allowed and number < end:
            return None
    for position in range(len(with_fields) - 1, -1, -1):
        number = int(with_fields[position])
        status = odd[number] if number in odd else _status(shapes.text(data, number), plan)
        if status != "blank":  # blank: a line of '#' that the reader deletes
            return odd, number, status
    return odd, -1, "blank"


def _sparse_rows(path: str, plan: _Plan, data: bytes, shapes: LineShapes) -> _Rows | None:
    """The rows of a table of rows, looking in Python only at the lines that are not plainly rows.

    A line of `plan.width` fields without '#' is taken for a row; the caller's check
    that the reader took as many rows makes sure. None when a line is at fault (the
    line by line check names the first).
    """
    found = _odd_lines(plan, data, shapes, frozenset(("row", "blank", "comment")))
    if found is None:
        return None
    odd, last, last_status = found
    if any(status not in ("row", "blank", "comment") and number != last for number, status in odd.items()):
        return None
    if last_status not in ("row", "comment", "cut"):
        return None
    region = slice(plan.first, None)
    plain_rows = int(np.count_nonzero(~shapes.marked[region] & (shapes.fields[region] == plan.width)))
    if last_status == "cut" and last not in odd:
        plain_rows -= 1
    native = plain_rows + sum(status == "row" for status in odd.values())
    warning = TruncatedFileWarning(path, last + 1, shapes.text(data, last)) if last_status == "cut" else None
    return _Rows(native, native, warning=warning)


def _sparse_blocks(path: str, plan: _Plan, data: bytes, shapes: LineShapes) -> _Rows | None:
    """The rows of fix ave/time blocks, looking in Python only at blocks' first lines and odd lines.

    None when a line is out of place (the line by line check names the first).
    """
    width, step_fields = plan.width, plan.block_fields
    # A block's first line has other fields than a row: "cut" or "wide" for a row.
    found = _odd_lines(plan, data, shapes, frozenset(("row", "blank", "comment", "cut", "wide")))
    if found is None:
        return None
    odd, last, last_status = found
    skipped = shapes.fields == 0
    skipped[:plan.first] = True
    for number, status in odd.items():
        skipped[number] |= status in ("blank", "comment")
    lines = np.flatnonzero(~skipped)  # blocks' first lines and rows
    blocks: list[tuple[int, int, int, str]] = []
    firsts: list[int] = []  # where in `lines` each block begins
    position = 0
    warning = None
    cut_first = False
    while position < len(lines):
        number = int(lines[position])
        text = shapes.text(data, number)
        values = fields(text)
        if odd.get(number) == "header":
            return None
        if not _is_block_line(values, step_fields):
            if number != last or not _is_cut_block_line(values, step_fields):
                return None
            warning = TruncatedFileWarning(path, number + 1, text)
            cut_first = True
            break
        blocks.append((number, int(values[0]), int(values[1]), text))
        firsts.append(position)
        position += int(values[1]) + 1
    is_row_line = np.ones(len(lines), np.bool_)
    is_row_line[firsts] = False
    if cut_first:
        is_row_line[-1] = False
    row_lines = lines[is_row_line]
    plain = ~shapes.marked[row_lines] & (shapes.fields[row_lines] == width)
    if any(odd.get(number) != "row" and number != last for number in row_lines[~plain].tolist()):
        return None
    cut_row = bool(len(row_lines)) and row_lines[-1] == last and last_status == "cut"
    if len(row_lines) and row_lines[-1] == last and last_status not in ("row", "cut"):
        return None
    complete = blocks
    if blocks and (position > len(lines) or cut_row):
        start, _, rows, text = blocks[-1]
        complete = blocks[:-1]
        present = len(lines) - firsts[-1] - 1 - cut_row
        warning = TruncatedFileWarning(path, start + 1, text, f"its block ({present} of {rows} rows)")
    if not complete and warning is None:
        return None
    # The reader's rows: the row lines (a cut one aside), the blocks' first lines when
    # they have a field for every column, and a cut first line it can read; never
    # anything before line 4.
    taken = np.zeros(len(shapes.starts), np.bool_)
    taken[row_lines] = True
    if step_fields >= width:
        taken[[block[0] for block in blocks]] = True
    if cut_row or cut_first:
        taken[last] = cut_first and is_row(fields(shapes.text(data, last)), width)
    taken[:4] = False
    index = np.cumsum(taken) - 1
    limit = firsts[len(complete)] if len(complete) < len(blocks) else len(lines)
    kept = index[lines[np.flatnonzero(is_row_line[:limit])]]
    return _block_rows(complete, int(np.count_nonzero(taken)), False, kept.astype(np.intp), warning)


def _checked_rows(path: str, plan: _Plan, lines: list[str]) -> _Rows:
    """The rows of a table of rows, line by line; FormatError at the first line that is none."""
    last = len(lines) - 1
    while last >= plan.first and _status(lines[last], plan) == "blank":
        last -= 1
    native = 0
    warning = None
    for number in range(plan.first, len(lines)):
        status = _status(lines[number], plan)
        if status == "row":
            native += 1
        elif status == "cut" and number == last:
            warning = TruncatedFileWarning(path, number + 1, lines[number])
        elif status not in ("blank", "comment"):
            raise FormatError(path, plan.expected, number + 1, lines[number])
    return _Rows(native, native, warning=warning)


def _checked_blocks(path: str, plan: _Plan, lines: list[str]) -> _Rows:
    """The rows of fix ave/time blocks, line by line; FormatError at the first line out of place."""
    last = len(lines) - 1
    while last >= plan.first and not fields(lines[last]):
        last -= 1
    blocks: list[tuple[int, int, int, str]] = []
    kept: list[int] = []
    block: tuple[int, int, int, str] | None = None
    pending: list[int] = []  # the reader's indices of the rows of the current block
    warning = None
    native = 0
    for number in range(plan.first, len(lines)):
        text = lines[number]
        values = fields(text)
        index = native
        # The block reader never looks at line 3, the first block's first line.
        native += number >= 4 and is_row(values, plan.width)
        status = _status(text, plan)
        if status in ("blank", "comment"):
            continue
        if block is None:
            if status != "header" and _is_block_line(values, plan.block_fields):
                block = (number, int(values[0]), int(values[1]), text)
                pending = []
            elif number == last and status != "header" and _is_cut_block_line(values, plan.block_fields):
                warning = TruncatedFileWarning(path, number + 1, text)
                continue
            else:
                raise FormatError(path, plan.expected, number + 1, text)
        elif status == "row":
            pending.append(index)
        elif not (status == "cut" and number == last):
            raise FormatError(path, plan.expected, number + 1, text)
        if len(pending) == block[2]:
            blocks.append(block)
            kept.extend(pending)
            block = None
    if block is not None:
        warning = TruncatedFileWarning(path, block[0] + 1, block[3], f"its block ({len(pending)} of {block[2]} rows)")
    if not blocks and warning is None:
        raise FormatError(path, plan.expected, None, "no block of rows after the column names")
    return _block_rows(blocks, native, False, np.array(kept, dtype=np.intp), warning)


def _native_columns(path: str, plan: _Plan, file: BinaryIO, lines: int) -> _Columns:
    """The native reader's columns of the file (of `lines` lines)."""
    if plan.block_fields and lines < 5:
        # The block reader wants a row line after the first block's first line.
        return {name: [] for name in plan.names}

    def utf8_line() -> int | None:
        file.seek(0)
        return first_line_not_utf8(file.read())

    try:
        return native_read(plan.reader, path, plan.expected, utf8_line)
    except FormatError:
        raise
    except ValueError as error:  # the file lost its header since its first lines were read
        raise FormatError(path, plan.expected, None, str(error)) from None


def _agrees(rows: _Rows, columns: _Columns, plan: _Plan) -> bool:
    got = next((len(values) for values in columns.values()), 0)
    return got == rows.native and list(columns) == list(dict.fromkeys(plan.names))


def _read_table(path: str, file: BinaryIO, head: _Head, plan: _Plan) -> Table:
    offset = head.offset(plan.first)
    rows: _Rows | None
    if plan.block_fields:
        walk = _BlockWalk(plan)
        counted = scan(file, offset, walk)
        rows = _fast_blocks(path, plan, counted, walk)
    else:
        counted = scan(file, offset)
        rows = _fast_rows(path, plan, counted, lambda: count_lines(file, offset))
    # The block reader needs five lines; a table of rows gets here with its header lines.
    columns = _native_columns(path, plan, file, plan.first + counted.lines if plan.block_fields else 5)
    attempt = 0
    while rows is None or not _agrees(rows, columns, plan):
        # The whole file: the lines that are not plainly rows, then line by line. When
        # even that disagrees with the reader, the file changed between the two reads
        # (a run still writing it): read both again.
        attempt += 1
        if attempt > _ATTEMPTS:
            raise FormatError(path, plan.expected, None, "the file changed while it was read")
        file.seek(0)
        data = file.read()
        if attempt > 1:
            columns = _native_columns(path, plan, file, data.count(b"\n") + (not data.endswith(b"\n")))
        shapes = line_shapes(data)
        rows = (_sparse_blocks if plan.block_fields else _sparse_rows)(path, plan, data, shapes)
        if rows is None or not _agrees(rows, columns, plan):
            lines = split_lines(data, path, plan.expected)
            rows = (_checked_blocks if plan.block_fields else _checked_rows)(path, plan, lines)
    if plan.kind == "rdf" and rows.kept == 0:
        raise FormatError(path, plan.expected, None, "no rows of numbers after the column names")
    arrays: dict[str, npt.NDArray[np.float64]] = {}
    if rows.steps is not None and "TimeStep" not in columns:
        arrays["TimeStep"] = rows.steps
    kept = rows.kept
    for name, values in columns.items():
        if isinstance(kept, int):
            arrays[name] = np.fromiter(values, np.float64, count=kept)
        else:
            arrays[name] = np.fromiter(values, np.float64, count=len(values))[kept]
    if rows.warning is not None:
        warnings.warn(rows.warning, skip_file_prefixes=(_PACKAGE_DIRECTORY,))
    return Table._adopt(path, plan.kind, arrays)


@overload
def read(path: str | os.PathLike[str], kind: Literal["log"]) -> RunLog: ...
@overload
def read(path: str | os.PathLike[str], kind: Literal["transport", "rdf", "thermo", "ave/time", "histogram"]) -> Table: ...
@overload
def read(path: str | os.PathLike[str], kind: None = None) -> Table | RunLog: ...


def read(path: str | os.PathLike[str], kind: Kind | None = None) -> Table | RunLog:
    """Reads one output file of a run, recognising its layout from its content.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    kind : str, optional
        The layout the file must have (a key of `LAYOUTS`); by default it is
        recognised from the first lines.

    Returns
    -------
    Table or RunLog
        The columns of a table (for fix ave/time blocks, with a TimeStep column
        repeating each block's step), or what the log says for a LAMMPS log.
        Comment lines ('#') and blank lines among the rows are passed over.

    Raises
    ------
    FormatError
        When the file fits no known layout, or not the one asked for; the message
        names the file, the layout and the first line that disagreed.
    OSError
        FileNotFoundError, PermissionError, IsADirectoryError, ... with errno and
        filename set.

    Warns
    -----
    TruncatedFileWarning
        When the file ends in the middle of a row (a run stopped or still running):
        that last line, or for fix ave/time blocks the whole last block, is left out.

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
    expected = LAYOUTS[kind] if kind else _ANY_LAYOUT
    with open(name, "rb") as file:
        head = _Head(file, name, expected)
        found = recognise(head) if kind is None else kind
        if found is None:
            first = head.line(0)
            raise FormatError(name, _ANY_LAYOUT, None if first is None else 1, "an empty file" if first is None else first)
        if found == "log":
            return parse_log(name, split_lines(head.data + file.read(), name, expected))
        plan = _PLANS[found](name, head)
        if kind is None:  # errors name the layout that was recognised
            plan = dataclasses.replace(plan, expected=LAYOUTS[plan.kind])
        return _read_table(name, file, head, plan)
