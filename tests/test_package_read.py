"""quor_pp.read: layouts recognised from content, values as the native readers give them, clear errors."""
import errno
import os
import pathlib
import pickle
import warnings

import numpy as np
import pytest

import _quor_pp
import quor_pp
from conftest import same_floats
from quor_pp.reading.errors import native_read
import quor_pp.reading.files

REPLICA = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run" / "replica_1"

SAMPLE_KINDS = {
    "diffself.dat": "transport",
    "diffonsag.dat": "transport",
    "viscosity.dat": "transport",
    "thermconductivity.dat": "transport",
    "nvt_prod.dat": "thermo",
    "volume.dat": "ave/time",
    "density.dat": "ave/time",
    "npt_prod_angle.dat": "histogram",
    "log.lammps": "log",
}

TRANSPORT = "#NOTE: a\n#NOTE: b\n#Time\tMSD__wat\tMSD__Na\t\n 10\t1.5e-01\t2\n 20\t3e+00\t4\n 20.0001\t3.1\t4.2\n"
RDF = "r g_r\n0.1 0.0\n0.2 1.3\n"
THERMO = "# NVT run\n# Step Temp Press\n0 298.1 1.0\n100 298.3 -4.5\n"
AVE_TIME = "# Time-averaged data for fix vol\n# TimeStep v_vol\n1000 27000.5\n2000 27001.5\n"
HISTOGRAM = ("# Time-averaged data for fix angle_hist\n# TimeStep Number-of-rows\n"
             "# Index Coord Count Count/Total\n1000 2\n1 1.0 3 0.75\n2 3.0 1 0.25\n")
LOG = "LAMMPS (2 Aug 2023)\nunits real\ngroup\tNa\ttype 3\n18 atoms in group Na\n"

LAYOUT_TEXTS = {"transport": TRANSPORT, "rdf": RDF, "thermo": THERMO, "ave/time": AVE_TIME,
                "histogram": HISTOGRAM, "log": LOG}


@pytest.mark.parametrize("name, kind", SAMPLE_KINDS.items())
@pytest.mark.parametrize("as_path", [False, True])
def test_sample_files_are_recognised(name, kind, as_path):
    path = REPLICA / name
    data = quor_pp.read(path if as_path else str(path))
    assert data.kind == kind
    assert data.path == str(path)


@pytest.mark.parametrize("kind, reader", [
    ("transport", _quor_pp.parse_quor_file),
    ("rdf", _quor_pp.parse_quor_file),
    ("thermo", _quor_pp.parse_thermoprop),
    ("ave/time", _quor_pp.parse_thermoprop),
])
def test_columns_are_the_native_readers_values(write_file, kind, reader):
    path = write_file(LAYOUT_TEXTS[kind])
    table = quor_pp.read(path)
    expected = reader(path)
    assert table.kind == kind and list(table) == list(expected)
    for name, values in expected.items():
        assert isinstance(table[name], np.ndarray) and table[name].dtype == np.float64
        assert same_floats(table[name].tolist(), values)
    assert not table["Time" if kind == "transport" else next(iter(table))].flags.writeable


@pytest.mark.parametrize("columns", [
    # Fewer columns than the block line has fields: the block reader takes block lines as rows.
    ("# Row c_g", ["1 0.5", "2 0.7"]),
    ("# Index Coord Count Count/Total", ["1 1.0 3 0.75", "2 3.0 1 0.25"]),
])
@pytest.mark.parametrize("blocks", [1, 3])
def test_fix_ave_time_blocks_keep_their_timestep(write_file, columns, blocks):
    header, rows = columns
    text = "# Time-averaged data for fix f\n# TimeStep Number-of-rows\n" + header + "\n"
    for block in range(blocks):
        text += f"{1000 * (block + 1)} {len(rows)}\n" + "".join(r + "\n" for r in rows)
    table = quor_pp.read(write_file(text))
    names = header.lstrip("# ").split()
    assert list(table) == ["TimeStep", *names]
    assert table.row_count == blocks * len(rows)
    assert table["TimeStep"].tolist() == [1000.0 * (b + 1) for b in range(blocks) for _ in rows]
    first_column = [float(r.split()[0]) for r in rows] * blocks
    assert table[names[0]].tolist() == first_column


