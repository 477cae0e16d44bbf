"""Pages of the documentation made from the package when the docs build, so that they cannot drift.

- ``generated/quantities/<name>.rst``: one page per quantity of the registry
  (`quor_pp.analysis.quantities.quantities()`): symbol, SI unit, its record's formula and
  inputs, for a fitted one the curves and how a slope becomes the value, every status it
  can have and why (`quor_pp.analysis.statuses.documented`), and its reference;
- ``generated/native.rst``: the native module's functions, from ``_quor_pp.__all__``,
  with their signatures and docstrings;
- ``generated/gallery.rst``: the figures of the shipped sample runs (the NaCl run, the
  mixture's structure) and a fit with a rejected window, drawn now;
- ``generated/coverage.inc``: the ground-truth benchmark's coverage table, when its JSON
  is there (included by validation.rst).
"""

from __future__ import annotations

import inspect
import os
import re
import textwrap
from typing import Any

import _quor_pp
import quor_pp
from quor_pp.analysis import quantities, statuses
from quor_pp.analysis.display import display_unit
from quor_pp.analysis.experiment import DEFAULT_HOP_DISTANCE
from quor_pp.datasets import SAMPLE_CHARGES, sample_run

# How each divisor of a normalisation reads, and what it is.
_DIVISORS = {
    "N_i": (r"N_i", "the number of molecules of the curve's species (the log's group, or ``molecules=``)"),
    "N": (r"N", "the number of molecules in the box"),
    "T": (r"T", "the temperature, the mean ``Temp`` of ``nvt_prod.dat`` (or ``temperature=``)"),
    "T^2": (r"T^2", "the temperature squared"),
    "V k_B T / e^2": (r"V k_B T / e^2", "the box volume times the thermal energy over the elementary charge squared"),
}

_FILES = {
    "diffself": "diffself.dat", "diffonsag": "diffonsag.dat", "viscosity": "viscosity.dat",
    "thermal_conductivity": "thermconductivity.dat (or tconductivity.dat)",
}


# What the inputs that are not quantities are.
_INPUTS = {
    "N_i": "the number of molecules of a species (the log's group, the data file, or ``molecules=``)",
    "N": "the number of molecules in the box",
    "T": "the temperature (the :ref:`temperature <quantity-temperature>` row)",
    "V": "the box volume (the :ref:`volume <quantity-volume>` row)",
    "charges": "the ions' charges (``--charge Na=1,Cl=-1``, or read from the data file)",
    "--salt": "the salt, for the experimental correlations",
    "--molality": "the molality of the salt, mol/kg",
    "--hop-distance": f"the proton hop distance δ (default {DEFAULT_HOP_DISTANCE * 1e10:g} Å)",
    "--conductivity-model": "a segmented molar-conductivity model for a salt other than KOH",
}

_MARKUP = re.compile(r"([\\*|`_])")


def _prose(text: str) -> str:
    """Plain text with the characters that mean markup in reStructuredText escaped."""
    return _MARKUP.sub(r"\\\1", text).replace("--", "-\\-")  # an option's "--", not an en dash


