"""Electrolyte property models: bit-exact formulas, branch and segment edges, messages."""

import json
import math
import random
import pathlib

import pytest

import _quor_pp as q
import property_reference as ref

NAN, INF = math.nan, math.inf
SALTS = json.loads((pathlib.Path(__file__).parents[1] / "examples/data/salts.json").read_text())["salts"]
NACL, KOH = SALTS["NaCl"], SALTS["KOH"]


def density_args(salt):
    return (salt["molecular_weight"], *salt["density"].values())


def same(a, b):
    """Bit-for-bit equality of floats or lists of floats, NaN equal to NaN."""
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


# Every pair of 41 temperatures (0 to 100 degC, 353.15 K among them) and 16 molalities.
GRID_T, GRID_B = map(list, zip(*[(273.15 + 2.5 * i, b) for i in range(41)
                                  for b in [0.0, 1e-9, 0.01, 0.1, 0.3, 0.5, 0.77, 1.0, 1.5, 2.0, 3.0, 4.0,
                                            5.5, 6.0, 8.0, 12.0]]))


# Laliberte density and viscosity

@pytest.mark.parametrize("salt", [NACL, KOH])
def test_density_and_viscosity_match_formulas_bit_for_bit(salt):
    density, molarity = q.laliberte_density(GRID_T, GRID_B, *density_args(salt))
    expected = [ref.density_molarity(t, b, *density_args(salt)) for t, b in zip(GRID_T, GRID_B)]
    assert same(density, [e[0] for e in expected]) and same(molarity, [e[1] for e in expected])
    viscosity = q.laliberte_viscosity(GRID_T, GRID_B, salt["molecular_weight"], *salt["viscosity"].values())
    assert same(viscosity, [ref.viscosity(t, b, salt["molecular_weight"], *salt["viscosity"].values())
                            for t, b in zip(GRID_T, GRID_B)])


def test_pure_water_in_kelvin():
    density, molarity = q.laliberte_density([273.15, 298.15], [0.0, 0.0], *density_args(NACL))
    assert density[0] == 999.83952 and molarity == [0.0, 0.0]
    assert density[1] == 1 / (1 / ref.kell_water_density(298.15 - 273.15))
    assert abs(density[1] - 997.05) < 0.01  # a Celsius mix-up would be far off
    # Molality 0 makes the solute term vanish, even with NaN viscosity parameters.
    eta = q.laliberte_viscosity([298.15], [0.0], 58.45, NAN, NAN, NAN, NAN, NAN, NAN)
    t = 298.15 - 273.15
    assert eta == [(t + 245.9996) / ((0.055943 * t + 5.284245) * t + 137.3664) * 0.001]
    assert abs(eta[0] - 0.890e-3) < 2e-6


def test_non_finite_elements_stay_in_place():
    density, molarity = q.laliberte_density([298.15, NAN, 298.15], [1.0, 1.0, 1.0], *density_args(NACL))
    assert math.isnan(density[1]) and density[0] == density[2] and molarity[0] == molarity[2]
    # c1 = 0 at zero molality: 0/0 in the apparent volume.
    assert all(map(math.isnan, q.laliberte_density([298.15], [0.0], 58.45, 1, 0, 1, 1, 1)[0]))


@pytest.mark.parametrize("call", [
    lambda t, b: q.laliberte_density(t, b, *density_args(NACL)),
    lambda t, b: q.laliberte_viscosity(t, b, 58.45, 1, 1, 1, 1, 1, 1),
    lambda t, b: q.koh_gilliam_eval(t, b, *density_args(KOH)),
])
def test_paired_arrays(call):
    with pytest.raises(ValueError, match=r"^temperature and molality must have the same length$"):
        call([300.0, 310.0], [1.0, 2.0, 3.0])
    assert call([], []) in (([], []), [])


# KOH conductivity

def test_koh_matches_formulas_on_both_branches():
    temperatures = GRID_T + [353.15, math.nextafter(353.15, 0), 400.0, NAN]
    molalities = GRID_B + [3.0, 3.0, 0.0, 1.0]
    sigma = q.koh_gilliam_eval(temperatures, molalities, *density_args(KOH))
    assert same(sigma, [ref.koh_conductivity(t, b, *density_args(KOH)) for t, b in zip(temperatures, molalities)])


def test_koh_branch_switches_at_exactly_353_15():
    below, at = math.nextafter(353.15, 0), 353.15
    other = (KOH["molecular_weight"], 1, 2, 3, 4, 5)
    # Density parameters reach the low branch only.
    assert q.koh_gilliam_eval([at], [3.0], *density_args(KOH)) == q.koh_gilliam_eval([at], [3.0], *other)
    assert q.koh_gilliam_eval([below], [3.0], *density_args(KOH)) != q.koh_gilliam_eval([below], [3.0], *other)
    assert q.koh_gilliam_eval([below, at, 300.0], [0.0] * 3, *density_args(KOH)) == [0.0] * 3


