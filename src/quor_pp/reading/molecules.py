"""Molecule counts of LAMMPS groups, from the data file a run read and the groups its input defined."""

from __future__ import annotations

import os
import re
from operator import itemgetter
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import FormatError, fspath
from .data_sections import SECTIONS, Rows, atom_rows, content, section_rows
from .line_stream import LineStream

__all__ = [
    "DataFile",
    "GroupCount",
    "InputSetup",
    "NoMoleculeIdError",
    "count_groups",
    "count_molecules",
    "read_data_file",
    "scan_commands",
    "select_group",
]

DATA_LAYOUT = "a LAMMPS data file"

IntArray = npt.NDArray[np.int64]

# Where the molecule ID and the atom type stand in a line of the Atoms section (atom ID
# first in every style); None: the style has no molecule ID.
_STYLE_COLUMNS: dict[str, tuple[int | None, int]] = {
    "full": (1, 2), "molecular": (1, 2), "bond": (1, 2), "angle": (1, 2), "line": (1, 2), "tri": (1, 2),
    "template": (2, 1),
    "atomic": (None, 1), "charge": (None, 1), "dipole": (None, 1), "sphere": (None, 1), "ellipsoid": (None, 1),
    "body": (None, 1), "dpd": (None, 1), "edpd": (None, 1), "mdpd": (None, 1), "electron": (None, 1),
    "peri": (None, 1), "spin": (None, 1), "tdpd": (None, 1),
}
# The column of the atom's charge in the styles that have one.
_CHARGE_COLUMNS: dict[str, int] = {"full": 3, "charge": 2}

_HEADER_COUNT = re.compile(r"\s*([+-]?\d+)\s+([a-z][a-z ]*[a-z])\s*")
_RANGE = re.compile(r"(\d*)\*(\d*)")
_STEPS = re.compile(r"(-?\d+):(-?\d+)(?::(\d+))?")
_INT64 = 1 << 63
_COMPARISONS = frozenset({"<", ">", "<=", ">=", "==", "!=", "<>"})


class NoMoleculeIdError(ValueError):
    """A data file whose atom style carries no molecule IDs, so molecules cannot be counted."""


@dataclass(frozen=True)
class DataFile:
    """What molecule counting takes from a LAMMPS data file.

    Attributes
    ----------
    path : str
        The file.
    atom_style : str
        The style of its Atoms section.
    counts : dict of str to int
        The header's counts ("atoms", "bonds", "atom types", ...).
    masses : dict of int to float
        Mass of each atom type, when the file has a Masses section.
    type_labels : dict of str to int
        The atom type of each label of an Atom Type Labels section.
    ids, types : ndarray of int
        Atom ID and atom type of every atom, in file order (read-only).
    molecules : ndarray of int or None
        Molecule ID of every atom (0: in no molecule); None when the style has none.
    charges : ndarray of float or None
        Charge of every atom in units of e, for the styles that carry one (full, charge).
    """

    path: str
    atom_style: str
    counts: dict[str, int]
    masses: dict[int, float]
    type_labels: dict[str, int]
    ids: IntArray
    types: IntArray
    molecules: IntArray | None
    charges: npt.NDArray[np.float64] | None = None


@dataclass(frozen=True)
class GroupCount:
    """The atoms and molecules a group holds.

    Attributes
    ----------
    atoms : int
        Atoms in the group (what LAMMPS prints as "N atoms in group NAME").
    molecules : int or None
        Distinct molecules among them, an atom in no molecule (molecule ID 0) counting
        as one; None when the data file has no molecule IDs.
    """

    atoms: int
    molecules: int | None

    def to_dict(self) -> dict[str, Any]:
        """The counts as plain JSON values."""
        return {"atoms": self.atoms, "molecules": self.molecules}


