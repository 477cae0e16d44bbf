"""Figures of a report: each quantity's curves with their windows and fitted lines, and the replica values.

Needs matplotlib (``pip install 'quor-pp[plot]'``), imported when a figure is made.
Figures are drawn with matplotlib's `Figure` API, never pyplot, so no interactive
backend is ever started and plotting works without a display.

The curves of a quantity are drawn in the quantity's own unit: each curve is
multiplied by the factor that takes its slope to the reported value (`Estimate.scale`),
so the curves of replicas with different molecule counts, temperatures or volumes
lie on one axis and the slope of each, against time in seconds, is the value.
"""

from __future__ import annotations

import math
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from ..analysis import quantities
from ..analysis.fitting import LOCAL_SLOPE_RATIO, local_loglog_slope
from ..analysis.display import display_unit, replica_names, significant, spread, symbol, title
from ..workflow.report import Report, Row
from ..analysis.transport import Estimate
from ..core.units import unit_system
from .figure_style import (FORMATS, colours, decade_labels, margins, new_figure, null_locator, pixels,
                           require_matplotlib, save, text_as_text, thin)

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from ..workflow.sweeps import SweepReport

__all__ = ["FORMATS", "figure_keys", "plot_fits", "plot_replica_values", "plot_report", "report_figures", "sweep_figures",
           "plot_sweep", "plot_sweep_quantity", "thin"]

#: Name of the figure of every replica value.
REPLICA_VALUES: Final = "replica_values"

Progress = Callable[[str], None]

# A figure to draw: the function, the report or sweep it draws from, and its own arguments.
_Figure = tuple[Callable[..., list[str]], Any, tuple[Any, ...]]


def figure_keys(report: Report) -> list[tuple[str, str]]:
    """(quantity, species) of every figure of curves that `plot_report` draws, in table order."""
    fitted = {(estimate.quantity, estimate.species) for _, estimate, _ in report.fits()}
    return [(row.quantity, row.species) for row in report.rows if (row.quantity, row.species) in fitted]


def file_stem(quantity: str, species: str = "") -> str:
    """The file name (without suffix) of a figure: "self_diffusion_Na", "viscosity"."""
    name = f"{quantity}_{species}" if species else quantity
    return re.sub(r"[^A-Za-z0-9_.+-]", "_", name)


def plot_report(report: Report, directory: str | os.PathLike[str], *, formats: Sequence[str] = FORMATS,
                progress: Progress | None = None, jobs: int = 1) -> list[str]:
    """Draws every figure of `report` into `directory` (made if needed).

    One figure for every quantity and species with fits (`figure_keys`), named
    after them (``self_diffusion_Na.png``), and one of every replica value with
    the mean and spread (``replica_values.png``), and the structure figures the
    replicas' files allow (`structure_plots.structure_figures`), each in every
    format of `formats`.

    Parameters
    ----------
    report : Report
        What `analyze` or `combine` returned.
    directory : str or os.PathLike
        Where the files go.
    formats : sequence of str
        File formats matplotlib knows ("png", "svg", "pdf", ...).
    progress : callable, optional
        Called with the name of each figure once it is written.
    jobs : int
        How many figures are drawn at once: in threads on free-threaded Python,
        else in worker processes.

    Returns
    -------
    list of str
        The paths written, in the order of the figures.

    Raises
    ------
    ModuleNotFoundError
        matplotlib is not installed.
    OSError
        The directory cannot be made or a file cannot be written.
    """
    require_matplotlib()
    os.makedirs(directory, exist_ok=True)
    figures = report_figures(report)
    # The replica values, a panel for every row, take longest: drawn first when several are drawn at once.
    first = next(k for k, (function, _, _) in enumerate(figures) if function is plot_replica_values)
    return _draw_all(figures, directory, formats, jobs, progress, first=first)


def report_figures(report: Report) -> list[_Figure]:
    """(function, report, arguments) of every figure `plot_report` draws, in its order.

    The fits of every key of `figure_keys`, the replica values, then the structure
    figures (`structure_plots.structure_figures`). Each is drawn as
    ``function(report, *arguments, directory, formats=...)``, which returns the paths
    it wrote (none when the replicas lack its files). The HTML page draws this same
    list, so it holds every figure that ``--plot`` writes.
    """
    from .structure_plots import structure_figures

    figures: list[_Figure] = [(plot_fits, report, key) for key in figure_keys(report)]
    figures.append((plot_replica_values, report, ()))
    figures += [(function, report, key) for function, key in structure_figures(report)]
    return figures


