"""A run beside experiment: density, viscosity and conductivity of its salt solution, and proton hopping.

With the run's salt and molality known, each property has three rows: the run's
value, the experimental one at the run's temperature, and their relative deviation
(simulated − experimental) / experimental. Density and viscosity come from
Laliberte's correlations (`quor_pp.salts`); the conductivity of KOH from Gilliam's
correlation, that of another salt from a segmented molar-conductivity model read
from a JSON file. Outside the range a correlation was fitted on, the row says so
and gives no value.

For a hydroxide or hydronium solution the conductivity the run lacks,
Δσ = σ_exp − σ_md, is taken for proton hopping: the mean time between hops τ
(N hopping ions in a box of edge L, hops of length δ) and the diffusion the hops add,
D_hop = δ²/(6τ). A run that conducts as well as experiment or better has no
hopping deficit, and says so.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

import _quor_pp

from .results import Source
from .thermo_averages import Equilibrated, detect_equilibration

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["DEFAULT_HOP_DISTANCE", "GILLIAM_RANGE", "ConductivityModel", "experimental_at", "read_conductivity_model"]

#: The O-O distance of a hydrogen bond in liquid water at ambient conditions, m: the first
#: peak of g_OO (Soper, Chem. Phys. 258, 121 (2000)), the length of one proton transfer.
DEFAULT_HOP_DISTANCE: Final = 2.8e-10

#: Temperatures (K) and molarities (mol/L) of the data Gilliam's KOH correlation was fitted on
#: (Gilliam et al., Int. J. Hydrogen Energy 32, 359 (2007)).
GILLIAM_RANGE: Final = ((273.15, 373.15), (0.0, 12.0))

#: How far (K) the run's temperature may be from the temperature of a segmented conductivity model.
MODEL_TEMPERATURE_TOLERANCE: Final = 5.0


@dataclass(frozen=True)
class ConductivityModel:
    """Segmented molar-conductivity coefficients of one salt at one temperature.

    Attributes
    ----------
    path : str
    salt : str
    temperature : float
        The temperature the coefficients hold at, K.
    limits : tuple of float
        N molarity limits (mol/L) of N − 1 segments.
    coefficients : tuple of float
        Ten per segment, row after row: Λ0, S, e, A, B, C, D, E, F, G.
    """

    path: str
    salt: str
    temperature: float
    limits: tuple[float, ...]
    coefficients: tuple[float, ...]


def read_conductivity_model(path: str) -> ConductivityModel:
    """Read a JSON file ``{"salt": "NaCl", "temperature": 298.15, "limits": [...], "coefficients": [[10], ...]}``.

    Raises
    ------
    OSError
        The file cannot be read.
    ValueError
        It is not such a JSON object, or its segments and coefficients do not match.
    """
    import json

    with open(path, encoding="utf-8") as file:
        try:
            document = json.load(file)
        except json.JSONDecodeError as error:
            raise ValueError(f"{path}: not JSON ({error})") from None
    try:
        salt = str(document["salt"])
        temperature = float(document["temperature"])
        limits = tuple(float(v) for v in document["limits"])
        rows = [tuple(float(v) for v in row) for row in document["coefficients"]]
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{path}: a conductivity model is a JSON object with salt, temperature, limits and "
                         f"coefficients (a list of ten numbers per segment); {error!r}") from None
    if len(limits) < 2 or len(rows) != len(limits) - 1 or any(len(row) != 10 for row in rows):
        raise ValueError(f"{path}: {len(limits)} limits need {max(len(limits) - 1, 1)} rows of ten coefficients, "
                         f"not {len(rows)} rows of {', '.join(str(len(r)) for r in rows) or 'none'}")
    if not all(math.isfinite(v) for v in (temperature, *limits, *(c for row in rows for c in row))):
        raise ValueError(f"{path}: every number of a conductivity model must be finite")
    return ConductivityModel(path, salt, temperature, limits, tuple(c for row in rows for c in row))


@dataclass(frozen=True)
class _Experimental:
    value: float | None
    status: str = "ok"
    why: str = ""


def _salt_state(run: Run) -> tuple[object | None, float | None, float | None, str]:
    """(Salt, temperature K, molality) of the run, or why they are not known."""
    settings = run.settings
    if settings.salt is None or settings.molality is None:
        return None, None, None, ""
    if run.units.reduced:
        return None, None, None, "a run in reduced units has no experimental counterpart"
    temperature = run.input("T")
    if temperature.value is None:
        return None, None, None, temperature.why
    from ..properties.laliberte_table import salt

    try:
        found = salt(settings.salt)
    except (LookupError, ValueError, OSError, ImportError) as error:
        return None, None, None, f"salt {settings.salt!r}: {error}"
    return found, temperature.value, settings.molality, ""


def _evaluated(compute: object, fitted: str = "") -> _Experimental:
    """A Laliberte evaluation, with its range warning as the status 'outside range'.

    `fitted` words the range; the message is then the same for every replica, so
    that their notices are one.
    """
    from ..properties.salts import RangeWarning

    assert callable(compute)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RangeWarning)
        try:
            value = float(compute())
        except ValueError as error:
            return _Experimental(None, "missing", str(error))
    outside = [w for w in caught if issubclass(w.category, RangeWarning)]
    if outside:
        return _Experimental(None, "outside range", fitted or str(outside[0].message))
    if not math.isfinite(value):
        return _Experimental(None, "missing", f"the model gives {value}")
    return _Experimental(value)


def experimental(run: Run, prop: str) -> _Experimental | None:
    """The experimental density (kg/m³), viscosity (Pa s) or conductivity (S/m) at the run's state, or None."""
    found, temperature, molality, why = _salt_state(run)
    if found is None:
        return _Experimental(None, "missing", why) if why else None
    path = run.settings.conductivity_model
    # KOH's correlation is built in: a model file is read for another salt only
    wanted = path is not None and prop == "conductivity" and not getattr(found, "has_conductivity", False)
    model = read_conductivity_model(path) if wanted and path is not None else None
    assert temperature is not None and molality is not None
    return experimental_at(found, prop, temperature, molality, model)


