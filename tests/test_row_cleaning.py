"""Rows of a transport-output table against a small model of the reading rules written
from their description: delete every '#', turn tabs into blanks, split into fields,
accept the row when its first N fields are numbers. Random rows put '#' marks
inside, between and after fields, where a reader that skips cleaning for rows
that look clean would go wrong."""
import random
import re

import pytest

import _quor_pp as qp
from conftest import same_floats

NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))\Z")
NAMES = ["Time", "a", "b"]


def model_rows(lines):
    columns = [[] for _ in NAMES]
    for line in lines:
        fields = line.replace("#", "").replace("\t", " ").split(" ")
        fields = [f for f in fields if f]
        if len(fields) >= len(NAMES) and all(NUMBER.match(f) for f in fields[: len(NAMES)]):
            for column, field in zip(columns, fields):
                column.append(float(field))
    return dict(zip(NAMES, columns))


PIECES = ["1", "2.5", "-3e2", "1e", "e5", ".", "#", "##", " ", "\t", "x", "nan", "4", "0.125", "7#", "#8"]


def random_row(rng):
    return "".join(rng.choice(PIECES) for _ in range(rng.randint(0, 9)))


@pytest.mark.parametrize("seed", range(4))
def test_random_rows_follow_the_cleaning_rule(write_file, seed):
    rng = random.Random(seed)
    lines = [random_row(rng) for _ in range(3000)]
    got = qp.parse_quor_file(write_file("#Time a b\n" + "\n".join(lines) + "\n"))
    expected = model_rows(lines)
    assert list(got) == NAMES
    for name in NAMES:
        assert same_floats(got[name], expected[name]), name


@pytest.mark.parametrize(
    "row, values",
    [("1e#5 2 3", [1e5, 2.0, 3.0]), ("1 2 3#", [1.0, 2.0, 3.0]), ("1 2 3 #4", [1.0, 2.0, 3.0]),
     ("1 2# 3", [1.0, 2.0, 3.0]), ("#1 2 3", [1.0, 2.0, 3.0]), ("1 2 3x#", None), ("1 2 #", None),
     ("-#1 .#5 #.", None), ("+#inf n#an 1.#", [float("inf"), float("nan"), 1.0])],
)
def test_marks_inside_rows(write_file, row, values):
    got = qp.parse_quor_file(write_file(f"#Time a b\n{row}\n"))
    if values is None:
        assert got == {name: [] for name in NAMES}
    else:
        assert same_floats([got[name][0] for name in NAMES], values)