def plot_fits(report: Report, quantity: str, species: str, directory: str | os.PathLike[str], *,
              formats: Sequence[str] = FORMATS) -> list[str]:
    """Draws the curves of one quantity: each replica's curve on log-log axes, its window and fitted line.

    Below the curves, their local log-log slope shows why each window was chosen:
    the search takes a stretch whose slope lies within 1 ± max_error.
    Returns the paths written (``<directory>/<quantity>_<species>.<format>``).

    Raises
    ------
    ValueError
        The report was made without the fits' curves (``curves=False``).
    """
    if any(fit.success and len(fit.time) == 0 for _, _, fit in report.fits(quantity, species)):
        raise ValueError("the report holds no curves to draw: analyse with curves=True to plot the fits")
    figure = new_figure((7.5, 6.5))
    # A fixed layout (in inches from the edges): matplotlib's automatic layout costs
    # more than drawing the figure.
    curves, slopes = figure.subplots(2, 1, sharex=True, height_ratios=(2.3, 1.0),
                                     gridspec_kw=margins(figure, left=0.95, right=0.15, bottom=0.55, top=0.6,
                                                          hspace=0.08))
    row = report.row(quantity, species)
    entries = [(path, estimate) for path, estimate, _ in report.fits(quantity, species)]
    names = replica_names([path for path, _ in entries])
    reduced = any(unit_system(result.units).reduced for result in report.replicas)
    tolerance = report.settings.window.max_error
    slopes.axhspan(1.0 - tolerance, 1.0 + tolerance, color="0.85", lw=0, zorder=0)
    slopes.axhline(1.0, color="0.5", lw=0.8, zorder=1)
    negative = False
    for (path, estimate), name, colour in zip(entries, names, colours(len(entries))):
        negative |= _draw_curve(curves, slopes, estimate, name, colour, _time_unit(report, path))
    # What the thick and dashed lines mean, in grey, after the replicas.
    curves.plot([], [], "-", color="0.5", lw=7, alpha=0.4, label="fitted window")
    curves.plot([], [], "--", color="0.2", lw=1.2, label="fitted straight line")
    if any(fit.rejected for _, _, fit in report.fits(quantity, species)):
        from matplotlib.patches import Patch

        curves.add_artist(curves.legend(handles=[Patch(facecolor="none", edgecolor="0.3", hatch="///",
                                                       label="rejected window")], fontsize=7.5, loc="lower right"))
    for axes in (curves, slopes):
        axes.set_xscale("log")
        axes.grid(True, which="major", alpha=0.3)
    curves.set_yscale("log")
    decade_labels(curves)
    curves.yaxis.set_minor_locator(null_locator())
    declared = quantities.registered(quantity)
    # The y axis shows the curve times its scale, whose slope against time in seconds
    # is the quantity (a unit of the quantity times seconds).
    what, unit = declared.curve_label if declared is not None and declared.curve_label else ("curve", "")
    curves.set_ylabel(f"{what}{' (absolute value)' if negative else ''} [{'reduced' if reduced else unit}]")
    # At the top of the axes, where matplotlib would put it after measuring every tick
    # (nothing is drawn above these axes): placed, it is not measured.
    curves.set_title(_title(row), fontsize=10, y=1.0)
    display = display_unit(row.unit)
    curves.legend(fontsize=7.5, loc="upper left", title_fontsize=7.5,
                  title=f"replica: {symbol(quantity)} "
                        f"[{'reduced' if reduced else display.fancy}], window [{'τ' if reduced else 'ps'}]")
    slopes.set_ylim(0.0, 2.2)
    slopes.set_ylabel(f"log-log slope\n(1 ± {tolerance:g} shaded)", fontsize=9)
    slopes.set_xlabel("time [τ]" if reduced else "time [ps]")
    return save(figure, directory, file_stem(quantity, species), formats)


