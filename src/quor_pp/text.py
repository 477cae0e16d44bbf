"""Lines and fields of a text file, by the same rules as the native readers."""

from __future__ import annotations

import re

from .errors import FormatError

# A field is a number when the whole field is a decimal number (digits with at most one
# point and at least one digit, an optional exponent) or inf/infinity/nan, with an
# optional sign. Python's float() is wider (underscores, surrounding blanks), hence
# the pattern.
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))")
_COUNT = re.compile(r"\+?\d+")


def is_number(field: str) -> bool:
    """True when `field` is a number for the native readers."""
    return _NUMBER.fullmatch(field) is not None


def is_count(field: str) -> bool:
    """True when `field` is an unsigned decimal integer."""
    return _COUNT.fullmatch(field) is not None


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
