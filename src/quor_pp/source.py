"""Opening an input file: regular files only, gzip-compressed ones read transparently in memory."""

from __future__ import annotations

import errno
import os
import stat
import zlib
from typing import BinaryIO

__all__ = ["GZIP_LIMIT", "BytesReader", "is_gzip", "open_regular", "read_bytes"]

#: The most a compressed file may inflate to, in bytes: a small file that claims to
#: hold far more (a "zip bomb") is refused before it takes the machine's memory.
GZIP_LIMIT = 1 << 32
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


def _inflate(file: BinaryIO, path: str, limit: int) -> bytes:
    parts: list[bytes] = []
    size = 0
    inflater = zlib.decompressobj(wbits=31)
    pending = b""
    while True:
        if not pending:
            pending = file.read(_CHUNK)
            if not pending:
                break
        piece = inflater.decompress(pending, _CHUNK)
        pending = inflater.unconsumed_tail
        size += len(piece)
        if size > limit:
            raise ValueError(f"{path}: the compressed data holds more than {limit} bytes")
        parts.append(piece)
        if inflater.eof:  # a gzip file may be several members one after the other
            rest = inflater.unused_data + pending
            inflater = zlib.decompressobj(wbits=31)
            pending = rest
            if not pending and not (pending := file.read(_CHUNK)):
                return b"".join(parts)
    if not inflater.eof:
        raise ValueError(f"{path}: the compressed data ends early (a cut-off .gz file)")
    return b"".join(parts)


def read_bytes(path: str, limit: int = GZIP_LIMIT) -> bytes:
    """The content of the regular file at `path`, inflated when it is gzip data.

    Raises
    ------
    OSError
        As `open_regular`, or when the file cannot be read.
    ValueError
        For gzip data that is damaged, cut off, or inflates beyond `limit` bytes.
    """
    with open_regular(path) as file:
        head = file.read(len(_GZIP_MAGIC))
        if not is_gzip(head):
            return head + file.read()
        file.seek(0)
        try:
            return _inflate(file, path, limit)
        except zlib.error as error:
            raise ValueError(f"{path}: damaged gzip data ({error})") from None


class BytesReader:
    """Reads a bytes object piece by piece, as a file is read."""

    def __init__(self, data: bytes) -> None:
        self.data = memoryview(data)
        self.at = 0

    def read(self, size: int) -> bytes:
        piece = bytes(self.data[self.at:self.at + size])
        self.at += len(piece)
        return piece

