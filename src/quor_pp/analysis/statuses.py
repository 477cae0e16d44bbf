"""What each status of an estimate means, worded once for the records that can give it.

A record of the registry lists the statuses its estimates can have with the reason
for each (`Quantity.statuses`); the documentation prints them on the quantity's page,
and the tests check that each is a status the package gives. The fitted curves share
one set (`FITTED`); a quantity made from others adds its own, and passes on the
status of an input that failed (`Quantity.passes_on`).
"""

from __future__ import annotations

from typing import Final

from .registry import quantity

__all__ = ["FITTED", "MISSING", "NOT_BINARY", "OUTSIDE_RANGE", "ROW_STATUSES", "Status", "documented"]

#: A status and why an estimate has it.
Status = tuple[str, str]

MISSING: Final[Status] = (
    "missing", "an input it needs is absent: a file of the run, a column, the charges, a molecule count, "
    "T, V or η (the message names it, and the option that supplies it)")

NOT_BINARY: Final[Status] = (
    "not binary", "the run is not two components: two species, or a neutral species and the ions of one salt")

OUTSIDE_RANGE: Final[Status] = (
    "outside range", "the run's temperature or concentration lies outside the range the experimental "
    "correlation was fitted on: no extrapolation is given")

#: The statuses of a value fitted on a curve against time over a window (`window_search`, `Run.from_fit`).
FITTED: Final[tuple[Status, ...]] = (
    ("no window", "no window of the allowed sizes has a log-log slope within 1 ± max_error: the curve is "
     "not diffusive anywhere in the search region (run longer, or give a window)"),
    ("too few points", "the search region, or the window given, holds fewer rows than the smallest window"),
    ("outside data", "the window given (--window) lies outside the curve's times"),
    ("degenerate", "the window's times are all equal or its values are not finite"),
    ("rejected", "every window found failed the checks of a diffusive stretch (its local log-log slopes, the "
                 "sign of its line), or the replicas' common window is not diffusive in this replica's curve"),
    ("not numbers", "the curve holds NaN or infinite values: the simulation failed there"),
    ("no common window", "a common window was asked for, and the windows accepted in the replicas do not overlap"),
    ("not positive", "the fitted slope is not positive, but the curve can only grow"),
    ("invalid input", "the slope over its inputs (N, T, V) gives no finite number"),
    ("disagrees with the other replicas",
     "the value lies far from the other replicas' (Student's t over at least three replicas), even over "
     "their common window"),
    MISSING,
)

#: The statuses a report's row adds to those of its replicas' estimates (`workflow.rows`).
ROW_STATUSES: Final[tuple[Status, ...]] = (
    ("partial", "some replicas gave a value and some did not: the mean is over those that did, and the "
                "message says why the others did not"),
    ("failed", "no replica gave a value, for different reasons (the message lists them)"),
)


def documented(name: str) -> dict[str, tuple[str, str]]:
    """Every status an estimate of the quantity `name` can have: status -> (why, the input it comes from, or "").

    Its record's own statuses first, then those of the inputs it passes on, followed
    through their own inputs.
    """
    found: dict[str, tuple[str, str]] = {status: (why, "") for status, why in quantity(name).statuses}
    seen, waiting = {name}, list(quantity(name).passes_on)
    while waiting:
        source = waiting.pop(0)
        if source in seen:
            continue
        seen.add(source)
        for status, why in quantity(source).statuses:
            found.setdefault(status, (why, source))
        waiting.extend(quantity(source).passes_on)
    return found
