"""quor_pp.read: layouts recognised from content, values as the native readers give them, clear errors."""
import errno
import os
import pathlib

import numpy as np
import pytest

import _quor_pp
import quor_pp
from conftest import same_floats
from quor_pp.errors import native_read

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
    assert table.rows == blocks * len(rows)
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
    ("#Time MSD\n0 0\n1\n", 3),  # a cut row
    ("# Time-averaged data for fix f\n# TimeStep N\n# Row c\n100 3\n1 2\n2 3\n", None),  # cut block
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
