import math
import struct

import pytest


def same_float(a, b):
    """Bit-for-bit equality of two floats (any NaN equals any NaN)."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return struct.pack("<d", a) == struct.pack("<d", b)


def same_floats(a, b):
    return len(a) == len(b) and all(same_float(x, y) for x, y in zip(a, b))


@pytest.fixture
def write_file(tmp_path):
    """Writes text (str, UTF-8) or raw bytes to a file and returns its path as str."""
    counter = iter(range(10**6))

    def write(content, name=None):
        path = tmp_path / (name or f"file{next(counter)}.dat")
        if isinstance(content, str):
            content = content.encode("utf-8")
        path.write_bytes(content)
        return str(path)

    return write
