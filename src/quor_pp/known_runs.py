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
import math
import os
import pathlib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace

import numpy as np
import numpy.typing as npt

__all__ = ["Relaxation", "RunRecipe", "SHAPES", "Species", "Truth", "lag_indices", "truth_of", "write_replica",
           "write_run_set"]

FloatArray = npt.NDArray[np.float64]

# Exact SI constants.
_BOLTZMANN = 1.380649e-23  # J/K
_AVOGADRO = 6.02214076e23  # 1/mol
_ELEMENTARY_CHARGE = 1.602176634e-19  # C
# LAMMPS `real` units in SI.
_ANGSTROM = 1e-10  # m
_FEMTOSECOND = 1e-15  # s
_ATMOSPHERE = 101325.0  # Pa
_KCAL_PER_MOL = 4184.0 / _AVOGADRO  # J
_DIFFUSION_REAL = _ANGSTROM * _ANGSTROM / _FEMTOSECOND  # m²/s per Å²/fs
_VISCOSITY_REAL = _ATMOSPHERE * _FEMTOSECOND  # Pa s per atm fs
_CONDUCTIVITY_REAL = _KCAL_PER_MOL / (_ANGSTROM * _FEMTOSECOND)  # W/(m K) per kcal/mol/(Å fs K)
# k_B in the units of the Helfand moments' prefactors.
_BOLTZMANN_ATM_A3 = _BOLTZMANN / (_ATMOSPHERE * _ANGSTROM**3)  # atm Å³/K
_BOLTZMANN_KCAL = _BOLTZMANN / _KCAL_PER_MOL  # kcal/mol/K

# Rows of the time grid: PER_BLOCK lags of one sample interval, then each block doubles
# the spacing and adds the lags PER_BLOCK/2 + 1 ... PER_BLOCK of it (those of a
# multiple-tau correlator, without the lag each block shares with the one before).
_PER_BLOCK = 32
# A particle series is simulated in chunks of this many particles (memory: a chunk holds
# 3 × CHUNK series of the run's length, and their spectra).
_CHUNK = 48


@dataclass(frozen=True)
class Species:
    """One kind of molecule of a synthetic run (one particle per molecule).

    Attributes
    ----------
    name : str
        Its group name in the log and its name in the column headers ("wat").
    count : int
        Molecules in the box.
    mass : float
        Molar mass in g/mol (it weights the centre of mass that is held still).
    diffusion : float
        Diffusion coefficient of a free particle in m²/s, before the centre-of-mass
        motion is removed (`Truth.self_diffusion` holds the value in the box frame).
    charge : float
        Charge of a molecule in units of e, written into the data file.
    """

    name: str
    count: int
    mass: float
    diffusion: float
    charge: float = 0.0


@dataclass(frozen=True)
class Relaxation:
    """A normalised autocorrelation function Σ_k w_k exp(−t/τ_k) (Σ w_k = 1).

    Attributes
    ----------
    weights : tuple of float
        The weights w_k (positive; they are normalised to sum to 1).
    times : tuple of float
        The relaxation times τ_k in fs.
    """

    weights: tuple[float, ...]
    times: tuple[float, ...]

    def __post_init__(self) -> None:
        if len(self.weights) != len(self.times) or not self.weights:
            raise ValueError("a relaxation needs as many weights as times, at least one")
        if not all(w > 0.0 for w in self.weights) or not all(t > 0.0 for t in self.times):
            raise ValueError("the weights and relaxation times must be positive")

    @property
    def integral(self) -> float:
        """∫₀^∞ of the normalised autocorrelation, Σ w_k τ_k / Σ w_k, in fs."""
        return sum(w * t for w, t in zip(self.weights, self.times)) / sum(self.weights)


