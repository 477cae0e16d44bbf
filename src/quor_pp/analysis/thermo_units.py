"""The unit of each column of a thermodynamic table, from its thermo keyword and the run's unit style.

A column whose keyword says what it measures (Temp, Press, PotEng, Volume, Lx, ...)
is converted to SI like every other row: K, Pa, J/mol, m³, m, kg/m³, s. Energies
go to J/mol, the unit the molecular unit styles already mean (real's kcal/mol is
the energy of the box per mole of boxes); a style whose energy is per box (metal's
eV, si's J) is taken per mole of boxes as well, so that every run's energies read
alike. Whether the run normalised its energies per atom (``thermo_modify norm``)
does not change their unit.

A compute, fix or variable (``c_*``, ``f_*``, ``v_*``) or any keyword not known
here can measure anything: its mean stays as the run wrote it, and its unit names
the unit style ("real units"), which is what the run's own output means by it.
"""

from __future__ import annotations

from typing import Final

from ..core.units import AVOGADRO, UnitSystem

__all__ = ["column_unit"]

_TEMPERATURE: Final = frozenset({"temp"})
_PRESSURE: Final = frozenset({"press", "pxx", "pyy", "pzz", "pxy", "pxz", "pyz"})
_ENERGY: Final = frozenset({
    "pe", "poteng", "ke", "kineng", "etotal", "toteng", "enthalpy", "ecouple", "econserve",
    "evdwl", "ecoul", "epair", "ebond", "eangle", "edihed", "eimp", "emol", "elong", "etail",
    "e_pair", "e_mol", "e_bond", "e_angle", "e_dihed", "e_impro", "e_vdwl", "e_coul", "e_long", "e_tail"})
_VOLUME: Final = frozenset({"vol", "volume"})
_LENGTH: Final = frozenset({"lx", "ly", "lz", "xlo", "xhi", "ylo", "yhi", "zlo", "zhi", "xy", "xz", "yz",
                            "cella", "cellb", "cellc"})
_ANGLE: Final = frozenset({"cellalpha", "cellbeta", "cellgamma"})
_TIME: Final = frozenset({"dt"})
_COUNT: Final = frozenset({"atoms"})

#: kg/m³ per density unit of each style: g/cm³ for the molecular styles, kg/m³ for si.
_DENSITY: Final = {"real": 1000.0, "metal": 1000.0, "si": 1.0}


def column_unit(name: str, units: UnitSystem) -> tuple[float, str]:
    """(factor, unit) of the column `name` of a run in `units`: the column times factor is in unit.

    Parameters
    ----------
    name : str
        The column's header in the thermodynamic table ("Temp", "PotEng", "c_msd[4]").
    units : UnitSystem
        The run's unit style.

    Returns
    -------
    tuple of (float, str)
        The factor to SI and the SI unit ("Pa", "J/mol", ...); for a reduced (lj)
        run, 1 and "reduced"; for a column whose dimension its name does not say,
        1 and the style's name ("real units").

    Examples
    --------
    >>> from quor_pp.core.units import unit_system
    >>> column_unit("Press", unit_system("real"))
    (101325.0, 'Pa')
    >>> column_unit("PotEng", unit_system("real"))
    (4184.0, 'J/mol')
    >>> column_unit("c_myTemp", unit_system("metal"))
    (1.0, 'metal units')
    """
    if units.reduced:
        return 1.0, "reduced"
    key = name.lower()
    if key in _TEMPERATURE:
        return 1.0, "K"
    if key in _PRESSURE:
        return units.pressure, "Pa"
    if key in _ENERGY:
        return units.energy * AVOGADRO, "J/mol"
    if key in _VOLUME:
        return units.volume, "m^3"
    if key in _LENGTH:
        return units.length, "m"
    if key in _ANGLE:
        return 1.0, "deg"
    if key in _TIME:
        return units.time, "s"
    if key in _COUNT:
        return 1.0, "1"
    if key == "density" and units.name in _DENSITY:
        return _DENSITY[units.name], "kg/m^3"
    return 1.0, f"{units.name} units"
