"""--scheduler with something that is neither a scheduler file nor an address: one line, at once.

A scheduler file that is not there yet (the job started quor-pp before the scheduler wrote
it) or a mistyped one was given to Dask as an address: its client refused it, but the
half-made client held the process 60 s at exit and printed a traceback.
"""

import subprocess
import sys

import pytest

from sample_truth import RUN

pytest.importorskip("distributed")


@pytest.mark.parametrize("address", ["scheduler.json", "{tmp}/not-yet/scheduler.json", "localhost",
                                     "gopher://localhost:8786"])
def test_an_address_dask_cannot_read_is_one_line_at_once(tmp_path, address):
    address = address.format(tmp=tmp_path)
    done = subprocess.run([sys.executable, "-m", "quor_pp", "analyze", str(RUN), "-q", "--scheduler", address],
                          capture_output=True, text=True, timeout=45, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        1, f"quor-pp analyze: {address} is neither a scheduler file nor a Dask scheduler's address "
           "(tcp://host:port)\n")
