"""A sweep's density, viscosity or conductivity against experiment, with each correlation where it holds.

The simulated points (mean ± std over each point's replicas) are drawn against
molality, one colour per salt and state temperature, with the experimental
correlation through them: Laliberte's density and viscosity, Gilliam's KOH
conductivity, or a segmented conductivity model. The correlation is evaluated as
the table's ``<property>_experiment`` rows are, at the temperature the runs
measured (each point's ``temperature`` row, and between two points a temperature
interpolated linearly in molality), not at the temperature the points are
labelled with: the curve meets each point's experimental value of the table. It is solid only where the table would give the
correlation's value (within the temperatures and concentrations it was fitted
on), dashed where the table says "outside range", and not drawn where it cannot
be evaluated at all. Each point's own experimental value from the table is
marked too, so that the figure and the table can be compared point by point.

Needs matplotlib, imported when a figure is made.
"""

from __future__ import annotations

import functools
import math
import os
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt

from ..analysis.display import display_unit
from .figure_style import FORMATS, colours, margins, new_figure, save

if TYPE_CHECKING:
    from ..workflow.sweeps import SweepReport

__all__ = ["ExperimentCurve", "experiment_curves", "plot_experiment"]

#: Points of a correlation's curve, before the ends of its fitted range are added.
_GRID: Final = 121

#: Halvings that place the end of a fitted range between two points of the curve.
_BISECTIONS: Final = 40


@dataclass(frozen=True)
class ExperimentCurve:
    """One correlation curve of a sweep's figure against experiment.

    Attributes
    ----------
    salt : str
    label_temperature : float
        The temperature the points are labelled with, K.
    temperature : ndarray
        The temperature at each point of the curve, K: at the molality of a state
        point, the temperature its runs measured (the table's ``temperature``
        row, which its experiment row is evaluated at); linear between points,
        constant beyond the first and last.
    molality : ndarray
        mol/kg, increasing; the ends of the fitted range are among them.
    values : ndarray
        The correlation in SI units (NaN where it cannot be evaluated).
    fitted : ndarray of bool
        Where the correlation holds: the table's experiment row would be "ok".
    points : list of (molality, simulated, std, table's experimental value or None, measured T or None)
        The group's state points, SI units.
    """

    salt: str
    label_temperature: float
    temperature: npt.NDArray[np.float64]
    molality: npt.NDArray[np.float64]
    values: npt.NDArray[np.float64]
    fitted: npt.NDArray[np.bool_]
    points: list[tuple[float, float, float, float | None, float | None]]


def experiment_curves(sweep: SweepReport, prop: str) -> list[ExperimentCurve]:
    """The correlation curves of `prop` ("density", "viscosity", "conductivity") over a sweep's points.

    One per salt and state temperature with simulated values; none where the salt
    has no correlation of `prop`.
    """
    groups: dict[tuple[str, float], list[tuple[float, float, float, float | None, float | None]]] = {}
    for point, report in zip(sweep.points, sweep.reports):
        if report is None:
            continue
        row = next((r for r in report.rows if (r.quantity, r.species) == (prop, "")), None)
        if row is None or row.value is None:
            continue
        table = next((r.value for r in report.rows if (r.quantity, r.species) == (f"{prop}_experiment", "")), None)
        measured = next((r.value for r in report.rows if (r.quantity, r.species) == ("temperature", "")), None)
        groups.setdefault((point.salt, point.temperature), []).append(
            (point.molality, row.value, row.std or 0.0, table, measured))
    model = _model(sweep.settings.conductivity_model) if prop == "conductivity" else None
    curves = []
    for (salt, label), points in sorted(groups.items()):
        points.sort(key=lambda p: p[0])
        known = [(b, t) for b, *_, t in points if t is not None] or [(0.0, label)]
        at_molality, at_temperature = (np.array(column) for column in zip(*known))
        temperature = functools.partial(np.interp, xp=at_molality, fp=at_temperature)
        top = max(p[0] for p in points)
        curve = _curve(salt, prop, temperature, top * 1.1 if top > 0 else 1.0, np.array([p[0] for p in points]),
                       model)
        if curve is not None:
            molality, values, fitted = curve
            along = np.asarray(temperature(molality), dtype=np.float64)
            curves.append(ExperimentCurve(salt, label, along, molality, values, fitted, points))
    return curves


def _model(path: str | None) -> Any:
    if path is None:
        return None
    from ..analysis.experiment import read_conductivity_model

    try:
        return read_conductivity_model(path)
    except (OSError, ValueError):
        return None  # the table's rows say what is wrong with the file


