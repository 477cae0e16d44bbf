"""Figures of structure, angles and of a sweep against experiment.

- ``rdf_<A>-<B>``: g(r) of every replica with the first peak and minimum marked, and
  the running coordination number n(r) on a second axis; beside it the
  Kirkwood-Buff integral G(L) of the finite-volume method and its extrapolation,
  drawn from what each replica's analysis kept (no run file is read again).
- ``angle_distribution``: the bond-angle histogram of every replica and its mean.
- ``<property>_vs_experiment`` (density, viscosity, conductivity): a sweep's simulated
  points against molality, one colour per temperature, with the experimental
  correlation drawn through them (`experiment_plots`).

Needs matplotlib, imported when a figure is made.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from .experiment_plots import plot_experiment
from .figure_style import FORMATS, colours, new_figure, save
from ..core.units import unit_system

if TYPE_CHECKING:
    from ..analysis.pair_structure import PairStructure
    from ..workflow.report import Report
    from ..workflow.sweeps import SweepReport

__all__ = ["plot_angles", "plot_experiment", "plot_rdf", "plot_rdfs", "plot_structure", "plot_sweep_experiment",
           "structure_figures", "sweep_experiment_figures"]

EXPERIMENT_PROPERTIES = ("density", "viscosity", "conductivity")


def plot_structure(report: Report, directory: str | os.PathLike[str], *,
                   formats: Sequence[str] = FORMATS) -> list[str]:
    """Every structure figure a report allows (rdf pairs, angle distribution); the paths written."""
    return [path for function, key in structure_figures(report) for path in function(report, *key, directory,
                                                                                      formats=formats)]


def structure_figures(report: Report) -> list[tuple[Callable[..., list[str]], tuple[str, ...]]]:
    """(function, arguments) of every structure figure of `report`, each drawn on its own.

    Each is called as ``function(report, *arguments, directory, formats=...)`` and
    returns the paths it wrote (none when the replicas lack its files).
    """
    return [*((plot_rdf, (pair,)) for pair in _pairs(report)), (plot_angles, ())]


def sweep_experiment_figures(sweep: SweepReport) -> list[tuple[Callable[..., list[str]], tuple[str, ...]]]:
    """(function, arguments) of every figure of a sweep against experiment, as `structure_figures`."""
    return [(plot_experiment, (prop,)) for prop in EXPERIMENT_PROPERTIES]


def _read(path: str, names: tuple[str, ...], kind: str) -> Any:
    from ..reading.files import read
    from ..reading.files import find_file

    found = find_file(path, names)
    return None if found is None else read(found, kind=kind)  # type: ignore[call-overload]


def plot_rdfs(report: Report, directory: str | os.PathLike[str], *,
              formats: Sequence[str] = FORMATS) -> list[str]:
    """One figure per pair of the replicas' rdf.dat (`plot_rdf`); the paths written."""
    return [path for pair in _pairs(report) for path in plot_rdf(report, pair, directory, formats=formats)]


def _pairs(report: Report) -> list[str]:
    """The pairs with an rdf ("Na-Cl"), in table order."""
    return [row.species for row in report.rows if row.quantity == "rdf_first_peak"]


def _kept(report: Report, pair: str) -> list[tuple[str, str, PairStructure]]:
    """(replica name, length unit, curves) of every replica that kept the pair's curves."""
    found = []
    for result in report.replicas:
        kept = next((item for item in result.structure if item.pair == pair), None)
        if kept is not None:
            unit = "σ" if unit_system(result.units).reduced else "Å"
            found.append((os.path.basename(os.path.normpath(result.path)), unit, kept))
    return found


