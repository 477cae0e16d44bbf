"""Whether replicas are replicas of one run: one unit style, one composition, one temperature.

Averaging replicas is only meaningful for copies of one simulation that differ in
their random start. A replica run in another unit style, with other molecule
counts or at another temperature belongs to another run: it is set apart as a
failure saying why, when the others agree on what it differs in; when there is
no majority to compare with, the replicas are refused together.
"""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Callable, Hashable, Sequence

from ..analysis.results import ReplicaFailure, ReplicaResult

__all__ = ["MOLALITY_TOLERANCE", "NotOneRunError", "TEMPERATURE_TOLERANCE", "at_state_point", "molality_of", "one_run"]

#: Replicas whose mean temperatures differ by more than this fraction of their median
#: are not of one run (a thermostat holds a run's mean within a few tenths of a percent).
TEMPERATURE_TOLERANCE = 0.02
#: Molalities from molecule counts further than this fraction from a state point's are another point's.
MOLALITY_TOLERANCE = 0.05
#: kg/mol.
WATER_MOLAR_MASS = 0.018015
#: Mean temperatures above this (K) are no liquid's and are left out of the comparison.
HOTTEST_KELVIN = 1e4


class NotOneRunError(ValueError):
    """Replicas that are not of one run, with no majority to keep."""


def _composition(result: ReplicaResult) -> tuple[tuple[str, float], ...]:
    """The molecule counts a replica's estimates were made with (N_wat, N_Na, ...), by species."""
    counts: dict[str, float] = {}
    for estimate in result.estimates:
        for source in estimate.sources:
            if source.name.startswith("N_"):
                counts.setdefault(source.name[2:], source.value)
    return tuple(sorted(counts.items()))


def _temperature(result: ReplicaResult) -> float | None:
    """The mean temperature a replica's own files gave (not one given as an option or by its state point)."""
    found = result.get("temperature")
    if found is None or found.value is None or any(s.origin in ("option", "state point") for s in found.sources):
        return None
    return found.value


def _name(path: str) -> str:
    return os.path.basename(os.path.normpath(path))


def _split(results: Sequence[ReplicaResult], key: Callable[[ReplicaResult], Hashable], what: str,
           shown: Callable[[Hashable], str]) -> tuple[list[ReplicaResult], list[ReplicaFailure]]:
    """Keep the replicas whose `key` most of them share; the others become failures naming both."""
    keys = [key(result) for result in results]
    tally = Counter(keys)
    if len(tally) < 2:
        return list(results), []
    (common, most), *rest = tally.most_common()
    if most * 2 <= len(results):
        groups = "; ".join(f"{shown(value)} in {', '.join(_name(r.path) for r, k in zip(results, keys) if k == value)}"
                           for value in tally)
        raise NotOneRunError(f"the replicas are not of one run: their {what} differ ({groups}); analyse each run "
                             "on its own")
    kept = [result for result, value in zip(results, keys) if value == common]
    set_apart = [ReplicaFailure(result.path, "NotOneRun",
                                f"{result.path}: not a replica of this run: its {what} {shown(value)}, "
                                f"the {most} others' {shown(common)}")
                 for result, value in zip(results, keys) if value != common]
    return kept, set_apart


def _counts_text(value: Hashable) -> str:
    assert isinstance(value, tuple)
    return ", ".join(f"N_{name}={count:g}" for name, count in value) or "no counts"


def one_run(results: Sequence[ReplicaResult]) -> tuple[list[ReplicaResult], list[ReplicaFailure]]:
    """The replicas that are of one run, and the others as failures saying how they differ.

    Raises
    ------
    NotOneRunError
        When no majority of the replicas agrees.
    """
    kept, failures = _split(results, lambda r: r.units, "unit style", lambda value: f"is {value}")
    more: list[ReplicaFailure]
    kept, more = _split(kept, _composition, "molecule counts", lambda value: f"are {_counts_text(value)}")
    failures += more
    # Temperatures no thermostat of a liquid holds (1e200 K) are compared with nothing: the
    # rows that use them already say what is wrong with them.
    temperatures = {r.path: t for r in kept if (t := _temperature(r)) is not None
                    and (r.units == "lj" or t < HOTTEST_KELVIN)}
    if len(temperatures) > 1:
        middle = sorted(temperatures.values())[len(temperatures) // 2]
        far = {path: t for path, t in temperatures.items()
               if abs(t - middle) > TEMPERATURE_TOLERANCE * abs(middle)}
        if far and len(far) * 2 >= len(kept):
            shown = ", ".join(f"{_name(path)} {t:g}" for path, t in temperatures.items())
            raise NotOneRunError(f"the replicas are not of one run: their mean temperatures differ by more than "
                                 f"{TEMPERATURE_TOLERANCE:.0%} ({shown}); analyse each run on its own")
        failures += [ReplicaFailure(path, "NotOneRun", f"{path}: not a replica of this run: its mean temperature "
                                    f"{t:g} is more than {TEMPERATURE_TOLERANCE:.0%} from the others' {middle:g}")
                     for path, t in far.items()]
        kept = [r for r in kept if r.path not in far]
    return kept, failures


def molality_of(composition: Sequence[tuple[str, float]]) -> float | None:
    """The salt's molality (mol/kg) that molecule counts make: the fewest ions over the water's mass.

    The most numerous species is taken for the water (18.015 g/mol) and the least
    numerous for the ion a formula unit holds once (Na of NaCl, Ca of CaCl2, SO4 of
    Na2SO4). None for fewer than three species, where that reading would be a guess.
    """
    counts = sorted(count for _, count in composition)
    if len(counts) < 3 or counts[-1] <= 0:
        return None
    return counts[0] / (counts[-1] * WATER_MOLAR_MASS)


def at_state_point(results: Sequence[ReplicaResult], temperature: float, point: str,
                   molality: float | None = None) -> tuple[list[ReplicaResult], list[ReplicaFailure]]:
    """The replicas of one run at a sweep's state point; the others (another run, another temperature) as failures.

    A replica whose mean temperature is more than `TEMPERATURE_TOLERANCE` from the
    point's (its state.toml or name) was run at another state, whatever its
    directory says.

    Raises
    ------
    NotOneRunError
        When no majority of the replicas agrees.
    """
    if not results:
        return [], []
    kept, failures = one_run(results) if len(results) > 1 else (list(results), [])
    off = {r.path: t for r in kept if (t := _temperature(r)) is not None and r.units != "lj"
           and t < HOTTEST_KELVIN and abs(t - temperature) > TEMPERATURE_TOLERANCE * temperature}
    failures += [ReplicaFailure(path, "NotThisStatePoint", f"{path}: its mean temperature {t:g} K is more than "
                                f"{TEMPERATURE_TOLERANCE:.0%} from the {temperature:g} K of the state point {point}")
                 for path, t in off.items()]
    kept = [r for r in kept if r.path not in off]
    if molality:  # a point of a salt: its molecule counts must make its molality
        made = {r.path: found for r in kept if (found := molality_of(_composition(r))) is not None}
        wrong = {path: m for path, m in made.items() if abs(m - molality) > MOLALITY_TOLERANCE * molality}
        failures += [ReplicaFailure(path, "NotThisStatePoint", f"{path}: its molecule counts make {m:.4g} mol/kg, "
                                    f"more than {MOLALITY_TOLERANCE:.0%} from the {molality:g} mol/kg of the state "
                                    f"point {point}") for path, m in wrong.items()]
        kept = [r for r in kept if r.path not in wrong]
    return kept, failures
