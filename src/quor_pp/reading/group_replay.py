"""A run's groups as LAMMPS made them: its atom commands replayed in order over the data files it read.

LAMMPS fixes a group's atoms when its `group` command runs and prints their count;
a later command that changes another group leaves it as it was. So the commands of
a log are replayed one by one: `read_data` (and `add append`, `offset`, `group`),
`replicate`, `delete_atoms group`, `set ... charge`, `group`; after each `group` command the atoms
counted are compared with the count LAMMPS printed, and after each `read_data` or
`replicate` the atoms held with the atoms it printed. Where a command changes the
atoms in a way a data file cannot tell (`create_atoms`, `delete_atoms`, a region
group), the counts it touches are not given, and the reason says why.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from .molecules import DataFile, _molecule_count, _selection

__all__ = ["GroupTally", "Replay", "replay_groups"]

Mask = npt.NDArray[np.bool_]
Load = Callable[[str, "str | None"], DataFile]

# Commands after which the atoms are no longer those the data files and replicate made.
_CHANGES_ATOMS = frozenset({"create_atoms", "delete_atoms", "read_restart", "read_dump"})


@dataclass(frozen=True)
class GroupTally:
    """One group at the end of the replay.

    Attributes
    ----------
    atoms : int or None
        Its atoms, as counted in the data files; None when they cannot be counted.
    molecules : int or None
        Distinct molecules among them (an atom of molecule ID 0 counting as one);
        None without molecule IDs or when `why` is set.
    printed : int or None
        The atom count LAMMPS printed for it last.
    charge : float or None
        The net charge (e) that every molecule of the group carries, when they all
        carry the same one and the data file has charges.
    why : str
        Why `molecules` is not to be used (the count disagrees with the log's, the
        input changes the atoms, the style cannot be evaluated); "" when it is.
    """

    atoms: int | None
    molecules: int | None
    printed: int | None
    charge: float | None = None
    why: str = ""


@dataclass(frozen=True)
class Replay:
    """The groups of a run after its commands, and what was followed to get them.

    Attributes
    ----------
    groups : dict of str to GroupTally
    data_files : tuple of str
        The data files read, in order.
    followed : tuple of str
        The commands beyond one `read_data` that the counts follow ("replicate 2 2 2",
        "read_data b.data add append").
    """

    groups: dict[str, GroupTally]
    data_files: tuple[str, ...] = ()
    followed: tuple[str, ...] = field(default=())


class _Atoms:
    """The atoms of the run so far: ids, types, molecule ids and charges, and the group masks over them."""

    def __init__(self, data: DataFile) -> None:
        self.ids = np.asarray(data.ids)
        self.types = np.asarray(data.types)
        self.molecules = None if data.molecules is None else np.asarray(data.molecules)
        self.charges = None if data.charges is None else np.array(data.charges)
        self.labels = dict(data.type_labels)
        self.masks: dict[str, Mask | None] = {"all": np.ones(len(self.ids), dtype=bool)}

    def __len__(self) -> int:
        return len(self.ids)

    def append(self, data: DataFile, id_offset: int, molecule_offset: int, type_offset: int) -> None:
        added = len(data.ids)
        self.ids = np.concatenate((self.ids, np.asarray(data.ids) + id_offset))
        self.types = np.concatenate((self.types, np.asarray(data.types) + type_offset))
        if self.molecules is not None and data.molecules is not None:
            molecules = np.asarray(data.molecules)
            self.molecules = np.concatenate((self.molecules, np.where(molecules != 0, molecules + molecule_offset, 0)))
        else:
            self.molecules = None
        if self.charges is not None and data.charges is not None:
            self.charges = np.concatenate((self.charges, data.charges))
        else:
            self.charges = None
        for name, mask in self.masks.items():
            if mask is not None:
                self.masks[name] = np.concatenate((mask, np.full(added, name == "all")))

    def delete(self, chosen: Mask, whole_molecules: bool) -> None:
        """As `delete_atoms group`: the chosen atoms (and with `mol yes`, the rest of their molecules) go."""
        if whole_molecules and self.molecules is not None:
            gone = np.isin(self.molecules, self.molecules[chosen & (self.molecules != 0)])
            chosen = chosen | (gone & (self.molecules != 0))
        keep = ~chosen
        self.ids, self.types = self.ids[keep], self.types[keep]
        self.molecules = None if self.molecules is None else self.molecules[keep]
        self.charges = None if self.charges is None else self.charges[keep]
        for name, mask in self.masks.items():
            if mask is not None:
                self.masks[name] = mask[keep]

    def replicate(self, copies: int) -> None:
        """As `replicate`: each copy's atom and molecule IDs offset by the largest of the copy before."""
        count = len(self.ids)
        shift = np.repeat(np.arange(copies, dtype=np.int64), count)
        self.ids = np.tile(self.ids, copies) + shift * (int(self.ids.max()) if count else 0)
        self.types = np.tile(self.types, copies)
        if self.molecules is not None:
            top = int(self.molecules.max()) if count else 0
            tiled = np.tile(self.molecules, copies)
            self.molecules = np.where(tiled != 0, tiled + shift * top, 0)
        if self.charges is not None:
            self.charges = np.tile(self.charges, copies)
        for name, mask in self.masks.items():
            if mask is not None:
                self.masks[name] = np.tile(mask, copies)


