"""Sweeps over state points: a directory tree of runs at several salts, molalities and temperatures, as one table.

A sweep's root holds one directory per state point, each holding that point's
replicas (or being its only replica). The state of a point (salt, molality in
mol/kg, temperature in K) comes from the point's ``state.toml``, from the
directory's path by a pattern such as ``{salt}_{molality}m_{temperature}K``, or
from both. Every replica of every point is analysed in one map (any engine of
`quor_pp.parallel`), and each point's replicas are combined into its `Report`.
"""

from __future__ import annotations

import errno
import importlib
import math
import os
import re
import string
import tomllib
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final, TypeAlias

from ..reading.errors import FormatError, fspath
from ..analysis.fitting import WindowSettings
from ..analysis.pairs import run_species_order
from .parallel import Outcome, map_replicas
from ..analysis import quantities
from .point_names import read_fields
from .report import SCHEMA, Report, Row, combine, find_replicas, natural_key, no_result
from .run_consistency import NotOneRunError, at_state_point
from ..analysis.transport import AnalysisSettings, ReplicaFailure, ReplicaFailureWarning, ReplicaResult, RunFiles

if TYPE_CHECKING:
    import pandas

__all__ = ["STATE_FILE", "PatternError", "StatePoint", "StatePointWarning", "SweepReport", "combine_sweep",
           "find_state_points", "sweep"]


class StatePointWarning(UserWarning):
    """A state point left out of a sweep (its state file cannot be read); the others go on."""


#: The metadata file of a state point's directory.
STATE_FILE: Final = "state.toml"

#: What every state point must say, from its state file or its path.
STATE_KEYS: Final = ("salt", "molality", "temperature")

Scalar: TypeAlias = str | int | float | bool

# Names an extra state key cannot take: the table's and the JSON's own columns.
_RESERVED: Final = frozenset({"point", "path", "replicas", "analysed", "quantity", "species", "replica", "value",
                              "std", "sem", "n", "unit", "status", "message"})


class PatternError(ValueError):
    """A pattern of state fields that cannot be used (no field, a field twice, a bad brace)."""


@dataclass(frozen=True)
class StatePoint:
    """One state point of a sweep: where its replicas are and the state they were run at.

    Attributes
    ----------
    name : str
        The point's directory relative to the sweep's root, with "/" between
        levels ("NaCl_1m_300K"; "." for the root itself).
    path : str
        The point's directory.
    salt : str
    molality : float
        mol/kg.
    temperature : float
        K, as the state says (the analysis takes each run's own temperature).
    extra : mapping of str to str, int, float or bool
        Any other key of the state file, or field of the pattern: more columns of
        the table.
    charges : mapping of str to float, optional
        The ions' charges in units of e for this point, in place of the sweep's.
    molecules : mapping of str to int, optional
        Molecule counts for this point, over the sweep's.
    replicas : tuple of str
        The point's replica directories (empty when it has none).
    """

    name: str
    path: str
    salt: str
    molality: float
    temperature: float
    extra: Mapping[str, Scalar] = field(default_factory=dict)
    charges: Mapping[str, float] | None = None
    molecules: Mapping[str, int] | None = None
    replicas: tuple[str, ...] = ()

    def settings(self, base: AnalysisSettings) -> AnalysisSettings:
        """The analysis settings of this point: `base` with the point's charges, molecule counts, salt and molality.

        The point's temperature (and a "units" key of its state file) serve the
        runs whose own files give none.
        """
        molecules = {**base.molecules, **self.molecules} if self.molecules is not None else None
        units = self.extra.get("units")
        return base.replaced(charges=self.charges, molecules=molecules, salt=self.salt, molality=self.molality,
                             state_temperature=self.temperature, state_units=units if isinstance(units, str) else None)

    def state(self) -> dict[str, Scalar]:
        """The point's columns in the sweep's table: name, salt, molality, temperature and the extra keys."""
        return {"point": self.name, "salt": self.salt, "molality": self.molality, "temperature": self.temperature,
                **self.extra}