def read_data_file(data_file: str | os.PathLike[str], atom_style: str | None = None) -> DataFile:
    """Reads the atoms of a LAMMPS data file (`write_data` or `read_data` layout).

    The file is read as a stream: only its Atoms, Masses and type labels are kept,
    so a large file (or a compressed one that inflates far) takes memory in
    proportion to its atoms, not to its size.

    Parameters
    ----------
    data_file : str or os.PathLike
        The file (gzip-compressed when its first bytes say so).
    atom_style : str, optional
        The atom style, when the Atoms section does not name it in its comment
        ("Atoms # full"); the input's `atom_style` command says it.

    Returns
    -------
    DataFile

    Raises
    ------
    OSError
        When the file cannot be read.
    FormatError
        When it is not a data file of a known atom style with as many atoms as its
        header says, or it names no style and none is given; for compressed data
        that is damaged, cut off or inflates beyond `GZIP_LIMIT`.
    """
    path = fspath(data_file)
    lines = LineStream(path, DATA_LAYOUT)
    try:
        return _parse(path, lines, atom_style)
    finally:
        lines.close()


def _parse(path: str, lines: LineStream, atom_style: str | None) -> DataFile:
    counts: dict[str, int] = {}
    # The first line is a title; the header runs to the first section name.
    line = lines.next()
    while (line := lines.next()) is not None:
        text = content(line)
        if text in SECTIONS:
            break
        match = _HEADER_COUNT.fullmatch(text)
        if match is not None:
            counts[match[2]] = int(match[1])
    if "atoms" not in counts:
        raise FormatError(path, DATA_LAYOUT, None, "no 'N atoms' line in its header")
    masses: dict[int, float] = {}
    labels: dict[str, int] = {}
    rows: Rows | None = None
    style = atom_style
    while line is not None:
        name, _, comment = line.partition("#")
        name = name.strip()
        if name not in SECTIONS:
            raise FormatError(path, DATA_LAYOUT, lines.number, line)
        if name == "Atoms" and comment.strip():
            style = comment.split()[0]
        if name == "Atoms":
            rows, line = atom_rows(lines, counts["atoms"])
            continue
        body, line = section_rows(lines, keep=name in ("Masses", "Atom Type Labels"))
        if name == "Masses":
            masses = {int(fields[0]): float(fields[1]) for _, fields in _checked(path, body, 2)}
        elif name == "Atom Type Labels":
            labels = {fields[1]: int(fields[0]) for _, fields in _checked(path, body, 2)}
    if rows is None:
        raise FormatError(path, DATA_LAYOUT, None, "no Atoms section")
    if len(rows.fields) != counts["atoms"]:
        raise FormatError(path, DATA_LAYOUT, None,
                          f"its Atoms section holds {len(rows.fields)} atoms, its header says {counts['atoms']}")
    if style is None:
        raise FormatError(path, DATA_LAYOUT, None,
                          "its Atoms section names no atom style ('Atoms # full'); give atom_style")
    if style not in _STYLE_COLUMNS:
        raise FormatError(path, DATA_LAYOUT, None, f"atom style {style!r} is not one molecules can be read from")
    molecule_column, type_column = _STYLE_COLUMNS[style]
    charge_column = _CHARGE_COLUMNS.get(style)
    width = 1 + max(type_column, molecule_column or 0, charge_column or 0)
    if rows.fields and min(map(len, rows.fields)) < width:
        _checked(path, list(zip(rows.numbers, rows.fields)), width)
    try:  # column by column: one conversion per value, not a statement per row
        ids = _ints(list(map(int, _column(rows, 0))))
        kinds = _column(rows, type_column)
        types = _ints([labels[k] if k in labels else int(k) for k in kinds] if labels else list(map(int, kinds)))
        molecules = _ints(list(map(int, _column(rows, molecule_column)))) if molecule_column is not None else None
        charges = list(map(float, _column(rows, charge_column))) if charge_column is not None else []
    except (ValueError, KeyError, OverflowError):
        number, fields = next((number, fields) for number, fields in zip(rows.numbers, rows.fields)
                              if not _converts(fields, labels, type_column, molecule_column, charge_column))
        raise FormatError(path, f"an Atoms section of style {style}", number, " ".join(fields)) from None
    charge_array = np.array(charges, dtype=np.float64) if charge_column is not None else None
    if charge_array is not None:
        charge_array.setflags(write=False)
    return DataFile(path, style, counts, masses, labels, ids, types, molecules, charge_array)


def _column(rows: Rows, k: int) -> list[str]:
    return list(map(itemgetter(k), rows.fields))


