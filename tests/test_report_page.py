"""The page `quor-pp analyze --report` writes, as a colleague receives it: every figure of --plot, settings and
inputs in words and units, one line per warning's cause, readable at 800 px and printable on A4."""

import html
import html.parser
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import quor_pp
from quor_pp.datasets import SAMPLE_CHARGES, sample_run
from quor_pp.views import html as qhtml
from page_browser import CHROMIUM, chromium, measure, screenshot

ROOT = pathlib.Path(__file__).parents[1]
DATA = ROOT / "examples" / "data"
SAMPLES = {"mixture": [DATA / "mixture"], "run": [DATA / "run", "--charge", "Na=1,Cl=-1"]}
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed")


def command(*args):
    return subprocess.run([sys.executable, "-m", "quor_pp", *map(str, args)], capture_output=True, text=True,
                          timeout=300, cwd=ROOT)


class _Sections(html.parser.HTMLParser):
    """Each section's text, table rows (cells) and images, by its heading."""

    def __init__(self):
        super().__init__()
        self.sections, self._name, self._row, self._cell, self._heading = {}, None, None, None, False

    def handle_starttag(self, tag, attrs):
        if tag == "h2":
            self._heading, self._name = True, ""
        elif tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._cell = ""
        elif tag == "img" and self._name is not None:
            self.sections[self._name]["images"].append(dict(attrs)["alt"])

    def handle_endtag(self, tag):
        if tag == "h2":
            self._heading = False
            self.sections[self._name] = {"text": "", "rows": [], "images": []}
        elif tag in ("td", "th") and self._row is not None:
            self._row.append(self._cell)
            self._cell = None
        elif tag == "tr" and self._name is not None and self._row is not None:
            self.sections[self._name]["rows"].append(self._row)
            self._row = None

    def handle_data(self, data):
        if self._heading:
            self._name += data
        elif self._name is not None:
            self.sections[self._name]["text"] += data
            if self._cell is not None:
                self._cell += data


def sections(text):
    parser = _Sections()
    parser.feed(text)
    return parser.sections


@pytest.fixture(scope="module", params=sorted(SAMPLES))
def made(request, tmp_path_factory):
    """(sample, page text, plot files, command's stdout) of `analyze --plot --plot-format png,svg --report`."""
    pytest.importorskip("matplotlib")
    directory = tmp_path_factory.mktemp(request.param)
    result = command("analyze", *SAMPLES[request.param], "--plot", directory / "plots", "--plot-format", "png,svg",
                     "--report", directory / "report.html")
    assert result.returncode == 0, result.stderr
    return (request.param, (directory / "report.html").read_text(encoding="utf-8"),
            sorted(os.listdir(directory / "plots")), result.stdout)


def test_the_page_holds_every_figure_that_plot_writes(made):
    sample, text, plots, _ = made
    figures = sections(text)["Figures"]["images"]
    for suffix in ("png", "svg"):
        assert len(figures) == len([name for name in plots if name.endswith("." + suffix)])
    if sample == "mixture":
        # The structure figures are there: one per pair with an rdf, as --plot draws them.
        pairs = [name for name in plots if name.startswith("rdf_") and name.endswith(".svg")]
        assert len(pairs) == 3 and sum("Radial distribution function" in alt for alt in figures) == 3
    assert len(set(figures)) == len(figures)


def test_a_sweeps_page_holds_every_figure_that_plot_writes(tmp_path):
    """The figures against experiment included: the page draws the list that --plot draws."""
    pytest.importorskip("matplotlib")
    pytest.importorskip("chemicals")
    result = command("sweep", DATA / "sweep", "--plot", tmp_path / "plots", "--report", tmp_path / "sweep.html",
                     "-q")
    assert result.returncode == 0, result.stderr
    figures = sections((tmp_path / "sweep.html").read_text(encoding="utf-8"))["Figures"]["images"]
    written = os.listdir(tmp_path / "plots")
    assert len(figures) == len(written)
    assert sum("against experiment" in alt for alt in figures) == sum("_vs_experiment" in name for name in written) > 0


