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
--help``) stays quick; everything else is importable from its module, in the
package's floors (`quor_pp.core`, `quor_pp.reading`, `quor_pp.properties`,
`quor_pp.analysis`, `quor_pp.workflow`, `quor_pp.views`, `quor_pp.cli`; see the
architecture page of the documentation), and the documented `quor_pp.quantities`,
`quor_pp.parallel`, `quor_pp.plots`, `quor_pp.html` and `quor_pp.source` by those names.
"""

from __future__ import annotations

try:
    from ._version import __version__  # written into the wheel when it is built
except ImportError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

TYPE_CHECKING = False  # not typing's: importing typing would lengthen every start
if TYPE_CHECKING:
    from typing import Any

    from .reading.errors import FormatError, TruncatedFileWarning
    from .reading.files import Table, read
    from .analysis.fitting import Fit, WindowSettings
    from .reading.logs import RunLog
    from .workflow.report import Report, Row, analyze, find_replicas
    from .analysis.results import Estimate, MissingInputError, ReplicaFailure, ReplicaFailureWarning
    from .properties.laliberte_table import salt
    from .properties.salts import RangeWarning, SolutionProperties, UnknownSaltError
    from .analysis.settings import AnalysisSettings
    from .workflow.sweeps import StatePoint, SweepReport, find_state_points, sweep

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
    "AnalysisSettings": "analysis.settings", "RunFiles": "analysis.settings",
    "Estimate": "analysis.results", "MissingInputError": "analysis.results", "ReplicaFailure": "analysis.results",
    "ReplicaFailureWarning": "analysis.results", "ReplicaResult": "analysis.results",
    "Fit": "analysis.fitting", "WindowSettings": "analysis.fitting", "fit_window": "analysis.window_search",
    "FormatError": "reading.errors", "TruncatedFileWarning": "reading.errors",
    "RangeWarning": "properties.salts", "SolutionProperties": "properties.salts", "UnknownSaltError": "properties.salts", "salt": "properties.laliberte_table",
    "DensityFit": "properties.salts", "ViscosityFit": "properties.salts", "Salt": "properties.salts",
    "Report": "workflow.report", "Row": "workflow.report", "analyze": "workflow.report", "find_replicas": "workflow.report", "combine": "workflow.report",
    "RunLog": "reading.logs", "group_counts": "reading.logs", "read_log": "reading.logs",
    "StatePoint": "workflow.sweeps", "SweepReport": "workflow.sweeps", "find_state_points": "workflow.sweeps", "sweep": "workflow.sweeps",
    "PatternError": "workflow.sweeps",
    "Table": "reading.files", "read": "reading.files", "LAYOUTS": "reading.files", "Kind": "reading.files",
    "ENGINES": "workflow.parallel", "choose_engine": "workflow.parallel", "map_replicas": "workflow.parallel",
    "analyze_replica": "analysis.transport",
    "UNIT_SYSTEMS": "core.units", "UnitSystem": "core.units", "unit_system": "core.units",
    "YEH_HUMMER_XI": "analysis.quantities",
    "ClusterError": "workflow.parallel", "Outcomes": "workflow.parallel", "OutputPathError": "core.outputs",
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
