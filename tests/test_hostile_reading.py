"""Hostile files cost bounded memory, and a stop signal ends a long read at once.

The files are made sparse (a hole reads as NUL bytes and costs no disk) or as gzip
members of NUL bytes (a megabyte inflating to a gigabyte). Each is read in a child
process, whose peak resident memory is the kernel's account of it (its VmHWM), and
whose address space is capped well below what the unbounded reading took, so that
a regression fails here instead of taking the shared machine's memory.
"""

import gzip
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

from quor_pp.reading.source import LONGEST_LINE

GIB = 1 << 30
# Python with NumPy and the package imported is some 40 MB; the reading may add a
# few blocks and lines of at most LONGEST_LINE bytes.
MOST_MEMORY = 300 << 20
ROWS = b"#NOTE: units real\n#Time MSD__wat\n" + b"".join(b"%d %.1f\n" % (step, step * 0.5) for step in range(1000))
FIRST_AFTER_ROWS = 1003  # the number of the line after ROWS

READER = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
import quor_pp
try:
    (quor_pp.read if sys.argv[2] == "read" else quor_pp.read_log)(sys.argv[1])
except ValueError as error:
    print(f"{type(error).__name__}: {error}")
else:
    print("read without an error")
# This process's own peak: the kernel's ru_maxrss of a child also holds what its parent
# had resident when it forked, before the exec.
with open("/proc/self/status") as status:
    print(next(line for line in status if line.startswith("VmHWM:")), end="")
"""

STOPPABLE = """
import sys
import quor_pp
from quor_pp.workflow.workers import stop_on_signals
try:
    if sys.argv[2] == "as the command":  # SIGTERM raises Interrupted, as Ctrl-C raises KeyboardInterrupt
        with stop_on_signals():
            print("reading", flush=True)
            quor_pp.read(sys.argv[1])
    else:
        print("reading", flush=True)
        quor_pp.read(sys.argv[1])
except KeyboardInterrupt as stop:
    print(f"stopped: {type(stop).__name__}", flush=True)
    sys.exit(1)
