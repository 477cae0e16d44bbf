"""Regenerates the sample run in examples/data/run (needs NumPy; the outputs are committed).

The MSD tables come from Langevin random walks whose diffusion coefficients are
known exactly, D = (kT/m) * tau_v, so the fit in sample_run.py can be checked
against the truth: ballistic motion (MSD ~ t^2) below the velocity correlation
time, diffusive motion (MSD = 6 D t) above it.
"""
import json
import pathlib

import numpy as np

OUT = pathlib.Path(__file__).with_name("data") / "run"
REPLICAS = 4
PARTICLES = 1000
STEPS = 4000
DT = 0.01           # ps per integration step
EVERY = 20          # steps between rows of the table
TAU_V = 0.25        # ps, velocity correlation time
TRUE_D = {"Na": 0.13, "Cl": 0.20}  # Angstrom^2/ps (1 A^2/ps = 1e-8 m^2/s)


def msd_table(rng):
    columns = {}
    for ion, d in TRUE_D.items():
        thermal = d / TAU_V                    # kT/m in A^2/ps^2
        a = np.exp(-DT / TAU_V)
        kick = np.sqrt(thermal * (1 - a * a))
        v = rng.normal(0.0, np.sqrt(thermal), (PARTICLES, 3))
        x = np.zeros((PARTICLES, 3))
        msd = [0.0]
        for step in range(1, STEPS + 1):
            # exact discretisation of the velocity process, midpoint position update
            v_new = a * v + kick * rng.normal(size=(PARTICLES, 3))
            x += 0.5 * (v + v_new) * DT
            v = v_new
            if step % EVERY == 0:
                msd.append(float(np.mean(np.sum(x * x, axis=1))))
        columns[f"MSD_{ion}"] = msd
    time = [k * EVERY * DT for k in range(len(columns["MSD_Na"]))]
    return time, columns


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(2026)
    for replica in range(1, REPLICAS + 1):
        time, columns = msd_table(rng)
        with open(OUT / f"diffself_{replica}.dat", "w") as out:
            out.write(f"# Self-diffusion, replica {replica}: time in ps, MSD in A^2\n")
            out.write("#Time " + " ".join(columns) + "\n")
            for k, t in enumerate(time):
                out.write(f"{t:.4f} " + " ".join(f"{columns[c][k]:.8e}" for c in columns) + "\n")

    with open(OUT / "nvt_prod.dat", "w") as out:
        out.write("# Thermodynamic properties of the NVT production run\n")
        out.write("# Step Temp Press PotEng\n")
        for step in range(0, 20001, 500):
            out.write(f"{step} {298.15 + rng.normal(0, 2.5):.4f} {rng.normal(1.0, 150):.3f} "
                      f"{-42000 + rng.normal(0, 60):.3f}\n")

    angles = np.clip(rng.normal(104.5, 6.0, 20000), 0, 180)
    counts, edges = np.histogram(angles, bins=90, range=(0, 180))
    with open(OUT / "npt_prod_angle.dat", "w") as out:
        out.write("# Time-averaged data for fix angle_hist\n")
        out.write("# TimeStep Number-of-rows\n")
        out.write("# Index Coord Count Count/Total\n")
        out.write(f"20000 {len(counts)}\n")
        for k, count in enumerate(counts):
            centre = 0.5 * (edges[k] + edges[k + 1])
            out.write(f"{k + 1} {centre:g} {count} {count / counts.sum():.6g}\n")

    with open(OUT / "volume.dat", "w") as out:
        out.write("# Box volume during equilibration\n# TimeStep v_vol\n")
        for step in range(0, 5001, 1000):
            out.write(f"{step} {27543.21 - 3.0 * step / 1000 + rng.normal(0, 1):.3f}\n")

    with open(OUT / "log.lammps", "w") as out:
        out.write("LAMMPS (development)\nread_data system.data\n  648 atoms\n")
        out.write("group water type 1 2\n600 atoms in group water\n")
        out.write("group ions type 3 4\n48 atoms in group ions\n")
        out.write("group cation type 3\n24 atoms in group cation\n")
        out.write("run 20000\n")

    (OUT / "truth.json").write_text(json.dumps(
        {"D_A2_per_ps": TRUE_D, "note": "Langevin walks, D = (kT/m) * tau_v"}, indent=2) + "\n")


if __name__ == "__main__":
    main()