def test_block_reading_matches_the_bond_angle_reader_on_one_block():
    table = quor_pp.read(REPLICA / "npt_prod_angle.dat")
    expected = _quor_pp.parse_bond_angle(str(REPLICA / "npt_prod_angle.dat"))
    for name, values in expected.items():
        assert same_floats(table[name].tolist(), values)


@pytest.mark.parametrize("text_kind", LAYOUT_TEXTS)
@pytest.mark.parametrize("asked", [k for k in LAYOUT_TEXTS])
def test_a_file_read_as_another_layout_raises_format_error(write_file, text_kind, asked):
    path = write_file(LAYOUT_TEXTS[text_kind])
    # A fix ave/time file of one row per step is a thermo table; a histogram is made of
    # fix ave/time blocks.
    compatible = {("ave/time", "thermo"), ("histogram", "ave/time")}
    if asked == text_kind or (text_kind, asked) in compatible:
        assert quor_pp.read(path, kind=asked) is not None
        return
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(path, kind=asked)
    error = caught.value
    assert isinstance(error, ValueError)
    assert error.path == path and error.expected == quor_pp.LAYOUTS[asked]
    assert str(error).startswith(f"{path}: not {quor_pp.LAYOUTS[asked]}")
    if error.line is not None:
        assert error.text == LAYOUT_TEXTS[text_kind].split("\n")[error.line - 1]


@pytest.mark.parametrize("content, line", [
    ("", None),
    ("1 2 3\n4 5 6\n", 1),
    ("Some notes about the run.\n", None),
    ("#Time MSD\n0 0\n1 oops\n", 3),  # a row that is not numbers
    ("#Time MSD\n0 0\n1 2 3\n", 3),  # a row of the wrong width
    ("#Time MSD\n0 0\n1\n2 2\n", 3),  # a short row before the last line
    ("# Time-averaged data for fix f\n# TimeStep N\n# Row c\n", None),  # no block
    ("# Time-averaged data for fix f\n# TimeStep N\n# Row c d\n100 2\n1 2 3\n2 3 4\n3 4 5\n", 7),  # 3 rows, not 2
    ("# Time-averaged data for fix f\n# Step v\n1 2\n", 2),
    ("#NOTE: x\nabc def\n#Time MSD\n", 2),  # no #Time among the leading comments
    (b"#Time MSD\n0 0\n1 \xff\n", 3),
])
def test_files_that_fit_no_layout_raise_format_error(write_file, content, line):
    path = write_file(content)
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(path)
    assert caught.value.path == path and caught.value.line == line


def test_the_issue_cases_are_errors_not_plausible_values(write_file):
    # A log through the transport reader, a fix ave/time file as a transport table.
    with pytest.raises(quor_pp.FormatError):
        quor_pp.read(REPLICA / "log.lammps", kind="transport")
    with pytest.raises(quor_pp.FormatError):
        quor_pp.read(REPLICA / "volume.dat", kind="transport")
    # A thermo table where a volume is expected.
    run = pathlib.Path(write_file(AVE_TIME, "volume.dat")).parent
    (run / "diffself.dat").write_text(TRANSPORT)
    (run / "log.lammps").write_text(LOG)
    (run / "volume.dat").write_text(THERMO)
    with pytest.raises(quor_pp.FormatError, match="volume.dat"):
        quor_pp.analyze_replica(run)


def _missing(tmp_path):
    return tmp_path / "absent.dat"


def _directory(tmp_path):
    return tmp_path


