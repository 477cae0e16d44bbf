"""A report's rows: one quantity over all replicas (`Row`), the notices of rows without a full set of values,
and the statistics that make a row from the replicas' estimates.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Final

import _quor_pp

from ..analysis import quantities as registry
from ..analysis.results import Estimate, Needs, ReplicaResult
from ..analysis.statistics import confidence_interval
from .intervals import interval_of

__all__ = ["COLUMNS", "Notice", "Row"]

#: The columns of the tidy table.
COLUMNS: Final = ("quantity", "species", "value", "std", "sem", "ci95", "n", "unit", "status", "message", "inputs",
                  "interval")


@dataclass(frozen=True)
class Row:
    """One quantity over all replicas.

    Attributes
    ----------
    quantity, species : str
        What it is ("self_diffusion", "Na").
    value : float or None
        Mean over the replicas that gave a value, in `unit`; None when none did.
    std : float or None
        Population standard deviation over those replicas.
    sem : float or None
        Standard error of the mean, std / sqrt(n - 1); None for fewer than two values.
    ci95 : float or None
        Half-width of the 95 % confidence interval of the mean, Student's t for n - 1
        degrees of freedom times sem; None for fewer than two values.
    n : int
        Number of replicas that gave a value.
    unit : str
        "m^2/s", "Pa s", "W/(m K)", "S/m", "K", "m^3", or "reduced".
    status : str
        "ok" (every replica gave a value), "partial" (some did), or the status of the
        failures when none did ("no window", "too few points", "missing", ...).
    message : str
        Which replicas failed and why; empty when status is "ok".
    replicas : tuple of (float or None)
        The value of each replica, None where it failed.
    inputs : str
        The inputs the values were made from and where they came from
        ("N_Na=18 (nacl.data)"; a range where replicas differ).
    interval : str
        What `sem` and `ci95` hold (see `quor_pp.workflow.intervals`); empty
        without an interval.
    """

    quantity: str
    species: str
    value: float | None
    std: float | None
    sem: float | None
    ci95: float | None
    n: int
    unit: str
    status: str
    message: str
    replicas: tuple[float | None, ...] = field(repr=False)
    inputs: str = ""
    interval: str = field(default="", repr=False)

    @property
    def success(self) -> bool:
        """True when every replica gave a value (status "ok"), as for `Estimate` and `Fit`."""
        return self.status == "ok"

    def record(self) -> dict[str, Any]:
        """The row's columns of the tidy table."""
        return {name: getattr(self, name) for name in COLUMNS}


@dataclass(frozen=True)
class Notice:
    """One cause that left estimates without a value, with the replicas it concerns.

    Attributes
    ----------
    what : tuple of str
        The rows it concerns ("viscosity", "self_diffusion Na").
    status : str
        Their status ("missing", "no window", ...).
    reason : str
        The cause in words; numbers that differ between the replicas or curves as their range
        (see `quor_pp.workflow.notice_causes`).
    needs : Needs or None
        What a caller can give to supply a missing input.
    replicas : tuple of str
        The replicas concerned.
    total : int
        The replicas of the report.
    """

    what: tuple[str, ...]
    status: str
    reason: str
    needs: Needs | None
    replicas: tuple[str, ...]
    total: int

    def describe(self, hint: Callable[[Needs], str] = Needs.as_keyword) -> str:
        """One line: "viscosity: no nvt_prod.dat in 5 of 5 replicas: pass temperature="."""
        if self.total == 1:
            count = f"in {self.replicas[0]}"
        else:
            count = f"in {len(self.replicas)} of {self.total} replicas"
            if len(self.replicas) < self.total:
                names = [os.path.basename(os.path.normpath(path)) for path in self.replicas]
                count += f" ({', '.join(names[:5])}{', ...' if len(names) > 5 else ''})"
        tail = f": {hint(self.needs)}" if self.needs is not None else ""
        return f"{', '.join(self.what)}: {self.reason} {count}{tail}"


