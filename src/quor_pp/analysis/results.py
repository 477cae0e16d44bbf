"""What the analysis of one replica gives: estimates with their status, or the failure in its place.

Every record here is immutable and picklable, so that results travel back from
worker processes and Dask workers unchanged, and a report built from them cannot
be altered behind its back.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .fitting import Fit

if TYPE_CHECKING:
    from .pair_structure import PairStructure

__all__ = ["Estimate", "MissingInputError", "Needs", "ReplicaFailure", "ReplicaFailureWarning", "ReplicaResult",
           "Source"]


@dataclass(frozen=True)
class Needs:
    """The setting that would supply a missing input: what a caller can give.

    The package words it as a keyword argument (``molecules={'wat': N}``) and the
    command as an option (``--molecules wat=N``); neither parses the other's text.

    Attributes
    ----------
    setting : str
        The field of `AnalysisSettings` ("molecules", "temperature", "volume",
        "viscosity", "units", "charges", "atoms_per_molecule").
    species : str
        The species it is needed for, or "" for a property of the whole box; for
        "charges", the charges the run's files suggest ("Na=1,Cl=-1").
    """

    setting: str
    species: str = ""

    def as_keyword(self) -> str:
        """How a Python caller gives it: "pass molecules={'wat': N}"."""
        if self.setting in ("molecules", "atoms_per_molecule"):
            return f"pass {self.setting}={{{self.species!r}: N}}"
        if self.setting == "units":
            return "pass units='real' or similar"
        if self.setting == "charges" and self.species:
            pairs = ", ".join(f"{name!r}: {value}" for name, _, value in
                              (pair.partition("=") for pair in self.species.split(",")))
            return f"pass charges={{{pairs}}}"
        return f"pass {self.setting}="


@dataclass(frozen=True)
class Source:
    """An input value of an estimate and where it came from.

    Attributes
    ----------
    name : str
        "N_wat", "N", "T", "V", "eta".
    value : float
    origin : str
        Where the value was taken from: "option", a file name ("nvt_prod.dat",
        "log.lammps thermo", "data.lmp"), or "fit" for the run's own value.
    """

    name: str
    value: float
    origin: str


class MissingInputError(ValueError):
    """An input that a whole replica needs (its unit style) is missing.

    Attributes
    ----------
    path : str
        The file or directory that should have said it.
    needs : Needs
        What a caller can give instead.
    """

    def __init__(self, path: str, reason: str, needs: Needs) -> None:
        self.path = path
        self.reason = reason
        self.needs = needs
        super().__init__(f"{path}: {reason}; {needs.as_keyword()}")

    def __reduce__(self) -> tuple[type[MissingInputError], tuple[str, str, Needs]]:
        return (type(self), (self.path, self.reason, self.needs))


@dataclass(frozen=True)
class Estimate:
    """One quantity from one replica.

    Attributes
    ----------
    quantity : str
        The quantity's name in the registry (`quor_pp.quantities`).
    species : str
        The species or pair ("Na", "Na-Cl"), or "" for a property of the whole box.
    value : float or None
        The value in `unit`; None unless status is "ok".
    unit : str
        "m^2/s", "Pa s", ..., or "reduced" for "lj" runs.
    status : str
        "ok", or why there is no value: a fit's status ("no window", "too few
        points", "degenerate", ...) or "missing" (an input is missing).
    message : str
        The reason in words; empty when status is "ok".
    fit : Fit or None
        The fit the value comes from, if it comes from one.
    scale : float or None
        For a value from a fit: the factor from the fit's slope (curve unit per time
        unit of the run) to `unit`, known also when the fit found no window; None
        when an input it needs is missing. The curve times `scale` and the run's
        time unit in seconds has the value as its slope against time in seconds.
    needs : Needs or None
        For status "missing": the setting that would supply the missing input.
    sources : tuple of Source
        The inputs the value was made from (molecule counts, T, V) and their origin.
    """

    quantity: str
    species: str
    value: float | None
    unit: str
    status: str = "ok"
    message: str = ""
    fit: Fit | None = field(default=None, repr=False)
    scale: float | None = field(default=None, repr=False)
    needs: Needs | None = field(default=None, repr=False)
    sources: tuple[Source, ...] = field(default=(), repr=False)

    @property
    def success(self) -> bool:
        """True when the estimate has a value (status "ok"), as for `Fit` and `Row`."""
        return self.status == "ok"


@dataclass(frozen=True)
class ReplicaResult:
    """What one run directory gave: its estimates and every fit made on the way.

    Attributes
    ----------
    path : str
        The run directory.
    units : str
        Its LAMMPS unit style.
    estimates : tuple of Estimate
    fits : tuple of Fit
    structure : tuple of PairStructure
        The curves of each pair's g(r), Kirkwood-Buff integral and running
        coordination number that the structure figures draw.
    checks : tuple of str
        The cross-checks of its inputs that were applied (keys of
        `quor_pp.analysis.cross_checks.CHECKS`), and any notes they left.
    fitted_quantities : tuple of str
        The quantities whose values came from a fit, directly or through their
        inputs: those a second pass over other windows makes again.
    """

    path: str
    units: str
    estimates: tuple[Estimate, ...]
    fits: tuple[Fit, ...] = field(repr=False)
    structure: tuple[PairStructure, ...] = field(default=(), repr=False, compare=False)
    checks: tuple[str, ...] = field(default=(), repr=False)
    fitted_quantities: tuple[str, ...] = field(default=(), repr=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "estimates", tuple(self.estimates))
        object.__setattr__(self, "fits", tuple(self.fits))
        object.__setattr__(self, "structure", tuple(self.structure))
        object.__setattr__(self, "checks", tuple(self.checks))
        object.__setattr__(self, "fitted_quantities", tuple(self.fitted_quantities))

    def get(self, quantity: str, species: str = "") -> Estimate | None:
        """The estimate of `quantity` for `species`, or None."""
        return next((e for e in self.estimates if e.quantity == quantity and e.species == species), None)


@dataclass(frozen=True)
class ReplicaFailure:
    """A run directory that could not be analysed, in place of its `ReplicaResult`.

    Attributes
    ----------
    path : str
        The run directory.
    error : str
        The kind of failure: the exception's type name ("FileNotFoundError",
        "FormatError", ...), or "WorkerLost" when the process or worker analysing
        the run died.
    message : str
        What went wrong, naming the file where a file was at fault.
    exception : BaseException or None
        The exception itself, where it could be kept (it travels back from worker
        processes without its traceback).
    """

    path: str
    error: str
    message: str
    exception: BaseException | None = field(default=None, repr=False, compare=False)

    def __str__(self) -> str:
        return self.message if self.message.startswith(self.path) else f"{self.path}: {self.message}"

    def to_dict(self) -> dict[str, Any]:
        return {"path": self.path, "error": self.error, "message": self.message}


class ReplicaFailureWarning(UserWarning):
    """A replica could not be analysed; the report holds the others (and the failure in `Report.failures`)."""