print("read to the end", flush=True)
"""


def run_child(program, *args, timeout=120):
    """The child's output and its peak resident memory in bytes."""
    child = subprocess.Popen([sys.executable, "-c", program, *map(str, args)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    watchdog = threading.Timer(timeout, child.kill)
    watchdog.start()
    try:
        output = child.stdout.read().decode()
    finally:
        watchdog.cancel()
        child.stdout.close()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    lines = output.splitlines(keepends=True)
    if lines and lines[-1].startswith("VmHWM:"):  # the child's own account of its peak, in kB
        return "".join(lines[:-1]), int(lines[-1].split()[1]) * 1024
    return output, usage.ru_maxrss * 1024  # kilobytes on Linux


def sparse(path, *pieces):
    """A file of `pieces`: bytes written, or an int, a hole of that many NUL bytes."""
    with open(path, "wb") as out:
        for piece in pieces:
            if isinstance(piece, int):
                out.truncate(out.tell() + piece)
                out.seek(piece, os.SEEK_CUR)
            else:
                out.write(piece)
    return path


def nul_members(size):
    """Gzip members that inflate to `size` NUL bytes (a multiple of 64 MiB)."""
    member = gzip.compress(bytes(64 << 20), compresslevel=9)
    return member * (size // (64 << 20))


SAMPLE_LOG = (pathlib.Path(__file__).parents[1] / "examples" / "data" / "run" / "replica_1" / "log.lammps").read_bytes()


HOSTILE = {
    "rows, then a 4 GiB tail of NUL bytes": (
        lambda d: sparse(d / "diffself.dat", ROWS, 4 * GIB), "read", "FormatError", FIRST_AFTER_ROWS),
    "rows, then a line of 2 GiB, then a row": (
        lambda d: sparse(d / "diffself.dat", ROWS, b"1000 ", 2 * GIB, b"\n1001 500.5\n"), "read", "FormatError",
        FIRST_AFTER_ROWS),
    "nothing but 4 GiB of NUL bytes": (lambda d: sparse(d / "diffself.dat", 4 * GIB), "read", "FormatError", 1),
    "gzip: rows, then 2 GiB of NUL bytes": (
        lambda d: sparse(d / "diffself.dat.gz", gzip.compress(ROWS), nul_members(2 * GIB)), "read", "FormatError",
        FIRST_AFTER_ROWS),
    "a log with a 4 GiB tail of NUL bytes": (
        lambda d: sparse(d / "log.lammps", SAMPLE_LOG, 4 * GIB), "read", "FormatError", None),
    "a log with a 4 GiB tail, read as the run's log": (
        lambda d: sparse(d / "log.lammps", SAMPLE_LOG, 4 * GIB), "read_log", "LineTooLong", None),
    "a gzip log, then 2 GiB of NUL bytes": (
        lambda d: sparse(d / "log.lammps.gz", gzip.compress(SAMPLE_LOG), nul_members(2 * GIB)),
        "read_log", "LineTooLong", None),
}


# Under AddressSanitizer (the sanitizer job) a process reserves terabytes of shadow memory:
# an address-space cap cannot be set, and its resident memory is not the reader's.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="memory is not measurable under ASan")
@pytest.mark.parametrize("name", HOSTILE)
def test_a_hostile_file_is_refused_in_one_line_within_bounded_memory(tmp_path, name):
    make, how, error, line = HOSTILE[name]
    path = make(tmp_path)
    if line is None:  # the line after the log's text
        line = SAMPLE_LOG.count(b"\n") + 1
    output, peak = run_child(READER, path, how)
    assert output.count("\n") == 1 and output.startswith(f"{error}: {path}: "), output
    assert f"line {line}" in output and str(LONGEST_LINE) in output, output
    assert peak < MOST_MEMORY, f"{peak / 2**20:.0f} MB"


def comment_lines(size):
    """`size` bytes of '#' lines of NUL bytes, each just short of the longest line: all passed over, slowly."""
    line = b"#" + bytes(LONGEST_LINE - 2) + b"\n"
    return line * (size // len(line))


def sparse_comment_lines(path, size):
    """ROWS, then '#' lines of NUL bytes up to `size` bytes, sparse: a page of disk a line."""
    with open(path, "wb") as out:
        out.write(ROWS)
        for start in range(out.tell(), size - LONGEST_LINE, LONGEST_LINE):
            out.seek(start)
            out.write(b"\n#")
        out.truncate(size)
    return path


LONG_READS = {
    "a sparse file": lambda d: sparse_comment_lines(d / "diffself.dat", 4 * GIB),
    "a gzip file": lambda d: sparse(d / "diffself.dat.gz", gzip.compress(ROWS),
                                    gzip.compress(comment_lines(64 << 20), compresslevel=9) * 64),
}


@pytest.mark.parametrize("number, how, raised", [
    (signal.SIGINT, "as a library", "KeyboardInterrupt"),
    (signal.SIGTERM, "as the command", "Interrupted"),
])
@pytest.mark.parametrize("kind", LONG_READS)
def test_a_stop_signal_ends_a_long_read_at_once(tmp_path, kind, number, how, raised):
    path = LONG_READS[kind](tmp_path)
    child = subprocess.Popen([sys.executable, "-c", STOPPABLE, str(path), how],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        assert child.stdout.readline() == "reading\n"
        time.sleep(0.5)  # well into the reading, which takes many seconds
        sent = time.monotonic()
        child.send_signal(number)
        child.wait(timeout=5)
        waited = time.monotonic() - sent
    finally:
        child.kill()
        output = child.stdout.read()
        child.stdout.close()
        child.wait()
    assert output == f"stopped: {raised}\n" and child.returncode == 1, output
    # Signals are looked at every 50 ms; the rest is the interpreter's exit.
    assert waited < 1.0, f"{waited:.2f} s"
