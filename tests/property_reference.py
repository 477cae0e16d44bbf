"""Plain-Python references for the property models: IEEE doubles in the same operation order."""

import math

INF = math.inf
NAN = math.nan


def div(a, b):
    """IEEE division: Python raises where C gives an infinity or NaN."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def kell_water_density(t):
    p = (((((-2.8054253e-10 * t + 1.0556302e-7) * t + (-4.6170461e-5)) * t + (-0.0079870401)) * t
          + 16.945176) * t + 999.83952)
    return div(p, 0.01687985 * t + 1)


def mass_fraction(b, mw):
    return div(b * mw, b * mw + 1000)


def density_molarity(T, b, mw, c0, c1, c2, c3, c4):
    t = T + (-273.15)
    rho_w = kell_water_density(t)
    w = mass_fraction(b, mw)
    e = exp((t + c4) * (t + c4) * 1e-6)
    v = div(c3 * t + (c2 + w), e * (c0 * w + c1))
    rho = div(1, div(1 - w, rho_w) + v * w)
    return rho, div(rho * w, mw)


def viscosity(T, b, mw, v1, v2, v3, v4, v5, v6):
    t = T + (-273.15)
    w = mass_fraction(b, mw)
    eta_w = div(t + 245.9996, (0.055943 * t + 5.284245) * t + 137.3664)
    eta_s = div(exp(div(v1 * math.pow(w, v2) + v3, v4 * t + 1)), v5 * math.pow(w, v6) + 1)
    return math.pow(eta_w, 1 - w) * math.pow(eta_s, w) * 0.001


def koh_conductivity(T, b, mw, c0, c1, c2, c3, c4):
    if T < 353.15:
        m = density_molarity(T, b, mw, c0, c1, c2, c3, c4)[1]
        k = ((m * 0.001043) * m) * m + ((m * 207.2) / T + ((0.005332 * m) * T
                                                         + ((m * -0.0028) * m + -2.041 * m)))
        k = k - ((T * m) * (T * m)) * 3e-7
    else:
        p = mass_fraction(b, mw) * 100
        k = ((p * 7.0101e-6) * p) * p + ((p * -10.7021) / T + ((3.3647e-4 * p) * T
                                                             + ((p * -0.0013077) * p + 0.0022204 * p)))
        k = k - ((T * p) * (T * p)) * 3.2033e-9
    return k * 100


def molarity_to_molality(C, T, mw, c0, c1, c2, c3, c4, tol, max_iter):
    """Bracket by doubling, then Brent-Dekker; returns a molality or raises ValueError."""
    if C <= 0:
        return 0.0
    m = lambda x: density_molarity(T, x, mw, c0, c1, c2, c3, c4)[1]
    lo, hi = 1e-12, C if C > 1 else 1.0
    for _ in range(65):
        hi += hi
        m_hi = m(hi)
        if not m_hi < C:
            break
    f_lo, f_hi = m(lo) - C, m_hi - C
    if f_lo * f_hi > 0:
        raise ValueError("bracket")
    if math.isnan(f_lo * f_hi):
        return NAN
    if abs(f_hi) <= abs(f_lo):
        a, fa, b, fb = lo, f_lo, hi, f_hi
    else:
        a, fa, b, fb = hi, f_hi, lo, f_lo
    c, fc, d, flag = a, fa, None, True
    for _ in range(max_iter):
        if abs(fb) <= tol or abs(b - a) <= tol:
            break
        if fa != fc and fb != fc:
            s = (div(c * fa * fb, (fc - fa) * (fc - fb))
                 + (div(a * fb * fc, (fa - fc) * (fa - fb)) + div(b * fa * fc, (fb - fc) * (fb - fa))))
        else:
            s = b - div((b - a) * fb, fb - fa)
        q = (a * 3 + b) * 0.25
        span = abs(b - c) if flag else abs(c - d)
        if not (q < s < b or b < s < q) or span < tol or abs(s - b) >= span * 0.5:
            s, flag = (a + b) * 0.5, True
        else:
            flag = False
        fs = m(s) - C
        d, c, fc = c, b, fb
        if fa * fs < 0:
            b, fb = s, fs
        else:
            a, fa = s, fs
        if abs(fb) > abs(fa):
            a, fa, b, fb = b, fb, a, fa
    return b


def dewane_conductivity(c, k):
    L0, S, e, A, B, C, D, E, F, G = k
    lam = (L0 - math.sqrt(c) * S + math.log10(c) * (e * c) + A * c + B * math.pow(c, 1.5)
           + (C * c) * c + D * math.pow(c, 2.5) + ((E * c) * c) * c + (((F * c) * c) * c) * c
           + ((((G * c) * c) * c) * c) * c)
    return lam * c / 10


def to_molality(x, mw):
    return div(x, (1.0 - x) * (mw / 1000.0))


def from_molality(b, mw):
    return div(1.0, div(1.0, b * (mw / 1000.0)) + 1.0)
