"""Salts of Laliberte's 2009 table and their solution properties, evaluated by `_quor_pp`.

The parameters are read from the table that the `chemicals` package ships
(``Electrolytes/Laliberte2009.tsv``); nothing here retypes a coefficient. The
table gives temperatures in degrees Celsius; everything this module returns or
takes is in kelvin unless a call says ``celsius=True``.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Final

import numpy as np
import numpy.typing as npt

import _quor_pp

from .solution import (ArrayLike, DensityFit, FloatArray, HIGHEST_TEMPERATURE, INVERSION_ITERATIONS, INVERSION_RESIDUAL,
                        INVERSION_TOLERANCE, KELVIN_OFFSET, KOH_CAS, LOWEST_TEMPERATURE,
                        RangeWarning, SOURCE, SolutionProperties, UnknownSaltError, ViscosityFit,
                        _Fit, _broadcast, _concentration, _evaluate_density, _listing, _shaped,
                        _temperature)

__all__ = ["CONDUCTIVITY_RANGE", "HIGHEST_TEMPERATURE", "KELVIN_OFFSET", "LOWEST_TEMPERATURE", "SOURCE", "DensityFit",
           "RangeWarning", "Salt", "SolutionProperties", "UnknownSaltError", "ViscosityFit"]

#: The range of the Gilliam correlation of KOH's conductivity: lowest and highest
#: temperature (K) and largest mass fraction of the data it was fitted to.
CONDUCTIVITY_RANGE: Final = (273.15, 373.15, 0.55)


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
