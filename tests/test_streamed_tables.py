"""Transport-output tables read straight into their lists: the lists are sized from the
part of the file read so far, so these tables make that guess too small, too large or
impossible (a pipe), start over after many rows, and run out of memory mid-way."""
import os
import random
import subprocess
import sys
import textwrap

import pytest

import _quor_pp as qp
from conftest import same_floats


def model(lines, names):
    """Rows of plain blank-separated numbers (no '#'), read by the row rule."""
    columns = [[] for _ in names]
    for line in lines:
        fields = line.split()
        if len(fields) >= len(names):
            try:
                values = [float(f) for f in fields[: len(names)]]
            except ValueError:
                continue
            for column, value in zip(columns, values):
                column.append(value)
    return dict(zip(names, columns))


def rows(rng, count, padding=0, refused_every=0):
    out = []
    for k in range(count):
        if refused_every and k % refused_every == 0:
            out.append("refused row")
        else:
            out.append(f"{k} {rng.random()!r} {rng.uniform(-1e300, 1e300)!r}" + " 0" * padding)
    return out


def long_then_short(rng):
    return rows(rng, 6000, padding=60) + rows(rng, 60000)


def short_then_long(rng):
    return rows(rng, 6000) + rows(rng, 20000, padding=60)


def comments_after_rows(rng):
    return rows(rng, 5000) + ["text " * 20] * 30000 + rows(rng, 3000)


def refused_rows_mixed_in(rng):
    return rows(rng, 30000, refused_every=7)


@pytest.mark.parametrize("layout", [long_then_short, short_then_long, comments_after_rows, refused_rows_mixed_in])
def test_tables_whose_length_is_hard_to_guess(write_file, layout):
    lines = layout(random.Random(layout.__name__))
    got = qp.parse_quor_file(write_file("#Time a b\n" + "\n".join(lines) + "\n"))
    expected = model(lines, ["Time", "a", "b"])
    assert list(got) == list(expected)
    assert all(same_floats(got[name], expected[name]) for name in expected)
    # The lists behave as ordinary lists after their length was set.
    column = got["a"]
    column.append(1.5)
    column.extend([2.5] * 3)
    assert column[-4:] == [1.5, 2.5, 2.5, 2.5] and len(column) == len(expected["a"]) + 4


@pytest.mark.parametrize("before", [1, 4095, 4096, 4097, 20000])
def test_a_later_header_drops_every_row_before_it(write_file, before):
    rng = random.Random(before)
    first, second = rows(rng, before), rows(rng, 5000)
    text = "#Time a b\n" + "\n".join(first) + "\n#Time x\n" + "\n".join(second) + "\n"
    got = qp.parse_quor_file(write_file(text))
    expected = model(second, ["Time", "x"])
    assert list(got) == ["Time", "x"] and all(same_floats(got[n], expected[n]) for n in expected)


def test_a_pipe_is_read_whole(tmp_path):
    # The reader keeps the interpreter while it reads, so the writer is another process.
    path, source = tmp_path / "pipe.dat", tmp_path / "rows.dat"
    os.mkfifo(path)
    lines = rows(random.Random(9), 50000)
    source.write_text("#Time a b\n" + "\n".join(lines) + "\n")
    copy = f"data = open({str(source)!r}).read()\nwith open({str(path)!r}, 'w') as out: out.write(data)"
    writer = subprocess.Popen([sys.executable, "-c", copy])
    try:
        got = qp.parse_quor_file(str(path))
    finally:
        writer.wait(timeout=60)
    expected = model(lines, ["Time", "a", "b"])
    assert all(same_floats(got[n], expected[n]) for n in expected)


def test_exhausted_memory_while_reading_is_a_memory_error(tmp_path):
    # 30 MB of rows: far more float objects than 512 MiB of address space minus
    # what the interpreter holds leaves room for; the table is written first.
    path = tmp_path / "big.dat"
    with open(path, "w") as out:
        out.write("#Time a b c d e f g\n")
        line = " ".join(["1.5"] * 8) + "\n"
        out.writelines([line] * 2_000_000)
    script = textwrap.dedent(
        f"""
        import resource, _quor_pp as qp
        resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))
        try:
            qp.parse_quor_file({str(path)!r})
        except MemoryError:
            print("MemoryError")
        try:
            qp.parse_quor_file({str(path) + "-missing"!r})
        except OSError as e:
            print("OSError", e.args[0].endswith("(os error 2)"))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.split("\n")[:2] == ["MemoryError", "OSError True"], result.stderr


@pytest.mark.parametrize("width", [1, 9000, 40000])
def test_wide_tables(write_file, width):
    rng = random.Random(width)
    names = ["Time"] + [f"c{k}" for k in range(1, width)]
    lines = [" ".join(repr(rng.random()) for _ in range(width)) for _ in range(3)]
    lines.insert(1, " ".join(["1"] * (width - 1)))  # one field short: refused
    got = qp.parse_quor_file(write_file("#" + " ".join(names) + "\n" + "\n".join(lines) + "\n"))
    expected = model(lines, names)
    assert list(got) == names and all(same_floats(got[n], expected[n]) for n in names)