@pytest.mark.parametrize("make, error, code", [
    (_missing, FileNotFoundError, errno.ENOENT),
    (_directory, IsADirectoryError, errno.EISDIR),
])
@pytest.mark.parametrize("call", [
    quor_pp.read,
    quor_pp.group_counts,
    lambda path: native_read(_quor_pp.parse_quor_file, str(path), "a table"),
    lambda path: native_read(_quor_pp.parse_volume_density, str(path), "a table"),
])
def test_file_system_failures_are_the_standard_subclasses(tmp_path, make, error, code, call):
    path = make(tmp_path)
    with pytest.raises(error) as caught:
        call(path)
    assert caught.value.errno == code and caught.value.filename == str(path)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_is_permission_error(write_file):
    path = write_file(TRANSPORT)
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        quor_pp.read(path)


def test_native_reader_on_non_utf8_content_is_format_error(write_file):
    path = write_file(b"#Time MSD\n0 \xff\n")
    with pytest.raises(quor_pp.FormatError):
        native_read(_quor_pp.parse_quor_file, path, "a table")


def test_to_pandas_keeps_names_and_values():
    pytest.importorskip("pandas")
    table = quor_pp.read(REPLICA / "diffself.dat")
    frame = table.to_pandas()
    assert list(frame.columns) == list(table)
    assert np.array_equal(frame["MSD__Na"].to_numpy(), table["MSD__Na"])


# --- Generated tables: read() returns the rows that were written ----------------
#
# Each layout is written from known fields; the table must hold exactly their values,
# and the warnings and errors must be the same, whichever way read() checks the file
# (see check_mode).

BLOCK_ROWS = 3
GENERATED = {
    "transport": (["#NOTE: time in fs", "#NOTE: sum over molecules", "#Time\tMSD__a\tMSD__b\t"],
                  lambda f: " " + "\t".join(f)),
    "rdf": (["r g_a g_b"], " ".join),
    "thermo": (["# NVT production", "# Step Temp Press"], " ".join),
    "ave/time": (["# Time-averaged data for fix box", "# TimeStep v_vol v_dens"], " ".join),
    "histogram": (["# Time-averaged data for fix angles", "# TimeStep Number-of-rows",
                   "# Coord Count Count/Total"], " ".join),
}


@pytest.fixture(params=["path", "buffer"])
def check_mode(request, monkeypatch):
    """How read() hands the file to the native reader: by path, or as bytes in memory (as for .gz files)."""
    if request.param == "buffer":
        real = quor_pp.reading.files._native.read_table

        def from_memory(source, **options):
            return real(pathlib.Path(source).read_bytes() if isinstance(source, str) else source, **options)

        monkeypatch.setattr(quor_pp.reading.files._native, "read_table", from_memory)
    return request.param


def _rows(count, seed=3):
    rng = np.random.default_rng(seed)
    forms = ["{:g}", "{:.17g}", "{:.3e}", "{:.4f}"]
    return [[forms[(k + j) % 4].format(value) for j, value in enumerate(rng.normal(0, 10.0 ** (k % 9 - 4), 3))]
            for k in range(count)]


def _generated(layout, rows):
    """Header lines and data lines (for blocks, with each block's first line) of a file of `rows`."""
    header, join = GENERATED[layout]
    if layout != "histogram":
        return header, [join(r) for r in rows]
    lines = []
    for block in range(0, len(rows), BLOCK_ROWS):
        lines.append(f"{1000 * (block // BLOCK_ROWS + 1)} {BLOCK_ROWS}")
        lines.extend(join(r) for r in rows[block:block + BLOCK_ROWS])
    return header, lines