def _docstring_bars(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """|x| in a docstring is an absolute value, not a substitution: escape the bars."""
    for k, line in enumerate(lines):
        lines[k] = re.sub(r"(?<![\\`])\|([^|`\s][^|`]*?)\|", r"\\|\1\\|", line)


def _heading(text: str, mark: str = "=") -> str:
    return f"{text}\n{mark * len(text)}\n"


def _math(formula: str) -> str:
    """A display formula, one equation per paragraph of `formula`."""
    return ".. math::\n\n" + textwrap.indent(formula.strip(), "   ") + "\n"


def _input(name: str) -> str:
    """An input of a quantity: a link to its page when it is a quantity, else the file, value or option."""
    if quantities.registered(name) is not None:
        found = quantities.quantity(name)
        return f":ref:`{found.title} ({name}) <quantity-{name}>`"
    return f"``{name}``" + (f": {_INPUTS[name]}" if name in _INPUTS else "")


def _statuses(quantity: quantities.Quantity) -> str:
    """The table of every status an estimate can have, with why, and the input it comes from."""
    rows = ["   * - ``ok``\n     - the value stands: every check it is subject to passed\n     -"]
    for status, (why, source) in statuses.documented(quantity.name).items():
        origin = f":ref:`{source} <quantity-{source}>`" if source else "its own"
        rows.append(f"   * - ``{status}``\n     - {_prose(why)}\n     - {origin}")
    return (".. list-table::\n   :header-rows: 1\n   :widths: 18 62 20\n\n   * - status\n     - why\n"
            "     - from\n" + "\n".join(rows) + "\n\nIn a report, a row is ``partial`` or ``failed`` when its "
            "replicas differ (see :ref:`row-statuses`).\n")


def _quantity_page(quantity: quantities.Quantity) -> str:
    unit = display_unit(quantity.unit)
    lines = [f".. _quantity-{quantity.name}:\n", _heading(f"{quantity.title[:1].upper()}{quantity.title[1:]} ({quantity.name})"),
             f"Symbol **{quantity.symbol}**; SI unit ``{quantity.unit}``, shown in tables as {unit.fancy}"
             f"{' (reduced units for an lj run)' if quantity.reduced else ''}.\n"]
    if quantity.curves is not None and quantity.normalisation is not None:
        curves, norm = quantity.curves, quantity.normalisation
        column = {"box": f"``{curves.column}``", "species": f"``{curves.column}<species>`` (one per species)",
                  "pair": f"``{curves.column}<i>_<j>`` (one per pair of species)"}[curves.per]
        lines.append(_heading("How it is made", "-"))
        lines.append(_math(quantity.formula))
        lines.append(_heading("Where it comes from", "-"))
        lines.append(f"Fitted on the column {column} of ``{_FILES.get(curves.file, curves.file)}``: the "
                     "slope *s* of the curve against time over its diffusive window (see :doc:`/windows`).\n")
        lines.append(_heading("Normalisation and unit conversion", "-"))
        divisor = r" \cdot ".join(_DIVISORS[d][0] for d in norm.divide_by) or "1"
        lines.append(".. math::\n\n" + f"   {quantity.symbol} = \\frac{{s}}{{{divisor}}} \\, f_\\mathrm{{{norm.factor}}}\n")
        lines.append(f"where :math:`f_\\mathrm{{{norm.factor}}}` is the unit system's factor that takes the slope "
                     "from the run's units (``real``, ``metal``, ``si``, ``lj``) to SI, derived from the SI "
                     "defining constants, and\n")
        for name in norm.divide_by:
            lines.append(f"- :math:`{_DIVISORS[name][0]}`: {_DIVISORS[name][1]};")
        lines.append("")
    else:
        lines.append(_heading("How it is made", "-"))
        lines.append(_math(quantity.formula))
    lines.append(_heading("Inputs", "-"))
    lines += [f"- {_input(name)}" for name in quantity.inputs]
    lines.append("")
    lines.append(_heading("Statuses", "-"))
    lines.append(_statuses(quantity))
    if quantity.name == "self_diffusion_infinite":
        lines.append(_heading("Finite-size correction", "-"))
        lines.append("The self-diffusion coefficient of a periodic box is smaller than that of the infinite "
                     "system by the hydrodynamic self-interaction of the periodic images; the correction uses "
                     "the run's own shear viscosity (or ``viscosity=``).\n")
    elif quantity.curves is not None and quantity.curves.per == "species":
        lines.append(_heading("Finite-size correction", "-"))
        lines.append("The value is that of the periodic box; :ref:`quantity-self_diffusion_infinite` "
                     "carries the correction to infinite box size.\n")
    lines.append(_heading("Reference", "-"))
    lines.append(_prose(quantity.reference or "See the formula above.") + "\n")
    lines.append(f"In a report: ``report.rows`` with ``quantity == {quantity.name!r}``; "
                 f"in tables and plots: {quantity.symbol}.\n")
    return "\n".join(lines)


def _quantities(directory: str) -> None:
    target = os.path.join(directory, "quantities")
    os.makedirs(target, exist_ok=True)
    names = []
    for quantity in quantities.quantities():
        _write(os.path.join(target, f"{quantity.name}.rst"), _quantity_page(quantity))
        names.append(quantity.name)
    table = ["   * - " + f":doc:`{q.name} <{q.name}>`\n     - {q.symbol}\n     - ``{q.unit}``\n     - {q.title}"
             for q in quantities.quantities()]
    _write(os.path.join(target, "index.rst"), _heading("Quantities") + textwrap.dedent("""
        Every quantity of a report, in the order of its table. These pages are made from the
        registry (``quor_pp.analysis.quantities.quantities()``) when the documentation is built.

        .. list-table::
           :header-rows: 1

           * - name
             - symbol
             - SI unit
             - what it is
        """) + "\n".join(table) + "\n\n" + _row_statuses() + "\n.. toctree::\n   :hidden:\n\n" + "".join(f"   {n}\n" for n in names))


def _row_statuses() -> str:
    rows = "".join(f"   * - ``{status}``\n     - {_prose(why)}\n" for status, why in statuses.ROW_STATUSES)
    return (".. _row-statuses:\n\n" + _heading("The status of a row", "-") + "\nA row of a report gathers the "
            "estimates of its replicas. Its status is ``ok`` when every replica gave a value, the replicas' "
            "common status when none did for one reason, and otherwise:\n\n.. list-table::\n   :header-rows: 1"
            "\n\n   * - status\n     - why\n" + rows)


def _native(directory: str) -> None:
    parts = [_heading("The native module _quor_pp"),
             f"``_quor_pp`` has {len(_quor_pp.__all__)} functions. They take plain Python values (floats, ints, "
             "str paths, any sequence of numbers) and return new Python objects; results are reproducible bit "
             "for bit. The package ``quor_pp`` calls them; they can also be called directly.\n",
             ".. list-table::\n   :header-rows: 1\n\n   * - function\n     - what it does"]
    for name in _quor_pp.__all__:
        first = (getattr(_quor_pp, name).__doc__ or "").strip().splitlines()
        parts.append(f"   * - `{name}`_\n     - {first[0] if first else ''}")
    parts.append("")
    for name in _quor_pp.__all__:
        function = getattr(_quor_pp, name)
        signature = f"{name}{function.__text_signature__ or '(...)'}".replace("($module, ", "(").replace("($module)", "()")
        parts.append(_heading(name, "-"))
        parts.append(f"``{signature}``\n")
        parts.append("::\n\n" + textwrap.indent((function.__doc__ or "").strip(), "    ") + "\n")
    _write(os.path.join(directory, "native.rst"), "\n".join(parts))


def _gallery(directory: str) -> None:
    from quor_pp.views import plots
    from quor_pp.views.structure_plots import plot_structure

    target = os.path.join(directory, "gallery")
    os.makedirs(target, exist_ok=True)
    report = quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES)
    written = plots.plot_report(report, target, formats=("svg",))
    mixture_dir = os.path.join(os.path.dirname(directory), "..", "examples", "data", "mixture")
    mixture = quor_pp.analyze(os.path.normpath(mixture_dir))
    os.makedirs(os.path.join(target, "mixture"), exist_ok=True)
    structure = plot_structure(mixture, os.path.join(target, "mixture"), formats=("svg",))
    rejected = [(row, fit) for result in (*report.replicas, *mixture.replicas) for fit in result.fits
                for row in (os.path.basename(result.path),) if fit.rejected]

    def figure(path: str, caption: str) -> str:
        name = os.path.relpath(path, directory).replace(os.sep, "/")
        return f".. figure:: {name}\n   :alt: {caption}\n   :width: 100%\n   :target: {name}\n\n   {caption}\n"

    by_stem = {os.path.splitext(os.path.basename(p))[0]: p for p in written}
    lines = [_heading("Gallery"),
             "The figures of ``quor-pp analyze --plot`` on the runs that come with quor-pp, drawn when this page "
             "was built from ``examples/data``.\n",
             _heading("The sample run: 1 mol/kg NaCl in water", "-"),
             "Four replicas in ``real`` units:\n",
             ".. code-block:: sh\n\n   quor-pp example sample\n   quor-pp analyze sample --charge Na=1,Cl=-1 "
             "--plot plots\n",
             _heading("Every replica's value", "~"),
             "One panel per row of the table: each replica's value, the mean and its 95 % interval.\n",
             figure(by_stem.pop("replica_values"), "the replicas' values, their mean and its interval")]
    lines.append(_heading("The fits", "~"))
    lines.append("Each figure shows a quantity's curves, scaled to the value's unit, with the window each replica "
                 "kept, and below them the local log-log slope that the window search judges (see "
                 ":doc:`/windows`).\n")
    for stem, path in by_stem.items():
        lines.append(figure(path, stem.replace("_", " ")))
    lines.append(_heading("Structure: water and methanol", "-"))
    lines.append("``examples/data/mixture`` (700 water and 300 methanol molecules, three replicas) has an "
                 "``rdf.dat``: per pair g(r) with its shells and running coordination number, and the "
                 "Kirkwood-Buff integral G(L) with its extrapolation L·G(L) to G∞.\n")
    lines.append(".. code-block:: sh\n\n   quor-pp analyze examples/data/mixture --plot plots\n")
    for path in structure:
        lines.append(figure(path, os.path.splitext(os.path.basename(path))[0].replace("_", " ")))
    lines.append(_heading("A fit with a rejected window", "-"))
    lines.append("A window is rejected when the curve is not diffusive throughout it: its local log-log slopes "
                 "leave the band around 1, or its line leaves the data (see :doc:`/windows`). The fit's figure "
                 "draws such a window hatched, and the replica's row says why.\n")
    if rejected:
        replica, fit = rejected[0]
        lines.append(f"In the runs above, {replica}'s window of {fit.column} was rejected; its figure is among "
                     "the fits.\n")
    else:
        lines += _rejected_window(target, figure)
    _write(os.path.join(directory, "gallery.rst"), "\n".join(lines))


