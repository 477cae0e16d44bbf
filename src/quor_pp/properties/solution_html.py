"""The notebook view of a salt solution's properties: one HTML table of its state points."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ..core.html_table import escape, html_table

if TYPE_CHECKING:
    from .salts import SolutionProperties

__all__ = ["solution_html"]


def solution_html(properties: SolutionProperties) -> str:
    """The state points of a salt solution's properties as an HTML table (viscosity in mPa·s)."""
    header = ["T [K]", "b [mol/kg]", "c [mol/L]", "mass fraction", "ρ [kg/m³]"]
    if properties.viscosity is not None:
        header.append("η [mPa·s]")
    if properties.conductivity is not None:
        header.append("σ [S/m]")
    header.append("outside fit")
    rows = []
    for i in range(len(properties)):
        cells = [(escape(f"{properties.temperature[i]:.2f}"), True), (escape(f"{properties.molality[i]:.4f}"), True),
                 (escape(f"{properties.molarity[i]:.4f}"), True), (escape(f"{properties.mass_fraction[i]:.5f}"), True),
                 (escape(f"{properties.density[i]:.3f}"), True)]
        if properties.viscosity is not None:
            cells.append((escape(f"{properties.viscosity[i] * 1e3:.4f}"), True))
        if properties.conductivity is not None:
            cells.append((escape(f"{properties.conductivity[i]:.3f}"), True))
        outside = [name for name, flags in (("density", properties.outside_density_fit),
                                             ("viscosity", properties.outside_viscosity_fit),
                                             ("conductivity", properties.outside_conductivity_fit))
                   if flags is not None and flags[i]]
        cells.append((escape(", ".join(outside) or "-"), False))
        rows.append((cells, bool(outside)))
    salt = properties.salt
    caption = escape(f"{getattr(salt, 'formula', '')} {getattr(salt, 'name', '')}".strip())
    return f'<div class="quor-pp">{html_table(header, rows, caption)}</div>'
