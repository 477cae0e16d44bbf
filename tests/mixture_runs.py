"""Replica runs of an equimolar water-methanol mixture made to look like real ones, with known answers.

What real runs do and these imitate: the replicas write their species and pairs in
different orders (diffself.dat `MSD__wat MSD__met` or `MSD__met MSD__wat`,
diffonsag.dat and rdf.dat `wat_met` or `met_wat`); rdf.dat holds per pair the g(r)
measured in the box (`finiterdf__`) and its finite-size corrected form (`rdf__`),
tabulated past half the box edge; hydrogen-bonded pairs have a narrow first peak
right after contact (2.7 Å, g = 2.3 to 3.6) before a broad second shell; the
tails are noisy, more so near contact (fewer pairs per shell).

The g(r) of the infinite system is analytic, so its Kirkwood-Buff integrals (and
Γ) are known by quadrature, a route unlike the finite-volume extrapolation of
tabulated data that the package takes. The g(r) measured in the box is made from
it by undoing the finite-size correction: the count of j molecules beyond r around
an i molecule is N_j − δ_ij − ΔN_ij(r), spread over the box outside the sphere.
"""

import math

import numpy as np
from scipy import integrate

SPECIES = ("wat", "met")
MOLECULES = {"wat": 1000, "met": 1000}
EDGE = 45.6  # Å; half the edge, 22.8 Å, is where a g(r) stops meaning anything
VOLUME = EDGE**3
RADIUS = np.round(np.arange(0.0, 32.0 + 1e-9, 0.02), 2)
D_SELF = {"wat": 2.3e-9, "met": 1.9e-9}  # m²/s
MASS = {"wat": 18.015, "met": 32.042}
L11 = 1.2e-10  # Λ of water, m²/s; the others follow from the conservation of momentum

#: Per pair: contact radius, (narrow peak radius, height above the broad part, width) or None,
#: (amplitude, decay 1/Å, wavelength Å, phase radius) of the broad oscillation.
PAIRS = {
    "wat_wat": (2.45, (2.78, 2.0, 0.09), (0.35, 0.45, 4.6, 4.5)),
    "met_met": (2.45, (2.70, 1.7, 0.08), (0.45, 0.35, 4.8, 4.7)),
    "wat_met": (2.45, (2.72, 3.0, 0.08), (0.30, 0.45, 4.7, 4.6)),
}
BROAD = {"wat_wat": (3.0, None, (0.9, 0.4, 6.2, 3.4))}  # a pair with a broad first peak only


def exact_rdf(r, pair, table=PAIRS):
    """g(r) of the infinite system: a steep contact rise, an optional narrow peak, a damped oscillation."""
    contact, narrow, (amplitude, decay, wavelength, phase) = table[pair]
    r = np.asarray(r, dtype=np.float64)
    core = 1.0 / (1.0 + np.exp(-(r - contact) / 0.05))
    shape = 1.0 + amplitude * np.exp(-decay * (r - contact)) * np.cos(2 * math.pi * (r - phase) / wavelength)
    if narrow is not None:
        centre, height, width = narrow
        shape = shape + height * np.exp(-0.5 * ((r - centre) / width) ** 2)
    return core * shape


def exact_integral(pair, table=PAIRS):
    """G∞ = ∫ 4πr² (g − 1) dr by adaptive quadrature, Å³."""
    breaks = [2.0, 2.6, 3.0, 4.0, 6.0, 10.0, 20.0]
    value, _ = integrate.quad(lambda r: 4 * math.pi * r * r * (exact_rdf(r, pair, table) - 1.0), 0.0, 80.0,
                              points=breaks, limit=500)
    return value


def exact_gamma(table=PAIRS, molecules=MOLECULES, volume=VOLUME):
    """Γ = 1/(1 + ρ x₁ x₂ (G₁₁ + G₂₂ − 2G₁₂)) from the quadratures."""
    n = sum(molecules.values())
    x1 = molecules["wat"] / n
    g = {pair: exact_integral(pair, table) for pair in table}
    return 1.0 / (1.0 + n / volume * x1 * (1 - x1) * (g["wat_wat"] + g["met_met"] - 2 * g["wat_met"]))