# The run set of the ground-truth generator whose figure shows a rejected window: in one
# replica the replicas' common window of a stress component is not diffusive.
_REJECTED_RUN = ("long", 3, 0)


def _rejected_window(target: str, figure: Any) -> list[str]:
    """The fit with a rejected window from a run set of `quor_pp.known_runs`, drawn now; its page text."""
    import tempfile

    from quor_pp import known_runs
    from quor_pp.views import plots

    shape, replicas, seed = _REJECTED_RUN
    with tempfile.TemporaryDirectory(prefix="quor-pp-docs-") as root:
        known_runs.write_run_set(os.path.join(root, "run"), known_runs.SHAPES[shape], replicas, seed)
        report = quor_pp.analyze(os.path.join(root, "run"))
        found = next(((os.path.basename(r.path), e) for r in report.replicas for e in r.estimates
                      if e.fit is not None and e.fit.rejected), None)
        if found is not None:
            os.makedirs(os.path.join(target, "rejected"), exist_ok=True)
            paths = plots.plot_fits(report, found[1].quantity, found[1].species, os.path.join(target, "rejected"),
                                    formats=("svg",))
    intro = (f"The shipped runs' fits have no rejected window: their curves are diffusive wherever the search "
             f"looks. This figure is of a run set of the ground-truth generator (``quor_pp.known_runs``, shape "
             f"``{shape}``, {replicas} replicas, seed {seed}), made when this page was built:\n")
    if found is None:
        return [intro, "and this time none of its windows was rejected either.\n"]
    replica, estimate = found
    return [intro, figure(paths[0], f"{estimate.quantity} {estimate.species}: in {replica}, "
                                    f"{_prose(estimate.message)}")]


