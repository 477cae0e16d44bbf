"""Reading a run: opening files, recognising their layouts, the native read into columns, logs and data files.

Holds `source` (regular and gzip-compressed files), `files` (one output file as a
`Table`), `logs` (a LAMMPS log: units, groups, thermo output), `molecules` (molecule
counts and charges from a data file), `layouts`, `table` and `errors`.
May import: `quor_pp.core` and the private native module, nothing above.
"""
