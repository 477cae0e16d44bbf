"""Regenerates the sample run in examples/data/run (needs NumPy; the outputs are committed).

    python examples/make_sample_data.py

The run is 1 mol/kg NaCl in water (1000 water molecules, 18 ions of each kind) in
LAMMPS `real` units (Å, fs, kcal/mol, atm), four replicas in replica_1 ... replica_4,
each laid out as a real run directory: multiple-tau transport tables (diffself.dat,
diffonsag.dat, viscosity.dat, thermconductivity.dat), fix ave/time files (volume.dat,
density.dat), the thermodynamic table (nvt_prod.dat), a bond-angle histogram and
log.lammps. truth.json holds the values the curves were made from, in SI units.

The curves are the Langevin form c·[t − τ(1 − exp(−t/τ))] (ballistic below the
relaxation time τ, linear above it) with the true slope c, times a replica's own
random slope error (the spread of real replicas) and a correlated noise that grows
with the lag time (fewer independent time origins). Uncorrelated ions make the
cross Onsager curves a random linear drift, so the true conductivity is the
Nernst-Einstein value. The output is deterministic (seeded).
"""

import json
import math
import pathlib
import shutil

import numpy as np

OUT = pathlib.Path(__file__).with_name("data") / "run"
REPLICAS = 4
SEED = 2026

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

# Multiple-tau lag times: 32 lags of DT in the first block, then each block doubles
# the spacing and keeps lags 16..32 of it, so its first lag repeats the last of the
# block before (written a little differently, as an averaged time would be).
DT = 10.0  # fs
BLOCKS = 12
PER_BLOCK = 32


def lag_times(rng):
    times = [DT * k for k in range(1, PER_BLOCK + 1)]
    for block in range(1, BLOCKS + 1):
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


def curve(rng, t, slope, tau, spread):
    """slope·shape(t) with the replica's slope error and the lag-time noise."""
    return slope * (1.0 + rng.normal(0.0, spread)) * shape(t, tau) * (1.0 + noise(rng, t, spread))


def write_table(path, notes, names, t, columns):
    with open(path, "w") as out:
        for note in notes:
            out.write(f"#NOTE: {note}\n")
        out.write("#Time\t" + "".join(f"{name}\t" for name in names) + "\n")
        for k, time in enumerate(t):
            out.write(f" {time:g}\t" + "\t".join(f"{columns[name][k]:g}" for name in names) + "\n")


def box():
    mass = sum(MOLECULES[s] * MASS[s] for s in MOLECULES) / NA  # g
    volume = mass / DENSITY * 1e24  # A^3
    return volume, mass


def log_text(replica, volume):
    edge = volume ** (1.0 / 3.0)
    atoms = 3 * MOLECULES["wat"] + MOLECULES["Na"] + MOLECULES["Cl"]
    return f"""LAMMPS (2 Aug 2023 - Update 3)
  using 1 OpenMP thread(s) per MPI task
# 1 mol/kg NaCl in water, replica {replica}
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
  {MOLECULES["Na"]} settings made for charge
set		type 4 charge -1.0
Setting atom values ...
  {MOLECULES["Cl"]} settings made for charge
# one atom per molecule in each species group: the counts are molecule counts
group		wat		type 1
{MOLECULES["wat"]} atoms in group wat
group           Na              type 3
{MOLECULES["Na"]} atoms in group Na
group           Cl              type 4
{MOLECULES["Cl"]} atoms in group Cl
group	water	type 1 2
{3 * MOLECULES["wat"]} atoms in group water
group	ions	union Na Cl
{MOLECULES["Na"] + MOLECULES["Cl"]} atoms in group ions
velocity	all create {TEMPERATURE} {4927 + replica} dist gaussian
fix		nvt all nvt temp {TEMPERATURE} {TEMPERATURE} 100.0
run		10000000
Total wall time: 31:12:09
"""


