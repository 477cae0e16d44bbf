"""The notebook view of one fit: its facts as a table and its curve, window and fitted line as an SVG figure.

The figure is drawn here with matplotlib alone (when it is installed), not by the
figure modules of `quor_pp.views`: a fit shown in a notebook needs none of them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ..core.html_table import escape, figure_html, status_cell, svg_uri, html_table

if TYPE_CHECKING:
    from .fitting import Fit

__all__ = ["fit_html"]


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
    table = html_table(("", ""), (([(escape(k), False), (status_cell(v) if k == "status" else escape(v), False)], False)
                             for k, v in facts))
    figure = ""
    if len(fit.time) and _has_matplotlib():
        figure = figure_html(svg_uri(_fit_svg(fit)), f"{fit.column}: curve, window and fitted line")
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