@dataclass(frozen=True)
class SweepReport:
    """Transport coefficients at every state point of a sweep.

    Attributes
    ----------
    root : str
        The sweep's directory.
    points : tuple of StatePoint
        By salt, molality, temperature and name.
    reports : tuple of (Report or None)
        Each point's report over its replicas, in the order of `points`; None for
        a point none of whose replicas could be analysed.
    failures : tuple of ReplicaFailure
        Every replica (or point without replicas) that could not be analysed, by path.
    settings : AnalysisSettings
        The settings of the sweep (a point's own charges and molecule counts are in
        its report's settings).
    """

    root: str
    points: tuple[StatePoint, ...]
    reports: tuple[Report | None, ...] = field(repr=False)
    failures: tuple[ReplicaFailure, ...] = field(repr=False)
    settings: AnalysisSettings = field(repr=False)

    def __post_init__(self) -> None:
        for name in ("points", "reports", "failures"):
            object.__setattr__(self, name, tuple(getattr(self, name)))

    def extra_keys(self) -> list[str]:
        """The extra state keys of the points, in the order they first appear."""
        keys: dict[str, None] = {}
        for point in self.points:
            keys.update(dict.fromkeys(point.extra))
        return list(keys)

    def keys(self) -> list[tuple[str, str]]:
        """(quantity, species) of every row that some point has, in the order of a report's table."""
        found: dict[tuple[str, str], None] = {}
        for report in self.reports:
            for row in report.rows if report is not None else ():
                found[(row.quantity, row.species)] = None
        order = {quantity.name: k for k, quantity in enumerate(quantities.quantities())}
        return sorted(found, key=lambda key: order.get(key[0], len(order)))

    def series(self, quantity: str, species: str = "") -> list[tuple[StatePoint, Row]]:
        """Every point that has a row of `quantity` for `species`, with that row."""
        found = []
        for point, report in zip(self.points, self.reports):
            row = next((r for r in report.rows if (r.quantity, r.species) == (quantity, species)), None) \
                if report is not None else None
            if row is not None:
                found.append((point, row))
        return found

    def records(self, *, per_replica: bool = False) -> list[dict[str, Any]]:
        """The tidy table: one record per state point, quantity and species, in SI units.

        Each record has the point's state (point, salt, molality, temperature, the
        extra keys; None where a point lacks one), then the columns of
        `Report.records` (quantity, species, replica, value, std, sem, n, unit,
        status, message). With `per_replica`, each replica's value follows as its
        own record.
        """
        extra = self.extra_keys()
        records: list[dict[str, Any]] = []
        for point, report in zip(self.points, self.reports):
            if report is None:
                continue
            state = {**point.state(), **{key: point.extra.get(key) for key in extra}}
            for record in report.records(per_replica=per_replica):
                records.append({**state, **record})
        return records

    def to_pandas(self, *, per_replica: bool = False) -> pandas.DataFrame:
        """The tidy table as a DataFrame (needs pandas)."""
        import pandas

        return pandas.DataFrame(self.records(per_replica=per_replica))

    def _repr_html_(self) -> str:
        from .report_html import sweep_html  # the HTML views are built only in a notebook

        return sweep_html(self)

    def write_parquet(self, path: str | os.PathLike[str], *, per_replica: bool = False) -> None:
        """Write the tidy table as a Parquet file (needs pyarrow).

        Raises
        ------
        ModuleNotFoundError
            pyarrow is not installed.
        OSError
            The file cannot be written; an existing file at `path` is then left as it was.
        """
        from ..core.outputs import replacing

        arrow = importlib.import_module("pyarrow")
        parquet = importlib.import_module("pyarrow.parquet")
        records = self.records(per_replica=per_replica)
        # A Parquet column has one type: an extra key whose values differ in type
        # between points (1 in one state file, "1b" in another) is written as text.
        for key in self.extra_keys():
            if len({type(r[key]) for r in records if r[key] is not None}) > 1:
                for record in records:
                    record[key] = None if record[key] is None else str(record[key])
        table = arrow.Table.from_pylist(records)
        # Through a file object: on a failure pyarrow removes a file it was given by name.
        with replacing(fspath(path), binary=True) as stream:
            parquet.write_table(table, stream)

    def to_dict(self, *, per_replica: bool = False) -> dict[str, Any]:
        """The state points, the tidy table and the failures as plain values (for JSON)."""
        return {
            "schema": SCHEMA,
            "root": self.root,
            "points": [{**point.state(), "path": point.path, "replicas": list(point.replicas),
                        "charges": dict(point.charges) if point.charges is not None else None,
                        "molecules": dict(point.molecules) if point.molecules is not None else None,
                        "analysed": report is not None}
                       for point, report in zip(self.points, self.reports)],
            "records": self.records(per_replica=per_replica),
            "failures": [failure.to_dict() for failure in self.failures],
            "warnings": [f"{point.name}: {notice.describe()}" for point, report in zip(self.points, self.reports)
                        if report is not None for notice in report.notices()],
            "settings": self.settings.to_dict(),
        }


