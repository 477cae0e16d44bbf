"""Exceptions of quor_pp, and the translation of the native readers' file errors."""

from __future__ import annotations

import os
import re
from collections.abc import Callable
from typing import TypeVar

__all__ = ["FormatError"]

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


def fspath(path: str | os.PathLike[str]) -> str:
    """The path as a str; bytes paths and other objects raise TypeError."""
    result = os.fspath(path)
    if not isinstance(result, str):
        raise TypeError(f"expected a str or os.PathLike[str] path, not {type(result).__name__}")
    return result


def translate_os_error(error: OSError, path: str, expected: str) -> Exception:
    """The standard exception for a native reader's bare OSError about `path`.

    "path: No such file or directory (os error 2)" becomes FileNotFoundError with
    errno 2 and filename `path` (OSError(errno, strerror, filename) picks the
    subclass); content that is not UTF-8 becomes a FormatError.
    """
    if type(error) is not OSError or error.errno is not None or len(error.args) != 1:
        return error
    message = str(error.args[0])
    prefix = f"{path}: "
    if not message.startswith(prefix):
        return error
    reason = message[len(prefix):]
    if reason == _NOT_UTF8:
        return FormatError(path, expected, None, "the file is not UTF-8 text")
    if reason == _NUL_IN_PATH:
        return ValueError(f"{path!r}: the path contains a NUL character")
    match = _OS_ERROR.match(reason)
    if match is None:
        return error
    return OSError(int(match["errno"]), match["reason"], path)


def native_read(reader: Callable[[str], _T], path: str, expected: str) -> _T:
    """Calls a native reader on `path`, raising its file errors as standard exceptions."""
    try:
        return reader(path)
    except OSError as error:
        translated = translate_os_error(error, path, expected)
        if translated is error:
            raise
        raise translated from None
