"""The command as a user meets it: whole processes, start-up to exit.

Run from the repository root, after `bash scripts/test.sh` has made .venv:

    nice -n 10 .venv/bin/python benchmarks/bench_cli.py [--repeat 7] [--jobs 2]

Every command is started as its own process, the commands taking turns, so that a
change in the machine's load falls on all of them alike. For each, the table gives
the best and the median wall time, and the median CPU time of the child (user +
system, which a shared machine disturbs less), and the ratios that matter:

- `quor-pp --help` and a usage error against `python -c pass` (the interpreter's own start);
- `quor-pp analyze` of the sample run against `python -c "import numpy, _quor_pp"`
  (the imports no analysis can do without);
- `quor-pp analyze --plot DIR -j N` against the same analysis without plots.
"""

import argparse
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).parents[1]
RUN = ROOT / "examples" / "data" / "run"


# A command line argparse refuses: exits 2 once the parser has read it.
USAGE_ERROR = "usage error (exit 2)"


def commands(plots: str, jobs: int) -> dict[str, list[str]]:
    python = sys.executable
    cli = [python, "-m", "quor_pp"]
    analyze = [*cli, "analyze", str(RUN), "-q", "--charge", "Na=1,Cl=-1"]
    return {
        "python -c pass": [python, "-c", "pass"],
        "quor-pp --help": [*cli, "--help"],
        "quor-pp analyze --help": [*cli, "analyze", "--help"],
        USAGE_ERROR: [*cli, "analyze", str(RUN), "--margin", "x"],
        "import quor_pp": [python, "-c", "import quor_pp"],
        "import numpy, _quor_pp": [python, "-c", "import numpy, _quor_pp"],
        "quor-pp analyze": analyze,
        f"analyze --plot -j {jobs}": [*analyze, "--plot", plots, "-j", str(jobs)],
    }


# As installed: compiled modules are written on the first, untimed run and read afterwards
# (an environment that forbids writing them would time the compiler).
ENVIRONMENT = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}


def run(command: list[str], expected: int = 0) -> tuple[float, float]:
    """Wall and CPU time (user + system, s) of one whole process, which must exit with `expected`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    status = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=ENVIRONMENT).returncode
    if status != expected:
        raise subprocess.CalledProcessError(status, command)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as plots:
        calls = commands(plots, args.jobs)
        times: dict[str, list[tuple[float, float]]] = {name: [] for name in calls}
        for name, command in calls.items():  # once, untimed: caches warm
            run(command, 2 if name == USAGE_ERROR else 0)
        for _ in range(args.repeat):
            for name, command in calls.items():
                times[name].append(run(command, 2 if name == USAGE_ERROR else 0))
    print(f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} cores, {args.repeat} interleaved runs")
    print(f"{'command':<28}{'best s':>9}{'median s':>10}{'cpu s':>9}")
    best = {name: min(w for w, _ in runs) for name, runs in times.items()}
    median = {name: statistics.median(w for w, _ in runs) for name, runs in times.items()}
    cpu = {name: statistics.median(c for _, c in runs) for name, runs in times.items()}
    for name in calls:
        print(f"{name:<28}{best[name]:>9.3f}{median[name]:>10.3f}{cpu[name]:>9.3f}")
    plot = f"analyze --plot -j {args.jobs}"
    print()
    for what, over, goal in (("quor-pp --help", "python -c pass", 3.0),
                             (USAGE_ERROR, "python -c pass", 3.0),
                             ("quor-pp analyze", "import numpy, _quor_pp", 1.2),
                             (plot, "quor-pp analyze", 4.0)):
        print(f"{what} / {over}: best {best[what] / best[over]:.2f}, median {median[what] / median[over]:.2f}, "
              f"cpu {cpu[what] / cpu[over]:.2f} (goal <= {goal})")


if __name__ == "__main__":
    main()