def _curve(salt: str, prop: str, temperature: Callable[..., Any], top: float, through: npt.NDArray[np.float64],
           model: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.bool_]] | None:
    """(molality, values, fitted) of one correlation from 0 to `top` mol/kg, through the molalities
    `through`; None without a correlation."""
    from ..analysis.experiment import experimental_at
    from ..properties import laliberte_table

    try:
        found = laliberte_table.salt(salt)
    except (LookupError, ValueError, OSError, ImportError):
        return None
    if prop == "viscosity" and found.viscosity_fit is None:
        return None
    if prop == "conductivity" and not found.has_conductivity and model is None:
        return None

    def holds(molality: float) -> bool:
        found_ = experimental_at(found, prop, float(temperature(molality)), molality, model)
        return found_ is not None and found_.value is not None

    def values(molality: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return _values(found, prop, temperature(molality), molality, model)

    grid = np.unique(np.concatenate([np.linspace(0.0, top, _GRID), through]))
    inside = np.array([holds(float(b)) for b in grid])
    # The ends of the fitted range, placed between the points of the grid where it starts or stops.
    ends = [_boundary(holds, float(grid[k]), float(grid[k + 1])) for k in np.flatnonzero(inside[1:] != inside[:-1])]
    molality = np.concatenate([grid, ends])
    fitted = np.concatenate([inside, np.ones(len(ends), dtype=bool)])
    order = np.argsort(molality, kind="stable")
    molality, fitted = molality[order], fitted[order]
    return molality, values(molality), fitted


def _boundary(holds: Callable[[float], bool], low: float, high: float) -> float:
    """The end of the fitted range between `low` and `high` (where `holds` differs), on its fitted side."""
    inside_low = holds(low)
    for _ in range(_BISECTIONS):
        middle = 0.5 * (low + high)
        if holds(middle) == inside_low:
            low = middle
        else:
            high = middle
    return low if inside_low else high


def _values(found: Any, prop: str, temperature: npt.NDArray[np.float64], molality: npt.NDArray[np.float64],
            model: Any) -> npt.NDArray[np.float64]:
    """The correlation along `molality`, in or out of its fitted range; NaN where it gives no number."""
    from ..properties import salts

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", salts.RangeWarning)
        if prop == "density":
            return np.asarray(found.density(temperature, molality), dtype=np.float64)
        if prop == "viscosity":
            return np.asarray(found.viscosity(temperature, molality), dtype=np.float64)
        if found.has_conductivity:
            return np.asarray(found.conductivity(temperature, molality), dtype=np.float64)
        import _quor_pp

        molarity = np.asarray(found.molarity(temperature, molality), dtype=np.float64)
    # A segmented model has no value outside its segments.
    inside = (molarity > model.limits[0]) & (molarity <= model.limits[-1])
    result = np.full(len(molarity), math.nan)
    if inside.any():
        result[inside] = _quor_pp.dewane_eval(list(molarity[inside]), list(model.limits), list(model.coefficients))
    return result


def plot_experiment(sweep: SweepReport, prop: str, directory: str | os.PathLike[str], *,
                    formats: Sequence[str] = FORMATS) -> list[str]:
    """One property of a sweep against molality with its experimental curves; nothing when there are none."""
    curves = experiment_curves(sweep, prop)
    if not curves:
        return []
    unit = display_unit(next(r.unit for _, r in sweep.series(prop, "")))
    figure = new_figure((9.5, 4.8))
    # The legend to the right of the axes, where it hides no curve.
    axes = figure.subplots(gridspec_kw=margins(figure, left=0.8, right=3.4, bottom=0.6, top=0.75, hspace=0.2))
    outside = marked = False
    for curve, colour in zip(curves, colours(len(curves))):
        x, y, error, table, _ = zip(*curve.points)
        axes.errorbar(x, np.array(y) / unit.scale, yerr=np.array(error) / unit.scale, fmt="o", color=colour,
                      ms=5, capsize=3, label=f"{curve.salt}, {curve.label_temperature:g} K: simulated")
        shown = [(b, v / unit.scale) for b, v in zip(x, table) if v is not None]
        if shown:
            marked = True
            axes.plot(*zip(*shown), "D", mfc="none", mec=colour, ms=7, mew=1.0)
        scaled = curve.values / unit.scale
        label = f"{curve.salt}: correlation at {_temperatures(curve.temperature)}\n(the T the runs measured)"
        if curve.fitted.any():
            axes.plot(curve.molality, np.where(curve.fitted, scaled, np.nan), "-", color=colour, lw=1.4,
                      label=label)
            label = ""
        # Outside the fitted range, joined to its ends: each outside point and its neighbours.
        beyond = ~curve.fitted
        beyond[:-1] |= ~curve.fitted[1:]
        beyond[1:] |= ~curve.fitted[:-1]
        if (~curve.fitted & np.isfinite(scaled)).any():
            outside = True
            axes.plot(curve.molality, np.where(beyond, scaled, np.nan), "--", color=colour, lw=1.0, alpha=0.8,
                      label=label.replace("\n", ", nowhere fitted\n") if label else None)
    if outside:
        axes.plot([], [], "--", color="0.4", lw=1.0, label="correlation outside its fitted range")
    if marked:
        axes.plot([], [], "D", mfc="none", mec="0.4", ms=7, label="experiment at each point's own T (table)")
    axes.set_xlabel("molality [mol/kg]")
    axes.set_ylabel(f"{prop} [{unit.tex}]")
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0)
    figure.suptitle(f"Simulated {prop} against experiment ({_source(sweep, prop)})\n"
                    "points: mean ± std over the replicas", fontsize=10)
    return save(figure, directory, f"{prop}_vs_experiment", formats)


def _temperatures(temperature: npt.NDArray[np.float64]) -> str:
    low, high = float(temperature.min()), float(temperature.max())
    return f"{low:.2f} K" if high - low < 0.005 else f"{low:.2f} to {high:.2f} K"


def _source(sweep: SweepReport, prop: str) -> str:
    if prop != "conductivity":
        return "Laliberte"
    path = sweep.settings.conductivity_model
    return "Gilliam, KOH" + (f"; {os.path.basename(path)}" if path is not None else "")