@dataclass(frozen=True)
class RunRecipe:
    """Everything a synthetic run is made from.

    Attributes
    ----------
    species : tuple of Species
        The molecules, in the order of the files' columns.
    momentum_relaxation : float
        Relaxation time τ of the particles' velocities in fs: the MSD is ballistic
        below it and diffusive well above it. The velocity variance per axis is D/τ.
    viscosity : float
        Shear viscosity in Pa·s.
    stress_relaxation : Relaxation
        Shape of the autocorrelation of a shear stress component.
    thermal_conductivity : float
        Thermal conductivity in W/(m·K).
    heat_relaxation : Relaxation
        Shape of the autocorrelation of a heat-flux component.
    temperature : float
        Temperature in K: the mean of nvt_prod.dat's Temp column, exactly.
    volume : float
        Box volume in Å³.
    steps : int
        Samples of each simulated series (the run lasts steps × sample_interval).
    sample_interval : float
        Time between samples in fs: the first lag of the files.
    blocks : int
        Blocks of doubled spacing after the first PER_BLOCK lags; the last lag is
        32 × 2^blocks samples and must stay below `steps`.
    name : str
        A short name for the log's title.
    """

    species: tuple[Species, ...]
    momentum_relaxation: float = 50.0
    viscosity: float = 1.0e-3
    stress_relaxation: Relaxation = Relaxation((1.0,), (100.0,))
    thermal_conductivity: float = 0.6
    heat_relaxation: Relaxation = Relaxation((1.0,), (50.0,))
    temperature: float = 298.15
    volume: float = 7500.0
    steps: int = 2**15
    sample_interval: float = 10.0
    blocks: int = 7
    name: str = "synthetic mixture"

    def __post_init__(self) -> None:
        if len(self.species) < 1 or len({s.name for s in self.species}) != len(self.species):
            raise ValueError("a run needs at least one species, each with its own name")
        if any(s.count < 1 or not s.mass > 0.0 or not s.diffusion > 0.0 for s in self.species):
            raise ValueError("every species needs a positive count, mass and diffusion coefficient")
        if not (self.momentum_relaxation > 0.0 and self.viscosity > 0.0 and self.thermal_conductivity > 0.0
                and self.temperature > 0.0 and self.volume > 0.0 and self.sample_interval > 0.0):
            raise ValueError("relaxation time, transport coefficients, temperature, volume and interval must be "
                             "positive")
        if self.blocks < 0 or _PER_BLOCK * 2**self.blocks >= self.steps:
            raise ValueError(f"the last lag ({_PER_BLOCK} × 2^{self.blocks} samples) must be shorter than the run "
                             f"({self.steps} samples)")


@dataclass(frozen=True)
class Truth:
    """The values the package should report for a synthetic run, in SI units.

    Attributes
    ----------
    self_diffusion : dict of str to float
        D of each species in the box frame, m²/s.
    onsager : dict of str to float
        Λ_ij by pair "i-j" (species in the recipe's order), m²/s.
    maxwell_stefan : dict of str to float
        Đ_ij by pair "i-j", m²/s.
    viscosity : float
        Shear viscosity, Pa·s.
    thermal_conductivity : float
        W/(m·K).
    conductivity : float or None
        Electrical conductivity in S/m when some species carry a charge.
    temperature : float
        K.
    volume : float
        m³.
    """

    self_diffusion: dict[str, float]
    onsager: dict[str, float]
    maxwell_stefan: dict[str, float]
    viscosity: float
    thermal_conductivity: float
    conductivity: float | None
    temperature: float
    volume: float

    def rows(self) -> dict[tuple[str, str], float]:
        """The true values keyed like the rows of a report: (quantity, species or pair)."""
        found: dict[tuple[str, str], float] = {}
        found.update({("self_diffusion", s): v for s, v in self.self_diffusion.items()})
        found.update({("onsager", p): v for p, v in self.onsager.items()})
        found.update({("maxwell_stefan", p): v for p, v in self.maxwell_stefan.items()})
        found[("viscosity", "")] = self.viscosity
        found[("thermal_conductivity", "")] = self.thermal_conductivity
        if self.conductivity is not None:
            found[("conductivity", "")] = self.conductivity
        return found


