"""Figures drawn the quick way look the same: thinned curves, figures drawn in parallel, compared by pixels."""

import pathlib
import shutil

import numpy as np
import pytest

import quor_pp
from quor_pp.views import plots
from pixels import assert_looks_the_same, pixels

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    """A replica whose self-diffusion curves have 60 000 rows: ballistic, then diffusive, with noise."""
    pytest.importorskip("matplotlib")
    run = tmp_path_factory.mktemp("long") / "replica_1"
    shutil.copytree(RUN / "replica_1", run)
    rng = np.random.default_rng(7)
    t = np.geomspace(10.0, 1.3e6, 60_000)
    columns = [scale * t * t / (t + 2e3) * (1.0 + 0.01 * rng.standard_normal(len(t)))
               for scale in (0.22, 0.0024, 0.0038)]
    lines = ["#NOTE: time in fs, MSD in Angstrom^2", "#Time\tMSD__wat\tMSD__Na\tMSD__Cl\t"]
    lines += [f" {row[0]:.8g}\t{row[1]:.8g}\t{row[2]:.8g}\t{row[3]:.8g}" for row in zip(t, *columns)]
    (run / "diffself.dat").write_text("\n".join(lines) + "\n")
    return run


def test_a_thinned_long_curve_draws_the_same_figure(long_run, tmp_path, monkeypatch):
    report = quor_pp.analyze(long_run, charges={"Na": 1, "Cl": -1})
    fit = next(fit for _, estimate, fit in report.fits("self_diffusion", "Na"))
    assert len(fit.time) == 60_000
    thinned = plots.plot_fits(report, "self_diffusion", "Na", tmp_path)[0]
    shutil.move(thinned, tmp_path / "thinned.png")
    monkeypatch.setattr(plots, "thin", lambda x, y, columns, keep=None: np.arange(len(x)))
    whole = plots.plot_fits(report, "self_diffusion", "Na", tmp_path)[0]
    assert_looks_the_same(tmp_path / "thinned.png", whole)


@pytest.mark.parametrize("shape", ["noise", "steps", "gaps"])
def test_thinning_keeps_each_columns_extremes_and_every_point_of_a_window(shape):
    rng = np.random.default_rng(3)
    x = np.geomspace(1.0, 1e6, 50_000)
    y = {"noise": x * (1.0 + 0.3 * rng.standard_normal(len(x))),
         "steps": np.floor(np.log10(x) * 3.0),
         "gaps": np.where(rng.random(len(x)) < 0.01, np.nan, x)}[shape]
    keep = np.zeros(len(x), dtype=bool)
    keep[20_000:21_000] = True
    columns = 500
    kept = plots.thin(x, y, columns, keep)
    assert len(kept) <= 4 * columns + keep.sum() + np.isnan(y).sum()
    assert np.all(np.diff(kept) > 0) and kept[0] == 0 and kept[-1] == len(x) - 1
    assert set(range(20_000, 21_000)) <= set(kept.tolist())
    assert set(np.flatnonzero(np.isnan(y)).tolist()) <= set(kept.tolist())
    # Each column of the plot reaches as high and as low as the whole curve does there.
    finite = ~np.isnan(y)
    column = np.minimum((np.log(x) / np.log(1e6) * columns).astype(int), columns - 1)
    for k in rng.choice(columns, 40, replace=False):
        inside = (column == k) & finite
        if inside.any():
            chosen = inside[kept]
            assert y[kept][chosen].max() == y[inside].max() and y[kept][chosen].min() == y[inside].min()


@pytest.mark.parametrize("x", [np.linspace(1.0, 10.0, 100), np.array([3.0, 2.0, 1.0] * 1000)],
                         ids=["short", "not increasing"])
def test_curves_that_need_no_thinning_are_kept_whole(x):
    assert plots.thin(x, x, 25).tolist() == list(range(len(x)))


def test_figures_drawn_at_once_in_other_processes_are_the_figures_drawn_here(tmp_path):
    pytest.importorskip("matplotlib")
    report = quor_pp.analyze([RUN / "replica_1", RUN / "replica_2"], charges={"Na": 1, "Cl": -1})
    told = []
    here = plots.plot_report(report, tmp_path / "here", formats=("png", "svg"))
    there = plots.plot_report(report, tmp_path / "there", formats=("png", "svg"), jobs=2, progress=told.append)
    assert [pathlib.Path(p).relative_to(tmp_path / "there") for p in there] == \
        [pathlib.Path(p).relative_to(tmp_path / "here") for p in here]
    assert sorted(told) == sorted(dict.fromkeys(pathlib.Path(p).stem for p in there))  # each figure told once
    for first, second in zip(here, there):
        if first.endswith(".png"):
            assert np.array_equal(pixels(first), pixels(second))
        else:  # text stays text in SVG, wherever it is drawn
            assert "<text" in pathlib.Path(second).read_text()


@pytest.mark.parametrize("where", ["here", "worker"])
def test_a_figure_that_fails_while_others_are_drawn_at_once_is_raised(tmp_path, where):
    pytest.importorskip("matplotlib")
    import os

    report = quor_pp.analyze(RUN / "replica_1", charges={"Na": 1, "Cl": -1})
    # This process draws figures while the worker starts, and the worker takes one as soon as it can.
    figures = [(_fails_in, report, (where, os.getpid()))] * 4
    with pytest.raises(ValueError, match=f"no figure {where}"):
        list(plots._drawn_here_and_in_workers(figures, str(tmp_path), ("png",), 1))


def _fails_in(report, where, parent, directory, *, formats):
    import os

    if (where == "here") == (os.getpid() == parent):
        raise ValueError(f"no figure {where}")
    return plots.plot_replica_values(report, directory, formats=formats)
