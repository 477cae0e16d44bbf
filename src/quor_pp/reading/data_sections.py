"""The sections of a LAMMPS data file, read from a stream of its lines: the rows of Atoms, the others passed over."""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass

from .line_stream import LineStream

__all__ = ["SECTIONS", "Rows", "atom_rows", "content", "section_rows"]

# Section names of a data file. A line holding one of them (and perhaps a comment) ends
# the header or the previous section.
SECTIONS = frozenset({
    "Atoms", "Velocities", "Masses", "Ellipsoids", "Lines", "Triangles", "Bodies",
    "Bonds", "Angles", "Dihedrals", "Impropers",
    "Pair Coeffs", "PairIJ Coeffs", "Bond Coeffs", "Angle Coeffs", "Dihedral Coeffs", "Improper Coeffs",
    "BondBond Coeffs", "BondAngle Coeffs", "MiddleBondTorsion Coeffs", "EndBondTorsion Coeffs",
    "AngleTorsion Coeffs", "AngleAngleTorsion Coeffs", "BondBond13 Coeffs", "AngleAngle Coeffs",
    "Atom Type Labels", "Bond Type Labels", "Angle Type Labels", "Dihedral Type Labels",
    "Improper Type Labels",
})

# A line of Atoms rows that starts with a word (a section name) sends the rows to the
# line-by-line path; how the rows of a section start (a number, or indented): a line
# starting otherwise may be a section name.
_WORD_START = re.compile(r"^[ \t]*[A-Za-z]", re.MULTILINE)
_ROW_STARTS = frozenset("0123456789-+. \t")


def content(line: str) -> str:
    """A line without its comment and surrounding blanks."""
    return line.split("#", 1)[0].strip()


@dataclass
class Rows:
    """The rows of an Atoms section: the line number (from 1) and the fields of each."""

    numbers: Sequence[int]
    fields: list[list[str]]


def atom_rows(lines: LineStream, count: int) -> tuple[Rows, str | None]:
    """The `count` rows of an Atoms section, and the line after them.

    The common case (`count` plain lines after the blank ones) is split in one step;
    blank lines and comments among the rows are passed over one line at a time.
    """
    line = lines.next()
    while line is not None and not line.strip():
        line = lines.next()
    if line is None:
        return Rows([], []), None
    start = lines.number
    block = [line] + lines.take(count - 1)
    if len(block) == count:
        joined = "\n".join(block)
        if "#" not in joined and _WORD_START.search(joined) is None:
            fields = [text.split() for text in block]
            if min(map(len, fields)) > 0:
                return Rows(range(start, start + count), fields), _after(lines)
    lines.put_back(block[1:])
    numbers: list[int] = []
    rows: list[list[str]] = []
    while line is not None:
        text = content(line)
        if text in SECTIONS or (len(rows) == count and text):
            return Rows(numbers, rows), line
        if text:
            numbers.append(lines.number)
            rows.append(text.split())
        line = lines.next()
    return Rows(numbers, rows), None


def _after(lines: LineStream) -> str | None:
    """The next line that is not blank (or only a comment), or None at the end."""
    line = lines.next()
    while line is not None and not content(line):
        line = lines.next()
    return line


def section_rows(lines: LineStream, keep: bool) -> tuple[list[tuple[int, list[str]]], str | None]:
    """The non-blank lines of a section body (line number from 1, fields) when `keep`, and the next section's line.

    A section not kept (velocities, bonds, ...) is passed over without holding it.
    """
    body: list[tuple[int, list[str]]] = []
    if not keep:
        while (line := lines.pass_rows(_ROW_STARTS)) is not None:
            if content(line) in SECTIONS:
                return body, line
        return body, None
    while (line := lines.next()) is not None:
        text = content(line)
        if text in SECTIONS:
            return body, line
        if text:
            body.append((lines.number, text.split()))
    return body, None
