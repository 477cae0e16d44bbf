"""What every figure shares: a new figure, its margins and tick labels, colours, thinning of long curves, and saving.

Needs matplotlib, imported when a figure is made. The modules that draw
(`plots`, `structure_plots`) use these, so that their figures look alike and are
written alike: whole files only, text kept as text in SVG.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["FORMATS", "colours", "decade_labels", "margins", "new_figure", "null_locator", "pixels",
           "require_matplotlib", "save", "text_as_text", "thin"]

#: The file formats written for every figure unless others are asked for.
FORMATS: Final = ("png",)

_DPI: Final = 150

# PNG files compressed quickly: the same pixels, in a file about a tenth larger, written
# several times faster than at the default level.
_WRITER_OPTIONS: Final[dict[str, dict[str, Any]]] = {"png": {"pil_kwargs": {"compress_level": 1}}}

def require_matplotlib() -> None:
    import matplotlib  # noqa: F401  (a missing package is reported before any figure is started)


def new_figure(size: tuple[float, float]) -> Figure:
    from matplotlib.figure import Figure

    return Figure(figsize=size, dpi=_DPI)


def margins(figure: Figure, *, left: float, right: float, bottom: float, top: float, hspace: float,
             wspace: float = 0.2) -> dict[str, float]:
    """Subplot parameters for margins given in inches, and spaces as fractions of a panel."""
    width, height = figure.get_size_inches()
    return {"left": left / width, "right": 1.0 - right / width, "bottom": bottom / height,
            "top": 1.0 - top / height, "hspace": hspace, "wspace": wspace}


_SUPERSCRIPTS: Final = str.maketrans("-0123456789", "⁻⁰¹²³⁴⁵⁶⁷⁸⁹")


def decade_labels(axes: Axes) -> None:
    """Label the decades of log axes as 10⁻³ in plain Unicode, and the minor ticks not at all.

    matplotlib's own labels are mathtext, whose parsing is most of the time spent
    drawing a figure of several log axes.
    """
    from matplotlib.ticker import FuncFormatter, NullFormatter

    def decade(value: float, _position: int | None) -> str:
        if value <= 0.0:
            return ""
        exponent = math.log10(value)
        if abs(exponent - round(exponent)) > 1e-9:
            return ""
        return "1" if round(exponent) == 0 else "10" + str(round(exponent)).translate(_SUPERSCRIPTS)

    for axis in (axes.xaxis, axes.yaxis):
        if axis.get_scale() == "log":
            axis.set_major_formatter(FuncFormatter(decade))
            axis.set_minor_formatter(NullFormatter())


def null_locator() -> Any:
    from matplotlib.ticker import NullLocator

    return NullLocator()


def colours(count: int) -> list[str]:
    return [f"C{k % 10}" for k in range(count)]



def thin(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], columns: int,
         keep: npt.NDArray[np.bool_] | None = None) -> npt.NDArray[np.intp]:
    """Indices of the points of a curve on a log x axis that a plot `columns` pixels wide can show.

    The axis is cut into `columns` equal spans of log x; of each span's points
    only the first, the last, the lowest and the highest are kept, which draws the
    same line at that resolution. Points where `keep` is true (a fitted window),
    and points whose x or y is not finite or x not positive (breaks in the line),
    are always kept. A curve of up to four points per column, or whose x does not
    increase, is kept whole.

    Examples
    --------
    >>> x = np.geomspace(1.0, 1e3, 10_000)
    >>> len(thin(x, np.sqrt(x), 100)) <= 400
    True
    """
    count = len(x)
    every = np.arange(count)
    if count <= 4 * columns or not bool(np.all(np.diff(x) >= 0.0)):
        return every
    usable = np.isfinite(x) & np.isfinite(y) & (x > 0.0)
    kept = ~usable if keep is None else (~usable | keep)
    logs = np.log(x[usable])
    low, high = logs[0], logs[-1]
    if not high > low:
        return every
    span = np.minimum(((logs - low) * (columns / (high - low))).astype(np.intp), columns - 1)
    rows = every[usable]
    by_value = np.lexsort((y[usable], span))  # within each span, lowest first
    starts = np.flatnonzero(np.r_[True, span[1:] != span[:-1]])
    ends = np.r_[starts[1:], len(span)] - 1
    kept[rows[starts]] = kept[rows[ends]] = True
    kept[rows[by_value[starts]]] = kept[rows[by_value[ends]]] = True
    return every[kept]


def pixels(axes: Axes) -> int:
    """The width of `axes` in pixels of the saved figure."""
    figure = axes.get_figure(root=True)
    assert figure is not None
    width: float = axes.get_position().width * figure.get_size_inches()[0] * figure.get_dpi()
    return max(1, math.ceil(width))



def text_as_text() -> Any:
    """Text stays text in SVG: smaller files, quicker to write, searchable."""
    import contextlib

    import matplotlib

    if matplotlib.rcParams["svg.fonttype"] == "none":
        return contextlib.nullcontext()
    return matplotlib.rc_context({"svg.fonttype": "none"})


def save(figure: Figure, directory: str | os.PathLike[str], stem: str, formats: Sequence[str]) -> list[str]:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    from ..core.outputs import replacing

    # The Agg canvas draws every format (vector ones through their own renderers) without
    # looking up a backend.
    canvas = FigureCanvasAgg(figure)
    _minor_ticks_as_lines(figure)
    paths = []
    for suffix in formats:
        path = os.path.join(os.fspath(directory), f"{stem}.{suffix}")
        # Whole files only, and a link in place of a figure is replaced, not written through.
        with (text_as_text() if suffix == "svg" else _nothing(),
              replacing(path, binary=True, follow_links=False) as stream):
            canvas.print_figure(stream, format=suffix, **_WRITER_OPTIONS.get(suffix, {}))
        paths.append(path)
    return paths


def _minor_ticks_as_lines(figure: Figure) -> None:
    """Draw unlabelled minor ticks as one line of tick marks per axis side instead of a Tick each.

    matplotlib makes every tick of its own (two tick marks, a grid line and two
    labels), which is most of the time spent drawing a figure of log axes: a
    decade has eight minor ticks. The marks drawn here are those matplotlib would
    draw, with the same style, at the same places (the locator's ticks in view,
    without those on a major tick). Axes with labelled minor ticks or minor grid
    lines keep matplotlib's own.
    """
    from matplotlib.lines import Line2D
    from matplotlib.ticker import NullLocator

    replaced = []
    for axes in figure.axes:
        for axis in (axes.xaxis, axes.yaxis):
            if isinstance(axis.get_minor_locator(), NullLocator) or not axis.get_visible():
                continue
            locations = np.asarray(axis.get_minorticklocs(), dtype=np.float64)
            transform = axis.get_transform()
            low, high = sorted(transform.transform(np.asarray(axis.get_view_interval(), dtype=np.float64)))
            moved = transform.transform(locations)
            slack = 1e-10 * (high - low)  # as matplotlib keeps a tick at the very edge
            locations = locations[(moved >= low - slack) & (moved <= high + slack)]
            prototype = axis.get_minor_ticks(1)[0]
            labelled = (any(axis.get_minor_formatter().format_ticks(list(locations)))
                        and (prototype.label1.get_visible() or prototype.label2.get_visible()))
            if labelled or prototype.gridline.get_visible():
                continue
            replaced.append((axes, axis, locations, prototype))
    # Only now: shared axes share their locator, and each needs it above.
    for axes, axis, locations, prototype in replaced:
        axis.set_minor_locator(NullLocator())
        for mark in (prototype.tick1line, prototype.tick2line):
            if not mark.get_visible() or len(locations) == 0:
                continue
            across = np.full(len(locations), np.asarray(mark.get_ydata() if axis is axes.xaxis
                                                        else mark.get_xdata(), dtype=np.float64)[0])
            line = Line2D(*((locations, across) if axis is axes.xaxis else (across, locations)))
            line.update_from(mark)
            line.set(label="_minor ticks", zorder=axis.get_zorder())
            axes.add_artist(line)
            line.set_clip_on(False)  # outside the axes, as ticks are



def _nothing() -> Any:
    import contextlib

    return contextlib.nullcontext()