def measured_in_box(r, corrected, neighbours, volume, same):
    """The g(r) a closed box gives, whose finite-size correction is `corrected` (found by fixed-point iteration)."""
    outside = neighbours * (1.0 - 4.0 * math.pi * r**3 / 3.0 / volume)
    measured = corrected.copy()
    for _ in range(30):
        integrand = 4.0 * math.pi * r**2 * (measured - 1.0)
        excess = neighbours / volume * np.concatenate(
            ([0.0], np.cumsum(0.5 * (integrand[1:] + integrand[:-1]) * np.diff(r))))
        measured = corrected * (outside - excess - (1.0 if same else 0.0)) / outside
    # Past half the edge the sphere leaves the box; a run's g(r) there counts images, as near 1 as at half.
    half = r > 0.5 * volume ** (1 / 3)
    last = np.argmax(half) - 1
    measured[half] = corrected[half] * (measured[last] / corrected[last])
    return measured


def _lag_times():
    times = list(np.arange(10.0, 330.0, 10.0))
    spacing = 20.0
    while times[-1] < 2.0e6:
        times += list(times[-1] + spacing * np.arange(1, 17))
        spacing *= 2.0
    return np.array(times)


def _write_table(path, names, t, columns):
    with open(path, "w") as out:
        out.write("#NOTE: time in fs, MSD in Angstrom^2\n#Time\t" + "".join(f"{n}\t" for n in names) + "\n")
        for k, time in enumerate(t):
            out.write(f" {time:g}\t" + "\t".join(f"{columns[n][k]:.8g}" for n in names) + "\n")


def write_run(root, replicas=5, *, orders=None, columns=("rdf", "finiterdf"), table=PAIRS, tail_offset=0.0,
              noise=0.02, seed=7):
    """Replica directories under `root`, each with its own order of species; their paths.

    `orders` gives each replica's species order (default: wat first in replicas 1
    and 4, met first in the others); `columns` which rdf.dat columns are written;
    `tail_offset` is added to every g(r) past 8 Å (a g(r) that never reaches 1).
    """
    rng = np.random.default_rng(seed)
    orders = orders or [SPECIES if k in (0, 3) else SPECIES[::-1] for k in range(replicas)]
    t = _lag_times()
    ratio = MASS["wat"] / MASS["met"]
    onsager = {("wat", "wat"): L11, ("wat", "met"): -ratio * L11, ("met", "met"): ratio**2 * L11}
    paths = []
    for index, order in enumerate(orders, start=1):
        directory = root / f"replica_{index}"
        directory.mkdir(parents=True)
        paths.append(directory)
        (directory / "log.lammps").write_text("LAMMPS (2 Aug 2023)\nunits\t\treal\nrun\t\t1000000\n")
        (directory / "volume.dat").write_text(f"# Time-averaged data for fix vol_avg\n# TimeStep v_vol\n"
                                              f"1000000 {VOLUME:.3f}\n")
        temps = 298.0 + rng.normal(0.0, 1.0, 50)
        (directory / "nvt_prod.dat").write_text("# NVT production\n# Step Temp\n" + "".join(
            f"{k * 1000} {temp:.4f}\n" for k, temp in enumerate(temps)))
        # MSD sums over molecules / 6 in Å² against fs: slope N D.
        self_columns = {f"MSD__{s}": MOLECULES[s] * D_SELF[s] * 1e5 * t * (1.0 + rng.normal(0, 0.002, len(t)))
                        for s in order}
        _write_table(directory / "diffself.dat", list(self_columns), t, self_columns)
        n = sum(MOLECULES.values())
        pairs = [(order[0], order[0]), (order[0], order[1]), (order[1], order[1])]
        base = 1.0 + rng.normal(0, 0.002, len(t))
        onsager_columns = {f"MSD__{a}_{b}": n * onsager.get((a, b), onsager.get((b, a))) * 1e5 * t * base
                           for a, b in pairs}
        _write_table(directory / "diffonsag.dat", list(onsager_columns), t, onsager_columns)
        rdf = {"Radius": RADIUS}
        for a, b in pairs:
            key = f"{a}_{b}" if f"{a}_{b}" in table else f"{b}_{a}"
            exact = exact_rdf(RADIUS, key, table) + tail_offset * (RADIUS > 8.0)
            scatter = noise / np.maximum(RADIUS, 1.0) * rng.normal(0.0, 1.0, len(RADIUS)) * (RADIUS > 2.3)
            corrected = np.clip(exact + scatter, 0.0, None)
            measured = measured_in_box(RADIUS, corrected, MOLECULES[b], VOLUME, a == b)
            if "rdf" in columns:
                rdf[f"rdf__{a}_{b}"] = corrected
            if "finiterdf" in columns:
                rdf[f"finiterdf__{a}_{b}"] = measured
        with open(directory / "rdf.dat", "w") as out:
            out.write(" ".join(rdf) + "\n")
            for k in range(len(RADIUS)):
                out.write(" ".join(f"{rdf[name][k]:.7g}" for name in rdf) + "\n")
    return paths
