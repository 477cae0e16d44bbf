"""The built documentation in a real browser, offline: formulas render as maths, and nothing comes from the network.

The site is the one `scripts/ci/docs.sh` leaves in docs/_build/html; without it (or
without Chromium) the browser tests skip. Screenshots go to $QUOR_PP_SCREENSHOTS
(default: a temporary directory), to be looked at.
"""
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SITE = ROOT / "docs" / "_build" / "html"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def _site_is_current():
    """Built, and after the configuration it was built from last changed (an old build is no evidence)."""
    index = SITE / "index.html"
    sources = [ROOT / "docs" / "conf.py", *(ROOT / "docs" / "_ext").glob("*.py")]
    return index.is_file() and index.stat().st_mtime >= max(path.stat().st_mtime for path in sources)


needs_site = pytest.mark.skipif(not _site_is_current(),
                                reason="docs/_build/html is not built, or older than docs/conf.py: run scripts/ci/docs.sh")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed")


def _check_offline():
    found = importlib.util.spec_from_file_location("check_offline", ROOT / "scripts" / "ci" / "check_offline.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_offline_check_finds_every_kind_of_load_from_the_network(tmp_path):
    (tmp_path / "index.html").write_text(
        '<html><head><script src="https://cdn.example.org/mathjax/tex-chtml.js"></script>'
        '<link rel="stylesheet" href="//fonts.example.org/css">'
        '<link rel="preload" as="font" href="http://fonts.example.org/a.woff2">'
        '<style>@font-face { src: url("https://fonts.example.org/b.woff2") }</style>'
        '<script src="_static/local.js"></script><link rel="stylesheet" href="_static/own.css"></head>'
        '<body><a href="https://example.org/paper">a link a reader follows</a></body></html>', encoding="utf-8")
    (tmp_path / "_static").mkdir()
    (tmp_path / "_static" / "own.css").write_text("body { background: url(img.png) }\n"
                                                  "@import 'https://fonts.example.org/c.css';\n", encoding="utf-8")
    (tmp_path / "_static" / "local.js").write_text('import("https://cdn.example.org/m.js");', encoding="utf-8")
    found = _check_offline().remote_loads(str(tmp_path))
    assert len(found) == 6, found
    assert not any("example.org/paper" in line or "img.png" in line for line in found)


@needs_site
def test_the_built_site_loads_nothing_from_the_network_and_ships_mathjax():
    assert _check_offline().remote_loads(str(SITE)) == []
    assert (SITE / "_static" / "mathjax" / "tex-chtml.js").is_file()


# Chromium is not what a sanitizer job checks: it runs without the preloaded runtime.
_BROWSER_ENV = {name: value for name, value in os.environ.items()
                if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def _chromium(*args):
    # Every http(s) request goes to a closed port and no name resolves: the page has only its own files.
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                           "--proxy-server=http://127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND",
                           "--virtual-time-budget=15000", *args], capture_output=True, text=True, timeout=180,
                          env=_BROWSER_ENV)


PAGES = [("self_diffusion", "generated/quantities/self_diffusion.html"),
         ("maxwell_stefan", "generated/quantities/maxwell_stefan.html"),
         ("gallery", "generated/gallery.html")]


@needs_site
@needs_chromium
@pytest.mark.parametrize("name, page", PAGES, ids=[name for name, _ in PAGES])
def test_page_renders_offline_with_its_formulas_as_maths(name, page, tmp_path):
    url = (SITE / page).as_uri()
    shots = pathlib.Path(os.environ.get("QUOR_PP_SCREENSHOTS") or tmp_path)
    shots.mkdir(parents=True, exist_ok=True)
    shot = shots / f"docs_{name}.png"
    _chromium("--window-size=1280,1800", f"--screenshot={shot}", url)
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 50_000

    source = (SITE / page).read_text(encoding="utf-8")
    formulas = source.count('class="math notranslate nohighlight"')
    dom = _chromium("--dump-dom", url).stdout
    body = re.sub(r"<script.*?</script>", "", dom, flags=re.DOTALL)
    # MathJax replaces each \[ ... \] (or \( ... \)) by a rendered container; none is left as TeX.
    assert body.count("<mjx-container") >= formulas
    assert "\\[" not in body and "\\frac" not in body
    if name != "gallery":
        assert formulas >= 1 and "Statuses" in body and "Inputs" in body
    else:
        assert body.count("<img") >= 10
