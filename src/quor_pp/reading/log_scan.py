"""The lines of a LAMMPS log that say which atoms a run holds, found without splitting the whole log into lines.

A production log is mostly thermodynamic rows (tens of megabytes of numbers); the
few lines that matter here are the echoed input commands and what LAMMPS printed
after them. One regular expression finds every line that starts with a letter or
with "N atoms"; only those are looked at in Python.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

__all__ = ["ATOM_COMMANDS", "LogSetup", "scan_setup"]

#: The input commands that decide the atoms and the groups of a run, in the order
#: they ran ('units' and 'atom_style' say how to read them).
ATOM_COMMANDS = frozenset({"units", "atom_style", "read_data", "replicate", "group", "create_atoms",
                           "delete_atoms", "read_restart", "read_dump"})

# A line (after the first) that starts with a word, or with a count of atoms.
_WORD_LINE = re.compile(r"\n[ \t]*(?:[A-Za-z]|\d+ atoms\b)[^\n]*")
_GROUP_COUNT = re.compile(r"\s*(\d+) atoms in group (\S+)\s*")
_ATOM_TOTAL = re.compile(r"\s*(\d+) atoms\s*")


@dataclass(frozen=True)
class LogSetup:
    """What a log says about its atoms.

    Attributes
    ----------
    units : str or None
        The unit style of its last `units` command.
    groups : dict of str to int
        The atom count LAMMPS printed for each group, the last one for a group
        defined again (a redefined group moves to where it was last counted).
    events : tuple of tuple of str
        In the order of the log: the words of each command of `ATOM_COMMANDS` ('&'
        lines joined, comments left out), and what LAMMPS printed after them:
        ``("=group", NAME, N)`` for "N atoms in group NAME" and ``("=atoms", N)``
        for the atoms a `read_data` read or a `replicate` made.
    """

    units: str | None
    groups: dict[str, int]
    events: tuple[tuple[str, ...], ...]


def _words(line: str) -> list[str]:
    return line.split("#", 1)[0].split()


def scan_setup(text: str) -> LogSetup:
    """The unit style, printed group counts and atom commands of a log's text.

    Examples
    --------
    >>> setup = scan_setup("LAMMPS (2 Aug 2023)\\nunits real\\nread_data w.data\\n  3000 atoms\\n"
    ...                    "group wat type 1 &\\n  2\\n3000 atoms in group wat\\n")
    >>> setup.units, setup.groups, setup.events[-2:]
    ('real', {'wat': 3000}, (('group', 'wat', 'type', '1', '2'), ('=group', 'wat', '3000')))
    """
    units: str | None = None
    groups: dict[str, int] = {}
    events: list[tuple[str, ...]] = []
    first = text[:text.find("\n")] if "\n" in text else text
    lines = [(0, first)] + [(match.end(), match[0]) for match in _WORD_LINE.finditer(text)]
    skip_to = -1
    for end, line in lines:
        if end <= skip_to and end:
            continue  # a line already taken as the continuation of a command
        printed = _GROUP_COUNT.fullmatch(line)
        if printed is not None:
            groups.pop(printed[2], None)
            groups[printed[2]] = int(printed[1])
            events.append(("=group", printed[2], printed[1]))
            continue
        total = _ATOM_TOTAL.fullmatch(line)
        if total is not None:
            events.append(("=atoms", total[1]))
            continue
        words = _words(line)
        if not words or words[0] not in ATOM_COMMANDS:
            continue
        # '&' at the end continues a command on the next lines, whatever they start with.
        position = end
        while words and words[-1] == "&":
            words.pop()
            stop = text.find("\n", position + 1)
            following = text[position + 1:] if stop < 0 else text[position + 1:stop]
            words += _words(following)
            skip_to = position = len(text) if stop < 0 else stop
        if len(words) < 2:
            continue
        if words[0] == "read_data" and words[1] == "CPU":  # the timing line newer versions print
            continue
        if words[0] == "units":
            units = words[1]
        events.append(tuple(words))
    return LogSetup(units, groups, tuple(events))
