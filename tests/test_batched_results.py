"""Results that the module builds in batches (runs of elements, searches side by side,
arrays that grow in large mappings) against the same values computed one element
at a time or by plain Python arithmetic."""
import array
import json
import math
import pathlib
import random

import pytest

import _quor_pp as q
from conftest import same_floats

SALTS = json.loads((pathlib.Path(__file__).parents[1] / "examples/data/salts.json").read_text())["salts"]
KOH = SALTS["KOH"]
MW = KOH["molecular_weight"]
C = tuple(KOH["density"].values())
V = tuple(KOH["viscosity"].values())


def one_at_a_time(call, *arrays):
    """The function called on each element alone; tuples of lists are joined per position."""
    parts = [call(*[[a[i]] for a in arrays]) for i in range(len(arrays[0]))]
    if parts and isinstance(parts[0], tuple):
        return tuple([x for part in parts for x in part[k]] for k in range(len(parts[0])))
    return [x for part in parts for x in part]


PAIRED = {
    "laliberte_density": lambda t, b: q.laliberte_density(t, b, MW, *C),
    "laliberte_viscosity": lambda t, b: q.laliberte_viscosity(t, b, MW, *V),
    "koh_gilliam_eval": lambda t, b: q.koh_gilliam_eval(t, b, MW, *C),
}
SINGLE = {
    "mass_fraction_to_molality": lambda x: q.mass_fraction_to_molality(x, MW),
    "molality_to_mass_fraction": lambda x: q.molality_to_mass_fraction(x, MW),
    "mole_fraction_to_molality": lambda x: q.mole_fraction_to_molality(x, 18.015),
    "molality_to_mole_fraction": lambda x: q.molality_to_mole_fraction(x, 18.015),
}


@pytest.mark.parametrize("length", [0, 1, 255, 256, 257, 1000])
@pytest.mark.parametrize("name", PAIRED)
def test_paired_models_in_runs_match_single_elements(name, length):
    rng = random.Random(length)
    t = [rng.choice([273.15, 298.15, 353.15, 360.0, math.nan]) + rng.random() for _ in range(length)]
    b = [rng.choice([0.0, 0.5, 3.0, math.inf]) * rng.random() for _ in range(length)]
    got = PAIRED[name](t, b)
    expected = one_at_a_time(PAIRED[name], t, b)
    if isinstance(got, tuple):
        assert len(got) == 2 and all(same_floats(g, e) for g, e in zip(got, expected))
    else:
        assert same_floats(got, expected)


@pytest.mark.parametrize("length", [0, 1, 256, 257, 300_000])
@pytest.mark.parametrize("name", SINGLE)
def test_conversions_in_runs_match_plain_arithmetic(name, length):
    rng = random.Random(name)
    x = [rng.random() * rng.choice([0.0, 0.5, 1.0, 10.0, math.inf]) for _ in range(length)]
    kg_per_mol = (MW if "mass" in name else 18.015) / 1000.0
    if name.startswith("molality"):
        expected = [1.0 / (1.0 / (v * kg_per_mol) + 1.0) if v != 0 else 0.0 for v in x]
    else:
        expected = [v / ((1.0 - v) * kg_per_mol) if v != 1.0 else math.inf for v in x]
    # The same values from a list, a tuple and an array('d'), the last one over 2 MiB
    # at the largest length.
    for argument in (x, tuple(x), array.array("d", x)):
        assert same_floats(SINGLE[name](argument), expected)


def test_molarity_searches_side_by_side_match_single_searches():
    rng = random.Random(5)
    targets = []
    for _ in range(400):
        targets.append(rng.choice([rng.uniform(0.01, 12.0), rng.uniform(1e-9, 1e-3), 0.0, -1.0, math.nan]))
    for tolerance, iterations in [(1e-10, 200), (0.0, 5), (0.0, 2**64 - 1), (1e-3, 1)]:
        got = q.molarity_to_molality(targets, 298.15, MW, *C, tolerance, iterations)
        expected = one_at_a_time(lambda m: q.molarity_to_molality(m, 298.15, MW, *C, tolerance, iterations), targets)
        assert same_floats(got, expected), (tolerance, iterations)


@pytest.mark.parametrize("position", [0, 3, 5, 50])
def test_first_unbracketable_molarity_is_reported(position):
    # 1e6 mol/L cannot be reached by any molality; 2e6 neither, later in the array.
    targets = [1.0 + k / 10 for k in range(60)]
    targets[position] = 1e6
    targets[position + 7] = 2e6
    with pytest.raises(ValueError) as info:
        q.molarity_to_molality(targets, 298.15, MW, *C, 1e-10, 200)
    assert info.value.args == ("molarity_to_molality: could not bracket root for molarity = "
                               "1.0000e6 mol/L at temperature = 298.15 K",)


def test_large_tables_grow_past_their_first_mapping(write_file):
    """300 000 rows (past 2 MiB per column), with refused rows spread among them."""
    rng = random.Random(3)
    lines, expected = [], [[], []]
    for k in range(300_000):
        if k % 997 == 0:
            lines.append(f"{k} x")
            continue
        value = rng.random()
        lines.append(f"{k} {value!r}")
        expected[0].append(float(k))
        expected[1].append(value)
    got = q.parse_quor_file(write_file("#Time v\n" + "\n".join(lines) + "\n"))
    assert same_floats(got["Time"], expected[0]) and same_floats(got["v"], expected[1])