def plot_rdf(report: Report, pair: str, directory: str | os.PathLike[str], *,
             formats: Sequence[str] = FORMATS) -> list[str]:
    """The rdf of one pair ("Na-Cl"): g(r) with its shells and n(r); G(L) and its extrapolation.

    Drawn from the curves each replica's analysis kept (`ReplicaResult.structure`):
    the run's files are not read again.
    """
    kept = _kept(report, pair)
    if not kept:
        return []
    unit = kept[0][1]
    figure = new_figure((11.0, 4.3))
    left, right = figure.subplots(1, 2, gridspec_kw={"wspace": 0.45})
    twin = left.twinx()
    top = 0.0
    for (name, _, curves), colour in zip(kept, colours(len(kept))):
        left.plot(curves.r, curves.g, color=colour, lw=1.0, label=name)
        for peak in curves.peaks[:1]:
            left.axvline(peak, color=colour, ls=":", lw=0.8)
        for minimum in curves.minima[:1]:
            left.axvline(minimum, color=colour, ls="--", lw=0.8)
        if len(curves.coordination) and curves.minima:
            # n(r) up to past the last shell found: beyond, it grows as r³ and would leave the axes
            outer = curves.minima[-1]
            shown = curves.r <= 1.25 * outer
            twin.plot(curves.r[shown], curves.coordination[shown], color=colour, lw=0.8, alpha=0.6)
            top = max(top, float(np.max(curves.coordination[shown], initial=0.0)))
        if len(curves.lengths):
            right.plot(curves.lengths, curves.running, color=colour, lw=1.0, label=name)
        if curves.extrapolation is not None and curves.fit_range is not None:
            value, intercept = curves.extrapolation
            lengths = np.linspace(*curves.fit_range, 50)
            right.plot(lengths, value + intercept / lengths, color=colour, ls="--", lw=0.8)
            right.axhline(value, color=colour, ls=":", lw=0.8)
            right.axvline(curves.fit_range[1], color="0.6", lw=0.6)
    if top > 0.0:
        twin.set_ylim(0.0, 1.05 * top)
    left.set_xlabel(f"r [{unit}]")
    left.set_ylabel(f"g(r) {pair}")
    twin.set_ylabel("running coordination number n(r)")
    right.set_xlabel(f"L [{unit}]")
    right.set_ylabel(f"G(L) [{unit}³]")
    right.set_title("dashed: G∞ + α/L fitted over the outer half of L (to half the box edge)", fontsize=8)
    left.legend(fontsize=7.5)
    for axes in (left, right):
        axes.grid(True, alpha=0.3)
    figure.suptitle(f"Radial distribution of {pair}: dotted first peak, dashed first minimum; "
                    "Kirkwood-Buff integral", fontsize=10)
    return save(figure, directory, f"rdf_{pair}", formats)


def plot_angles(report: Report, directory: str | os.PathLike[str], *,
                formats: Sequence[str] = FORMATS) -> list[str]:
    """The bond-angle distribution of every replica with its mean, when the run has angle histograms."""
    tables = [(result, _read(result.path, report.settings.files.angle, "histogram")) for result in report.replicas]
    tables = [(result, table) for result, table in tables if table is not None and "Coord" in table]
    if not tables:
        return []
    figure = new_figure((6.5, 4.3))
    axes = figure.subplots()
    for (result, table), colour in zip(tables, colours(len(tables))):
        coord, count = table["Coord"], table["Count"]
        total = float(np.sum(count))
        if not total > 0:
            continue
        width = float(np.median(np.diff(coord))) if len(coord) > 1 else 1.0
        axes.plot(coord, count / total / width, color=colour, lw=1.0,
                  label=os.path.basename(os.path.normpath(result.path)))
        mean = result.get("mean_angle")
        if mean is not None and mean.value is not None:
            axes.axvline(mean.value, color=colour, ls="--", lw=0.8)
    axes.set_xlabel("angle [deg]")
    axes.set_ylabel("probability density [1/deg]")
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize=7.5)
    figure.suptitle("Bond-angle distribution (dashed: mean)", fontsize=10)
    return save(figure, directory, "angle_distribution", formats)


def plot_sweep_experiment(sweep: SweepReport, directory: str | os.PathLike[str], *,
                          formats: Sequence[str] = FORMATS) -> list[str]:
    """Simulated density, viscosity and conductivity against molality with the experimental curves."""
    return [path for function, key in sweep_experiment_figures(sweep)
            for path in function(sweep, *key, directory, formats=formats)]