# Molarity to molality

def inversion(molarity, salt=NACL, temperature=298.15, tol=1e-10, iterations=200):
    mw, *c = density_args(salt)
    return q.molarity_to_molality(molarity, temperature, mw, *c, tol, iterations)


@pytest.mark.parametrize("salt", [NACL, KOH])
@pytest.mark.parametrize("tol, iterations", [
    (1e-10, 0), (1e-10, 1), (1e-10, 3), (1e-10, 200), (1e-10, 2**64 - 1), (1e-3, 200), (NAN, 60), (-1.0, 60),
])
def test_inversion_matches_brent_dekker_bit_for_bit(salt, tol, iterations):
    targets = [0.01, 0.5, 1.0, 2.5, 4.0, 1e-9, 0.99] + [k * 0.0371 for k in range(1, 150)]
    expected = [ref.molarity_to_molality(C, 298.15, *density_args(salt), tol, iterations) for C in targets]
    assert same(inversion(targets, salt, tol=tol, iterations=iterations), expected)


@pytest.mark.parametrize("salt", [NACL, KOH])
@pytest.mark.parametrize("tol", [NAN, -1.0, 0.0, 1e-300])
def test_unreachable_tolerance_runs_out_like_every_iteration_was_run(salt, tol):
    # A search that never meets its tolerance settles into a cycle of states; the
    # result after any number of iterations, 2^64 - 1 included, is the one the
    # full count gives, and it comes back at once.
    targets = [0.001, 0.5, 1.0, 2.5, 4.0, 5.2]
    for iterations in (5, 6, 7, 50, 51, 1001, 2**64 - 1):
        expected = [ref.molarity_to_molality(C, 298.15, *density_args(salt), tol, min(iterations, 1001))
                    for C in targets]
        assert same(inversion(targets, salt, tol=tol, iterations=iterations), expected)


@pytest.mark.parametrize("salt", [NACL, KOH])
@pytest.mark.parametrize("temperature", [278.15, 298.15, 343.15])
def test_inversion_round_trips_laliberte_density(salt, temperature):
    b0 = [0.05, 0.5, 1.0, 3.0, 5.0]
    _, molarity = q.laliberte_density([temperature] * len(b0), b0, *density_args(salt))
    b = inversion(molarity, salt, temperature)
    _, back = q.laliberte_density([temperature] * len(b), b, *density_args(salt))
    for b_in, b_out, C, C_out in zip(b0, b, molarity, back):
        assert abs(b_out - b_in) <= 1e-10 or abs(C_out - C) <= 1e-10


def test_inversion_zero_nan_and_infinite_inputs():
    assert same(inversion([0.0, -0.0, -3.0, NAN, INF, 1.0]), [0.0, 0.0, 0.0, NAN, NAN, inversion([1.0])[0]])
    # A NaN temperature, weight or parameter leaves no root, even for targets that would fail.
    assert same(inversion([0.0, 1.0, 1e6], temperature=NAN), [0.0, NAN, NAN])
    assert same(q.molarity_to_molality([1.0], 298.15, NAN, 1, 1, 1, 1, 1, 1e-10, 200), [NAN])
    assert same(q.molarity_to_molality([1.0], 298.15, 58.45, 1, 1, NAN, 1, 1, 1e-10, 200), [NAN])
    assert inversion([]) == []


@pytest.mark.parametrize("molarity, temperature, text", [
    (1e6, 298.15, "1.0000e6 mol/L at temperature = 298.15 K"),    # never reached
    (1e-20, 300.0, "1.0000e-20 mol/L at temperature = 300.00 K"),  # below m(1e-12)
    (12.5e4, 273.149, "1.2500e5 mol/L at temperature = 273.15 K"),
])
def test_inversion_bracket_failure(molarity, temperature, text):
    message = "molarity_to_molality: could not bracket root for molarity = " + text
    with pytest.raises(ValueError) as raised:
        inversion([1.0, molarity, 2e6], temperature=temperature)
    assert str(raised.value) == message


# Dewane segmented conductivity

SEGMENTS = [0.0, 1.0, 3.0, 6.0]
COEFFS = ([100.0] + [0.0] * 9) + ([200.0] + [0.0] * 9) + ([300.0] + [0.0] * 9)


def test_dewane_matches_polynomial():
    base = [126.4, 89.5, 30.1, -12.3, 5.6, -2.2, 0.71, -0.05, 3e-3, -1e-4]
    coeffs = base + [k * 1.5 for k in base]
    molarity = [1e-4, 0.05, 0.5, 1.0, 2.0, 2.9999] + [k * 0.0173 for k in range(1, 170)]
    expected = [ref.dewane_conductivity(c, coeffs[10 * (c > 1):][:10]) for c in molarity]
    assert same(q.dewane_eval(molarity, [0.0, 1.0, 3.0], coeffs), expected)