def experimental_at(found: object, prop: str, temperature: float, molality: float,
                    model: ConductivityModel | None = None) -> _Experimental | None:
    """The experimental `prop` of salt `found` at `temperature` (K) and `molality` (mol/kg), or None.

    The value and status the table's ``*_experiment`` rows take: "outside range"
    wherever the correlation was not fitted. None for a conductivity without a
    model (a salt other than KOH without `model`).
    """
    from ..properties.salts import Salt

    assert isinstance(found, Salt)
    def fitted(name: str, fit: object) -> str:
        described = fit.describe() if hasattr(fit, "describe") else "its fit"
        return f"the run's state lies outside the Laliberte {name} fit of {found.formula} ({described})"

    if prop == "density":
        return _evaluated(lambda: found.density(temperature, molality), fitted("density", found.density_fit))
    if prop == "viscosity":
        return _evaluated(lambda: found.viscosity(temperature, molality), fitted("viscosity", found.viscosity_fit))
    if found.has_conductivity:
        result = _evaluated(lambda: found.conductivity(temperature, molality), fitted("density", found.density_fit))
        if result.value is not None:
            with warnings.catch_warnings():  # the range of the density fit is reported with the conductivity
                warnings.simplefilter("ignore")
                molarity = float(found.molarity(temperature, molality))
            (low, high), (_, most) = GILLIAM_RANGE
            if not (low <= temperature <= high and molarity <= most):
                return _Experimental(None, "outside range", f"the run's state lies outside Gilliam's KOH data "
                                     f"({low:g} to {high:g} K, up to {most:g} mol/L)")
        return result
    if model is None:  # no row: the KOH correlation is built in, another salt's model is given as a file
        return None
    path = model.path
    if abs(temperature - model.temperature) > MODEL_TEMPERATURE_TOLERANCE:
        return _Experimental(None, "outside range", f"{os.path.basename(path)} holds at {model.temperature:g} K, "
                             f"{MODEL_TEMPERATURE_TOLERANCE:g} K or more from the run's temperature")
    concentration = _evaluated(lambda: found.molarity(temperature, molality), fitted("density", found.density_fit))
    if concentration.value is None:
        return concentration
    try:
        sigma = _quor_pp.dewane_eval([concentration.value], list(model.limits), list(model.coefficients))[0]
    except ValueError as error:
        return _Experimental(None, "outside range", f"{os.path.basename(path)}: {error}")
    return _Experimental(float(sigma))


