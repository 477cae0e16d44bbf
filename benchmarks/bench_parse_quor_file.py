"""parse_quor_file against the columnar readers (pyarrow, polars), pandas and numpy.loadtxt,
and against its floor: the file read, the float objects and a parse at fast_float speed.

Run: python benchmarks/bench_parse_quor_file.py [rows] [rounds]   (the `bench` extra)

Two tables of `rows` x 4 columns are written: every number as %.17g, and as %.10e.
Contenders run in interleaved rounds (one call each per round, in a new order each
round) and the best time of each is kept, so a busy machine slows all of them alike. Both the wall time and the
process's CPU time are kept: on a machine shared with other work the CPU time is
the steadier of the two for single-threaded contenders (for threaded ones it adds
up the threads, so only their wall time means anything). Polars fixes its thread
count when imported, so each polars contender runs in a child process (one warm-up
call, then one timed call per round). Every contender that makes lists ends with the
same dict of lists of floats; this is checked once per table.

Floor of parse_quor_file, each part measured on its own:
  file read   - reading the file through one 256 KiB buffer, as the reader does;
  objects     - float objects and lists from four float64 arrays (ndarray.tolist);
  parse       - fast_float over every field of the file already in memory (needs the
                fast_float headers, e.g. Debian's libfast-float-dev, and g++).
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import _quor_pp as qp

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 9
NAMES = ["Time", "MSD_x", "MSD_y", "MSD_z"]
FORMATS = {"%.17g": "{:.17g}", "%.10e": "{:.10e}"}
HERE = os.path.dirname(os.path.abspath(__file__))


def make_table(path, number_format):
    rng = random.Random(1)
    with open(path, "w") as out:
        out.write("# Self-diffusion of the cation, QUOR output\n")
        out.write("#Time " + " ".join(NAMES[1:]) + "\n")
        row = " ".join([number_format] * 4) + "\n"
        lines = []
        for step in range(ROWS):
            lines.append(row.format(step * 0.5, rng.uniform(0, 9), rng.uniform(0, 9), rng.uniform(0, 9)))
            if len(lines) == 100_000:
                out.writelines(lines)
                lines.clear()
        out.writelines(lines)


# --- contenders: path -> dict of lists (or a table, for the "no lists" ones) ---

def with_numpy(path):
    data = np.loadtxt(path, comments="#")
    return {name: data[:, k].tolist() for k, name in enumerate(NAMES)}


def with_pandas(path):
    import pandas as pd
    frame = pd.read_csv(path, sep=r"\s+", comment="#", header=None, names=NAMES)
    return {name: frame[name].tolist() for name in NAMES}


def with_pandas_pyarrow(path):
    import pandas as pd
    frame = pd.read_csv(path, sep=" ", skiprows=2, header=None, names=NAMES, engine="pyarrow")
    return {name: frame[name].tolist() for name in NAMES}


def pyarrow_reader(threads, lists):
    import pyarrow.csv as pacsv
    read_options = pacsv.ReadOptions(use_threads=threads, skip_rows=2, column_names=NAMES)
    parse_options = pacsv.ParseOptions(delimiter=" ")

    def read(path):
        table = pacsv.read_csv(path, read_options=read_options, parse_options=parse_options)
        if not lists:
            return table
        return {name: table.column(name).to_numpy().tolist() for name in NAMES}
    return read


POLARS_CHILD = r"""
import json, sys, time
import polars as pl
path, names, lists = sys.argv[1], sys.argv[2].split(","), sys.argv[3] == "1"
def read():
    frame = pl.read_csv(path, separator=" ", skip_rows=2, has_header=False, new_columns=names)
    return {n: frame[n].to_list() for n in names} if lists else frame
result = read()
result = None
cpu, start = time.process_time(), time.perf_counter()
result = read()
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
out = {"seconds": seconds, "cpu": cpu, "threads": pl.thread_pool_size()}
if len(sys.argv) > 4:
    out["values"] = result if lists else None