def truth_of(recipe: RunRecipe) -> Truth:
    """The transport coefficients a run made from `recipe` has, in SI units.

    Every particle k moves freely with diffusion coefficient D_k, displacement Δx_k;
    the box holds its centre of mass still, so a particle's displacement in the box is
    Δr_k = Δx_k − ΔX with ΔX = Σ_l m_l Δx_l / M (M the total mass). For independent
    particles, at long times ⟨Δx_k · Δx_l⟩ = 6 D_k t δ_kl, hence:

    - self-diffusion in the box: D_k(1 − 2 m_k/M) + Σ_l m_l² D_l / M²;
    - collective displacement of species i, R_i = Σ_{k∈i} Δr_k = Σ_s A_is S_s with
      S_s = Σ_{k∈s} Δx_k and A_is = δ_is − N_i m_s / M, so
      Λ_ij = (1/6N) d⟨R_i · R_j⟩/dt = (1/N) Σ_s A_is A_js N_s D_s.
      Σ_j m_j R_j = 0 at every time, so Σ_j m_j Λ_ij = 0 (momentum is conserved);
    - Maxwell-Stefan diffusivities do not depend on the frame, and without
      correlations between particles they are Darken's: Đ_ij = D_i D_j Σ_k x_k / D_k,
      for two species x₂D₁ + x₁D₂;
    - σ = e² N / (V k_B T) Σ_ij q_i q_j Λ_ij.

    The Helfand moments are built so that η and κ are the recipe's values.

    Parameters
    ----------
    recipe : RunRecipe

    Returns
    -------
    Truth
    """
    species = recipe.species
    total_mass = sum(s.count * s.mass for s in species)
    total = sum(s.count for s in species)
    com = sum(s.count * s.mass * s.mass * s.diffusion for s in species) / (total_mass * total_mass)
    self_diffusion = {s.name: s.diffusion * (1.0 - 2.0 * s.mass / total_mass) + com for s in species}

    def weight(i: Species, s: Species) -> float:
        return (1.0 if i is s else 0.0) - i.count * s.mass / total_mass

    onsager: dict[str, float] = {}
    for a, first in enumerate(species):
        for second in species[a:]:
            onsager[f"{first.name}-{second.name}"] = sum(
                weight(first, s) * weight(second, s) * s.count * s.diffusion for s in species) / total
    fractions = {s.name: s.count / total for s in species}
    harmonic = sum(fractions[s.name] / s.diffusion for s in species)
    maxwell_stefan = {f"{first.name}-{second.name}": first.diffusion * second.diffusion * harmonic
                      for a, first in enumerate(species) for second in species[a + 1:]}
    volume = recipe.volume * _ANGSTROM**3
    conductivity = None
    if any(s.charge != 0.0 for s in species):
        weighted = sum(first.charge * second.charge * onsager[_pair_label(species, first, second)]
                       for first in species for second in species)
        conductivity = _ELEMENTARY_CHARGE**2 * total / (volume * _BOLTZMANN * recipe.temperature) * weighted
    return Truth(self_diffusion, onsager, maxwell_stefan, recipe.viscosity, recipe.thermal_conductivity,
                 conductivity, recipe.temperature, volume)


def _pair_label(species: Sequence[Species], first: Species, second: Species) -> str:
    a, b = sorted((first, second), key=lambda s: species.index(s))
    return f"{a.name}-{b.name}"


# --- simulation ------------------------------------------------------------------------------------


