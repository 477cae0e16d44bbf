"""quor_pp.read on what runs write besides the QUOR tables, and on hostile inputs."""

import gzip
import os
import pathlib

import numpy as np
import pytest

import quor_pp

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run" / "replica_1"

AVE_HISTO = """\
# Histogrammed data for fix histo every 10 100 1000
# TimeStep Number-of-bins Total-counts Missing-counts Min-value Max-value
# Bin Coord Count Count/Total
1000 3 100 0 -1.5 2.5
1 -0.75 10 0.1
2 0.25 40 0.4
3 1.25 50 0.5
2000 3 98 2 -1.7 2.9
1 -0.75 8 0.0816327
2 0.25 45 0.459184
3 1.25 45 0.459184
"""

AVE_CORRELATE = """\
# Time-correlated data for fix vacf
# Timestep Number-of-time-windows
# Index TimeDelta Ncount v_pxy*v_pxy v_pxz*v_pxz
100 2
1 0 11 2.5 1.5
2 10 10 2.0 1.0
200 2
1 0 21 2.25 1.25
2 10 20 1.75 0.75
"""

RDF = "# Radius  finiterdf__wat_wat  rdf__wat_wat\n0.05 0 0\n0.15 0.5 0.25\n0.25 1.5 1.0\n"


@pytest.mark.parametrize("text, kind, columns", [
    (AVE_HISTO, "ave/histo", {"TimeStep": [1000.0] * 3 + [2000.0] * 3, "Bin": [1.0, 2.0, 3.0] * 2,
                               "Count": [10.0, 40.0, 50.0, 8.0, 45.0, 45.0]}),
    (AVE_CORRELATE, "ave/correlate", {"TimeStep": [100.0, 100.0, 200.0, 200.0], "TimeDelta": [0.0, 10.0] * 2,
                                      "v_pxz*v_pxz": [1.5, 1.0, 1.25, 0.75]}),
    (RDF, "rdf", {"Radius": [0.05, 0.15, 0.25], "rdf__wat_wat": [0.0, 0.25, 1.0]}),
    (RDF.removeprefix("# "), "rdf", {"Radius": [0.05, 0.15, 0.25], "finiterdf__wat_wat": [0.0, 0.5, 1.5]}),
])
def test_fix_output_and_rdf_tables_are_recognised_and_read(write_file, text, kind, columns):
    table = quor_pp.read(write_file(text))
    assert table.kind == kind
    for name, values in columns.items():
        assert table[name].tolist() == values


def test_a_title_line_over_rows_of_other_width_is_no_rdf_header(write_file):
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(write_file("# NVT production\n1 300 1.5\n"))
    assert caught.value.expected == quor_pp.LAYOUTS["thermo"] and caught.value.line == 2


def test_a_cut_off_histogram_block_is_left_out_with_a_warning(write_file):
    with pytest.warns(quor_pp.TruncatedFileWarning, match=r"its block \(1 of 3 rows\)") as caught:
        table = quor_pp.read(write_file(AVE_HISTO.rsplit("\n", 3)[0] + "\n"))
    assert caught[0].message.line == 8 and table.row_count == 3


@pytest.mark.parametrize("text", [AVE_HISTO, AVE_CORRELATE, RDF] + [
    (RUN / name).read_text() for name in ("diffself.dat", "nvt_prod.dat", "npt_prod_angle.dat", "volume.dat",
                                          "log.lammps")])
def test_gzip_files_read_as_the_plain_file(write_file, text):
    plain = quor_pp.read(write_file(text))
    packed = quor_pp.read(write_file(gzip.compress(text.encode()), "table.dat.gz"))
    if isinstance(plain, quor_pp.RunLog):
        assert (packed.units, packed.groups) == (plain.units, plain.groups)
        return
    assert packed.kind == plain.kind and list(packed) == list(plain)
    assert all(np.array_equal(packed[name], plain[name], equal_nan=True) for name in plain)


def test_a_compressed_file_of_nul_bytes_is_refused_from_its_first_megabyte(write_file):
    path = write_file(gzip.compress(bytes(64 << 20)), "diffself.dat.gz")
    with pytest.raises(quor_pp.FormatError, match="a line of more than"):
        quor_pp.read(path)


def test_damaged_gzip_is_a_format_error(write_file):
    path = write_file(gzip.compress(RDF.encode())[:-12], "rdf.dat.gz")
    with pytest.raises(quor_pp.FormatError, match="ends early"):
        quor_pp.read(path)


def test_a_repeated_column_name_is_a_format_error_naming_both_positions(write_file):
    path = write_file("#NOTE\n#Time MSD__wat MSD__Na MSD__wat\n0 0 0 0\n1 2 3 200\n")
    with pytest.raises(quor_pp.FormatError, match=r"'MSD__wat' is both column 2 and column 4") as caught:
        quor_pp.read(path)
    assert caught.value.line == 2


@pytest.mark.parametrize("make, error", [
    (lambda tmp: os.mkfifo(tmp / "pipe") or tmp / "pipe", "named pipe"),
    (lambda tmp: tmp, "Is a directory"),
    (lambda tmp: pathlib.Path(os.devnull), "character device"),
])
def test_only_regular_files_are_read(tmp_path, make, error):
    path = make(tmp_path)
    with pytest.raises(OSError, match=error) as caught:  # a pipe with no writer must not block
        quor_pp.read(path)
    assert caught.value.filename == str(path)


def test_a_large_file_of_nul_bytes_is_refused_from_its_first_megabyte(tmp_path):
    path = tmp_path / "diffself.dat"
    with open(path, "wb") as out:
        out.truncate(64 << 20)  # sparse: no disk written
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(path, kind="transport")
    assert caught.value.line == 1 and len(str(caught.value)) < 1000


def test_messages_quote_only_the_beginning_of_a_long_line(write_file):
    bad = "x" * 100_000
    with pytest.raises(quor_pp.FormatError) as caught:
        quor_pp.read(write_file(f"#Time a\n1 2\n{bad}\n3 4\n"))
    assert caught.value.line == 3 and len(str(caught.value)) < 1000 and "100000 bytes in all" in str(caught.value)


def test_columns_cannot_be_made_writable(write_file):
    table = quor_pp.read(write_file("#Time a\n" + "1 2\n" * 1000))
    for column in table.values():
        with pytest.raises(ValueError):
            column.setflags(write=True)
