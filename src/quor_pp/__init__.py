"""Post-processing of molecular-dynamics runs of aqueous electrolytes.

`quor_pp` is the analysis layer over the native module `_quor_pp`: it reads whole run
directories, turns mean-squared-displacement fits into transport coefficients in SI
units, and evaluates electrolyte property models.

The verbs:

- `read(path)`: one output file, its layout recognised from its content, as a `Table`
  of NumPy columns (or a `RunLog` for a LAMMPS log);
- `analyze(runs)`: every quantity of a run over its replicas, as a `Report` with the
  tidy table and every fit; ``jobs=N`` analyses N replicas at once (threads on
  free-threaded CPython, processes elsewhere), ``client=`` on a Dask cluster;
- `sweep(root)`: every state point of a directory tree (salt, molality,
  temperature), as one `SweepReport`;
- `salt(name)`: a salt's solution properties from Laliberte's correlations;
- `find_replicas(runs)`, `find_state_points(root)`: what `analyze` and `sweep` would
  analyse.

Names are loaded when first used, so that ``import quor_pp`` (and ``quor-pp
--help``) stays quick; everything else is importable from its module
(`quor_pp.quantities`, `quor_pp.parallel`, `quor_pp.units`, ...).
"""

from __future__ import annotations

try:
    from ._version import __version__  # written into the wheel when it is built
except ImportError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

TYPE_CHECKING = False  # not typing's: importing typing would lengthen every start
if TYPE_CHECKING:
    from typing import Any

    from .errors import FormatError, TruncatedFileWarning
    from .files import Table, read
    from .fitting import Fit, WindowSettings
    from .logs import RunLog
    from .report import Report, Row, analyze, find_replicas
    from .results import Estimate, MissingInputError, ReplicaFailure, ReplicaFailureWarning
    from .salts import RangeWarning, SolutionProperties, UnknownSaltError, salt
    from .settings import AnalysisSettings
    from .sweeps import StatePoint, SweepReport, find_state_points, sweep

__all__ = [
    "AnalysisSettings",
    "Estimate",
    "Fit",
    "FormatError",
    "MissingInputError",
    "RangeWarning",
    "ReplicaFailure",
    "ReplicaFailureWarning",
    "Report",
    "Row",
    "RunLog",
    "SolutionProperties",
    "StatePoint",
    "SweepReport",
    "Table",
    "TruncatedFileWarning",
    "UnknownSaltError",
    "WindowSettings",
    "__version__",
    "analyze",
    "find_replicas",
    "find_state_points",
    "read",
    "salt",
    "sweep",
]

# Where each name lives: the public ones, and older spellings kept for callers that use them.
_MODULES = {
    "AnalysisSettings": "settings", "RunFiles": "settings",
    "Estimate": "results", "MissingInputError": "results", "ReplicaFailure": "results",
    "ReplicaFailureWarning": "results", "ReplicaResult": "results",
    "Fit": "fitting", "WindowSettings": "fitting", "fit_window": "fitting",
    "FormatError": "errors", "TruncatedFileWarning": "errors",
    "RangeWarning": "salts", "SolutionProperties": "salts", "UnknownSaltError": "salts", "salt": "salts",
    "DensityFit": "salts", "ViscosityFit": "salts", "Salt": "salts",
    "Report": "report", "Row": "report", "analyze": "report", "find_replicas": "report", "combine": "report",
    "RunLog": "logs", "group_counts": "logs", "read_log": "logs",
    "StatePoint": "sweeps", "SweepReport": "sweeps", "find_state_points": "sweeps", "sweep": "sweeps",
    "PatternError": "sweeps",
    "Table": "files", "read": "files", "LAYOUTS": "files", "Kind": "files",
    "ENGINES": "parallel", "choose_engine": "parallel", "map_replicas": "parallel",
    "analyze_replica": "transport",
    "UNIT_SYSTEMS": "units", "UnitSystem": "units", "unit_system": "units",
    "YEH_HUMMER_XI": "quantities",
    "ClusterError": "parallel", "Outcomes": "parallel", "OutputPathError": "outputs",
}


def __getattr__(name: str) -> Any:
    import importlib
    import importlib.util

    module = _MODULES.get(name)
    if module is None:
        if not name.startswith("_") and importlib.util.find_spec(f"{__name__}.{name}") is not None:
            return importlib.import_module(f"{__name__}.{name}")  # a submodule, as after `import quor_pp.name`
        raise AttributeError(f"module 'quor_pp' has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_MODULES})
