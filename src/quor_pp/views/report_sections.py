"""Sections of the HTML page of a report: its figures, its settings in words, its inputs.

The figures are those `plots.report_figures` lists, the list ``--plot`` draws, so
the page holds every figure that ``--plot`` writes. The settings are a table of
setting, value and unit as a reader would write them: nested settings are rows of
their own, booleans "yes" or "no", a setting left to the run's files says where its
value comes from.
"""

from __future__ import annotations

import dataclasses
import tempfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Final

from ..analysis.display import display_unit, title
from ..core.html_table import escape, figure_html, html_table, svg_uri

if TYPE_CHECKING:
    from ..analysis.settings import AnalysisSettings
    from ..workflow.report import Report
    from ..workflow.sweeps import SweepReport

__all__ = ["figure_elements", "settings_rows", "settings_table", "sweep_figure_elements"]


def _has_matplotlib() -> bool:
    import importlib.util

    return importlib.util.find_spec("matplotlib") is not None


def _caption(function: Callable[..., list[str]], key: tuple[Any, ...]) -> str:
    from . import plots, structure_plots

    if function is plots.plot_fits:
        quantity, species = key
        named = f"{title(quantity)}{' of ' + species if species else ''}"
        return f"{named[:1].upper()}{named[1:]}: the curve of every replica, its fitted window and line"
    if function is plots.plot_replica_values:
        return "Every replica's value with the mean and spread"
    if function is structure_plots.plot_rdf:
        return f"Radial distribution function of {key[0]}, its running coordination number and Kirkwood–Buff integral"
    if function is structure_plots.plot_angles:
        return "Bond-angle distribution of every replica"
    return getattr(function, "__name__", "figure").replace("plot_", "").replace("_", " ")


def figure_elements(report: Report) -> list[str]:
    """Every figure `plots.plot_report` draws, as <figure> elements with SVG inside (none without matplotlib).

    A report made without its curves (``curves=False``) has no figures of its fits.
    """
    if not _has_matplotlib() or not report.replicas:
        return []
    from . import plots, structure_plots

    figures = [(function, subject, key) for function, subject, key in plots.report_figures(report)
               if function is not plots.plot_fits
               or not any(fit.success and len(fit.time) == 0 for _, _, fit in report.fits(*key))]
    # The wide figures (a panel per row, g(r) beside G(L)) take the page's width.
    return _drawn(figures, _caption, lambda function: function not in (plots.plot_fits, structure_plots.plot_angles))


def sweep_figure_elements(sweep: SweepReport) -> list[str]:
    """Every figure `plots.plot_sweep` draws (`plots.sweep_figures`), as <figure> elements (none without matplotlib)."""
    if not _has_matplotlib():
        return []
    from . import plots

    def caption(function: Callable[..., list[str]], key: tuple[Any, ...]) -> str:
        if function is plots.plot_sweep_quantity:
            quantity, species = key
            named = f"{title(quantity)}{' of ' + species if species else ''} over the state points"
        else:
            named = f"{title(key[0])} against experiment"
        return named[:1].upper() + named[1:]

    return _drawn(plots.sweep_figures(sweep), caption, lambda function: False)


def _drawn(figures: Sequence[tuple[Callable[..., list[str]], Any, tuple[Any, ...]]],
           caption: Callable[[Callable[..., list[str]], tuple[Any, ...]], str],
           wide: Callable[[Callable[..., list[str]]], bool]) -> list[str]:
    """Each figure drawn as SVG into a scratch directory, as <figure> elements in the figures' order."""
    elements = []
    with tempfile.TemporaryDirectory(prefix="quor-pp-html-") as directory:
        for function, subject, key in figures:
            for path in function(subject, *key, directory, formats=("svg",)):
                with open(path, "rb") as stream:
                    element = figure_html(svg_uri(stream.read()), caption(function, key))
                if wide(function):
                    element = element.replace("<figure>", '<figure class="full">', 1)
                elements.append(element)
    return elements


# --- settings ---------------------------------------------------------------------------------

_TIME_UNITS: Final = {"real": "fs", "metal": "ps", "si": "s", "cgs": "s", "electron": "fs", "micro": "µs",
                      "nano": "ns", "lj": "τ"}
_LENGTH_UNITS: Final = {"real": "Å", "metal": "Å", "si": "m", "cgs": "cm", "electron": "bohr", "micro": "µm",
                        "nano": "nm", "lj": "σ"}
NOT_SET: Final = "—"

Row = tuple[str, str, str]


def _number(value: float) -> str:
    return f"{value:.6g}"


def _words(name: str) -> str:
    return name.replace("_", " ")


def _plain(value: Any) -> str:
    """A value as a reader writes it: yes/no, "—" for none, lists joined by commas, numbers to six digits."""
    if value is None:
        return NOT_SET
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return _number(value)
    if isinstance(value, str):
        return value or NOT_SET
    if isinstance(value, Mapping):
        return ", ".join(f"{key} {_plain(item)}" for key, item in value.items()) or NOT_SET
    if isinstance(value, Iterable):
        return ", ".join(_plain(item) for item in value) or NOT_SET
    return str(value)


def _span(window: Sequence[float] | None) -> str:
    return "no common window" if window is None else f"{_number(window[0])} to {_number(window[1])}"


def _curve(name: str) -> str:
    """ "self_diffusion:Na" as "self-diffusion coefficient of Na"."""
    quantity, _, species = name.partition(":")
    return f"{title(quantity)}{' of ' + species if species else ''}"


