"""The notebook views of a report and of a sweep: their tables as HTML fragments, in the units people read.

The self-contained pages of `quor_pp.views.html` hold these same tables.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Final

from ..analysis.display import display_unit, label, significant, spread
from ..core.html_table import escape, status_cell, html_table

if TYPE_CHECKING:
    from .report import Report, Row
    from .sweeps import SweepReport

__all__ = ["report_html", "rows_table", "sweep_html", "sweep_table", "report_notes"]


def _unbroken(text: str) -> str:
    return f'<span class="nowrap">{escape(text)}</span>' if text else ""


def _row_cells(row: Row) -> list[tuple[str, bool]]:
    unit = display_unit(row.unit)
    scaled = [None if v is None else v / unit.scale for v in (row.value, row.std, row.sem, row.ci95)]
    # A long name may break after an underscore; a pair ("wat-meoh") and a unit never break.
    return [(escape(row.quantity).replace("_", "_<wbr>"), False), (_unbroken(row.species), False),
            (escape(significant(scaled[0])), True),
            (escape(spread(scaled[1])), True), (escape(spread(scaled[2])), True), (escape(spread(scaled[3])), True),
            (str(row.n), True), (_unbroken(unit.fancy), False), (status_cell(row.status), False)]


# No-break spaces: a heading never wraps between a sign and its number.
_ROW_HEADER: Final = ("quantity", "species", "mean", "±\u00a0std", "sem", "±\u00a095\u00a0%\u00a0CI", "n", "unit", "status")


def rows_table(rows: Sequence[Row]) -> str:
    return html_table(_ROW_HEADER, ((_row_cells(row), row.status != "ok") for row in rows))


def report_notes(report: Report) -> list[str]:
    notes = [notice.describe() for notice in report.notices()]
    return notes + [f"not analysed: {failure}" for failure in report.failures]


def report_html(report: Report) -> str:
    """The table of a report as an HTML fragment (what Jupyter shows for a `Report`).

    Values are in the units people read (10⁻⁹ m²/s, mPa·s, ...), with the
    population standard deviation, the standard error and the half-width of the
    95 % confidence interval; rows without every replica's value are marked.
    """
    names = ", ".join(escape(os.path.basename(os.path.normpath(r.path))) for r in report.replicas)
    caption = f"{len(report.replicas)} replicas: {names}"
    notes = report_notes(report)
    warnings = ("<ul class=\"warnings\">" + "".join(f"<li>{escape(n)}</li>" for n in notes) + "</ul>") if notes else ""
    return f'<div class="quor-pp">{html_table(_ROW_HEADER, ((_row_cells(r), r.status != "ok") for r in report.rows), caption)}{warnings}</div>'


def sweep_table(sweep: SweepReport) -> str:
    """The quantities a sweep's printed table shows (each point's own table has every row)."""
    from ..analysis import quantities

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
        cells: list[tuple[str, bool]] = [(escape(point.name), False), (escape(point.salt), False),
                                         (escape(f"{point.molality:g}"), True), (escape(f"{point.temperature:g}"), True),
                                         (str(len(point.replicas)), True)]
        marked = report is None
        for key in keys:
            found = None if report is None else next(
                (r for r in report.rows if (r.quantity, r.species) == key), None)
            if found is None or found.value is None:
                cells.append((status_cell(found.status) if found is not None else "-", False))
                marked = True
                continue
            unit = units[key]
            std = "" if found.std is None else f" ± {spread(found.std / unit.scale)}"
            cells.append((escape(significant(found.value / unit.scale) + std), True))
            marked |= found.status != "ok"
        rows.append((cells, marked))
    table = html_table(header, rows, f"{len(sweep.points)} state points: mean ± population standard deviation")
    return f'<div class="wide">{table}</div>'


def sweep_html(sweep: SweepReport) -> str:
    """The table of a sweep as an HTML fragment: one row per state point, one column per quantity."""
    failures = "".join(f"<li>not analysed: {escape(f)}</li>" for f in sweep.failures)
    return f'<div class="quor-pp">{sweep_table(sweep)}' + (
        f'<ul class="warnings">{failures}</ul>' if failures else "") + "</div>"
