"""The ground floor: unit systems, writing files whole, and the HTML markup of tables.

Holds what every other layer may use and what knows nothing of runs: `units`
(LAMMPS unit styles in SI), `outputs` (files written atomically, never over an
input) and `html_table` (escaping and the table markup of every HTML view).
May import: the standard library and NumPy only, nothing else of `quor_pp`.
"""