def plot_replica_values(report: Report, directory: str | os.PathLike[str], *,
                        formats: Sequence[str] = FORMATS) -> list[str]:
    """Draws every row's replica values with their mean, standard deviation and standard error.

    One panel per row that has a value; returns the paths written
    (``<directory>/replica_values.<format>``).
    """
    from matplotlib.ticker import MaxNLocator

    rows = [row for row in report.rows if row.n > 0]
    names = replica_names([result.path for result in report.replicas])
    columns = min(4, max(1, len(rows)))
    lines = max(1, math.ceil(len(rows) / columns))
    figure = new_figure((3.2 * columns, 2.5 * lines + 0.95))
    panels = np.atleast_1d(figure.subplots(lines, columns, squeeze=False, gridspec_kw=margins(
        figure, left=0.75, right=0.1, bottom=0.35, top=1.2, hspace=0.45, wspace=0.5))).ravel()
    positions = np.arange(1, len(names) + 1)
    for axes, row in zip(panels, rows):
        unit = display_unit(row.unit)
        values = np.array([math.nan if v is None else v / unit.scale for v in row.replicas])
        assert row.value is not None and row.std is not None
        mean, std = row.value / unit.scale, row.std / unit.scale
        axes.axhspan(mean - std, mean + std, color="C0", alpha=0.15, lw=0, label="± std")
        axes.axhline(mean, color="C0", lw=1.5, label="mean")
        if row.sem is not None:
            axes.errorbar([len(names) + 0.7], [mean], yerr=[row.sem / unit.scale], fmt="s", color="C0",
                          ms=4, capsize=3, label="mean ± sem")
        axes.plot(positions, values, "o", color="C1", ms=5, label="replicas")
        axes.set_title(f"{symbol(row.quantity)}{' ' + row.species if row.species else ''}: {significant(mean)} ± "
                       f"{spread(std)}", fontsize=9, y=1.0)  # placed: as matplotlib would, unmeasured
        axes.set_ylabel(unit.tex, fontsize=8)
        axes.set_xticks(positions, [str(k) for k in positions], fontsize=7)
        axes.set_xlim(0.4, len(names) + 1.2)
        axes.tick_params(axis="y", labelsize=7)
        # Five labels at most: enough to read a panel this small, and each tick costs as much to draw as a curve.
        axes.yaxis.set_major_locator(MaxNLocator(nbins=4, steps=[1, 2, 2.5, 5, 10], min_n_ticks=3))
        axes.ticklabel_format(axis="y", useOffset=False)
    for axes in panels[len(rows):]:
        axes.set_axis_off()
    if rows:
        panels[0].legend(fontsize=6, loc="best")
    key = ", ".join(f"{k} {name}" for k, name in enumerate(names, start=1))
    # Placed a fixed distance below the top, clear of the first row's titles.
    figure.suptitle(f"Values of {len(names)} replicas with their mean and spread\nreplicas: {key}", fontsize=9,
                    y=1.0 - 0.2 / figure.get_size_inches()[1], va="top")
    return save(figure, directory, REPLICA_VALUES, formats)


def plot_sweep(sweep: SweepReport, directory: str | os.PathLike[str], *,
               keys: Sequence[tuple[str, str]] | None = None, formats: Sequence[str] = FORMATS,
               progress: Progress | None = None, jobs: int = 1) -> list[str]:
    """Draws every quantity of a sweep against molality and against temperature.

    One figure per quantity and species with a value (`SweepReport.keys`, or `keys`), named as
    the figures of a report (``viscosity.png``, ``self_diffusion_Na.png``), each
    with `plot_sweep_quantity`. Returns the paths written.

    Raises
    ------
    ModuleNotFoundError
        matplotlib is not installed.
    OSError
        The directory cannot be made or a file cannot be written.
    """
    require_matplotlib()
    os.makedirs(directory, exist_ok=True)
    figures = sweep_figures(sweep, keys)
    first = sum(1 for function, _, _ in figures if function is plot_sweep_quantity) - 1
    return _draw_all(figures, directory, formats, jobs, progress, first=max(first, 0))


def sweep_figures(sweep: SweepReport, keys: Sequence[tuple[str, str]] | None = None) -> list[_Figure]:
    """(function, sweep, arguments) of every figure `plot_sweep` draws, in its order.

    Each quantity against state (`plot_sweep_quantity`), then the figures against
    experiment (`structure_plots.sweep_experiment_figures`). The HTML page of a
    sweep draws this same list, as that of a report draws `report_figures`.
    """
    from .structure_plots import sweep_experiment_figures

    # Of its own keys, only those with a value at some point: an empty figure says nothing.
    chosen = list(keys) if keys is not None else [
        key for key in sweep.keys() if any(row.value is not None for _, row in sweep.series(*key))]
    figures: list[_Figure] = [(plot_sweep_quantity, sweep, key) for key in chosen]
    figures += [(function, sweep, key) for function, key in sweep_experiment_figures(sweep)]
    return figures


