"""Post-processes the sample run in examples/data/run: the main job of quor-pp in miniature.

Reads every output file of the first replica (recognising each layout), prints the
group counts of its log, then analyses the four replicas: self-diffusion, Onsager
coefficients, viscosity, thermal and electrical conductivity in SI units, averaged
over the replicas. Finally it prints the electrolyte property tables.
"""

import json
import pathlib
import sys

import quor_pp

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from properties_demo import print_property_table  # noqa: E402

RUN = pathlib.Path(__file__).with_name("data") / "run"


def show_files(directory: pathlib.Path) -> None:
    print(f"Files of {directory}:")
    for path in sorted(p for p in directory.iterdir() if p.suffix in (".dat", ".lammps")):  # tables, log
        data = quor_pp.read(path)
        if isinstance(data, quor_pp.RunLog):
            groups = ", ".join(f"{name} {count}" for name, count in data.groups.items())
            print(f"  {path.name:22} {data.kind:10} units {data.units}; groups: {groups}")
        else:
            print(f"  {path.name:22} {data.kind:10} {data.row_count:4} rows: {', '.join(data)}")


def main() -> None:
    print(f"quor-pp sample run: {RUN}\n")
    show_files(RUN / "replica_1")

    report = quor_pp.analyze(RUN, charges={"Na": 1, "Cl": -1})
    print(f"\nTransport coefficients over {len(report.replicas)} replicas "
          f"(window fits with {report.settings.window}):\n")
    print(report)

    truth = json.loads((RUN / "truth.json").read_text())
    print("\nGenerator's true values: D "
          + ", ".join(f"{s} {d:.3g}" for s, d in truth["self_diffusion_m2_s"].items())
          + f" m^2/s; viscosity {truth['viscosity_Pa_s']:.3g} Pa s; "
          f"thermal conductivity {truth['thermal_conductivity_W_mK']:.3g} W/(m K); "
          f"conductivity {truth['conductivity_S_m']:.3g} S/m")

    print("\nElectrolyte properties")
    print_property_table()


if __name__ == "__main__":
    main()
