"""Property models of salt solutions: Laliberte's density and viscosity, conductivity, concentration scales.

Holds `salts` (`salt(name)`, `Salt`, `SolutionProperties`) and the notebook view of
a solution's properties. Evaluated by `_quor_pp`; the parameters come from the
table that the `chemicals` package ships.
May import: `quor_pp.core`, nothing of the reading layer or above.
"""
