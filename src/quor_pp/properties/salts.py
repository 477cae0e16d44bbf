"""Salts of Laliberte's 2009 table and their solution properties, evaluated by `_quor_pp`.

The parameters are read from the table that the `chemicals` package ships
(``Electrolytes/Laliberte2009.tsv``); nothing here retypes a coefficient. The
table gives temperatures in degrees Celsius; everything this module returns or
takes is in kelvin unless a call says ``celsius=True``.
"""

from __future__ import annotations

import csv
import difflib
import functools
import importlib.util
import math
import re
import unicodedata
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path
from typing import Any, Final, overload

import numpy as np
import numpy.typing as npt

import _quor_pp

__all__ = [
    "DensityFit",
    "RangeWarning",
    "Salt",
    "SolutionProperties",
    "UnknownSaltError",
    "ViscosityFit",
    "laliberte_table",
    "salt",
]

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


#: The range of the Gilliam correlation of KOH's conductivity: lowest and highest
#: temperature (K) and largest mass fraction of the data it was fitted to.
CONDUCTIVITY_RANGE: Final = (273.15, 373.15, 0.55)


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
        (`CONDUCTIVITY_RANGE`); their conductivity is NaN where the correlation
        gives no positive value.
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


@dataclass(frozen=True, slots=True, kw_only=True)
class Salt:
    """One solute of Laliberte's table with methods that evaluate its solutions.

    Obtain one with `quor_pp.salt`. Every method takes temperatures in kelvin
    (degrees Celsius with ``celsius=True``) and concentrations as scalars or
    arrays that broadcast against each other; scalars give a float, arrays an
    ndarray. A point outside the fitted range gives a `RangeWarning`.

    Attributes
    ----------
    name : str
        Name as the table gives it, e.g. ``"Sodium Chloride"``.
    formula : str
        Formula as the table gives it, e.g. ``"NaCl"``.
    cas : str
        CAS registry number.
    molecular_weight : float
        Molecular weight, g/mol.
    density_fit : DensityFit
        Density parameters and their fitted range.
    viscosity_fit : DensityFit or None
        Viscosity parameters and their fitted range; None where the table has none.
    """

    name: str
    formula: str
    cas: str
    molecular_weight: float
    density_fit: DensityFit = field(repr=False)
    viscosity_fit: ViscosityFit | None = field(repr=False)

    @property
    def has_conductivity(self) -> bool:
        """Whether a conductivity model exists for this salt (KOH only)."""
        return self.cas == KOH_CAS

    def mass_fraction(self, molality: ArrayLike) -> float | FloatArray:
        """Solute mass fraction of solutions of the given molalities.

        Parameters
        ----------
        molality : float or array_like
            Molality, mol per kg of water; finite and not negative.

        Returns
        -------
        float or ndarray
            Mass fraction of the salt, between 0 and 1.

        Examples
        --------
        >>> round(quor_pp.salt("NaCl").mass_fraction(1.0), 6)
        0.055222
        """
        b = _concentration(molality, "molality")
        w = np.asarray(_quor_pp.molality_to_mass_fraction(b.ravel(), self.molecular_weight))
        return _shaped(w, b.shape)

    def density(self, temperature: ArrayLike, molality: ArrayLike, *,
                celsius: bool = False) -> float | FloatArray:
        """Solution density from the Laliberte model.

        Parameters
        ----------
        temperature : float or array_like
            Temperature, K (°C when `celsius` is true).
        molality : float or array_like
            Molality, mol per kg of water.
        celsius : bool, optional
            Take `temperature` in degrees Celsius.

        Returns
        -------
        float or ndarray
            Density, kg/m³.

        Raises
        ------
        ValueError
            A temperature below 173.15 K (likely degrees Celsius given as
            kelvin) or above 647.096 K (water's critical point), a negative
            molality or a non-finite value.

        Warns
        -----
        RangeWarning
            A point outside the fitted temperatures or mass fractions.

        Examples
        --------
        >>> nacl = quor_pp.salt("NaCl")
        >>> round(nacl.density(298.15, 1.0), 2)
        1036.12
        >>> round(nacl.density(25.0, 1.0, celsius=True), 2)
        1036.12
        """
        return self._density_molarity(temperature, molality, celsius)[0]

    def molarity(self, temperature: ArrayLike, molality: ArrayLike, *,
                 celsius: bool = False) -> float | FloatArray:
        """Molarity of solutions of the given molality, through the Laliberte density.

        Parameters
        ----------
        temperature : float or array_like
            Temperature, K (°C when `celsius` is true).
        molality : float or array_like
            Molality, mol per kg of water.
        celsius : bool, optional
            Take `temperature` in degrees Celsius.

        Returns
        -------
        float or ndarray
            Molarity, mol/L.

        Raises
        ------
        ValueError
            As for `density`.

        Warns
        -----
        RangeWarning
            A point outside the fitted temperatures or mass fractions.

        Examples
        --------
        >>> round(quor_pp.salt("NaCl").molarity(298.15, 1.0), 4)
        0.9789
        """
        return self._density_molarity(temperature, molality, celsius)[1]

    def molality(self, temperature: ArrayLike, molarity: ArrayLike, *,
                 celsius: bool = False) -> float | FloatArray:
        """Molality of solutions of the given molarity: the Laliberte density model inverted.

        Parameters
        ----------
        temperature : float or array_like
            Temperature, K (°C when `celsius` is true).
        molarity : float or array_like
            Molarity, mol/L.
        celsius : bool, optional
            Take `temperature` in degrees Celsius.

        Returns
        -------
        float or ndarray
            Molality, mol per kg of water.

        Raises
        ------
        ValueError
            As for `density`, and for a molarity that the density model does
            not reach at that temperature.

        Warns
        -----
        RangeWarning
            A point outside the fitted temperatures or mass fractions.

        Examples
        --------
        >>> nacl = quor_pp.salt("NaCl")
        >>> round(nacl.molality(298.15, nacl.molarity(298.15, 2.0)), 10)
        2.0
        """
        t, c = _broadcast(_temperature(temperature, celsius), _concentration(molarity, "molarity"))
        b = self._invert(t.ravel(), c.ravel())
        self._warn_outside(self.density_fit, "density", t.ravel(), self._mass_fraction(b))
        return _shaped(b, t.shape)

    def viscosity(self, temperature: ArrayLike, molality: ArrayLike, *,
                  celsius: bool = False) -> float | FloatArray:
        """Dynamic viscosity from the Laliberte model.

        Parameters
        ----------
        temperature : float or array_like
            Temperature, K (°C when `celsius` is true).
        molality : float or array_like
            Molality, mol per kg of water.
        celsius : bool, optional
            Take `temperature` in degrees Celsius.

        Returns
        -------
        float or ndarray
            Viscosity, Pa·s.

        Raises
        ------
        ValueError
            As for `density`, and when the table has no viscosity fit for the salt.

        Warns
        -----
        RangeWarning
            A point outside the fitted temperatures or mass fractions.

        Examples
        --------
        >>> round(quor_pp.salt("NaCl").viscosity(298.15, 1.0) * 1e3, 4)
        0.9717
        """
        fit = self._viscosity_fit()
        t, b = _broadcast(_temperature(temperature, celsius), _concentration(molality, "molality"))
        eta = np.asarray(_quor_pp.laliberte_viscosity(
            t.ravel(), b.ravel(), self.molecular_weight, **fit.parameters()))
        self._warn_outside(fit, "viscosity", t.ravel(), self._mass_fraction(b.ravel()))
        return _shaped(eta, t.shape)

    def conductivity(self, temperature: ArrayLike, molality: ArrayLike, *,
                     celsius: bool = False) -> float | FloatArray:
        """Electrical conductivity of potassium hydroxide solutions (Gilliam correlation).

        Below 353.15 K the correlation works on molarity, taken from the
        Laliberte density; from 353.15 K up on the mass fraction.

        Parameters
        ----------
        temperature : float or array_like
            Temperature, K (°C when `celsius` is true).
        molality : float or array_like
            Molality, mol per kg of water.
        celsius : bool, optional
            Take `temperature` in degrees Celsius.

        Returns
        -------
        float or ndarray
            Conductivity, S/m.

        Raises
        ------
        ValueError
            As for `density`, and for any salt other than KOH.

        Warns
        -----
        RangeWarning
            A point outside the correlation's range (`CONDUCTIVITY_RANGE`: 0 to
            100 °C, mass fractions to 0.55), where it gives NaN rather than a
            conductivity that is not positive; a point below 353.15 K outside
            the density fit.

        Examples
        --------
        >>> round(quor_pp.salt("KOH").conductivity(298.15, 1.0), 2)
        21.33
        """
        if not self.has_conductivity:
            raise ValueError(f"no conductivity model for {self.formula}: "
                             "the Gilliam correlation is for KOH only")
        t, b = _broadcast(_temperature(temperature, celsius), _concentration(molality, "molality"))
        sigma = np.asarray(_quor_pp.koh_gilliam_eval(
            t.ravel(), b.ravel(), self.molecular_weight, **self.density_fit.parameters()))
        low = t.ravel() < 353.15  # only the low-temperature branch uses the density fit
        self._warn_outside(self.density_fit, "density", t.ravel()[low],
                           self._mass_fraction(b.ravel()[low]))
        sigma, _ = self._conductivity_checked(sigma, t.ravel(), self._mass_fraction(b.ravel()))
        return _shaped(sigma, t.shape)

    def _conductivity_checked(self, sigma: FloatArray, temperature: FloatArray,
                              mass_fraction: FloatArray) -> tuple[FloatArray, npt.NDArray[np.bool_]]:
        """The correlation's values with NaN where they are not positive, and the points outside its range."""
        low, high, widest = CONDUCTIVITY_RANGE
        outside = (temperature < low) | (temperature > high) | (mass_fraction > widest)
        count = int(outside.sum())
        if count:
            i = int(np.argmax(outside))
            warnings.warn(f"{self.formula}: {count} of {outside.size} points lie outside the conductivity "
                          f"correlation ({low:g} to {high:g} K, mass fraction to {widest:g}), e.g. "
                          f"{temperature[i]:.2f} K at mass fraction {mass_fraction[i]:.4g}", RangeWarning,
                          stacklevel=4)
        # A conductivity is positive: a correlation extrapolated to a negative one gives none.
        return np.where(sigma > 0.0, sigma, np.nan), outside

    def properties(self, temperature: ArrayLike, *, molality: ArrayLike | None = None,
                   molarity: ArrayLike | None = None, celsius: bool = False) -> SolutionProperties:
        """Every property the table allows for this salt, on the given state points.

        Give either `molality` or `molarity`; the other is computed. The
        temperatures and concentrations broadcast against each other.

        Parameters
        ----------
        temperature : float or array_like
            Temperature, K (°C when `celsius` is true).
        molality : float or array_like, optional
            Molality, mol per kg of water.
        molarity : float or array_like, optional
            Molarity, mol/L.
        celsius : bool, optional
            Take `temperature` in degrees Celsius.

        Returns
        -------
        SolutionProperties
            Temperatures (K), both concentrations, mass fraction, density,
            viscosity (if fitted), conductivity (KOH only) and the points
            outside each fit, flattened to one dimension.

        Raises
        ------
        ValueError
            Neither or both of `molality` and `molarity`, or bad values as for
            `density` and `molality`.

        Warns
        -----
        RangeWarning
            Once per model when points lie outside its fitted range.

        Examples
        --------
        >>> p = quor_pp.salt("KCl").properties([288.15, 298.15], molality=[1.0, 2.0])
        >>> p.density.round(1).tolist()
        [1044.1, 1081.8]
        """
        if (molality is None) == (molarity is None):
            raise ValueError("give either molality or molarity, not both or neither")
        kelvin = _temperature(temperature, celsius)
        if molality is not None:
            t, b = _broadcast(kelvin, _concentration(molality, "molality"))
            t, b = t.ravel(), b.ravel()
            density, c = _evaluate_density(self, t, b)
        else:
            assert molarity is not None
            t, c = _broadcast(kelvin, _concentration(molarity, "molarity"))
            t, c = t.ravel(), c.ravel()
            b = self._invert(t, c)
            density = _evaluate_density(self, t, b)[0]
        w = self._mass_fraction(b)
        outside_density = self.density_fit.outside(t, w)
        self._warn_outside(self.density_fit, "density", t, w)
        viscosity = None
        outside_viscosity = np.zeros(t.shape, dtype=bool)
        if self.viscosity_fit is not None:
            viscosity = np.asarray(_quor_pp.laliberte_viscosity(
                t, b, self.molecular_weight, **self.viscosity_fit.parameters()))
            outside_viscosity = self.viscosity_fit.outside(t, w)
            self._warn_outside(self.viscosity_fit, "viscosity", t, w)
        conductivity = None
        outside_conductivity = None
        if self.has_conductivity:
            conductivity, outside_conductivity = self._conductivity_checked(np.asarray(_quor_pp.koh_gilliam_eval(
                t, b, self.molecular_weight, **self.density_fit.parameters())), t, w)
        return SolutionProperties(self, t, b, c, w, density, viscosity, conductivity,
                                  outside_density, outside_viscosity, outside_conductivity)

    def __str__(self) -> str:
        return f"{self.formula} ({self.name}, CAS {self.cas}, {self.molecular_weight:g} g/mol)"

    @property
    def label(self) -> str:
        """Formula and name, e.g. ``"NaCl (Sodium Chloride)"``."""
        return f"{self.formula} ({self.name})"

    # Helpers shared by the methods.

    def _density_molarity(self, temperature: ArrayLike, molality: ArrayLike,
                          celsius: bool) -> tuple[float | FloatArray, float | FloatArray]:
        t, b = _broadcast(_temperature(temperature, celsius), _concentration(molality, "molality"))
        density, molarity = _evaluate_density(self, t.ravel(), b.ravel())
        self._warn_outside(self.density_fit, "density", t.ravel(), self._mass_fraction(b.ravel()),
                           stacklevel=4)
        return _shaped(density, t.shape), _shaped(molarity, t.shape)

    def _mass_fraction(self, molality: FloatArray) -> FloatArray:
        return np.asarray(_quor_pp.molality_to_mass_fraction(molality, self.molecular_weight))

    def _viscosity_fit(self) -> ViscosityFit:
        if self.viscosity_fit is None:
            raise ValueError(f"Laliberte's table has no viscosity fit for {self.formula}")
        return self.viscosity_fit

    def _invert(self, temperature: FloatArray, molarity: FloatArray) -> FloatArray:
        """Molality for each (temperature, molarity): one inversion call per distinct temperature."""
        molality = np.empty_like(molarity)
        parameters = self.density_fit.parameters()
        for value in np.unique(temperature):
            at = temperature == value
            try:
                molality[at] = _quor_pp.molarity_to_molality(
                    molarity[at], float(value), self.molecular_weight, **parameters,
                    tolerance=INVERSION_TOLERANCE, maximum_iterations=INVERSION_ITERATIONS)
            except ValueError:
                # The search brackets molalities from 1e-12 mol/kg up; say which end was missed.
                lowest, highest = _quor_pp.laliberte_density(
                    [float(value)] * 2, [1e-12, 1e6], self.molecular_weight, **parameters)[1]
                given = molarity[at]
                if (given[given > 0] < lowest).any():
                    small = given[(given > 0) & (given < lowest)]
                    raise ValueError(
                        f"{self.formula}: molarity {_listing(small)} mol/L is below the smallest the "
                        f"conversion resolves, {lowest:.3g} mol/L (1e-12 mol/kg) at {float(value):.2f} K"
                    ) from None
                raise ValueError(
                    f"{self.formula}: the density model reaches no molality for some of the molarities "
                    f"{_listing(given)} mol/L at {float(value):.2f} K "
                    f"(it gives {highest:.4g} mol/L at 1e6 mol/kg)") from None
        back = _evaluate_density(self, temperature, molality)[1]
        bad = ~(np.abs(back - molarity) <= INVERSION_RESIDUAL * np.maximum(1.0, molarity))
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(f"{self.formula}: no molality gives {molarity[i]:g} mol/L "
                             f"at {temperature[i]:.2f} K (the density model turns back before it)")
        return molality

    def _warn_outside(self, fit: _Fit, model: str, temperature: FloatArray,
                      mass_fraction: FloatArray, stacklevel: int = 3) -> None:
        outside = fit.outside(temperature, mass_fraction)
        count = int(outside.sum())
        if count:
            i = int(np.argmax(outside))
            warnings.warn(
                f"{self.formula}: {count} of {outside.size} points lie outside the {model} fit "
                f"({fit.describe()}), e.g. {temperature[i]:.2f} K at mass fraction "
                f"{mass_fraction[i]:.4g}", RangeWarning, stacklevel=stacklevel)


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


