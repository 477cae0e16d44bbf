"""The stochastic processes of a run with known answers: Ornstein-Uhlenbeck velocities and stresses,
their exact integrals, and mean-squared displacements averaged over overlapping time origins.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from .recipes import (_BOLTZMANN_ATM_A3, _BOLTZMANN_KCAL, _CHUNK, _CONDUCTIVITY_REAL, _DIFFUSION_REAL, _PER_BLOCK,
                      _VISCOSITY_REAL, FloatArray, Relaxation, RunRecipe)



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


