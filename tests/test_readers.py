"""The simulation-output readers: lines, fields, numbers, rows and each file layout."""
import errno
import os
import random

import pytest

import _quor_pp as qp
from conftest import same_floats

INF, NAN = float("inf"), float("nan")


def table_equal(got, expected):
    return list(got) == list(expected) and all(same_floats(got[k], expected[k]) for k in expected)


# --- transport-output tables -------------------------------------------------

@pytest.mark.parametrize(
    "text, expected",
    [
        ("# Self-diffusion\n#Time MSD_a MSD_b\n0 0.0 0.0\n10 2.5e-1 2.0\n",
         {"Time": [0.0, 10.0], "MSD_a": [0.0, 0.25], "MSD_b": [0.0, 2.0]}),
        # the last "#Time" line wins; rows before it are ignored
        ("#Time a\n1 2\n#Time b\n3\n4 5\n", {"Time": [4.0], "b": [5.0]}),
        ("  \t#Time x\n1 2\n", {"Time": [1.0], "x": [2.0]}),
        ("#Timestep x\n1 2\n", {"Timestep": [1.0], "x": [2.0]}),
        # no header marker: line 0 is the header (rdf.dat)
        ("r g_r\n0.1 0.0\n0.2 1.3\n", {"r": [0.1, 0.2], "g_r": [0.0, 1.3]}),
        ("# Time a\n1 2\n", {"Time": [1.0], "a": [2.0]}),
        ("#time a\n1 2\n", {"time": [1.0], "a": [2.0]}),
        # every line is cleaned: '#' vanishes from rows too
        ("#Time a b\n# 5 6 7\n5#6 7 8\n1 2\n1 2 3 4 extra\n1 abc 3\n1,2,3\n\n",
         {"Time": [5.0, 56.0, 1.0], "a": [6.0, 7.0, 2.0], "b": [7.0, 8.0, 3.0]}),
        ("#Time\ta\r\n1\t2\r\n3 4\r\n", {"Time": [1.0, 3.0], "a": [2.0, 4.0]}),
        ("#Time v v\n1 2 3\n", {"Time": [1.0], "v": [3.0]}),
        ("#Time a b\n", {"Time": [], "a": [], "b": []}),
        ("#Time a\nnan -inf\nInfinity 1e400\n0x10 1\n1d3 1\n1e 1\n. 1\n",
         {"Time": [NAN, INF], "a": [-INF, INF]}),
        ("#Time Count/Total (K) x-y_z\n1 2 3 4\n", {"Time": [1.0], "Count/Total": [2.0], "(K)": [3.0], "x-y_z": [4.0]}),
        # Unicode whitespace separates fields; the byte-order mark does not
        ("#Time\u00a0a\u3000b\n1\u20282\u000b3\n", {"Time": [1.0], "a": [2.0], "b": [3.0]}),
        ("\ufeffr g\n1 2\n", {"\ufeffr": [1.0], "g": [2.0]}),
        ("\ufeff#Time a\nx y\n1 2\n", {"\ufeffTime": [1.0], "a": [2.0]}),
        ("#Time a\n1 2", {"Time": [1.0], "a": [2.0]}),
    ],
)
def test_parse_quor_file(write_file, text, expected):
    assert table_equal(qp.parse_quor_file(write_file(text)), expected)


@pytest.mark.parametrize("text", ["", "\n#Time a\n", "# #\t##\n1 2\n", "\n", "   \n"])
def test_parse_quor_file_without_header(write_file, text):
    path = write_file(text) if text != "\n#Time a\n" else write_file("\n1 2\n")
    with pytest.raises(ValueError) as info:
        qp.parse_quor_file(path)
    assert info.value.args == (f"No header found in {path}",)


# --- the number grammar ----------------------------------------------------

def number_of(write_file, field):
    result = qp.parse_quor_file(write_file(f"#Time\n{field}\n"))["Time"]
    return result[0] if result else None


