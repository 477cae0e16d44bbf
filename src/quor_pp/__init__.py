"""Post-processing of molecular-dynamics runs of aqueous electrolytes.

`quor_pp` is the analysis layer over the native module `_quor_pp`: it reads whole run
directories, turns mean-squared-displacement fits into transport coefficients in SI
units, and evaluates electrolyte property models.

The main entries:

- `read(path)`: one output file, its layout recognised from its content, as a `Table`
  of NumPy columns (or a `RunLog` for a LAMMPS log);
- `group_counts(log)`: the atom count of every group of a LAMMPS log;
- `analyze(runs)`: D, η, κ (and σ with charges) of a run over its replicas, as a
  `Report` with the tidy table and every fit; ``jobs=N`` analyses N replicas at once
  (threads on free-threaded CPython, processes elsewhere), ``client=`` on a Dask cluster;
- `sweep(root)`: every state point of a directory tree (salt, molality,
  temperature), as one tidy table.
"""

from .errors import FormatError, TruncatedFileWarning
from .files import LAYOUTS, Kind, Table, read
from .fitting import Fit, WindowSettings, fit_window
from .logs import RunLog, group_counts, read_log
from .parallel import ENGINES, choose_engine, map_replicas
from .report import QUANTITIES, Report, Row, analyze, combine, combine_outcomes, find_replicas
from .salts import DensityFit, RangeWarning, Salt, SolutionProperties, UnknownSaltError, ViscosityFit, salt
from .sweeps import StatePoint, SweepReport, find_state_points, sweep
from .transport import (YEH_HUMMER_XI, AnalysisSettings, Estimate, ReplicaFailure, ReplicaFailureWarning,
                        ReplicaResult, RunFiles, analyze_replica)
from .units import UNIT_SYSTEMS, UnitSystem, unit_system

try:
    from ._version import __version__  # written into the wheel when it is built
except ImportError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ENGINES",
    "LAYOUTS",
    "QUANTITIES",
    "UNIT_SYSTEMS",
    "YEH_HUMMER_XI",
    "AnalysisSettings",
    "DensityFit",
    "Estimate",
    "Fit",
    "FormatError",
    "Kind",
    "RangeWarning",
    "ReplicaFailure",
    "ReplicaFailureWarning",
    "ReplicaResult",
    "Report",
    "Row",
    "RunFiles",
    "RunLog",
    "Salt",
    "StatePoint",
    "SweepReport",
    "SolutionProperties",
    "Table",
    "TruncatedFileWarning",
    "UnitSystem",
    "UnknownSaltError",
    "ViscosityFit",
    "WindowSettings",
    "__version__",
    "analyze",
    "analyze_replica",
    "choose_engine",
    "combine",
    "combine_outcomes",
    "find_replicas",
    "find_state_points",
    "fit_window",
    "group_counts",
    "map_replicas",
    "read",
    "read_log",
    "salt",
    "sweep",
    "unit_system",
]
