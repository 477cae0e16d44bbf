"""Exceptions of quor_pp."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TypeVar

__all__ = ["FormatError", "TruncatedFileWarning"]

_T = TypeVar("_T")

# The most of a line's text that a message quotes: a "line" of a damaged file may
# run to megabytes.
QUOTED_CHARACTERS = 300


def quoted(text: str, size: int | None = None) -> str:
    """`text`, or its beginning and its size when it is longer than a message should quote.

    `size` is the whole line's length in bytes when `text` is already only its
    beginning. What this returns is never longer than QUOTED_CHARACTERS, so quoting
    it again changes nothing.
    """
    if len(text) <= QUOTED_CHARACTERS and (size is None or size <= len(text.encode())):
        return text
    return f"{text[:QUOTED_CHARACTERS - 40]}... ({size or len(text.encode())} bytes in all)"


class FormatError(ValueError):
    """A file whose content does not have the layout that was expected.

    Parameters
    ----------
    path : str
        The file, as given.
    expected : str
        The layout that was expected, in words.
    line : int or None
        Number (from 1) of the first line that disagreed, or None when the problem is
        the file as a whole (for example, it is empty).
    text : str
        That line's text, or a description of the problem.
    """

    def __init__(self, path: str, expected: str, line: int | None, text: str) -> None:
        self.path = path
        self.expected = expected
        self.line = line
        self.text = text = quoted(text)
        where = f"line {line}: {text!r}" if line is not None else text
        super().__init__(f"{path}: not {expected}; {where}")

    def __reduce__(self) -> tuple[type[FormatError], tuple[str, str, int | None, str]]:
        return (type(self), (self.path, self.expected, self.line, self.text))


class TruncatedFileWarning(UserWarning):
    """A file that ends in the middle of a row or of a block of rows.

    A run stopped by its wall-time limit, or still running, leaves its last line cut
    off mid-write. What is cut off is left out of the result, and this warning says
    where.

    Parameters
    ----------
    path : str
        The file, as given.
    line : int
        Number (from 1) of the line where the part that was left out begins.
    text : str
        That line's text.
    left_out : str
        What was left out, in words ("the line", "its block (3 of 90 rows)", ...).
    """

    def __init__(self, path: str, line: int, text: str, left_out: str = "the line") -> None:
        self.path = path
        self.line = line
        self.text = text = quoted(text)
        self.left_out = left_out
        super().__init__(f"{path}: cut off at line {line} ({text!r}); {left_out} was left out")

    def __reduce__(self) -> tuple[type[TruncatedFileWarning], tuple[str, int, str, str]]:
        return (type(self), (self.path, self.line, self.text, self.left_out))


def fspath(path: str | os.PathLike[str]) -> str:
    """The path as a str; bytes paths and other objects raise TypeError."""
    result = os.fspath(path)
    if not isinstance(result, str):
        raise TypeError(f"expected a str or os.PathLike[str] path, not {type(result).__name__}")
    return result


def native_read(reader: Callable[[str], _T], path: str, expected: str) -> _T:
    """Calls one of the module's readers on `path`, with the package's checks first.

    The file must be a regular file of UTF-8 text: otherwise the standard OSError
    (with errno and filename) or a FormatError naming the line, before the reader
    runs. What the reader raises for the content itself (ValueError) passes through.
    """
    from .source import open_regular

    with open_regular(path) as file:
        data = file.read()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise FormatError(path, expected, data.count(b"\n", 0, error.start) + 1, "bytes that are not UTF-8 text") from None
    return reader(path)
