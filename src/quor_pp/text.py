"""Lines and fields of a text file, by the same rules as the native readers."""

from __future__ import annotations

import functools
import re

from .errors import FormatError

# A field is a number when the whole field is a decimal number (digits with at most one
# point and at least one digit, an optional exponent) or inf/infinity/nan, with an
# optional sign. Python's float() is wider (underscores, surrounding blanks), hence
# the pattern.
_NUMBER_TEXT = r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))"
_NUMBER = re.compile(_NUMBER_TEXT)
_BLANK_LINE = re.compile(r"^[ \t]*$", re.MULTILINE)
_COUNT = re.compile(r"\+?\d+")


def is_number(field: str) -> bool:
    """True when `field` is a number for the native readers."""
    return _NUMBER.fullmatch(field) is not None


def is_count(field: str) -> bool:
    """True when `field` is an unsigned decimal integer."""
    return _COUNT.fullmatch(field) is not None


@functools.cache
def _row_pattern(width: int) -> re.Pattern[str]:
    """A whole line of `width` numbers separated by blanks or tabs."""
    return re.compile(rf"^[ \t]*{_NUMBER_TEXT}(?:[ \t]+{_NUMBER_TEXT}){{{width - 1}}}[ \t]*$", re.MULTILINE)


def count_rows(lines: list[str], width: int) -> int | None:
    """Number of non-blank lines when every one is a row of `width` numbers, else None.

    One regular-expression pass over the joined lines: the fast path for the common
    case of a well-formed table (the caller goes line by line only to find a fault).
    """
    if width < 1:
        return None
    text = "\n".join(lines)
    rows = len(_row_pattern(width).findall(text))
    blank = len(_BLANK_LINE.findall(text)) if lines else 0
    return rows if rows + blank == len(lines) else None


def clean_line(line: str) -> str:
    """The line without '#', with tabs as blanks and no leading whitespace."""
    return line.replace("#", "").replace("\t", " ").lstrip()


def read_lines(path: str, expected: str) -> list[str]:
    """The lines of the UTF-8 text file at `path`.

    Lines end at line feeds; a carriage return before a line feed goes with it; a final
    line feed makes no empty last line. File-system failures raise the standard
    OSError subclasses (with errno and filename); bytes that are not UTF-8 raise
    FormatError naming the line that holds them.
    """
    with open(path, "rb") as file:
        data = file.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise FormatError(path, expected, line, "bytes that are not UTF-8 text") from None
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]
