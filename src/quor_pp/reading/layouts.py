"""The layouts of the files a run writes, by name: what the readers and the command's help both say.

Kept apart from the readers so that `quor-pp read --help` lists them without importing NumPy.
"""

from __future__ import annotations

__all__ = ["LAYOUTS", "LOG_LAYOUT"]

LOG_LAYOUT = "a LAMMPS log (first line 'LAMMPS (...)')"

#: Every layout that `read` recognises, with the words its FormatError uses for it.
LAYOUTS: dict[str, str] = {
    "transport": "a transport table ('#' comment lines, a '#Time' header, rows of numbers)",
    "rdf": "an rdf table (column names on the first line, '#' or not, rows of numbers)",
    "thermo": "a thermodynamic-property table (a '#' title line, a '#' line of column names, rows of numbers)",
    "ave/time": "fix ave/time output ('# Time-averaged data for fix ...', '# TimeStep ...', rows or blocks of rows)",
    "ave/histo": "fix ave/histo output ('# Histogrammed data for fix ...', '# TimeStep Number-of-bins ...', "
                 "'# Bin Coord Count Count/Total', blocks of rows)",
    "ave/correlate": "fix ave/correlate output ('# Time-correlated data for fix ...', "
                     "'# Timestep Number-of-time-windows', '# Index TimeDelta Ncount ...', blocks of rows)",
    "histogram": "a bond-angle histogram (fix ave/time blocks with columns Coord and Count/Total)",
    "log": LOG_LAYOUT,
}
