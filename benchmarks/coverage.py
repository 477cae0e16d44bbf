"""How often the package's 95 % intervals contain the truth, on synthetic runs with known coefficients.

Run: python benchmarks/coverage.py [--sets K] [--replicas 5] [--shapes short,long,noisy,quiet]
                                   [--seed 2029] [--jobs 1] [--json coverage.json] [--shuffle]
                                   [--window T0,T1]

For every curve shape of `quor_pp.known_runs.SHAPES`, K run sets of R replicas each
are simulated (seeded: set k of shape s always gets the same random numbers,
whatever --jobs and --shapes are) and analysed with `quor_pp.analyze` without
options, as a user would analyse a run. For every quantity with a known value (D of
each species, Λ_ij, Đ, η, κ) the table gives, over the sets:

- ok: the share of sets whose row has status "ok" (every replica gave a value);
- coverage: the share of sets with an interval (n ≥ 2) whose 95 % interval,
  value ± Row.ci95 (Student's t over the replicas), contains the truth, with its
  binomial standard error;
- bias: the mean of (value − truth) / truth, with its standard error;
- half-width: the mean of ci95 / |truth|.

With 100 sets a coverage of 0.95 has a standard error of 0.022, so 0.95 and 0.85
stand 4.6 standard errors apart. The "all" rows pool the shapes. --shuffle writes
the species and pairs of each replica in an order of its own, as real runs do.
--window fits every curve over one window given by hand, without the check of its
local slopes, to tell the bias of the window search from that of the curves.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile
import time
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import Any

import numpy as np

import quor_pp
from quor_pp import known_runs
from quor_pp import WindowSettings

SHAPES = tuple(known_runs.SHAPES)


def analyse_set(shape: str, index: int, replicas: int, seed: int, shuffle: bool,
                window: tuple[float, float] | None = None) -> list[dict[str, Any]]:
    """The rows of one run set against its truth: one record per known quantity (`window`: every fit's, in fs)."""
    recipe = known_runs.SHAPES[shape]
    entropy = np.random.SeedSequence([seed, SHAPES.index(shape), index])
    with tempfile.TemporaryDirectory(prefix="quor-pp-coverage-") as root:
        truth = known_runs.write_run_set(os.path.join(root, "run"), recipe, replicas, np.random.default_rng(entropy),
                                         shuffle_columns=shuffle)
        # A window given by hand is fitted as it is (the check of its local slopes would
        # refuse many noisy curves); without one, the package's defaults.
        report = quor_pp.analyze(os.path.join(root, "run"), windows={"": window} if window else None,
                                 window=WindowSettings(check=False) if window else None)
    records = []
    for (quantity, species), true in truth.rows().items():
        try:
            row = report.row(quantity, species)
        except KeyError:
            first, _, second = species.partition("-")
            try:
                row = report.row(quantity, f"{second}-{first}")
            except KeyError:
                row = None
        value = row.value if row is not None else None
        ci95 = row.ci95 if row is not None else None
        records.append({"shape": shape, "set": index, "quantity": quantity, "species": species, "truth": true,
                        "value": value, "ci95": ci95, "n": row.n if row is not None else 0,
                        "status": row.status if row is not None else "absent"})
    return records


def summarise(records: Sequence[dict[str, Any]], sets: int) -> dict[str, Any]:
    """Coverage, bias and half-width of one quantity over its sets (see the module's docstring)."""
    with_interval = [r for r in records if r["value"] is not None and r["ci95"] is not None]
    ok = sum(r["status"] == "ok" for r in records)
    count = len(with_interval)
    summary: dict[str, Any] = {"sets": sets, "ok": ok / sets if sets else math.nan, "with_interval": count}
    if count == 0:
        return {**summary, "coverage": None, "coverage_se": None, "bias": None, "bias_se": None,
                "half_width": None}
    covered = [abs(r["value"] - r["truth"]) <= r["ci95"] for r in with_interval]
    coverage = sum(covered) / count
    relative = np.array([(r["value"] - r["truth"]) / abs(r["truth"]) for r in with_interval])
    half = np.array([r["ci95"] / abs(r["truth"]) for r in with_interval])
    return {**summary, "coverage": coverage, "coverage_se": math.sqrt(coverage * (1.0 - coverage) / count),
            "bias": float(relative.mean()),
            "bias_se": float(relative.std(ddof=1) / math.sqrt(count)) if count > 1 else None,
            "half_width": float(half.mean())}


def table(records: Sequence[dict[str, Any]], shapes: Sequence[str], sets: int) -> list[dict[str, Any]]:
    """One summary per shape and quantity, then the shapes pooled ("all")."""
    keys = list(dict.fromkeys((r["quantity"], r["species"]) for r in records))
    rows = []
    for shape in (*shapes, "all"):
        for quantity, species in keys:
            chosen = [r for r in records if (shape == "all" or r["shape"] == shape)
                      and (r["quantity"], r["species"]) == (quantity, species)]
            if chosen:
                total = sets * (len(shapes) if shape == "all" else 1)
                rows.append({"shape": shape, "quantity": quantity, "species": species,
                             **summarise(chosen, total)})
    return rows


def _cell(value: float | None, error: float | None, digits: int, percent: bool = False) -> str:
    if value is None:
        return "-"
    scale = 100.0 if percent else 1.0
    text = f"{value * scale:+.{digits}f}" if percent else f"{value:.{digits}f}"
    if error is not None:
        text += f" ± {error * scale:.{digits}f}"
    return text + (" %" if percent else "")


def print_table(rows: Sequence[dict[str, Any]], out: Any = sys.stdout) -> None:
    header = f"{'shape':7} {'quantity':22} {'species':10} {'ok':>5} {'coverage':>14} {'bias':>18} {'half-width':>10}"
    print(header, file=out)
    print("-" * len(header), file=out)
    for row in rows:
        half = f"{100.0 * row['half_width']:.1f} %" if row["half_width"] is not None else "-"
        print(f"{row['shape']:7} {row['quantity']:22} {row['species']:10} {row['ok']:5.2f} "
              f"{_cell(row['coverage'], row['coverage_se'], 2):>14} "
              f"{_cell(row['bias'], row['bias_se'], 1, percent=True):>18} {half:>10}", file=out)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--sets", type=int, default=10, help="run sets per shape (100 tells 0.95 from 0.85)")
    parser.add_argument("--replicas", type=int, default=5, help="replicas per run set")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="curve shapes, comma-separated")
    parser.add_argument("--seed", type=int, default=2029, help="seed of every run set")
    parser.add_argument("--jobs", type=int, default=1, help="run sets simulated and analysed at once (processes)")
    parser.add_argument("--shuffle", action="store_true", help="each replica writes its columns in its own order")
    parser.add_argument("--window", metavar="T0,T1",
                        help="fit every curve over this window (fs) instead of searching one: the bias that "
                             "remains is not the window choice's")
    parser.add_argument("--json", metavar="FILE", help="write the table and the settings to FILE")
    args = parser.parse_args(argv)
    shapes = [s for s in args.shapes.split(",") if s]
    unknown = [s for s in shapes if s not in known_runs.SHAPES]
    if unknown or not shapes:
        parser.error(f"unknown shapes {', '.join(unknown) or '(none given)'} (known: {', '.join(SHAPES)})")
    if args.sets < 1 or args.replicas < 2 or args.jobs < 1:
        parser.error("--sets and --jobs must be at least 1, --replicas at least 2")
    window = None
    if args.window:
        try:
            start_time, end_time = (float(part) for part in args.window.split(","))
        except ValueError:
            parser.error(f"--window takes two times in fs, T0,T1, not {args.window!r}")
        if not 0.0 <= start_time < end_time:
            parser.error(f"--window {args.window}: need 0 <= T0 < T1")
        window = (start_time, end_time)

    tasks = [(shape, k, args.replicas, args.seed, args.shuffle, window) for shape in shapes for k in range(args.sets)]
    start = time.perf_counter()
    cpu = time.process_time()
    records: list[dict[str, Any]] = []
    if args.jobs == 1:
        for task in tasks:
            records += analyse_set(*task)
    else:
        with ProcessPoolExecutor(args.jobs) as pool:
            for found in pool.map(analyse_set, *zip(*tasks)):
                records += found
    wall = time.perf_counter() - start
    rows = table(records, shapes, args.sets)
    print(f"{args.sets} sets x {args.replicas} replicas per shape, seed {args.seed}, quor-pp {quor_pp.__version__}: "
          f"{wall:.0f} s wall ({wall / len(tasks):.2f} s per set"
          + (f", {time.process_time() - cpu:.0f} s CPU in this process" if args.jobs == 1 else "") + ")")
    print_table(rows)
    if args.json:
        document = {"sets": args.sets, "replicas": args.replicas, "shapes": shapes, "seed": args.seed,
                    "shuffle": args.shuffle, "window": window, "version": quor_pp.__version__, "seconds": wall, "table": rows,
                    "records": records}
        with open(args.json, "w") as out:
            json.dump(document, out, indent=1)
            out.write("\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
