"""Direct pure-Python evaluations of the transport analysis, written as literally as possible.

Python floats are IEEE doubles and math.log10 / math.sqrt come from the same C library, so
these give the module's results bit for bit. The window fit here recomputes every window's
sums from scratch; the module carries them along the lengths, and the tests compare the two.
"""
import math

NAN = float("nan")
U64_MAX = 2**64 - 1
SPACING_AT_ONE = 2.220446049250313e-16  # 2**-52
ELEMENTARY_CHARGE_SQUARED = 2.5669699665355694e-38
SIX_BOLTZMANN = 8.283894e-23


def to_u64(x):
    """Truncation toward zero, saturating: negative or NaN -> 0, 2**64 and above -> 2**64 - 1."""
    if not x > 0.0:
        return 0
    if x >= 2.0**64:
        return U64_MAX
    return int(x)


def c_log10(x):
    """log10 as the C library gives it (math.log10 raises where C returns -inf or NaN)."""
    if x == 0.0:
        return -math.inf
    if x < 0.0 or math.isnan(x):
        return NAN
    return math.log10(x)


def _sums(xs, ys):
    sx = sy = sxy = sxx = 0.0
    for x, y in zip(xs, ys):
        sx += x
        sy += y
        sxy += x * y
        sxx += x * x
    return sx, sy, sxy, sxx


def window_slope(xs, ys):
    """Least-squares slope with fresh ascending sums; NaN when the denominator is zero."""
    j = float(len(xs))
    sx, sy, sxy, sxx = _sums(xs, ys)
    den = j * sxx - sx * sx
    num = j * sxy - sx * sy
    return NAN if den == 0.0 else num / den


def best_window(t, X, Y, start, end, min_window, max_window, max_error):
    """(i, j) of the selected window, or None; every window's sums formed afresh."""
    n = len(t)
    lo = 1.0 - max_error
    hi = 1.0 + max_error
    best = None
    best_s = NAN
    # Starts at n or beyond cannot hold a window of two points, so stopping at n is exact.
    for i in range(start, min(end, n)):
        if i + 1 < n and abs(t[i] - t[i + 1]) < max(abs(t[i]), 1.0) * SPACING_AT_ONE:
            continue
        jmax = min(end - i, max_window)
        j = min_window
        while j < jmax:
            if i + j > n:
                break
            s = window_slope(X[i : i + j], Y[i : i + j])
            if math.isfinite(s) and lo < s and s < hi:
                if best is None or abs(s - 1.0) < abs(best_s - 1.0):
                    best, best_s = (i, j), s
            j += 1
    return best


def diff_calculator(time, msd_in, margin, min_window, max_window, max_error, min_displacement):
    if len(time) == 0 or len(msd_in) != len(time):
        return NAN, [], []
    threshold = min_displacement * min_displacement
    kept = [k for k in range(len(time)) if abs(msd_in[k]) >= threshold]
    if not kept:
        return NAN, [], []
    t = [float(time[k]) for k in kept]
    m = [float(msd_in[k]) for k in kept]
    n = len(t)
    X = [c_log10(v) for v in t]
    Y = [c_log10(abs(v)) for v in m]
    start = to_u64(margin * float(n))
    end = to_u64((1.0 - margin) * float(n))
    end = end - min_window if end > min_window else 0
    best = best_window(t, X, Y, start, end, min_window, max_window, max_error)
    if best is None:
        return NAN, [float(time[0])], [float(msd_in[0])]
    i, j = best
    x = t[i : i + j]
    y = m[i : i + j]
    jf = float(j)
    sx, sy, sxy, sxx = _sums(x, y)
    den = jf * sxx - sx * sx
    if den == 0.0:
        slope = intercept = NAN
    else:
        slope = (jf * sxy - sx * sy) / den
        intercept = (sy - sx * slope) / jf
    return slope, x, [v * slope + intercept for v in x]


def repacking_results(values):
    kept = [v for v in values if math.isfinite(v)]
    if not kept:
        return NAN, NAN, 0
    c = float(len(kept))
    total = 0.0
    for v in kept:  # not sum(): that compensates
        total += v
    mean = total / c
    squares = 0.0
    for v in kept:
        squares += (v - mean) * (v - mean)
    return mean, math.sqrt(squares / c), len(kept)


def local_maximum_finder(data, search_start, neighbor_count):
    n, s, c = len(data), search_start, neighbor_count
    for i in range(s + c, n - c):
        if all(data[i] > data[i - k] and data[i] > data[i + k] for k in range(1, c + 1)):
            return i
    return min(s + c, U64_MAX)


def tau_calculator(sigma_exp, sigma_md, temperature, box_length, particle_count, hop_distance):
    gap = sigma_exp - sigma_md
    numerator = (ELEMENTARY_CHARGE_SQUARED * (hop_distance * hop_distance)) * particle_count
    volume = (box_length * box_length) * box_length
    denominator = (volume * (SIX_BOLTZMANN * temperature)) * gap
    return numerator / denominator


def diffusion_adjustment(time_between_hops, hop_distance):
    return (hop_distance * hop_distance) / (time_between_hops * 6.0)
