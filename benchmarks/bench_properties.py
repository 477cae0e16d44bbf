"""Property models against NumPy (plus .tolist()) from float64 ndarrays, and the molarity
inversion against a scipy brentq loop and scipy's vectorised find_root.

Run: python benchmarks/bench_properties.py [elements] [rounds]   (the `bench` extra)

Every element-wise model is timed three ways on the same 10^6 elements: the module
called with float64 ndarrays, the module called with lists, and the same formula
written in NumPy from the ndarrays with .tolist() on its results (the same Python
lists at the end). Contenders run in interleaved rounds and the best time of each
is kept, for the wall time and for the process's CPU time (the steadier of the two on
a machine shared with other work; every contender here is single-threaded). The
order of the contenders changes from round to round. The ratio is NumPy's time over
the module's, both from ndarrays.
"""

import json
import math
import os
import pathlib
import random
import resource
import sys
import time

import numpy as np
from scipy.optimize import brentq
from scipy.optimize.elementwise import find_root

import _quor_pp as q

N = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 9
SALTS = json.loads((pathlib.Path(__file__).parents[1] / "examples/data/salts.json").read_text())["salts"]
KOH = SALTS["KOH"]
MW = KOH["molecular_weight"]
C = tuple(KOH["density"].values())
V = tuple(KOH["viscosity"].values())
WATER_MW = 18.015


# --- the formulas in NumPy, in the module's order of operations ---

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


def numpy_viscosity(t_k, b, mw, v1, v2, v3, v4, v5, v6):
    t = t_k + (-273.15)
    w = b * mw / (b * mw + 1000)
    solute = np.exp((v1 * w**v2 + v3) / (v4 * t + 1)) / (v5 * w**v6 + 1)
    water = (t + 245.9996) / ((0.055943 * t + 5.284245) * t + 137.3664)
    return water ** (1 - w) * solute**w * 0.001


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


def numpy_fraction_to_molality(x, mw):
    return x / ((1.0 - x) * (mw / 1000.0))


def numpy_molality_to_fraction(b, mw):
    return 1.0 / (1.0 / (b * (mw / 1000.0)) + 1.0)


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


def find_root_vectorised(targets, t_k):
    """scipy's element-wise bracketing root finder on all targets at once, with the
    bracket widened in NumPy as the brentq loop widens it; the roots as a list."""
    targets = np.asarray(targets)
    t = np.full_like(targets, t_k)

    def residual(b, target, temperature):
        return numpy_density(temperature, b, MW, *C)[1] - target

    lo = np.full_like(targets, 1e-12)
    hi = np.maximum(targets, 1.0)
    while True:
        low = residual(hi, targets, t) < 0
        if not low.any():
            break
        hi = np.where(low, hi * 2, hi)
    result = find_root(residual, (lo, hi), args=(targets, t), tolerances=dict(xatol=1e-10, xrtol=0.0),
                       maxiter=200)
    return result.x.tolist()


# --- timing ---

def interleaved(contenders):
    """Best wall time and best CPU time of each contender, in seconds."""
    wall = dict.fromkeys(contenders, float("inf"))
    cpu = dict(wall)
    order = list(contenders.items())
    shuffle = random.Random(1).shuffle
    for _ in range(ROUNDS):
        # A new order each round: what the previous call left in the allocator
        # (memory to reuse or to give back) then favours no contender.
        shuffle(order)
        for name, call in order:
            cpu_start, start = time.process_time(), time.perf_counter()
            result = call()
            wall[name] = min(wall[name], time.perf_counter() - start)
            cpu[name] = min(cpu[name], time.process_time() - cpu_start)
            del result
    return wall, cpu


def faults(call):
    call()  # warm
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    result = call()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    del result
    return after - before


def row(name, times, ours, numpy_name, goal):
    ratio = times[numpy_name] / times[ours]
    verdict = "meets" if ratio >= goal else "misses"
    return (f"{times[ours] * 1e3:9.1f}{times[ours + ' (lists)'] * 1e3:8.1f}"
            f"{times[numpy_name] * 1e3:8.1f} x{ratio:5.2f} {verdict:<6}")