class _Pattern:
    """A pattern of state fields in a point's path: "{salt}_{molality}m_{temperature}K"."""

    def __init__(self, text: str) -> None:
        self.text = text
        text = text.rstrip("/") or text  # "{salt}/" names the directory itself
        regex = []
        self.fields: list[str] = []
        self.parts: list[tuple[str, str | None]] = []
        try:
            parts = list(string.Formatter().parse(text))
        except ValueError as error:
            raise PatternError(f"pattern {text!r}: {error}") from None
        for literal, name, format_spec, conversion in parts:
            regex.append(re.escape(literal))
            self.parts.append((literal, name))
            if name is None:
                continue
            if not name.isidentifier() or format_spec or conversion:
                written = name + ("!" + conversion if conversion else "") + (":" + format_spec if format_spec else "")
                raise PatternError(f"pattern {text!r}: a field is a plain name in braces, such as {{salt}}, "
                                 f"not {{{written}}}")
            if name in self.fields:
                raise PatternError(f"pattern {text!r}: the field {{{name}}} appears twice")
            self.fields.append(name)
            regex.append(f"(?P<{name}>[^/]+?)")
        if not self.fields:
            raise PatternError(f"pattern {text!r} has no field; e.g. '{{salt}}_{{molality}}m_{{temperature}}K'")
        self.regex = re.compile("".join(regex))
        self.depth = text.strip("/").count("/") + 1

    def match(self, name: str) -> dict[str, str] | None:
        found = self.regex.fullmatch(name)
        return found.groupdict() if found is not None else None


def find_state_points(root: str | os.PathLike[str], pattern: str | None = None,
                      files: RunFiles = RunFiles()) -> list[StatePoint]:
    """The state points of a sweep, by salt, molality, temperature and name.

    Without a `pattern`, a point is a directory under `root` (or `root` itself)
    that holds a ``state.toml``. With one, a point is a directory whose path
    relative to `root` (levels joined by "/") matches it as a whole: each
    ``{field}`` stands for one or more characters other than "/", and ``salt``,
    ``molality`` and ``temperature`` fields give the state (numbers for the last
    two); other fields are extra columns. A point's ``state.toml``, when it has
    one, gives the rest and must agree with the path. The state file holds
    ``salt`` (a string), ``molality`` (mol/kg) and ``temperature`` (K), and may hold
    ``charges`` and ``molecules`` tables for the point's analysis and any other
    string, number or boolean as an extra column::

        salt = "NaCl"
        molality = 1.0        # mol/kg
        temperature = 300.0   # K
        charges = { Na = 1, Cl = -1 }
        water_model = "SPC/E"

    Raises
    ------
    OSError
        `root` is missing or not a directory.
    FileNotFoundError
        No state point was found.
    FormatError
        The only state file found is not TOML (an unreadable state file among others
        leaves its point out with a `StatePointWarning`; the others go on).
    ValueError
        A bad pattern, or a point whose state is incomplete, of the wrong type, or
        at odds between its path and its state file.
    """
    top = fspath(root)
    if not os.path.isdir(top):
        code = 20 if os.path.exists(top) else 2
        raise OSError(code, os.strerror(code), top)
    compiled = _Pattern(pattern) if pattern is not None else None
    points = []
    unreadable: list[FormatError] = []
    for directory, name in _candidates(top, compiled):
        state_path = os.path.join(directory, STATE_FILE)
        if os.path.exists(state_path) and not os.path.isfile(state_path):
            raise OSError(errno.EISDIR if os.path.isdir(state_path) else errno.EINVAL,
                          "a state file must be a regular file", state_path)
        try:
            from_file = _read_state(state_path) if os.path.isfile(state_path) else {}
        except FormatError as error:  # that point alone: the others go on (all of them, if none is left)
            unreadable.append(error)
            continue
        from_name: dict[str, Any] = {}
        if compiled is not None:
            matched = compiled.match(name)
            assert matched is not None
            from_name = read_fields(compiled.parts, name, directory, matched)
        points.append(_point(directory, name, from_name, from_file, state_path, files))
    if unreadable and not points:
        raise unreadable[0]
    for refused in unreadable:
        warnings.warn(StatePointWarning(f"{refused}; that state point is left out"), stacklevel=2)
    if not points:
        what = (f"no directory whose path matches {pattern!r}" if pattern is not None
                else f"no {STATE_FILE} in this directory or its subdirectories (or give a pattern)")
        raise FileNotFoundError(2, what, top)
    return sorted(points, key=lambda p: (p.salt, p.molality, p.temperature, natural_key(p.name)))


