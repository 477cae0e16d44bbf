import logging
import math
import os
import struct

import pytest

# The command analyses small runs serially even with -j N (worker processes would start
# slower than the run takes); the tests of -j mean the worker processes, whatever the size.
os.environ["QUOR_PP_SERIAL_BELOW_BYTES"] = "0"


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


def fingerprint_report(report):
    """Everything a report holds, floats and arrays by their bytes: equal only when equal bit for bit."""

    def bits(value):
        if isinstance(value, float):
            return struct.pack("<d", value)
        if isinstance(value, (list, tuple)):
            return tuple(bits(v) for v in value)
        if hasattr(value, "tobytes"):
            return (value.dtype.str, value.tobytes())
        return value

    def fit(f):
        return None if f is None else bits((f.source, f.column, f.time, f.msd, f.status, f.message, f.slope,
                                            f.t_fit, f.fit, f.start, f.stop, f.loglog_slope))

    rows = [bits((r.quantity, r.species, r.value, r.std, r.sem, r.n, r.unit, r.status, r.message, r.replicas))
            for r in report.rows]
    replicas = [(r.path, r.units, [bits((e.quantity, e.species, e.value, e.unit, e.status, e.message, e.scale))
                                   + (fit(e.fit),) for e in r.estimates], [fit(f) for f in r.fits])
                for r in report.replicas]
    failures = [(f.path, f.error, f.message) for f in report.failures]
    return rows, replicas, failures


@pytest.fixture(scope="session", params=[False, True], ids=["dask-threads", "dask-processes"])
def dask_client(request):
    """A Dask client on a two-worker LocalCluster in this process (threads) or in two worker processes."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=request.param,
                                  dashboard_address=None, memory_limit="1GiB", silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        yield client
