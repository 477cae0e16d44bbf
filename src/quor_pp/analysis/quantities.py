"""The quantities a report holds, each declared once: where it comes from, how it is normalised, how it is shown.

A quantity fitted on curves of a run's tables is one `Quantity` record with its
`Curves` (which file, which columns) and its `Normalisation` (how a slope becomes
the SI value). A quantity made from others (a finite-size correction, a sum over
ions) names a `derive` function instead, written below its record's neighbours.
Everything else reads this table: the analysis of a replica walks it in order,
the report keeps its order, and the tables, JSON, CSV, plots and sweep tables take
names, symbols, units and labels from it. Adding a quantity is adding a record
(and, for a new formula, its function) with `register`.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Final

from .registry import (YEH_HUMMER_XI, Curves, Normalisation, Quantity, quantities, quantity, register,
                       registered, unregister)
from .results import Needs
from .statuses import FITTED, MISSING

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run


__all__ = ["Curves", "Normalisation", "Quantity", "YEH_HUMMER_XI", "quantities", "quantity", "register",
           "registered", "unregister"]

def _infinite_dilution(run: Run) -> Iterable[Estimate]:
    """D∞ = D + ξ k_B T / (6π η L), L the edge of the cubic box."""
    temperature, volume, viscosity = run.input("T"), run.input("V"), run.input("eta")
    for estimate in run.estimates("self_diffusion"):
        if not estimate.success:
            yield run.missing("self_diffusion_infinite", estimate.species, estimate.message, estimate.needs,
                              status=estimate.status)
            continue
        lacking = next((i for i in (temperature, volume, viscosity) if i.value is None), None)
        if lacking is not None:
            yield run.missing("self_diffusion_infinite", estimate.species, lacking.why, lacking.needs)
            continue
        assert estimate.value is not None and temperature.value is not None and volume.value is not None
        assert viscosity.value is not None
        length = volume.value ** (1.0 / 3.0)
        correction = YEH_HUMMER_XI * run.units.boltzmann * temperature.value / (
            6.0 * math.pi * viscosity.value * length)
        if not math.isfinite(correction):
            yield run.missing("self_diffusion_infinite", estimate.species, "the finite-size correction is not a "
                              f"number (T, V and η: {temperature.value:g}, {volume.value:g}, {viscosity.value:g})",
                              None, status="invalid input")
            continue
        yield run.value("self_diffusion_infinite", estimate.species, estimate.value + correction,
                        sources=(*estimate.sources, *run.sources(temperature, volume, viscosity)))


def _onsager(run: Run) -> Iterable[Estimate]:
    """Λ_ij = slope_ij / N, every column of the file over one window, its momentum balance checked."""
    from .onsager_fit import onsager  # the registry itself is read without NumPy (quor-pp --help)

    return onsager(run)


def _conductivity(run: Run) -> Iterable[Estimate]:
    """σ = e²/(V k_B T) Σ_i Σ_j q_i q_j s_ij over ordered pairs of ions.

    The window is fitted on the charge-weighted sum of the Onsager curves: for one
    window the slope of the sum is the sum of the slopes, and the sum is diffusive
    even when a cross curve alone (near zero for uncorrelated ions) has no window.
    """
    charges = run.charges()
    table = run.table("diffonsag")
    if table is None:
        return
    if not charges:
        yield from _charges_not_given(run, "conductivity")
        return
    pairs = dict(run.curves(Curves("diffonsag", "MSD__", "pair")))
    absent = [ion for ion in charges if f"{ion}-{ion}" not in pairs]
    if absent:
        yield run.missing("conductivity", "", f"no Onsager column for {', '.join(f'{s}_{s}' for s in absent)} "
                          f"in {table.path}", None)
        return
    terms = []
    for label, column in pairs.items():
        first, second = label.split("-", 1)
        if first in charges and second in charges:
            terms.append((charges[first] * charges[second] * (1.0 if first == second else 2.0), column))
    import numpy as np  # the registry itself is read without NumPy (quor-pp --help)

    curve = np.zeros(table.row_count)
    for weight, column in terms:
        curve = curve + weight * table[column]
    fit = run.fit(table, " + ".join(f"{w:g}*{c}" for w, c in terms), curve, quantity="conductivity")
    yield run.from_fit("conductivity", "", fit, Normalisation("diffusion", ("V k_B T / e^2",)))


def _charges_not_given(run: Run, quantity: str) -> Iterable[Estimate]:
    """No value, saying which charges to give, when the run's data file shows ions and none were given."""
    ions = {name: charge for name, charge in run.detected_charges().items() if charge != 0.0}
    if ions:
        shown = ",".join(f"{name}={charge:g}" for name, charge in ions.items())
        yield run.missing(quantity, "", f"no charges were given, and the data file's {', '.join(ions)} carry charges",
                          Needs("charges", shown))


