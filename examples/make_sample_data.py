"""Regenerates the sample run in examples/data/run and the sample sweep in examples/data/sweep
(needs NumPy; the outputs are committed).

    python examples/make_sample_data.py

The run is 1 mol/kg NaCl in water (1000 water molecules, 18 ions of each kind) in
LAMMPS `real` units (Å, fs, kcal/mol, atm), four replicas in replica_1 ... replica_4,
each laid out as a real run directory: multiple-tau transport tables (diffself.dat,
diffonsag.dat, viscosity.dat, thermconductivity.dat), fix ave/time files (volume.dat,
density.dat), the thermodynamic table (nvt_prod.dat), a bond-angle histogram,
log.lammps and the data file it reads (nacl.data.gz: which atoms form which molecule). truth.json holds the values the curves were made from, in SI units.

The curves are the Langevin form c·[t − τ(1 − exp(−t/τ))] (ballistic below the
relaxation time τ, linear above it) with the true slope c, times a replica's own
random slope error (the spread of real replicas) and a correlated noise that grows
with the lag time (fewer independent time origins). Uncorrelated ions make the
cross Onsager curves a random linear drift, so the true conductivity is the
Nernst-Einstein value; the water's Onsager curves are those that the ions' imply in
a box whose total momentum is conserved (its centre of mass does not move). The output is deterministic (seeded).

The sweep is 1 salt (NaCl) x 3 molalities (0.5, 1, 2 mol/kg) x 2 temperatures
(300, 330 K) x 3 replicas, one directory per state point (NaCl_0.5m_300K, ...)
holding its replicas and a state.toml with the salt, molality and temperature.
Its tables are shorter than the sample run's and it has no density or angle
files. Its true values follow smooth trends (SWEEP_TRENDS below): D falls with
molality and rises with temperature, η rises with molality and falls with
temperature (both Arrhenius in T), κ falls with molality and rises a little with
temperature; sweep/truth.json holds every point's values.
"""

import gzip
import json
import math
import pathlib
import shutil

import numpy as np

OUT = pathlib.Path(__file__).with_name("data") / "run"
REPLICAS = 4
SEED = 2026
SWEEP_OUT = OUT.with_name("sweep")
SWEEP_SEED = 2027

# Exact SI constants.
KB = 1.380649e-23  # J/K
NA = 6.02214076e23  # 1/mol
E = 1.602176634e-19  # C
# real units to SI
D_SI = 1e-20 / 1e-15  # A^2/fs -> m^2/s
ETA_SI = 101325.0 * 1e-15  # atm fs -> Pa s
KAPPA_SI = 4184.0 / NA / (1e-10 * 1e-15)  # kcal/mol/(A fs K) -> W/(m K)

MOLECULES = {"wat": 1000, "Na": 18, "Cl": 18}
MASS = {"wat": 18.015, "Na": 22.990, "Cl": 35.453}  # g/mol
CHARGES = {"wat": 0.0, "Na": 1.0, "Cl": -1.0}
TRUE_D = {"wat": 2.30e-9, "Na": 1.33e-9, "Cl": 2.03e-9}  # m^2/s, in the periodic box
TRUE_ETA = 0.89e-3  # Pa s
TRUE_KAPPA = 0.60  # W/(m K)
TEMPERATURE = 298.15  # K
DENSITY = 1.036  # g/cm^3
TAU = {"diff": 80.0, "visc": 150.0, "heat": 40.0}  # fs, relaxation times of the curves
# Relative spread of the slope between replicas.
SPREAD = {"wat": 0.01, "Na": 0.06, "Cl": 0.05, "onsager": 0.12, "visc": 0.12, "heat": 0.08}

# The sweep: true values at molality b (mol/kg) and temperature T (K), from values at
# b = 0 and T = 300 K, linear factors in b, and Arrhenius factors in T (activation
# energies in J/mol).
SWEEP_MOLALITIES = (0.5, 1.0, 2.0)
SWEEP_TEMPERATURES = (300.0, 330.0)
SWEEP_REPLICAS = 3
SWEEP_TRENDS = {
    "d": {"wat": (2.40e-9, -0.06), "Na": (1.35e-9, -0.08), "Cl": (2.05e-9, -0.07)},  # (D at b=0, per mol/kg)
    "d_activation": 15e3,
    "eta": (0.85e-3, 0.09),
    "eta_activation": -15e3,  # η falls as T rises
    "kappa": (0.61, -0.05),
    "kappa_per_kelvin": 0.0015,
}
SWEEP_SPREAD = {"wat": 0.01, "Na": 0.04, "Cl": 0.04, "onsager": 0.08, "visc": 0.06, "heat": 0.04}
SWEEP_BLOCKS = 6
# The sweep's tables end at 20 ps, where the lag-time noise of the sample run would
# be large inside the fitted windows; it is kept smaller.
SWEEP_QUIET = 0.25
GAS_CONSTANT = KB * NA

