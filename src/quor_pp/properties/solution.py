"""The records of salt-solution properties: the fit parameters of a salt, a solution's properties at its
state points, the range warnings, and the checks of temperatures and concentrations given to a model.

`salts` evaluates these with `_quor_pp`; this module holds what its results and
arguments are, so that the models read as models.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, overload

import numpy as np
import numpy.typing as npt

import _quor_pp

if TYPE_CHECKING:
    from .salts import Salt

__all__ = ["HIGHEST_TEMPERATURE", "KELVIN_OFFSET", "LOWEST_TEMPERATURE", "SOURCE", "DensityFit", "RangeWarning",
           "SolutionProperties", "UnknownSaltError", "ViscosityFit"]

#: 0 °C in kelvin.
KELVIN_OFFSET: Final = 273.15
# No aqueous solution stays liquid this cold; a lower temperature is taken to be
# degrees Celsius given as kelvin, not a state to evaluate.
LOWEST_TEMPERATURE: Final = 173.15
# Above water's critical temperature there is no liquid solution to describe.
HIGHEST_TEMPERATURE: Final = 647.096
# The Gilliam correlation is for potassium hydroxide alone.
KOH_CAS: Final = "1310-58-3"
# Brent search settings for molarity -> molality, and the residual accepted afterwards.
INVERSION_TOLERANCE: Final = 1e-12
INVERSION_ITERATIONS: Final = 200
INVERSION_RESIDUAL: Final = 1e-9

SOURCE: Final = (
    "Laliberte, J. Chem. Eng. Data 54 (2009) 1725, "
    "as shipped by the chemicals package (Electrolytes/Laliberte2009.tsv)"
)
INSTALL_HINT: Final = "pip install 'quor-pp[properties]'"

FloatArray = npt.NDArray[np.float64]
ArrayLike = float | Sequence[float] | npt.NDArray[np.floating] | npt.NDArray[np.integer]

# Column positions in the table. Its header repeats "Min T", "Max T", "Max w" and
# "No of points in corr" for each model, so columns are taken by position and the
# header is checked against these names.
_COLUMNS: Final = {
    0: "Name", 1: "CASRN", 2: "Formula", 3: "MW",
    4: "c0", 5: "c1", 6: "c2", 7: "c3", 8: "c4",
    9: "Min T", 10: "Max T", 11: "Max w", 12: "No of points in corr",
    13: "v1", 14: "v2", 15: "v3", 16: "v4", 17: "v5", 18: "v6",
    19: "Min T", 20: "Max T", 21: "Max w", 22: "No of points in corr",
}


class RangeWarning(UserWarning):
    """A state point lies outside the temperatures or mass fractions a fit was made on."""


class UnknownSaltError(LookupError):
    """No salt of the table matches the name, formula or CAS number asked for.

    Attributes
    ----------
    key : str
        The text that was looked up.
    close_matches : tuple of str
        Salts whose name or formula resembles `key`, best first (may be empty).
    """

    def __init__(self, message: str, key: str, close_matches: tuple[str, ...]) -> None:
        super().__init__(message)
        self.key = key
        self.close_matches = close_matches


@dataclass(frozen=True, slots=True, kw_only=True)
class _Fit:
    temperature_range: tuple[float, float]  # K
    max_mass_fraction: float
    points: int  # data points the fit was made on

    def outside(self, temperature: FloatArray, mass_fraction: FloatArray) -> npt.NDArray[np.bool_]:
        """Which points lie outside the fitted temperatures or above the fitted mass fraction."""
        low, high = self.temperature_range
        return (temperature < low) | (temperature > high) | (mass_fraction > self.max_mass_fraction)

    def describe(self) -> str:
        low, high = self.temperature_range
        return (f"{low:.2f} to {high:.2f} K ({low - KELVIN_OFFSET:g} to {high - KELVIN_OFFSET:g} °C), "
                f"mass fraction up to {self.max_mass_fraction:.4g}")


@dataclass(frozen=True, slots=True, kw_only=True)
class DensityFit(_Fit):
    """Laliberte density parameters of one salt and the range they were fitted on.

    Attributes
    ----------
    c0, c1, c2, c3, c4 : float
        Parameters of the apparent specific volume (c3 in 1/°C, c4 in °C), as
        `_quor_pp.laliberte_density` takes them.
    temperature_range : tuple of float
        Lowest and highest fitted temperature, K.
    max_mass_fraction : float
        Highest fitted solute mass fraction.
    points : int
        Number of data points of the fit.
    """

    c0: float
    c1: float
    c2: float
    c3: float
    c4: float

    def parameters(self) -> dict[str, float]:
        """The parameters as keyword arguments of the `_quor_pp` density functions."""
        return {"c0": self.c0, "c1": self.c1, "c2": self.c2, "c3": self.c3, "c4": self.c4}


@dataclass(frozen=True, slots=True, kw_only=True)
class ViscosityFit(_Fit):
    """Laliberte viscosity parameters of one salt and the range they were fitted on.

    Attributes
    ----------
    v1, v2, v3, v4, v5, v6 : float
        Parameters of the solute viscosity (v4 in 1/°C), as
        `_quor_pp.laliberte_viscosity` takes them.
    temperature_range : tuple of float
        Lowest and highest fitted temperature, K.
    max_mass_fraction : float
        Highest fitted solute mass fraction.
    points : int
        Number of data points of the fit.
    """

    v1: float
    v2: float
    v3: float
    v4: float
    v5: float
    v6: float

    def parameters(self) -> dict[str, float]:
        """The parameters as keyword arguments of `_quor_pp.laliberte_viscosity`."""
        return {"v1": self.v1, "v2": self.v2, "v3": self.v3,
                "v4": self.v4, "v5": self.v5, "v6": self.v6}


@dataclass(frozen=True, slots=True)
class SolutionProperties:
    """Properties of a salt's solution on a set of state points, one array entry per point.

    Attributes
    ----------
    salt : Salt
        The solute.
    temperature : ndarray
        Temperature, K.
    molality : ndarray
        Molality, mol per kg of water.
    molarity : ndarray
        Molarity, mol/L.
    mass_fraction : ndarray
        Solute mass fraction.
    density : ndarray
        Solution density, kg/m³.
    viscosity : ndarray or None
        Dynamic viscosity, Pa·s; None when the table has no viscosity fit for the salt.
    conductivity : ndarray or None
        Electrical conductivity, S/m; only for KOH, None for other salts.
    outside_conductivity_fit : ndarray of bool or None
        For KOH, the points outside the conductivity correlation's range
        (`CONDUCTIVITY_RANGE` of `quor_pp.properties.salts`); their conductivity is
        NaN where the correlation gives no positive value.
    outside_density_fit, outside_viscosity_fit : ndarray of bool
        Points outside the fitted temperatures or above the fitted mass fraction
        (all False for a model the salt has no fit for).
    """

    salt: Salt
    temperature: FloatArray
    molality: FloatArray
    molarity: FloatArray
    mass_fraction: FloatArray
    density: FloatArray
    viscosity: FloatArray | None
    conductivity: FloatArray | None
    outside_density_fit: npt.NDArray[np.bool_]
    outside_viscosity_fit: npt.NDArray[np.bool_]
    outside_conductivity_fit: npt.NDArray[np.bool_] | None = None

    def __len__(self) -> int:
        return len(self.temperature)

    def records(self) -> list[dict[str, float | bool | None]]:
        """One dict per state point, keys named with their SI unit."""
        rows: list[dict[str, float | bool | None]] = []
        for i in range(len(self)):
            row: dict[str, float | bool | None] = {
                "temperature_K": float(self.temperature[i]),
                "molality_mol_per_kg": float(self.molality[i]),
                "molarity_mol_per_L": float(self.molarity[i]),
                "mass_fraction": float(self.mass_fraction[i]),
                "density_kg_per_m3": float(self.density[i]),
                "viscosity_Pa_s": None if self.viscosity is None else float(self.viscosity[i]),
            }
            if self.conductivity is not None:
                row["conductivity_S_per_m"] = float(self.conductivity[i])
            row["outside_density_fit"] = bool(self.outside_density_fit[i])
            row["outside_viscosity_fit"] = bool(self.outside_viscosity_fit[i])
            if self.outside_conductivity_fit is not None:
                row["outside_conductivity_fit"] = bool(self.outside_conductivity_fit[i])
            rows.append(row)
        return rows

    def _repr_html_(self) -> str:
        from .solution_html import solution_html

        return solution_html(self)

    def to_pandas(self) -> Any:
        """`records` as a DataFrame (needs pandas), one row per state point."""
        import pandas

        return pandas.DataFrame(self.records())


def _evaluate_density(salt: Salt, temperature: FloatArray,
                      molality: FloatArray) -> tuple[FloatArray, FloatArray]:
    density, molarity = _quor_pp.laliberte_density(
        temperature, molality, salt.molecular_weight, **salt.density_fit.parameters())
    return np.asarray(density), np.asarray(molarity)


def _as_floats(values: ArrayLike | None, name: str) -> FloatArray:
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number or an array of numbers, not {values!r}") from None
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite, got {_listing(array[~np.isfinite(array)])}")
    return array


def _temperature(values: ArrayLike, celsius: bool) -> FloatArray:
    t = _as_floats(values, "temperature")
    kelvin = t + KELVIN_OFFSET if celsius else t
    if (kelvin < LOWEST_TEMPERATURE).any():
        lowest = float(t.min())
        if celsius:
            raise ValueError(f"temperature {lowest:g} °C is below {LOWEST_TEMPERATURE - KELVIN_OFFSET:g} °C, "
                             "where no aqueous solution is liquid")
        raise ValueError(f"temperature {lowest:g} K is below {LOWEST_TEMPERATURE:g} K, where no aqueous "
                         f"solution is liquid: for {lowest:g} °C give {lowest + KELVIN_OFFSET:g}, or "
                         "celsius=True")
    if (kelvin > HIGHEST_TEMPERATURE).any():
        highest = float(t.max())
        raise ValueError(f"temperature {highest:g} {'°C' if celsius else 'K'} is above water's critical "
                         f"temperature, {HIGHEST_TEMPERATURE - (KELVIN_OFFSET if celsius else 0):g} "
                         f"{'°C' if celsius else 'K'}: there is no liquid solution")
    return kelvin


def _concentration(values: ArrayLike, name: str) -> FloatArray:
    c = _as_floats(values, name)
    if (c < 0).any():
        raise ValueError(f"{name} must not be negative, got {_listing(c[c < 0])}")
    return c


def _broadcast(a: FloatArray, b: FloatArray) -> tuple[FloatArray, FloatArray]:
    try:
        x, y = np.broadcast_arrays(a, b)
    except ValueError:
        raise ValueError(f"temperature of shape {a.shape} and concentration of shape {b.shape} "
                         "do not broadcast together") from None
    return x.copy(), y.copy()  # writable, contiguous, 0-d kept 0-d


@overload
def _shaped(values: FloatArray, shape: tuple[()]) -> float: ...
@overload
def _shaped(values: FloatArray, shape: tuple[int, ...]) -> float | FloatArray: ...
def _shaped(values: FloatArray, shape: tuple[int, ...]) -> float | FloatArray:
    """Results in the shape of the broadcast inputs; a float for scalar inputs."""
    values = np.asarray(values, dtype=np.float64)
    return float(values[0]) if shape == () else values.reshape(shape)


def _listing(values: Iterable[float], limit: int = 4) -> str:
    items = [f"{v:g}" for v in np.asarray(values).ravel()]
    return ", ".join(items[:limit]) + (", ..." if len(items) > limit else "")