def _int(word: str) -> int | None:
    try:
        return int(word)
    except ValueError:
        return None


def _keywords(words: Sequence[str]) -> dict[str, list[str]]:
    """The keyword arguments of a read_data command after its file name."""
    found: dict[str, list[str]] = {}
    k = 2
    sizes = {"add": 1, "offset": 5, "shift": 3, "group": 1, "nocoeff": 0, "extra/atom/types": 1,
             "extra/bond/per/atom": 1, "extra/angle/per/atom": 1, "extra/dihedral/per/atom": 1,
             "extra/improper/per/atom": 1, "extra/special/per/atom": 1, "extra/bond/types": 1,
             "extra/angle/types": 1, "extra/dihedral/types": 1, "extra/improper/types": 1, "fix": 3}
    while k < len(words):
        size = sizes.get(words[k], 0)
        if words[k] == "add" and k + 2 < len(words) and _int(words[k + 2]) is not None:
            size = 2  # add IDoffset MOLoffset
        found[words[k]] = list(words[k + 1:k + 1 + size])
        k += 1 + size
    return found


def _select(atoms: _Atoms, name: str, words: Sequence[str]) -> Mask | str:
    """The atoms a group command's style selects now, or why they cannot be known."""
    style, args = words[0], list(words[1:])
    try:
        if style == "type":
            return _selection(atoms.types, args, "type", atoms.labels)
        if style == "id":
            return _selection(atoms.ids, args, "id", {})
        if style == "molecule":
            if atoms.molecules is None:
                return f"group {name!r} selects molecules, but the data file has no molecule IDs"
            return _selection(atoms.molecules, args, "molecule", {})
    except ValueError as error:
        return str(error)
    if style in ("union", "subtract", "intersect"):
        parts = []
        for other in args:
            if other not in atoms.masks:
                return f"group {name!r} {style}: group {other!r} is not defined before it"
            mask = atoms.masks[other]
            if mask is None:
                return f"group {name!r} is made of group {other!r}, whose atoms are not known"
            parts.append(mask)
        if not parts or (style != "union" and len(parts) < 2):
            return f"group {name!r} {style}: too few groups"
        made: Mask
        if style == "union":
            made = np.logical_or.reduce(parts)
        elif style == "intersect":
            made = np.logical_and.reduce(parts)
        else:
            made = parts[0] & ~np.logical_or.reduce(parts[1:])
        return made
    if style == "empty":
        return np.zeros(len(atoms), dtype=bool)
    return f"group {name!r} is of style {style!r}, which a data file cannot evaluate"


