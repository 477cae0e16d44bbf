"""Reading one output file: recognising its layout and reading it with the matching native reader."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal, overload

import numpy as np
import numpy.typing as npt

import _quor_pp

from .errors import FormatError, fspath, native_read
from .logs import LOG_LAYOUT, RunLog, parse_log
from .text import clean_line, count_rows, is_count, is_number, read_lines

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


@dataclass
class _Layout:
    """What a validated file holds: where its rows are, and how many."""

    kind: str
    names: list[str]
    rows: int
    # For fix ave/time blocks: (timestep, row count) of each block, and the number of
    # fields of a block's first line.
    blocks: list[tuple[float, int]] | None = None
    block_header_fields: int = 0


def _check_rows(path: str, kind: str, lines: list[str], start: int, count: int, clean: bool) -> int:
    """Checks that lines[start:] are rows of `count` numbers (blank lines pass); returns the rows."""
    fast = count_rows(lines[start:], count)
    if fast is not None:
        return fast
    rows = 0
    for number in range(start, len(lines)):
        text = clean_line(lines[number]) if clean else lines[number]
        fields = text.split()
        if not fields:
            continue
        if len(fields) != count or not all(map(is_number, fields)):
            raise FormatError(path, LAYOUTS[kind], number + 1, lines[number])
        rows += 1
    return rows


def _names(path: str, kind: str, lines: list[str], number: int, least: int = 1) -> list[str]:
    """Column names on line `number`: at least `least` of them, none a number."""
    if number >= len(lines):
        raise FormatError(path, LAYOUTS[kind], None, f"the file ends before its line of column names (line {number + 1})")
    names = clean_line(lines[number]).split()
    if len(names) < least or any(map(is_number, names)):
        raise FormatError(path, LAYOUTS[kind], number + 1, lines[number])
    return names


def _transport(path: str, lines: list[str]) -> _Layout:
    header = None
    for number, line in enumerate(lines):
        stripped = line.lstrip()
        if not stripped.startswith("#"):
            break
        if stripped.startswith("#Time"):
            header = number
    if header is None:
        first = next((k for k, line in enumerate(lines) if not line.lstrip().startswith("#")), None)
        text = lines[first] if first is not None else "no '#Time' header line"
        raise FormatError(path, LAYOUTS["transport"], None if first is None else first + 1, text)
    names = _names(path, "transport", lines, header, least=2)
    return _Layout("transport", names, _check_rows(path, "transport", lines, header + 1, len(names), clean=True))


def _rdf(path: str, lines: list[str]) -> _Layout:
    names = _names(path, "rdf", lines, 0, least=2)
    if lines[0].lstrip().startswith("#Time"):
        raise FormatError(path, LAYOUTS["rdf"], 1, lines[0])
    rows = _check_rows(path, "rdf", lines, 1, len(names), clean=True)
    if rows == 0:
        raise FormatError(path, LAYOUTS["rdf"], None, "no rows of numbers after the column names")
    return _Layout("rdf", names, rows)


def _thermo(path: str, lines: list[str]) -> _Layout:
    for number in (0, 1):
        if number >= len(lines) or not lines[number].lstrip().startswith("#"):
            text = lines[number] if number < len(lines) else "the file ends before its header"
            raise FormatError(path, LAYOUTS["thermo"], number + 1 if number < len(lines) else None, text)
    names = _names(path, "thermo", lines, 1)
    return _Layout("thermo", names, _check_rows(path, "thermo", lines, 2, len(names), clean=False))


def _ave_time(path: str, lines: list[str], kind: str = "ave/time") -> _Layout:
    if not lines or not lines[0].lstrip().startswith(_AVE_TIME_TITLE):
        raise FormatError(path, LAYOUTS[kind], 1 if lines else None, lines[0] if lines else "an empty file")
    step_names = _names(path, kind, lines, 1)
    if not lines[1].lstrip().startswith("#") or step_names[0] != "TimeStep":
        raise FormatError(path, LAYOUTS[kind], 2, lines[1])
    if len(lines) < 3 or not lines[2].lstrip().startswith("#"):
        # One row per output step: the names are on the TimeStep line.
        if kind == "histogram":
            raise FormatError(path, LAYOUTS[kind], 3 if len(lines) > 2 else None,
                              lines[2] if len(lines) > 2 else "no line of column names")
        return _Layout(kind, step_names, _check_rows(path, kind, lines, 2, len(step_names), clean=False))
    # Blocks: a line "TimeStep Number-of-rows ...", then that many rows of the named columns.
    names = _names(path, kind, lines, 2)
    if len(step_names) < 2:
        raise FormatError(path, LAYOUTS[kind], 2, lines[1])
    blocks: list[tuple[float, int]] = []
    number = 3
    while number < len(lines):
        fields = lines[number].split()
        if len(fields) != len(step_names) or not is_count(fields[0]) or not is_count(fields[1]) \
                or not all(map(is_number, fields)):
            raise FormatError(path, LAYOUTS[kind], number + 1, lines[number])
        count = int(fields[1])
        if number + count >= len(lines):
            raise FormatError(path, LAYOUTS[kind], None,
                              f"the file ends inside the block of line {number + 1} ({count} rows announced)")
        _check_rows_exact(path, kind, lines, number + 1, count, len(names))
        blocks.append((float(int(fields[0])), count))
        number += count + 1
    if not blocks:
        raise FormatError(path, LAYOUTS[kind], None, "no block of rows after the column names")
    is_histogram = "Coord" in names and "Count/Total" in names
    if kind == "histogram" and not is_histogram:
        raise FormatError(path, LAYOUTS[kind], 3, lines[2])
    return _Layout("histogram" if is_histogram else "ave/time", names, sum(c for _, c in blocks),
                   blocks, len(step_names))


def _check_rows_exact(path: str, kind: str, lines: list[str], start: int, count: int, width: int) -> None:
    for number in range(start, start + count):
        fields = lines[number].split()
        if len(fields) != width or not all(map(is_number, fields)):
            raise FormatError(path, LAYOUTS[kind], number + 1, lines[number])


_VALIDATORS: dict[str, Callable[[str, list[str]], _Layout]] = {
    "transport": _transport,
    "rdf": _rdf,
    "thermo": _thermo,
    "ave/time": _ave_time,
    "histogram": lambda path, lines: _ave_time(path, lines, "histogram"),
}


def recognise(lines: list[str]) -> str | None:
    """The layout that the first lines announce, or None."""
    if not lines:
        return None
    first = lines[0].lstrip()
    if lines[0].startswith("LAMMPS ("):
        return "log"
    if first.startswith(_AVE_TIME_TITLE):
        return "ave/time"
    for line in lines:
        stripped = line.lstrip()
        if not stripped.startswith("#"):
            break
        if stripped.startswith("#Time"):
            return "transport"
    if first.startswith("#"):
        return "thermo"
    fields = clean_line(lines[0]).split()
    if len(fields) >= 2 and not any(map(is_number, fields)):
        return "rdf"
    return None


def _columns(path: str, layout: _Layout) -> dict[str, list[float]]:
    """Reads the values with the native reader for the layout."""
    expected = LAYOUTS[layout.kind]
    if layout.kind in ("transport", "rdf"):
        columns = native_read(_quor_pp.parse_quor_file, path, expected)
    elif layout.blocks is None:
        columns = native_read(_quor_pp.parse_thermoprop, path, expected)
    elif layout.rows == 0:
        columns = {name: [] for name in layout.names}
    else:
        columns = native_read(_quor_pp.parse_bond_angle, path, expected)
    if layout.blocks is not None:
        columns = _split_blocks(layout, columns)
        names = ["TimeStep", *layout.names]
    else:
        names = layout.names
    got = next((len(values) for values in columns.values()), 0)
    if got != layout.rows or list(columns) != list(dict.fromkeys(names)):
        raise FormatError(path, expected, None, f"the reader took {got} rows where the file has {layout.rows}")
    return columns


def _split_blocks(layout: _Layout, columns: dict[str, list[float]]) -> dict[str, list[float]]:
    """Drops the block lines that the block reader took as rows; adds a TimeStep column."""
    assert layout.blocks is not None
    # The first block line is skipped by the reader; a later one is taken as a row when it
    # has at least as many numbers as there are columns.
    header_rows = layout.block_header_fields >= len(layout.names)
    keep: list[int] = []
    steps: list[float] = []
    position = 0
    for index, (step, count) in enumerate(layout.blocks):
        if index > 0 and header_rows:
            position += 1
        keep.extend(range(position, position + count))
        steps.extend([step] * count)
        position += count
    result = {"TimeStep": steps} if "TimeStep" not in columns else {}
    for name, values in columns.items():
        result[name] = [values[k] for k in keep] if len(values) == position else values
    return result


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

    Raises
    ------
    FormatError
        When the file fits no known layout, or not the one asked for; the message
        names the file, the layout and the first line that disagreed.
    OSError
        FileNotFoundError, PermissionError, IsADirectoryError, ... with errno and
        filename set.

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
    lines = read_lines(name, LAYOUTS[kind] if kind else _ANY_LAYOUT)
    if kind is None:
        found = recognise(lines)
        if found is None:
            raise FormatError(name, _ANY_LAYOUT, 1 if lines else None, lines[0] if lines else "an empty file")
    else:
        found = kind
    if found == "log":
        return parse_log(name, lines)
    layout = _VALIDATORS[found](name, lines)
    return Table(name, layout.kind, _columns(name, layout))
