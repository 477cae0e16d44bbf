"""Synthetic runs with known transport coefficients, written in the layout of real run directories.

A replica is simulated, not drawn from a formula: molecules are point particles
whose velocities are Ornstein-Uhlenbeck processes (Langevin dynamics without
forces), their positions the exact integrals of those velocities, with the
centre-of-mass motion taken out as in a momentum-conserving MD box. Stress and
heat-flux components are sums of Ornstein-Uhlenbeck processes, integrated exactly
into Helfand moments. Every mean-squared displacement is then averaged over
overlapping time origins (by FFT) and written at the lags of a multiple-tau grid,
so that the curves have a ballistic start, a crossover, a diffusive tail and the
noise of a finite run, while their true long-time slopes are known in closed form.

The files are those a run leaves (units `real`: Å, fs, atm, kcal/mol):
``diffself.dat``, ``diffonsag.dat``, ``viscosity.dat``, ``tconductivity.dat``,
``volume.dat``, ``nvt_prod.dat`` (Temp), ``log.lammps`` (units, groups, read_data)
and the data file it reads, so that a run set is analysed without options (the
electrical conductivity needs the ions' charges, as for a real run).

This module uses NumPy and the standard library only.
"""
from __future__ import annotations

import gzip
import os
import pathlib
from collections.abc import Mapping, Sequence
from dataclasses import replace

import numpy as np

from .recipes import FloatArray, Relaxation, RunRecipe, Species, Truth, truth_of
from .simulation import _simulate, lag_indices


__all__ = ["Relaxation", "RunRecipe", "SHAPES", "Species", "Truth", "lag_indices", "truth_of", "write_replica",
           "write_run_set"]


# Exact SI constants.
def _write_table(path: pathlib.Path, notes: Sequence[str], times: FloatArray,
                 columns: Mapping[str, FloatArray]) -> None:
    names = list(columns)
    lines = [f"#NOTE: {note}\n" for note in notes]
    lines.append("#Time\t" + "".join(f"{name}\t" for name in names) + "\n")
    for k, time in enumerate(times):
        lines.append(f" {time:g}\t" + "\t".join(f"{columns[name][k]:g}" for name in names) + "\n")
    path.write_text("".join(lines))


def _data_file(species: Sequence[Species]) -> bytes:
    """The LAMMPS data file the log reads (atom style full), gzip-compressed: one atom per molecule."""
    lines = []
    atom = 0
    for kind, s in enumerate(species, start=1):
        for _ in range(s.count):
            atom += 1
            lines.append(f"{atom} {atom} {kind} {s.charge:g} 0 0 0")
    masses = "\n".join(f"{kind} {s.mass:g}" for kind, s in enumerate(species, start=1))
    text = (f"LAMMPS data file of a synthetic run\n\n{atom} atoms\n{len(species)} atom types\n\n"
            f"Masses\n\n{masses}\n\nAtoms # full\n\n" + "\n".join(lines) + "\n")
    return gzip.compress(text.encode(), mtime=0)


def _log_text(recipe: RunRecipe, replica: int, seed: int) -> str:
    edge = recipe.volume ** (1.0 / 3.0)
    atoms = sum(s.count for s in recipe.species)
    groups = "".join(f"group\t\t{s.name}\t\ttype {kind}\n{s.count} atoms in group {s.name}\n"
                     for kind, s in enumerate(recipe.species, start=1))
    temperature = recipe.temperature
    return (f"LAMMPS (2 Aug 2023 - Update 3)\n# {recipe.name}, replica {replica}\n"
            "units\t\treal\natom_style\tfull\nboundary\tp p p\nread_data\tknownrun.data\nReading data file ...\n"
            f"  orthogonal box = (0 0 0) to ({edge:.5g} {edge:.5g} {edge:.5g})\n  reading atoms ...\n"
            f"  {atoms} atoms\n# one bead per molecule in each species group\n{groups}"
            f"velocity\tall create {temperature} {seed % 900000 + 1000} dist gaussian\n"
            f"fix\t\tnvt all nvt temp {temperature} {temperature} 100.0\n"
            f"run\t\t{recipe.steps * int(recipe.sample_interval)}\nTotal wall time: 0:00:01\n")


