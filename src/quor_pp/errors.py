"""Exceptions of quor_pp, and the translation of the native readers' file errors."""

from __future__ import annotations

import os
import re
from collections.abc import Callable
from typing import TypeVar

__all__ = ["FormatError", "TruncatedFileWarning"]

_T = TypeVar("_T")

# The native readers report a failed read as a bare OSError("<path>: <strerror> (os error N)").
_OS_ERROR = re.compile(r"^(?P<reason>.*) \(os error (?P<errno>\d+)\)$", re.DOTALL)
_NOT_UTF8 = "stream did not contain valid UTF-8"
_NUL_IN_PATH = "file name contained an unexpected NUL byte"


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
        self.text = text
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
        self.text = text
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


def translate_os_error(error: OSError, path: str, expected: str,
                       utf8_line: Callable[[], int | None] | None = None) -> Exception:
    """The standard exception for a native reader's bare OSError about `path`.

    "path: No such file or directory (os error 2)" becomes FileNotFoundError with
    errno 2 and filename `path` (OSError(errno, strerror, filename) picks the
    subclass); content that is not UTF-8 becomes a FormatError, naming the line that
    `utf8_line` finds when it is given.
    """
    if type(error) is not OSError or error.errno is not None or len(error.args) != 1:
        return error
    message = str(error.args[0])
    prefix = f"{path}: "
    if not message.startswith(prefix):
        return error
    reason = message[len(prefix):]
    if reason == _NOT_UTF8:
        line = utf8_line() if utf8_line is not None else None
        if line is None:
            return FormatError(path, expected, None, "the file is not UTF-8 text")
        return FormatError(path, expected, line, "bytes that are not UTF-8 text")
    if reason == _NUL_IN_PATH:
        return ValueError(f"{path!r}: the path contains a NUL character")
    match = _OS_ERROR.match(reason)
    if match is None:
        return error
    return OSError(int(match["errno"]), match["reason"], path)


def native_read(reader: Callable[[str], _T], path: str, expected: str,
                utf8_line: Callable[[], int | None] | None = None) -> _T:
    """Calls a native reader on `path`, raising its file errors as standard exceptions.

    `utf8_line`, when given, finds the line of the first bytes that are not UTF-8, for
    the FormatError that replaces the reader's error about them.
    """
    try:
        return reader(path)
    except OSError as error:
        translated = translate_os_error(error, path, expected, utf8_line)
        if translated is error:
            raise
        raise translated from None
