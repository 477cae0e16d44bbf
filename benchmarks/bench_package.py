"""The package's overhead over the module: read() against the native reader of each table layout.

Run: python benchmarks/bench_package.py [--rows 100000 1000000] [--layouts transport rdf ...]
                                        [--formats g 17g] [--repeat N] [--sample] [--gzip]

For every layout read() recognises as a table, a file of the given number of rows is
written to a temporary directory, with numbers in C `%g` or `%.17g` form, and the best
processor time of N runs of read() is compared with that of N runs of the native reader that
read() uses for it (for fix ave/time blocks the native reader's columns include no
TimeStep; read() adds it). "transport+note" has a comment line half-way, which the
counting pass leaves to the slower check of the lines that are not plainly rows. --sample also times read() on the sample run's files and
analyze() on the whole sample run. --gzip also times read() of each file gzip-compressed
(level 6), whose rows the native reader takes from the inflating stream a block at a time.
"""
import argparse
import gc
import gzip
import shutil
import os
import pathlib
import random
import tempfile
import time

import _quor_pp
import quor_pp

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"

# Rows per block in the fix ave/time block layouts.
BLOCK_ROWS = {"ave/time blocks": 100, "histogram": 180}


def best(function, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def best_pair(first, second, repeat):
    """Best processor times of two functions, run in turn, so that both meet the same load.

    Processor time rather than wall time: on a machine shared with other work it leaves
    out the time the process waited for a processor.
    """
    times = ([], [])
    for _ in range(repeat):
        for function, kept in zip((first, second), times):
            gc.collect()
            start = time.process_time()
            function()
            kept.append(time.process_time() - start)
    return min(times[0]), min(times[1])


def _numbers(rng, count, form):
    return [format(rng.uniform(-1e3, 1e6) * 10 ** rng.randint(-8, 3), form) for _ in range(count)]


def write_table(path, layout, rows, form):
    """Writes a table of `rows` data rows in `layout`; returns the native reader for it."""
    rng = random.Random(rows)
    with open(path, "w") as out:
        if layout in ("transport", "transport+note"):
            out.write("#NOTE: time in fs, MSD in Angstrom^2\n#NOTE: benchmark\n#Time\tMSD__wat\tMSD__Na\tMSD__Cl\t\n")
            for k in range(1, rows + 1):
                out.write(f" {format(10.0 * k, form)}\t" + "\t".join(_numbers(rng, 3, form)) + "\n")
                if layout == "transport+note" and k == rows // 2:
                    out.write("#NOTE: run restarted\n")
            return _quor_pp.parse_quor_file
        if layout == "rdf":
            out.write("r g_O_O g_Na_O g_Cl_O\n")
            for k in range(1, rows + 1):
                out.write(f"{format(0.01 * k, form)} " + " ".join(_numbers(rng, 3, form)) + "\n")
            return _quor_pp.parse_quor_file
        if layout == "thermo":
            out.write("# Thermodynamic properties\n# Step Temp Press PotEng KinEng\n")
            for k in range(rows):
                out.write(f"{100 * k} " + " ".join(_numbers(rng, 4, form)) + "\n")
            return _quor_pp.parse_thermoprop
        if layout == "ave/time":
            out.write("# Time-averaged data for fix vol_avg\n# TimeStep v_vol v_dens\n")
            for k in range(rows):
                out.write(f"{100 * k} " + " ".join(_numbers(rng, 2, form)) + "\n")
            return _quor_pp.parse_thermoprop
        per_block = BLOCK_ROWS[layout]
        out.write("# Time-averaged data for fix hist\n# TimeStep Number-of-rows\n")
        out.write("# Index Coord Count Count/Total\n" if layout == "histogram" else "# Row c_x c_y c_z\n")
        for block in range(rows // per_block):
            out.write(f"{1000 * (block + 1)} {per_block}\n")
            for k in range(1, per_block + 1):
                out.write(f"{k} " + " ".join(_numbers(rng, 3, form)) + "\n")
        return _quor_pp.parse_bond_angle


def compare_layouts(sizes, layouts, formats, repeat, packed=False):
    print(f"{'layout':<16} {'format':>6} {'rows':>9} {'MB':>7} {'native ms':>10} {'read ms':>10} {'ratio':>6}"
          + (f" {'.gz read ms':>12}" if packed else ""))
    with tempfile.TemporaryDirectory() as directory:
        for rows in sizes:
            for layout in layouts:
                for form in formats:
                    path = os.path.join(directory, "table.dat")
                    reader = write_table(path, layout, rows, "g" if form == "g" else ".17g")
                    size = os.path.getsize(path) / 1e6
                    times = max(2, repeat if rows <= 200_000 else repeat // 2)
                    native, package = best_pair(lambda: reader(path), lambda: quor_pp.read(path), times)
                    line = (f"{layout:<16} {'%' + form:>6} {rows:>9} {size:>7.1f} {native * 1e3:>10.1f}"
                            f" {package * 1e3:>10.1f} {package / native:>6.2f}")
                    if packed:
                        with open(path, "rb") as plain, gzip.open(path + ".gz", "wb", compresslevel=6) as out:
                            shutil.copyfileobj(plain, out)
                        _, inflated = best_pair(lambda: quor_pp.read(path), lambda: quor_pp.read(path + ".gz"), times)
                        line += f" {inflated * 1e3:>12.1f}"
                    print(line, flush=True)


def sample_run(repeat):
    for name in ("diffself.dat", "nvt_prod.dat", "npt_prod_angle.dat", "log.lammps"):
        sample = RUN / "replica_1" / name
        package = best(lambda: quor_pp.read(sample), repeat * 10)
        print(f"sample {name}: read {package * 1e6:8.1f} us")
    whole = best(lambda: quor_pp.analyze(RUN, charges={"Na": 1, "Cl": -1}), repeat)
    print(f"analyze(sample run, 4 replicas): {whole * 1e3:.1f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--layouts", nargs="+", default=["transport", "rdf", "thermo", "ave/time",
                                                         "ave/time blocks", "histogram", "transport+note"])
    parser.add_argument("--formats", nargs="+", choices=["g", "17g"], default=["g", "17g"])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sample", action="store_true")
    parser.add_argument("--gzip", action="store_true")
    arguments = parser.parse_args()
    compare_layouts(arguments.rows, arguments.layouts, arguments.formats, arguments.repeat, arguments.gzip)
    if arguments.sample:
        sample_run(arguments.repeat)


if __name__ == "__main__":
    main()
