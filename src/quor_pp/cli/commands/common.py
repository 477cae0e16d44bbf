"""What the subcommands share: their errors, help layout, number lists, tables and output files.

Every command imports this module to build its parser, for ``--help`` too: what
only a running command needs (json, csv, decimal, the output files) is imported
where it is used.
"""

from __future__ import annotations

import argparse
import math
import os
import sys

TYPE_CHECKING = False  # typing itself is not imported at run time: it would lengthen every start
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Mapping, Sequence
    from decimal import Decimal
    from typing import Any, Final, TextIO

# A list option expands to at most this many values, so a range like 0:1e9:1e-9 is
# refused at once instead of filling memory.
MAX_LIST_LENGTH: Final = 10_000

# Narrowest a wrapping text column gets in a terminal table.
_WRAP_WIDTH: Final = 12

NUMBER_LIST_SYNTAX: Final = (
    "LIST is comma-separated numbers and ranges START:STOP[:STEP]\n"
    "(STOP included, STEP 1 if omitted), e.g. 0.5,1,2 or 0:3:0.5 or 280:360:20,373.15"
)


class CommandError(Exception):
    """An expected failure, such as bad data: the command prints the message as one line and exits 1."""


class UsageError(CommandError):
    """Options that parse but do not fit together: reported like argparse's own errors, exit 2."""


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Keeps the descriptions' line breaks and shows every default that is set.

    It also spares a command's start what argparse would import for every parser:
    its colour themes (`_colorize`, with dataclasses and inspect) unless colour can
    be shown, and `shutil` (with the compression modules) for the terminal's width.
    """

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None, color: bool = True) -> None:
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width, color)

    def _set_color(self, color: bool) -> None:
        if color and _colour_possible():
            super()._set_color(color)  # type: ignore[misc]
        else:  # what argparse sets without colour: every theme entry empty, text unchanged
            self._theme = _NO_COLOUR
            self._decolor = _unchanged

    def _get_help_string(self, action: argparse.Action) -> str:
        # The default as a user would type it ("png,svg", "0.1"), never a Python repr; none
        # when the help says it in words already.
        text = action.help or ""
        shown = as_typed(action.default).replace("%", "%%")
        if "%(default)" in text:
            return text.replace("%(default)s", shown).replace("%(default)r", shown)
        if shown and action.option_strings and "(default" not in text:
            text += f" (default: {shown})"
        return text


def as_typed(value: object) -> str:
    """A default as it would be typed on the command line: "" for none, items joined by commas."""
    if value is None or value is False or value is True or value == argparse.SUPPRESS:
        return ""
    if isinstance(value, float):
        return f"{value:g}"
    if isinstance(value, (str, int)):
        return str(value)
    if isinstance(value, dict):
        return ",".join(f"{key}={as_typed(item)}" for key, item in value.items())
    if isinstance(value, (tuple, list, set, frozenset)):
        return ",".join(as_typed(item) for item in value)
    return str(value)


class _NoColour:
    """argparse's colour theme with colour off: every entry (usage, heading, reset...) is empty."""

    def __getattr__(self, name: str) -> str:
        return ""


_NO_COLOUR: Final = _NoColour()


def _unchanged(text: str) -> str:
    return text


def _colour_possible() -> bool:
    """Whether argparse might colour help and errors: a terminal on standard output, or colour forced.

    When false, its own test (`_colorize.can_colorize`) is false as well.
    """
    if os.environ.get("PYTHON_COLORS") or os.environ.get("FORCE_COLOR"):
        return True
    try:
        return os.isatty(sys.stdout.fileno())
    except (AttributeError, OSError, ValueError):
        return False


