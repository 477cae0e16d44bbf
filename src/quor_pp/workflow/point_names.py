"""A state point's fields read from its directory's name: every split of the name the pattern allows, numbers as plain decimals.

"{salt}_{molality}m_{temperature}K" splits "NaCl_SPCE_1m_300K" one way only once the
molality must be a number; "NaCl_0_5m_300K" is refused rather than read as 5 mol/kg
(Python's float() would take "0_5" for 05).
"""

from __future__ import annotations

import re
from collections.abc import Iterator, Sequence

__all__ = ["NUMERIC_FIELDS", "PointNameError", "read_fields"]

#: The fields of a pattern that are numbers.
NUMERIC_FIELDS = ("molality", "temperature")

_DECIMAL = re.compile(r"\+?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?")
# Digits run together with underscores: what float() reads as one number, no person writes as one.
_UNDERSCORED = re.compile(r"\d+(?:_\d+)+(?:\.\d*)?")


class PointNameError(ValueError):
    """A directory name that gives no one reading of the pattern's fields."""


def _splits(parts: Sequence[tuple[str, str | None]], name: str) -> Iterator[dict[str, str]]:
    """Every assignment of non-empty pieces of `name` (without '/') to the fields between the literals."""
    chosen: dict[str, str] = {}

    def walk(k: int, position: int) -> Iterator[dict[str, str]]:
        if k == len(parts):
            if position == len(name):
                yield dict(chosen)
            return
        literal, field = parts[k]
        if not name.startswith(literal, position):
            return
        position += len(literal)
        if field is None:
            yield from walk(k + 1, position)
            return
        for end in range(position + 1, len(name) + 1):
            if name[end - 1] == "/":
                break
            chosen[field] = name[position:end]
            yield from walk(k + 1, end)
        chosen.pop(field, None)

    return walk(0, 0)


def read_fields(parts: Sequence[tuple[str, str | None]], name: str, directory: str,
                first: dict[str, str]) -> dict[str, str | float]:
    """The fields of `name` under the pattern `parts` ((literal, field) pairs), numbers converted.

    `first` is the split a regular expression of the pattern found, named when no
    split gives numbers.

    Raises
    ------
    PointNameError
        When no split gives plain decimal numbers, when a number is written with
        underscores ("0_5"), or when several splits do.
    """
    fitting: list[dict[str, str | float]] = []
    for split in _splits(parts, name):
        for key in NUMERIC_FIELDS:
            text = split.get(key)
            if text is not None and _UNDERSCORED.fullmatch(text):
                raise PointNameError(f"{directory}: the {key} in its name, {text!r}, is no plain decimal number "
                                     f"(write {text.replace('_', '.', 1)!r} if that is meant)")
        if all(_DECIMAL.fullmatch(split[key]) for key in NUMERIC_FIELDS if key in split):
            fitting.append({key: float(text) if key in NUMERIC_FIELDS else text for key, text in split.items()})
    if not fitting:
        key, text = next(((key, first[key]) for key in NUMERIC_FIELDS
                          if key in first and not _DECIMAL.fullmatch(first[key])), ("", name))
        raise PointNameError(f"{directory}: the {key or 'state'} in its name, {text!r}, is not a number")
    if len(fitting) > 1:
        shown = "; ".join(", ".join(f"{k}={v}" for k, v in split.items()) for split in fitting[:3])
        raise PointNameError(f"{directory}: its name can be read in {len(fitting)} ways ({shown}); give the state "
                             "in a state.toml")
    return fitting[0]
