"""Figures drawn the quick way look as they did: compared by pixels with figures drawn by the first version.

The references in tests/data/figures were drawn from the sample run before the
figures were made quicker (matplotlib's own ticks, one figure at a time).
"""

import pathlib

import pytest

import quor_pp
from quor_pp.views import plots
from quor_pp.views import structure_plots
from quor_pp.views import figure_style
from pixels import assert_looks_the_same
import quor_pp.analysis.display

ROOT = pathlib.Path(__file__).parents[1]
RUN = ROOT / "examples" / "data" / "run"
REFERENCES = ROOT / "tests" / "data" / "figures"


@pytest.fixture(scope="module")
def report():
    pytest.importorskip("matplotlib")
    # Each replica over its own window, as when the references were drawn: these tests are about drawing.
    return quor_pp.analyze(RUN, charges={"Na": 1, "Cl": -1}, replica_windows="own")


@pytest.mark.parametrize("name, draw", [
    ("self_diffusion_Na", lambda report, where: plots.plot_fits(report, "self_diffusion", "Na", where)),
    ("angle_distribution", lambda report, where: structure_plots.plot_angles(report, where)),
])
def test_figures_look_as_they_did(report, tmp_path, name, draw):
    (path,) = draw(report, tmp_path)
    assert pathlib.Path(path).name == f"{name}.png"
    assert_looks_the_same(path, REFERENCES / f"{name}.png")


@pytest.mark.parametrize("quantity, species, units", [
    ("self_diffusion", "wat", "real"),  # log axes over ten decades
    ("viscosity_component", "xy", "real"),
    ("onsager", "Na-Cl", "lj"),  # reduced units: other decades
])
def test_minor_ticks_drawn_as_lines_are_matplotlibs_ticks(tmp_path, monkeypatch, quantity, species, units):
    pytest.importorskip("matplotlib")
    options = {"units": "lj", "temperature": 1.0} if units == "lj" else {}
    report = quor_pp.analyze([RUN / "replica_1", RUN / "replica_2"], charges={"Na": 1, "Cl": -1}, **options)
    (quick,) = plots.plot_fits(report, quantity, species, tmp_path, formats=("png",))
    quick = pathlib.Path(quick).rename(tmp_path / "quick.png")
    monkeypatch.setattr(figure_style, "_minor_ticks_as_lines", lambda figure: None)
    (own,) = plots.plot_fits(report, quantity, species, tmp_path)
    assert_looks_the_same(quick, own, changed=0.0)


def test_labelled_minor_ticks_are_left_to_matplotlib():
    pytest.importorskip("matplotlib")
    from matplotlib.lines import Line2D

    figure = figure_style.new_figure((4.0, 3.0))
    axes = figure.subplots()
    axes.plot([2.0, 5.0], [1.0, 2.0])
    axes.set_xscale("log")  # two thirds of a decade: matplotlib labels the minor ticks
    labelled = axes.xaxis.get_minor_locator()
    axes.set_yscale("log")
    axes.set_ylim(1e-3, 1e3)  # unlabelled minor ticks
    figure_style._minor_ticks_as_lines(figure)
    assert axes.xaxis.get_minor_locator() is labelled
    marks = [a for a in axes.get_children() if isinstance(a, Line2D) and a.get_label() == "_minor ticks"]
    assert len(marks) == 1 and len(marks[0].get_ydata()) == 6 * 8  # 8 per decade, none on a decade


def test_replica_values_keep_every_row_readable(report, tmp_path, monkeypatch):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    drawn = []
    monkeypatch.setattr(plots, "save", lambda figure, *rest: drawn.append(figure) or [])
    plots.plot_replica_values(report, tmp_path)
    (figure,) = drawn
    renderer = FigureCanvasAgg(figure).get_renderer()
    rows = [row for row in report.rows if row.n > 0]
    panels = [axes for axes in figure.axes if axes.axison]
    assert len(panels) == len(rows) == 44  # with the density of density.dat
    heading = figure._suptitle.get_window_extent(renderer)
    for axes, row in zip(panels, rows):
        assert not axes.title.get_window_extent(renderer).overlaps(heading), axes.get_title()
        # The replica values, each where its value is, and enough labelled ticks to read them.
        (points,) = [line for line in axes.get_lines() if line.get_marker() == "o"]
        scale = quor_pp.analysis.display.display_unit(row.unit).scale
        assert points.get_ydata() * scale == pytest.approx([v for v in row.replicas], rel=1e-12, nan_ok=True)
        low, high = axes.get_ylim()
        shown = [tick for tick in axes.get_yticks() if low <= tick <= high]
        assert 3 <= len(shown) <= 6, axes.get_title()