def write_replica(directory: str | os.PathLike[str], recipe: RunRecipe,
                  rng: np.random.Generator | int | None = None, *, replica: int = 1,
                  shuffle_columns: bool = False) -> Truth:
    """Simulate one replica of `recipe` and write it as a run directory.

    Parameters
    ----------
    directory : str or os.PathLike
        The replica's directory; it is created (its parent must exist) and must not exist yet.
    recipe : RunRecipe
        What the run is made of.
    rng : numpy.random.Generator or int, optional
        The random numbers, or a seed for them.
    replica : int
        The replica's number, for the log.
    shuffle_columns : bool
        Write the species and pairs in an order of this replica's own, and some pairs
        as "j_i" (real replicas do that).

    Returns
    -------
    Truth
        The coefficients the package should report, in SI units.

    Raises
    ------
    FileExistsError
        `directory` exists.
    """
    generator = rng if isinstance(rng, np.random.Generator) else np.random.default_rng(rng)
    path = pathlib.Path(directory)
    path.mkdir()
    columns = _simulate(recipe, generator)
    times = lag_indices(recipe.blocks).astype(np.float64) * recipe.sample_interval
    order = [s.name for s in recipe.species]
    pairs = list(columns.onsager)
    flipped: set[tuple[str, str]] = set()
    if shuffle_columns:
        order = [order[k] for k in generator.permutation(len(order))]
        pairs = [pairs[k] for k in generator.permutation(len(pairs))]
        flipped = {pair for pair in pairs if pair[0] != pair[1] and generator.random() < 0.5}
    _write_table(path / "diffself.dat",
                 ["time in fs, MSD in Angstrom^2", "sum over the molecules of each species, divided by 6",
                  "lags of a multiple-tau grid: 32 lags, then 16 per block of doubled spacing"],
                 times, {f"MSD__{name}": columns.self_msd[name] for name in order})
    _write_table(path / "diffonsag.dat",
                 ["time in fs, MSD in Angstrom^2", "<(sum of displacements of i).(sum of displacements of j)> / 6"],
                 times, {(f"MSD__{b}_{a}" if (a, b) in flipped else f"MSD__{a}_{b}"): columns.onsager[(a, b)]
                         for a, b in pairs})
    _write_table(path / "viscosity.dat",
                 ["time in fs", "V/(2 kB) <(integral of P_ab dt)^2>; slope / T is the viscosity in atm fs",
                  "diagonal components: P_aa - p, times 3/4"],
                 times, columns.viscosity)
    _write_table(path / "tconductivity.dat",
                 ["time in fs", "<(integral of J dt)^2> / (2 V kB); slope / T^2 is the conductivity"],
                 times, columns.heat)
    (path / "volume.dat").write_text(
        f"# Time-averaged data for fix vol_avg\n# TimeStep v_vol\n{recipe.steps * int(recipe.sample_interval)} "
        f"{recipe.volume:.6f}\n")
    # The thermostat's temperature fluctuates; its mean over the rows is the recipe's, to the
    # rounding of the written values (below 1e-7 relative).
    rows = 41
    fluctuation = generator.normal(0.0, 1.5, rows)
    temperatures = recipe.temperature + (fluctuation - fluctuation.mean())
    pressures = generator.normal(1.0, 150.0, rows)
    energies = -9000.0 + generator.normal(0.0, 30.0, rows)
    every = recipe.steps * int(recipe.sample_interval) // (rows - 1)
    (path / "nvt_prod.dat").write_text(
        "# Thermodynamic properties of the NVT production run\n# Step Temp Press PotEng\n"
        + "".join(f"{k * every} {t:.6f} {p:.3f} {e:.3f}\n"
                  for k, (t, p, e) in enumerate(zip(temperatures, pressures, energies))))
    seed = int(generator.integers(1 << 30))
    (path / "log.lammps").write_text(_log_text(recipe, replica, seed))
    (path / "knownrun.data.gz").write_bytes(_data_file(recipe.species))
    return truth_of(recipe)


def write_run_set(root: str | os.PathLike[str], recipe: RunRecipe, replicas: int = 5,
                  seed: int | np.random.Generator | None = None, *, shuffle_columns: bool = False) -> Truth:
    """Write `replicas` independent replicas of `recipe` into root/replica_1, ... (root is created).

    Returns
    -------
    Truth
        The coefficients, the same for every replica, in SI units.

    Raises
    ------
    ValueError
        Fewer than one replica.

    Examples
    --------
    >>> import tempfile, quor_pp
    >>> root = tempfile.mkdtemp()
    >>> truth = write_run_set(root, SHAPES["noisy"], replicas=3, seed=1)
    >>> truth.viscosity, f"{truth.maxwell_stefan['wat-meoh']:.4g} m^2/s"
    (0.001, '1.616e-09 m^2/s')
    >>> row = quor_pp.analyze(root).row("viscosity")
    >>> row.status, abs(row.value / truth.viscosity - 1.0) < 0.3
    ('ok', True)
    """
    if replicas < 1:
        raise ValueError(f"a run set needs at least one replica, not {replicas}")
    generator = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
    base = pathlib.Path(root)
    base.mkdir(parents=True, exist_ok=True)
    truth = truth_of(recipe)
    for replica in range(1, replicas + 1):
        write_replica(base / f"replica_{replica}", recipe, generator, replica=replica,
                      shuffle_columns=shuffle_columns)
    return truth


# --- curve shapes ----------------------------------------------------------------------------------

#: A binary mixture like water and methanol: 100 and 25 molecules at liquid density.
_MIXTURE = (Species("wat", 100, 18.015, 2.1e-9), Species("meoh", 25, 32.042, 1.5e-9))

_BASE = RunRecipe(_MIXTURE, volume=3750.0, steps=2**14, blocks=6, name="synthetic water-methanol")

#: Curve shapes of the benchmark: short or long relaxation times, more or less noise.
#: "short": velocities relax in 50 fs, stresses in 100 fs, heat flux in 50 fs; a run of
#: 164 ps written to lags of 20 ps;
#: "long": velocities in 500 fs, stresses and heat flux with a slow tail of 1 ps and
#: 0.5 ps (two thirds of their integral), as a viscous liquid has; a run of 328 ps
#: sampled every 20 fs, written to lags of 82 ps;
#: "noisy": the short shapes, from a run half as long with half the molecules;
#: "quiet": the short shapes, from a run twice as long.
SHAPES: dict[str, RunRecipe] = {
    "short": _BASE,
    "long": replace(_BASE, momentum_relaxation=500.0, stress_relaxation=Relaxation((0.85, 0.15), (100.0, 1000.0)),
                    heat_relaxation=Relaxation((0.8, 0.2), (50.0, 500.0)), sample_interval=20.0, blocks=7),
    "noisy": replace(_BASE, species=(Species("wat", 50, 18.015, 2.1e-9), Species("meoh", 12, 32.042, 1.5e-9)),
                     volume=1860.0, steps=2**13),
    "quiet": replace(_BASE, steps=2**15),
}