# --- the run's own values ---------------------------------------------------------------------------


def _density_series(run: Run) -> tuple[Equilibrated | None, int, str]:
    """The equilibrated part of density.dat's series in the file's unit, its rows, and why there is none."""
    from ..reading.files import box_mean

    path = run.path("density")
    assert path is not None
    box_mean(path)  # the layout check: one value per row
    table = run.read("density", "ave/time")
    assert table is not None
    values = table[list(table)[1]]
    try:
        return detect_equilibration(values), len(values), ""
    except ValueError as error:
        return None, len(values), f"{path}: {error}"


def simulated_density(run: Run) -> Iterable[Estimate]:
    """ρ from the run's density.dat, in kg/m³: the mean of its equilibrated part (its unit is g/cm³ for real
    and metal, kg/m³ for si)."""
    if run.path("density") is None:
        return
    found, _, why = run.memo("density series", lambda: _density_series(run))
    path = run.path("density")
    factor = {"real": 1000.0, "metal": 1000.0, "si": 1.0}.get(run.units.name, 1.0)
    if found is None:
        yield run.missing("density", "", why, None, status="not numbers")
        return
    if not (math.isfinite(found.mean) and found.mean > 0.0):
        yield run.missing("density", "", f"{path}: the density {found.mean} is not positive", None,
                          status="unphysical")
        return
    value = found.mean * factor
    yield run.value("density", "", value, sources=(Source("rho", value, os.path.basename(str(path))),
                                                   Source("start_row", found.start, "detected"),
                                                   Source("g", found.inefficiency, "detected")))


def simulated_density_error(run: Run) -> Iterable[Estimate]:
    """The standard error of the density, from the statistical inefficiency of density.dat's series.

    A file of one row holds an average already: it has no series to take an error from.
    """
    if run.path("density") is None:
        return
    found, rows, _ = run.memo("density series", lambda: _density_series(run))
    if found is None or rows < 2:
        return
    factor = {"real": 1000.0, "metal": 1000.0, "si": 1.0}.get(run.units.name, 1.0)
    if not math.isfinite(found.error):
        yield run.missing("density_error", "", "too few equilibrated samples for an error", None,
                          status="too few points")
        return
    yield run.value("density_error", "", found.error * factor, sources=(Source("g", found.inefficiency,
                                                                               "detected"),))


def _simulated(run: Run, prop: str) -> Estimate | None:
    return next(iter(run.estimates(prop)), None)


def _experiment_rows(run: Run, prop: str) -> Iterable[Estimate]:
    found = experimental(run, prop)
    if found is None:
        return
    name = f"{prop}_experiment"
    if found.value is None:
        yield run.missing(name, "", found.why, None, status=found.status)
    else:
        yield run.value(name, "", found.value, sources=(Source(name, found.value, "model"),))


def pooled_deviation(species: str, sources: Mapping[str, float]) -> float:
    return (sources["simulated"] - sources["experiment"]) / sources["experiment"]


def _deviation_rows(run: Run, prop: str) -> Iterable[Estimate]:
    found = experimental(run, prop)
    if found is None:
        return
    name = f"{prop}_deviation"
    own = _simulated(run, prop)
    if own is None:  # the run has no value of its own to compare
        return
    if found.value is None:
        yield run.missing(name, "", found.why, None, status=found.status)
    elif own.value is None:
        yield run.missing(name, "", own.message, own.needs, status=own.status)
    else:
        sources = {"simulated": own.value, "experiment": found.value}
        yield run.value(name, "", pooled_deviation("", sources),
                        sources=tuple(Source(k, v, prop) for k, v in sources.items()))


def density_experiment(run: Run) -> Iterable[Estimate]:
    return _experiment_rows(run, "density")


