"""Lines and fields of a text file, by the same rules as the native readers, and one fast pass over its bytes."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from .errors import FormatError

# The native readers' whitespace: the characters with the Unicode White_Space property.
# Python's str.split() also splits at U+001C to U+001F, which are not among them.
_WHITESPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
_FIELD = re.compile("[^" + re.escape(_WHITESPACE) + "]+")

# A field is a number when the whole field is a decimal number (digits with at most one
# point and at least one digit, an optional exponent) or inf/infinity/nan, with an
# optional sign. Python's float() is wider (underscores, surrounding blanks), hence
# the pattern.
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))")
# What a number can look like when the line holding it was cut off while being written.
_NUMBER_START = re.compile(
    r"[+-]?(?:(?:\d+\.?\d*|\.\d*)(?:[eE][+-]?\d*)?|(?i:i(?:n(?:f(?:i(?:n(?:i(?:ty?)?)?)?)?)?)?|n(?:an?)?))?")
_COUNT = re.compile(r"\+?\d+")
_COUNT_START = re.compile(r"\+?\d*")

#: Bytes read at a time by `scan`: large enough that the per-block cost of the calls
#: vanishes, small enough that its buffers stay in the processor's cache.
CHUNK_SIZE = 1 << 18


def is_number(field: str) -> bool:
    """True when `field` is a number for the native readers."""
    return _NUMBER.fullmatch(field) is not None


def is_count(field: str) -> bool:
    """True when `field` is an unsigned decimal integer."""
    return _COUNT.fullmatch(field) is not None


def is_cut_count(field: str) -> bool:
    """True when `field` may be the beginning of an unsigned decimal integer."""
    return _COUNT_START.fullmatch(field) is not None


def fields(text: str) -> list[str]:
    """The fields of a line: its runs of characters that are not whitespace."""
    return _FIELD.findall(text)


def strip_leading(text: str) -> str:
    """The line without its leading whitespace."""
    return text.lstrip(_WHITESPACE)


def clean_line(line: str) -> str:
    """The line without '#', with tabs as blanks and no leading whitespace."""
    return strip_leading(line.replace("#", "").replace("\t", " "))


def is_row(values: list[str], width: int) -> bool:
    """True when a line of these fields is a row of `width` columns for the native readers.

    That is: at least `width` fields, the first `width` of them numbers (the rest are
    not looked at); with no columns, no line is a row.
    """
    return 0 < width <= len(values) and all(map(is_number, values[:width]))


def is_cut_row(values: list[str], width: int) -> bool:
    """True when a line of these fields may be the start of a row of `width` numbers.

    That is what a row cut off while being written looks like: no more fields than
    columns, every field a number except that the last may be a number's beginning
    ("3.1e+", "-", "in").
    """
    return (0 < len(values) <= width and all(map(is_number, values[:-1]))
            and _NUMBER_START.fullmatch(values[-1]) is not None)


def split_lines(data: bytes, path: str, expected: str) -> list[str]:
    """The lines of UTF-8 text.

    Lines end at line feeds; a carriage return before a line feed goes with it; a final
    line feed makes no empty last line. Bytes that are not UTF-8 raise FormatError
    naming the line that holds them.
    """
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise FormatError(path, expected, line, "bytes that are not UTF-8 text") from None
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def first_line_not_utf8(data: bytes) -> int | None:
    """Number (from 1) of the first line holding bytes that are not UTF-8, or None."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        return data.count(b"\n", 0, error.start) + 1
    return None


def read_lines(path: str, expected: str) -> list[str]:
    """The lines of the UTF-8 text file at `path` (see `split_lines`).

    File-system failures raise the standard OSError subclasses (with errno and
    filename).
    """
    with open(path, "rb") as file:
        return split_lines(file.read(), path, expected)


def decode_line(raw: bytes) -> str | None:
    """A line's bytes as text, without the carriage return of a CR LF ending; None when not UTF-8."""
    if raw.endswith(b"\r"):
        raw = raw[:-1]
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return None