def _row(quantity: str, species: str, results: Sequence[ReplicaResult],
         estimates: Sequence[Estimate | None],
         pooled_rows: Mapping[tuple[str, str], tuple[float, float] | None] | None = None,
         replica_windows: str = "median") -> Row:
    """The row of one quantity and species from each result's estimate of it (None where it has none).

    `pooled_rows` holds the jackknives of pooled rows already made for several species at once.
    """
    units = {e.unit for e in estimates if e is not None}
    if len(units) > 1:
        raise ValueError(f"{quantity} {species}: replicas in different units ({', '.join(sorted(units))})")
    values = tuple(e.value if e is not None else None for e in estimates)
    mean, std, count = _quor_pp.repacking_results([math.nan if v is None else v for v in values])
    failures = []
    for result, estimate in zip(results, estimates):
        if estimate is None:
            failures.append(("missing", f"{result.path}: not in this run"))
        elif not estimate.success:
            hint = f"; {estimate.needs.as_keyword()}" if estimate.needs is not None else ""
            failures.append((estimate.status, f"{result.path}: {estimate.message}{hint}"))
    if count == 0:
        status = failures[0][0] if len({s for s, _ in failures}) == 1 else "failed"
    else:
        status = "ok" if not failures else "partial"
    sem = std / math.sqrt(count - 1) if count > 1 else None
    record = registry.registered(quantity)
    pooled_used = False
    if record is not None and record.pooled is not None and count > 1 and not failures:
        pooled = (pooled_rows[(quantity, species)] if pooled_rows is not None and (quantity, species) in pooled_rows
                  else _jackknife(record.pooled, [species], [e.sources for e in estimates if e is not None])[species])
        if pooled is not None:
            pooled_used = True
            mean, sem = pooled
            std = sem * math.sqrt(count - 1)  # so that sem = std / sqrt(n - 1) holds as for the other rows
    ci95 = confidence_interval(std=std, n=count) if sem is not None and math.isfinite(std) else None
    fitted = any(e is not None and e.fit is not None for e in estimates)
    return Row(
        quantity, species,
        mean if count else None,
        std if count else None,
        sem, ci95, count, units.pop(), status, "; ".join(m for _, m in failures), values,
        _inputs([e for e in estimates if e is not None]),
        interval_of(record, fitted, pooled_used, replica_windows) if ci95 is not None else "")


def _jackknife(pooled: Callable[[str, Mapping[str, float]], float], species: Sequence[str],
               sources: Sequence[Sequence[Any]]) -> dict[str, tuple[float, float] | None]:
    """For each species: f of the inputs' means over the replicas, and its jackknife standard error.

    Rows whose replicas share their inputs (the pairs of a Maxwell-Stefan matrix) are
    made together: each set of inputs, the means and every one with a replica left
    out, is given to f for every species in turn, so that f may reuse what it made
    of the same inputs. A species gets None when the replicas do not have the same
    inputs or f fails on them (its row then keeps the statistics of the replicas'
    own values).
    """
    names = [source.name for source in sources[0]]
    by_name = [{s.name: s.value for s in replica} for replica in sources]
    if any(set(replica) != set(names) for replica in by_name):
        return dict.fromkeys(species)
    table = [[replica[name] for name in names] for replica in by_name]
    n = len(table)
    means = [sum(column) / n for column in zip(*table)]
    found: dict[str, list[float]] = {name: [] for name in species}
    failed: set[str] = set()
    for inputs in (dict(zip(names, means)),
                   *({name: (means[k] * n - row[k]) / (n - 1) for k, name in enumerate(names)} for row in table)):
        for name in species:
            if name not in failed:
                try:
                    found[name].append(pooled(name, inputs))
                except (ValueError, ZeroDivisionError, KeyError):
                    failed.add(name)
    result: dict[str, tuple[float, float] | None] = {}
    for name in species:
        if name in failed:
            result[name] = None
            continue
        value, *left_out = found[name]
        centre = sum(left_out) / n
        error = math.sqrt((n - 1) / n * sum((v - centre) ** 2 for v in left_out))
        result[name] = (value, error) if math.isfinite(value) and math.isfinite(error) else None
    return result


def _inputs(estimates: Sequence[Estimate]) -> str:
    """The inputs of a row's estimates, each with its value (or range over the replicas) and origin."""
    found: dict[str, tuple[list[float], dict[str, None]]] = {}
    for estimate in estimates:
        for source in estimate.sources:
            values, origins = found.setdefault(source.name, ([], {}))
            values.append(source.value)
            origins[source.origin] = None
    parts = []
    for name, (values, origins) in found.items():
        low, high = min(values), max(values)
        shown = f"{low:.6g}" if low == high else f"{low:.6g}..{high:.6g}"
        parts.append(f"{name}={shown} ({', '.join(origins)})")
    return "; ".join(parts)
