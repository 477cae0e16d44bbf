"""Post-processing of molecular-dynamics runs of aqueous electrolytes.

`quor_pp` is the analysis layer over the native module `_quor_pp`: it reads whole run
directories, turns mean-squared-displacement fits into transport coefficients in SI
units, and evaluates electrolyte property models.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("quor-pp")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["__version__"]

from .salts import DensityFit, RangeWarning, Salt, SolutionProperties, UnknownSaltError, ViscosityFit, salt

__all__ += ["DensityFit", "RangeWarning", "Salt", "SolutionProperties", "UnknownSaltError",
            "ViscosityFit", "salt"]