# Where the ground-truth benchmark's table is looked for: `benchmarks/coverage.py --json FILE`.
_COVERAGE_FILES = ("benchmarks/data/coverage.json", "coverage.json")


def _coverage(directory: str, root: str) -> None:
    """The coverage table of the last benchmark run, when its JSON is there; else how to make it."""
    found = next((os.path.join(root, name) for name in _COVERAGE_FILES if os.path.isfile(os.path.join(root, name))),
                 None)
    how = ("``python benchmarks/coverage.py --sets 100 --json benchmarks/data/coverage.json`` (about 2 s of CPU "
           "per set and shape) writes it; the next build of these pages shows it.")
    if found is None:
        _write(os.path.join(directory, "coverage.inc"),
               f"No table of the benchmark was found when these pages were built ({', '.join(_COVERAGE_FILES)}). "
               f"{how}\n")
        return
    import json

    with open(found, encoding="utf-8") as stream:
        document = json.load(stream)

    def cell(value: float | None, error: float | None, scale: float = 1.0, suffix: str = "") -> str:
        if value is None:
            return "–"
        text = f"{value * scale:.2f}"
        return text + (f" ± {error * scale:.2f}" if error is not None else "") + suffix

    rows = "".join(f"   * - {r['shape']}\n     - {r['quantity']}\n     - {r['species'] or '–'}\n     - {r['ok']:.2f}\n"
                   f"     - {cell(r['coverage'], r['coverage_se'])}\n     - {cell(r['bias'], r['bias_se'], 100.0, ' %')}\n"
                   f"     - {cell(r['half_width'], None, 100.0, ' %')}\n" for r in document["table"])
    _write(os.path.join(directory, "coverage.inc"),
           f"From ``{os.path.relpath(found, root)}``: {document['sets']} sets × {document['replicas']} replicas per "
           f"shape, seed {document['seed']}, quor-pp {document['version']}, {document['seconds']:.0f} s. {how}\n\n"
           ".. list-table::\n   :header-rows: 1\n\n   * - shape\n     - quantity\n     - species\n     - ok\n"
           "     - coverage\n     - bias\n     - half-width\n" + rows)


def _write(path: str, text: str) -> None:
    """Write only when the text changed, so that Sphinx rebuilds only what changed."""
    try:
        with open(path, encoding="utf-8") as stream:
            if stream.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(text)


def _generate(app: Any) -> None:
    directory = os.path.join(app.srcdir, "generated")
    os.makedirs(directory, exist_ok=True)
    _quantities(directory)
    _native(directory)
    _gallery(directory)
    _coverage(directory, os.path.dirname(app.srcdir))


def setup(app: Any) -> dict[str, Any]:
    app.connect("builder-inited", _generate)
    app.connect("autodoc-process-docstring", _docstring_bars)
    return {"parallel_read_safe": True, "version": quor_pp.__version__}
