"""HTML views: the notebook tables hold the report's values; the page of an analysis renders in a real browser."""
import base64
import html.parser
import json
import os
import re
import shutil
import subprocess

import pytest

import quor_pp
from quor_pp.views import html as qhtml, plots
from quor_pp.datasets import SAMPLE_CHARGES, sample_run
from quor_pp.analysis.display import display_unit, significant

SWEEP = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "sweep")


@pytest.fixture(scope="module")
def report():
    return quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES)


@pytest.fixture(scope="module")
def page(report, tmp_path_factory):
    pytest.importorskip("matplotlib")
    return qhtml.write_report(report, tmp_path_factory.mktemp("page") / "report.html")


class _Page(html.parser.HTMLParser):
    """The images, links and table cells of a page."""

    def __init__(self):
        super().__init__()
        self.images, self.references, self.cells, self._cell = [], [], [], None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "img":
            self.images.append(attrs["src"])
        for name in ("src", "href"):
            if name in attrs and tag != "img":
                self.references.append(attrs[name])
        if tag == "td":
            self._cell = ""

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag == "td":
            self.cells.append(self._cell)
            self._cell = None


def _parsed(text):
    parser = _Page()
    parser.feed(text)
    return parser


def test_report_html_shows_every_rows_value_unit_and_status(report):
    cells = _parsed(report._repr_html_()).cells
    for row in report.rows:
        unit = display_unit(row.unit)
        assert significant(row.value / unit.scale) in cells
        assert unit.fancy in cells
    assert cells.count("ok") == len(report.rows)


def test_a_row_without_a_value_is_marked_with_its_status():
    # No window is diffusive to within a millionth: every fitted row fails, and says why.
    failed = quor_pp.analyze(os.path.join(sample_run(), "replica_1"), curves=False,
                             window=quor_pp.WindowSettings(max_error=1e-6))
    parsed = _parsed(failed._repr_html_())
    assert "no window" in parsed.cells
    assert failed._repr_html_().count('<tr class="bad">') == sum(row.status != "ok" for row in failed.rows) > 0


def test_sweep_and_solution_and_fit_views(report):
    sweep = quor_pp.sweep(SWEEP)
    cells = _parsed(sweep._repr_html_()).cells
    assert [point.name for point in sweep.points] == [c for c in cells if c in {p.name for p in sweep.points}]
    viscosity = sweep.series("viscosity")[0][1]
    assert any(c.startswith(significant(viscosity.value / 1e-3)) for c in cells)
    fit = report.fits("viscosity")[0][2]
    view = _parsed(fit._repr_html_())
    assert f"{fit.slope:.6g} per time unit" in view.cells
    pytest.importorskip("pandas")
    frame = fit.to_pandas()
    assert frame["in_window"].sum() == fit.stop - fit.start
    pytest.importorskip("matplotlib")
    assert len(view.images) == 1 and b"<svg" in base64.b64decode(view.images[0].split(",", 1)[1])


def test_solution_properties_view_and_frame():
    pytest.importorskip("chemicals")
    koh = quor_pp.salt("KOH").properties([298.15], molality=[1.0, 6.0])
    cells = _parsed(koh._repr_html_()).cells
    assert f"{koh.density[1]:.3f}" in cells and f"{koh.viscosity[1] * 1e3:.4f}" in cells
    assert list(koh.to_pandas()["density_kg_per_m3"]) == list(koh.density)


def test_page_is_self_contained_with_every_figure_and_every_file(report, page):
    from quor_pp.views import plots

    text = open(page, encoding="utf-8").read()
    parsed = _parsed(text)
    assert parsed.references == []
    assert all(src.startswith("data:image/svg+xml;base64,") for src in parsed.images)
    # The fits, the replica values and the bond angles (the sample run has their histograms), as --plot draws them.
    assert len(parsed.images) == len(plots.figure_keys(report)) + 2
    for src in parsed.images:
        assert b"<svg" in base64.b64decode(src.split(",", 1)[1])
    for result in report.replicas:
        for name in os.listdir(result.path):
            path = os.path.join(result.path, name)
            assert os.path.abspath(path) in parsed.cells
            assert f"{os.path.getsize(path):,}" in parsed.cells
    assert quor_pp.__version__ in text and "Content-Security-Policy" in text


def test_write_replaces_the_file_whole(report, tmp_path):
    target = tmp_path / "r.html"
    target.write_text("old")
    qhtml.write_report(quor_pp.analyze(sample_run(), curves=False), target)
    assert target.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert os.listdir(tmp_path) == ["r.html"]


# --- in a real browser --------------------------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed")

# Run in a copy of the page, whose policy lets this one script (by its nonce) count what rendered.
_CHECK = """<script nonce="quor-check">
window.addEventListener("load", () => {
  const images = [...document.images];
  const result = {rendered: images.filter(i => i.complete && i.naturalWidth > 0).length, images: images.length,
                  rows: document.querySelector("table.quor-pp").tBodies[0].rows.length,
                  visible: document.querySelector("table.quor-pp").getBoundingClientRect().height > 0};
  const out = document.createElement("pre"); out.id = "quor-check"; out.textContent = JSON.stringify(result);
  document.body.appendChild(out);
});
</script>"""

# Chromium is not what a sanitizer job checks: it runs without the preloaded runtime.
_BROWSER_ENV = {name: value for name, value in os.environ.items()
                if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def _chromium(*args):
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                           "--v=0", "--virtual-time-budget=10000", *args], capture_output=True, text=True, timeout=120,
                          env=_BROWSER_ENV)


@needs_chromium
def test_page_renders_in_headless_chromium(report, page, tmp_path):
    loaded = _chromium("--hide-scrollbars", "--window-size=1280,2000", f"--screenshot={tmp_path / 'shot.png'}",
                       f"file://{page}")
    console = [line for line in loaded.stderr.splitlines() if ":CONSOLE" in line]
    assert console == []
    shot = (tmp_path / "shot.png").read_bytes()
    assert shot[:8] == b"\x89PNG\r\n\x1a\n" and len(shot) > 50_000
    assert int.from_bytes(shot[16:20], "big") == 1280 and int.from_bytes(shot[20:24], "big") == 2000

    text = open(page, encoding="utf-8").read()
    checked = tmp_path / "checked.html"
    checked.write_text(text.replace("style-src 'unsafe-inline'", "style-src 'unsafe-inline'; script-src 'nonce-quor-check'")
                       .replace("</body>", _CHECK + "</body>"), encoding="utf-8")
    dom = _chromium("--dump-dom", f"file://{checked}").stdout
    result = json.loads(re.search(r'<pre id="quor-check">(.*?)</pre>', dom).group(1))
    assert result["images"] == result["rendered"] == text.count("<img ")
    assert result["rows"] == len(report.rows) and result["visible"]


def test_sweep_page_has_every_point_and_a_figure_per_quantity(tmp_path):
    pytest.importorskip("matplotlib")
    sweep = quor_pp.sweep(SWEEP)
    text = open(qhtml.write_sweep_report(sweep, tmp_path / "sweep.html"), encoding="utf-8").read()
    parsed = _parsed(text)
    assert parsed.references == []
    with_values = [key for key in sweep.keys() if any(row.value is not None for _, row in sweep.series(*key))]
    against_experiment = sum("_vs_experiment" in path for path in plots.plot_sweep(sweep, tmp_path / "p", formats=("png",)))
    assert len(parsed.images) == len(with_values) + against_experiment
    assert all(f"<summary>{point.name}</summary>" in text for point in sweep.points)