# Multiple-tau lag times: 32 lags of DT in the first block, then each block doubles
# the spacing and keeps lags 16..32 of it, so its first lag repeats the last of the
# block before (written a little differently, as an averaged time would be).
DT = 10.0  # fs
BLOCKS = 12
PER_BLOCK = 32


def lag_times(rng, blocks=BLOCKS):
    times = [DT * k for k in range(1, PER_BLOCK + 1)]
    for block in range(1, blocks + 1):
        spacing = DT * 2**block
        for k in range(PER_BLOCK // 2, PER_BLOCK + 1):
            t = spacing * k
            if k == PER_BLOCK // 2:
                t *= 1.0 + rng.uniform(2e-5, 8e-5)
            times.append(t)
    return np.array(times)


def shape(t, tau):
    return t - tau * (1.0 - np.exp(-t / tau))


def noise(rng, t, amplitude):
    """Correlated relative noise growing as sqrt(t / t_max)."""
    z = np.empty(len(t))
    z[0] = rng.normal()
    for k in range(1, len(t)):
        z[k] = 0.9 * z[k - 1] + math.sqrt(1 - 0.81) * rng.normal()
    return amplitude * np.sqrt(t / t[-1]) * z


def curve(rng, t, slope, tau, spread, quiet=1.0):
    """slope·shape(t) with the replica's slope error and the lag-time noise (scaled by `quiet`)."""
    return slope * (1.0 + rng.normal(0.0, spread)) * shape(t, tau) * (1.0 + noise(rng, t, spread * quiet))


def write_table(path, notes, names, t, columns):
    with open(path, "w") as out:
        for note in notes:
            out.write(f"#NOTE: {note}\n")
        out.write("#Time\t" + "".join(f"{name}\t" for name in names) + "\n")
        for k, time in enumerate(t):
            out.write(f" {time:g}\t" + "\t".join(f"{columns[name][k]:g}" for name in names) + "\n")


def box(molecules=MOLECULES, density=DENSITY):
    mass = sum(molecules[s] * MASS[s] for s in molecules) / NA  # g
    volume = mass / density * 1e24  # A^3
    return volume, mass


def log_text(replica, volume, molecules=MOLECULES, temperature=TEMPERATURE, title="1 mol/kg NaCl"):
    edge = volume ** (1.0 / 3.0)
    atoms = 3 * molecules["wat"] + molecules["Na"] + molecules["Cl"]
    return f"""LAMMPS (2 Aug 2023 - Update 3)
  using 1 OpenMP thread(s) per MPI task
# {title} in water, replica {replica}
units		real
atom_style	full
boundary	p p p
read_data	nacl.data
Reading data file ...
  orthogonal box = (0 0 0) to ({edge:.5g} {edge:.5g} {edge:.5g})
  1 by 1 by 1 MPI processor grid
  reading atoms ...
  {atoms} atoms
  reading velocities ...
  {atoms} velocities
Finding 1-2 1-3 1-4 neighbors ...
set		type 3 charge 1.0
Setting atom values ...
  {molecules["Na"]} settings made for charge
set		type 4 charge -1.0
Setting atom values ...
  {molecules["Cl"]} settings made for charge
# one atom per molecule in each species group: the counts are molecule counts
group		wat		type 1
{molecules["wat"]} atoms in group wat
group           Na              type 3
{molecules["Na"]} atoms in group Na
group           Cl              type 4
{molecules["Cl"]} atoms in group Cl
group	water	type 1 2
{3 * molecules["wat"]} atoms in group water
group	ions	union Na Cl
{molecules["Na"] + molecules["Cl"]} atoms in group ions
velocity	all create {temperature} {4927 + replica} dist gaussian
fix		nvt all nvt temp {temperature} {temperature} 100.0
run		10000000
Total wall time: 31:12:09
"""


def data_file(molecules):
    """The LAMMPS data file the log reads (atom style full), gzip-compressed: one molecule ID per water
    (an O of type 1 and two H of type 2) and per ion (Na type 3, Cl type 4). Positions are left at the
    origin: quor-pp reads only which atoms form which molecule."""
    lines = []
    atom = 0
    molecule = 0
    charges = {1: -0.8476, 2: 0.4238, 3: 1.0, 4: -1.0}
    for species, types in (("wat", (1, 2, 2)), ("Na", (3,)), ("Cl", (4,))):
        for _ in range(molecules[species]):
            molecule += 1
            for kind in types:
                atom += 1
                lines.append(f"{atom} {molecule} {kind} {charges[kind]:g} 0 0 0")
    text = (f"LAMMPS data file written by make_sample_data.py\n\n{atom} atoms\n4 atom types\n\n"
            "Masses\n\n1 15.9994\n2 1.008\n3 22.98977\n4 35.453\n\nAtoms # full\n\n" + "\n".join(lines) + "\n")
    return gzip.compress(text.encode(), mtime=0)


# Molar masses of whole molecules as the data file gives them (O and two H, Na, Cl), g/mol.
MOLECULE_MASS = {"wat": 15.9994 + 2 * 1.008, "Na": 22.98977, "Cl": 35.453}


def momentum_conserving(onsager):
    """The Onsager curves of a box whose total momentum is conserved, as in any MD run.

    The centre of mass does not move: Σ_j M_j ΣΔr_j = 0, so Σ_j M_j ⟨ΣΔr_i · ΣΔr_j⟩ = 0 for
    every i, at every lag. The water's curves are therefore those the ions' imply; the ions'
    own curves (and so the conductivity) are kept as drawn.
    """
    m = MOLECULE_MASS
    na, cl, na_cl = onsager["MSD__Na_Na"], onsager["MSD__Cl_Cl"], onsager["MSD__Na_Cl"]
    wat_na = -(m["Na"] * na + m["Cl"] * na_cl) / m["wat"]
    wat_cl = -(m["Na"] * na_cl + m["Cl"] * cl) / m["wat"]
    wat_wat = -(m["Na"] * wat_na + m["Cl"] * wat_cl) / m["wat"]
    return {**onsager, "MSD__wat_wat": wat_wat, "MSD__wat_Na": wat_na, "MSD__wat_Cl": wat_cl}


def write_replica(directory, rng, replica, state):
    """One replica directory of a run at `state` (molecules, true values, spreads, table sizes)."""
    molecules, temperature_set, spread = state["molecules"], state["temperature"], state["spread"]
    species = list(molecules)
    volume = state["volume"]
    quiet = state.get("quiet", 1.0)  # the lag-time noise relative to the slope spread
    directory.mkdir()
    t = lag_times(rng, state["blocks"])

    # Thermodynamic table first: the curves use the temperature it averages to.
    steps = range(0, 10_000_001, 10_000_000 // state["thermo_rows"])
    temps = temperature_set + rng.normal(0.0, 1.2, len(steps))
    with open(directory / "nvt_prod.dat", "w") as out:
        out.write("# Thermodynamic properties of the NVT production run\n")
        out.write("# Step Temp Press PotEng KinEng\n")
        for step, temp in zip(steps, temps):
            out.write(f"{step} {temp:.4f} {rng.normal(1.0, 180.0):.3f} "
                      f"{-10245.0 + rng.normal(0, 40):.3f} {2714.0 * temp / TEMPERATURE:.3f}\n")
    temperature = float(np.mean(np.round(temps, 4)))

    d_real = {s: state["d"][s] / D_SI for s in species}  # A^2/fs
    self_columns = {f"MSD__{s}": curve(rng, t, molecules[s] * d_real[s], TAU["diff"], spread[s], quiet)
                    for s in species}
    write_table(directory / "diffself.dat",
                ["time in fs, MSD in Angstrom^2", "sum over the molecules of each species, divided by 6",
                 "multiple-tau correlator: 32 lags per block"],
                list(self_columns), t, self_columns)

    onsager = {}
    for i, first in enumerate(species):
        for second in species[i:]:
            if first == second:
                column = curve(rng, t, molecules[first] * d_real[first], TAU["diff"], spread["onsager"], quiet)
            else:
                scale = math.sqrt(molecules[first] * molecules[second] * d_real[first] * d_real[second])
                drift = scale * rng.normal(0.0, spread["onsager"])
                column = drift * shape(t, TAU["diff"]) * (1.0 + noise(rng, t, spread["onsager"] * quiet))
            onsager[f"MSD__{first}_{second}"] = column
    onsager = momentum_conserving(onsager)
    write_table(directory / "diffonsag.dat",
                ["time in fs, MSD in Angstrom^2",
                 "<(sum of displacements of i).(sum of displacements of j)> / 6"],
                list(onsager), t, onsager)

    eta = state["eta"] / ETA_SI  # atm fs
    components = {f"MSD_{c}": curve(rng, t, eta * temperature, TAU["visc"], spread["visc"], quiet)
                  for c in ("xx", "yy", "zz", "xy", "xz", "yz")}
    viscosity = dict(components)
    viscosity["MSD_off"] = (components["MSD_xy"] + components["MSD_xz"] + components["MSD_yz"]) / 3.0
    viscosity["MSD_all"] = sum(components.values()) / 6.0
    if state["extras"]:
        viscosity["MSD_bulkvisc"] = curve(rng, t, 2.5 * eta * temperature, TAU["visc"], spread["visc"], quiet)
    write_table(directory / "viscosity.dat",
                ["time in fs", "V/(2 kB) <(integral of P_ab dt)^2>; slope / T is the viscosity in atm fs"],
                list(viscosity), t, viscosity)

    kappa = state["kappa"] / KAPPA_SI  # kcal/mol/(A fs K)
    heat = {f"MSD_{c}": curve(rng, t, kappa * temperature**2, TAU["heat"], spread["heat"], quiet)
            for c in ("x", "y", "z")}
    heat["MSD_all"] = (heat["MSD_x"] + heat["MSD_y"] + heat["MSD_z"]) / 3.0
    write_table(directory / "thermconductivity.dat",
                ["time in fs", "<(integral of J dt)^2> / (2 V kB); slope / T^2 is the conductivity"],
                list(heat), t, heat)

    boxes = [("volume.dat", "vol_avg", "v_vol", f"{volume:.2f}")]
    if state["extras"]:
        boxes.append(("density.dat", "dens_avg", "v_dens", f"{state['density']:.5f}"))
    for name, fix, variable, value in boxes:
        with open(directory / name, "w") as out:
            out.write(f"# Time-averaged data for fix {fix}\n# TimeStep {variable}\n500000 {value}\n")

    if state["extras"]:
        angles = np.clip(rng.normal(104.5, 6.0, 20000), 0, 180)
        counts, edges = np.histogram(angles, bins=90, range=(0, 180))
        with open(directory / "npt_prod_angle.dat", "w") as out:
            out.write("# Time-averaged data for fix angle_hist\n")
            out.write("# TimeStep Number-of-rows\n")
            out.write("# Index Coord Count Count/Total\n")
            out.write(f"500000 {len(counts)}\n")
            for k, count in enumerate(counts):
                centre = 0.5 * (edges[k] + edges[k + 1])
                out.write(f"{k + 1} {centre:g} {count} {count / counts.sum():.6g}\n")

    (directory / "log.lammps").write_text(log_text(replica, volume, molecules, temperature_set, state["title"]))
    (directory / "nacl.data.gz").write_bytes(data_file(molecules))


def expected(molecules, volume, temperature, true_d, eta, kappa, spread, replicas):
    """The true values of a run in SI units, and the standard error of their mean over `replicas`."""
    species = list(molecules)
    volume_si = volume * 1e-30
    edge = volume_si ** (1.0 / 3.0)
    correction = 2.837297 * KB * temperature / (6.0 * math.pi * eta * edge)
    sigma = E * E / (volume_si * KB * temperature) * sum(
        CHARGES[s] ** 2 * molecules[s] * true_d[s] for s in species)
    # Expected standard error of the mean over the replicas, from the slope spreads above
    # (the lag-time noise adds little inside the fitted windows).
    root = math.sqrt(replicas)
    eta_spread = spread["visc"] / math.sqrt(6.0)  # MSD_all averages six components
    kappa_spread = spread["heat"] / math.sqrt(3.0)
    self_slopes = {s: molecules[s] * true_d[s] for s in ("Na", "Cl")}
    cross = math.sqrt(self_slopes["Na"] * self_slopes["Cl"])
    sigma_spread = spread["onsager"] * math.sqrt(
        self_slopes["Na"] ** 2 + self_slopes["Cl"] ** 2 + (2.0 * cross) ** 2) / sum(self_slopes.values())
    d_error = {s: true_d[s] * spread[s] / root for s in species}
    standard_error = {
        "self_diffusion_m2_s": d_error,
        "self_diffusion_infinite_m2_s": {s: math.hypot(d_error[s], correction * eta_spread / root) for s in species},
        "viscosity_Pa_s": eta * eta_spread / root,
        "thermal_conductivity_W_mK": kappa * kappa_spread / root,
        "conductivity_S_m": sigma * sigma_spread / root,
    }
    values = {
        "self_diffusion_m2_s": dict(true_d),
        "self_diffusion_infinite_m2_s": {s: true_d[s] + correction for s in species},
        "viscosity_Pa_s": eta,
        "thermal_conductivity_W_mK": kappa,
        "conductivity_S_m": sigma,
    }
    return values, standard_error


def main():
    rng = np.random.default_rng(SEED)
    volume, mass = box()
    if OUT.exists():
        shutil.rmtree(OUT)
    OUT.mkdir(parents=True)
    state = {"molecules": MOLECULES, "temperature": TEMPERATURE, "spread": SPREAD, "volume": volume,
             "density": DENSITY, "d": TRUE_D, "eta": TRUE_ETA, "kappa": TRUE_KAPPA, "blocks": BLOCKS,
             "thermo_rows": 100, "extras": True, "title": "1 mol/kg NaCl"}
    for replica in range(1, REPLICAS + 1):
        write_replica(OUT / f"replica_{replica}", rng, replica, state)

    values, standard_error = expected(MOLECULES, volume, TEMPERATURE, TRUE_D, TRUE_ETA, TRUE_KAPPA, SPREAD,
                                      REPLICAS)
    truth = {
        "note": "values the generator made the curves from (SI units); the analysis must not need this file",
        "units": "real",
        "temperature_K": TEMPERATURE,
        "volume_A3": round(volume, 2),
        "molecules": MOLECULES,
        "charges": CHARGES,
        **values,
        "replica_spread": SPREAD,
        "standard_error": standard_error,
    }
    (OUT / "truth.json").write_text(json.dumps(truth, indent=2) + "\n")


def arrhenius(activation, temperature):
    return math.exp(-activation / GAS_CONSTANT * (1.0 / temperature - 1.0 / 300.0))


def sweep_point(molality, temperature):
    """Molecule counts, density (g/cm³) and true values of the sweep's state point."""
    ions = round(molality * MOLECULES["wat"] * MASS["wat"] / 1000.0)
    molecules = {"wat": MOLECULES["wat"], "Na": ions, "Cl": ions}
    density = 0.997 + 0.040 * molality - 0.0004 * (temperature - 300.0)
    trends = SWEEP_TRENDS
    d = {s: base * (1.0 + slope * molality) * arrhenius(trends["d_activation"], temperature)
         for s, (base, slope) in trends["d"].items()}
    eta = trends["eta"][0] * (1.0 + trends["eta"][1] * molality) * arrhenius(trends["eta_activation"], temperature)
    kappa = (trends["kappa"][0] * (1.0 + trends["kappa"][1] * molality)
             * (1.0 + trends["kappa_per_kelvin"] * (temperature - 300.0)))
    return molecules, density, d, eta, kappa


def make_sweep():
    rng = np.random.default_rng(SWEEP_SEED)
    if SWEEP_OUT.exists():
        shutil.rmtree(SWEEP_OUT)
    SWEEP_OUT.mkdir(parents=True)
    points = []
    for molality in SWEEP_MOLALITIES:
        for temperature in SWEEP_TEMPERATURES:
            molecules, density, d, eta, kappa = sweep_point(molality, temperature)
            volume, _ = box(molecules, density)
            name = f"NaCl_{molality:g}m_{temperature:g}K"
            point = SWEEP_OUT / name
            point.mkdir()
            (point / "state.toml").write_text(
                "# The state point of the replicas in this directory (read by quor-pp sweep).\n"
                f'salt = "NaCl"\nmolality = {molality}  # mol/kg\ntemperature = {temperature}  # K\n'
                "charges = { Na = 1, Cl = -1 }\n")
            state = {"molecules": molecules, "temperature": temperature, "spread": SWEEP_SPREAD, "volume": volume,
                     "density": density, "d": d, "eta": eta, "kappa": kappa, "blocks": SWEEP_BLOCKS,
                     "thermo_rows": 20, "extras": False, "quiet": SWEEP_QUIET,
                     "title": f"{molality:g} mol/kg NaCl at {temperature:g} K"}
            for replica in range(1, SWEEP_REPLICAS + 1):
                write_replica(point / f"replica_{replica}", rng, replica, state)
            values, standard_error = expected(molecules, volume, temperature, d, eta, kappa, SWEEP_SPREAD,
                                              SWEEP_REPLICAS)
            points.append({"name": name, "salt": "NaCl", "molality": molality, "temperature_K": temperature,
                           "molecules": molecules, "volume_A3": round(volume, 2), **values,
                           "standard_error": standard_error})
    truth = {
        "note": "values the generator made the curves from (SI units); the analysis must not need this file",
        "units": "real",
        "trends": SWEEP_TRENDS,
        "replica_spread": SWEEP_SPREAD,
        "points": points,
    }
    (SWEEP_OUT / "truth.json").write_text(json.dumps(truth, indent=2) + "\n")


# The binary mixture: water and methanol, three replicas, with an rdf.dat whose g(r) of the
# infinite system are analytic, g(r) = 1 − exp(−αr)(cos kr + (α/k) sin kr), so that their
# Kirkwood-Buff integrals G = −8π Re[(1 − iα/k)/(α − ik)³] are known exactly, and Onsager
# curves whose Maxwell-Stefan diffusivity is MIXTURE_MS. The cross and solvent curves follow
# the centre-of-mass constraint m₁ΣΔr₁ + m₂ΣΔr₂ = 0 of a momentum-conserving run.
# As in a real rdf.dat, `rdf__` is the finite-size corrected g(r) (here the analytic one with
# noise) and `finiterdf__` the g(r) measured in the closed box, the one whose correction after
# Ganguly and van der Vegt is `rdf__`; the table goes on past half the box edge. As real
# replicas do, the second names its species in the other order (meoh first).
MIXTURE_OUT = OUT.with_name("mixture")
MIXTURE_SEED = 2028
MIXTURE_REPLICAS = 3
MIXTURE_MOLECULES = {"wat": 700, "meoh": 300}
MIXTURE_MASS = {"wat": 18.015, "meoh": 32.042}
MIXTURE_VOLUME = 33000.0  # A^3
MIXTURE_MS = 2.0e-9  # m^2/s
MIXTURE_D = {"wat": 2.1e-9, "meoh": 1.5e-9}
MIXTURE_RDF = {"wat_wat": (0.45, 5.6), "meoh_meoh": (0.4, 7.0), "wat_meoh": (0.6, 3.5)}  # (α in 1/A, 2π/k in A)
MIXTURE_SPREAD = {"wat": 0.01, "meoh": 0.02, "onsager": 0.03, "visc": 0.06, "heat": 0.04}


def analytic_rdf(r, alpha, wavelength):
    k = 2.0 * math.pi / wavelength
    return 1.0 - np.exp(-alpha * r) * (np.cos(k * r) + alpha / k * np.sin(k * r))


def analytic_kirkwood_buff(alpha, wavelength):
    k = 2.0 * math.pi / wavelength
    z = complex(alpha, -k)
    return -8.0 * math.pi * ((1.0 - 1j * alpha / k) / z**3).real  # A^3


def measured_in_box(r, corrected, neighbours, volume, same):
    """The g(r) a closed box gives, whose Ganguly-van der Vegt correction is `corrected`.

    The correction divides by N_j(1 − v/V) − ΔN(r) − δ_ij with ΔN the running excess of
    the measured g(r) itself: solved by fixed-point iteration (ΔN/N_j is small). Past half
    the box edge the sphere leaves the box; there the ratio at half the edge is kept.
    """
    outside = neighbours * (1.0 - 4.0 * math.pi * r**3 / 3.0 / volume)
    measured = corrected.copy()
    for _ in range(30):
        integrand = 4.0 * math.pi * r**2 * (measured - 1.0)
        excess = neighbours / volume * np.concatenate(
            ([0.0], np.cumsum(0.5 * (integrand[1:] + integrand[:-1]) * np.diff(r))))
        measured = corrected * (outside - excess - (1.0 if same else 0.0)) / outside
    past = r > 0.5 * volume ** (1.0 / 3.0)
    last = int(np.argmax(past)) - 1
    measured[past] = corrected[past] * (measured[last] / corrected[last])
    return measured


def make_mixture():
    rng = np.random.default_rng(MIXTURE_SEED)
    if MIXTURE_OUT.exists():
        shutil.rmtree(MIXTURE_OUT)
    MIXTURE_OUT.mkdir(parents=True)
    n = sum(MIXTURE_MOLECULES.values())
    x1 = MIXTURE_MOLECULES["wat"] / n
    x2 = 1.0 - x1
    ratio = MIXTURE_MASS["wat"] / MIXTURE_MASS["meoh"]
    # Λ12 = −ratio Λ11 and Λ22 = ratio² Λ11, so Đ = Λ11 (x2/x1 + x1/x2 ratio² + 2 ratio).
    l11 = MIXTURE_MS / (x2 / x1 + x1 / x2 * ratio**2 + 2.0 * ratio)
    onsager_true = {"wat_wat": l11, "wat_meoh": -ratio * l11, "meoh_meoh": ratio**2 * l11}
    radius = np.round(np.arange(0.0, 20.0 + 1e-9, 0.02), 2)
    for replica in range(1, MIXTURE_REPLICAS + 1):
        directory = MIXTURE_OUT / f"replica_{replica}"
        directory.mkdir()
        t = lag_times(rng, 10)
        temps = TEMPERATURE + rng.normal(0.0, 1.2, 41)
        with open(directory / "nvt_prod.dat", "w") as out:
            out.write("# Thermodynamic properties of the NVT production run\n# Step Temp Press PotEng\n")
            for step, temp in enumerate(temps):
                out.write(f"{step * 25000} {temp:.4f} {rng.normal(1.0, 150.0):.3f} "
                          f"{-9000.0 + rng.normal(0, 30):.3f}\n")
        temperature = float(np.mean(np.round(temps, 4)))
        order = list(MIXTURE_MOLECULES)[::-1 if replica == 2 else 1]
        self_columns = {f"MSD__{s}": curve(rng, t, MIXTURE_MOLECULES[s] * MIXTURE_D[s] / D_SI, TAU["diff"],
                                           MIXTURE_SPREAD[s]) for s in MIXTURE_MOLECULES}
        self_columns = {f"MSD__{s}": self_columns[f"MSD__{s}"] for s in order}
        write_table(directory / "diffself.dat", ["time in fs, MSD in Angstrom^2",
                                                 "sum over the molecules of each species, divided by 6"],
                    list(self_columns), t, self_columns)
        base = curve(rng, t, n * l11 / D_SI, TAU["diff"], MIXTURE_SPREAD["onsager"])
        onsager = {"MSD__wat_wat": base, "MSD__wat_meoh": -ratio * base, "MSD__meoh_meoh": ratio**2 * base}
        if replica == 2:
            onsager = {"MSD__meoh_meoh": onsager["MSD__meoh_meoh"], "MSD__meoh_wat": onsager["MSD__wat_meoh"],
                       "MSD__wat_wat": onsager["MSD__wat_wat"]}
        write_table(directory / "diffonsag.dat", ["time in fs, MSD in Angstrom^2",
                                                  "<(sum of displacements of i).(sum of displacements of j)> / 6"],
                    list(onsager), t, onsager)
        eta = 0.0012 / ETA_SI
        components = {f"MSD_{c}": curve(rng, t, eta * temperature, TAU["visc"], MIXTURE_SPREAD["visc"])
                      for c in ("xy", "xz", "yz")}
        viscosity = dict(components)
        viscosity["MSD_all"] = sum(components.values()) / 3.0
        viscosity["MSD_bulkvisc"] = curve(rng, t, 2.0 * eta * temperature, TAU["visc"], MIXTURE_SPREAD["visc"])
        write_table(directory / "viscosity.dat", ["time in fs", "V/(2 kB) <(integral of P_ab dt)^2>"],
                    list(viscosity), t, viscosity)
        with open(directory / "volume.dat", "w") as out:
            out.write(f"# Time-averaged data for fix vol_avg\n# TimeStep v_vol\n500000 {MIXTURE_VOLUME:.2f}\n")
        # rdf.dat without a '#' before its column names
        columns = {"Radius": radius}
        for pair, (alpha, wavelength) in MIXTURE_RDF.items():
            exact = analytic_rdf(radius, alpha, wavelength)
            corrected = np.clip(exact + rng.normal(0.0, 0.004, len(radius)) * (radius > 1.0), 0, None)
            first, second = pair.split("_")
            name = f"{second}_{first}" if replica == 2 else pair
            columns[f"rdf__{name}"] = corrected
            columns[f"finiterdf__{name}"] = measured_in_box(radius, corrected, MIXTURE_MOLECULES[second],
                                                            MIXTURE_VOLUME, first == second)
        with open(directory / "rdf.dat", "w") as out:
            out.write(" ".join(columns) + "\n")
            for k in range(len(radius)):
                out.write(" ".join(f"{columns[name][k]:.6g}" for name in columns) + "\n")
        (directory / "log.lammps").write_text(
            f"LAMMPS (2 Aug 2023 - Update 3)\n# water-methanol, replica {replica}\nunits\t\treal\n"
            "atom_style\tfull\nread_data\tmixture.data\n# one bead per molecule in each species group\n"
            f"group\t\twat\t\ttype 1\n{MIXTURE_MOLECULES['wat']} atoms in group wat\n"
            f"group\t\tmeoh\t\ttype 2\n{MIXTURE_MOLECULES['meoh']} atoms in group meoh\n"
            f"fix\t\tnvt all nvt temp {TEMPERATURE} {TEMPERATURE} 100.0\nrun\t\t1000000\n")
        atoms = [f"{k + 1} {k + 1} {1 if k < MIXTURE_MOLECULES['wat'] else 2} 0 0 0 0" for k in range(n)]
        text = (f"LAMMPS data file written by make_sample_data.py\n\n{n} atoms\n2 atom types\n\n"
                "Masses\n\n1 18.015\n2 32.042\n\nAtoms # full\n\n" + "\n".join(atoms) + "\n")
        (directory / "mixture.data.gz").write_bytes(gzip.compress(text.encode(), mtime=0))
    kb = {pair: analytic_kirkwood_buff(*p) for pair, p in MIXTURE_RDF.items()}
    density = n / MIXTURE_VOLUME
    gamma = 1.0 / (1.0 + density * x1 * x2 * (kb["wat_wat"] + kb["meoh_meoh"] - 2.0 * kb["wat_meoh"]))
    truth = {
        "note": "values the generator made the curves from (SI units); the analysis must not need this file",
        "units": "real", "molecules": MIXTURE_MOLECULES, "volume_A3": MIXTURE_VOLUME,
        "self_diffusion_m2_s": MIXTURE_D, "onsager_m2_s": onsager_true, "maxwell_stefan_m2_s": MIXTURE_MS,
        "kirkwood_buff_A3": kb, "thermodynamic_factor": gamma, "fick_m2_s": gamma * MIXTURE_MS,
        "rdf_first_peak_A": {pair: wavelength / 2.0 for pair, (_, wavelength) in MIXTURE_RDF.items()},
        "rdf_columns": "rdf__ is the finite-size corrected g(r), finiterdf__ the one measured in the box",
        "half_box_edge_A": 0.5 * MIXTURE_VOLUME ** (1.0 / 3.0),
        "replica_spread": MIXTURE_SPREAD,
    }
    (MIXTURE_OUT / "truth.json").write_text(json.dumps(truth, indent=2) + "\n")


# The KOH run: 6 mol/kg at 353.15 K (80 °C, where the correlation uses the mass fraction
# alone), with uncorrelated ions whose conductivity sits KOH_DEFICIT below Gilliam's.
KOH_OUT = OUT.with_name("koh")
KOH_SEED = 2029
KOH_REPLICAS = 3
KOH_MOLALITY = 6.0
KOH_TEMPERATURE = 353.15
KOH_DENSITY = 1.22  # g/cm^3
KOH_DEFICIT = 30.0  # S/m
KOH_D = {"wat": 4.0e-9, "K": 2.4e-9}  # m^2/s; D of OH follows from the deficit
HOP_DISTANCE = 2.8e-10  # m


def gilliam_high_temperature(temperature, molality, molecular_weight=56.1056):
    """Gilliam's KOH conductivity (S/m) from 353.15 K up, from the mass-fraction percentage."""
    p = 100.0 * molality * molecular_weight / (molality * molecular_weight + 1000.0)
    t = temperature
    kappa = (0.0022204 * p - 0.0013077 * p**2 + 3.3647e-4 * p * t - 10.7021 * p / t
             + 7.0101e-6 * p**3 - 3.2033e-9 * (t * p) ** 2)  # S/cm
    return 100.0 * kappa


def make_koh():
    rng = np.random.default_rng(KOH_SEED)
    if KOH_OUT.exists():
        shutil.rmtree(KOH_OUT)
    KOH_OUT.mkdir(parents=True)
    ions = round(KOH_MOLALITY * MOLECULES["wat"] * MASS["wat"] / 1000.0)
    masses = {"wat": MASS["wat"], "K": 39.098, "OH": 17.007}
    counts = {"wat": MOLECULES["wat"], "K": ions, "OH": ions}
    mass = sum(counts[s] * masses[s] for s in counts) / NA  # g
    volume = mass / KOH_DENSITY * 1e24  # A^3
    sigma_exp = gilliam_high_temperature(KOH_TEMPERATURE, KOH_MOLALITY)
    sigma_md = sigma_exp - KOH_DEFICIT
    # Uncorrelated ions: σ = e²/(V k_B T) Σ q² N D.
    scale = E * E / (volume * 1e-30 * KB * KOH_TEMPERATURE)
    d_oh = (sigma_md / scale - ions * KOH_D["K"]) / ions
    true_d = {"wat": KOH_D["wat"], "Na": KOH_D["K"], "Cl": d_oh}
    # write_replica names the ions Na and Cl; they are renamed K and OH in the files below.
    state = {"molecules": {"wat": counts["wat"], "Na": ions, "Cl": ions}, "temperature": KOH_TEMPERATURE,
             "spread": SWEEP_SPREAD, "volume": volume, "density": KOH_DENSITY, "d": true_d, "eta": 0.75e-3,
             "kappa": 0.68, "blocks": 10, "thermo_rows": 40, "extras": True, "quiet": SWEEP_QUIET,
             "title": "6 mol/kg KOH"}
    for replica in range(1, KOH_REPLICAS + 1):
        directory = KOH_OUT / f"replica_{replica}"
        write_replica(directory, rng, replica, state)
        for name in ("diffself.dat", "diffonsag.dat", "log.lammps"):
            text = (directory / name).read_text()
            text = text.replace("NaCl", "KOH").replace("Na", "K").replace("Cl", "OH")
            (directory / name).write_text(text)
        (directory / "nacl.data.gz").rename(directory / "koh.data.gz")
        log = (directory / "log.lammps").read_text().replace("read_data\tnacl.data", "read_data\tkoh.data")
        (directory / "log.lammps").write_text(log)
    box_length = (volume * 1e-30) ** (1.0 / 3.0)
    tau = E * E * HOP_DISTANCE**2 * ions / (6.0 * KB * KOH_TEMPERATURE * box_length**3 * KOH_DEFICIT)
    truth = {
        "note": "values the generator made the curves from (SI units); the analysis must not need this file",
        "units": "real", "salt": "KOH", "molality": KOH_MOLALITY, "temperature_K": KOH_TEMPERATURE,
        "molecules": counts, "volume_A3": round(volume, 2), "density_g_cm3": KOH_DENSITY,
        "self_diffusion_m2_s": {"wat": KOH_D["wat"], "K": KOH_D["K"], "OH": d_oh},
        "conductivity_experiment_S_m": sigma_exp, "conductivity_S_m": sigma_md, "deficit_S_m": KOH_DEFICIT,
        "hop_distance_m": HOP_DISTANCE, "proton_hop_time_s": tau,
        "proton_hop_diffusion_m2_s": HOP_DISTANCE**2 / (6.0 * tau),
        "conductivity_relative_spread": SWEEP_SPREAD["onsager"] / math.sqrt(KOH_REPLICAS),
    }
    (KOH_OUT / "truth.json").write_text(json.dumps(truth, indent=2) + "\n")


if __name__ == "__main__":
    main()
    make_sweep()
    make_mixture()
    make_koh()
