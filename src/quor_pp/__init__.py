"""Post-processing of molecular-dynamics runs of aqueous electrolytes.

`quor_pp` is the analysis layer over the native module `_quor_pp`: it reads whole run
directories, turns mean-squared-displacement fits into transport coefficients in SI
units, and evaluates electrolyte property models.

The main entries:

- `read(path)`: one output file, its layout recognised from its content, as a `Table`
  of NumPy columns (or a `RunLog` for a LAMMPS log);
- `group_counts(log)`: the atom count of every group of a LAMMPS log;
- `analyze(runs)`: D, η, κ (and σ with charges) of a run over its replicas, as a
  `Report` with the tidy table and every fit.
"""

from .errors import FormatError, TruncatedFileWarning
from .files import LAYOUTS, Kind, Table, read
from .fitting import Fit, WindowSettings, fit_window
from .logs import RunLog, group_counts, read_log
from .report import QUANTITIES, Report, Row, analyze, combine, find_replicas
from .salts import DensityFit, RangeWarning, Salt, SolutionProperties, UnknownSaltError, ViscosityFit, salt
from .transport import YEH_HUMMER_XI, AnalysisSettings, Estimate, ReplicaResult, RunFiles, analyze_replica
from .units import UNIT_SYSTEMS, UnitSystem, unit_system

try:
    from ._version import __version__  # written into the wheel when it is built
except ImportError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
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
    "ReplicaResult",
    "Report",
    "Row",
    "RunFiles",
    "RunLog",
    "Salt",
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
    "combine",
    "find_replicas",
    "fit_window",
    "group_counts",
    "read",
    "read_log",
    "salt",
    "unit_system",
]
