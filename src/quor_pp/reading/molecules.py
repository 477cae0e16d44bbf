"""Molecule counts of LAMMPS groups, from the data file a run read and the groups its input defined."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import FormatError, fspath

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

# Section names of a data file. A line holding one of them (and perhaps a comment) ends
# the header or the previous section.
_SECTIONS = frozenset({
    "Atoms", "Velocities", "Masses", "Ellipsoids", "Lines", "Triangles", "Bodies",
    "Bonds", "Angles", "Dihedrals", "Impropers",
    "Pair Coeffs", "PairIJ Coeffs", "Bond Coeffs", "Angle Coeffs", "Dihedral Coeffs", "Improper Coeffs",
    "BondBond Coeffs", "BondAngle Coeffs", "MiddleBondTorsion Coeffs", "EndBondTorsion Coeffs",
    "AngleTorsion Coeffs", "AngleAngleTorsion Coeffs", "BondBond13 Coeffs", "AngleAngle Coeffs",
    "Atom Type Labels", "Bond Type Labels", "Angle Type Labels", "Dihedral Type Labels",
    "Improper Type Labels",
})
# The first words of the section names: a line starting with one may be a section name.
_SECTION_WORDS = frozenset(name.split()[0] for name in _SECTIONS)

_HEADER_COUNT = re.compile(r"\s*([+-]?\d+)\s+([a-z][a-z ]*[a-z])\s*")
_RANGE = re.compile(r"(\d*)\*(\d*)")
_STEPS = re.compile(r"(-?\d+):(-?\d+)(?::(\d+))?")
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


def _open_lines(path: str) -> list[str]:
    if path.endswith(".gz"):
        import gzip  # only for a compressed data file

        with gzip.open(path, "rt", encoding="utf-8") as stream:
            return stream.read().splitlines()
    with open(path, encoding="utf-8") as stream:
        return stream.read().splitlines()


def read_data_file(data_file: str | os.PathLike[str], atom_style: str | None = None) -> DataFile:
    """Reads the atoms of a LAMMPS data file (`write_data` or `read_data` layout).

    Parameters
    ----------
    data_file : str or os.PathLike
        The file (gzip-compressed when its name ends in .gz).
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
        header says, or it names no style and none is given.
    """
    path = fspath(data_file)
    try:
        lines = _open_lines(path)
    except UnicodeDecodeError:
        raise FormatError(path, DATA_LAYOUT, None, "the file is not UTF-8 text") from None
    counts: dict[str, int] = {}
    # The first line is a title; the header runs to the first section name.
    number = 1
    while number < len(lines):
        text = lines[number].split("#", 1)[0].strip()
        if text in _SECTIONS:
            break
        match = _HEADER_COUNT.fullmatch(text)
        if match is not None:
            counts[match[2]] = int(match[1])
        number += 1
    if "atoms" not in counts:
        raise FormatError(path, DATA_LAYOUT, None, "no 'N atoms' line in its header")
    masses: dict[int, float] = {}
    labels: dict[str, int] = {}
    rows: list[tuple[int, list[str]]] | None = None
    style = atom_style
    while number < len(lines):
        name, _, comment = lines[number].partition("#")
        name = name.strip()
        if name not in _SECTIONS:
            raise FormatError(path, DATA_LAYOUT, number + 1, lines[number])
        if name == "Atoms" and comment.strip():
            style = comment.split()[0]
        body, number = (_atoms(lines, number + 1, counts["atoms"]) if name == "Atoms"
                        else _section(lines, number + 1, None))
        if name == "Atoms":
            rows = body
        elif name == "Masses":
            masses = {int(fields[0]): float(fields[1]) for _, fields in _checked(path, body, 2)}
        elif name == "Atom Type Labels":
            labels = {fields[1]: int(fields[0]) for _, fields in _checked(path, body, 2)}
    if rows is None:
        raise FormatError(path, DATA_LAYOUT, None, "no Atoms section")
    if len(rows) != counts["atoms"]:
        raise FormatError(path, DATA_LAYOUT, None,
                          f"its Atoms section holds {len(rows)} atoms, its header says {counts['atoms']}")
    if style is None:
        raise FormatError(path, DATA_LAYOUT, None,
                          "its Atoms section names no atom style ('Atoms # full'); give atom_style")
    if style not in _STYLE_COLUMNS:
        raise FormatError(path, DATA_LAYOUT, None, f"atom style {style!r} is not one molecules can be read from")
    molecule_column, type_column = _STYLE_COLUMNS[style]
    charge_column = _CHARGE_COLUMNS.get(style)
    width = 1 + max(type_column, molecule_column or 0, charge_column or 0)
    _checked(path, rows, width)
    try:  # column by column: one conversion per value, not a statement per row
        ids = list(map(int, _column(rows, 0)))
        kinds = _column(rows, type_column)
        types = [labels[k] if k in labels else int(k) for k in kinds] if labels else list(map(int, kinds))
        molecules = list(map(int, _column(rows, molecule_column))) if molecule_column is not None else []
        charges = list(map(float, _column(rows, charge_column))) if charge_column is not None else []
    except (ValueError, KeyError):
        line = next(line for line, fields in rows if not _converts(fields, labels, type_column, molecule_column,
                                                                      charge_column))
        raise FormatError(path, f"an Atoms section of style {style}", line, lines[line - 1]) from None
    charge_array = np.array(charges, dtype=np.float64) if charge_column is not None else None
    if charge_array is not None:
        charge_array.setflags(write=False)
    return DataFile(path, style, counts, masses, labels, _ints(ids), _ints(types),
                    _ints(molecules) if molecule_column is not None else None, charge_array)


def _column(rows: list[tuple[int, list[str]]], k: int) -> list[str]:
    return [fields[k] for _, fields in rows]


def _converts(fields: list[str], labels: Mapping[str, int], type_column: int, molecule_column: int | None,
              charge_column: int | None) -> bool:
    """Whether an Atoms row's fields are the numbers (or type labels) its style needs."""
    try:
        int(fields[0])
        if fields[type_column] not in labels:
            int(fields[type_column])
        if molecule_column is not None:
            int(fields[molecule_column])
        if charge_column is not None:
            float(fields[charge_column])
    except ValueError:
        return False
    return True


def _atoms(lines: list[str], number: int, count: int) -> tuple[list[tuple[int, list[str]]], int]:
    """`_section` of an Atoms section of `count` atoms, split in one pass when it is plain.

    Plain: its `count` lines follow the blank lines after its name, none blank, none
    with a comment, none a section name; anything else is left to `_section`.
    """
    start = number
    while start < len(lines) and not lines[start].strip():
        start += 1
    block = lines[start:start + count]
    if len(block) != count or "#" in "".join(block):
        return _section(lines, number, count)
    fields = [line.split() for line in block]
    if not all(fields) or not _SECTION_WORDS.isdisjoint(f[0] for f in fields):
        return _section(lines, number, count)
    end = start + count
    while end < len(lines) and not lines[end].split("#", 1)[0].strip():
        end += 1
    return list(zip(range(start + 1, end + 1), fields)), end


def _section(lines: list[str], number: int, limit: int | None) -> tuple[list[tuple[int, list[str]]], int]:
    """The non-blank lines of a section body (line number from 1, fields), and where the next section starts.

    With a limit, the body ends after that many lines; otherwise at the next section name.
    """
    body: list[tuple[int, list[str]]] = []
    while number < len(lines):
        text = lines[number].split("#", 1)[0].strip()
        if text in _SECTIONS or (limit is not None and len(body) == limit and text):
            break
        if text:
            body.append((number + 1, text.split()))
        number += 1
    return body, number


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
