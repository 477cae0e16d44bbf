"""parse_quor_file against numpy.loadtxt and pandas.read_csv on a large MSD table.

Run: python benchmarks/bench_parse_quor_file.py [rows]   (needs numpy and pandas)
Every contender ends with the same dict of lists of floats.
"""
import os
import random
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import _quor_pp as qp

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
NAMES = ["Time", "MSD_x", "MSD_y", "MSD_z"]


def make_table(path):
    rng = random.Random(1)
    with open(path, "w") as out:
        out.write("# Self-diffusion of the cation, QUOR output\n")
        out.write("#Time " + " ".join(NAMES[1:]) + "\n")
        lines = []
        for step in range(ROWS):
            t = step * 0.5
            lines.append(f"{t:.6e} {rng.uniform(0, 9):.10e} {rng.uniform(0, 9):.10e} {rng.uniform(0, 9):.10e}\n")
            if len(lines) == 100_000:
                out.writelines(lines)
                lines.clear()
        out.writelines(lines)


def with_numpy(path):
    data = np.loadtxt(path, comments="#")
    return {name: data[:, k].tolist() for k, name in enumerate(NAMES)}


def with_pandas(path):
    frame = pd.read_csv(path, sep=r"\s+", comment="#", header=None, names=NAMES)
    return {name: frame[name].tolist() for name in NAMES}


def best_of(function, path, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None  # free the previous result outside the timed region
        start = time.perf_counter()
        result = function(path)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "diffself.dat")
        make_table(path)
        megabytes = os.path.getsize(path) / 1e6
        print(f"table: {ROWS} rows x {len(NAMES)} columns, {megabytes:.1f} MB")
        ours, reference = best_of(qp.parse_quor_file, path, 5)
        timings = {"parse_quor_file": ours}
        for name, function in (("numpy.loadtxt", with_numpy), ("pandas.read_csv", with_pandas)):
            seconds, result = best_of(function, path, 3)
            assert result == reference, f"{name} read different values"
            timings[name] = seconds
        for name, seconds in timings.items():
            print(f"{name:>16}: {seconds * 1e3:8.1f} ms  {megabytes / seconds:7.1f} MB/s  "
                  f"x{seconds / ours:5.2f} of parse_quor_file")
        fastest_other = min(v for k, v in timings.items() if k != "parse_quor_file")
        print(f"speed-up over the faster alternative: {fastest_other / ours:.2f}x")


if __name__ == "__main__":
    main()
