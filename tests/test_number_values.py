"""Field values against Python's float() on the inputs where a fast decimal-to-binary
conversion is most likely to go wrong: 17- to 19-digit mantissas, points halfway
between two doubles, the edges of the subnormal and finite ranges, runs of digits
that end on either side of an eight-byte block, and the power-of-ten table itself."""
import math
import pathlib
import random
import re
import struct
from decimal import ROUND_DOWN, ROUND_UP, Context, Decimal
from fractions import Fraction

import pytest

import _quor_pp as qp
from conftest import same_floats

TABLE = pathlib.Path(__file__).parents[1] / "src" / "readers" / "power_of_ten_table.h"


def read_column(write_file, fields):
    return qp.parse_quor_file(write_file("#Time\n" + "\n".join(fields) + "\n"))["Time"]


def random_double(rng):
    """Any finite double, subnormals included, by its bit pattern."""
    while True:
        value = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(value):
            return value


def with_point(digits, rng):
    point = rng.randint(0, len(digits))
    return digits[:point] + "." + digits[point:]


def long_mantissas(rng):
    digits = str(rng.randint(1, 9)) + "".join(rng.choice("0123456789") for _ in range(rng.randint(16, 18)))
    return f"{with_point(digits, rng)}e{rng.randint(-345, 310)}"


def round_trips(rng):
    value = abs(random_double(rng))
    return rng.choice([f"{value:.17g}", f"{value:.16e}", repr(value), f"{value:.19e}"])


HALFWAY_CONTEXT = Context(prec=1200)


def near_halfway(rng):
    """The point halfway between two neighbouring doubles, exactly or cut to 19 digits
    on either side, so that the exact answer depends on digits beyond the 19th."""
    low = abs(random_double(rng))
    high = math.nextafter(low, math.inf)
    if math.isinf(high):
        return repr(low)
    middle = HALFWAY_CONTEXT.divide(HALFWAY_CONTEXT.add(Decimal(low), Decimal(high)), 2)
    choice = rng.randrange(3)
    if choice == 0:
        return f"{middle:e}"
    rounding = ROUND_DOWN if choice == 1 else ROUND_UP
    return f"{Context(prec=19, rounding=rounding).plus(middle):e}"


def integer_boundaries(rng):
    """Integers around 2^53 and 2^64, where a mantissa stops being exact in a double
    and in 64 bits, scaled by small powers of ten."""
    centre = rng.choice([2**53, 2**54, 2**63, 2**64, 10**19])
    return f"{centre + rng.randint(-64, 64)}e{rng.randint(-30, 30)}"


def range_edges(rng):
    """Mantissas of 1 to 25 digits placed near the smallest subnormal, the smallest
    normal and the largest finite double."""
    digits = str(rng.randint(1, 9)) + "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 24)))
    decade = rng.choice([-324, -323, -308, -307, 308]) + rng.randint(-2, 1)
    return f"{digits[0]}.{digits[1:]}e{decade}"


def padded_with_zeros(rng):
    """Leading zeros (which do not count as digits of the mantissa) and trailing zeros
    (which do) around a mantissa of up to 19 digits."""
    digits = str(rng.randint(1, 9)) + "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 18)))
    lead, trail = "0" * rng.randint(0, 30), "0" * rng.randint(0, 12)
    return f"{with_point(lead + digits + trail, rng)}e{rng.randint(-330, 300)}"


def block_edges(rng):
    """Runs of 1 to 25 digits with the point anywhere, often nines, across block edges."""
    digits = "".join(rng.choice("0123456789999") for _ in range(rng.randint(1, 25)))
    token = with_point(digits, rng) if rng.random() < 0.8 else digits
    return token + (f"E{rng.choice('+-')}{rng.randint(0, 340):03d}" if rng.random() < 0.5 else "")


@pytest.mark.parametrize(
    "make",
    [long_mantissas, round_trips, near_halfway, integer_boundaries, range_edges, padded_with_zeros, block_edges],
)
def test_values_match_python_float(write_file, make):
    rng = random.Random(make.__name__)
    fields = [rng.choice(["", "-", "+"]) + make(rng) for _ in range(4000)]
    got = read_column(write_file, fields)
    expected = [float(field) for field in fields]
    mismatches = [(f, g, e) for f, g, e in zip(fields, got, expected) if not same_floats([g], [e])]
    assert len(got) == len(fields) and mismatches[:5] == []


@pytest.mark.parametrize(
    "field",
    ["9007199254740993", "9007199254740993e0", "18446744073709551615", "18446744073709551616",
     "9999999999999999999e-343", "1e-342", "1e-343", "9999999999999999999e308", "1e308", "1e309",
     "2.2250738585072011e-308", "2.2250738585072014e-308", "4.9406564584124654e-324",
     "2.4703282292062327e-324", "2.4703282292062328e-324", "1797693134862315708145e287",
     "0.000000000000000000000000000000000000000000001234567890123456789e-280"],
)
def test_named_hard_cases(write_file, field):
    assert same_floats(read_column(write_file, [field, "-" + field]), [float(field), -float(field)])


def table_entries():
    text = TABLE.read_text()
    smallest = int(re.search(r"smallest_power_of_ten = (-?\d+);", text).group(1))
    pairs = re.findall(r"\{0x([0-9a-f]{16}), 0x([0-9a-f]{16})\}", text)
    return [(smallest + k, int(high, 16) << 64 | int(low, 16)) for k, (high, low) in enumerate(pairs)]


@pytest.mark.skipif(not TABLE.exists(), reason="the sources are not beside the tests")
def test_power_of_ten_table_entries_are_the_rounded_down_mantissas():
    entries = table_entries()
    assert [q for q, _ in entries] == list(range(-342, 309))
    for q, mantissa in entries:
        power = Fraction(10) ** q
        # The binary exponent e with 2^127 <= 10^q / 2^e < 2^128, found by exact comparison.
        e = power.numerator.bit_length() - power.denominator.bit_length() - 128
        while power / Fraction(2) ** e >= 2**128:
            e += 1
        while power / Fraction(2) ** e < 2**127:
            e -= 1
        scaled = power / Fraction(2) ** e
        assert mantissa <= scaled < mantissa + 1, q