def main():
    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    rng = np.random.default_rng(7)
    t_arr = rng.uniform(273.15, 373.15, N)
    b_arr = rng.uniform(0.0, 6.0, N)
    x_arr = rng.uniform(0.0, 0.6, N)
    t_list, b_list, x_list = t_arr.tolist(), b_arr.tolist(), x_arr.tolist()

    models = {
        # name: (module call from arrays, module call from lists, NumPy call, goal)
        "mass_fraction_to_molality": (
            lambda: q.mass_fraction_to_molality(x_arr, MW),
            lambda: q.mass_fraction_to_molality(x_list, MW),
            lambda: numpy_fraction_to_molality(x_arr, MW).tolist(), 1.0),
        "molality_to_mass_fraction": (
            lambda: q.molality_to_mass_fraction(b_arr, MW),
            lambda: q.molality_to_mass_fraction(b_list, MW),
            lambda: numpy_molality_to_fraction(b_arr, MW).tolist(), 1.0),
        "mole_fraction_to_molality": (
            lambda: q.mole_fraction_to_molality(x_arr, WATER_MW),
            lambda: q.mole_fraction_to_molality(x_list, WATER_MW),
            lambda: numpy_fraction_to_molality(x_arr, WATER_MW).tolist(), 1.0),
        "laliberte_density": (
            lambda: q.laliberte_density(t_arr, b_arr, MW, *C),
            lambda: q.laliberte_density(t_list, b_list, MW, *C),
            lambda: tuple(a.tolist() for a in numpy_density(t_arr, b_arr, MW, *C)), 1.2),
        "laliberte_viscosity": (
            lambda: q.laliberte_viscosity(t_arr, b_arr, MW, *V),
            lambda: q.laliberte_viscosity(t_list, b_list, MW, *V),
            lambda: numpy_viscosity(t_arr, b_arr, MW, *V).tolist(), 1.0),
        "koh_gilliam_eval": (
            lambda: q.koh_gilliam_eval(t_arr, b_arr, MW, *C),
            lambda: q.koh_gilliam_eval(t_list, b_list, MW, *C),
            lambda: numpy_koh(t_arr, b_arr, MW, *C).tolist(), 1.0),
    }
    # The NumPy formulas compute the same numbers (exp and pow may differ in the last bit).
    for name, (ours, _, theirs, _) in models.items():
        a, b = ours(), theirs()
        a = np.array(a, dtype=float).ravel()
        b = np.array(b, dtype=float).ravel()
        assert np.allclose(a, b, rtol=1e-12, atol=0, equal_nan=True), name

    contenders = {}
    for name, (ours, from_lists, theirs, _) in models.items():
        contenders[name] = ours
        contenders[name + " (lists)"] = from_lists
        contenders[name + " NumPy"] = theirs
    wall, cpu = interleaved(contenders)
    print(f"\n{N} elements, best of {ROUNDS}, ms: module from ndarrays, from lists; NumPy from ndarrays + tolist")
    print(f"{'':<26}{'--- wall time ---':^41}{'--- CPU time ---':^41}{'goal':>5}  page faults ours / NumPy")
    print(f"{'':<26}" + f"{'ndarray':>9}{'lists':>8}{'NumPy':>8} {'NumPy/ours':<15}" * 2)
    for name, (ours, _, theirs, goal) in models.items():
        print(f"{name:<26}{row(name, wall, name, name + ' NumPy', goal)}{row(name, cpu, name, name + ' NumPy', goal)}"
              f" x{goal:<4g} {faults(ours):>6} / {faults(theirs):>6}")

    t_k = 298.15
    count = 10**4
    targets = q.laliberte_density([t_k] * count, rng.uniform(0.01, 6.0, count).tolist(), MW, *C)[1]
    ours = lambda: q.molarity_to_molality(targets, t_k, MW, *C, 1e-10, 200)
    vectorised = lambda: find_root_vectorised(targets, t_k)
    wall, cpu = interleaved({"ours": ours, "find_root": vectorised})
    start = time.perf_counter()
    brentq_loop(targets, t_k)
    loop = time.perf_counter() - start
    print(f"\nmolarity_to_molality ({count} targets), brentq loop {loop * 1e3:.0f} ms "
          f"(x{loop / wall['ours']:.0f} of ours, wall)")
    for label, best in (("wall", wall), ("CPU", cpu)):
        ratio = best["find_root"] / best["ours"]
        print(f"{label:>5}: ours {best['ours'] * 1e3:.2f} ms; find_root (vectorised) {best['find_root'] * 1e3:.2f} ms, "
              f"x{ratio:.2f} (goal x2.5: {'meets' if ratio >= 2.5 else 'misses'})")
    roots = np.array(ours())
    print(f"largest molality difference: find_root {np.max(np.abs(roots - vectorised())):.1e}, "
          f"brentq (first 200) {np.max(np.abs(roots[:200] - brentq_loop(targets[:200], t_k))):.1e} mol/kg")
    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
