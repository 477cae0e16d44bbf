"""The causes that left a report's estimates without a value, one notice per cause.

A replica words its cause with its own numbers and curve: "viscosity.dat MSD_xy:
the replicas' common window 4640 to 6720 is not diffusive here (its log-log slope is
1.03, outside 1 ± 0.03)". Told per replica and curve, one cause of five curves makes
five lines. Here the curve's file and column are left to the quantity's name, and
causes that differ only in their numbers (or in the details in parentheses) are one
cause: its numbers become their range over the replicas, and details that differ are
left to each row's message.
"""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Final

from .rows import Notice

if TYPE_CHECKING:
    from ..analysis.results import Needs, ReplicaResult
    from ..analysis.transport import Estimate

__all__ = ["notices"]

# A number standing alone: not a part of a name ("replica_1", "MSD_xy2") or of a path.
_NUMBER: Final = re.compile(r"(?<![\w.])-?\d+(?:\.\d+)?(?:e[-+]?\d+)?%?(?!\w|\.\d)")
_INNERMOST_PARENTHESES: Final = re.compile(r" ?\([^()]*\)")
_DIFFERING_DETAILS: Final = " (details differ between the replicas: see each row's message)"


def _cause(estimate: Estimate) -> str:
    """The estimate's message without the curve's file and column, which its quantity names."""
    fit = estimate.fit
    if fit is not None:
        prefix = f"{os.path.basename(fit.source)} {fit.column}: "
        if estimate.message.startswith(prefix):
            return estimate.message[len(prefix):]
    return estimate.message


def _without_details(text: str) -> str:
    while True:
        shorter = _INNERMOST_PARENTHESES.sub("", text)
        if shorter == text:
            return text
        text = shorter


def _template(text: str) -> str:
    return _NUMBER.sub("#", text)


def _ranges(texts: Sequence[str]) -> str:
    """The first text, with each number that differs between the texts (of one template) as its range."""
    numbers = [_NUMBER.findall(text) for text in texts]
    spans = []
    for position, found in enumerate(numbers[0]):
        column = [found_in[position] for found_in in numbers]
        if len(set(column)) == 1:
            spans.append(found)
            continue
        ordered = sorted(column, key=lambda number: float(number.rstrip("%")))
        spans.append(f"{ordered[0]}–{ordered[-1]}")
    merged = iter(spans)
    return _NUMBER.sub(lambda _: next(merged), texts[0])


def _reason(causes: Sequence[str]) -> str:
    distinct = list(dict.fromkeys(causes))
    if len(distinct) == 1:
        return distinct[0]
    if len({_template(cause) for cause in distinct}) == 1:
        return _ranges(distinct)
    short = [_without_details(cause) for cause in distinct]
    return _ranges(short) + _DIFFERING_DETAILS


def notices(replicas: Sequence[ReplicaResult]) -> list[Notice]:
    """One notice for every cause that left estimates of `replicas` without a value, in the order first met."""
    groups: dict[tuple[str, Needs | None, str], tuple[dict[str, None], dict[str, None], list[str]]] = {}
    for result in replicas:
        for estimate in result.estimates:
            if estimate.success:
                continue
            cause = _cause(estimate)
            key = (estimate.status, estimate.needs, _template(_without_details(cause)))
            what, where, causes = groups.setdefault(key, ({}, {}, []))
            what[f"{estimate.quantity} {estimate.species}".strip()] = None
            where[result.path] = None
            causes.append(cause)
    return [Notice(tuple(what), status, _reason(causes), needs, tuple(where), len(replicas))
            for (status, needs, _), (what, where, causes) in groups.items()]
