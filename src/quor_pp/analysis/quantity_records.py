"""The records of the quantities computed in structure.py, mixtures.py, experiment.py and thermo_averages.py.

Their formulas need NumPy; the records do not, so the registry is still read
without it (quor-pp --help): each derive function is imported on its first call.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Final

from .registry import Quantity, register

if TYPE_CHECKING:
    from .results import Estimate
    from .transport import Run

__all__ = ["register_all"]


def _loaded(module: str) -> Any:
    # Once imported, the module is taken from sys.modules without the import machinery.
    name = f"quor_pp.analysis.{module}"
    return sys.modules.get(name) or importlib.import_module(name)


def _lazy(module: str, function: str) -> Callable[[Run], Iterable[Estimate]]:
    def derive(run: Run) -> Iterable[Estimate]:
        found: Callable[[Run], Iterable[Estimate]] = getattr(_loaded(module), function)
        return found(run)

    derive.__name__ = function
    return derive


def _pooled(module: str, function: str) -> Callable[[str, Mapping[str, float]], float]:
    def pooled(species: str, sources: Mapping[str, float]) -> float:
        found: Callable[[str, Mapping[str, float]], float] = getattr(_loaded(module), function)
        return found(species, sources)

    pooled.__name__ = function
    return pooled


_KB_VD: Final = "Krishna and van Baten, Ind. Eng. Chem. Res. 44, 6939 (2005)"
_JAMALI: Final = "Jamali et al., J. Chem. Theory Comput. 14, 2667 (2018)"


def register_all() -> None:
    """Add every record below to the registry, after the transport coefficients they use."""
    structure = [
        Quantity("rdf_first_peak", "r_max", "position of the first peak of g(r)", "m",
                 derive=_lazy("structure", "first_peak")),
        Quantity("rdf_first_peak_height", "g_max", "height of the first peak of g(r)", "1",
                 derive=_lazy("structure", "first_peak_height"), reduced=False),
        Quantity("rdf_first_minimum", "r_min", "position of the first minimum of g(r)", "m",
                 derive=_lazy("structure", "first_minimum")),
        Quantity("coordination_number", "n", "coordination number of the first shell", "1",
                 derive=_lazy("structure", "coordination"), reduced=False,
                 reference="n_ij = 4π ρ_j ∫₀^r_min g_ij r² dr"),
        Quantity("rdf_second_peak", "r_max2", "position of the second peak of g(r)", "m",
                 derive=_lazy("structure", "second_peak")),
        Quantity("rdf_second_minimum", "r_min2", "position of the second minimum of g(r)", "m",
                 derive=_lazy("structure", "second_minimum")),
        Quantity("coordination_number_second", "n₂", "coordination number of the second shell", "1",
                 derive=_lazy("structure", "coordination_second"), reduced=False,
                 reference="n₂ = 4π ρ_j ∫_r_min^r_min2 g_ij r² dr"),
        Quantity("kirkwood_buff", "G", "Kirkwood-Buff integral", "m^3", derive=_lazy("structure", "kirkwood_buff_estimates"),
                 reference="Krüger et al., J. Phys. Chem. Lett. 4, 235 (2013), up to half the box edge, of the "
                           "finite-size corrected g(r) (Ganguly and van der Vegt, J. Chem. Theory Comput. 9, 1347 "
                           "(2013))"),
        Quantity("excess_coordination", "N_ex", "excess coordination number ρ_j G_ij (j around i)", "1",
                 derive=_lazy("structure", "excess_coordination"), reduced=False,
                 reference="Ben-Naim, Molecular Theory of Solutions (2006)"),
        Quantity("thermodynamic_factor", "Γ", "thermodynamic factor", "1",
                 derive=_lazy("mixture_thermodynamics", "thermodynamic_factor_estimates"), reduced=False,
                 reference="Γ = 1/(1 + ρ x₁ x₂ (G₁₁ + G₂₂ − 2G₁₂)); a salt's ions as one component after "
                           "Weerasinghe and Smith, J. Chem. Phys. 118, 10663 (2003)"),
        Quantity("thermodynamic_factor_range", "δΓ_L", "half the spread of Γ over fit ranges of L·G(L)", "1",
                 derive=_lazy("mixture_thermodynamics", "thermodynamic_factor_range"), reduced=False),
        Quantity("partial_molar_volume", "V̄", "partial molar volume (a salt's per mole of ions)", "m^3/mol",
                 derive=_lazy("mixture_thermodynamics", "partial_molar_volume"),
                 reference="Ben-Naim, Molecular Theory of Solutions (2006), from the Kirkwood-Buff integrals"),
    ]
    mixtures = [
        Quantity("maxwell_stefan", "Đ", "Maxwell-Stefan diffusivity", "m^2/s", derive=_lazy("mixtures", "maxwell_stefan"),
                 pooled=_pooled("mixtures", "pooled_pair"),
                 reference=_KB_VD + "; a pair of species, or the two components (a salt's ions together)"),
        Quantity("darken", "Đ_D", "Darken's diffusivity x₂D₁ + x₁D₂", "m^2/s", derive=_lazy("mixtures", "darken"),
                 pooled=_pooled("mixtures", "pooled_darken"),
                 reference="Darken's relation from the self-diffusion coefficients, for comparison with Đ"),
        Quantity("maxwell_stefan_infinite", "Đ∞", "Maxwell-Stefan diffusivity, finite-size corrected", "m^2/s",
                 derive=_lazy("mixtures", "maxwell_stefan_infinite"), pooled=_pooled("mixtures", "pooled_infinite"),
                 reference=_JAMALI),
        Quantity("fick", "D_F", "Fick diffusivity Γ Đ", "m^2/s", derive=_lazy("mixtures", "fick"),
                 pooled=_pooled("mixtures", "pooled_fick"), reference=_KB_VD),
        Quantity("fick_infinite", "D_F∞", "Fick diffusivity Γ Đ∞, finite-size corrected", "m^2/s",
                 derive=_lazy("mixtures", "fick_infinite"), pooled=_pooled("mixtures", "pooled_fick"),
                 reference=_JAMALI),
        Quantity("viscosity_component", "η_αβ", "shear viscosity from one stress component", "Pa s",
                 derive=_lazy("mixtures", "viscosity_components"),
                 curve_label=(r"$V \langle (\int P_{\alpha\beta}\, dt)^2 \rangle / 2 k_B T$", r"Pa$\cdot$s$^2$"),
                 reference="Helfand moment of each pressure-tensor component of viscosity.dat"),
        Quantity("bulk_viscosity", "η_B", "bulk viscosity", "Pa s", derive=_lazy("mixtures", "bulk_viscosity"),
                 curve_label=(r"$V \langle (\int \delta P\, dt)^2 \rangle / 2 k_B T$", r"Pa$\cdot$s$^2$"),
                 reference="Helfand moment of the pressure fluctuation"),
        Quantity("transference_number", "t", "transference number (barycentric frame)", "1",
                 derive=_lazy("mixtures", "transference_number"), pooled=_pooled("mixtures", "pooled_transference"),
                 reduced=False, reference="t_i = q_i Σ_j q_j Λ_ij / Σ_kj q_k q_j Λ_kj"),
        Quantity("ionicity", "σ/σ_NE", "ionicity", "1", derive=_lazy("mixtures", "ionicity"),
                 pooled=_pooled("mixtures", "pooled_ratio"), reduced=False),
        Quantity("haven_ratio", "H", "Haven ratio σ_NE/σ", "1", derive=_lazy("mixtures", "haven_ratio"),
                 pooled=_pooled("mixtures", "pooled_ratio"), reduced=False),
    ]
    experiment = [
        Quantity("density", "ρ", "density", "kg/m^3", derive=_lazy("experiment", "simulated_density"),
                 reference="mean of the equilibrated part of density.dat (Chodera 2016)"),
        Quantity("density_error", "δρ_s", "standard error of the density from its statistical inefficiency",
                 "kg/m^3", derive=_lazy("experiment", "simulated_density_error")),
        Quantity("density_experiment", "ρ_exp", "experimental density (Laliberte)", "kg/m^3",
                 derive=_lazy("experiment", "density_experiment"), reduced=False,
                 reference="Laliberte and Cooper, J. Chem. Eng. Data 49, 1141 (2004)"),
        Quantity("density_deviation", "δρ", "relative deviation of the density from experiment", "1",
                 derive=_lazy("experiment", "density_deviation"), pooled=_pooled("experiment", "pooled_deviation"),
                 reduced=False),
        Quantity("viscosity_experiment", "η_exp", "experimental viscosity (Laliberte)", "Pa s",
                 derive=_lazy("experiment", "viscosity_experiment"), reduced=False,
                 reference="Laliberte, J. Chem. Eng. Data 52, 321 (2007)"),
        Quantity("viscosity_deviation", "δη", "relative deviation of the viscosity from experiment", "1",
                 derive=_lazy("experiment", "viscosity_deviation"), pooled=_pooled("experiment", "pooled_deviation"),
                 reduced=False),
        Quantity("conductivity_experiment", "σ_exp", "experimental electrical conductivity", "S/m",
                 derive=_lazy("experiment", "conductivity_experiment"), reduced=False,
                 reference="KOH: Gilliam et al., Int. J. Hydrogen Energy 32, 359 (2007); other salts: a segmented "
                           "molar-conductivity model"),
        Quantity("conductivity_deviation", "δσ", "relative deviation of the conductivity from experiment", "1",
                 derive=_lazy("experiment", "conductivity_deviation"),
                 pooled=_pooled("experiment", "pooled_deviation"), reduced=False),
        Quantity("proton_hop_time", "τ", "mean time between proton hops", "s",
                 derive=_lazy("experiment", "proton_hop_time"), pooled=_pooled("experiment", "pooled_hop_time"),
                 reduced=False, reference="τ = e² δ² N / (6 k_B T L³ (σ_exp − σ_md))"),
        Quantity("proton_hop_diffusion", "D_hop", "diffusion by proton hopping", "m^2/s",
                 derive=_lazy("experiment", "proton_hop_diffusion"),
                 pooled=_pooled("experiment", "pooled_hop_diffusion"), reduced=False,
                 reference="D_hop = δ² / (6τ)"),
        Quantity("self_diffusion_hop_corrected", "D+D_hop", "self-diffusion with proton hopping", "m^2/s",
                 derive=_lazy("experiment", "self_diffusion_hop_corrected"),
                 pooled=_pooled("experiment", "pooled_corrected"), reduced=False),
    ]
    thermodynamics = [
        Quantity("thermo_mean", "⟨x⟩", "equilibrated mean of a thermodynamic column", "SI by column",
                 derive=_lazy("thermo_averages", "thermo_mean"),
                 reference="Chodera, J. Chem. Theory Comput. 12, 1799 (2016)"),
        Quantity("thermo_mean_error", "δ⟨x⟩", "its standard error from the statistical inefficiency", "SI by column",
                 derive=_lazy("thermo_averages", "thermo_mean_error")),
        Quantity("mean_angle", "θ", "mean bond angle", "deg", derive=_lazy("thermo_averages", "mean_angle"),
                 reduced=False),
    ]
    for record in (*structure, *mixtures, *experiment, *thermodynamics):
        register(record)
