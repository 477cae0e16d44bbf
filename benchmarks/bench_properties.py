"""Property models against NumPy (plus .tolist()) and a scipy brentq loop; prints times and ratios."""

import json
import math
import pathlib
import time

import numpy as np
from scipy.optimize import brentq

import _quor_pp as q

SALTS = json.loads((pathlib.Path(__file__).parents[1] / "examples/data/salts.json").read_text())["salts"]
KOH = SALTS["KOH"]
MW = KOH["molecular_weight"]
C = tuple(KOH["density"].values())


def best_of(repeats, call):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def numpy_density(t_k, b, mw, c0, c1, c2, c3, c4):
    t = t_k + (-273.15)
    kell = (((((-2.8054253e-10 * t + 1.0556302e-7) * t + (-4.6170461e-5)) * t + (-0.0079870401)) * t
             + 16.945176) * t + 999.83952)
    rho_w = kell / (0.01687985 * t + 1)
    w = b * mw / (b * mw + 1000)
    e = np.exp((t + c4) * (t + c4) * 1e-6)
    v = (c3 * t + (c2 + w)) / (e * (c0 * w + c1))
    rho = 1 / ((1 - w) / rho_w + v * w)
    return rho, rho * w / mw


def numpy_koh(t_k, b, mw, *c):
    m = numpy_density(t_k, b, mw, *c)[1]
    low = ((m * 0.001043) * m) * m + ((m * 207.2) / t_k + ((0.005332 * m) * t_k
                                                         + ((m * -0.0028) * m + -2.041 * m)))
    low = low - ((t_k * m) * (t_k * m)) * 3e-7
    p = b * mw / (b * mw + 1000) * 100
    high = ((p * 7.0101e-6) * p) * p + ((p * -10.7021) / t_k + ((3.3647e-4 * p) * t_k
                                                              + ((p * -0.0013077) * p + 0.0022204 * p)))
    high = high - ((t_k * p) * (t_k * p)) * 3.2033e-9
    return np.where(t_k < 353.15, low, high) * 100


def python_molarity(t_k, b, mw, c0, c1, c2, c3, c4):
    t = t_k - 273.15
    kell = (((((-2.8054253e-10 * t + 1.0556302e-7) * t - 4.6170461e-5) * t - 0.0079870401) * t
             + 16.945176) * t + 999.83952)
    rho_w = kell / (0.01687985 * t + 1)
    w = b * mw / (b * mw + 1000)
    v = (c3 * t + c2 + w) / (math.exp((t + c4) ** 2 * 1e-6) * (c0 * w + c1))
    return w / ((1 - w) / rho_w + v * w) / mw


def brentq_loop(targets, t_k):
    out = []
    for target in targets:
        residual = lambda b: python_molarity(t_k, b, MW, *C) - target
        hi = max(target, 1.0)
        while residual(hi) < 0:
            hi *= 2
        out.append(brentq(residual, 1e-12, hi, xtol=1e-10, maxiter=200))
    return out


def report(name, ours, theirs, label, goal):
    ratio = theirs / ours
    verdict = "meets" if ratio >= goal else "misses"
    print(f"{name:<22} {ours * 1e3:9.1f} ms   {label:<28} {theirs * 1e3:9.1f} ms   "
          f"x{ratio:6.2f}  ({verdict} goal x{goal:g})")


def main():
    rng = np.random.default_rng(7)
    n = 10**6
    t_arr = rng.uniform(273.15, 373.15, n)
    b_arr = rng.uniform(0.0, 6.0, n)
    t_list, b_list = t_arr.tolist(), b_arr.tolist()
    print(f"{n} elements; Python lists in for _quor_pp, NumPy arrays in for NumPy\n")

    ours = best_of(5, lambda: q.laliberte_density(t_list, b_list, MW, *C))
    theirs = best_of(5, lambda: [a.tolist() for a in numpy_density(t_arr, b_arr, MW, *C)])
    from_lists = best_of(5, lambda: [a.tolist() for a in numpy_density(np.array(t_list), np.array(b_list), MW, *C)])
    report("laliberte_density", ours, theirs, "NumPy + tolist", 1)
    report("", ours, from_lists, "NumPy from lists + tolist", 1)

    ours = best_of(5, lambda: q.koh_gilliam_eval(t_list, b_list, MW, *C))
    theirs = best_of(5, lambda: numpy_koh(t_arr, b_arr, MW, *C).tolist())
    from_lists = best_of(5, lambda: numpy_koh(np.array(t_list), np.array(b_list), MW, *C).tolist())
    report("koh_gilliam_eval", ours, theirs, "NumPy + tolist", 1)
    report("", ours, from_lists, "NumPy from lists + tolist", 1)

    t_k = 298.15
    targets = q.laliberte_density([t_k] * 10**4, rng.uniform(0.01, 6.0, 10**4).tolist(), MW, *C)[1]
    ours = best_of(5, lambda: q.molarity_to_molality(targets, t_k, MW, *C, 1e-10, 200))
    theirs = best_of(1, lambda: brentq_loop(targets, t_k))
    report("molarity_to_molality", ours, theirs, "brentq loop (10^4)", 10)

    # Sanity: both sides compute the same quantities.
    diff = max(abs(x - y) for x, y in zip(q.molarity_to_molality(targets, t_k, MW, *C, 1e-10, 200),
                                          brentq_loop(targets[:200], t_k)))
    print(f"\nlargest molality difference against brentq (first 200): {diff:.1e} mol/kg")


if __name__ == "__main__":
    main()