print(json.dumps(out))
"""


def polars_child(path, threads, lists, values=False):
    env = dict(os.environ)
    if threads == 1:
        env["POLARS_MAX_THREADS"] = "1"
    else:
        env.pop("POLARS_MAX_THREADS", None)
    command = [sys.executable, "-c", POLARS_CHILD, path, ",".join(NAMES), "1" if lists else "0"]
    if values:
        command.append("values")
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


# --- floor parts ---

def file_read(path):
    buffer = bytearray(1 << 18)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(view):
            pass


def build_parse_floor(folder):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or not os.path.exists("/usr/include/fast_float/fast_float.h"):
        return None
    program = os.path.join(folder, "parse_floor")
    subprocess.run([compiler, "-O2", "-std=c++17", "-ffp-contract=off", os.path.join(HERE, "parse_floor.cpp"),
                    "-o", program], check=True)
    return program


def measure(path, contenders, child_contenders):
    """Best wall time and best CPU time of each contender, in seconds."""
    wall = {name: float("inf") for name in list(contenders) + list(child_contenders)}
    cpu = dict(wall)
    order = list(contenders.items())
    shuffle = random.Random(1).shuffle
    for _ in range(ROUNDS):
        shuffle(order)  # what one call leaves in the allocator favours no contender
        for name, function in order:
            result = None  # free the previous result outside the timed region
            cpu_start, start = time.process_time(), time.perf_counter()
            result = function(path)
            wall[name] = min(wall[name], time.perf_counter() - start)
            cpu[name] = min(cpu[name], time.process_time() - cpu_start)
            del result
        for name, (threads, lists) in child_contenders.items():
            child = polars_child(path, threads, lists)
            wall[name] = min(wall[name], child["seconds"])
            cpu[name] = min(cpu[name], child["cpu"])
    return wall, cpu


def page_faults(function, path):
    import resource
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    result = function(path)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    del result
    return after - before


def run_table(folder, label, number_format, floor_program):
    path = os.path.join(folder, "diffself.dat")
    make_table(path, number_format)
    megabytes = os.path.getsize(path) / 1e6
    print(f"\n== {label}: {ROWS} rows x {len(NAMES)} columns, {megabytes:.1f} MB, best of {ROUNDS} ==")

    reference = qp.parse_quor_file(path)
    lists = {
        "parse_quor_file": qp.parse_quor_file,
        "pyarrow 1 thread + lists": pyarrow_reader(False, True),
        "pyarrow default + lists": pyarrow_reader(True, True),
        "pandas engine=pyarrow + lists": with_pandas_pyarrow,
        "pandas sep=\\s+ + lists": with_pandas,
        "numpy.loadtxt + lists": with_numpy,
    }
    tables = {
        "pyarrow 1 thread, table": pyarrow_reader(False, False),
        "pyarrow default, table": pyarrow_reader(True, False),
    }
    children = {
        "polars 1 thread + lists": (1, True),
        "polars default + lists": (0, True),
        "polars 1 thread, frame": (1, False),
        "polars default, frame": (0, False),
    }
    for name, function in lists.items():
        if name != "parse_quor_file":
            assert function(path) == reference, f"{name} read different values"
    assert polars_child(path, 1, True, values=True)["values"] == reference, "polars read different values"

    floor_parts = {
        "file read": file_read,
    }
    arrays = [np.array(reference[name]) for name in NAMES]
    floor_parts["float objects + lists"] = lambda _: {n: a.tolist() for n, a in zip(NAMES, arrays)}

    wall, cpu = measure(path, {**lists, **tables, **floor_parts}, children)
    if floor_program:
        out = subprocess.run([floor_program, path, str(ROUNDS)], capture_output=True, text=True, check=True)
        seconds, cpu_seconds, fields, _ = out.stdout.split()
        assert int(fields) == ROWS * len(NAMES)
        wall["fast_float parse"], cpu["fast_float parse"] = float(seconds), float(cpu_seconds)

    print(f"{'contender':<32}{'wall ms':>9}{'x ours':>8}{'CPU ms':>9}{'x ours':>8}{'MB/s':>8}")
    for name in wall:
        print(f"{name:<32}{wall[name] * 1e3:9.1f}{wall[name] / wall['parse_quor_file']:8.2f}"
              f"{cpu[name] * 1e3:9.1f}{cpu[name] / cpu['parse_quor_file']:8.2f}{megabytes / wall[name]:8.1f}")
    print(f"page faults of one call: parse_quor_file {page_faults(qp.parse_quor_file, path)}, "
          f"pyarrow 1 thread + lists {page_faults(lists['pyarrow 1 thread + lists'], path)}")

    for label, times in (("wall", wall), ("CPU", cpu)):
        ours = times["parse_quor_file"]
        ratio = times["pyarrow 1 thread + lists"] / ours
        line = (f"{label:>4}: pyarrow 1 thread + lists / parse_quor_file = {ratio:.2f} "
                f"(goal >= 1.30: {'met' if ratio >= 1.3 else 'missed'})")
        if "fast_float parse" in times:
            floor = times["file read"] + times["float objects + lists"] + times["fast_float parse"]
            line += (f"; floor (read + objects + parse) {floor * 1e3:.1f} ms, parse_quor_file / floor = "
                     f"{ours / floor:.2f} (goal <= 1.15: {'met' if ours / floor <= 1.15 else 'missed'})")
        print(line)
    if not floor_program:
        print("fast_float headers or g++ missing: no parse floor")


def main():
    print(f"load average before: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")
    with tempfile.TemporaryDirectory() as folder:
        floor_program = build_parse_floor(folder)
        for label, number_format in FORMATS.items():
            run_table(folder, label, number_format, floor_program)
    print(f"\nload average after: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")


if __name__ == "__main__":
    main()
