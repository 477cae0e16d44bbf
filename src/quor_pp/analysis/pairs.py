"""Species and pair identity across the replicas of a run: one order, decided once, for every replica.

Replicas of one run do not keep the order of their columns: one writes
``MSD__wat MSD__met`` and ``rdf__wat_met``, the next ``MSD__met MSD__wat`` and
``rdf__met_wat``. A pair is one row only if every replica names it alike and builds
its matrices in the same order, so the order is decided before any replica is
analysed (the first replica's self-diffusion columns, then species first seen in
later replicas) and given to each as `AnalysisSettings.species_order`.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from ..reading.errors import FormatError
from ..reading.files import column_names, find_file
from .settings import RunFiles

__all__ = ["ordered_species", "pair_label", "run_species_order"]

_PREFIX = "MSD__"


def _species_of(directory: str, files: RunFiles) -> list[str]:
    """The species of one replica's self-diffusion table, in its column order; none when it cannot be read."""
    path = find_file(directory, files.diffself)
    if path is None:
        return []
    try:
        names = column_names(path, "transport")
    except (OSError, FormatError):
        return []  # the replica's own analysis reports what is wrong with it
    return [name[len(_PREFIX):] for name in names if name.startswith(_PREFIX) and len(name) > len(_PREFIX)]


def run_species_order(directories: Iterable[str], files: RunFiles = RunFiles()) -> tuple[str, ...]:
    """The run's order of species: the first replica's columns, then those first seen in later replicas.

    Only the first lines of each self-diffusion table are read. Replicas whose
    table is missing or unreadable add nothing (their own analysis says why).
    """
    found: dict[str, None] = {}
    for directory in directories:
        found.update(dict.fromkeys(_species_of(directory, files)))
    return tuple(found)


def ordered_species(species: Sequence[str], order: Sequence[str]) -> list[str]:
    """`species` in the run's `order`; those the order does not know after them, as they came."""
    rank = {name: k for k, name in enumerate(order)}
    return sorted(species, key=lambda name: rank.get(name, len(rank)))


def pair_label(first: str, second: str, order: Sequence[str]) -> str:
    """The label "a-b" of an unordered pair, its species in the run's `order` (then by name)."""
    rank = {name: k for k, name in enumerate(order)}
    a, b = sorted((first, second), key=lambda name: (rank.get(name, len(rank)), name))
    return f"{a}-{b}"