# The table.

def table_path() -> Path:
    """Where the installed `chemicals` package keeps Laliberte's table.

    The package is located without being imported (importing it loads pandas and SciPy).

    Raises
    ------
    ModuleNotFoundError
        `chemicals` is not installed.
    FileNotFoundError
        The installed `chemicals` has no such table.
    """
    found = importlib.util.find_spec("chemicals")
    locations = list(found.submodule_search_locations or []) if found is not None else []
    if not locations:
        raise ModuleNotFoundError(
            f"the salt table comes from the 'chemicals' package, which is not installed: {INSTALL_HINT}",
            name="chemicals")
    for location in locations:
        path = Path(location) / "Electrolytes" / "Laliberte2009.tsv"
        if path.is_file():
            return path
    raise FileNotFoundError(f"the installed chemicals package ({locations[0]}) "
                            "has no Electrolytes/Laliberte2009.tsv")


def laliberte_table(path: str | Path | None = None) -> tuple[Salt, ...]:
    """All salts of Laliberte's 2009 table, in the table's order.

    Parameters
    ----------
    path : str or path-like, optional
        A table in the same tab-separated layout; by default the one the
        installed `chemicals` package ships.

    Returns
    -------
    tuple of Salt
        One entry per row that has density parameters.

    Raises
    ------
    ModuleNotFoundError
        `chemicals` is not installed (and no `path` was given).
    ValueError
        The file does not have the table's layout.
    """
    return _read_table(Path(path) if path is not None else table_path())


