"""Headless Chromium on a page of the package: its layout measured at a width, and full-page screenshots.

The page runs no script and its content security policy forbids any, so the layout is
measured in a copy whose policy lets one script (by its nonce) write what it measured
into the page, which Chromium's --dump-dom then prints.
"""
import json
import os
import re
import shutil
import subprocess

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

_MEASURE = """<script nonce="quor-measure">
window.addEventListener("load", () => {
  const root = document.documentElement;
  const table = document.querySelector("table.quor-pp");
  const wide = [...document.querySelectorAll("div.wide")].map(d => d.scrollWidth - d.clientWidth);
  const result = {viewport: root.clientWidth, scrollWidth: root.scrollWidth, height: root.scrollHeight,
                  tableRight: table.getBoundingClientRect().right, overflow: Math.max(0, ...wide),
                  images: document.images.length,
                  rendered: [...document.images].filter(i => i.complete && i.naturalWidth > 0).length};
  const out = document.createElement("pre"); out.id = "quor-measure"; out.textContent = JSON.stringify(result);
  document.body.appendChild(out);
});
</script>"""

# Chromium is not what a sanitizer job checks: it runs without the preloaded runtime.
_BROWSER_ENV = {name: value for name, value in os.environ.items()
                if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def chromium(*args):
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                           "--enable-logging=stderr", "--v=0", "--virtual-time-budget=10000", *args],
                          capture_output=True, text=True, timeout=180, env=_BROWSER_ENV)


def measure(page, width, directory):
    """Viewport and document widths, the page's height and how far its tables overflow at `width` px."""
    text = open(page, encoding="utf-8").read()
    copy = directory / f"measured-{width}.html"
    copy.write_text(text.replace("style-src 'unsafe-inline'", "style-src 'unsafe-inline'; script-src 'nonce-quor-measure'")
                    .replace("</body>", _MEASURE + "</body>"), encoding="utf-8")
    dom = chromium(f"--window-size={width},1000", "--dump-dom", f"file://{copy}").stdout
    return json.loads(re.search(r'<pre id="quor-measure">(.*?)</pre>', dom).group(1))


def screenshot(page, width, height, path):
    """A screenshot of the page `width` px wide and `height` px tall (the page's own height: all of it)."""
    return chromium(f"--window-size={width},{height}", f"--screenshot={path}", f"file://{page}")
