"""The momentum balance of an Onsager matrix: molar masses of the species, and the residual Σ_j M_j Λ_ij.

In a box whose total momentum is conserved the centre of mass does not move, so
Σ_j M_j Σ_{k∈j} Δr_k = 0 at every time and, for every species i,
Σ_j M_j ⟨Σ_{k∈i} Δr_k · Σ_{l∈j} Δr_l⟩ = 0: the mass-weighted rows of the Onsager
matrix vanish. Curves fitted over one window inherit the balance (the slope of a
sum is the sum of the slopes), so a matrix that misses it was fitted over windows
that do not agree, or made from files that do not belong together.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Mapping, Sequence

import numpy as np

from ..reading.files import find_file
from ..reading.molecules import DataFile, read_data_file, select_group

__all__ = ["balance_residual", "molecule_masses", "run_masses"]

# Masses by data file (path, size, modification time) and groups: the replicas of a run
# usually read one data file.
_MASSES: dict[tuple[str, int, int, tuple[tuple[str, tuple[tuple[str, ...], ...]], ...]],
              tuple[dict[str, float], str]] = {}
_MASSES_KEPT = 16
_MASSES_LOCK = threading.Lock()


def molecule_masses(data: DataFile, groups: Mapping[str, Sequence[Sequence[str] | str]]
                    ) -> tuple[dict[str, float], bool]:
    """The molar mass of one molecule of each group whose molecules all weigh the same, in g/mol.

    A group may select only some atoms of its molecules (the oxygen of each water):
    the mass is that of the whole molecules it touches.

    Parameters
    ----------
    data : DataFile
        The atoms, with the `Masses` section and molecule IDs.
    groups : mapping of str to sequence of commands
        The log's group definitions (see `select_group`).

    Returns
    -------
    masses : dict of str to float
        By group; groups of unequal molecules, and files without masses for every
        atom type or without molecule IDs, give nothing.
    whole_box : bool
        Whether the groups' molecules together hold every atom of the box (the
        balance holds only over all of its species).
    """
    if data.molecules is None or not data.masses:
        return {}, False
    atom_masses = np.array([data.masses.get(int(kind), np.nan) for kind in data.types], dtype=np.float64)
    ids, position = np.unique(data.molecules, return_inverse=True)
    molecule_mass = np.bincount(position, weights=atom_masses)
    covered = np.zeros(len(ids), dtype=bool)
    found: dict[str, float] = {}
    for name, mask in select_group(data, groups).items():
        chosen = np.unique(position[mask])
        if len(chosen) == 0 or np.any(ids[chosen] == 0):
            continue
        covered[chosen] = True
        weights = molecule_mass[chosen]
        if np.all(np.isfinite(weights)) and np.allclose(weights, weights[0], rtol=1e-9, atol=0.0):
            found[name] = float(weights[0])
    return found, bool(np.all(covered))


def run_masses(log_path: str, data_files: Sequence[str], atom_style: str | None,
               groups: Mapping[str, tuple[tuple[str, ...], ...]]) -> tuple[dict[str, float], str]:
    """The molecules' masses from the data file the log reads, once per file: (masses, why none or "").

    The masses of a data file whose groups do not make up the whole box are left out,
    since the balance then holds over no subset of them.
    """
    folder = os.path.dirname(log_path)
    path = next((where for name in data_files if (where := find_file(folder, (os.path.basename(name),)))), None)
    if not data_files:
        return {}, "the log reads no data file"
    if path is None:
        return {}, f"no {os.path.basename(data_files[0])} beside the log"
    stat = os.stat(path)
    key = (path, stat.st_size, stat.st_mtime_ns, tuple(groups.items()))
    known = _MASSES.get(key)
    if known is not None:
        return known
    try:
        masses, whole = molecule_masses(read_data_file(path, atom_style), groups)
    except (ValueError, OSError) as error:
        found: tuple[dict[str, float], str] = ({}, str(error))
    else:
        found = (masses, "") if whole else ({}, f"the groups of {os.path.basename(log_path)} do not make up "
                                                f"the whole box of {os.path.basename(path)}")
    with _MASSES_LOCK:
        if len(_MASSES) >= _MASSES_KEPT:
            del _MASSES[next(iter(_MASSES))]
        _MASSES[key] = found
    return found


def balance_residual(masses: Mapping[str, float], matrix: Mapping[tuple[str, str], float]) -> dict[str, float]:
    """The relative momentum-balance residual of each row i: |Σ_j M_j Λ_ij| / Σ_j M_j |Λ_ij|.

    Parameters
    ----------
    masses : mapping of str to float
        Molar mass of each species, g/mol (any one unit for all).
    matrix : mapping of (str, str) to float
        Λ_ij by ordered or unordered pair (either order is looked up); any one unit,
        or the fitted slopes, which differ from Λ by one factor.

    Returns
    -------
    dict of str to float
        By species: 0 for a balanced row, up to 1 when nothing cancels (NaN for a
        row of zeros).

    Raises
    ------
    KeyError
        A pair of the species is missing from `matrix`.

    Examples
    --------
    Two species whose centre of mass stays still: M_a Λ_aa = -M_b Λ_ab.

    >>> masses = {"a": 18.0, "b": 32.0}
    >>> matrix = {("a", "a"): 32.0, ("a", "b"): -18.0, ("b", "b"): 18.0 * 18.0 / 32.0}
    >>> {name: round(r, 12) for name, r in balance_residual(masses, matrix).items()}
    {'a': 0.0, 'b': 0.0}
    """
    def value(i: str, j: str) -> float:
        return matrix[(i, j)] if (i, j) in matrix else matrix[(j, i)]

    residuals = {}
    for i in masses:
        terms = [masses[j] * value(i, j) for j in masses]
        total = sum(abs(term) for term in terms)
        residuals[i] = abs(sum(terms)) / total if total > 0.0 else float("nan")
    return residuals