def _draw_all(figures: list[_Figure], directory: str | os.PathLike[str], formats: Sequence[str], jobs: int,
              progress: Progress | None, *, first: int) -> list[str]:
    """Draw the figures, `jobs` at once; the paths written, in the order of the figures.

    With several at once, figure `first` (the largest) is started first, so that it
    is not left to finish alone. `progress` is told the name of each figure drawn
    (a figure may draw nothing: a structure figure without its files).
    """
    written: list[list[str]] = [[] for _ in figures]
    order = list(range(len(figures)))
    if jobs > 1 and 0 <= first < len(figures):
        order.insert(0, order.pop(first))
    chosen = [figures[k] for k in order]
    for index, paths in _drawn(chosen, os.fspath(directory), tuple(formats), min(jobs, len(figures))):
        written[order[index]] = paths
        if progress is not None and paths:
            progress(os.path.splitext(os.path.basename(paths[0]))[0])
    return [path for paths in written for path in paths]


def _drawn(figures: list[_Figure], directory: str, formats: tuple[str, ...],
           jobs: int) -> Iterator[tuple[int, list[str]]]:
    """(index, paths) of each figure as it is done: here, in threads, or in worker processes."""
    if jobs <= 1:
        for index, (function, subject, key) in enumerate(figures):
            yield index, _draw(function, subject, key, directory, formats)
    elif not sys._is_gil_enabled():
        # Free-threaded: figures are independent objects; the one shared setting is made once, here.
        import concurrent.futures

        with (text_as_text(),
              concurrent.futures.ThreadPoolExecutor(jobs, "quor-pp plots") as pool):
            futures = {pool.submit(_draw, function, subject, key, directory, formats): index
                       for index, (function, subject, key) in enumerate(figures)}
            for future in concurrent.futures.as_completed(futures):
                yield futures[future], future.result()
    else:
        yield from _drawn_here_and_in_workers(figures, directory, formats, jobs - 1)


class _Claims:
    """The figures not yet started, taken one at a time by this thread and by the worker processes."""

    def __init__(self, count: int) -> None:
        import threading

        self._lock = threading.Lock()
        self._next = 0
        self._count = count
        self.remote: dict[int, int] = {}  # the worker pool's task number: the figure's index

    def take(self) -> int | None:
        """The next figure to draw; None when all are taken or the drawing was stopped."""
        with self._lock:
            if self._next >= self._count:
                return None
            self._next += 1
            return self._next - 1

    def stop(self) -> None:
        with self._lock:
            self._next = self._count

    def for_workers(self, figures: list[_Figure], directory: str,
                    formats: tuple[str, ...]) -> Iterator[tuple[Any, ...]]:
        """The arguments of `_draw` for each figure a worker takes, as the pool asks for them."""
        while (index := self.take()) is not None:
            self.remote[len(self.remote)] = index
            function, subject, key = figures[index]
            yield function, subject, key, directory, formats


def _drawn_here_and_in_workers(figures: list[_Figure], directory: str, formats: tuple[str, ...],
                               workers: int) -> Iterator[tuple[int, list[str]]]:
    """(index, paths) of each figure as it is done, drawn by this process and by `workers` worker processes.

    This process draws as well: it imports matplotlib once while the workers start,
    instead of waiting for them. The figures are taken in order by whoever is free.
    """
    import queue
    import threading

    from ..workflow.workers import WorkerPool

    claims = _Claims(len(figures))
    done: queue.SimpleQueue[tuple[int, bool, Any] | None] = queue.SimpleQueue()

    def run_workers() -> None:
        # In a thread of its own, so that this thread keeps drawing; it ends once the
        # figures run out (or are stopped) and the workers' last ones are back.
        try:
            with WorkerPool(workers) as pool:
                for task, ok, value in pool.run(_draw, claims.for_workers(figures, directory, formats)):
                    done.put((claims.remote[task], ok, value))
        except BaseException as error:
            done.put((-1, False, error))
        finally:
            done.put(None)

    def received(item: tuple[int, bool, Any]) -> tuple[int, list[str]]:
        index, ok, value = item
        if ok:
            return index, value
        if isinstance(value, BaseException):
            raise value
        raise RuntimeError(f"the process drawing {os.path.join(directory, '')}... died ({value})")

    thread = threading.Thread(target=run_workers, name="quor-pp plot workers", daemon=True)
    thread.start()
    workers_done = False
    try:
        while (index := claims.take()) is not None:
            function, subject, key = figures[index]
            yield index, _draw(function, subject, key, directory, formats)
            while not workers_done:  # what the workers finished meanwhile
                try:
                    item = done.get_nowait()
                except queue.Empty:
                    break
                if item is None:
                    workers_done = True
                else:
                    yield received(item)
        while not workers_done:
            if (item := done.get()) is None:
                workers_done = True
            else:
                yield received(item)
    finally:
        # Stopped early (a fault, an interrupt): no more figures are handed out. The
        # workers finish the figure each has and are closed by their thread.
        claims.stop()


