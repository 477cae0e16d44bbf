"""The lines of a text file read as a stream, compressed or not, with the readers' limits."""

from __future__ import annotations

from collections.abc import Container

from .errors import FormatError
from .source import Inflated, is_gzip, open_regular

__all__ = ["LineStream"]

# Bytes read at a time, and the longest line taken: lines of a run's text files are short.
_PIECE = 1 << 20
_LONGEST_LINE = 1 << 20


class LineStream:
    """The lines of a text file, read and inflated a piece at a time: the file is never held whole.

    Compressed files inflate no further than the readers' limit; a line longer than
    `_LONGEST_LINE` (a file of NUL bytes, a damaged one) is refused.
    """

    def __init__(self, path: str, expected: str) -> None:
        self.path = path
        self.expected = expected
        self.number = 0  # of the last line handed out, from 1
        self._stream = open_regular(path)
        head = self._stream.read(2)
        self._stream.seek(0)
        self._read = Inflated(self._stream, path).read if is_gzip(head) else self._stream.read
        self._lines: list[str] = []
        self._next = 0
        self._pending = b""
        self._end = False

    def close(self) -> None:
        self._stream.close()

    def _fill(self) -> bool:
        while self._next >= len(self._lines):
            if self._end:
                return False
            try:
                piece = self._read(_PIECE)
            except ValueError as error:  # damaged, cut-off or over-large gzip data
                raise FormatError(self.path, self.expected, None, str(error).removeprefix(f"{self.path}: ")) from None
            data = self._pending + piece
            if piece:
                cut = data.rfind(b"\n") + 1
                data, self._pending = data[:cut], data[cut:]
                if len(self._pending) > _LONGEST_LINE:
                    raise FormatError(self.path, self.expected, self.number + len(self._lines) - self._next
                                      + data.count(b"\n") + 1, f"a line of more than {_LONGEST_LINE} bytes")
            else:
                self._end, self._pending = True, b""
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError as error:
                line = self.number + data.count(b"\n", 0, error.start) + 1
                raise FormatError(self.path, self.expected, line, "bytes that are not UTF-8 text") from None
            if self.number == 0 and text.startswith("\ufeff"):
                text = text[1:]  # a byte-order mark says nothing a data file needs
            self._lines = text.splitlines()
            self._next = 0
        return True

    def next(self) -> str | None:
        """The next line, or None at the end of the file."""
        if not self._fill():
            return None
        self.number += 1
        self._next += 1
        return self._lines[self._next - 1]

    def take(self, count: int) -> list[str]:
        """The next `count` lines or fewer (at the end of the file), in one step."""
        taken: list[str] = []
        while len(taken) < count and self._fill():
            more = self._lines[self._next:self._next + count - len(taken)]
            taken += more
            self._next += len(more)
            self.number += len(more)
        return taken

    def put_back(self, lines: list[str]) -> None:
        """Hand these lines out again next, as if they had not been read."""
        self._lines[self._next:self._next] = lines
        self.number -= len(lines)

    def pass_rows(self, starts: Container[str]) -> str | None:
        """Pass over the lines that are blank or start with one of `starts`; the first other line, or None.

        The rows of a section not kept (velocities, bonds) start with a digit: they are
        passed over here without a call per line.
        """
        while self._fill():
            lines = self._lines
            for k in range(self._next, len(lines)):
                head = lines[k][:1]
                if head and head not in starts:
                    self.number += k - self._next + 1
                    self._next = k + 1
                    return lines[k]
            self.number += len(lines) - self._next
            self._next = len(lines)
        return None