def _terminal_columns() -> int:
    """`shutil.get_terminal_size().columns`: $COLUMNS if a positive number, else the terminal's, else 80."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns > 0:
        return columns
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80


def number_list(text: str) -> list[float]:
    """Parse a LIST option: numbers and inclusive ranges START:STOP[:STEP], comma-separated.

    Range values are computed in decimal, so 0:1:0.1 gives exactly 0.1, 0.2, ...
    as written, not sums that drift.

    Raises
    ------
    argparse.ArgumentTypeError
        Not a list of finite numbers and ranges, a range with STEP <= 0 or
        STOP < START, or more than `MAX_LIST_LENGTH` values.
    """
    from decimal import Decimal

    values: list[float] = []
    for item in text.split(","):
        item = item.strip()
        parts = [_decimal(part, text) for part in item.split(":")]
        if len(parts) == 1:
            values.append(float(parts[0]))
            continue
        if len(parts) > 3:
            raise argparse.ArgumentTypeError(f"{item!r} in {text!r}: a range is START:STOP or START:STOP:STEP")
        start, stop, step = parts[0], parts[1], parts[2] if len(parts) == 3 else Decimal(1)
        if step <= 0 or stop < start:
            raise argparse.ArgumentTypeError(
                f"{item!r} in {text!r}: a range needs STEP > 0 and STOP >= START")
        count = int((stop - start) / step) + 1
        if len(values) + count > MAX_LIST_LENGTH:
            raise argparse.ArgumentTypeError(f"{text!r} has more than {MAX_LIST_LENGTH} values")
        values.extend(float(start + i * step) for i in range(count))
    if len(values) > MAX_LIST_LENGTH:
        raise argparse.ArgumentTypeError(f"{text!r} has more than {MAX_LIST_LENGTH} values")
    return values


def _decimal(part: str, text: str) -> Decimal:
    from decimal import Decimal, InvalidOperation

    try:
        value = Decimal(part.strip())
    except InvalidOperation:
        value = Decimal("NaN")
    if not value.is_finite() or not math.isfinite(float(value)):
        raise argparse.ArgumentTypeError(f"{text!r} is not a list of numbers: {part.strip()!r}; "
                                         + NUMBER_LIST_SYNTAX.replace("\n", " "))
    return value


class Column:
    """A table column: its heading in plain text and in Unicode for the terminal.

    Numbers are right-aligned and never cut; a `wrap` column (text such as
    names) is left-aligned and may wrap on a narrow terminal; a `left` column is
    left-aligned and never cut, in plain text too. (A plain class: a dataclass here
    would import dataclasses into every ``--help``.)
    """

    __slots__ = ("fancy", "left", "plain", "wrap")

    def __init__(self, plain: str, fancy: str, wrap: bool = False, left: bool = False) -> None:
        self.plain = plain
        self.fancy = fancy
        self.wrap = wrap
        self.left = left

    def __repr__(self) -> str:
        return f"Column({self.plain!r}, {self.fancy!r}, wrap={self.wrap}, left={self.left})"


def print_table(columns: Sequence[Column], rows: Sequence[Sequence[str]], *, title: str = "",
                caption: str = "", highlight: Iterable[bool] = (), stream: TextIO | None = None,
                fancy_rows: Sequence[Sequence[str]] | None = None) -> None:
    """Print a table: with rich when `stream` is a terminal, else as aligned plain text.

    The plain form starts with the title as ``#`` comment lines, then the
    headings and the cells separated by two blanks (right-aligned but for `left`
    columns), so it pipes cleanly into other tools. The caption, `highlight`
    (rows to stand out) and `fancy_rows` (cells in Unicode, in place of `rows`)
    are for the terminal only.
    """
    stream = stream if stream is not None else sys.stdout
    if stream.isatty() and _print_rich_table(columns, rows if fancy_rows is None else fancy_rows, title=title,
                                             caption=caption, highlight=list(highlight), stream=stream):
        return
    widths = [max([len(column.plain)] + [len(row[i]) for row in rows]) for i, column in enumerate(columns)]
    lines = [f"# {line}" for line in title.splitlines()]
    for cells in ([column.plain for column in columns], *rows):
        lines.append("  ".join(cell.ljust(width) if column.left else cell.rjust(width)
                               for cell, width, column in zip(cells, widths, columns)).rstrip())
    stream.write("\n".join(lines) + "\n")


def _print_rich_table(columns: Sequence[Column], rows: Sequence[Sequence[str]], *, title: str,
                      caption: str, highlight: list[bool], stream: TextIO) -> bool:
    """Print the table with rich if the terminal is wide enough for every number; say whether it did."""
    from rich import box  # imported only when a terminal shows the table
    from rich.console import Console
    from rich.table import Table
    from rich.text import Text

    console = Console(file=stream)
    widths = [_WRAP_WIDTH if column.wrap else
              max([len(line) for line in column.fancy.splitlines()] + [len(row[i]) for row in rows])
              for i, column in enumerate(columns)]
    if sum(widths) + 2 * len(widths) > console.width:  # cells and their padding
        return False

    # Text objects throughout: a heading such as "ρ [kg/m³]" is not markup.
    table = Table(title=Text(title) if title else None, title_justify="left",
                  caption=Text(caption) if caption else None, caption_justify="left",
                  header_style="bold", box=box.SIMPLE_HEAD, pad_edge=False, collapse_padding=True)
    for column, width in zip(columns, widths):
        if column.wrap:
            table.add_column(Text(column.fancy), justify="left", overflow="fold", min_width=width)
        else:
            table.add_column(Text(column.fancy), justify="left" if column.left else "right", no_wrap=True,
                             min_width=width)
    for i, row in enumerate(rows):
        table.add_row(*map(Text, row), style="yellow" if i < len(highlight) and highlight[i] else None)
    console.print(table)
    return True


def write_json(destination: str, data: Mapping[str, Any]) -> None:
    """Write `data` as JSON to a file, or to standard output for ``-``.

    Raises
    ------
    CommandError
        The file cannot be written.
    """
    import json

    text = json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
    _write(destination, lambda stream: stream.write(text))


def write_csv(destination: str, rows: Sequence[Mapping[str, Any]]) -> None:
    """Write dict rows as CSV with a header line, to a file or to standard output for ``-``.

    Raises
    ------
    CommandError
        The file cannot be written.
    """
    import csv

    fields = list(rows[0]) if rows else []

    def write(stream: TextIO) -> None:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow([inert_cell(name) for name in fields])
        writer.writerows([inert_cell(row.get(key)) for key in fields] for row in rows)

    _write(destination, write)


# What a spreadsheet takes for the start of a formula (or of a hidden one, after a
# tab or a carriage return) when a CSV cell begins with it.
_FORMULA_STARTS: Final = ("=", "+", "-", "@", "\t", "\r")

# A text cell that is only a decimal number ("-1.5", "+3e-9") is read as that
# number by a spreadsheet, never run: it stays as it is.
_PLAIN_NUMBER: Final = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"


def inert_cell(value: Any) -> Any:
    """A CSV cell that a spreadsheet shows instead of running: text that starts a formula gets a leading ``'``.

    Species, replica and column names come from the user's files and directories
    (a replica directory named ``=1+1``): such text is escaped as OWASP advises
    for CSV injection. Numbers (and text that is only a decimal number) stay as
    they are; None is an empty cell.
    """
    if value is None:
        return ""
    if isinstance(value, str) and value.startswith(_FORMULA_STARTS):
        import re

        if not re.fullmatch(_PLAIN_NUMBER, value):
            return "'" + value
    return value


def _write(destination: str, write: Callable[[TextIO], object]) -> None:
    """Write a file whole or not at all (see `quor_pp.outputs`), or standard output for ``-``."""
    from ...core.outputs import OutputPathError, replacing

    if destination == "-":
        try:
            write(sys.stdout)
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise CommandError(f"cannot write to standard output: {error.strerror or error}") from None
        return
    try:
        with replacing(destination) as stream:
            write(stream)
    except OutputPathError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot write {destination}: {error.strerror or error}") from None


def report_warnings(prog: str, caught: Iterable[Any]) -> None:
    """Print caught warnings on standard error, one line each, without the source line."""
    for warning in caught:
        print(f"{prog}: warning: {warning.message}", file=sys.stderr)


def assignments(kind: Callable[[str], Any], what: str) -> Callable[[str], dict[str, Any]]:
    """An argparse type for NAME=VALUE pairs, comma-separated, with values converted by `kind`.

    ``assignments(int, "N")("wat=1000,Na=18")`` gives ``{"wat": 1000, "Na": 18}``;
    anything else raises argparse.ArgumentTypeError naming the bad pair.
    """

    def parse(text: str) -> dict[str, Any]:
        pairs: dict[str, Any] = {}
        for item in text.split(","):
            name, sign, value = item.partition("=")
            name, value = name.strip(), value.strip()
            if not sign or not name or not value:
                raise argparse.ArgumentTypeError(f"{item.strip()!r} is not NAME={what}")
            if name in pairs:
                raise argparse.ArgumentTypeError(f"{name} is given twice in {text!r}")
            try:
                pairs[name] = kind(value)
            except ValueError:
                raise argparse.ArgumentTypeError(f"{item.strip()!r}: {value!r} is not {what}") from None
        return pairs

    return parse


def positive_float(text: str) -> float:
    """An argparse type: a finite number above zero."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return value


