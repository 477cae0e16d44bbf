"""The package's overhead over the module: read() against parse_quor_file, and analyze() on the sample run.

Run: python benchmarks/bench_package.py [rows]
read() checks the layout of every line in Python before the module reads the values;
this measures what that check costs on a large table and on the sample run.
"""
import os
import pathlib
import random
import sys
import tempfile
import time

import _quor_pp
import quor_pp

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"


def best(function, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def make_table(path):
    rng = random.Random(1)
    with open(path, "w") as out:
        out.write("#NOTE: benchmark\n#Time\tMSD__wat\tMSD__Na\tMSD__Cl\t\n")
        out.writelines(f" {k * 10:g}\t{rng.uniform(0, 9):g}\t{rng.uniform(0, 9):g}\t{rng.uniform(0, 9):g}\n"
                       for k in range(1, ROWS + 1))


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "diffself.dat")
        make_table(path)
        native = best(lambda: _quor_pp.parse_quor_file(path))
        package = best(lambda: quor_pp.read(path))
        print(f"{ROWS} rows: parse_quor_file {native * 1e3:8.1f} ms   read {package * 1e3:8.1f} ms"
              f"   ({package / native:.1f}x)")
    sample = RUN / "replica_1" / "diffself.dat"
    native = best(lambda: _quor_pp.parse_quor_file(str(sample)), 50)
    package = best(lambda: quor_pp.read(sample), 50)
    print(f"sample diffself.dat: parse_quor_file {native * 1e6:8.1f} us   read {package * 1e6:8.1f} us")
    whole = best(lambda: quor_pp.analyze(RUN, charges={"Na": 1, "Cl": -1}), 5)
    print(f"analyze(sample run, 4 replicas, 48 fits): {whole * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