@pytest.mark.parametrize(
    "field, value",
    [("1", 1.0), ("+1.5", 1.5), ("-.5", -0.5), ("5.", 5.0), ("1E+3", 1000.0), ("1e-3", 0.001),
     ("-0", -0.0), ("007", 7.0), ("inf", INF), ("-Infinity", -INF), ("iNfInItY", INF), ("NaN", NAN),
     ("1e400", INF), ("-1e400", -INF), ("1e-400", 0.0), ("-1e-400", -0.0),
     ("0.0000001e-330", 0.0), ("12345678901234567890e-400", 0.0), ("0.000e999999999999", 0.0),
     ("4.9406564584124654e-324", 5e-324), ("2.4703282292062328e-324", 5e-324),
     ("1.7976931348623158e308", 1.7976931348623157e308), ("1.7976931348623159e308", INF),
     ("0." + "0" * 400 + "1e401", 1.0),
     ("x", None), ("0x10", None), ("1d3", None), ("1e", None), ("1e+", None), (".", None),
     ("+", None), ("-", None), ("1_000", None), ("1,5", None), ("1..2", None), ("1.2.3", None),
     ("infinit", None), ("nan(1)", None), ("+-1", None), ("1e1.5", None), ("1K", None), ("e5", None)],
)
def test_number_grammar(write_file, field, value):
    got = number_of(write_file, field)
    if value is None:
        assert got is None
    else:
        assert same_floats([got], [value])


def test_numbers_are_correctly_rounded(write_file):
    rng = random.Random(20261207)
    fields = []
    for _ in range(20000):
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 25)))
        point = rng.randint(0, len(digits))
        mantissa = digits[:point] + "." + digits[point:] if rng.random() < 0.7 else digits
        exponent = f"e{rng.randint(-340, 320)}" if rng.random() < 0.6 else ""
        fields.append(rng.choice(["", "-", "+"]) + mantissa + exponent)
    got = qp.parse_quor_file(write_file("#Time\n" + "\n".join(fields) + "\n"))["Time"]
    assert same_floats(got, [float(f) for f in fields])


# --- clean_line behaviour seen through the headers ---------------------------

@pytest.mark.parametrize(
    "header, names",
    [("  #Time\tMSD  ", ["Time", "MSD"]), ("#Step#Temp", ["StepTemp"]), ("# Step\tTemp", ["Step", "Temp"]),
     ("a#b c", ["ab", "c"]), ("#", []), ("", [])],
)
def test_header_cleaning(write_file, header, names):
    assert list(qp.parse_thermoprop(write_file(f"title\n{header}\n"))) == names


# --- read errors, shared by all readers ----------------------------------------

READERS = [
    qp.parse_quor_file,
    qp.parse_thermoprop,
    qp.parse_volume_density,
    qp.parse_bond_angle,
    lambda path: qp.read_group_count(path, "water"),
]