def test_settings_read_as_a_reader_writes_them(made):
    _, text, _, _ = made
    settings = sections(text)["Settings"]
    rows = [row for row in settings["rows"] if row != ["setting", "value", "unit"]]
    assert rows and all(len(row) == 3 for row in rows)
    shown = " ".join(cell for row in rows for cell in row)
    for python in ("{", "[", "('", "',", "None", "True", "False", "0.333"):
        assert python not in shown
    by_name = {row[0]: row[1:] for row in rows}
    assert by_name["window length"] == ["10 to 59", "rows"]
    assert by_name["windows checked and bad ones rejected"] == ["yes", ""]
    # Each curve's window is in the run's time unit (fs for real units).
    assert by_name["fit window of the shear viscosity"][1] == "fs"
    # The version is said once, in the header.
    assert text.count(quor_pp.__version__) == 1 and f"Made by quor-pp {quor_pp.__version__}" in text


def test_each_input_once_in_the_tables_units(made):
    sample, text, _, stdout = made
    results = sections(text)["Results"]["text"]
    inputs = re.search(r"Inputs: (.*?)\.\s*Checked", results, re.DOTALL).group(1).split("; ")
    printed = re.search(r"^# inputs: (.*)$", stdout, re.MULTILINE).group(1).split("; ")
    assert inputs == printed
    names = [entry.split(" = ")[0] for entry in inputs]
    assert len(names) == len(set(names)) and {"T", "V", "η"} <= set(names)
    # The volume in nm³, as the volume row of the table: the generator's box, 1 nm³ = 1000 Å³.
    volume = next(entry for entry in inputs if entry.startswith("V = "))
    if sample == "mixture":
        truth = json.loads((DATA / "mixture" / "truth.json").read_text())
        assert volume == f"V = {truth['volume_A3'] / 1000:.2f} nm³ (volume.dat)"
    table = {row[0]: row for row in sections(text)["Results"]["rows"] if row}
    assert volume.split()[2] == table["volume"][2] and table["volume"][7] == "nm³"


def test_the_window_length_is_said_as_the_search_uses_it(tmp_path):
    # max_window is excluded: a search over windows "of 8 to 19 rows" never fits a window of 20.
    report = quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES, curves=False,
                             window=quor_pp.WindowSettings(min_window=8, max_window=20))
    lengths = {fit.stop - fit.start for _, _, fit in report.fits() if fit.success}
    assert lengths and max(lengths) <= 19 and min(lengths) >= 8
    page = qhtml.report_page(report)
    assert "windows of 8 to 19 rows" in page
    printed = command("analyze", sample_run(), "--charge", "Na=1,Cl=-1", "--min-window", "8", "--max-window", "20")
    assert "windows of 8 to 19 rows" in printed.stdout


def test_warnings_are_one_line_per_cause_on_the_page_in_the_notebook_and_printed(tmp_path):
    # A tolerance this tight leaves several curves of several replicas without a window: the
    # replicas' shared window fails in each with its own slope.
    pytest.importorskip("matplotlib")  # the page's --report
    settings = ["--charge", "Na=1,Cl=-1", "--max-error", "0.01"]
    printed = command("analyze", sample_run(), *settings, "--report", tmp_path / "page.html")
    assert printed.returncode == 0
    lines = [line.split("warning: ", 1)[1] for line in printed.stderr.splitlines() if "warning: " in line]
    report = quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES, curves=False,
                             window=quor_pp.WindowSettings(max_error=0.01))
    notices = report.notices()
    assert len(lines) == len(notices)
    for notice in notices:
        assert sum(line.startswith(", ".join(notice.what) + ": ") for line in lines) == 1
    # Every failed estimate is named by exactly one notice: no cause is told twice.
    failed = {f"{e.quantity} {e.species}".strip() for r in report.replicas for e in r.estimates if not e.success}
    named = [what for notice in notices for what in notice.what]
    assert set(named) == failed
    keys = [(notice.status, re.sub(r"[\d.–]+", "#", notice.reason)) for notice in notices]
    assert len(keys) == len(set(keys))
    shared = next(n for n in notices if "common window" in n.reason and "viscosity_component xy" in n.what)
    assert {"viscosity_component xz", "viscosity_component yz"} <= set(shared.what)
    assert re.search(r"slope is 1\.0\d–1\.0\d", shared.reason)
    page = (tmp_path / "page.html").read_text(encoding="utf-8")
    warnings = page[page.index("<h2>Warnings</h2>"):]
    warnings = warnings[:warnings.index("</section>")]
    for view in (warnings, report._repr_html_()):
        assert view.count("<li>") == len(notices)
        assert sum(f"<li>{html.escape(n.what[0], quote=True)}" in view for n in notices) == len(notices)