def stoppable(step: Callable[[str], None]) -> Callable[[str], None]:
    """`step` (a progress callback), after which a stop signal that has arrived ends the command.

    The signal handlers only note a signal (`quor_pp.workers.stop_on_signals`): the
    steps a command reports are where its work can stop cleanly.
    """
    from ...workflow.workers import raise_if_stopped

    def step_then_check(text: str) -> None:
        step(text)
        raise_if_stopped()

    return step_then_check


class Progress:
    """A progress bar on standard error while a command works: only on a terminal, and off when quiet.

    A disabled Progress accepts every call and shows nothing, so commands call it
    unconditionally. rich is imported only when the bar is shown.
    """

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self._bar: Any = None
        self._task: Any = None

    @classmethod
    def for_terminal(cls, quiet: bool) -> Progress:
        """A Progress shown when standard error is a terminal and `quiet` is false."""
        return cls(not quiet and sys.stderr.isatty())

    def __enter__(self) -> Progress:
        if self.enabled:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress as Bar, TextColumn, TimeElapsedColumn

            self._bar = Bar(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                            TextColumn("{task.fields[detail]}", markup=False, style="dim"),
                            console=Console(file=sys.stderr), transient=True)
            self._bar.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.stop()
            self._bar = None

    def start(self, description: str, total: int) -> None:
        """Begin a stage of `total` steps (the previous stage ends)."""
        if self._bar is not None:
            if self._task is not None:
                self._bar.remove_task(self._task)
            self._task = self._bar.add_task(description, total=total, detail="")

    def detail(self, text: str) -> None:
        """Show what is being done now, beside the bar."""
        if self._bar is not None and self._task is not None:
            self._bar.update(self._task, detail=text)

    def advance(self, steps: int = 1) -> None:
        """Count `steps` steps of the stage as done."""
        if self._bar is not None and self._task is not None:
            self._bar.advance(self._task, steps)
