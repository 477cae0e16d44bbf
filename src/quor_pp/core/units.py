"""LAMMPS unit styles and their conversion to SI, derived from the defining constants."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = [
    "AVOGADRO",
    "BOLTZMANN",
    "ELEMENTARY_CHARGE",
    "UnitSystem",
    "UNIT_SYSTEMS",
    "unit_system",
]

# Exact SI defining constants (2019 redefinition).
BOLTZMANN = 1.380649e-23  # J/K
AVOGADRO = 6.02214076e23  # 1/mol
ELEMENTARY_CHARGE = 1.602176634e-19  # C

# Conventional units, exact by definition.
_ANGSTROM = 1e-10  # m
_FEMTOSECOND = 1e-15  # s
_PICOSECOND = 1e-12  # s
_ATMOSPHERE = 101325.0  # Pa
_BAR = 1e5  # Pa
_KCAL_PER_MOL = 4184.0 / AVOGADRO  # J (thermochemical calorie, per molecule)
_ELECTRONVOLT = ELEMENTARY_CHARGE  # J


@dataclass(frozen=True)
class UnitSystem:
    """One LAMMPS unit style, with the factors that take its transport units to SI.

    Attributes
    ----------
    name : str
        The LAMMPS style ("real", "metal", "si", "lj").
    length : float
        One length unit in m (1 for "lj", which stays reduced).
    time : float
        One time unit in s.
    energy : float
        One energy unit in J.
    pressure : float
        One pressure unit in Pa.
    reduced : bool
        True for "lj": results are reported in reduced units, with k_B = e = 1.
    """

    name: str
    length: float
    time: float
    energy: float
    pressure: float
    reduced: bool = False

    @property
    def diffusion(self) -> float:
        """Factor from length²/time to m²/s."""
        return self.length * self.length / self.time

    @property
    def viscosity(self) -> float:
        """Factor from pressure·time to Pa·s."""
        return self.pressure * self.time

    @property
    def thermal_conductivity(self) -> float:
        """Factor from energy/(length·time·K) to W/(m·K)."""
        return self.energy / (self.length * self.time)

    @property
    def volume(self) -> float:
        """Factor from length³ to m³."""
        return self.length * self.length * self.length

    @property
    def boltzmann(self) -> float:
        """k_B in the SI units the results are given in (J/K), or 1 when reduced."""
        return 1.0 if self.reduced else BOLTZMANN

    @property
    def elementary_charge(self) -> float:
        """e in C, or 1 when reduced."""
        return 1.0 if self.reduced else ELEMENTARY_CHARGE


UNIT_SYSTEMS: dict[str, UnitSystem] = {
    "real": UnitSystem("real", _ANGSTROM, _FEMTOSECOND, _KCAL_PER_MOL, _ATMOSPHERE),
    "metal": UnitSystem("metal", _ANGSTROM, _PICOSECOND, _ELECTRONVOLT, _BAR),
    "si": UnitSystem("si", 1.0, 1.0, 1.0, 1.0),
    "lj": UnitSystem("lj", 1.0, 1.0, 1.0, 1.0, reduced=True),
}


def unit_system(name: str) -> UnitSystem:
    """The unit style called `name`.

    Parameters
    ----------
    name : str
        A LAMMPS unit style: "real", "metal", "si" or "lj".

    Returns
    -------
    UnitSystem

    Raises
    ------
    ValueError
        For a style that quor_pp does not convert.

    Examples
    --------
    >>> f"{unit_system('real').viscosity:.6g} Pa s per atm fs"
    '1.01325e-10 Pa s per atm fs'
    >>> f"{unit_system('metal').diffusion:.6g} m^2/s per A^2/ps"
    '1e-08 m^2/s per A^2/ps'
    """
    try:
        return UNIT_SYSTEMS[name]
    except KeyError:
        known = ", ".join(UNIT_SYSTEMS)
        raise ValueError(f"unit style {name!r} is not supported (known: {known})") from None