def _window_rows(settings: AnalysisSettings, time: str) -> list[Row]:
    window = settings.window
    rows: list[Row] = [
        ("window length", window.rows_phrase().removesuffix(" rows"), "rows"),
        ("window log-log slope", f"1 ± {window.max_error:g}", ""),
        ("rows left out at each end of a curve", f"{window.margin:.0%}", ""),
        ("rows of a window allowed outside the slope band", f"{window.out_of_band_share:.0%}", ""),
        ("windows checked and bad ones rejected", _plain(window.check), ""),
        ("most rejections per curve", str(window.max_rejections), ""),
        ("smallest |MSD| kept", "every row kept", "") if window.min_displacement == 0 else
        ("smallest |MSD| kept", f"{_number(window.min_displacement)}²", "curve's length unit"),
        ("windows shared by the replicas", settings.replica_windows
         + (" (intersection)" if settings.common_window else ""), ""),
    ]
    rows += [(f"fit window given for {_curve(name) if name else 'every quantity'}", _span(span), time)
             for name, span in settings.windows.items()]
    rows += [(f"fit window of the {_curve(name)}", _span(span), time) for name, span in settings.curve_windows.items()]
    if settings.strict_windows:
        rows.append(("windows refused where not diffusive", _plain(settings.strict_windows), ""))
    return rows


def _input_rows(settings: AnalysisSettings, style: str) -> list[Row]:
    reduced = style == "lj"
    length = _LENGTH_UNITS.get(style, "run's length unit")
    viscosity = display_unit("Pa s")
    rows: list[Row] = [
        ("unit style", settings.units or f"{style or NOT_SET} (from the log)", ""),
        ("temperature", _number(settings.temperature) if settings.temperature is not None
         else "each run's mean Temp", "reduced" if reduced else "K"),
        ("volume", _number(settings.volume) if settings.volume is not None else "each run's volume.dat",
         f"{length}³"),
        ("viscosity for the finite-size correction",
         _number(settings.viscosity / (1.0 if reduced else viscosity.scale)) if settings.viscosity is not None
         else "each run's own", "reduced" if reduced else viscosity.fancy),
        ("molecules", _plain(settings.molecules) if settings.molecules else "counted in the data file", ""),
        ("charges", _plain(settings.charges), "e") if settings.charges else
        ("charges", "none given (no conductivity)", ""),
    ]
    if settings.charges:
        rows.append(("charges kept against the data file", _plain(settings.trust_charges), ""))
    if settings.atoms_per_molecule:
        rows.append(("atoms per molecule", _plain(settings.atoms_per_molecule), ""))
    rows += [("molar masses", _plain(settings.masses) if settings.masses else "from the data file", "g/mol"),
             ("momentum-balance tolerance of the Onsager matrix", f"{settings.momentum_tolerance:.3g}", ""),
             ("species order", _plain(settings.species_order) if settings.species_order else "each replica's own", "")]
    if settings.state_temperature is not None or settings.state_units is not None:
        rows += [("state point temperature", _plain(settings.state_temperature), "K"),
                 ("state point unit style", _plain(settings.state_units), "")]
    return rows


def _solution_rows(settings: AnalysisSettings) -> list[Row]:
    rows: list[Row] = [("salt", _plain(settings.salt), ""),
                       ("molality", _plain(settings.molality), "mol/kg")]
    if settings.hopping_ion is not None:
        rows.append(("proton-hopping ion", settings.hopping_ion, ""))
        rows.append(("hop distance", _number(settings.hop_distance * 1e10) if settings.hop_distance is not None
                     else "2.8 (O–O of a hydrogen bond)", "Å"))
    if settings.conductivity_model is not None:
        rows.append(("molar conductivity model", settings.conductivity_model, ""))
    return rows


# Every field that the sections above show; a field added later is shown by `_plain`.
_SHOWN: Final = {"window", "units", "temperature", "volume", "viscosity", "molecules", "atoms_per_molecule", "charges",
                 "windows", "common_window", "replica_windows", "masses", "momentum_tolerance", "curve_windows",
                 "strict_windows", "only_quantities", "state_temperature", "state_units", "files", "salt", "molality",
                 "hopping_ion", "hop_distance", "conductivity_model", "species_order", "trust_charges"}


def settings_rows(settings: AnalysisSettings, style: str = "") -> list[tuple[str, list[Row]]]:
    """The settings as groups of (setting, value, unit) rows.

    Parameters
    ----------
    settings : AnalysisSettings
    style : str
        The runs' LAMMPS unit style ("real"), for the units of times and lengths;
        empty when unknown.
    """
    time = _TIME_UNITS.get(settings.units or style, "(run's time unit)")
    groups = [("Window search", _window_rows(settings, time)),
              ("Inputs", _input_rows(settings, settings.units or style)),
              ("Solution", _solution_rows(settings))]
    rows: list[Row] = []
    if settings.only_quantities:
        rows.append(("quantities made", _plain(settings.only_quantities), ""))
    rows += [(f"{_words(name)} file", _plain(names), "") for name, names in dataclasses.asdict(settings.files).items()]
    rows += [(_words(field.name), _plain(getattr(settings, field.name)), "")
             for field in dataclasses.fields(settings) if field.name not in _SHOWN]
    groups.append(("Files", rows))
    return groups


def settings_table(settings: AnalysisSettings, style: str = "") -> str:
    """The settings as an HTML table of setting, value and unit, a heading row for each group."""
    parts = []
    for group, rows in settings_rows(settings, style):
        cells = (([(escape(name), False), (escape(value), False), (escape(unit), False)], False)
                 for name, value, unit in rows)
        parts.append(html_table(("setting", "value", "unit"), cells, escape(group)))
    return '<div class="settings">' + "".join(parts) + "</div>"
