"""The private reader reads a path, bytes in memory and a stream alike, through one line reader."""

import errno

import pytest

from quor_pp import _native
from quor_pp.source import LineTooLong, read_all
from test_native_reader import _module_cases


def _plain(found):
    """The reader's report with its columns as bytes, to compare reports whole."""
    return {**found, "columns": {name: bytes(values) for name, values in found.get("columns", {}).items()}}


class Stream:
    """Bytes handed out at most `most` at a time, as a pipe or an inflater may; counts what it handed out."""

    def __init__(self, data, most=1 << 30):
        self.data = memoryview(data)
        self.most = most
        self.handed_out = 0

    def read(self, size):
        piece = bytes(self.data[:min(size, self.most)])
        self.data = self.data[len(piece):]
        self.handed_out += len(piece)
        return piece


class EndlessNul:
    """A stream of NUL bytes that never ends: a reader must stop by itself."""

    handed_out = 0

    def read(self, size):
        self.handed_out += size
        return bytes(size)


def read_everywhere(write_file, data, **options):
    """What the reader finds in `data` from a file, from memory and from streams of large and tiny reads."""
    found = [_plain(_native.read_table(source, **options))
             for source in (write_file(data), data, Stream(data), Stream(data, most=7))]
    assert all(other == found[0] for other in found[1:])
    return found[0]


@pytest.mark.parametrize("text", _module_cases())
def test_a_stream_reads_as_the_file(write_file, text):
    read_everywhere(write_file, text.encode(), clean_rows=True, refused_limit=10**9)


@pytest.mark.parametrize("data, not_utf8_line, refused", [
    (b"#Time a\n1 2\n\xff 3\n4 5\n", 3, []),
    (b"#Time a\n1 2\r\n3 4\r\n5 \xe2\x82\r\n", 4, []),  # a character cut short at the end of its line
    (b"#Time a\n1 2\n3 4\n5 6\xff", 4, []),  # on the last line, without a line feed
    # Reading stops at a refused line before it gets to the bytes that are not UTF-8,
    # even when they arrive in the same block.
    (b"#Time a\n1 2\nx\n3 4\n" + b"5 6\n" * 100 + b"\xff\n", None, [3]),
])
def test_the_first_line_that_is_not_utf8_is_named_where_reading_gets_to_it(write_file, data, not_utf8_line,
                                                                            refused):
    found = read_everywhere(write_file, data)
    assert found["not_utf8_line"] == not_utf8_line
    if not_utf8_line is None:
        assert [line for line, *_ in found["refused"]] == refused


ROW_16 = b"1 " + b"0" * 14  # a row of 16 bytes


@pytest.mark.parametrize("data, long_line, refused", [
    (b"#Time a\n" + ROW_16 + b"\n2 3\n", None, []),
    (b"#Time a\n" + ROW_16 + b"0\n2 3\n", 2, []),
    (b"#Time a\n" + ROW_16 + b"\r\n2 3\n", 2, []),  # the CR is a byte of the line as written
    (b"#Time a\n2 3\n" + ROW_16, None, []),
    (b"#Time a\n2 3\n" + ROW_16 + b"0", 3, []),  # the last line, without a line feed
    (b"#Time a\n" + b"0" * 17, 2, []),
    (b"#Time a\n2 3\nx\n" + ROW_16 + b"0\n", None, [3]),  # a line refused before it comes first
])
def test_a_line_longer_than_the_limit_ends_the_reading(write_file, data, long_line, refused):
    found = read_everywhere(write_file, data, longest_line=16)
    assert found["long_line"] == long_line
    assert [line for line, *_ in found["refused"]] == refused
    assert found["stopped"] == bool(refused)
    if long_line is None and not refused:
        assert bytes(found["columns"]["a"]) == bytes(memoryview(_native.read_table(data)["columns"]["a"]))


def test_without_a_limit_a_line_may_be_longer_than_a_block(write_file):
    long_row = b"1 " + b"0" * (1 << 20) + b"\n"
    found = read_everywhere(write_file, b"#Time a\n" + long_row + b"2 3\n")
    assert found["long_line"] is None and len(found["columns"]["a"]) == 2 * 8


def test_an_endless_line_is_refused_once_the_limit_is_passed():
    stream = EndlessNul()
    found = _native.read_table(stream, longest_line=1 << 20)
    assert found["long_line"] == 1
    assert stream.handed_out <= 4 << 20  # read up to a block past the limit, never on


class Raising:
    def __init__(self, error):
        self.error = error

    def read(self, size):
        raise self.error


@pytest.mark.parametrize("source, kind", [
    (Raising(OSError(errno.EIO, "Input/output error")), OSError),
    (Raising(ValueError("damaged gzip data")), ValueError),
    (type("Text", (), {"read": lambda self, size: "#Time a\n"})(), TypeError),
    (type("TooMuch", (), {"read": lambda self, size: bytes(size + 1)})(), TypeError),
    (3, TypeError),
])
def test_a_streams_failure_is_raised_as_it_is(source, kind):
    with pytest.raises(kind) as caught:
        _native.read_table(source)
    if isinstance(source, Raising):
        assert caught.value is source.error


def first_long_line(data, longest=16):
    """The number and the offset of the first line longer than `longest` bytes, found by splitting; or None."""
    start = 0
    for number, line in enumerate(data.split(b"\n"), 1):
        if len(line) > longest:
            return number, start
        start += len(line) + 1
    return None


@pytest.mark.parametrize("data", [
    b"", b"x" * 16, b"x" * 17, b"a\n" + b"x" * 16 + b"\n", b"a\n" + b"x" * 17 + b"\nb\n",
    b"\n" * 40 + b"y" * 17, b"0123456789\n" * 10, b"0123456789" * 2 + b"\n",
    b"#Time a\r\n" + b"1 " + b"0" * 14 + b"\r\n",  # 17 bytes before the line feed, the CR one of them
])
@pytest.mark.parametrize("before", [0, 5, 12])
@pytest.mark.parametrize("most", [3, 1 << 20])
def test_read_all_refuses_the_first_line_longer_than_the_limit(data, before, most):
    stream = Stream(data[before:], most=most)
    found = first_long_line(data)
    if found is None:
        assert read_all(stream.read, "f", data[:before], longest_line=16) == data
        return
    line, start = found
    with pytest.raises(LineTooLong, match=f"^f: line {line} is longer than 16 bytes$"):
        read_all(stream.read, "f", data[:before], longest_line=16)
    # Refused within the read that passed the limit, which asks for at most 16 bytes.
    assert before + stream.handed_out <= start + 17 + min(most, 16) - 1