def _set_charges(atoms: _Atoms, words: Sequence[str]) -> str:
    """Follow `set STYLE ID charge Q`; the reason the charges are no longer known, or ""."""
    if "charge" not in words:
        return ""
    at = list(words).index("charge")
    value = words[at + 1] if at + 1 < len(words) else ""
    try:
        charge = float(value)
    except ValueError:
        return f"'{' '.join(words)}' sets charges the log does not show"
    if atoms.charges is None or len(words) < 3:
        return ""
    style, target = words[1], words[2]
    chosen: Mask | str
    if style in ("type", "atom", "mol"):
        column = {"type": atoms.types, "atom": atoms.ids, "mol": atoms.molecules}[style]
        if column is None:
            return "set mol: no molecule IDs"
        chosen = _selection(column, [target], style, atoms.labels if style == "type" else {})
    elif style == "group" and atoms.masks.get(target) is not None:
        chosen = atoms.masks[target]  # type: ignore[assignment]
    else:
        return f"'{' '.join(words)}' sets charges of atoms a data file cannot tell"
    atoms.charges = np.where(chosen, charge, atoms.charges)
    return ""


def _charge(atoms: _Atoms, mask: Mask) -> float | None:
    """The net charge of each molecule the group touches, when all carry the same one."""
    if atoms.charges is None or atoms.molecules is None or not mask.any():
        return None
    molecules = atoms.molecules
    ids, position = np.unique(molecules, return_inverse=True)
    net = np.bincount(position, weights=atoms.charges)
    chosen = np.unique(position[mask & (molecules != 0)])
    values = [net[chosen]] if len(chosen) else []
    if np.any(mask & (molecules == 0)):  # an atom in no molecule is a molecule of its own
        values.append(atoms.charges[mask & (molecules == 0)])
    every = np.round(np.concatenate(values), 6)
    return float(every[0]) + 0.0 if np.all(every == every[0]) else None