def _nernst_einstein(run: Run) -> Iterable[Estimate]:
    """σ_NE = e²/(V k_B T) Σ_i q_i² N_i D_i, where N_i D_i is the self-diffusion slope."""
    charges = run.charges()
    if not charges:
        yield from _charges_not_given(run, "conductivity_nernst_einstein")
        return
    fits = {e.species: e.fit for e in run.estimates("self_diffusion")}
    slopes = {ion: fit.slope for ion, fit in fits.items() if fit is not None and fit.slope is not None}
    lacking = [ion for ion in charges if ion not in slopes]
    if lacking:
        yield run.missing("conductivity_nernst_einstein", "",
                          f"no self-diffusion fit for {', '.join(map(repr, lacking))}", None)
        return
    box = run.input("V k_B T / e^2")
    if box.value is None:
        yield run.missing("conductivity_nernst_einstein", "", box.why, box.needs)
        return
    total = 0.0
    for ion, charge in charges.items():
        total += charge * charge * slopes[ion]
    yield run.value("conductivity_nernst_einstein", "", total / box.value * run.units.diffusion,
                    sources=run.sources(box))


def _box_input(quantity: str, name: str) -> Callable[[Run], Iterable[Estimate]]:
    def derive(run: Run) -> Iterable[Estimate]:
        given = run.input(name)
        if given.value is None:
            yield run.missing(quantity, "", given.why, given.needs)
        else:
            yield run.value(quantity, "", given.value, sources=run.sources(given))

    return derive


_D_LABEL: Final = (r"$\langle \Delta r^2 \rangle / 6$ per molecule", "m$^2$")