def main():
    rng = np.random.default_rng(SEED)
    volume, mass = box()
    if OUT.exists():
        shutil.rmtree(OUT)
    OUT.mkdir(parents=True)
    species = list(MOLECULES)
    for replica in range(1, REPLICAS + 1):
        directory = OUT / f"replica_{replica}"
        directory.mkdir()
        t = lag_times(rng)

        # Thermodynamic table first: the curves use the temperature it averages to.
        steps = range(0, 10_000_001, 100_000)
        temps = TEMPERATURE + rng.normal(0.0, 1.2, len(steps))
        with open(directory / "nvt_prod.dat", "w") as out:
            out.write("# Thermodynamic properties of the NVT production run\n")
            out.write("# Step Temp Press PotEng KinEng\n")
            for step, temp in zip(steps, temps):
                out.write(f"{step} {temp:.4f} {rng.normal(1.0, 180.0):.3f} "
                          f"{-10245.0 + rng.normal(0, 40):.3f} {2714.0 * temp / TEMPERATURE:.3f}\n")
        temperature = float(np.mean(np.round(temps, 4)))

        d_real = {s: TRUE_D[s] / D_SI for s in species}  # A^2/fs
        self_columns = {f"MSD__{s}": curve(rng, t, MOLECULES[s] * d_real[s], TAU["diff"], SPREAD[s])
                        for s in species}
        write_table(directory / "diffself.dat",
                    ["time in fs, MSD in Angstrom^2", "sum over the molecules of each species, divided by 6",
                     "multiple-tau correlator: 32 lags per block"],
                    list(self_columns), t, self_columns)

        onsager = {}
        for i, first in enumerate(species):
            for second in species[i:]:
                if first == second:
                    column = curve(rng, t, MOLECULES[first] * d_real[first], TAU["diff"], SPREAD["onsager"])
                else:
                    scale = math.sqrt(MOLECULES[first] * MOLECULES[second] * d_real[first] * d_real[second])
                    drift = scale * rng.normal(0.0, SPREAD["onsager"])
                    column = drift * shape(t, TAU["diff"]) * (1.0 + noise(rng, t, SPREAD["onsager"]))
                onsager[f"MSD__{first}_{second}"] = column
        write_table(directory / "diffonsag.dat",
                    ["time in fs, MSD in Angstrom^2",
                     "<(sum of displacements of i).(sum of displacements of j)> / 6"],
                    list(onsager), t, onsager)

        eta = TRUE_ETA / ETA_SI  # atm fs
        components = {f"MSD_{c}": curve(rng, t, eta * temperature, TAU["visc"], SPREAD["visc"])
                      for c in ("xx", "yy", "zz", "xy", "xz", "yz")}
        viscosity = dict(components)
        viscosity["MSD_off"] = (components["MSD_xy"] + components["MSD_xz"] + components["MSD_yz"]) / 3.0
        viscosity["MSD_all"] = sum(components.values()) / 6.0
        viscosity["MSD_bulkvisc"] = curve(rng, t, 2.5 * eta * temperature, TAU["visc"], SPREAD["visc"])
        write_table(directory / "viscosity.dat",
                    ["time in fs", "V/(2 kB) <(integral of P_ab dt)^2>; slope / T is the viscosity in atm fs"],
                    list(viscosity), t, viscosity)

        kappa = TRUE_KAPPA / KAPPA_SI  # kcal/mol/(A fs K)
        heat = {f"MSD_{c}": curve(rng, t, kappa * temperature**2, TAU["heat"], SPREAD["heat"])
                for c in ("x", "y", "z")}
        heat["MSD_all"] = (heat["MSD_x"] + heat["MSD_y"] + heat["MSD_z"]) / 3.0
        write_table(directory / "thermconductivity.dat",
                    ["time in fs", "<(integral of J dt)^2> / (2 V kB); slope / T^2 is the conductivity"],
                    list(heat), t, heat)

        for name, fix, variable, value in (("volume.dat", "vol_avg", "v_vol", f"{volume:.2f}"),
                                           ("density.dat", "dens_avg", "v_dens", f"{DENSITY:.5f}")):
            with open(directory / name, "w") as out:
                out.write(f"# Time-averaged data for fix {fix}\n# TimeStep {variable}\n500000 {value}\n")

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

        (directory / "log.lammps").write_text(log_text(replica, volume))

    volume_si = volume * 1e-30
    edge = volume_si ** (1.0 / 3.0)
    correction = 2.837297 * KB * TEMPERATURE / (6.0 * math.pi * TRUE_ETA * edge)
    sigma = E * E / (volume_si * KB * TEMPERATURE) * sum(
        CHARGES[s] ** 2 * MOLECULES[s] * TRUE_D[s] for s in species)
    # Expected standard error of the mean over the replicas, from the slope spreads above
    # (the lag-time noise adds little inside the fitted windows).
    root = math.sqrt(REPLICAS)
    eta_spread = SPREAD["visc"] / math.sqrt(6.0)  # MSD_all averages six components
    kappa_spread = SPREAD["heat"] / math.sqrt(3.0)
    self_slopes = {s: MOLECULES[s] * TRUE_D[s] for s in ("Na", "Cl")}
    cross = math.sqrt(self_slopes["Na"] * self_slopes["Cl"])
    sigma_spread = SPREAD["onsager"] * math.sqrt(
        self_slopes["Na"] ** 2 + self_slopes["Cl"] ** 2 + (2.0 * cross) ** 2) / sum(self_slopes.values())
    d_error = {s: TRUE_D[s] * SPREAD[s] / root for s in species}
    standard_error = {
        "self_diffusion_m2_s": d_error,
        "self_diffusion_infinite_m2_s": {s: math.hypot(d_error[s], correction * eta_spread / root) for s in species},
        "viscosity_Pa_s": TRUE_ETA * eta_spread / root,
        "thermal_conductivity_W_mK": TRUE_KAPPA * kappa_spread / root,
        "conductivity_S_m": sigma * sigma_spread / root,
    }
    truth = {
        "note": "values the generator made the curves from (SI units); the analysis must not need this file",
        "units": "real",
        "temperature_K": TEMPERATURE,
        "volume_A3": round(volume, 2),
        "molecules": MOLECULES,
        "charges": CHARGES,
        "self_diffusion_m2_s": TRUE_D,
        "self_diffusion_infinite_m2_s": {s: TRUE_D[s] + correction for s in species},
        "viscosity_Pa_s": TRUE_ETA,
        "thermal_conductivity_W_mK": TRUE_KAPPA,
        "conductivity_S_m": sigma,
        "replica_spread": SPREAD,
        "standard_error": standard_error,
    }
    (OUT / "truth.json").write_text(json.dumps(truth, indent=2) + "\n")


if __name__ == "__main__":
    main()