def _expected(layout, rows):
    names = GENERATED[layout][0][-1].replace("#", "").split()
    columns = {name: [float(r[k]) for r in rows] for k, name in enumerate(names)}
    if layout == "histogram":
        columns = {"TimeStep": [1000.0 * (k // BLOCK_ROWS + 1) for k in range(len(rows))], **columns}
    return columns


def _assert_table(table, columns):
    assert list(table) == list(columns)
    for name, values in columns.items():
        assert same_floats(table[name].tolist(), values), name


def _decorated(header, lines, decoration):
    """The file's lines with blank lines, comments or CR LF endings."""
    if decoration == "blank lines":
        lines = [lines[0], "", *lines[1:4], "   \t", *lines[4:], ""]
    elif decoration == "comments":
        # (Not right after the header: fix ave/time blocks begin with a '#' line there.)
        lines = [lines[0], "# run restarted", *lines[1:4], "#   run relancé à 500 ps", *lines[4:], "# end"]
    text = "\n".join(header + lines) + "\n"
    return text.replace("\n", "\r\n") if decoration == "CR LF" else text


@pytest.mark.parametrize("layout", GENERATED)
@pytest.mark.parametrize("decoration", ["plain", "blank lines", "comments", "CR LF"])
def test_tables_hold_the_rows_written(write_file, check_mode, layout, decoration):
    rows = _rows(4 * BLOCK_ROWS)
    path = write_file(_decorated(*_generated(layout, rows), decoration))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        table = quor_pp.read(path)
    assert table.kind == layout
    _assert_table(table, _expected(layout, rows))


# Ways a run stopped mid-write leaves the last row: (fields kept, text of the next field).
CUTS = [(1, None), (2, None), (2, ""), (2, "6e+"), (2, "-"), (2, "in"), (1, ".")]


@pytest.mark.parametrize("layout", GENERATED)
@pytest.mark.parametrize("cut", CUTS)
@pytest.mark.parametrize("ending", ["", "\n", "\r\n", "\n\n"])
def test_a_last_row_cut_off_is_left_out_with_a_warning(write_file, check_mode, layout, cut, ending):
    rows = _rows(4 * BLOCK_ROWS)
    header, lines = _generated(layout, rows)
    kept, partial = cut
    last = lines[-1].split()[:kept] + ([partial] if partial is not None else [])
    separator = "\t" if layout == "transport" else " "
    lines[-1] = separator.join(last)
    text = "\n".join(header + lines)
    path = write_file(text + ending)
    with pytest.warns(quor_pp.TruncatedFileWarning) as caught:
        table = quor_pp.read(path)
    if layout == "histogram":  # the whole last block goes
        _assert_table(table, _expected(layout, rows[:-BLOCK_ROWS]))
        cut_line = len(header) + len(lines) - BLOCK_ROWS
    else:
        _assert_table(table, _expected(layout, rows[:-1]))
        cut_line = len(header) + len(lines)
    warning = caught[0].message
    assert len(caught) == 1 and caught[0].filename == __file__
    assert (warning.path, warning.line) == (path, cut_line)
    assert warning.text == text.split("\n")[cut_line - 1]
    assert path in str(warning) and f"line {cut_line}" in str(warning)


@pytest.mark.parametrize("lines, kept_blocks, line", [
    (["1000 2", "1 0.5 7", "2 0.7 8", "2000 2", "1 0.6 9"], 1, 7),  # a block with fewer rows
    (["1000 2", "1 0.5 7", "2 0.7 8", "2000 2"], 1, 7),  # only the block's first line
    (["1000 2", "1 0.5 7", "2 0.7 8", "20"], 1, 7),  # the block's first line cut off
    (["1000 2", "1 0.5 7", "2 0.7 8", "2000 2", "1 0.6 9", "2 0."], 1, 7),  # its last row cut off
    (["1000 2", "1 0.5 7", "2 0.7 8", "2000 "], 1, 7),
    (["100"], 0, 4),
    (["1000 2", "1 0.5"], 0, 4),
])
def test_fix_ave_time_blocks_cut_off_leave_out_the_last_block(write_file, check_mode, lines, kept_blocks, line):
    text = "# Time-averaged data for fix f\n# TimeStep Number-of-rows\n# Row c_x c_y\n" + "\n".join(lines)
    with pytest.warns(quor_pp.TruncatedFileWarning) as caught:
        table = quor_pp.read(write_file(text))
    assert table.row_count == 2 * kept_blocks
    assert table["TimeStep"].tolist() == [1000.0] * table.row_count
    assert table["c_y"].tolist() == [7.0, 8.0][:table.row_count]
    assert caught[0].message.line == line


def _mid_rows(layout):
    header, lines = _generated(layout, _rows(4 * BLOCK_ROWS))
    return header, lines, len(lines) // 2 + 1 if layout != "histogram" else BLOCK_ROWS + 3


@pytest.mark.parametrize("layout", GENERATED)
@pytest.mark.parametrize("bad", [
    "abc def ghi", "1.5 2,5 3", "1 2 3 4", "1 2", "1\t2\t0x10", "\x00\x00\x00", "#Time a b c", "1 2 3e", "1 2 3\x01",
])
def test_a_bad_row_before_the_last_raises_format_error_naming_it(write_file, check_mode, layout, bad):
    header, lines, position = _mid_rows(layout)
    lines[position] = bad
    path = write_file("\n".join(header + lines) + "\n")
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(path)
    assert caught.value.line == len(header) + position + 1
    assert caught.value.text == bad and caught.value.expected == quor_pp.LAYOUTS[layout]


@pytest.mark.parametrize("layout", GENERATED)
@pytest.mark.parametrize("where", ["header", "row", "last row", "comment"])
def test_bytes_that_are_not_utf8_raise_format_error_naming_the_line(write_file, check_mode, layout, where):
    header, lines, position = _mid_rows(layout)
    content = [line.encode() for line in header + lines]
    number = {"header": len(header) - 1, "row": len(header) + position, "last row": len(content) - 1,
              "comment": len(header) + position}[where]
    content[number] = (b"# caf\xe9" if where == "comment" else content[number] + b"\xff")
    path = write_file(b"\n".join(content) + b"\n")
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(path)
    assert caught.value.line == number + 1 and "UTF-8" in caught.value.text


@pytest.mark.parametrize("text, reader", [
    # The transport reader deletes every '#' before taking fields: '#'-marked numbers are a row.
    (TRANSPORT + "# 30 5 6\n 40\t5#1\t7\n", _quor_pp.parse_quor_file),
    # The others never take a line whose first field begins with '#'.
    (THERMO + "# 200 298.5 2.0\n300 297.9 3.5\n", _quor_pp.parse_thermoprop),
    (TRANSPORT + "#\n  #  \n", _quor_pp.parse_quor_file),
    (RDF + "\n\n  \n", _quor_pp.parse_quor_file),
    (THERMO.replace("\n", "\r\n") + "\r\n", _quor_pp.parse_thermoprop),
    (TRANSPORT.replace("\t", "\u00a0\u2003") + " 30\u3000 5\u00855\n", _quor_pp.parse_quor_file),
])
def test_tables_are_exactly_the_native_readers_columns(write_file, check_mode, text, reader):
    path = write_file(text)
    table = quor_pp.read(path)
    expected = reader(path)
    assert list(table) == list(expected)
    for name, values in expected.items():
        assert same_floats(table[name].tolist(), values)


def test_a_file_that_grows_after_its_first_lines_were_read_is_read_whole(write_file, monkeypatch):
    path = write_file(TRANSPORT)
    real = quor_pp.reading.files._native.read_table

    def growing(source, **options):
        with open(path, "a") as out:
            out.write(" 99\t1\t2\n")
        return real(source, **options)

    monkeypatch.setattr(quor_pp.reading.files._native, "read_table", growing)
    table = quor_pp.read(path)
    assert table["Time"].tolist() == [10.0, 20.0, 20.0001, 99.0]


def test_truncated_file_warning_is_a_user_warning_that_pickles():
    warning = quor_pp.TruncatedFileWarning("run/diffself.dat", 12, " 30\t5", "its block (1 of 3 rows)")
    assert isinstance(warning, UserWarning)
    copy = pickle.loads(pickle.dumps(warning))
    assert (copy.path, copy.line, copy.text, str(copy)) == (warning.path, 12, " 30\t5", str(warning))