for _quantity in (
    Quantity("self_diffusion", "D", "self-diffusion coefficient", "m^2/s",
             Curves("diffself", "MSD__", "species", ("diffself.dat",)), Normalisation("diffusion", ("N_i",)),
             curve_label=_D_LABEL, in_sweep_table=True, positive=True,
             reference="Einstein relation: the file holds the sum over the species' molecules of |Δr|²/6",
             formula=r"D_i = \frac{1}{N_i} \lim_{t \to \infty} \frac{d}{dt} \frac{1}{6} "
                     r"\Big\langle \sum_{k \in i} \lvert \Delta \mathbf{r}_k(t) \rvert^2 \Big\rangle",
             inputs=("diffself.dat", "N_i"), statuses=FITTED),
    Quantity("self_diffusion_infinite", "D∞", "self-diffusion coefficient, finite-size corrected", "m^2/s",
             derive=_infinite_dilution, reference="Yeh and Hummer, J. Phys. Chem. B 108, 15873 (2004)",
             formula=r"D_{\infty} = D + \frac{\xi k_B T}{6 \pi \eta L}, \qquad L = V^{1/3}, \quad "
                     rf"\xi = {YEH_HUMMER_XI}",
             inputs=("self_diffusion", "temperature", "volume", "viscosity"), passes_on=("self_diffusion",),
             statuses=(MISSING, ("invalid input", "T, V and η give a correction that is not a finite number"))),
    Quantity("onsager", "Λ", "Onsager coefficient", "m^2/s", derive=_onsager,
             curve_label=(r"$\langle \sum\Delta r_i \cdot \sum\Delta r_j \rangle / 6N$", "m$^2$"),
             reference="Krishna and van Baten, Ind. Eng. Chem. Res. 44, 6939 (2005)",
             formula=r"\Lambda_{ij} = \frac{1}{N} \lim_{t \to \infty} \frac{d}{dt} \frac{1}{6} \Big\langle "
                     r"\sum_{k \in i} \Delta \mathbf{r}_k(t) \cdot \sum_{l \in j} \Delta \mathbf{r}_l(t) \Big\rangle",
             inputs=("diffonsag.dat", "N"),
             statuses=(*FITTED, ("momentum not conserved", "the mass-weighted rows Σ_j M_j Λ_ij of the matrix, "
                                 "all fitted over one window, miss zero by more than momentum_tolerance"))),
    Quantity("viscosity", "η", "shear viscosity", "Pa s",
             Curves("viscosity", "MSD_all", names=("viscosity.dat",)), Normalisation("viscosity", ("T",)),
             curve_label=(r"$V \langle (\int P_{\alpha\beta}\, dt)^2 \rangle / 2 k_B T$", r"Pa$\cdot$s$^2$"),
             in_sweep_table=True, positive=True, reference="Helfand moment of the off-diagonal pressure tensor",
             formula=r"\eta = \lim_{t \to \infty} \frac{V}{2 k_B T} \frac{d}{dt} \Big\langle \Big( \int_0^t "
                     r"P_{\alpha\beta}(t') \, dt' \Big)^2 \Big\rangle",
             inputs=("viscosity.dat", "T"), statuses=FITTED),
    Quantity("thermal_conductivity", "κ", "thermal conductivity", "W/(m K)",
             Curves("thermal_conductivity", "MSD_all", names=("thermconductivity.dat", "tconductivity.dat")), Normalisation("thermal_conductivity", ("T^2",)),
             curve_label=(r"$\langle (\int J\, dt)^2 \rangle / 2 V k_B T^2$", r"J/(m$\cdot$K)"),
             in_sweep_table=True, positive=True, reference="Helfand moment of the heat flux",
             formula=r"\kappa = \lim_{t \to \infty} \frac{1}{2 V k_B T^2} \frac{d}{dt} \Big\langle \Big( "
                     r"\int_0^t J_{\alpha}(t') \, dt' \Big)^2 \Big\rangle",
             inputs=("thermconductivity.dat", "T"), statuses=FITTED),
    Quantity("conductivity", "σ", "electrical conductivity", "S/m", derive=_conductivity,
             curve_label=(r"$e^2 \sum q_i q_j \langle \Delta r_i \cdot \Delta r_j \rangle / 6 V k_B T$",
                          r"S$\cdot$s/m"),
             in_sweep_table=True, positive=True, reference="charge-weighted sum of the Onsager coefficients",
             formula=r"\sigma = \frac{e^2}{V k_B T} \lim_{t \to \infty} \frac{d}{dt} \frac{1}{6} \sum_{i,j} "
                     r"q_i q_j \Big\langle \sum_{k \in i} \Delta \mathbf{r}_k(t) \cdot \sum_{l \in j} "
                     r"\Delta \mathbf{r}_l(t) \Big\rangle",
             inputs=("diffonsag.dat", "charges", "T", "V"), statuses=FITTED),
    Quantity("conductivity_nernst_einstein", "σ_NE", "Nernst-Einstein conductivity", "S/m",
             derive=_nernst_einstein, reference="Nernst-Einstein relation from the self-diffusion slopes",
             formula=r"\sigma_\mathrm{NE} = \frac{e^2}{V k_B T} \sum_i q_i^2 N_i D_i",
             inputs=("self_diffusion", "charges", "T", "V"), statuses=(MISSING,)),
    Quantity("temperature", "T", "temperature", "K", derive=_box_input("temperature", "T"), reduced=False,
             formula=r"T = \langle T(t) \rangle", inputs=("nvt_prod.dat (Temp)", "log.lammps", "temperature="),
             reference="the mean of the thermodynamic table's Temp column, or the value given",
             statuses=(MISSING,)),
    Quantity("volume", "V", "box volume", "m^3", derive=_box_input("volume", "V"),
             formula=r"V = \langle V(t) \rangle", inputs=("volume.dat", "log.lammps", "volume="),
             reference="the mean of the run's volume file (or the log's Volume column), or the value given",
             statuses=(MISSING,)),
):
    register(_quantity)


from . import quantity_records  # noqa: E402  (the records of structure, mixtures, experiment and thermodynamics)

quantity_records.register_all()
