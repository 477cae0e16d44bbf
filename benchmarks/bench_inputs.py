"""Counting a run's molecules: a 100 000-atom data file and a 50 MB log, read and their groups counted.

Run: python benchmarks/bench_inputs.py [atoms] [log MB] [rounds]

The data file is water with ions (atom style full, with Velocities and Bonds
sections as `write_data` writes them), plain and gzip-compressed; the log echoes
the setup commands and then holds thermodynamic rows up to its size, as a long
production run's does. Each step is timed over `rounds` rounds and the best time
kept, so a busy machine slows every step alike. The replay compares every group's
count with the one the log printed, as an analysis does.
"""

import gzip
import os
import sys
import tempfile
import time

from quor_pp.reading.group_replay import replay_groups
from quor_pp.reading.logs import group_counts, read_log
from quor_pp.reading.molecules import read_data_file

ATOMS = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
LOG_MB = float(sys.argv[2]) if len(sys.argv) > 2 else 50.0
ROUNDS = int(sys.argv[3]) if len(sys.argv) > 3 else 5


def write_data(path, atoms):
    ions = max(2, atoms // 100) // 2 * 2
    waters = (atoms - ions) // 3
    total = 3 * waters + ions
    lines = ["water and ions, written for the benchmark", "", f"{total} atoms", f"{2 * waters} bonds",
             "4 atom types", "1 bond types", "", "0 50 xlo xhi", "0 50 ylo yhi", "0 50 zlo zhi", "",
             "Masses", "", "1 15.9994", "2 1.008", "3 22.98977", "4 35.453", "", "Atoms # full", ""]
    for k in range(waters):
        first = 3 * k + 1
        lines += [f"{first} {k + 1} 1 -0.8476 {k % 50}.1 {k % 37}.2 {k % 23}.3",
                  f"{first + 1} {k + 1} 2 0.4238 {k % 50}.4 {k % 37}.5 {k % 23}.6",
                  f"{first + 2} {k + 1} 2 0.4238 {k % 50}.7 {k % 37}.8 {k % 23}.9"]
    for k in range(ions):
        lines.append(f"{3 * waters + k + 1} {waters + k + 1} {3 + k % 2} {1 - 2 * (k % 2)} 1.0 2.0 3.0")
    lines += ["", "Velocities", ""] + [f"{k + 1} 0.001 -0.002 0.003" for k in range(total)]
    lines += ["", "Bonds", ""]
    for k in range(waters):
        lines += [f"{2 * k + 1} 1 {3 * k + 1} {3 * k + 2}", f"{2 * k + 2} 1 {3 * k + 1} {3 * k + 3}"]
    text = "\n".join(lines) + "\n"
    with open(path, "w") as stream:
        stream.write(text)
    with gzip.open(path + ".gz", "wt", compresslevel=6) as stream:
        stream.write(text)
    return waters, ions, total


def write_log(path, megabytes, data_name, waters, ions, total):
    head = ["LAMMPS (2 Aug 2023 - Update 3)", "units\t\treal", "atom_style\tfull", f"read_data\t{data_name}",
            "Reading data file ...", "  reading atoms ...", f"  {total} atoms",
            "group wat type 1 2", f"{3 * waters} atoms in group wat",
            "group Na type 3", f"{ions // 2} atoms in group Na", "group Cl type 4", f"{ions // 2} atoms in group Cl",
            "group ions union Na Cl", f"{ions} atoms in group ions",
            "thermo_style custom step temp press pe ke vol", "run 100000000",
            "   Step          Temp          Press          PotEng         KinEng         Volume"]
    size = int(megabytes * 1e6)
    with open(path, "w") as stream:
        stream.write("\n".join(head) + "\n")
        step, written = 0, 0
        while written < size:
            rows = "".join(f"{step + 100 * k:>9d}   {298.15 + (k % 13) * 0.1:.8f}   {-100.5 + k % 7:.8f}"
                           f"   {-10246.087 - k % 5:.6f}   {2713.300 + k % 3:.6f}   {30561.25:.6f}\n"
                           for k in range(10_000))
            stream.write(rows)
            written += len(rows)
            step += 1_000_000
        stream.write("Loop time of 112233.4 on 1 procs for 100000000 steps with 3036 atoms\n")


def best(call):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    with tempfile.TemporaryDirectory() as directory:
        data_path = os.path.join(directory, "system.data")
        waters, ions, total = write_data(data_path, ATOMS)
        log_path = os.path.join(directory, "log.lammps")
        write_log(log_path, LOG_MB, "system.data", waters, ions, total)
        print(f"data file: {total} atoms, {os.path.getsize(data_path) / 1e6:.1f} MB "
              f"({os.path.getsize(data_path + '.gz') / 1e6:.1f} MB compressed); "
              f"log: {os.path.getsize(log_path) / 1e6:.1f} MB")
        for name in (data_path, data_path + ".gz"):
            seconds, data = best(lambda name=name: read_data_file(name))
            print(f"read_data_file({os.path.basename(name)}): {seconds:.3f} s ({len(data.ids)} atoms)")
        seconds, counts = best(lambda: group_counts(log_path))
        print(f"group_counts(log): {seconds:.3f} s {counts}")

        def count_all():
            log = read_log(log_path, thermo=False)
            return replay_groups(log.events, lambda name, style: read_data_file(os.path.join(directory, name), style))

        seconds, replay = best(count_all)
        tallies = {name: (tally.molecules, tally.why or "agrees with the log") for name, tally in replay.groups.items()}
        print(f"log read, data file read, groups replayed and checked: {seconds:.3f} s {tallies}")


if __name__ == "__main__":
    main()
