"""Fails when the built documentation loads anything from the network.

Usage: python scripts/ci/check_offline.py [SITE]   (default docs/_build/html)

Every page is read for script, stylesheet, font, image and frame tags whose source
is an http(s):// or protocol-relative URL, and every stylesheet and script of the
site (the theme's and MathJax's own) for url(...) and import() of such a URL. Links a
reader follows (<a href>) may point anywhere: only what a page loads by itself counts.
"""

from __future__ import annotations

import os
import re
import sys
from html.parser import HTMLParser

_REMOTE = re.compile(r"^\s*(https?:)?//", re.IGNORECASE)
# url(...) and @import in CSS, import(...) and importScripts(...) in JavaScript.
_CSS_URL = re.compile(r"""(?:url\(\s*['"]?|@import\s+['"])\s*((?:https?:)?//[^'")\s]+)""", re.IGNORECASE)
_JS_IMPORT = re.compile(r"""\bimport(?:Scripts)?\s*\(\s*['"]((?:https?:)?//[^'"]+)""")


class _Loads(HTMLParser):
    """The URLs a page loads by itself: scripts, stylesheets, preloads, fonts, images, frames, media."""

    def __init__(self) -> None:
        super().__init__()
        self.remote: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        found = dict(attrs)
        names: tuple[str, ...] = ()
        if tag in ("script", "img", "iframe", "audio", "video", "source", "embed"):
            names = ("src",)
        elif tag == "link":
            relation = (found.get("rel") or "").lower()
            if any(word in relation for word in ("stylesheet", "preload", "modulepreload", "icon", "prefetch")):
                names = ("href",)
        elif tag == "object":
            names = ("data",)
        for name in names:
            value = found.get(name)
            if value and _REMOTE.match(value):
                self.remote.append(f"<{tag} {name}={value}>")
        style = found.get("style") or ""
        self.remote += [f"<{tag} style=url({url})>" for url in _CSS_URL.findall(style)]


def remote_loads(site: str) -> list[str]:
    """Every load from the network in the site, as "file: what"."""
    problems = []
    for folder, _, files in os.walk(site):
        for name in sorted(files):
            path = os.path.join(folder, name)
            shown = os.path.relpath(path, site)
            if name.endswith(".html"):
                parser = _Loads()
                with open(path, encoding="utf-8") as stream:
                    text = stream.read()
                parser.feed(text)
                problems += [f"{shown}: {what}" for what in parser.remote]
                for block in re.findall(r"<style[^>]*>(.*?)</style>", text, re.DOTALL | re.IGNORECASE):
                    problems += [f"{shown}: <style> url({url})" for url in _CSS_URL.findall(block)]
            elif name.endswith(".css"):
                with open(path, encoding="utf-8", errors="replace") as stream:
                    problems += [f"{shown}: url({url})" for url in _CSS_URL.findall(stream.read())]
            elif name.endswith((".js", ".mjs")):
                with open(path, encoding="utf-8", errors="replace") as stream:
                    problems += [f"{shown}: import({url})" for url in _JS_IMPORT.findall(stream.read())]
    return problems


def main(argv: list[str]) -> int:
    site = argv[1] if len(argv) > 1 else os.path.join("docs", "_build", "html")
    if not os.path.isfile(os.path.join(site, "index.html")):
        print(f"check_offline: no site in {site} (build it first)", file=sys.stderr)
        return 2
    problems = remote_loads(site)
    for problem in problems:
        print(f"loads from the network: {problem}", file=sys.stderr)
    pages = sum(name.endswith(".html") for _, _, files in os.walk(site) for name in files)
    print(f"offline: {pages} pages checked, {len(problems)} loads from the network")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
