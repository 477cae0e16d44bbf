"""What a run with known answers is made of: its species, relaxation times and recipe, and the truth it implies.

The units are those of LAMMPS's `real` style in the files and SI in the truth; the
derivations of the truth are written beside `truth_of`.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

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


