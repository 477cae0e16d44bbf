"""HTML views of results: one self-contained page per analysis or sweep, and the notebook views.

`write_report` and `write_sweep_report` write one file that needs nothing else to
open: its style is inline, its figures are SVG inside it as data URIs, it runs no
script and loads nothing (a content security policy says so to the browser). The
page holds the table with units, errors and statuses, every fit's figure, the
warnings, the settings and the provenance of every input file (path, size,
modification time) with the package version.

The ``_repr_html_`` methods of `Report`, `SweepReport`, `SolutionProperties` and
`Fit` call the ``*_html`` functions here: Jupyter shows the table (and, for a fit,
its figure) instead of the plain repr.
"""

from __future__ import annotations

import base64
import datetime
import html
import os
import tempfile
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Final

from .display import display_unit, label, significant, spread, title

if TYPE_CHECKING:
    from .fitting import Fit
    from .report import Report, Row
    from .salts import SolutionProperties
    from .sweeps import SweepReport

__all__ = ["fit_html", "report_html", "report_page", "solution_html", "sweep_html", "sweep_page", "write_report",
           "write_sweep_report"]

# No network, no script: only inline style and images inside the page.
_POLICY: Final = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"

_STYLE: Final = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 90em; padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; margin-top: 2em; }
table.quor-pp { border-collapse: collapse; font-size: 0.9em; margin: 0.5em 0; }
table.quor-pp th, table.quor-pp td { padding: 0.2em 0.7em; border-bottom: 1px solid #e4e4e4; text-align: left; }
table.quor-pp td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
div.wide { overflow-x: auto; }
table.quor-pp tr.bad td { background: #fff3e0; }
.status-ok { color: #1b5e20; } .status-bad { color: #b71c1c; font-weight: 600; }
figure { margin: 1em 0; } figure img { max-width: 100%; border: 1px solid #eee; }
ul.warnings li { color: #8a4b00; } code, pre { font-size: 0.85em; }
"""


def _e(value: object) -> str:
    return html.escape(str(value), quote=True)


def _status(status: str) -> str:
    kind = "ok" if status == "ok" else "bad"
    return f'<span class="status-{kind}">{_e(status)}</span>'


def _table(header: Sequence[str], rows: Iterable[tuple[Sequence[tuple[str, bool]], bool]], caption: str = "") -> str:
    """A table: each row is its cells (text already escaped, numeric or not) and whether it is marked."""
    parts = ['<table class="quor-pp">']
    if caption:
        parts.append(f"<caption>{caption}</caption>")
    parts.append("<thead><tr>" + "".join(f"<th>{_e(h)}</th>" for h in header) + "</tr></thead><tbody>")
    for cells, marked in rows:
        tds = "".join(f'<td class="num">{text}</td>' if numeric else f"<td>{text}</td>" for text, numeric in cells)
        parts.append(f'<tr class="bad">{tds}</tr>' if marked else f"<tr>{tds}</tr>")
    parts.append("</tbody></table>")
    return "".join(parts)


def _row_cells(row: Row) -> list[tuple[str, bool]]:
    unit = display_unit(row.unit)
    scaled = [None if v is None else v / unit.scale for v in (row.value, row.std, row.sem, row.ci95)]
    return [(_e(row.quantity), False), (_e(row.species), False), (_e(significant(scaled[0])), True),
            (_e(spread(scaled[1])), True), (_e(spread(scaled[2])), True), (_e(spread(scaled[3])), True),
            (str(row.n), True), (_e(unit.fancy), False), (_status(row.status), False)]


_ROW_HEADER: Final = ("quantity", "species", "mean", "± std", "sem", "± 95 % CI", "n", "unit", "status")


def _rows_table(rows: Sequence[Row]) -> str:
    return _table(_ROW_HEADER, ((_row_cells(row), row.status != "ok") for row in rows))


def _notes(report: Report) -> list[str]:
    notes = [notice.describe() for notice in report.notices()]
    return notes + [f"not analysed: {failure}" for failure in report.failures]


def report_html(report: Report) -> str:
    """The table of a report as an HTML fragment (what Jupyter shows for a `Report`).

    Values are in the units people read (10⁻⁹ m²/s, mPa·s, ...), with the
    population standard deviation, the standard error and the half-width of the
    95 % confidence interval; rows without every replica's value are marked.
    """
    names = ", ".join(_e(os.path.basename(os.path.normpath(r.path))) for r in report.replicas)
    caption = f"{len(report.replicas)} replicas: {names}"
    notes = _notes(report)
    warnings = ("<ul class=\"warnings\">" + "".join(f"<li>{_e(n)}</li>" for n in notes) + "</ul>") if notes else ""
    return f'<div class="quor-pp">{_table(_ROW_HEADER, ((_row_cells(r), r.status != "ok") for r in report.rows), caption)}{warnings}</div>'


def _sweep_table(sweep: SweepReport) -> str:
    """The quantities a sweep's printed table shows (each point's own table has every row)."""
    from . import quantities

    shown = {q.name for q in quantities.quantities() if q.in_sweep_table}
    keys = [key for key in sweep.keys()
            if key[0] in shown and any(row.value is not None for _, row in sweep.series(*key))]
    header = ["point", "salt", "b [mol/kg]", "T [K]", "replicas"]
    units = {}
    for quantity, species in keys:
        series = sweep.series(quantity, species)
        units[(quantity, species)] = display_unit(series[0][1].unit)
        header.append(f"{label(quantity, species)} [{units[(quantity, species)].fancy}]")
    rows = []
    for point, report in zip(sweep.points, sweep.reports):
        cells: list[tuple[str, bool]] = [(_e(point.name), False), (_e(point.salt), False),
                                         (_e(f"{point.molality:g}"), True), (_e(f"{point.temperature:g}"), True),
                                         (str(len(point.replicas)), True)]
        marked = report is None
        for key in keys:
            found = None if report is None else next(
                (r for r in report.rows if (r.quantity, r.species) == key), None)
            if found is None or found.value is None:
                cells.append((_status(found.status) if found is not None else "-", False))
                marked = True
                continue
            unit = units[key]
            std = "" if found.std is None else f" ± {spread(found.std / unit.scale)}"
            cells.append((_e(significant(found.value / unit.scale) + std), True))
            marked |= found.status != "ok"
        rows.append((cells, marked))
    table = _table(header, rows, f"{len(sweep.points)} state points: mean ± population standard deviation")
    return f'<div class="wide">{table}</div>'


def sweep_html(sweep: SweepReport) -> str:
    """The table of a sweep as an HTML fragment: one row per state point, one column per quantity."""
    failures = "".join(f"<li>not analysed: {_e(f)}</li>" for f in sweep.failures)
    return f'<div class="quor-pp">{_sweep_table(sweep)}' + (
        f'<ul class="warnings">{failures}</ul>' if failures else "") + "</div>"


def solution_html(properties: SolutionProperties) -> str:
    """The state points of a salt solution's properties as an HTML table (viscosity in mPa·s)."""
    header = ["T [K]", "b [mol/kg]", "c [mol/L]", "mass fraction", "ρ [kg/m³]"]
    if properties.viscosity is not None:
        header.append("η [mPa·s]")
    if properties.conductivity is not None:
        header.append("σ [S/m]")
    header.append("outside fit")
    rows = []
    for i in range(len(properties)):
        cells = [(_e(f"{properties.temperature[i]:.2f}"), True), (_e(f"{properties.molality[i]:.4f}"), True),
                 (_e(f"{properties.molarity[i]:.4f}"), True), (_e(f"{properties.mass_fraction[i]:.5f}"), True),
                 (_e(f"{properties.density[i]:.3f}"), True)]
        if properties.viscosity is not None:
            cells.append((_e(f"{properties.viscosity[i] * 1e3:.4f}"), True))
        if properties.conductivity is not None:
            cells.append((_e(f"{properties.conductivity[i]:.3f}"), True))
        outside = [name for name, flags in (("density", properties.outside_density_fit),
                                             ("viscosity", properties.outside_viscosity_fit)) if flags[i]]
        cells.append((_e(", ".join(outside) or "-"), False))
        rows.append((cells, bool(outside)))
    salt = properties.salt
    caption = _e(f"{getattr(salt, 'formula', '')} {getattr(salt, 'name', '')}".strip())
    return f'<div class="quor-pp">{_table(header, rows, caption)}</div>'


def _svg_uri(data: bytes) -> str:
    return "data:image/svg+xml;base64," + base64.b64encode(data).decode("ascii")


def _figure(uri: str, caption: str) -> str:
    return f'<figure><img src="{uri}" alt="{_e(caption)}"><figcaption>{_e(caption)}</figcaption></figure>'


def fit_html(fit: Fit) -> str:
    """A fit as HTML: its status, window and slope, and its curve on log-log axes with the window (SVG).

    The figure is left out when matplotlib is not installed.
    """
    facts = [("source", fit.source), ("column", fit.column), ("status", fit.status)]
    if fit.success:
        assert fit.window is not None
        facts += [("window", f"{fit.window[0]:.6g} to {fit.window[1]:.6g} (rows {fit.start} to {fit.stop - 1})"),
                  ("slope", f"{fit.slope:.6g} per time unit"), ("log-log slope", f"{fit.loglog_slope:.4f}")]
    else:
        facts.append(("why", fit.message))
    table = _table(("", ""), (([(_e(k), False), (_status(v) if k == "status" else _e(v), False)], False)
                             for k, v in facts))
    figure = ""
    if len(fit.time) and _has_matplotlib():
        figure = _figure(_svg_uri(_fit_svg(fit)), f"{fit.column}: curve, window and fitted line")
    return f'<div class="quor-pp">{table}{figure}</div>'


def _has_matplotlib() -> bool:
    import importlib.util

    return importlib.util.find_spec("matplotlib") is not None


def _fit_svg(fit: Fit) -> bytes:
    import io

    import matplotlib
    import numpy as np
    from matplotlib.figure import Figure

    figure = Figure(figsize=(5.5, 3.6))
    axes = figure.add_axes((0.14, 0.15, 0.82, 0.78))
    shown = (fit.time > 0) & (np.abs(fit.msd) > 0)
    axes.loglog(fit.time[shown], np.abs(fit.msd[shown]), color="0.3", lw=1.0, label=fit.column)
    if fit.success:
        axes.loglog(fit.time[fit.start:fit.stop], np.abs(fit.msd[fit.start:fit.stop]), color="tab:blue", lw=6,
                    alpha=0.4, label="window")
        axes.loglog(fit.t_fit, np.abs(fit.fit), "--", color="black", lw=1.2, label="fitted line")
    axes.set_xlabel("time [run time unit]")
    axes.set_ylabel("curve [file unit]")
    axes.legend(fontsize=8, loc="upper left")
    buffer = io.BytesIO()
    with matplotlib.rc_context({"svg.fonttype": "none"}):
        figure.savefig(buffer, format="svg")
    return buffer.getvalue()


def _report_figures(report: Report) -> list[str]:
    """Every fit figure of the report, and the replica values, as <figure> elements (none without matplotlib)."""
    if not _has_matplotlib() or not report.replicas:
        return []
    from . import plots

    keys = [key for key in plots.figure_keys(report)
            if not any(fit.success and len(fit.time) == 0 for _, _, fit in report.fits(*key))]
    figures = []
    with tempfile.TemporaryDirectory(prefix="quor-pp-html-") as directory:
        for quantity, species in keys:
            for path in plots.plot_fits(report, quantity, species, directory, formats=("svg",)):
                with open(path, "rb") as stream:
                    caption = f"{title(quantity)}{' of ' + species if species else ''}: fits of every replica"
                    figures.append(_figure(_svg_uri(stream.read()), caption))
        for path in plots.plot_replica_values(report, directory, formats=("svg",)):
            with open(path, "rb") as stream:
                figures.append(_figure(_svg_uri(stream.read()), "every replica's value with the mean and spread"))
    return figures


def _sweep_figures(sweep: SweepReport) -> list[str]:
    if not _has_matplotlib():
        return []
    from . import plots

    figures = []
    with tempfile.TemporaryDirectory(prefix="quor-pp-html-") as directory:
        for quantity, species in sweep.keys():
            if not any(row.value is not None for _, row in sweep.series(quantity, species)):
                continue
            for path in plots.plot_sweep_quantity(sweep, quantity, species, directory, formats=("svg",)):
                with open(path, "rb") as stream:
                    caption = f"{title(quantity)}{' of ' + species if species else ''} over the state points"
                    figures.append(_figure(_svg_uri(stream.read()), caption))
    return figures


def _files_table(directories: Iterable[str]) -> str:
    """Path, size and modification time (UTC) of every file in the given directories."""
    rows = []
    for directory in directories:
        try:
            names = sorted(os.listdir(directory))
        except OSError as error:
            rows.append(([(_e(directory), False), (_e(error.strerror or error), False), ("", False)], True))
            continue
        for name in names:
            path = os.path.join(directory, name)
            try:
                status = os.stat(path)
            except OSError:
                continue
            if not os.path.isfile(path):
                continue
            when = datetime.datetime.fromtimestamp(status.st_mtime, datetime.UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
            rows.append(([(_e(os.path.abspath(path)), False), (_e(f"{status.st_size:,}"), True), (_e(when), False)],
                         False))
    return _table(("file", "bytes", "modified"), rows)


def _settings_table(values: dict[str, Any]) -> str:
    return _table(("setting", "value"), (([(_e(k), False), (f"<code>{_e(v)}</code>", False)], False)
                                        for k, v in values.items()))


def _page(heading: str, sections: Sequence[tuple[str, str]]) -> str:
    from . import __version__

    made = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    body = "".join(f"<section><h2>{_e(name)}</h2>{content}</section>" for name, content in sections if content)
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{_e(heading)}</title><style>{_STYLE}</style></head>\n<body><h1>{_e(heading)}</h1>"
            f"<p>Made by quor-pp {_e(__version__)} on {made}.</p>{body}</body></html>\n")


def _warnings_list(notes: Sequence[str]) -> str:
    return ('<ul class="warnings">' + "".join(f"<li>{_e(n)}</li>" for n in notes) + "</ul>") if notes else \
        "<p>None.</p>"


def report_page(report: Report, *, heading: str | None = None) -> str:
    """The self-contained HTML page of a report (what `write_report` writes)."""
    from . import __version__

    paths = [result.path for result in report.replicas]
    heading = heading or f"quor-pp analysis of {os.path.commonpath([os.path.abspath(p) for p in paths]) if paths else 'no replicas'}"
    units = sorted({result.units for result in report.replicas})
    window = report.settings.window
    summary = (f"<p>{len(report.replicas)} replicas, units {_e(', '.join(units))}; "
               f"windows of {window.min_window} to {window.max_window} rows, log-log slope 1 ± {window.max_error:g}. "
               "Mean over the replicas, population standard deviation, standard error std/√(n−1) and the half-width "
               "of the 95 % confidence interval (Student's t).</p>")
    figures = _report_figures(report)
    provenance = (f"<p>quor-pp {_e(__version__)}.</p>" + _files_table(paths)
                  + (_files_table(sorted({f.path for f in report.failures if os.path.isdir(f.path)}))
                     if report.failures else ""))
    sections = [
        ("Results", summary + _rows_table(report.rows)),
        ("Warnings", _warnings_list(_notes(report))),
        ("Figures", "".join(figures) or "<p>No figures (matplotlib is not installed, or nothing was fitted).</p>"),
        ("Settings", _settings_table(report.settings.to_dict())),
        ("Input files", provenance),
    ]
    return _page(heading, sections)


def sweep_page(sweep: SweepReport, *, heading: str | None = None) -> str:
    """The self-contained HTML page of a sweep (what `write_sweep_report` writes)."""
    from . import __version__

    heading = heading or f"quor-pp sweep of {os.path.abspath(sweep.root)}"
    points = []
    for point, report in zip(sweep.points, sweep.reports):
        inner = _rows_table(report.rows) if report is not None else "<p>No replica could be analysed.</p>"
        points.append(f"<details><summary>{_e(point.name)}</summary>{inner}</details>")
    notes = [f"{point.name}: {notice.describe()}" for point, report in zip(sweep.points, sweep.reports)
             if report is not None for notice in report.notices()]
    notes += [f"not analysed: {failure}" for failure in sweep.failures]
    replicas = [replica for point in sweep.points for replica in point.replicas]
    sections = [
        ("Results", _sweep_table(sweep)),
        ("State points", "".join(points)),
        ("Warnings", _warnings_list(notes)),
        ("Figures", "".join(_sweep_figures(sweep)) or "<p>No figures (matplotlib is not installed).</p>"),
        ("Settings", _settings_table(sweep.settings.to_dict())),
        ("Input files", f"<p>quor-pp {_e(__version__)}.</p>" + _files_table(replicas)),
    ]
    return _page(heading, sections)


def _write(text: str, path: str | os.PathLike[str]) -> str:
    """Write `text` beside `path` and rename it over `path`, so a crash leaves the old file or the new one."""
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    descriptor, temporary = tempfile.mkstemp(prefix=".quor-pp-", suffix=".html", dir=directory)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    return target


def write_report(report: Report, path: str | os.PathLike[str], *, heading: str | None = None) -> str:
    """Write the self-contained HTML page of `report` to `path` and return the path.

    Parameters
    ----------
    report : Report
        What `analyze` returned; with its curves (the default) the page has every
        fit's figure (needs matplotlib, else the page has the table alone).
    path : str or os.PathLike
        The file to write (replaced whole, never left half-written).
    heading : str, optional
        The page's title; by default the replicas' common directory.

    Returns
    -------
    str

    Raises
    ------
    OSError
        The file cannot be written.
    """
    return _write(report_page(report, heading=heading), path)


def write_sweep_report(sweep: SweepReport, path: str | os.PathLike[str], *, heading: str | None = None) -> str:
    """Write the self-contained HTML page of a sweep to `path` and return the path (see `write_report`)."""
    return _write(sweep_page(sweep, heading=heading), path)
