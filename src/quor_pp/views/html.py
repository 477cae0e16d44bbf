"""HTML views of results: one self-contained page per analysis or sweep.

`write_report` and `write_sweep_report` write one file that needs nothing else to
open: its style is inline, its figures are SVG inside it as data URIs, it runs no
script and loads nothing (a content security policy says so to the browser). The
page holds the table with units, errors and statuses, every fit's figure, the
warnings, the settings and the provenance of every input file (path, size,
modification time) with the package version.
"""

from __future__ import annotations

import datetime
import os
import tempfile
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Final

from ..workflow.run_inputs_summary import run_inputs
from .report_sections import figure_elements, settings_table, sweep_figure_elements
from ..analysis.fit_html import fit_html
from ..properties.solution_html import solution_html
from ..workflow.report_html import report_html, sweep_html
from ..core.html_table import escape, html_table
from ..workflow.report_html import report_notes, rows_table, sweep_table

if TYPE_CHECKING:
    from ..workflow.report import Report
    from ..workflow.sweeps import SweepReport

# The notebook views live with what they show; their names stay importable from here.
__all__ = ["fit_html", "report_html", "report_page", "solution_html", "sweep_html", "sweep_page", "write_report",
           "write_sweep_report"]


# No network, no script: only inline style and images inside the page.
_POLICY: Final = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"

_STYLE: Final = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 90em; padding: 0 1em; color: #222;
       line-height: 1.4; }
h1 { font-size: 1.5em; overflow-wrap: anywhere; } h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; margin-top: 2em; }
table.quor-pp { border-collapse: collapse; font-size: 0.9em; margin: 0.5em 0; }
table.quor-pp caption { text-align: left; font-weight: 600; padding: 0.3em 0; }
table.quor-pp th, table.quor-pp td { padding: 0.2em 0.7em; border-bottom: 1px solid #e4e4e4; text-align: left;
                                     vertical-align: top; }