def test_dewane_segment_membership():
    assert q.dewane_eval([0.5], [0.0, 3.0], [100] + [0] * 9) == [5.0]
    # Upper limit included, lower excluded: an interior limit belongs to the segment below it.
    assert q.dewane_eval([1.0, 3.0, 6.0, 1.5], SEGMENTS, COEFFS) == [10.0, 60.0, 180.0, 30.0]
    # Unsorted limits: the first matching interval wins.
    assert q.dewane_eval([2.0, 3.5], [0.0, 3.0, 1.0, 4.0], COEFFS) == [20.0, 105.0]


@pytest.mark.parametrize("molarity, limits, coeffs, message", [
    ([], [1.0], [], "limits must have at least 2 values (defining at least 1 segment)"),
    ([], SEGMENTS, COEFFS[:-1], "coeffs must have exactly 30 values (3 segments \u00d7 10 coefficients)"),
    ([5.0], [0.0, 3.0], COEFFS[:10], "molarity 5.0000e0 mol/L is outside Dewane bounds [0.0000e0, 3.0000e0]"),
    ([1.0, 0.0, NAN], SEGMENTS, COEFFS, "molarity 0.0000e0 mol/L is outside Dewane bounds [0.0000e0, 6.0000e0]"),
    ([NAN], [0.05, -INF], COEFFS[:10], "molarity NaN mol/L is outside Dewane bounds [5.0000e-2, -inf]"),
])
def test_dewane_failures(molarity, limits, coeffs, message):
    with pytest.raises(ValueError) as raised:
        q.dewane_eval(molarity, limits, coeffs)
    assert str(raised.value) == message


@pytest.mark.parametrize("value, text", [
    (12.5, "1.2500e1"), (0.5, "5.0000e-1"), (-5.0, "-5.0000e0"), (-0.0, "-0.0000e0"),
    (9.99995, "1.0000e1"), (2.00005, "2.0000e0"), (0.000123455, "1.2345e-4"), (0.000123456, "1.2346e-4"),
    (1e-300, "1.0000e-300"), (5e-324, "4.9407e-324"), (-1.7976931348623157e308, "-1.7977e308"), (INF, "inf"),
])
def test_scientific_numbers_in_messages(value, text):
    # Correct rounding of the stored double: 9.99995 lies just above its decimal
    # value and carries into the exponent, 2.00005 just below and rounds down.
    with pytest.raises(ValueError, match=f"^molarity {text} mol/L"):
        q.dewane_eval([value], [1e308, 1.7976931348623157e308], COEFFS[:10])


# Concentration conversions

@pytest.mark.parametrize("to_molality, from_molality", [
    (q.mass_fraction_to_molality, q.molality_to_mass_fraction),
    (q.mole_fraction_to_molality, q.molality_to_mole_fraction),
])
def test_conversions(to_molality, from_molality):
    fractions = [0.0, 1.0, 0.5, 0.25, 1.5, -0.1, NAN, 0.9999]
    assert same(to_molality(fractions, 100.0), [ref.to_molality(x, 100.0) for x in fractions])
    assert same(to_molality([0.0, 1.0, 0.5], 100.0), [0.0, INF, 10.0])
    molalities = [0.0, INF, 10.0, 50.0, 1e-300, 3.7, NAN, -2.0]
    assert same(from_molality(molalities, 100.0), [ref.from_molality(b, 100.0) for b in molalities])
    assert same(from_molality([0.0, INF, 10.0], 100.0), [0.0, 1.0, 0.5])
    assert same(from_molality([50.0], 20.0) + to_molality([0.5], 20.0), [0.5, 50.0])
    assert same(to_molality([0.5, 0.0], 0.0), [INF, NAN]) and from_molality([3.0], 0.0) == [0.0]
    assert to_molality([], 1.0) == [] == from_molality([], 1.0)


def test_inversion_matches_every_iteration_count_on_random_cases():
    rng = random.Random(3)
    for _ in range(25):
        salt = rng.choice([NACL, KOH])
        mw, *c = density_args(salt)
        c = [x * rng.uniform(0.9, 1.1) for x in c]
        temperature = rng.uniform(275.0, 360.0)
        tol = rng.choice([NAN, -1.0, 0.0, 1e-300, 1e-15, 1e-9])
        iterations = rng.randrange(0, 300)
        targets = [rng.uniform(0.01, 5.0) for _ in range(8)]
        expected = [ref.molarity_to_molality(C, temperature, mw, *c, tol, iterations) for C in targets]
        got = q.molarity_to_molality(targets, temperature, mw, *c, tol, iterations)
        assert same(got, expected)
