"""Every function binds each argument by keyword exactly as by position.

Each function is called with several argument lists: by position, with every
argument by keyword (names from inspect.signature) in parameter order and in
reverse order, and split at every point between position and keyword. All calls
must give the same result, bit for bit, or the same exception with the same
message and notes. The values of one call differ from each other, so that a
parameter bound to the wrong slot changes the outcome.
"""
import inspect
import json
import pathlib
import struct

import pytest

import _quor_pp as qp

SALTS = json.loads((pathlib.Path(__file__).parents[1] / "examples/data/salts.json").read_text())["salts"]
KOH = SALTS["KOH"]
MW = KOH["molecular_weight"]
C = tuple(KOH["density"].values())
V = tuple(KOH["viscosity"].values())
NAN = float("nan")


def argument_lists(write_file, missing):
    table = write_file("# MSD\n#Time a b\n0 1 2\n10 3 4\n")
    thermo = write_file("title\n# Step Temp\n1 300.5\n2 301.5\n")
    volume = write_file("h\nh\n0 12.5\n")
    angle = write_file("t\ns\n# Index Coord\nstats\n1 0.5\n2 1.5\n")
    log = write_file("group water type 1\n216 atoms in group water\ngroup ion type 2\n8 atoms\n")
    time = [float(k) for k in range(1, 13)]
    msd = [1.0, 4.0, 9.0, 16.0, 25.0, 36.0, 42.0, 48.0, 54.0, 60.0, 66.0, 72.0]
    return {
        "parse_quor_file": [(table,), (missing,), (5,)],
        "parse_thermoprop": [(thermo,), (table,), (missing,)],
        "parse_volume_density": [(volume,), (table,)],
        "parse_bond_angle": [(angle,), (thermo,)],
        "read_group_count": [(log, "water"), (log, "ion"), (log, "Water"), (missing, "water"), (log, None),
                             (3, None)],
        "local_maximum_finder": [([0.0, 1.0, 3.0, 1.0, 0.0, 2.0, 5.0, 2.0], 0, 1),
                                 ([0.0, 1.0, 3.0, 1.0, 0.0, 2.0, 5.0, 2.0], 3, 1),
                                 ([1.0], -1, 1), ([1.0], 0, -1)],
        "repacking_results": [([1.0, NAN, 2.5],), ("1 2",)],
        "diff_calculator": [(time, msd, 0.0, 3, 5, 0.2, 0.0), (time, msd, 0.0, 3, 5, 0.2, 5.0),
                            (time, msd, 0.25, 3, 5, 0.2, 0.0), ("x", "y", 0.0, 3, 5, 0.2, 0.0),
                            (time, msd, 0.0, 3, 5, 0.2, "z")],
        "laliberte_density": [([298.15, 350.0], [0.5, 2.0], MW, *C), ([298.15], [0.5, 2.0], MW, *C),
                              ([298.15], [0.5], MW, *C[:4], None)],
        "laliberte_viscosity": [([298.15, 350.0], [0.5, 2.0], MW, *V), ([298.15], [], MW, *V)],
        "mass_fraction_to_molality": [([0.5, 0.1], 100.0), ([0.5], "w")],
        "molality_to_mass_fraction": [([10.0, 0.0], 58.44)],
        "mole_fraction_to_molality": [([0.5, 0.25], 20.0)],
        "molality_to_mole_fraction": [([50.0, 1.0], 18.015)],
        "dewane_eval": [([0.5, 2.0], [0.0, 1.0, 3.0], [100.0, 1, 2, 3, 4, 5, 6, 7, 8, 9] + [90.0] + [0.5] * 9),
                        ([5.0], [0.0, 3.0], [100.0] + [0.0] * 9), ([0.5], [0.0, 3.0], [1.0]),
                        ([0.5], [0.0], "c")],
        "koh_gilliam_eval": [([298.15, 353.15, 360.0], [1.0, 2.0, 3.0], MW, *C), ([298.15], [1.0, 2.0], MW, *C)],
        "molarity_to_molality": [([1.0, 5.0, 0.0], 298.15, MW, *C, 1e-10, 200),
                                 ([1.0, 5.0], 298.15, MW, *C, 1e-3, 3),
                                 ([1e-300], 298.15, MW, *C, 1e-10, 200),
                                 ([1.0], 298.15, MW, *C, 1e-10, 2.5)],
        "tau_calculator": [(0.5, 0.25, 298.15, 3e-9, 216.0, 2.5e-10)],
        "diffusion_adjustment": [(2.0, 1.0), (1.0, 2.0), ("2", 3.0)],
    }


def canonical(value):
    """Floats by their bits, so that -0.0, NaN and every last bit count."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return type(value), [canonical(item) for item in value]
    if isinstance(value, dict):
        return dict, [(key, canonical(item)) for key, item in value.items()]
    return type(value), value


def outcome(function, args, kwargs):
    try:
        return "returned", canonical(function(*args, **kwargs))
    except Exception as error:
        return "raised", type(error), error.args, getattr(error, "__notes__", None)


def bindings(names, args):
    """Every way of passing `args`: (description, positional part, keyword part)."""
    yield "by position", args, {}
    yield "all by keyword", (), dict(zip(names, args))
    yield "all by keyword, reversed", (), dict(reversed(list(zip(names, args))))
    for split in range(1, len(args)):
        yield f"first {split} by position", args[:split], dict(zip(names[split:], args[split:]))


@pytest.mark.parametrize("name", qp.__all__)
def test_keywords_bind_like_positions(name, write_file, tmp_path):
    cases = argument_lists(write_file, str(tmp_path / "missing.dat"))
    assert set(cases) == set(qp.__all__), "every function needs argument lists here"
    function = getattr(qp, name)
    names = list(inspect.signature(function).parameters)
    for args in cases[name]:
        assert len(args) == len(names)
        expected = outcome(function, args, {})
        for description, positional, keywords in bindings(names, args):
            assert outcome(function, positional, keywords) == expected, (args, description)


@pytest.mark.parametrize("name", qp.__all__)
def test_every_parameter_is_required_and_named_in_errors(name):
    """Leaving out any one keyword names exactly that parameter; a doubled one is refused."""
    function = getattr(qp, name)
    names = list(inspect.signature(function).parameters)
    for left_out in names:
        keywords = {parameter: None for parameter in names if parameter != left_out}
        with pytest.raises(TypeError) as info:
            function(**keywords)
        assert info.value.args == (f"{name}() missing 1 required positional argument: '{left_out}'",)
    with pytest.raises(TypeError) as info:
        function(*([None] * len(names)), **{names[-1]: None})
    assert info.value.args == (f"{name}() got multiple values for argument '{names[-1]}'",)
