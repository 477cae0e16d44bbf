"""What each figure of the sample run costs to draw, in this process: the profile of `--plot`.

Run from the repository root:

    nice -n 10 .venv/bin/python benchmarks/bench_plots.py [--repeat 3] [--run examples/data/run]

Each figure `plot_report` draws is drawn `--repeat` times after one untimed round
(imports and caches warm); the table gives the best wall time and the best CPU
time of this process (which a shared machine disturbs less) of each, and the sum.
"""

import argparse
import os
import pathlib
import tempfile
import time

ROOT = pathlib.Path(__file__).parents[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--run", default=str(ROOT / "examples" / "data" / "run"))
    args = parser.parse_args()

    import quor_pp
    from quor_pp.views import plots
    from quor_pp.views import structure_plots

    report = quor_pp.analyze(args.run, charges={"Na": 1.0, "Cl": -1.0})
    figures = [("_".join(filter(None, key)), plots.plot_fits, key) for key in plots.figure_keys(report)]
    figures.append(("replica_values", plots.plot_replica_values, ()))
    figures += [(function.__name__, function, key) for function, key in structure_plots.structure_figures(report)]
    times: dict[str, list[tuple[float, float]]] = {name: [] for name, _, _ in figures}
    with tempfile.TemporaryDirectory() as directory:
        for round_ in range(args.repeat + 1):
            for name, function, key in figures:
                wall, cpu = time.perf_counter(), time.process_time()
                function(report, *key, directory)
                if round_:
                    times[name].append((time.perf_counter() - wall, time.process_time() - cpu))
    print(f"load average {os.getloadavg()[0]:.2f}, best of {args.repeat}")
    print(f"{'figure':<32}{'wall s':>9}{'cpu s':>9}")
    for name, runs in times.items():
        print(f"{name:<32}{min(w for w, _ in runs):>9.3f}{min(c for _, c in runs):>9.3f}")
    print(f"{'all':<32}{sum(min(w for w, _ in runs) for runs in times.values()):>9.3f}"
          f"{sum(min(c for _, c in runs) for runs in times.values()):>9.3f}")


if __name__ == "__main__":
    main()