def _draw(function: Callable[..., list[str]], subject: Any, key: tuple[Any, ...], directory: str,
          formats: tuple[str, ...]) -> list[str]:
    """One figure (a plain function of picklable arguments, for worker processes)."""
    return function(subject, *key, directory, formats=formats)


def plot_sweep_quantity(sweep: SweepReport, quantity: str, species: str, directory: str | os.PathLike[str], *,
                        formats: Sequence[str] = FORMATS) -> list[str]:
    """Draws one quantity of a sweep: against molality (a line per temperature) and against temperature.

    Each point is the mean over its replicas with the population standard
    deviation as its error bar; points are joined in order of molality or
    temperature, one line for each salt and value of the other variable (and of
    any extra state key). Returns the paths written
    (``<directory>/<quantity>_<species>.<format>``).
    """
    entries = [(point, row) for point, row in sweep.series(quantity, species) if row.value is not None]
    figure = new_figure((10.0, 4.3))
    by_molality, by_temperature = figure.subplots(1, 2, gridspec_kw=margins(
        figure, left=0.85, right=0.2, bottom=0.6, top=0.75, hspace=0.2, wspace=0.25))
    unit = display_unit(entries[0][1].unit if entries else "")
    reduced = unit.plain == "reduced"
    for axes, along, across, label in ((by_molality, "molality", "temperature", "molality [mol/kg]"),
                                       (by_temperature, "temperature", "molality", "temperature [K]")):
        lines: dict[tuple[Any, ...], list[tuple[float, float, float]]] = {}
        for point, row in entries:
            assert row.value is not None
            key = (point.salt, getattr(point, across), *sorted(point.extra.items()))
            std = row.std if row.std is not None else 0.0
            lines.setdefault(key, []).append((getattr(point, along), row.value / unit.scale, std / unit.scale))
        for (key, values), colour in zip(sorted(lines.items(), key=lambda item: _sortable(item[0])),
                                         colours(len(lines))):
            values.sort()
            x, y, error = (np.array(column) for column in zip(*values))
            axes.errorbar(x, y, yerr=error, fmt="o-", color=colour, ms=4, lw=1.2, capsize=3,
                          label=_line_label(key, across))
        axes.set_xlabel(label)
        axes.grid(True, alpha=0.3)
        axes.ticklabel_format(axis="y", useOffset=False)
        if lines:
            axes.legend(fontsize=7.5, loc="best")
    name = title(quantity)
    by_molality.set_ylabel(f"{symbol(quantity)}{' ' + species if species else ''} [{'reduced' if reduced else unit.tex}]")
    who = f" of {species}" if species else ""
    figure.suptitle(f"{name.capitalize()}{who} over the sweep's state points\n"
                    "mean over the replicas, error bars ± standard deviation", fontsize=10)
    return save(figure, directory, file_stem(quantity, species), formats)


def _sortable(key: tuple[Any, ...]) -> tuple[str, ...]:
    return tuple(f"{value:020.6f}" if isinstance(value, float) else str(value) for value in key)


def _line_label(key: tuple[Any, ...], across: str) -> str:
    salt, value, *extra = key
    shown = f"{value:g} K" if across == "temperature" else f"{value:g} mol/kg"
    return ", ".join([salt, shown, *(f"{name}={item}" for name, item in extra)])


