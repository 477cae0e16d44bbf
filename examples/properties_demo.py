"""Property models for the shipped salts: density, molarity, viscosity, KOH conductivity, inversion."""

import json
import pathlib

import _quor_pp as q

SALTS_FILE = pathlib.Path(__file__).with_name("data") / "salts.json"
KELVIN = 273.15


def load_salts(path=SALTS_FILE):
    """The salts' molecular weights and Laliberte parameters, and their source."""
    data = json.loads(pathlib.Path(path).read_text())
    return data["salts"], data["source"]


def print_property_table(path=SALTS_FILE):
    salts, source = load_salts(path)
    celsius = [15.0, 25.0, 50.0, 75.0]
    molality = [0.0, 0.5, 1.0, 2.0, 4.0]
    print(f"Laliberte parameters: {source}")

    for name, salt in salts.items():
        mw = salt["molecular_weight"]
        t = [c + KELVIN for c in celsius for _ in molality]
        b = molality * len(celsius)
        density, molarity = q.laliberte_density(t, b, mw, **salt["density"])
        viscosity = q.laliberte_viscosity(t, b, mw, **salt["viscosity"])
        print(f"\n{name} (M = {mw} g/mol)")
        print(f"{'T/degC':>7} {'b/(mol/kg)':>11} {'rho/(kg/m3)':>12} {'c/(mol/L)':>10} {'eta/(mPa s)':>12}")
        for row in zip(t, b, density, molarity, viscosity):
            print(f"{row[0] - KELVIN:7.1f} {row[1]:11.2f} {row[2]:12.3f} {row[3]:10.4f} {row[4] * 1e3:12.4f}")

        # Back from molarity to molality at each temperature: the inversion should
        # recover the molalities the table started from.
        worst = 0.0
        for c in celsius:
            rows = [i for i, ti in enumerate(t) if ti == c + KELVIN]
            back = q.molarity_to_molality([molarity[i] for i in rows], c + KELVIN, mw,
                                          tolerance=1e-10, maximum_iterations=200, **salt["density"])
            worst = max(worst, *(abs(bb - b[i]) for bb, i in zip(back, rows)))
        print(f"molarity_to_molality round trip: largest molality error {worst:.1e} mol/kg")

    koh = salts["KOH"]
    kelvin = [345.15, 350.15, 353.14, 353.15, 358.15, 363.15]
    print("\nKOH conductivity (S/m); the correlation changes branch at 80 degC")
    print(f"{'T/degC':>7}" + "".join(f"{f'b={m:g}':>10}" for m in (1.0, 3.0, 6.0)))
    for t_k in kelvin:
        sigma = q.koh_gilliam_eval([t_k] * 3, [1.0, 3.0, 6.0], koh["molecular_weight"], **koh["density"])
        print(f"{t_k - KELVIN:7.2f}" + "".join(f"{s:10.2f}" for s in sigma))


if __name__ == "__main__":
    print_property_table()