def _converts(fields: list[str], labels: Mapping[str, int], type_column: int, molecule_column: int | None,
              charge_column: int | None) -> bool:
    """Whether an Atoms row's fields are the numbers (or type labels) its style needs, IDs within 64 bits."""
    try:
        for column in (0, type_column, molecule_column):
            if column is None or (column == type_column and fields[column] in labels):
                continue
            if not -_INT64 <= int(fields[column]) < _INT64:
                return False
        if charge_column is not None:
            float(fields[charge_column])
    except ValueError:
        return False
    return True


def _checked(path: str, body: list[tuple[int, list[str]]], width: int) -> list[tuple[int, list[str]]]:
    for line, fields in body:
        if len(fields) < width:
            raise FormatError(path, DATA_LAYOUT, line, " ".join(fields))
    return body


def _ints(values: list[int]) -> IntArray:
    array = np.array(values, dtype=np.int64)
    array.setflags(write=False)
    return array


def _selection(values: IntArray, args: Sequence[str], what: str, labels: Mapping[str, int]) -> npt.NDArray[np.bool_]:
    """Atoms whose value (type, ID or molecule ID) the arguments of a group command select."""

    def number(token: str) -> int:
        if token in labels:
            return labels[token]
        try:
            return int(token)
        except ValueError:
            raise ValueError(f"group {what}: {token!r} is not a number") from None

    if not args:
        raise ValueError(f"group {what}: no values")
    if args[0] in _COMPARISONS:
        wanted = 3 if args[0] == "<>" else 2
        if len(args) != wanted:
            raise ValueError(f"group {what} {args[0]}: expected {wanted - 1} value(s), not {list(args[1:])}")
        a = number(args[1])
        match args[0]:
            case "<":
                return values < a
            case ">":
                return values > a
            case "<=":
                return values <= a
            case ">=":
                return values >= a
            case "==":
                return np.equal(values, a)
            case "!=":
                return np.not_equal(values, a)
        b = number(args[2])
        return (values >= a) & (values <= b)
    chosen = np.zeros(len(values), dtype=bool)
    for token in args:
        steps = _STEPS.fullmatch(token)
        if steps is not None:  # A:B or A:B:C, from A to B by C
            first, last, step = int(steps[1]), int(steps[2]), int(steps[3] or 1)
            if step < 1:
                raise ValueError(f"group {what}: {token!r} has no positive increment")
            chosen |= (values >= first) & (values <= last) & ((values - first) % step == 0)
            continue
        span = _RANGE.fullmatch(token)
        if span is None:
            chosen |= values == number(token)
            continue
        # LAMMPS ranges: "2*5", "*5" (from the lowest), "2*" (to the highest), "*" (all).
        low = int(span[1]) if span[1] else None
        high = int(span[2]) if span[2] else None
        inside = np.ones(len(values), dtype=bool)
        if low is not None:
            inside &= values >= low
        if high is not None:
            inside &= values <= high
        chosen |= inside
    return chosen