def _candidates(root: str, pattern: _Pattern | None) -> Iterable[tuple[str, str]]:
    """(directory, name relative to root) of every directory that may be a state point.

    Symbolic links to directories are taken as points but never descended into,
    so a link back up the tree cannot make the search go round.
    """
    for directory, subdirectories, names in os.walk(root):
        subdirectories[:] = sorted((d for d in subdirectories if not d.startswith(".")), key=natural_key)
        relative = os.path.relpath(directory, root)
        prefix = "" if relative == os.curdir else relative.replace(os.sep, "/") + "/"
        if pattern is None:
            if STATE_FILE in names or STATE_FILE in subdirectories:  # the second is refused by the caller
                subdirectories[:] = []  # a point's subdirectories are its replicas
                yield directory, prefix.rstrip("/") or "."
                continue
            for sub in subdirectories:
                path = os.path.join(directory, sub)
                if os.path.islink(path) and os.path.isfile(os.path.join(path, STATE_FILE)):
                    yield path, prefix + sub
        elif prefix.count("/") == pattern.depth - 1:
            for sub in subdirectories:
                if pattern.match(prefix + sub) is not None:
                    yield os.path.join(directory, sub), prefix + sub
            subdirectories[:] = []


def _read_state(path: str) -> dict[str, Any]:
    try:
        with open(path, "rb") as stream:
            return tomllib.load(stream)
    except tomllib.TOMLDecodeError as error:
        raise FormatError(path, "a TOML state file (salt = \"NaCl\", molality = 1.0, temperature = 300.0)",
                          error.lineno, error.msg) from None
    except UnicodeDecodeError:
        raise FormatError(path, "a TOML state file", None, "the file is not UTF-8 text") from None
    except ValueError as error:  # an integer of thousands of digits
        raise FormatError(path, "a TOML state file", None, f"a value it cannot hold ({error})") from None
    except RecursionError:
        # The TOML reader recurses once per level of nesting: a file nested deeper
        # than the interpreter's stack allows is refused like any other bad file.
        raise FormatError(path, "a TOML state file", None,
                          "arrays or tables are nested too deeply to be read") from None