@functools.cache
def _read_table(path: Path) -> tuple[Salt, ...]:
    with path.open(newline="", encoding="utf-8") as stream:
        rows = list(csv.reader(stream, delimiter="\t"))
    if not rows:
        raise ValueError(f"{path}: empty file, expected Laliberte's table")
    header = [name.strip() for name in rows[0]]
    for position, name in _COLUMNS.items():
        if position >= len(header) or header[position] != name:
            found = header[position] if position < len(header) else "nothing"
            raise ValueError(f"{path}: column {position + 1} of the header is {found!r}, expected {name!r}")
    salts = []
    for number, row in enumerate(rows[1:], start=2):
        cells = [cell.strip() for cell in row] + [""] * max(0, len(_COLUMNS) - len(row))
        if not any(cells):
            continue
        try:
            density = _fit(DensityFit, cells, 4, ("c0", "c1", "c2", "c3", "c4"))
            if density is None:
                continue  # a row without density parameters is of no use here
            salts.append(Salt(name=cells[0], cas=cells[1], formula=cells[2],
                              molecular_weight=_number(cells[3]), density_fit=density,
                              viscosity_fit=_fit(ViscosityFit, cells, 13,
                                                 ("v1", "v2", "v3", "v4", "v5", "v6"))))
        except ValueError as error:
            raise ValueError(f"{path}, line {number}: {error}") from None
    return tuple(salts)


