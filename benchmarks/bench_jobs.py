"""When `-j N` pays: the command serial against -j 2 over runs of more and more replicas.

Run from the repository root, after `bash scripts/test.sh` has made .venv:

    nice -n 10 .venv/bin/python benchmarks/bench_jobs.py [--counts 2,5,10,20,40] [--repeat 5] [--jobs 2]

For each count, a run of that many replicas (copies of the sample run's four, real
files) is analysed by whole processes: ``quor_pp.analyze(run, jobs=1)`` and
``jobs=N`` (`--jobs`; a pool of N worker processes whatever the size), and the
command ``quor-pp analyze -j 1`` and ``-j N`` (which takes the pool only where it
pays). The processes take turns; the table gives the median wall time of
`--repeat` runs and the load average. The CPU columns are the median CPU time (user + system, the
workers' included) of the two ``quor_pp.analyze`` processes.

Measured on the 2-core development machine (CPython 3.14), shared with other work
at a load average of 3 to 8, median wall time in s (the last two columns: the
command; "-j 2" as it chose before the choice below existed, so always the pool):

    replicas   bytes  jobs=1  jobs=2    -j 1    -j 2  load
           2   0.2MB    0.28    1.66    1.94    2.03   4.4
           5   0.4MB    0.33    0.99    0.28    1.04   3.0
          10   0.8MB    0.26    0.96    0.28    0.89   4.4
          20   1.5MB    0.41    0.76    0.44    1.09   4.0
          40   3.1MB    0.87    1.82    1.09    1.85   3.2
          80   6.1MB    2.52    4.17    2.32    4.51   4.9
         160  12.2MB    3.82    6.86    5.74    6.32   5.3
         320  24.5MB   16.56   34.15   15.98   22.44   7.7

On so loaded a machine the pool did not pay even at 24 MB: its workers take the
cores the work needs. CPU time (user + system of the process and its workers,
``curves=False``, load 3 to 6):

    replicas   bytes  jobs=1  jobs=2  pool's extra
          20   1.5MB    0.51    1.29    0.78
          80   6.1MB    1.42    2.50    1.08
         160  12.2MB    2.85    3.68    0.83

so the pool costs about 0.8 to 1.1 s of CPU whatever the size (two interpreters
starting and importing NumPy and the package), and the work about 0.22 s per MB of
run files (17 ms per replica of the sample's 0.08 MB). N workers take (N − 1)/N of
the work off the calling process: `quor_pp.workflow.job_sizing` takes them when that
is more than their start's 1.1 s, from 10 MB of files with -j 2 (6.7 MB with -j 4,
5.7 MB with -j 8), and analyses smaller runs serially. On an idle 2-core machine a
run just below 10 MB would have gained about half a second from the pool; on a busy
one it loses more. `quor_pp.analyze(jobs=N)` itself is not second-guessed.
"""

import argparse
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).parents[1]
RUN = ROOT / "examples" / "data" / "run"


def make_run(directory: pathlib.Path, replicas: int) -> int:
    """`replicas` copies of the sample's replicas in `directory`; their bytes."""
    sources = sorted(p for p in RUN.iterdir() if p.is_dir())
    total = 0
    for k in range(replicas):
        target = directory / f"replica_{k + 1}"
        shutil.copytree(sources[k % len(sources)], target)
        total += sum(f.stat().st_size for f in target.iterdir())
    return total


def wall(command: list[str]) -> tuple[float, float]:
    """Wall and CPU time (user + system of the process and its workers), s."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return elapsed, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--counts", default="2,5,10,20,40")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=2)
    options = parser.parse_args()
    jobs = options.jobs
    print(f"{'replicas':>8}  {'bytes':>7}  {'jobs=1':>6}  {f'jobs={jobs}':>6}  {'-j 1':>6}  {f'-j {jobs}':>6}  load"
          f"  CPU: {'jobs=1':>6}  {f'jobs={jobs}':>6}")
    for count in (int(c) for c in options.counts.split(",")):
        with tempfile.TemporaryDirectory() as directory:
            size = make_run(pathlib.Path(directory), count)
            analyze = [sys.executable, "-m", "quor_pp", "analyze", directory, "-q", "--charge", "Na=1,Cl=-1",
                       "--csv", os.devnull]

            def api(n: int) -> list[str]:
                return [sys.executable, "-c", f"import quor_pp; quor_pp.analyze({directory!r}, jobs={n}, "
                        "charges={'Na': 1, 'Cl': -1})"]

            calls = {"api 1": api(1), "api n": api(jobs), "cli 1": analyze, "cli n": [*analyze, "-j", str(jobs)]}
            wall(analyze)  # compiled modules written, files in the page cache
            times: dict[str, list[tuple[float, float]]] = {name: [] for name in calls}
            for _ in range(options.repeat):
                for name, command in calls.items():
                    times[name].append(wall(command))
            median = {name: statistics.median(w for w, _ in values) for name, values in times.items()}
            cpu = {name: statistics.median(c for _, c in values) for name, values in times.items()}
            print(f"{count:>8}  {size / 1e6:>5.1f}MB  {median['api 1']:>6.2f}  {median['api n']:>6.2f}  "
                  f"{median['cli 1']:>6.2f}  {median['cli n']:>6.2f}  {os.getloadavg()[0]:>4.1f}"
                  f"       {cpu['api 1']:>6.2f}  {cpu['api n']:>6.2f}", flush=True)


if __name__ == "__main__":
    main()