def _point(directory: str, name: str, from_name: dict[str, Any], from_file: dict[str, Any], state_path: str,
           files: RunFiles) -> StatePoint:
    where = state_path if from_file else directory
    for key in from_name.keys() & from_file.keys():
        if not _same(from_name[key], from_file[key]):
            raise ValueError(f"{state_path}: {key} = {from_file[key]!r}, but the directory's name says "
                             f"{from_name[key]!r}")
    state = {**from_name, **from_file}
    missing = [key for key in STATE_KEYS if key not in state]
    if missing:
        raise ValueError(f"{where}: no {', '.join(missing)} for this state point (give "
                         f"{' and '.join(missing)} in {STATE_FILE}, or in the pattern)")
    salt = state.pop("salt")
    if not isinstance(salt, str) or not salt:
        raise ValueError(f"{where}: salt must be a non-empty string, not {salt!r}")
    molality = _number(state.pop("molality"), "molality", where, lowest=0.0)
    temperature = _number(state.pop("temperature"), "temperature", where, lowest=None)
    units = state.get("units")
    if units is not None and units not in ("real", "metal", "si", "lj"):
        raise ValueError(f"{where}: units must be one of real, metal, si and lj (a string), not {units!r}")
    charges = _table(state.pop("charges", None), "charges", where, float)
    molecules = _table(state.pop("molecules", None), "molecules", where, int)
    extra: dict[str, Scalar] = {}
    for key, value in state.items():
        if key in _RESERVED:
            raise ValueError(f"{where}: {key!r} names a column of the sweep's table; give the key another name")
        if isinstance(value, (dict, list)) or not isinstance(value, (str, int, float, bool)):
            raise ValueError(f"{where}: {key} must be a string, number or boolean to be a column of the table, "
                             f"not {value!r}")
        extra[key] = value
    try:
        replicas = tuple(find_replicas(directory, files))
    except FileNotFoundError:
        replicas = ()
    return StatePoint(name, directory, salt, molality, temperature, extra, charges, molecules, replicas)


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, (int, float)) and not isinstance(b, bool):
        return a == float(b)
    return bool(a == b)


def _number(value: Any, key: str, where: str, lowest: float | None) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{where}: {key} must be a finite number, not {value!r}")
    if (lowest is None and value <= 0.0) or (lowest is not None and value < lowest):
        raise ValueError(f"{where}: {key} must be {'positive' if lowest is None else '>= 0'}, not {value!r}")
    return float(value)


def _table(value: Any, key: str, where: str, kind: type[Any]) -> dict[str, Any] | None:
    if value is None:
        return None
    if not isinstance(value, dict):
        raise ValueError(f"{where}: {key} must be a table such as {{ Na = 1, Cl = -1 }}, not {value!r}")
    for name, item in value.items():
        good = (isinstance(item, int) if kind is int else isinstance(item, (int, float))) and not isinstance(
            item, bool)
        if not good or (kind is int and item <= 0):
            what = "a positive integer" if kind is int else "a number"
            raise ValueError(f"{where}: {key}.{name} must be {what}, not {item!r}")
    return {name: kind(item) for name, item in value.items()}


def sweep_tasks(points: Sequence[StatePoint], settings: AnalysisSettings) -> list[tuple[str, AnalysisSettings]]:
    """Every replica of every point with the point's settings: the tasks of one map over the whole sweep."""
    return [(replica, point.settings(settings)) for point in points for replica in point.replicas]


def combine_sweep(root: str, points: Sequence[StatePoint], outcomes: Sequence[Outcome],
                  settings: AnalysisSettings, *, strict: bool = True) -> SweepReport:
    """The sweep's report from the outcomes of `sweep_tasks`, in their order.

    A point without replicas is a failure of its own directory. When nothing at
    all could be analysed, the first failure's exception is raised (unless not
    `strict`: then every report is None).
    """
    reports: list[Report | None] = []
    failures: list[ReplicaFailure] = []
    position = 0
    for point in points:
        mine = outcomes[position:position + len(point.replicas)]
        position += len(point.replicas)
        if not point.replicas:
            error = FileNotFoundError(2, f"no transport tables ({settings.files.diffself[0]}, "
                                         f"{settings.files.viscosity[0]}, ...) in this state point's directory "
                                         "or its subdirectories", point.path)
            failures.append(ReplicaFailure(point.path, "FileNotFoundError", f"{point.path}: {error.strerror}",
                                           error))
            reports.append(None)
            continue
        results = [outcome for outcome in mine if isinstance(outcome, ReplicaResult)]
        failed = [outcome for outcome in mine if isinstance(outcome, ReplicaFailure)]
        try:  # replicas of another run, or at another temperature than the point's, are set apart
            results, apart = at_state_point(results, point.temperature, point.name, point.molality)
        except NotOneRunError as error:
            failed += [ReplicaFailure(result.path, "NotOneRun", f"{result.path}: {error}", error)
                       for result in results]
            results, apart = [], []
        failed += apart
        failures += failed
        reports.append(combine(results, point.settings(settings), failed) if results else None)
    if strict and all(report is None for report in reports):
        raise no_result(failures)
    return SweepReport(root, tuple(points), tuple(reports), tuple(failures), settings)