@pytest.mark.parametrize("reader", READERS)
def test_read_errors(reader, tmp_path, write_file):
    missing = str(tmp_path / "missing.dat")
    cases = [
        (missing, f"{missing}: {os.strerror(errno.ENOENT)} (os error 2)"),
        (str(tmp_path), f"{tmp_path}: {os.strerror(errno.EISDIR)} (os error 21)"),
        ("bad\0name", "bad\0name: file name contained an unexpected NUL byte"),
    ]
    for content in (b"#Time a\n1 \xff\n", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80", b"ok\xe2\x82"):
        path = write_file(content)
        cases.append((path, f"{path}: stream did not contain valid UTF-8"))
    for path, message in cases:
        with pytest.raises(OSError) as info:
            reader(path)
        assert type(info.value) is OSError
        assert info.value.args == (message,)


# --- thermodynamic tables ------------------------------------------------------

@pytest.mark.parametrize(
    "text, expected",
    [
        ("title\n# Step Temp Press\n", {"Step": [], "Temp": [], "Press": []}),
        ("title\n# Step Temp Press\n7 2.5 4e1\n7 2.5\n7 2.5 4e1 9 extra\n7 abc 1.0\n# 1 2 3\n\n",
         {"Step": [7.0, 7.0], "Temp": [2.5, 2.5], "Press": [40.0, 40.0]}),
        ("title\n\n1 2 3\n", {}),
        ("title\n# # \t\n1 2\n", {}),
        ("1 2\nA B A\r\n1 2 3\r\n", {"A": [3.0], "B": [2.0]}),
        ("title\nv\n1,5\n0x10\nnan\n", {"v": [NAN]}),
    ],
)
def test_parse_thermoprop(write_file, text, expected):
    assert table_equal(qp.parse_thermoprop(write_file(text)), expected)


@pytest.mark.parametrize("reader, text", [
    (qp.parse_thermoprop, ""), (qp.parse_thermoprop, "title"), (qp.parse_thermoprop, "title\n"),
    (qp.parse_bond_angle, ""), (qp.parse_bond_angle, "a\nb\n# x y\n1 2"), (qp.parse_bond_angle, "a\nb\n# x y\n1 2\n"),
])
def test_file_too_short(write_file, reader, text):
    path = write_file(text)
    with pytest.raises(ValueError) as info:
        reader(path)
    assert info.value.args == (f"{path}: file too short",)


# --- bond-angle histograms -----------------------------------------------------

@pytest.mark.parametrize(
    "text, expected",
    [
        ("t\ns\n# Index Coord Count Count/Total\n1 2 3 4\n\n",
         {"Index": [], "Coord": [], "Count": [], "Count/Total": []}),
        ("t\ns\n# Index Coord Count Count/Total\n9 9 9 9\n1 0.5 0 0\n1 2 3\n1 2 3 4 5\n1 x 3 4\n# 1 2 3 4\n1 2 3 4 5 6\n",
         {"Index": [1.0, 1.0, 1.0], "Coord": [0.5, 2.0, 2.0], "Count": [0.0, 3.0, 3.0], "Count/Total": [0.0, 4.0, 4.0]}),
        ("1 2\n3 4\nA B\n5 6\n\n", {"A": [], "B": []}),
        ("\n\n#\n\n1 2\n", {}),
    ],
)
def test_parse_bond_angle(write_file, text, expected):
    assert table_equal(qp.parse_bond_angle(write_file(text)), expected)


# --- volume and density --------------------------------------------------------

@pytest.mark.parametrize(
    "text, value",
    [
        ("h1\nh2\n0 12.5\n100 13.0\n", 12.5),
        ("h1\nh2\n\n0\n0 abc\n10 99.5\n", 99.5),
        ("0 5.0\n1 6.0\n2 7.0\n", 7.0),
        ("h\nh\n0 2.5 9 9\n", 2.5),
        ("h\nh\nstep 3.0\n", 3.0),
        ("h\nh\n# Time Volume\n# 4.0\n", 4.0),
        ("h\nh\n0 nan\n", NAN),
        ("h\nh\n0 -inf\n", -INF),
        ("h\nh\n0 1,5\n0 0x10\n0 1e400\n", INF),
        ("h\r\nh\r\n1\t2\r\n", 2.0),
    ],
)
def test_parse_volume_density(write_file, text, value):
    assert same_floats([qp.parse_volume_density(write_file(text))], [value])


@pytest.mark.parametrize("text", ["", "0 1", "0 1\n0 2\n", "h\nh\n1\n1 x\n"])
def test_parse_volume_density_without_data(write_file, text):
    path = write_file(text)
    with pytest.raises(ValueError) as info:
        qp.parse_volume_density(path)
    assert info.value.args == (f"No numeric data found in {path}",)


# --- LAMMPS group counts -------------------------------------------------------

LOG = "group water type 1 2\n216 atoms in group water\n"


@pytest.mark.parametrize(
    "text, group, count",
    [
        (LOG, "water", 216),
        (LOG, "wat", 216),
        ("group water\n\nx\ngroup water\n12 atoms\n", "water", 12),
        ("group g\n+12\n", "g", 12),
        ("group g\n007 atoms\n", "g", 7),
        ("group g\n-12\ngroup g\n5\n", "g", 5),
        ("group g\n12.0\ngroup g\n12abc\ngroup g\n+\ngroup g\n++1\ngroup g\n6\n", "g", 6),
        ("group g\n18446744073709551615\n", "g", 2**64 - 1),
        ("group g\n18446744073709551616\ngroup g\n1\n", "g", 1),
        ("group g\n   216 atoms\n", "g", 216),
        ("group g\n\u3000216 atoms\n", "g", 216),
        ("group g\nx 5\ngroup g\n3 y 5\n", "g", 3),
        # a count line that itself mentions the group starts a match of its own
        ("group g\n5x in group g\n8\n", "g", 8),
        ("x group \n4\n", "", 4),
        ("group g\r\n9 atoms\r\n", "g", 9),
    ],
)
def test_read_group_count(write_file, text, group, count):
    result = qp.read_group_count(write_file(text), group)
    assert type(result) is int and result == count


@pytest.mark.parametrize(
    "text, group",
    [(LOG, "Water"), ("", "g"), ("group g", "g"), ("1\ngroup g\n", "g"), ("group  water\n5\n", "water"),
     ("group g\n-1\n", "g")],
)
def test_read_group_count_not_found(write_file, text, group):
    path = write_file(text)
    with pytest.raises(ValueError) as info:
        qp.read_group_count(path, group)
    assert info.value.args == (f"Group '{group}' count not found in '{path}'",)


def test_large_table_round_trips(write_file):
    rng = random.Random(7)
    rows = [[rng.uniform(-1e6, 1e6) for _ in range(4)] for _ in range(20000)]
    text = "# comment\n#Time a b c\n" + "".join(" ".join(repr(v) for v in row) + "\n" for row in rows)
    table = qp.parse_quor_file(write_file(text))
    assert [table[k] for k in ("Time", "a", "b", "c")] == [list(col) for col in zip(*rows)]


def test_large_files_read_like_small_ones(write_file):
    # Lines of varied length, Unicode blanks and CR LF endings put line ends,
    # multi-byte characters and CR LF pairs at every offset of the read blocks.
    rng = random.Random(11)
    rows, lines = [], ["# comment", "#Time a b"]
    for k in range(40000):
        row = [float(k), rng.uniform(-1, 1), rng.uniform(0, 1e-3)]
        pad = "\u3000" * rng.randint(0, 3) + " " * rng.randint(1, 5)
        lines.append(pad.join(repr(v) for v in row) + "\u2003" * rng.randint(0, 2))
        rows.append(row)
    text = "\r\n".join(lines) + "\r\n"
    expected = dict(zip(("Time", "a", "b"), (list(col) for col in zip(*rows))))
    assert qp.parse_quor_file(write_file(text)) == expected

    # A later header anywhere in the file starts the table afresh.
    late = text + "#Time c\r\n5 6\r\n"
    assert qp.parse_quor_file(write_file(late)) == {"Time": [5.0], "c": [6.0]}

    # A bad byte at the very end is still found.
    path = write_file(text.encode() + b"\xff")
    with pytest.raises(OSError) as info:
        qp.parse_quor_file(path)
    assert info.value.args == (f"{path}: stream did not contain valid UTF-8",)


def test_lines_longer_than_any_read_block(write_file):
    name = "n" * 700_000
    text = f"#Time {name}\n1 {'2' * 600_000}\n3 4"
    assert qp.parse_quor_file(write_file(text)) == {"Time": [1.0, 3.0], name: [float("2" * 600_000), 4.0]}
