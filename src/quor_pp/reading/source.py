"""Opening an input file: regular files only, gzip-compressed ones inflated as they are read, no line beyond a limit."""

from __future__ import annotations

import errno
import os
import stat
import zlib
from collections.abc import Callable, Iterator
from typing import BinaryIO

__all__ = ["GZIP_LIMIT", "LONGEST_LINE", "Inflated", "LineTooLong", "is_gzip", "open_regular", "read_all",
           "read_bytes"]

#: The most a compressed file may inflate to, in bytes: a small file that claims to
#: hold far more (a "zip bomb") is refused before it takes the machine's memory.
GZIP_LIMIT = 1 << 32
#: The longest line taken from a file, in bytes. A run writes lines of at most a few
#: kilobytes (a header of some hundred columns); a "line" of a megabyte is a damaged
#: file, typically the tail of NUL bytes that a crash leaves (it holds no line feed),
#: and is refused as soon as it is passed, before it costs more memory than this.
LONGEST_LINE = 1 << 20
_GZIP_MAGIC = b"\x1f\x8b"
_CHUNK = 1 << 20

_TYPES = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def open_regular(path: str) -> BinaryIO:
    """The file at `path` opened for reading in binary, when it is a regular file.

    It is opened without blocking, so a named pipe is refused instead of waiting for
    a writer. A directory raises IsADirectoryError; a pipe, device or socket an
    OSError (errno EINVAL) saying what it is; both carry `filename`.
    """
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            what = next((name for test, name in _TYPES if test(mode)), "not a plain file")
            raise OSError(errno.EINVAL, f"not a regular file but {what}", path)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def is_gzip(head: bytes) -> bool:
    """True when these first bytes of a file are those of gzip data."""
    return head.startswith(_GZIP_MAGIC)


class Inflated:
    """The content of gzip data, inflated as it is asked for: the first lines can be
    looked at (and a file refused), and the rest handed to a reader a block at a
    time, never held whole.

    Raises ValueError for data that is damaged, cut off, or inflates beyond `limit`.
    """

    def __init__(self, file: BinaryIO, path: str, limit: int = GZIP_LIMIT) -> None:
        self._pieces = self._inflate(file, path, limit)
        self._held = b""

    @staticmethod
    def _inflate(file: BinaryIO, path: str, limit: int) -> Iterator[bytes]:
        size = 0
        inflater = zlib.decompressobj(wbits=31)
        pending = b""
        try:
            while pending or (pending := file.read(_CHUNK)):
                piece = inflater.decompress(pending, _CHUNK)
                pending = inflater.unconsumed_tail
                size += len(piece)
                if size > limit:
                    raise ValueError(f"{path}: the compressed data holds more than {limit} bytes")
                yield piece
                if inflater.eof:  # a gzip file may be several members one after the other
                    pending = inflater.unused_data + pending
                    if not pending and not (pending := file.read(_CHUNK)):
                        return
                    inflater = zlib.decompressobj(wbits=31)
        except zlib.error as error:
            raise ValueError(f"{path}: damaged gzip data ({error})") from None
        if not inflater.eof:
            raise ValueError(f"{path}: the compressed data ends early (a cut-off .gz file)")

    def read(self, size: int) -> bytes:
        """The next `size` bytes (fewer at the end)."""
        parts = [self._held]
        held = len(self._held)
        while held < size and (piece := next(self._pieces, None)) is not None:
            parts.append(piece)
            held += len(piece)
        data = b"".join(parts)
        self._held = data[size:]
        return data[:size]

    def unread(self, data: bytes) -> Inflated:
        """This stream with `data`, the bytes read from it so far, put back in front."""
        self._held = data + self._held
        return self


class LineTooLong(ValueError):
    """A line longer than a reader takes, refused as soon as that many bytes went by.

    Parameters
    ----------
    path : str
        The file, as given.
    line : int
        The line's number, from 1.
    longest : int
        The longest line taken, in bytes.
    """

    def __init__(self, path: str, line: int, longest: int) -> None:
        self.path = path
        self.line = line
        self.longest = longest
        super().__init__(f"{path}: line {line} is longer than {longest} bytes")

    def __reduce__(self) -> tuple[type[LineTooLong], tuple[str, int, int]]:
        return (type(self), (self.path, self.line, self.longest))


def read_all(read: Callable[[int], bytes], path: str, before: bytes = b"", longest_line: int = LONGEST_LINE) -> bytes:
    """`before`, then all that `read(size)` hands out, with no line longer than `longest_line` bytes.

    Raises
    ------
    LineTooLong
        As soon as a line (its bytes before the line feed) has passed `longest_line`.
    """
    parts = [before]
    lines = before.count(b"\n")  # line feeds so far
    open_line = len(before) - (before.rfind(b"\n") + 1)  # bytes of the line not yet ended
    # Chunks of at most the longest line: a line wholly inside one is shorter, so
    # only the line that runs into a chunk from before can be too long.
    size = max(1, min(_CHUNK, longest_line))
    while chunk := read(size):
        parts.append(chunk)
        first = chunk.find(b"\n")
        if open_line + (len(chunk) if first < 0 else first) > longest_line:
            raise LineTooLong(path, lines + 1, longest_line)
        if first < 0:
            open_line += len(chunk)
        else:
            lines += chunk.count(b"\n")
            open_line = len(chunk) - (chunk.rfind(b"\n") + 1)
    return b"".join(parts)


def read_bytes(path: str, limit: int = GZIP_LIMIT, longest_line: int = LONGEST_LINE) -> bytes:
    """The content of the regular file at `path`, inflated when it is gzip data.

    Raises
    ------
    OSError
        As `open_regular`, or when the file cannot be read.
    ValueError
        For gzip data that is damaged, cut off, or inflates beyond `limit` bytes;
        LineTooLong (a ValueError) for a line longer than `longest_line` bytes.
    """
    with open_regular(path) as file:
        head = file.read(len(_GZIP_MAGIC))
        if not is_gzip(head):
            return read_all(file.read, path, head, longest_line)
        file.seek(0)
        return read_all(Inflated(file, path, limit).read, path, longest_line=longest_line)
