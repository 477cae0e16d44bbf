"""The lines of a LAMMPS log that say which atoms a run holds, found without splitting the whole log into lines.

A production log is mostly thermodynamic rows (tens of megabytes of numbers); the
few lines that matter here are the echoed input commands and what LAMMPS printed
after them. One regular expression finds every line that starts with a letter or
with "N atoms"; only those are looked at in Python.
"""

from __future__ import annotations

import mmap
import re
from dataclasses import dataclass

from .source import LineTooLong

__all__ = ["ATOM_COMMANDS", "LogSetup", "NotTextError", "scan_setup"]

#: The input commands that decide the atoms and the groups of a run, in the order
#: they ran ('units' and 'atom_style' say how to read them).
ATOM_COMMANDS = frozenset({"units", "atom_style", "read_data", "replicate", "group", "create_atoms",
                           "delete_atoms", "read_restart", "read_dump", "set", "clear"})

# A line (after the first) that starts with a word, or with a count of atoms.
_WORD_LINE = re.compile(rb"\n[ \t]*(?:[A-Za-z]|\d+ atoms\b)[^\n]*")
_GROUP_COUNT = re.compile(r"\s*(\d+) atoms in group (\S+)\s*")
_ATOM_TOTAL = re.compile(r"\s*(\d+) atoms\s*")
_DELETED = re.compile(r"\s*Deleted \d+ atoms, new total = (\d+)\s*")
# A run's thermodynamic output ends with this line: no command is echoed before it.
_RUN_END = b"\nLoop time of "


def _words(line: str) -> list[str]:
    return line.split("#", 1)[0].split()


class NotTextError(ValueError):
    """A line of the log that is not UTF-8 text, with its number (from 1)."""

    def __init__(self, line: int) -> None:
        self.line = line
        super().__init__(f"line {line} is not UTF-8 text")


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
        for the atoms a `read_data` read or a `replicate` made, ``("=total", N)`` for
        the atoms a `delete_atoms` left.
    """

    units: str | None
    groups: dict[str, int]
    events: tuple[tuple[str, ...], ...]


def scan_setup(data: str | bytes | bytearray | mmap.mmap, longest_line: int = 1 << 20) -> LogSetup:
    """The unit style, printed group counts and atom commands of a log's content.

    Only the lines that start with a word are decoded; the rows of each run's
    thermodynamic output, from its "Step" heading to its "Loop time" line, are
    passed over in one step.

    Raises
    ------
    NotTextError
        A line it looks at is not UTF-8 text.
    LineTooLong
        A line it looks at is longer than `longest_line` bytes.

    Examples
    --------
    >>> setup = scan_setup("LAMMPS (2 Aug 2023)\\nunits real\\nread_data w.data\\n  3000 atoms\\n"
    ...                    "group wat type 1 &\\n  2\\n3000 atoms in group wat\\n")
    >>> setup.units, setup.groups, setup.events[-2:]
    ('real', {'wat': 3000}, (('group', 'wat', 'type', '1', '2'), ('=group', 'wat', '3000')))
    """
    content = data.encode() if isinstance(data, str) else data
    units: str | None = None
    groups: dict[str, int] = {}
    events: list[tuple[str, ...]] = []
    position = 0
    end = content.find(b"\n")
    line: str | None = _decoded(content, 0, len(content) if end < 0 else end)
    while line is not None:
        words = _words(line)
        if words and words[0] == "Step":  # a run's rows follow, up to its Loop time line
            stop = content.find(_RUN_END, position)
            position = len(content) if stop < 0 else stop
        elif words and words[0] in ATOM_COMMANDS:
            # '&' at the end continues a command on the next lines, whatever they start with.
            while words and words[-1] == "&":
                words.pop()
                stop = content.find(b"\n", position + 1)
                stop = len(content) if stop < 0 else stop
                words += _words(_decoded(content, position + 1, stop))
                position = stop
            if (len(words) >= 2 or words == ["clear"]) and not (words[0] == "read_data" and words[1] == "CPU"):
                if words[0] == "units":
                    units = words[1]
                events.append(tuple(words))
        elif (printed := _GROUP_COUNT.fullmatch(line)) is not None:
            groups.pop(printed[2], None)
            groups[printed[2]] = int(printed[1])
            events.append(("=group", printed[2], printed[1]))
        elif (total := _ATOM_TOTAL.fullmatch(line)) is not None:
            events.append(("=atoms", total[1]))
        elif (left := _DELETED.fullmatch(line)) is not None:
            events.append(("=total", left[1]))
        found = _WORD_LINE.search(content, position)
        if found is None:
            break
        position = found.end()
        if position - found.start() > longest_line:
            raise LineTooLong("", bytes(content[:found.start()]).count(b"\n") + 2, longest_line)
        line = _decoded(content, found.start() + 1, position)
    return LogSetup(units, groups, tuple(events))


def _decoded(content: bytes | bytearray | mmap.mmap, start: int, stop: int) -> str:
    try:
        return bytes(content[start:stop]).decode("utf-8")
    except UnicodeDecodeError:
        raise NotTextError(bytes(content[:start]).count(b"\n") + 1) from None