def replay_groups(events: Sequence[Sequence[str]], load: Load, log_name: str = "the log") -> Replay:
    """The groups a log's atom commands make, over the data files they read.

    Parameters
    ----------
    events : sequence of sequence of str
        `RunLog.events`: commands and printed counts in order.
    load : callable
        ``load(name, atom_style)``: the DataFile that `read_data name` read (it
        raises OSError or ValueError when it cannot be read).
    log_name : str
        The log, as messages name it.

    Returns
    -------
    Replay
        Every group defined, with its counts or why they cannot be used. Without a
        `read_data`, no group.
    """
    atoms: _Atoms | None = None
    files: list[str] = []
    followed: list[str] = []
    atom_style: str | None = None
    unknown: dict[str, str] = {}  # group -> why its atoms are not known
    disagree: dict[str, str] = {}  # group -> the counts that disagree
    printed: dict[str, int] = {}
    broken = ""  # why no count of the replay stands at all
    charges_why = ""
    last = ""
    last_read = 0
    for words in events:
        command = words[0]
        if command == "clear":  # the input starts again: what came before is gone
            atoms, files, followed, unknown, disagree, printed = None, [], [], {}, {}, {}
            broken = charges_why = last = ""
            continue
        if command == "atom_style":
            atom_style = words[1]
        elif command == "read_data":
            data = load(words[1].strip("'\""), atom_style)
            files.append(data.path)
            last_read = len(data.ids)
            last = f"read_data {words[1]}"
            options = _keywords(words)
            if atoms is None:
                atoms = _Atoms(data)
            else:
                add = options.get("add", [])
                if not add:
                    broken = broken or f"{log_name} reads a second data file without 'add': its atoms are not known"
                    continue
                id_offset = int(atoms.ids.max()) if add[0] == "append" and len(atoms) else _int(add[0]) or 0
                molecule_offset = (int(atoms.molecules.max()) if atoms.molecules is not None and len(atoms) else 0) \
                    if add[0] == "append" else (_int(add[1]) if len(add) > 1 and _int(add[1]) is not None else 0) or 0
                offset = options.get("offset", [])
                atoms.append(data, id_offset, molecule_offset, _int(offset[0]) or 0 if offset else 0)
                followed.append(" ".join(words[:4]))
            into = options.get("group")
            if into and atoms.masks.get(into[0]) is not None:
                added = np.zeros(len(atoms), dtype=bool)
                added[len(atoms) - len(data.ids):] = True
                previous = atoms.masks.get(into[0])
                atoms.masks[into[0]] = added if previous is None else previous | added
        elif command == "=atoms" and atoms is not None and not broken:
            said = int(words[1])
            # After read_data LAMMPS prints the atoms of that file; after replicate, of the whole box.
            held = len(atoms) if last.startswith("replicate") else last_read
            if last and said != held:
                broken = (f"{log_name} says {last} gave {said} atoms, but "
                          + (f"{os.path.basename(files[-1])} holds {held}" if last.startswith("read_data")
                             else f"the data file makes {held}"))
        elif atoms is None:
            continue
        elif command == "replicate":
            sizes = [_int(word) for word in words[1:4]]
            if len(sizes) != 3 or any(size is None or size < 1 for size in sizes):
                broken = broken or f"'{' '.join(words)}' makes copies the log does not show"
                continue
            copies = int(np.prod([size for size in sizes if size is not None]))
            atoms.replicate(copies)
            followed.append(" ".join(words[:4]))
            last = "replicate"
        elif command == "delete_atoms" and len(words) >= 3 and words[1] == "group" \
                and (doomed := atoms.masks.get(words[2])) is not None:
            atoms.delete(doomed, whole_molecules="mol" in words and "yes" in words)
            followed.append(" ".join(words[:3]))
            last = "delete_atoms"
        elif command == "=total" and atoms is not None and last == "delete_atoms":
            if int(words[1]) != len(atoms) and not broken:
                broken = f"{log_name} says {words[1]} atoms are left after delete_atoms, the replay leaves {len(atoms)}"
        elif command in _CHANGES_ATOMS:
            broken = broken or (f"{log_name}: '{' '.join(words[:3])}' changes the atoms after the data file, "
                                "so its groups cannot be counted there")
        elif command == "set":
            charges_why = charges_why or _set_charges(atoms, words)
        elif command == "group" and len(words) >= 3:
            name = words[1]
            if words[2] == "delete":
                atoms.masks.pop(name, None)
                unknown.pop(name, None)
                disagree.pop(name, None)
                continue
            if words[2] == "clear":
                atoms.masks[name] = np.zeros(len(atoms), dtype=bool)
                unknown.pop(name, None)
                continue
            chosen = _select(atoms, name, words[2:])
            if isinstance(chosen, str):
                atoms.masks[name] = None
                unknown[name] = chosen
            else:
                previous = atoms.masks.get(name)
                if name in unknown and name in atoms.masks:
                    continue  # adding to a group of unknown atoms leaves it unknown
                atoms.masks[name] = chosen if previous is None else previous | chosen
        elif command == "=group" and words[1] in atoms.masks:
            name, said = words[1], int(words[2])
            printed[name] = said
            mask = atoms.masks[name]
            disagree.pop(name, None)
            if mask is not None and not broken and int(np.count_nonzero(mask)) != said:
                disagree[name] = (f"group {name!r} holds {int(np.count_nonzero(mask))} atoms in "
                                  f"{', '.join(map(os.path.basename, files))}, but {said} in {log_name}")
    tallies: dict[str, GroupTally] = {}
    if atoms is not None:
        for name, mask in atoms.masks.items():
            if name == "all":
                continue
            why = broken or unknown.get(name, "") or disagree.get(name, "")
            count = None if mask is None or broken else int(np.count_nonzero(mask))
            molecules = (None if why or mask is None or atoms.molecules is None
                         else _molecule_count(atoms.molecules[mask]))
            charge = None if why or mask is None or charges_why else _charge(atoms, mask)
            tallies[name] = GroupTally(count, molecules, printed.get(name), charge, why)
    return Replay(tallies, tuple(files), tuple(followed))

