"""All five readers read a file the same way: as if whole, whatever its size and line lengths.

Files here are larger than the reading blocks, so line ends, CR LF pairs and
multi-byte characters fall on block edges, and some lines are longer than a block.
"""
import functools
import random

import pytest

import _quor_pp as qp

BLOCK = 1 << 18  # comfortably above: files of several blocks, lines of more than one
LONG_LINE = "x" * (BLOCK + 12345)
INVALID = "stream did not contain valid UTF-8"


def spaced(rng, values):
    """Values joined by a mix of ASCII and Unicode blanks (all White_Space, all split by str.split)."""
    return "".join(rng.choice([" ", "\t", "\u3000", " \u2003 ", "\u00a0"]) + repr(v) for v in values)


def table_file(rng, preamble, names):
    """A table of several blocks under `preamble`; returns its text and its columns."""
    rows = [[rng.uniform(-1e3, 1e3) for _ in names] for _ in range(20000)]
    lines = list(preamble)
    for k, row in enumerate(rows):
        lines.append(spaced(rng, row) + rng.choice(["", " ", "\u2003"]))
        if k in (7000, 15000):
            lines += [LONG_LINE, "", "abc" + spaced(rng, row)]  # never rows
    expected = {name: [row[k] for row in rows] for k, name in enumerate(names)}
    return "\r\n".join(lines) + "\r\n", expected


def filler(rng, size):
    """Lines that no reader takes as its answer: one field, a non-number second field, blanks."""
    lines, total = [], 0
    while total < size:
        line = rng.choice(["x", "0 abc", "   ", "", "group", "1 1,5 2", "\u3000#"])
        lines.append(line)
        total += len(line) + 1
    return lines


@functools.cache
def layout(reader):
    """The call, a file of several blocks, and what the call returns for it."""
    rng = random.Random(reader)
    if reader == "parse_quor_file":
        text, columns = table_file(rng, ["# Self-diffusion", "#Time MSD"], ["Time", "MSD"])
        return qp.parse_quor_file, text, columns
    if reader == "parse_thermoprop":
        text, columns = table_file(rng, ["title", "# Step Temp Press"], ["Step", "Temp", "Press"])
        return qp.parse_thermoprop, text, columns
    if reader == "parse_bond_angle":
        text, columns = table_file(rng, ["t", "s", "# Index Count/Total", "1 2 stats"], ["Index", "Count/Total"])
        return qp.parse_bond_angle, text, columns
    if reader == "parse_volume_density":
        text = "\n".join(["h", "h", *filler(rng, 2 * BLOCK), LONG_LINE, "0 2.5e3", "1 9"]) + "\n"
        return qp.parse_volume_density, text, 2500.0
    text = "\n".join(["group water", "216.5", *filler(rng, 2 * BLOCK), "group water", LONG_LINE,
                      "group water", "\u3000 216 atoms in group water"]) + "\n"
    return (lambda path: qp.read_group_count(path, "water")), text, 216


READERS = ["parse_quor_file", "parse_thermoprop", "parse_bond_angle", "parse_volume_density", "read_group_count"]


@pytest.mark.parametrize("reader", READERS)
def test_files_of_many_blocks(write_file, reader):
    call, text, expected = layout(reader)
    assert call(write_file(text)) == expected
    # LF endings read like CR LF endings
    assert call(write_file(text.replace("\r\n", "\n"))) == expected


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("where", ["end", "next block", "inside a long line"])
def test_bad_bytes_anywhere_fail_the_read(write_file, reader, where):
    """A reader that has its answer early still fails on bad bytes later in the file."""
    call, text, _ = layout(reader)
    data = text.encode()
    cut = {"end": len(data), "next block": BLOCK + 100, "inside a long line": data.index(b"xxx") + BLOCK // 2}[where]
    path = write_file(data[:cut] + b"\xe2\x82" + data[cut:])
    with pytest.raises(OSError) as info:
        call(path)
    assert info.value.args == (f"{path}: {INVALID}",)


@pytest.mark.parametrize("shift", range(4))
@pytest.mark.parametrize("character, valid", [("\u3000", True), ("\U0001f600", True), ("\ufeff", True),
                                              (b"\xed\xa0\x80", False), (b"\xf4\x90\x80\x80", False)])
def test_characters_across_a_block_edge(write_file, shift, character, valid):
    """A character whose bytes straddle the first block's end is read (or refused) as a whole."""
    fill = BLOCK - shift - 4
    head = b"h\nh\n" + b"xx\n" * (fill % 2) + b"x\n" * (fill // 2 - fill % 2)
    assert len(head) == BLOCK - shift
    encoded = character.encode() if isinstance(character, str) else character
    path = write_file(head + encoded + b" 0 7.25\n")
    if valid:
        # A blank (U+3000) makes 0 the first field; any other character is a field of its own.
        assert qp.parse_volume_density(path) == (7.25 if character == "\u3000" else 0.0)
    else:
        with pytest.raises(OSError) as info:
            qp.parse_volume_density(path)
        assert info.value.args == (f"{path}: {INVALID}",)


@pytest.mark.parametrize("reader", READERS)
def test_content_errors_come_after_the_whole_file_is_read(write_file, reader):
    """One blank line of three blocks has no header, data or count, and is too short; with a
    bad byte at its end it is an OSError instead."""
    call, _, _ = layout(reader)
    with pytest.raises(ValueError):
        call(write_file(b" " * 3 * BLOCK))
    path = write_file(b" " * 3 * BLOCK + b"\xff")
    with pytest.raises(OSError) as info:
        call(path)
    assert info.value.args == (f"{path}: {INVALID}",)