def count_lines(file: BinaryIO, offset: int) -> int:
    """Number of lines of `file` from `offset` on (text after the last line feed is a line)."""
    file.seek(offset)
    lines = 0
    block = b""
    while more := file.read(CHUNK_SIZE):
        block = more
        lines += int(np.count_nonzero(np.frombuffer(block, np.uint8) == 10))
    return lines + (bool(block) and not block.endswith(b"\n"))


#: Lines at the end of the file that `scan` keeps, from at least its last TAIL_BYTES.
TAIL_LINES = 64
TAIL_BYTES = 1 << 16

#: Called by `scan` with the number of a line it was asked for and the line's bytes
#: (line feed removed); returns the number of the next line wanted, or None.
LinePicker = Callable[[int, bytes], "int | None"]


@dataclass
class Scan:
    """What one pass over the bytes of a file, from some offset to its end, found.

    Attributes
    ----------
    lines : int
        Lines after the offset (text after the last line feed is a line), when they
        were counted.
    fields : int
        Their fields, counted as runs of bytes that are not ASCII whitespace (blank,
        tab, line feed, vertical tab, form feed, carriage return). When every byte is
        ASCII these are exactly the fields of the native readers.
    ascii : bool
        Every byte is ASCII.
    tail : list of bytes
        The last complete lines (without line feed, nor the carriage return of a
        CR LF ending), at most TAIL_LINES of them.
    tail_first : int
        Number (from 0, counted from the offset) of ``tail[0]`` when the lines were
        counted; otherwise 0 when ``tail[0]`` is the first line after the offset, -1
        when it is not.
    """

    lines: int = 0
    fields: int = 0
    ascii: bool = True
    tail: list[bytes] = field(default_factory=list)
    tail_first: int = 0


def scan(file: BinaryIO, offset: int, pick: LinePicker | None = None, first_wanted: int = 0) -> Scan:
    """Counts the fields of `file` from `offset` on, in blocks of CHUNK_SIZE bytes.

    With `pick`, also counts the lines, and calls `pick` with line `first_wanted`
    (numbered from 0 at the offset), then with each line it asks for next, in order,
    until it returns None. The counts take a few passes of NumPy comparisons over each
    block, with no Python work per line; nothing of the file is kept but its end.
    """
    file.seek(offset)
    # Buffers as large as the largest block read (the first one, unless the file grows).
    shifted = np.empty(0, np.uint8)
    starts = np.empty(0, np.bool_)
    # blank[i + 1] tells whether byte i of the block is whitespace; blank[0] is the
    # last byte of the block before (a line feed before the first block).
    blank = np.ones(1, np.bool_)
    result = Scan()
    wanted = first_wanted if pick is not None else None
    stride = 0  # between the last two lines picked
    count_lines = pick is not None
    carry = b""  # the line in progress at the end of the blocks read so far, when picking
    chunk = b""
    recent: list[bytes] = []  # the last blocks, at least TAIL_BYTES of them when the file has that many
    recent_size = 0
    while block := file.read(CHUNK_SIZE):
        chunk = block
        recent.append(chunk)
        recent_size += len(chunk)
        while recent_size - len(recent[0]) >= TAIL_BYTES:
            recent_size -= len(recent.pop(0))
        n = len(chunk)
        if n > len(starts):
            shifted = np.empty(n, np.uint8)
            starts = np.empty(n, np.bool_)
            blank = np.concatenate((blank[:1], np.empty(n, np.bool_)))
        codes = np.frombuffer(chunk, np.uint8)
        # Whitespace is 9 to 13 or 32: codes - 9 (wrapping around) below 5, or 32.
        np.subtract(codes, 9, out=shifted[:n])
        np.less(shifted[:n], 5, out=blank[1:n + 1])
        np.equal(codes, 32, out=starts[:n])
        np.logical_or(blank[1:n + 1], starts[:n], out=blank[1:n + 1])
        # A field starts at a byte that is not whitespace after one that is.
        np.greater(blank[:n], blank[1:n + 1], out=starts[:n])
        result.fields += int(np.count_nonzero(starts[:n]))
        blank[0] = blank[n]
        if result.ascii:
            result.ascii = chunk.isascii()
        if not count_lines:
            continue
        np.equal(codes, 10, out=starts[:n])
        if wanted is None:
            count = int(np.count_nonzero(starts[:n]))
        else:
            assert pick is not None
            ends = np.flatnonzero(starts[:n])
            count = len(ends)
            first = result.lines
            while wanted is not None and wanted < first + count:
                # The lines wanted next if the stride stays the same, looked up at once.
                wanted_here = np.arange(wanted - first, count, max(stride, 1))
                stops = ends[wanted_here].tolist()
                begins = (ends[np.maximum(wanted_here - 1, 0)] + 1).tolist()
                for k, begin, stop in zip(wanted_here.tolist(), begins, stops):
                    if first + k != wanted:
                        break
                    line = carry + chunk[:stop] if k == 0 else chunk[begin:stop]
                    asked = pick(wanted, line)
                    stride = asked - wanted if asked is not None else 0
                    wanted = asked
            carry = chunk[chunk.rfind(b"\n") + 1:] if count else carry + chunk
        result.lines += count
    if count_lines and chunk and not chunk.endswith(b"\n"):
        if wanted == result.lines:
            assert pick is not None
            pick(wanted, carry)
        result.lines += 1
    # The last lines, from the last blocks; the first piece is a whole line only when
    # it begins at the offset.
    end = b"".join(recent)
    tail = end.rsplit(b"\n", TAIL_LINES) if end else []
    whole = len(tail) <= TAIL_LINES and file.tell() - len(end) <= offset
    if chunk.endswith(b"\n"):
        tail.pop()
    if not whole:
        tail.pop(0)
    result.tail = [line[:-1] if line.endswith(b"\r") else line for line in tail]
    result.tail_first = result.lines - len(tail) if count_lines else 0 if whole else -1
    return result


