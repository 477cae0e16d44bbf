"""Species and pair identity across the replicas of a run: one order, decided once, for every replica.

Replicas of one run do not keep the order of their columns: one writes
``MSD__wat MSD__met`` and ``rdf__wat_met``, the next ``MSD__met MSD__wat`` and
``rdf__met_wat``. A pair is one row only if every replica names it alike and builds
its matrices in the same order, so the order is decided before any replica is
analysed (the first replica's self-diffusion columns, then species first seen in
later replicas) and given to each as `AnalysisSettings.species_order`.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Collection, Iterable, Sequence

from ..reading.errors import FormatError
from ..reading.files import column_names, find_file
from .results import ReplicaResult
from .settings import RunFiles

__all__ = ["ordered_species", "relabel_pairs", "run_species_order"]

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


def _reversed(label: str, known: Collection[str]) -> str | None:
    """The label of `known` that names the pair "a-b" as "b-a", if any (species may hold '-')."""
    for k, character in enumerate(label):
        if character == "-":
            other = f"{label[k + 1:]}-{label[:k]}"
            if other != label and other in known:
                return other
    return None


def relabel_pairs(results: Sequence[ReplicaResult]) -> list[ReplicaResult]:
    """The results with every pair named as the first replica that has it names it.

    For results analysed without one order of species (`analyze_replica` called
    alone on replicas whose columns differ): a pair one replica calls "met-wat" and
    an earlier one "wat-met" becomes "wat-met", unless the replica has both (as a
    quantity of one direction, `excess_coordination`, does). Their inputs keep
    their names, so a row made of the replicas' inputs is then the mean of their
    values.
    """
    known: dict[str, set[str]] = {}
    relabelled = []
    for result in results:
        own: dict[str, set[str]] = {}
        for estimate in result.estimates:
            own.setdefault(estimate.quantity, set()).add(estimate.species)
        changed = []
        for estimate in result.estimates:
            seen = known.get(estimate.quantity, set())
            other = None
            if seen and estimate.species not in seen:
                other = _reversed(estimate.species, seen)
                if other is not None and other in own[estimate.quantity]:
                    other = None
            changed.append(estimate if other is None else dataclasses.replace(estimate, species=other))
        for quantity, labels in own.items():
            if quantity not in known:
                known[quantity] = set(labels)
        shells = known.get("rdf_first_peak", set())  # the figures' curves, named as the pair's rows
        curves = tuple(item if item.pair in shells or (other := _reversed(item.pair, shells)) is None
                       else dataclasses.replace(item, pair=other) for item in result.structure)
        if all(a is b for a, b in zip(changed, result.estimates)) and all(
                a is b for a, b in zip(curves, result.structure)):
            relabelled.append(result)
        else:
            relabelled.append(dataclasses.replace(result, estimates=tuple(changed), structure=curves))
    return relabelled