def _number(cell: str) -> float:
    value = float(cell)
    if not math.isfinite(value):
        raise ValueError(f"non-finite number {cell!r}")
    return value


def _fit[F: (DensityFit, ViscosityFit)](kind: type[F], cells: list[str], first: int,
                                        names: tuple[str, ...]) -> F | None:
    """The parameters in the columns from `first` on, then Min T, Max T (°C), Max w and points."""
    block = cells[first:first + len(names) + 4]
    if not any(block[:len(names)]):
        return None
    *parameters, _, _, max_w, points = (_number(cell) for cell in block)
    low, high = (_kelvin_from_text(cell) for cell in block[-4:-2])
    return kind(**dict(zip(names, parameters)), temperature_range=(low, high),
                max_mass_fraction=max_w, points=int(points))


def _kelvin_from_text(celsius: str) -> float:
    """A table temperature in kelvin, added in decimal so that -14.1 °C is 259.05 K, not 259.04999999999995."""
    return float(Decimal(celsius) + Decimal("273.15"))


# Lookup.

def _normalise(text: str) -> str:
    """Case, blanks, punctuation and British spellings do not matter in a key."""
    text = unicodedata.normalize("NFKC", text).casefold()
    text = text.replace("sulph", "sulf").replace("aluminium", "aluminum")
    return re.sub(r"[\W_]+", "", text)