# --- in a real browser --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def mixture_page(tmp_path_factory):
    pytest.importorskip("matplotlib")
    directory = tmp_path_factory.mktemp("mixture-page")
    report = quor_pp.analyze(str(DATA / "mixture"))
    return pathlib.Path(qhtml.write_report(report, directory / "report.html")), directory


@pytest.fixture(scope="module")
def screenshots(tmp_path_factory):
    named = os.environ.get("QUOR_PP_SCREENSHOTS")
    directory = pathlib.Path(named) if named else tmp_path_factory.mktemp("screenshots")
    directory.mkdir(parents=True, exist_ok=True)
    return directory


@needs_chromium
@pytest.mark.parametrize("width", [1400, 800])
def test_report_screenshots_and_no_sideways_scroll(mixture_page, screenshots, width):
    page, directory = mixture_page
    measured = measure(page, width, directory)
    assert measured["images"] == measured["rendered"] > 0
    # The document and the results table fit the window: nothing to scroll sideways.
    assert measured["scrollWidth"] <= measured["viewport"] == width
    assert measured["tableRight"] <= width and measured["overflow"] == 0
    shot = screenshots / f"report-mixture-{width}.png"
    screenshot(page, width, measured["height"], shot)
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert int.from_bytes(data[16:20], "big") == width and int.from_bytes(data[20:24], "big") == measured["height"]


@needs_chromium
def test_report_prints_on_a4_portrait(mixture_page):
    page, directory = mixture_page
    pdf = directory / "report.pdf"
    chromium("--no-pdf-header-footer", f"--print-to-pdf={pdf}", f"file://{page}")
    boxes = re.findall(rb"/MediaBox\s*\[\s*0 0 ([\d.]+) ([\d.]+)\s*\]", pdf.read_bytes())
    assert boxes
    # A4 is 210 × 297 mm: 595 × 842 points, portrait.
    assert all(abs(float(w) - 595.3) < 2 and abs(float(h) - 841.9) < 2 for w, h in boxes)


@pytest.mark.parametrize("causes, reason", [
    (["no nvt_prod.dat", "no nvt_prod.dat"], "no nvt_prod.dat"),
    # One cause worded with each replica's numbers: their ranges, the numbers they share once.
    (["the replicas' common window 4640 to 6720 is not diffusive here (its log-log slope is 1.03, outside 1 ± 0.03)",
      "the replicas' common window 4480 to 6720 is not diffusive here (its log-log slope is 1.05, outside 1 ± 0.03)"],
     ("the replicas' common window 4480–4640 to 6720 is not diffusive here (its log-log slope is 1.03–1.05, "
      "outside 1 ± 0.03)")),
    # Details of another length: the cause without them.
    (["no window found is diffusive throughout (3200 to 18560: 17 of 27 rows; 17280 to 64000: 12 of 16 rows)",
      "no window found is diffusive throughout (8960 to 12800: 5 of 6 rows)"],
     "no window found is diffusive throughout (details differ between the replicas: see each row's message)"),
    # A number inside a name or a path is no number of the cause.
    (["/runs/replica_1/log.lammps: 3 rows", "/runs/replica_1/log.lammps: 5 rows"], "/runs/replica_1/log.lammps: 3–5 rows"),
])
def test_a_cause_worded_by_several_replicas_is_one_reason(causes, reason):
    from quor_pp.workflow.notice_causes import _reason, _template, _without_details

    assert _reason(causes) == reason
    assert len({_template(_without_details(cause)) for cause in causes}) == 1
    assert _template("/a/replica_1/x") != _template("/a/replica_2/x")
