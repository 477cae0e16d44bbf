"""HTML tables of results: escaping, status cells and the table markup that every HTML view shares.

The notebook views of results (`Fit`, `Report`, `SolutionProperties`, ...) and the
self-contained pages are all made of these tables, so that a row reads the same in
both; this module knows nothing of what the rows hold.
"""

from __future__ import annotations

import base64
import html
from collections.abc import Iterable, Sequence

__all__ = ["escape", "figure_html", "status_cell", "svg_uri", "html_table"]


def escape(value: object) -> str:
    """`value` as text, safe inside an element or a quoted attribute."""
    return html.escape(str(value), quote=True)


def status_cell(status: str) -> str:
    """A status, green when it is ok and red otherwise."""
    kind = "ok" if status == "ok" else "bad"
    return f'<span class="status-{kind}">{escape(status)}</span>'


def html_table(header: Sequence[str], rows: Iterable[tuple[Sequence[tuple[str, bool]], bool]], caption: str = "") -> str:
    """A table: each row is its cells (text already escaped, numeric or not) and whether it is marked."""
    parts = ['<table class="quor-pp">']
    if caption:
        parts.append(f"<caption>{caption}</caption>")
    parts.append("<thead><tr>" + "".join(f"<th>{escape(h)}</th>" for h in header) + "</tr></thead><tbody>")
    for cells, marked in rows:
        tds = "".join(f'<td class="num">{text}</td>' if numeric else f"<td>{text}</td>" for text, numeric in cells)
        parts.append(f'<tr class="bad">{tds}</tr>' if marked else f"<tr>{tds}</tr>")
    parts.append("</tbody></table>")
    return "".join(parts)


def svg_uri(data: bytes) -> str:
    """An SVG image as a data URI, for an <img> that loads nothing."""
    return "data:image/svg+xml;base64," + base64.b64encode(data).decode("ascii")


def figure_html(uri: str, caption: str) -> str:
    """A <figure> of an image URI with its caption."""
    return f'<figure><img src="{uri}" alt="{escape(caption)}"><figcaption>{escape(caption)}</figcaption></figure>'