def density_deviation(run: Run) -> Iterable[Estimate]:
    return _deviation_rows(run, "density")


def viscosity_experiment(run: Run) -> Iterable[Estimate]:
    return _experiment_rows(run, "viscosity")


def viscosity_deviation(run: Run) -> Iterable[Estimate]:
    return _deviation_rows(run, "viscosity")


def conductivity_experiment(run: Run) -> Iterable[Estimate]:
    return _experiment_rows(run, "conductivity")


def conductivity_deviation(run: Run) -> Iterable[Estimate]:
    return _deviation_rows(run, "conductivity")


# --- proton hopping ---------------------------------------------------------------------------------


def pooled_hop_time(species: str, sources: Mapping[str, float]) -> float:
    return float(_quor_pp.tau_calculator(sources["sigma_exp"], sources["sigma_md"], sources["T"], sources["L"],
                                         sources["N"], sources["delta"]))


def pooled_hop_diffusion(species: str, sources: Mapping[str, float]) -> float:
    return float(_quor_pp.diffusion_adjustment(pooled_hop_time(species, sources), sources["delta"]))


def pooled_corrected(species: str, sources: Mapping[str, float]) -> float:
    return sources["D"] + pooled_hop_diffusion(species, sources)


def _hopping(run: Run, quantity: str) -> Iterable[Estimate]:
    ion = run.settings.hopping_ion
    if ion is None:
        return
    label = ion if quantity == "self_diffusion_hop_corrected" else ""
    found = experimental(run, "conductivity")
    own = _simulated(run, "conductivity")
    if found is None:
        yield run.missing(quantity, label, "no experimental conductivity (give --salt and --molality, and for a "
                          "salt other than KOH --conductivity-model)", None)
        return
    if found.value is None:
        yield run.missing(quantity, label, f"no experimental conductivity: {found.why}", None, status=found.status)
        return
    if own is None or own.value is None:
        why = own.message if own is not None else "no conductivity (give --charge)"
        yield run.missing(quantity, label, why, own.needs if own is not None else None)
        return
    if own.value >= found.value:
        yield run.missing(quantity, label, f"the run conducts {own.value:.4g} S/m, not less than experiment's "
                          f"{found.value:.4g} S/m: no deficit for hopping to explain", None, status="no deficit")
        return
    count, volume, temperature = run.input("N_i", ion), run.input("V"), run.input("T")
    lacking = next((i for i in (count, volume, temperature) if i.value is None), None)
    if lacking is not None:
        yield run.missing(quantity, label, lacking.why, lacking.needs)
        return
    assert count.value is not None and volume.value is not None and temperature.value is not None
    sources = [Source("sigma_exp", found.value, "model"), Source("sigma_md", own.value, "conductivity"),
               Source("T", temperature.value, temperature.origin), Source("L", volume.value ** (1.0 / 3.0), "V"),
               Source("N", count.value, count.origin),
               Source("delta", run.settings.hop_distance or DEFAULT_HOP_DISTANCE,
                      "option" if run.settings.hop_distance else "default")]
    if quantity == "self_diffusion_hop_corrected":
        d = next((e for e in run.estimates("self_diffusion") if e.species == ion), None)
        if d is None or d.value is None:
            yield run.missing(quantity, label, d.message if d is not None else f"no self-diffusion of {ion!r}",
                              None, status=d.status if d is not None else "missing")
            return
        sources.append(Source("D", d.value, "self_diffusion"))
    values = {s.name: s.value for s in sources}
    function = {"proton_hop_time": pooled_hop_time, "proton_hop_diffusion": pooled_hop_diffusion,
                "self_diffusion_hop_corrected": pooled_corrected}[quantity]
    yield run.value(quantity, label, function(label, values), sources=tuple(sources))


def proton_hop_time(run: Run) -> Iterable[Estimate]:
    return _hopping(run, "proton_hop_time")


def proton_hop_diffusion(run: Run) -> Iterable[Estimate]:
    return _hopping(run, "proton_hop_diffusion")


def self_diffusion_hop_corrected(run: Run) -> Iterable[Estimate]:
    return _hopping(run, "self_diffusion_hop_corrected")