def lag_indices(blocks: int) -> npt.NDArray[np.intp]:
    """Lags of the time grid in samples: 1 ... 32, then 34 ... 64, 68 ... 128, ... (`blocks` doublings)."""
    lags = list(range(1, _PER_BLOCK + 1))
    for block in range(1, blocks + 1):
        lags += [k * 2**block for k in range(_PER_BLOCK // 2 + 1, _PER_BLOCK + 1)]
    return np.array(lags, dtype=np.intp)


def _autoregressive(rng: np.random.Generator, rows: int, steps: int, decay: float) -> FloatArray:
    """`rows` stationary AR(1) series u_{n+1} = a u_n + √(1 − a²) ξ_n of unit variance (a = `decay`).

    The recursion is solved in blocks as u_{s+j} = a^j (u_s + Σ_{k=1..j} a^{−k} e_{s+k}),
    by a cumulative sum; a block is short enough that a^{−j} stays far from overflow.
    """
    values = rng.standard_normal((rows, steps))
    values[:, 1:] *= math.sqrt(1.0 - decay * decay)
    rate = -math.log(decay) if decay > 0.0 else math.inf
    length = steps if rate * steps < 200.0 else max(1, int(200.0 / rate))
    for start in range(1, steps, length):
        stop = min(start + length, steps)
        powers = decay ** np.arange(1, stop - start + 1, dtype=np.float64)
        block = values[:, start:stop]
        block /= powers
        np.cumsum(block, axis=1, out=block)
        block += values[:, start - 1:start]
        block *= powers
    return values


def _integrated_ou(rng: np.random.Generator, rows: int, steps: int, interval: float,
                   relaxation: float) -> tuple[FloatArray, FloatArray]:
    """Unit-variance Ornstein-Uhlenbeck series u with relaxation time τ, and their exact integrals.

    Sampled at spacing h, u is AR(1) with a = exp(−h/τ). Given u_n and u_{n+1}, the
    integral over the step is Gaussian with mean τ tanh(h/2τ)(u_n + u_{n+1}) and
    variance τ²[2x − 3 + 4a − a² − (1 − a)³/(1 + a)] (x = h/τ), the conditional
    distribution of the joint Gaussian (u_{n+1}, ∫u) given u_n: the integrals are
    sampled exactly, so ⟨(I(t) − I(0))²⟩ = 2τ²(t/τ − 1 + e^{−t/τ}) at every lag.

    Returns
    -------
    values, integrals : ndarray, shape (rows, steps)
        u (unit variance) and I in units of fs, I starting at 0.
    """
    x = interval / relaxation
    decay = math.exp(-x)
    values = _autoregressive(rng, rows, steps, decay)
    if x < 0.02:  # the closed form cancels to x³/6 − x⁵/60 + O(x⁷)
        residual = x**3 / 6.0 - x**5 / 60.0
    else:
        residual = 2.0 * x - 3.0 + 4.0 * decay - decay * decay - (1.0 - decay) ** 3 / (1.0 + decay)
    integrals = rng.standard_normal((rows, steps))
    integrals[:, 0] = 0.0
    increments = integrals[:, 1:]
    increments *= relaxation * math.sqrt(max(residual, 0.0)) / (relaxation * math.tanh(0.5 * x))
    increments += values[:, :-1]
    increments += values[:, 1:]
    increments *= relaxation * math.tanh(0.5 * x)
    np.cumsum(increments, axis=1, out=increments)
    return values, integrals


def _correlated_series(rng: np.random.Generator, rows: int, steps: int, interval: float,
                       shape: Relaxation) -> tuple[FloatArray, FloatArray]:
    """Unit-variance series whose autocorrelation is `shape` (sums of independent OU terms), and their integrals."""
    values = np.zeros((rows, steps))
    integrals = np.zeros((rows, steps))
    norm = sum(shape.weights)
    for w, tau in zip(shape.weights, shape.times):
        part, integral = _integrated_ou(rng, rows, steps, interval, tau)
        scale = math.sqrt(w / norm)
        values += scale * part
        integrals += scale * integral
    return values, integrals


def _fft_length(steps: int) -> int:
    return 1 << (2 * steps - 1).bit_length()


def _centred(series: FloatArray) -> FloatArray:
    """The series minus their means, in place (a shift leaves every displacement alone, and the FFT loses less)."""
    series -= series.mean(axis=-1, keepdims=True)
    return series


def _paired_msd(first: FloatArray, second: FloatArray | None, lags: npt.NDArray[np.intp]) -> FloatArray:
    """Σ over rows of the mean over time origins s of (a(s+m) − a(s)) · (b(s+m) − b(s)), for each lag m.

    With P(s) = Σ_rows a(s) b(s) and C(m) = Σ_rows Σ_s [a(s+m) b(s) + a(s) b(s+m)] (one
    inverse FFT of the summed cross spectra), the sum over the n − m origins is
    Σ_{s<n−m} P(s) + Σ_{s≥m} P(s) − C(m). `second` None means b = a. The series
    should be centred (`_centred`) for precision.
    """
    steps = first.shape[-1]
    size = _fft_length(steps)
    spectra = np.fft.rfft(first, size)
    if second is None:
        products = np.einsum("ij,ij->j", first, first)
        flat = spectra.view(np.float64)
        np.square(flat, out=flat)
        spectrum = flat.sum(axis=0).reshape(-1, 2).sum(axis=1)
    else:
        products = np.einsum("ij,ij->j", first, second)
        other = np.fft.rfft(second, size)
        spectrum = (spectra.real * other.real + spectra.imag * other.imag).sum(axis=0)
    crossed = 2.0 * np.fft.irfft(spectrum, size)[lags]
    partial = np.concatenate(([0.0], np.cumsum(products)))
    return np.asarray((partial[steps - lags] + (partial[-1] - partial[lags]) - crossed) / (steps - lags))


@dataclass
class _Columns:
    """The curves of one replica, by file, in the file's units."""

    self_msd: dict[str, FloatArray] = field(default_factory=dict)
    onsager: dict[tuple[str, str], FloatArray] = field(default_factory=dict)
    viscosity: dict[str, FloatArray] = field(default_factory=dict)
    heat: dict[str, FloatArray] = field(default_factory=dict)


def _simulate(recipe: RunRecipe, rng: np.random.Generator) -> _Columns:
    """One replica's curves: every MSD of its particles and Helfand moments, at the grid's lags."""
    steps, interval = recipe.steps, recipe.sample_interval
    lags = lag_indices(recipe.blocks)
    columns = _Columns()
    species = recipe.species
    total_mass = sum(s.count * s.mass for s in species)

    # Particles: free displacement x = σ_v ∫u dt per axis, σ_v² = D/τ (Å²/fs²). The
    # box-frame sum over a species of |x_k − X|² is expanded so that one pass over the
    # particles suffices: Σ_k MSD(x_k) − 2 ⟨ΔS_i·ΔX⟩ + N_i MSD(X), S_i = Σ_{k∈i} x_k.
    tau = recipe.momentum_relaxation
    free: dict[str, FloatArray] = {}
    sums: dict[str, FloatArray] = {}
    for s in species:
        sigma = math.sqrt(s.diffusion / _DIFFUSION_REAL / tau)  # Å/fs
        free[s.name] = np.zeros(len(lags))
        sums[s.name] = np.zeros((3, steps))
        for start in range(0, s.count, _CHUNK):
            rows = 3 * (min(start + _CHUNK, s.count) - start)
            _, positions = _integrated_ou(rng, rows, steps, interval, tau)
            positions *= sigma
            _centred(positions)
            free[s.name] += _paired_msd(positions, None, lags)
            sums[s.name] += positions.reshape(-1, 3, steps).sum(axis=0)
    centre = np.zeros((3, steps))
    for s in species:
        centre += s.mass / total_mass * sums[s.name]
    centre_msd = _paired_msd(centre, None, lags)
    collective = {s.name: sums[s.name] - s.count * centre for s in species}
    for s in species:
        cross = _paired_msd(sums[s.name], centre, lags)
        columns.self_msd[s.name] = (free[s.name] - 2.0 * cross + s.count * centre_msd) / 6.0
    for a, first in enumerate(species):
        for second in species[a:]:
            second_series = None if first is second else collective[second.name]
            columns.onsager[(first.name, second.name)] = _paired_msd(
                collective[first.name], second_series, lags) / 6.0

    # Shear stress (atm): the five components of the traceless symmetric stress of an
    # isotropic fluid, from five independent series with the autocorrelation of one shear
    # component. Off-diagonal P_ab = s·u; the diagonal deviations P_aa − p have variance
    # 4/3 s² and covariance −2/3 s², made as (2/√3) u₁, −(1/√3) u₁ + u₂ and minus their
    # sum. η = V/(k_B T) ∫⟨P_ab(0) P_ab(t)⟩ dt fixes s². The file holds
    # V/(2 k_B) ⟨(∫P_ab dt)²⟩ for the shear components and 3/4 of it for the diagonal
    # deviations, so that every column's slope over T is η.
    temperature, volume = recipe.temperature, recipe.volume
    shape = recipe.stress_relaxation
    eta = recipe.viscosity / _VISCOSITY_REAL  # atm fs
    stress = math.sqrt(eta * _BOLTZMANN_ATM_A3 * temperature / (volume * shape.integral))  # atm
    modes = _centred(_correlated_series(rng, 5, steps, interval, shape)[1])  # ∫u dt of the five
    modes *= stress
    root3 = math.sqrt(3.0)
    xx = 2.0 / root3 * modes[3]
    yy = -modes[3] / root3 + modes[4]
    moments = {"xx": xx, "yy": yy, "zz": -(xx + yy), "xy": modes[0], "xz": modes[1], "yz": modes[2]}
    prefactor = volume / (2.0 * _BOLTZMANN_ATM_A3)
    for name, moment in moments.items():
        weight = 0.75 if name in ("xx", "yy", "zz") else 1.0
        columns.viscosity[f"MSD_{name}"] = weight * prefactor * _paired_msd(moment[None, :], None, lags)
    viscosity = columns.viscosity
    viscosity["MSD_off"] = (viscosity["MSD_xy"] + viscosity["MSD_xz"] + viscosity["MSD_yz"]) / 3.0
    viscosity["MSD_all"] = sum((viscosity[f"MSD_{c}"] for c in moments), np.zeros(len(lags))) / 6.0

    # Heat current J (kcal/mol Å/fs) per axis: κ = 1/(V k_B T²) ∫⟨J(0) J(t)⟩ dt; the file
    # holds ⟨(∫J dt)²⟩ / (2 V k_B), whose slope over T² is κ.
    shape = recipe.heat_relaxation
    kappa = recipe.thermal_conductivity / _CONDUCTIVITY_REAL
    current = math.sqrt(kappa * volume * _BOLTZMANN_KCAL * temperature**2 / shape.integral)
    flux = _centred(_correlated_series(rng, 3, steps, interval, shape)[1])
    flux *= current
    for axis, moment in zip("xyz", flux):
        columns.heat[f"MSD_{axis}"] = _paired_msd(moment[None, :], None, lags) / (2.0 * volume * _BOLTZMANN_KCAL)
    columns.heat["MSD_all"] = (columns.heat["MSD_x"] + columns.heat["MSD_y"] + columns.heat["MSD_z"]) / 3.0
    return columns


# --- files -----------------------------------------------------------------------------------------


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
