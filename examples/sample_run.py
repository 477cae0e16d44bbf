"""Post-processes the sample run in examples/data/run: the main job of quor-pp in miniature.

Reads every output file of the run, fits the self-diffusion coefficient of each ion
in each replica, averages the replicas, and prints the electrolyte property tables.
"""
import json
import pathlib
import sys

import _quor_pp as qp

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from properties_demo import print_property_table  # noqa: E402

RUN = pathlib.Path(__file__).with_name("data") / "run"
A2_PER_PS = 1e-8  # m^2/s


def read_outputs():
    thermo = qp.parse_thermoprop(str(RUN / "nvt_prod.dat"))
    temperatures = thermo["Temp"]
    print(f"nvt_prod.dat: columns {list(thermo)}, {len(temperatures)} rows, "
          f"mean temperature {sum(temperatures) / len(temperatures):.2f} K")

    volume = qp.parse_volume_density(str(RUN / "volume.dat"))
    print(f"volume.dat: first volume {volume:.2f} A^3")

    for group in ("water", "ions", "cation"):
        count = qp.read_group_count(str(RUN / "log.lammps"), group)
        print(f"log.lammps: {count} atoms in group {group}")

    angles = qp.parse_bond_angle(str(RUN / "npt_prod_angle.dat"))
    peak = max(range(len(angles["Count"])), key=angles["Count"].__getitem__)
    print(f"npt_prod_angle.dat: most populated bin at {angles['Coord'][peak]:g} degrees "
          f"({angles['Count/Total'][peak]:.1%} of all angles)")


def fit_diffusion():
    truth = json.loads((RUN / "truth.json").read_text())["D_A2_per_ps"]
    replicas = sorted(RUN.glob("diffself_*.dat"))
    tables = [qp.parse_quor_file(str(path)) for path in replicas]
    print(f"\nSelf-diffusion from {len(replicas)} replicas (window fit of MSD against time):")
    print(f"{'ion':>4} {'replica D / (1e-9 m^2/s)':>40} {'mean':>7} {'std':>6} {'true':>6}")
    for ion, true_d in truth.items():
        coefficients = []
        for table in tables:
            slope, t_fit, _ = qp.diff_calculator(
                table["Time"], table[f"MSD_{ion}"], margin=0.05, min_window=20, max_window=120,
                max_error=0.05, min_displacement=0.0)
            coefficients.append(slope / 6.0 * A2_PER_PS)  # MSD = 6 D t in three dimensions
        mean, std, count = qp.repacking_results(coefficients)
        shown = " ".join(f"{d * 1e9:6.3f}" for d in coefficients)
        print(f"{ion:>4} {shown:>40} {mean * 1e9:7.3f} {std * 1e9:6.3f} {true_d * A2_PER_PS * 1e9:6.3f}"
              f"   ({count} finite)")


def main():
    print(f"quor-pp sample run: {RUN}\n")
    read_outputs()
    fit_diffusion()
    print("\nElectrolyte properties")
    print_property_table()


if __name__ == "__main__":
    main()