def sweep(
    root: str | os.PathLike[str],
    settings: AnalysisSettings | None = None,
    *,
    pattern: str | None = None,
    units: str | None = None,
    temperature: float | None = None,
    volume: float | None = None,
    viscosity: float | None = None,
    molecules: Mapping[str, int] | None = None,
    atoms_per_molecule: Mapping[str, int] | None = None,
    charges: Mapping[str, float] | None = None,
    window: WindowSettings | None = None,
    windows: Mapping[str, tuple[float, float]] | None = None,
    jobs: int = 1,
    client: Any = None,
    engine: str | None = None,
    curves: bool = False,
    progress: Callable[[str], None] | None = None,
    done: Callable[[int, Outcome], None] | None = None,
    points: Sequence[StatePoint] | None = None,
) -> SweepReport:
    """Transport coefficients at every state point of a sweep, as one table.

    Parameters
    ----------
    root : str or os.PathLike
        The sweep's directory: one directory per state point (see
        `find_state_points`), each holding the point's replicas.
    settings : AnalysisSettings, optional
        All analysis settings at once; the keywords below replace single fields.
    pattern : str, optional
        The state in the points' paths, e.g. "{salt}_{molality}m_{temperature}K";
        by default every point has a state.toml.
    units, temperature, volume, viscosity, molecules, atoms_per_molecule, charges, window, windows
        As for `analyze`, for every point; a point's state file may give its own
        charges and molecule counts, and its temperature serves runs whose files
        give none.
    jobs, client, engine
        As for `analyze`: the replicas of all points are analysed in one map.
    curves : bool
        Keep the whole curve of every fit (off by default: a sweep's table and
        plots need only the values).
    progress, done : callable, optional
        As for `analyze`.
    points : sequence of StatePoint, optional
        The state points, when the caller found them already (`find_state_points`).

    Returns
    -------
    SweepReport
        The points, each point's report, and the replicas that could not be
        analysed (each also a `ReplicaFailure` warning).

    Raises
    ------
    OSError, FormatError, ValueError
        As for `find_state_points`, or nothing at all could be analysed.

    Examples
    --------
    From the root of a source checkout, with the sample sweep:

    >>> result = sweep("examples/data/sweep")
    >>> [(p.salt, p.molality, p.temperature) for p in result.points][:2]
    [('NaCl', 0.5, 300.0), ('NaCl', 0.5, 330.0)]
    >>> record = result.records()[0]
    >>> record["point"], record["quantity"], record["species"], record["unit"]
    ('NaCl_0.5m_300K', 'self_diffusion', 'wat', 'm^2/s')
    """
    chosen = (settings or AnalysisSettings()).replaced(
        units=units, temperature=temperature, volume=volume, viscosity=viscosity, window=window, windows=windows,
        molecules=molecules, atoms_per_molecule=atoms_per_molecule, charges=charges)
    top = fspath(root)
    if points is None:
        points = find_state_points(top, pattern, chosen.files)
    if not chosen.species_order:  # one order of species and pairs across every point and replica
        replicas = [replica for point in points for replica in point.replicas]
        chosen = chosen.replaced(species_order=run_species_order(replicas, chosen.files) or None)
    outcomes = map_replicas(sweep_tasks(points, chosen), jobs=jobs, client=client, engine=engine, curves=curves,
                            progress=progress, done=done)
    result = combine_sweep(top, points, outcomes, chosen)
    for failure in result.failures:
        warnings.warn(f"not analysed: {failure}", ReplicaFailureWarning, stacklevel=2)
    return result