def select_group(data: DataFile, groups: Mapping[str, Sequence[Sequence[str] | str]]) -> dict[str, npt.NDArray[np.bool_]]:
    """The atoms each group selects, as a mask over the data file's atoms.

    Groups are defined in the mapping's order, so that `union`, `subtract` and
    `intersect` can name groups defined before them (and `all`); a group with several
    commands gets the atoms of all of them, as LAMMPS adds to a group defined again.

    Parameters
    ----------
    data : DataFile
        The atoms.
    groups : mapping of str to sequence of commands
        For each group, the arguments of its `group` commands after the group's name,
        each a sequence of tokens or one string: ``["type", "1", "2"]``,
        ``"molecule <> 1 1000"``, ``"id 1*3000"``, ``"union wat Na"``, ``"empty"``.

    Returns
    -------
    dict of str to ndarray of bool

    Raises
    ------
    ValueError
        For a style other than type, id, molecule, union, subtract, intersect and
        empty; a group not yet defined; a molecule selection without molecule IDs;
        values that are not numbers (or atom type labels of the file).
    """
    masks: dict[str, npt.NDArray[np.bool_]] = {"all": np.ones(len(data.ids), dtype=bool)}
    for name, commands in groups.items():
        if isinstance(commands, str):
            raise TypeError(f"group {name!r}: give a sequence of commands, not one string")
        mask = masks.get(name, np.zeros(len(data.ids), dtype=bool)).copy()
        for command in commands:
            tokens = command.split() if isinstance(command, str) else [str(token) for token in command]
            if not tokens:
                raise ValueError(f"group {name!r}: an empty command")
            style, args = tokens[0], tokens[1:]
            if style == "type":
                mask |= _selection(data.types, args, "type", data.type_labels)
            elif style == "id":
                mask |= _selection(data.ids, args, "id", {})
            elif style == "molecule":
                if data.molecules is None:
                    raise NoMoleculeIdError(f"group {name!r}: {data.path} (atom style {data.atom_style}) "
                                            "has no molecule IDs to select by")
                mask |= _selection(data.molecules, args, "molecule", {})
            elif style in ("union", "subtract", "intersect"):
                missing = [group for group in args if group not in masks]
                if missing or not args or (style != "union" and len(args) < 2):
                    why = f"groups {missing} are not defined before it" if missing else "too few groups"
                    raise ValueError(f"group {name!r} {style}: {why}")
                parts = [masks[group] for group in args]
                if style == "union":
                    mask |= np.logical_or.reduce(parts)
                elif style == "intersect":
                    mask |= np.logical_and.reduce(parts)
                else:
                    mask |= parts[0] & ~np.logical_or.reduce(parts[1:])
            elif style != "empty":
                raise ValueError(f"group {name!r}: the style {style!r} cannot be counted from a data file "
                                 "(type, id, molecule, union, subtract, intersect and empty can)")
        masks[name] = mask
    return {name: masks[name] for name in groups}


def molecule_charges(data: DataFile, groups: Mapping[str, Sequence[Sequence[str] | str]]) -> dict[str, float]:
    """The net charge of one molecule of each group whose molecules all carry the same one, in units of e.

    A group of neutral molecules (water: its partial charges sum to zero) gives 0.
    Groups of mixed molecules, and data files without charges or molecule IDs, give
    nothing.
    """
    if data.charges is None or data.molecules is None:
        return {}
    # The net charge of every whole molecule: a group may select only some of its atoms.
    ids, position = np.unique(data.molecules, return_inverse=True)
    net = np.round(np.bincount(position, weights=data.charges), 6)
    found = {}
    for name, mask in select_group(data, groups).items():
        chosen = _distinct(position[mask])
        if len(chosen) == 0 or np.any(ids[chosen] == 0):
            continue
        charges = net[chosen]
        if np.all(charges == charges[0]):
            found[name] = float(charges[0]) + 0.0  # -0.0 as 0.0
    return found


def _distinct(values: npt.NDArray[np.intp] | IntArray) -> npt.NDArray[Any]:
    """The distinct values, in increasing order (as np.unique, which would import numpy.ma for it)."""
    ordered = np.sort(values)
    return ordered[np.concatenate(([True], ordered[1:] != ordered[:-1]))] if len(ordered) else ordered


def _molecule_count(molecules: IntArray) -> int:
    loose = int(np.count_nonzero(molecules == 0))
    return len(_distinct(molecules[molecules != 0])) + loose


def count_groups(data_file: str | os.PathLike[str] | DataFile,
                 groups: Mapping[str, Sequence[Sequence[str] | str]],
                 atom_style: str | None = None) -> dict[str, GroupCount]:
    """The atoms and molecules of each group, from a LAMMPS data file.

    Parameters
    ----------
    data_file : str, os.PathLike or DataFile
        The data file the run read (or one already read).
    groups : mapping of str to sequence of commands
        The groups, as for `select_group`.
    atom_style : str, optional
        The atom style, when the data file does not name it.

    Returns
    -------
    dict of str to GroupCount
        Per group: its atoms, and its molecules (None when the style has no molecule
        IDs).

    Examples
    --------
    >>> import os, tempfile
    >>> text = '''water and one ion
    ...
    ... 4 atoms
    ... 2 atom types
    ...
    ... Atoms # full
    ...
    ... 1 1 1 -0.8 0 0 0
    ... 2 1 2 0.4 0 0 0
    ... 3 1 2 0.4 0 0 0
    ... 4 2 3 1.0 5 5 5
    ... '''
    >>> with tempfile.TemporaryDirectory() as directory:
    ...     path = os.path.join(directory, "system.data")
    ...     with open(path, "w") as stream:
    ...         _ = stream.write(text)
    ...     counts = count_groups(path, {"wat": ["type 1 2"], "Na": ["type 3"]})
    >>> counts["wat"], counts["Na"].molecules
    (GroupCount(atoms=3, molecules=1), 1)
    """
    data = data_file if isinstance(data_file, DataFile) else read_data_file(data_file, atom_style)
    counts = {}
    for name, mask in select_group(data, groups).items():
        molecules = None if data.molecules is None else _molecule_count(data.molecules[mask])
        counts[name] = GroupCount(int(np.count_nonzero(mask)), molecules)
    return counts


