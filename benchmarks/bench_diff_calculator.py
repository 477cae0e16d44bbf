"""Times diff_calculator's window search against the NumPy versions a user would write.

Run with the project's interpreter after `pip install .[bench]`:

    python benchmarks/bench_diff_calculator.py [--budget SECONDS] [--repeat N]

For n = 10^3, 10^4, 10^5 points and max_window = 10^2, 10^3 it prints one table row with
  - quor: `_quor_pp.diff_calculator`, best of max(--repeat, 10) runs; "fixed", the part of it that does
    not depend on max_window (argument conversion, filter, logarithms: the same call with no
    window to visit); and the search's cost per window visited, from the remainder;
  - (a) direct: one `numpy.polyfit` per window. It runs in full only when a sample of start
    positions predicts it finishes within --budget seconds; otherwise the time is the sample's
    time scaled to all start positions, marked "~";
  - (b) vectorised: for each start, the slopes of all lengths at once from cumulative sums,
    in two forms: (b1) cumulative sums of the start's slice, which repeats the module's
    summation order, and (b2) differences of prefix sums shared by all starts, which is faster
    but rounds differently. The ratio is taken against the faster of the two;
  - whether each NumPy version chose the same window as the module.
The goals are checked at n = 10^4, max_window = 10^3: at least 1000x faster than (a) and 20x
faster than (b), with a cost per window that stays flat as n x max_window grows.
"""
import argparse
import math
import time as clock

import numpy as np

import _quor_pp as qp

SPACING_AT_ONE = 2.220446049250313e-16
MARGIN, MIN_WINDOW, MAX_ERROR, MIN_DISPLACEMENT = 0.05, 10, 0.1, 0.0


def msd_curve(n, seed=0):
    """Ballistic-to-diffusive MSD (Langevin-like, 3-D) with 1% multiplicative noise."""
    rng = np.random.default_rng(seed)
    dt, tau, d = 1e-12, n / 100 * 1e-12, 2.3e-9
    t = dt * np.arange(1, n + 1)
    msd = 6 * d * (t - tau * (1 - np.exp(-t / tau))) * (1 + 0.01 * (rng.random(n) - 0.5))
    return t, msd


def search_setup(time, msd, margin, min_window, max_window, max_error, min_displacement):
    keep = np.abs(msd) >= min_displacement * min_displacement
    t, m = time[keep], msd[keep]
    n = len(t)
    start = max(int(margin * n), 0)
    end = max(int((1.0 - margin) * n) - min_window, 0)
    dup = np.zeros(n, dtype=bool)
    dup[:-1] = np.abs(t[:-1] - t[1:]) < np.maximum(np.abs(t[:-1]), 1.0) * SPACING_AT_ONE
    starts = [i for i in range(start, min(end, n)) if not dup[i]]
    return t, m, np.log10(t), np.log10(np.abs(m)), starts, end


def length_stop(i, n, end, max_window):
    return min(end - i, max_window, n - i + 1)


def window_count(time, msd, max_window):
    t, _, _, _, starts, end = search_setup(time, msd, MARGIN, MIN_WINDOW, max_window, MAX_ERROR, MIN_DISPLACEMENT)
    return sum(max(0, length_stop(i, len(t), end, max_window) - MIN_WINDOW) for i in starts)


def raw_fit(t, m, window):
    i, j = window
    slope, intercept = np.polyfit(t[i : i + j], m[i : i + j], 1)
    return slope


def direct_search(time, msd, max_window, sample=None):
    """(a): a least-squares fit per window. With `sample`, only that many evenly spread
    starts are searched, and the time is scaled to all starts."""
    t, m, X, Y, starts, end = search_setup(time, msd, MARGIN, MIN_WINDOW, max_window, MAX_ERROR, MIN_DISPLACEMENT)
    lo, hi = 1.0 - MAX_ERROR, 1.0 + MAX_ERROR
    chosen = starts if sample is None else [starts[k] for k in np.linspace(0, len(starts) - 1, sample).astype(int)]
    best, best_distance = None, math.inf
    begin = clock.perf_counter()
    for i in chosen:
        for j in range(max(MIN_WINDOW, 2), length_stop(i, len(t), end, max_window)):
            s = np.polyfit(X[i : i + j], Y[i : i + j], 1)[0]
            if lo < s < hi and abs(s - 1.0) < best_distance:
                best, best_distance = (i, j), abs(s - 1.0)
    elapsed = clock.perf_counter() - begin
    if sample is not None:
        return elapsed * len(starts) / len(chosen), None
    return elapsed, best