@functools.cache
def _index(path: Path) -> dict[str, tuple[Salt, ...]]:
    """Normalised names, formulas and CAS numbers of the table at `path`, to their salts."""
    salts = _read_table(path)
    index: dict[str, tuple[Salt, ...]] = {}
    for entry in salts:
        for key in {_normalise(entry.name), _normalise(entry.formula), _normalise(entry.cas)}:
            if entry not in index.get(key, ()):
                index[key] = index.get(key, ()) + (entry,)
    return index


def salt(key: str, *, table: str | Path | None = None) -> Salt:
    """Look a salt up in Laliberte's 2009 table by name, formula or CAS number.

    Case, blanks and punctuation are ignored, and British spellings
    (sulphate, aluminium) are accepted.

    Parameters
    ----------
    key : str
        Name (``"sodium chloride"``), formula (``"NaCl"``) or CAS number (``"7647-14-5"``).
    table : str or path-like, optional
        Another table in the same layout; by default the one `chemicals` ships.

    Returns
    -------
    Salt
        The salt, with its parameters and methods evaluating its solutions.

    Raises
    ------
    UnknownSaltError
        Nothing matches (or several salts do); the message lists close matches.
    ModuleNotFoundError
        `chemicals` is not installed.

    Examples
    --------
    >>> quor_pp.salt("sodium chloride").formula
    'NaCl'
    >>> quor_pp.salt("7647-14-5") == quor_pp.salt("NaCl")
    True
    """
    if not isinstance(key, str):
        raise TypeError(f"salt key must be a str, not {type(key).__name__}")
    path = Path(table) if table is not None else table_path()
    salts, index = _read_table(path), _index(path)
    normalised = _normalise(key)
    found = index.get(normalised, ())
    if len(found) == 1:
        return found[0]
    if found:
        names = tuple(entry.label for entry in found)
        raise UnknownSaltError(f"{key!r} matches several salts: {'; '.join(names)}", key, names)
    matches = _close_matches(normalised, salts, index)
    message = f"no salt named {key!r} (by name, formula or CAS number) in Laliberte's table of {len(salts)} salts"
    if matches:
        message += "; close matches: " + "; ".join(matches)
    raise UnknownSaltError(message, key, matches)


def _close_matches(normalised: str, salts: tuple[Salt, ...],
                   index: dict[str, tuple[Salt, ...]], limit: int = 5) -> tuple[str, ...]:
    found: list[Salt] = []
    if len(normalised) >= 3:  # names containing the key, e.g. "chloride"
        found += [entry for entry in salts if normalised in _normalise(entry.name)]
    for key in difflib.get_close_matches(normalised, index, n=limit, cutoff=0.6):
        found += [entry for entry in index[key] if entry not in found]
    return tuple(entry.label for entry in found[:limit])