def _time_unit(report: Report, path: str) -> float | None:
    """Seconds per time unit of the replica at `path`; None for reduced units."""
    result = next(result for result in report.replicas if result.path == path)
    units = unit_system(result.units)
    return None if units.reduced else units.time


def _draw_curve(curves: Axes, slopes: Axes, estimate: Estimate, name: str, colour: str,
                seconds: float | None) -> bool:
    """Draws one replica's curve, window, fitted line and local slope; says whether its window is negative."""
    fit = estimate.fit
    assert fit is not None
    if estimate.scale is None:
        curves.plot([], [], " ", label=f"{name}: not drawn ({estimate.message})")
        return False
    # x in ps (or τ), y such that its slope against time in seconds (or τ) is the value.
    to_x = 1.0 if seconds is None else seconds * 1e12
    factor = estimate.scale * (1.0 if seconds is None else seconds)
    x = fit.time * to_x
    y = fit.msd * factor
    shown = (x > 0) & (y != 0) & np.isfinite(y)
    if fit.success:
        value = (significant(estimate.value / display_unit(estimate.unit).scale) if estimate.value is not None
                 else estimate.status)
        start, stop = fit.window or (0.0, 0.0)
        text = f"{name}: {value}, {significant(start * to_x, 3)} to {significant(stop * to_x, 3)}"
    else:
        text = f"{name}: {fit.status}"
    # Only the points the figure's pixels can show, but every point of a window.
    inside = np.zeros(len(x), dtype=bool)
    if fit.success:
        inside[fit.start:fit.stop] = True
    for rejected in fit.rejected:
        inside[rejected.quality.start:rejected.quality.stop] = True
    columns = 2 * pixels(curves)
    x_shown, y_shown = x[shown], y[shown]
    drawn = thin(x_shown, np.abs(y_shown), columns, inside[shown])
    curves.plot(x_shown[drawn], np.abs(y_shown[drawn]), "-", color=colour, lw=1.0, label=text)
    # The local slope the fit's checks use, drawn at the middle (in log time) of the span it covers.
    local = local_loglog_slope(x_shown, y_shown)
    moved = x_shown * math.sqrt(LOCAL_SLOPE_RATIO)
    drawn = thin(moved, local, columns, inside[shown])
    slopes.plot(moved[drawn], local[drawn], "-", color=colour, lw=0.8)
    for rejected in fit.rejected:
        # A window the search chose and the checks refused: hatched, so it is not taken for the fit.
        low, high = rejected.quality.t_start * to_x, rejected.quality.t_end * to_x
        for axes in (curves, slopes):
            axes.axvspan(low, high, facecolor="none", edgecolor=colour, hatch="///", lw=0.0, alpha=0.6, zorder=0)
    if not fit.success:
        return False
    rows = slice(fit.start, fit.stop)
    curves.plot(x[rows], np.abs(y[rows]), "-", color=colour, lw=7, alpha=0.35, solid_capstyle="butt")
    if fit.loglog_slope is not None:
        slopes.plot([x[fit.start], x[fit.stop - 1]], [fit.loglog_slope] * 2, "-", color=colour, lw=5,
                    alpha=0.5, solid_capstyle="butt")
    # The fitted line y = a + b t, on log axes only where it has the sign of the curve
    # it is drawn on: a line that turns negative is cut there, never folded back up.
    assert fit.slope is not None
    t = np.geomspace(fit.t_fit[0] / 3.0, fit.t_fit[-1] * 3.0, 64)
    fitted = (fit.fit[0] + fit.slope * (t - fit.t_fit[0])) * factor
    sign = 1.0 if np.mean(y[rows]) >= 0 else -1.0
    kept = np.where(fitted * sign > 0, np.abs(fitted), np.nan)
    curves.plot(t * to_x, kept, "--", color=colour, lw=1.2, zorder=3)
    return bool(np.mean(y[rows]) < 0)


def _title(row: Row) -> str:
    name = title(row.quantity)
    who = f" of {row.species}" if row.species else ""
    unit = display_unit(row.unit)
    if row.value is None:
        return f"{name.capitalize()}{who}: no value ({row.status})"
    value = significant(row.value / unit.scale)
    std = f" ± {spread(row.std / unit.scale)}" if row.std is not None and row.n > 1 else ""
    return f"{name.capitalize()}{who}\n{symbol(row.quantity)} = {value}{std} {unit.fancy} (mean ± std of {row.n} replicas)"