@dataclass
class LineShapes:
    """The lines of a text held in memory, as NumPy arrays: where each is, its fields, and which are odd.

    Attributes
    ----------
    starts, ends : ndarray of intp
        Byte offsets of each line's first byte and of its end (its line feed, or the
        end of the text).
    fields : ndarray of intp
        Its fields, counted as runs of bytes that are not ASCII whitespace.
    marked : ndarray of bool
        It holds a '#' or a byte that is not ASCII (which may belong to a whitespace
        character): its fields are for a closer look to tell.
    """

    starts: npt.NDArray[np.intp]
    ends: npt.NDArray[np.intp]
    fields: npt.NDArray[np.intp]
    marked: npt.NDArray[np.bool_]

    def text(self, data: bytes, number: int) -> str:
        """Line `number` of `data` (whose lines these are), without its line ending."""
        line = data[self.starts[number]:self.ends[number]].decode("utf-8", "replace")
        return line.removesuffix("\r")


def line_shapes(data: bytes) -> LineShapes:
    """The shapes of the lines of `data`: a few NumPy passes over it, no Python work per line."""
    codes = np.frombuffer(data, np.uint8)
    # Whitespace is 9 to 13 or 32 (see `scan`); a field starts where a byte that is not
    # whitespace follows one that is, or begins the text.
    blank = np.less(codes - np.uint8(9), 5)
    blank |= codes == 32
    first_bytes = ~blank
    first_bytes[1:] &= blank[:-1]
    field_starts = np.flatnonzero(first_bytes)
    ends = np.flatnonzero(codes == 10)
    starts = np.concatenate(([0], ends + 1))
    if len(data) and not data.endswith(b"\n"):
        ends = np.append(ends, len(data))
    else:
        starts = starts[:-1]
    fields = np.diff(np.searchsorted(field_starts, starts), append=len(field_starts))
    marked = np.zeros(len(starts), np.bool_)
    odd_bytes = codes == 35
    if not data.isascii():
        odd_bytes |= codes >= 0x80
    marked[np.searchsorted(starts, np.flatnonzero(odd_bytes), side="right") - 1] = True
    return LineShapes(starts.astype(np.intp), ends.astype(np.intp), fields.astype(np.intp), marked)