def count_molecules(data_file: str | os.PathLike[str] | DataFile,
                    groups: Mapping[str, Sequence[Sequence[str] | str]],
                    atom_style: str | None = None) -> dict[str, int]:
    """The number of molecules in each group: distinct molecule IDs among the atoms it selects.

    Parameters
    ----------
    data_file : str, os.PathLike or DataFile
        The data file the run read.
    groups : mapping of str to sequence of commands
        The groups, as for `select_group`.
    atom_style : str, optional
        The atom style, when the data file does not name it.

    Returns
    -------
    dict of str to int

    Raises
    ------
    NoMoleculeIdError
        When the data file's atom style (atomic, charge, ...) has no molecule IDs.
    """
    data = data_file if isinstance(data_file, DataFile) else read_data_file(data_file, atom_style)
    if data.molecules is None:
        raise NoMoleculeIdError(f"{data.path}: atom style {data.atom_style} has no molecule IDs; "
                                "give the molecule counts, or the atoms per molecule")
    return {name: count.molecules for name, count in count_groups(data, groups).items()
            if count.molecules is not None}


@dataclass(frozen=True)
class InputSetup:
    """What a LAMMPS input (or the commands its log echoes) says about atoms and groups.

    Attributes
    ----------
    data_files : tuple of str
        The files of its `read_data` commands, in order, as written.
    atom_style : str or None
        The style of its last `atom_style` command.
    groups : dict of str to list of list of str
        The `group` commands of each group after its name, in the order the groups
        were defined, ready for `count_groups` (a deleted group is left out, a cleared
        one starts again).
    """

    data_files: tuple[str, ...]
    atom_style: str | None
    groups: dict[str, list[list[str]]]


def input_commands(lines: Iterable[str]) -> list[list[str]]:
    """The words of each input command ('&' continues a line; '#' starts a comment)."""
    commands = []
    pending: list[str] = []
    for line in lines:
        words = line.split("#", 1)[0].split()
        continued = bool(words) and words[-1] == "&"
        pending += words[:-1] if continued else words
        if not continued:
            if pending:
                commands.append(pending)
            pending = []
    return commands


def scan_commands(lines: Sequence[str]) -> InputSetup:
    """The data files, atom style and group commands of a LAMMPS input or log.

    Lines that are not such commands are passed over; a log's echoed commands are
    recognised as well as an input's own. Variables are not expanded.

    Examples
    --------
    >>> setup = scan_commands(["atom_style full", "read_data water.data  # 1000 waters",
    ...                        "group wat type 1 2", "  3000 atoms in group wat", "group Na type 3"])
    >>> setup.data_files, setup.atom_style, setup.groups
    (('water.data',), 'full', {'wat': [['type', '1', '2']], 'Na': [['type', '3']]})
    """
    data_files: list[str] = []
    atom_style: str | None = None
    groups: dict[str, list[list[str]]] = {}
    for tokens in input_commands(lines):
        if len(tokens) < 2:
            continue
        if tokens[0] == "read_data":
            if tokens[1] == "CPU":  # "read_data CPU = 0.002 seconds", which newer versions print
                continue
            data_files.append(tokens[1].strip("'\""))
        elif tokens[0] == "atom_style":
            atom_style = tokens[1]
        elif tokens[0] == "group" and len(tokens) >= 3:
            name, command = tokens[1], tokens[2:]
            if command == ["delete"]:
                groups.pop(name, None)
            elif command == ["clear"]:
                groups[name] = []
            else:
                groups.setdefault(name, []).append(command)
    return InputSetup(tuple(data_files), atom_style, groups)
