"""The package's private reader: the module's columns exactly, and a report of what it refused."""

import errno
import gzip
import os

import numpy as np
import pytest

import _quor_pp
import test_readers
from conftest import same_floats
from quor_pp import _native


def _mark_args(test, name):
    """The values of one parametrized argument of an existing test."""
    for mark in test.pytestmark:
        names = [n.strip() for n in mark.args[0].split(",")]
        if name in names:
            index = names.index(name)
            return [case[index] if len(names) > 1 else case for case in mark.args[1]]
    raise LookupError(name)


def _module_cases():
    """Every table text the module's own reader tests use, and a few generated ones."""
    texts = list(_mark_args(test_readers.test_parse_quor_file, "text"))
    texts += [f"#Time\n{field}\n" for field in _mark_args(test_readers.test_number_grammar, "field")]
    texts += [f"{header}\n1 2 3\n" for header in _mark_args(test_readers.test_header_cleaning, "header")]
    rng = np.random.default_rng(7)
    rows = "\n".join(" ".join(f"{v:.17g}" for v in rng.normal(0, 1e3, 4)) for _ in range(5000))
    texts += ["#c\n#Time a b c\n" + rows + "\n", "x y\n1 2\n#Time v v\n3 4 5\n# 6 7 8\n5#6 7 8\n1 2 3 4 extra\n"]
    return texts


@pytest.mark.parametrize("text", _module_cases())
def test_columns_are_the_modules_bit_for_bit_from_a_path_and_from_memory(write_file, text):
    path = write_file(text)
    try:
        expected = _quor_pp.parse_quor_file(path)
    except ValueError:  # no header: the private reader finds no names either
        assert not _native.read_table(path, clean_rows=True)["names"]
        return
    for source in (path, text.encode(), bytearray(text.encode()), memoryview(text.encode())):
        found = _native.read_table(source, clean_rows=True, refused_limit=10**9)
        columns = {name: np.frombuffer(values).tolist() for name, values in found["columns"].items()}
        assert list(columns) == list(expected)
        assert all(same_floats(columns[name], values) for name, values in expected.items())


@pytest.mark.parametrize("text, options, refused, cut", [
    ("#Time a\n1 2\n# note\nx y\n3\n4 5\n", {}, [(4, "not a row"), (5, "not a row")], None),
    ("#Time a\n1 2\n1 2 3\n4 5\n", {}, [(3, "more fields than columns")], None),
    ("#Time a\n1 2\n\n4 5.2e", {}, [], (4, "4 5.2e", None, None)),
    ("t\n# a b\n1 2\n#Time a b\n", {"header": 1}, [(4, "a second header line")], None),
    ("t\nn\n# a b\n7 2\n1 2\n3 4\n8 2\n5 6\n", {"header": 2, "block_fields": 2}, [], (7, "8 2", 1, 2)),
    ("t\nn\n# a b\n7 2\n1 2\n3 4\n1.5 2\n", {"header": 2, "block_fields": 2},
     [(7, "not the first line of a block")], None),
])
def test_refused_lines_and_a_cut_off_end_are_reported(text, options, refused, cut):
    found = _native.read_table(text.encode(), refused_limit=10, **options)
    assert [(line, reason) for line, reason, _, _ in found["refused"]] == refused
    assert (found["cut"] and found["cut"][:4]) == cut


def test_reading_stops_after_the_limit_of_refused_lines():
    found = _native.read_table(b"#Time\n1\nx\ny\nz\n2\n", refused_limit=2)
    assert found["stopped"] and [line for line, *_ in found["refused"]] == [3, 4]


def test_bytes_that_are_not_utf8_are_reported_with_their_line():
    assert _native.read_table(b"#Time a\n1\n2\xff\n3\n")["not_utf8_line"] == 3


def test_file_errors_are_standard_os_errors_with_errno_and_filename(tmp_path):
    missing = str(tmp_path / "missing.dat")
    with pytest.raises(FileNotFoundError) as caught:
        _native.read_table(missing)
    assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, missing)
    assert caught.value.strerror == os.strerror(errno.ENOENT)
    with pytest.raises(IsADirectoryError) as caught:
        _native.read_table(str(tmp_path))
    assert caught.value.filename == str(tmp_path)
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    with pytest.raises(OSError, match="named pipe") as caught:  # refused at once, never waiting for a writer
        _native.read_table(fifo)
    assert caught.value.errno == errno.EINVAL


def _plain(found):
    return {**found, "columns": {name: bytes(values) for name, values in found["columns"].items()}}


def test_gzip_data_reads_as_the_plain_text_through_the_memory_entry(write_file):
    text = b"#Time a b\n1 2\n3 4\n"
    packed = _plain(_native.read_table(gzip.decompress(gzip.compress(text))))
    assert packed == _plain(_native.read_table(text)) == _plain(_native.read_table(write_file(text)))