def vectorised_search(time, msd, max_window, shared_prefix):
    """(b): per start, all lengths at once. shared_prefix selects (b2) over (b1)."""
    t, m, X, Y, starts, end = search_setup(time, msd, MARGIN, MIN_WINDOW, max_window, MAX_ERROR, MIN_DISPLACEMENT)
    n = len(t)
    lo, hi = 1.0 - MAX_ERROR, 1.0 + MAX_ERROR
    terms = (X, Y, X * Y, X * X)
    if shared_prefix:
        prefix = [np.concatenate(([0.0], np.cumsum(a))) for a in terms]
    lengths = np.arange(max(max_window, 1) + 1, dtype=float)
    best, best_distance = None, math.inf
    with np.errstate(all="ignore"):
        for i in starts:
            stop = length_stop(i, n, end, max_window)
            if MIN_WINDOW >= stop:
                continue
            jd = lengths[MIN_WINDOW:stop]
            if shared_prefix:
                sx, sy, sxy, sxx = (p[i + MIN_WINDOW : i + stop] - p[i] for p in prefix)
            else:
                sx, sy, sxy, sxx = (np.cumsum(a[i : i + stop - 1])[MIN_WINDOW - 1 :] for a in terms)
            s = (jd * sxy - sx * sy) / (jd * sxx - sx * sx)
            distance = np.abs(s - 1.0)
            distance[~((lo < s) & (s < hi))] = np.inf
            k = int(np.argmin(distance))
            if distance[k] < best_distance:
                best, best_distance = (i, MIN_WINDOW + k), distance[k]
    return best


def best_of(repeat, run):
    times, result = [], None
    for _ in range(repeat):
        begin = clock.perf_counter()
        result = run()
        times.append(clock.perf_counter() - begin)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--budget", type=float, default=30.0, help="longest full run of (a), seconds")
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing; the best counts")
    args = parser.parse_args()

    header = (f"{'n':>7} {'max_w':>6} {'windows':>10} {'quor ms':>9} {'fixed':>7} {'ns/win':>7} {'(a) s':>9} "
              f"{'x (a)':>8} {'(b1) ms':>9} {'(b2) ms':>9} {'x (b)':>6}  same window a/b1/b2")
    print(header)
    print("-" * len(header))
    quor_repeat = max(args.repeat, 10)  # the module's calls are short: more runs, steadier minimum
    per_window = {}
    ratios = {}
    predictions = []
    for n in (10**3, 10**4, 10**5):
        time, msd = msd_curve(n)
        tl, ml = time.tolist(), msd.tolist()
        fixed_time, _ = best_of(
            quor_repeat, lambda: qp.diff_calculator(tl, ml, MARGIN, MIN_WINDOW, MIN_WINDOW, MAX_ERROR, MIN_DISPLACEMENT))
        for max_window in (10**2, 10**3):
            windows = window_count(time, msd, max_window)
            quor_time, (d, t_fit, _) = best_of(
                quor_repeat, lambda: qp.diff_calculator(tl, ml, MARGIN, MIN_WINDOW, max_window, MAX_ERROR, MIN_DISPLACEMENT))
            first = int(np.searchsorted(time, t_fit[0]))
            window = (first, len(t_fit))

            sample_starts = 8
            predicted, _ = direct_search(time, msd, max_window, sample=sample_starts)
            if predicted <= args.budget:
                direct_time, direct_best = direct_search(time, msd, max_window)
                direct_text, direct_same = f"{direct_time:9.2f}", "yes" if direct_best == window else "no"
                predictions.append(f"{predicted:.1f} s predicted, {direct_time:.1f} s run (n = {n}, max_window = {max_window})")
            else:
                direct_time, direct_text, direct_same = predicted, f"~{predicted:8.1f}", "-"

            b1_time, b1_best = best_of(args.repeat, lambda: vectorised_search(time, msd, max_window, False))
            b2_time, b2_best = best_of(args.repeat, lambda: vectorised_search(time, msd, max_window, True))
            b_time = min(b1_time, b2_time)

            per_window[n, max_window] = (quor_time - fixed_time) / windows * 1e9
            ratios[n, max_window] = (direct_time / quor_time, b_time / quor_time)
            same = "/".join((direct_same, "yes" if b1_best == window else "no", "yes" if b2_best == window else "no"))
            print(f"{n:>7} {max_window:>6} {windows:>10} {quor_time * 1e3:9.3f} {fixed_time * 1e3:7.3f} {per_window[n, max_window]:7.2f} "
                  f"{direct_text} {direct_time / quor_time:8.0f} {b1_time * 1e3:9.1f} {b2_time * 1e3:9.1f} "
                  f"{b_time / quor_time:6.1f}  {same}   D = {d:.6g}")

    ratio_a, ratio_b = ratios[10**4, 10**3]
    spread = max(per_window.values()) / min(per_window.values())
    print()
    print("(a) from 8 sampled starts against full runs: " + "; ".join(predictions))
    print(f"goal at n = 10^4, max_window = 10^3: x(a) = {ratio_a:.0f} (>= 1000: {'met' if ratio_a >= 1000 else 'MISSED'}), "
          f"x(b) = {ratio_b:.1f} (>= 20: {'met' if ratio_b >= 20 else 'MISSED'})")
    print(f"search cost per window: {min(per_window.values()):.2f} to {max(per_window.values()):.2f} ns "
          f"over all cells (spread {spread:.2f}x)")


if __name__ == "__main__":
    main()