table.quor-pp th { border-bottom: 2px solid #bbb; vertical-align: bottom; }
table.quor-pp td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
table.quor-pp tbody tr:nth-child(even) { background: #fafafa; }
span.nowrap { white-space: nowrap; }
div.wide { overflow-x: auto; }
table.quor-pp tr.bad td { background: #fff3e0; }
.status-ok { color: #1b5e20; } .status-bad { color: #b71c1c; font-weight: 600; white-space: nowrap; }
p.inputs { margin: 0.3em 0; }
div.figures { display: grid; grid-template-columns: repeat(auto-fill, minmax(34em, 1fr)); gap: 1em 1.5em; }
div.figures figure.full { grid-column: 1 / -1; }
figure { margin: 1em 0; } figure img { max-width: 100%; height: auto; border: 1px solid #eee; display: block; }
figcaption { font-size: 0.9em; color: #444; margin-top: 0.3em; }
div.settings { display: flex; flex-wrap: wrap; gap: 0 2.5em; align-items: flex-start; }
ul.warnings li { color: #8a4b00; } code, pre { font-size: 0.85em; }
td.path { overflow-wrap: anywhere; }
@media (max-width: 60em) {
  body { margin: 1em auto; padding: 0 0.6em; }
  table.quor-pp { font-size: 0.8em; }
  table.quor-pp th, table.quor-pp td { padding: 0.15em 0.35em; }
  div.figures { display: block; }
}
@media print {
  @page { size: A4 portrait; margin: 14mm 12mm; }
  body { max-width: none; margin: 0; padding: 0; font-size: 9pt; color: #000; }
  h1 { font-size: 14pt; } h2 { font-size: 11pt; margin-top: 1.2em; break-after: avoid; }
  table.quor-pp { font-size: 7.5pt; } table.quor-pp th, table.quor-pp td { padding: 0.1em 0.3em; }
  table.quor-pp thead { display: table-header-group; } table.quor-pp tr { break-inside: avoid; }
  table.quor-pp tbody tr:nth-child(even), table.quor-pp tr.bad td { print-color-adjust: exact; }
  div.wide { overflow: visible; }
  div.figures { display: block; }
  figure { break-inside: avoid; margin: 0.6em 0; } figure img { width: auto; max-height: 118mm; border: none; }
  details { display: block; } details > summary { font-weight: 600; }
}
"""


def _has_matplotlib() -> bool:
    import importlib.util

    return importlib.util.find_spec("matplotlib") is not None


def _files_table(directories: Iterable[str]) -> str:
    """Path, size and modification time (UTC) of every file in the given directories."""
    rows = []
    for directory in directories:
        try:
            names = sorted(os.listdir(directory))
        except OSError as error:
            rows.append(([(escape(directory), False), (escape(error.strerror or error), False), ("", False)], True))
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
            rows.append(([(escape(os.path.abspath(path)).replace("/", "/<wbr>"), False), (escape(f"{status.st_size:,}"), True), (escape(when), False)],
                         False))
    return html_table(("file", "bytes", "modified"), rows)


def _page(heading: str, sections: Sequence[tuple[str, str]]) -> str:
    from .. import __version__

    made = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    body = "".join(f"<section><h2>{escape(name)}</h2>{content}</section>" for name, content in sections if content)
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{escape(heading)}</title><style>{_STYLE}</style></head>\n<body><h1>{escape(heading)}</h1>"
            f"<p>Made by quor-pp {escape(__version__)} on {made}.</p>{body}</body></html>\n")


def _warnings_list(notes: Sequence[str]) -> str:
    return ('<ul class="warnings">' + "".join(f"<li>{escape(n)}</li>" for n in notes) + "</ul>") if notes else \
        "<p>None.</p>"


def _unbroken(text: str) -> str:
    return f'<span class="nowrap">{escape(text)}</span>'


def _style(replicas: Iterable[str]) -> str:
    """The runs' unit style when they share one, else empty."""
    styles = set(replicas)
    return styles.pop() if len(styles) == 1 else ""


def report_page(report: Report, *, heading: str | None = None) -> str:
    """The self-contained HTML page of a report (what `write_report` writes)."""
    paths = [result.path for result in report.replicas]
    heading = heading or f"quor-pp analysis of {os.path.commonpath([os.path.abspath(p) for p in paths]) if paths else 'no replicas'}"
    units = sorted({result.units for result in report.replicas})
    window = report.settings.window
    inputs = [entry.describe() for entry in run_inputs(report.replicas)]
    applied, _ = report.checks()
    summary = (f"<p>{len(report.replicas)} replicas, units {escape(', '.join(units))}; "
               f"windows of {escape(window.rows_phrase())}, log-log slope 1 ± {window.max_error:g}. "
               "Mean over the replicas, population standard deviation (std), standard error std/√(n−1) (sem) "
               "and the half-width of the 95&nbsp;% confidence interval (Student's t).</p>"
               + (f"<p class=\"inputs\">Inputs: {'; '.join(_unbroken(entry) for entry in inputs)}.</p>" if inputs else "")
               + (f"<p class=\"inputs\">Checked: {escape(', '.join(applied))}.</p>" if applied else ""))
    figures = figure_elements(report)
    provenance = _files_table(paths) + (_files_table(sorted({f.path for f in report.failures if os.path.isdir(f.path)}))
                                        if report.failures else "")
    sections = [
        ("Results", summary + f'<div class="wide">{rows_table(report.rows)}</div>'),
        ("Warnings", _warnings_list(report_notes(report))),
        ("Windows, checks and intervals",
         "<ul>" + "".join(f"<li>{escape(remark)}</li>" for remark in report.remarks()) + "</ul>"),
        ("Figures", f'<div class="figures">{"".join(figures)}</div>' if figures else
         "<p>No figures (matplotlib is not installed, or nothing was fitted).</p>"),
        ("Settings", settings_table(report.settings, _style(result.units for result in report.replicas))),
        ("Input files", provenance),
    ]
    return _page(heading, sections)


def sweep_page(sweep: SweepReport, *, heading: str | None = None) -> str:
    """The self-contained HTML page of a sweep (what `write_sweep_report` writes)."""
    heading = heading or f"quor-pp sweep of {os.path.abspath(sweep.root)}"
    points = []
    for point, report in zip(sweep.points, sweep.reports):
        inner = rows_table(report.rows) if report is not None else "<p>No replica could be analysed.</p>"
        points.append(f"<details><summary>{escape(point.name)}</summary>{inner}</details>")
    notes = [f"{point.name}: {notice.describe()}" for point, report in zip(sweep.points, sweep.reports)
             if report is not None for notice in report.notices()]
    notes += [f"not analysed: {failure}" for failure in sweep.failures]
    replicas = [replica for point in sweep.points for replica in point.replicas]
    figures = sweep_figure_elements(sweep)
    sections = [
        ("Results", sweep_table(sweep)),
        ("State points", "".join(points)),
        ("Warnings", _warnings_list(notes)),
        ("Figures", f'<div class="figures">{"".join(figures)}</div>' if figures else
         "<p>No figures (matplotlib is not installed).</p>"),
        ("Settings", settings_table(sweep.settings, _style(result.units for report in sweep.reports
                                                           if report is not None for result in report.replicas))),
        ("Input files", _files_table(replicas)),
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
