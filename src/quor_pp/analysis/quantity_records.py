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
from .statuses import FITTED, MISSING, NOT_BINARY, OUTSIDE_RANGE

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

# What the records below share: statuses with their reasons, and the inputs of a formula.
_NO_PEAK: Final = ("no peak", "g(r), smoothed over about 0.3 Å, has no peak (of this shell) that rises above its "
                   "noise")
_NO_MINIMUM: Final = ("no minimum", "g(r) has no minimum after the shell's peak within the tabulated range")
_KB_SHORT: Final = ("too few points", "too few tabulated radii below half the box edge for the closed-box sum "
                    "rule or the line through L·G(L), or a g(r) with values that are not numbers")
_KB_UNCONVERGED: Final = ("not converged", "fitted over other ranges of L, G∞ moves by more than 0.1 molecules "
                          "of the neighbour species (ρ_j ΔG > 0.1): G(L) has not converged by half the box edge")
_UNPHYSICAL_GAMMA: Final = ("unphysical", "the integrals give a Γ that is not positive and finite")
_NO_DEFICIT: Final = ("no deficit", "the run conducts at least as well as experiment: no deficit for proton "
                      "hopping to explain")
_HOPPING: Final = ("conductivity", "conductivity_experiment", "N_i", "temperature", "volume", "--hop-distance")
_LALIBERTE: Final = ("temperature", "--salt", "--molality")
_EQUILIBRATED: Final = r"\quad t_0 = \operatorname{arg\,max}_{t_0} \frac{N - t_0}{g(t_0)}"


def register_all() -> None:
    """Add every record below to the registry, after the transport coefficients they use."""
    structure = [
        Quantity("rdf_first_peak", "r_max", "position of the first peak of g(r)", "m",
                 derive=_lazy("structure", "first_peak"),
                 formula=r"r_\mathrm{max} = \operatorname{arg\,max}_{r} \bar g_{ij}(r) \quad \text{(the first peak)}",
                 inputs=("rdf.dat",), statuses=(_NO_PEAK,)),
        Quantity("rdf_first_peak_height", "g_max", "height of the first peak of g(r)", "1",
                 derive=_lazy("structure", "first_peak_height"), reduced=False,
                 formula=r"g_\mathrm{max} = g_{ij}(r_\mathrm{max})", inputs=("rdf.dat", "rdf_first_peak"),
                 statuses=(_NO_PEAK,)),
        Quantity("rdf_first_minimum", "r_min", "position of the first minimum of g(r)", "m",
                 derive=_lazy("structure", "first_minimum"),
                 formula=r"r_\mathrm{min} = \operatorname{arg\,min}_{r > r_\mathrm{max}} \bar g_{ij}(r) \quad "
                         r"\text{(the minimum after the first peak)}",
                 inputs=("rdf.dat", "rdf_first_peak"), statuses=(_NO_PEAK, _NO_MINIMUM)),
        Quantity("coordination_number", "n", "coordination number of the first shell", "1",
                 derive=_lazy("structure", "coordination"), reduced=False,
                 reference="n_ij = 4π ρ_j ∫₀^r_min g_ij r² dr",
                 formula=r"n_{ij} = 4 \pi \rho_j \int_0^{r_\mathrm{min}} g_{ij}(r) \, r^2 \, dr, \qquad "
                         r"\rho_j = N_j / V",
                 inputs=("rdf.dat", "rdf_first_minimum", "N_i", "volume"), statuses=(_NO_MINIMUM, MISSING)),
        Quantity("rdf_second_peak", "r_max2", "position of the second peak of g(r)", "m",
                 derive=_lazy("structure", "second_peak"),
                 formula=r"r_\mathrm{max2} = \operatorname{arg\,max}_{r > r_\mathrm{min}} \bar g_{ij}(r) \quad "
                         r"\text{(the second peak)}",
                 inputs=("rdf.dat", "rdf_first_minimum"), statuses=(_NO_PEAK,)),
        Quantity("rdf_second_minimum", "r_min2", "position of the second minimum of g(r)", "m",
                 derive=_lazy("structure", "second_minimum"),
                 formula=r"r_\mathrm{min2} = \operatorname{arg\,min}_{r > r_\mathrm{max2}} \bar g_{ij}(r)",
                 inputs=("rdf.dat", "rdf_second_peak"), statuses=(_NO_PEAK, _NO_MINIMUM)),
        Quantity("coordination_number_second", "n₂", "coordination number of the second shell", "1",
                 derive=_lazy("structure", "coordination_second"), reduced=False,
                 reference="n₂ = 4π ρ_j ∫_r_min^r_min2 g_ij r² dr",
                 formula=r"n_{2,ij} = 4 \pi \rho_j \int_{r_\mathrm{min}}^{r_\mathrm{min2}} g_{ij}(r) \, r^2 \, dr",
                 inputs=("rdf.dat", "rdf_first_minimum", "rdf_second_minimum", "N_i", "volume"),
                 statuses=(_NO_MINIMUM, MISSING)),
        Quantity("kirkwood_buff", "G", "Kirkwood-Buff integral", "m^3", derive=_lazy("structure", "kirkwood_buff_estimates"),
                 reference="Krüger et al., J. Phys. Chem. Lett. 4, 235 (2013), up to half the box edge, of the "
                           "finite-size corrected g(r) (Ganguly and van der Vegt, J. Chem. Theory Comput. 9, 1347 "
                           "(2013))",
                 formula=r"G_{ij}(L) = \int_0^L 4 \pi r^2 \big(g_{ij}(r) - 1\big) \, w(r/L) \, dr, \quad "
                         r"w(x) = 1 - \tfrac{3}{2} x + \tfrac{1}{2} x^3"
                         "\n\n"
                         r"L \, G_{ij}(L) = L \, G_{ij}^{\infty} + \alpha \quad \text{fitted for } "
                         r"\tfrac{1}{2} L_\mathrm{max} \le L \le L_\mathrm{max} = \tfrac{1}{2} V^{1/3}",
                 inputs=("rdf.dat", "volume", "N_i"), statuses=(MISSING, _KB_SHORT, _KB_UNCONVERGED)),
        Quantity("excess_coordination", "N_ex", "excess coordination number ρ_j G_ij (j around i)", "1",
                 derive=_lazy("structure", "excess_coordination"), reduced=False,
                 reference="Ben-Naim, Molecular Theory of Solutions (2006)",
                 formula=r"N_{\mathrm{ex},ij} = \rho_j G_{ij}^{\infty}, \qquad \rho_j = N_j / V",
                 inputs=("kirkwood_buff", "N_i", "volume"), passes_on=("kirkwood_buff",), statuses=(MISSING,)),
        Quantity("thermodynamic_factor", "Γ", "thermodynamic factor", "1",
                 derive=_lazy("mixture_thermodynamics", "thermodynamic_factor_estimates"), reduced=False,
                 reference="Γ = 1/(1 + ρ x₁ x₂ (G₁₁ + G₂₂ − 2G₁₂)); a salt's ions as one component after "
                           "Weerasinghe and Smith, J. Chem. Phys. 118, 10663 (2003)",
                 formula=r"\Gamma = \frac{1}{1 + \rho x_1 x_2 (G_{11} + G_{22} - 2 G_{12})}, \qquad "
                         r"G_{AB} = \sum_{a \in A} \sum_{b \in B} \frac{N_a}{N_A} \frac{N_b}{N_B} G_{ab}^{\infty}",
                 inputs=("kirkwood_buff", "N_i", "volume"), passes_on=("kirkwood_buff",),
                 statuses=(NOT_BINARY, MISSING, _UNPHYSICAL_GAMMA,
                           ("not converged", "Γ moves by more than 10 % of itself between the fit ranges of "
                            "L·G(L): the integrals behind it have not converged"))),
        Quantity("thermodynamic_factor_range", "δΓ_L", "half the spread of Γ over fit ranges of L·G(L)", "1",
                 derive=_lazy("mixture_thermodynamics", "thermodynamic_factor_range"), reduced=False,
                 formula=r"\delta\Gamma_L = \tfrac{1}{2} \big( \max_k \Gamma_k - \min_k \Gamma_k \big) "
                         r"\quad \text{over the nine fit ranges } k \text{ of } L \, G(L)",
                 inputs=("kirkwood_buff", "N_i", "volume"), passes_on=("kirkwood_buff",),
                 statuses=(NOT_BINARY, MISSING, ("unphysical", "Γ over one of the fit ranges is not finite"))),
        Quantity("partial_molar_volume", "V̄", "partial molar volume (a salt's per mole of ions)", "m^3/mol",
                 derive=_lazy("mixture_thermodynamics", "partial_molar_volume"),
                 reference="Ben-Naim, Molecular Theory of Solutions (2006), from the Kirkwood-Buff integrals",
                 formula=r"\bar V_1 = N_A \frac{1 + \rho_2 (G_{22} - G_{12})}{\eta}, \quad "
                         r"\bar V_2 = N_A \frac{1 + \rho_1 (G_{11} - G_{12})}{\eta}, \quad "
                         r"\eta = \rho_1 + \rho_2 + \rho_1 \rho_2 (G_{11} + G_{22} - 2 G_{12})",
                 inputs=("kirkwood_buff", "N_i", "volume"), passes_on=("kirkwood_buff",),
                 statuses=(MISSING, ("unphysical", "the integrals give η = 0 or a volume that is not finite"))),
    ]
    mixtures = [
        Quantity("maxwell_stefan", "Đ", "Maxwell-Stefan diffusivity", "m^2/s", derive=_lazy("mixtures", "maxwell_stefan"),
                 pooled=_pooled("mixtures", "pooled_pair"),
                 reference=_KB_VD + "; a pair of species, or the two components (a salt's ions together)",
                 formula=r"Đ_{12} = \frac{x_2}{x_1} \Lambda_{11} + \frac{x_1}{x_2} \Lambda_{22} - 2 \Lambda_{12} "
                         r"\quad \text{(two species or components)}"
                         "\n\n"
                         r"\Delta_{ij} = (1 - x_i) \Big( \frac{\Lambda_{ij}}{x_j} - \frac{\Lambda_{in}}{x_n} \Big) "
                         r"- x_i \sum_{k \neq i} \Big( \frac{\Lambda_{kj}}{x_j} - \frac{\Lambda_{kn}}{x_n} \Big), "
                         r"\quad B = \Delta^{-1}"
                         "\n\n"
                         r"B_{ii} = \frac{x_i}{Đ_{in}} + \sum_{j \neq i} \frac{x_j}{Đ_{ij}}, \qquad "
                         r"B_{ij} = -x_i \Big( \frac{1}{Đ_{ij}} - \frac{1}{Đ_{in}} \Big) "
                         r"\quad (n \ge 3 \text{ species})",
                 inputs=("onsager", "N_i"),
                 statuses=(MISSING, ("singular", "the Onsager matrix gives a singular Δ: no diffusivities follow"))),
        Quantity("darken", "Đ_D", "Darken's diffusivity x₂D₁ + x₁D₂", "m^2/s", derive=_lazy("mixtures", "darken"),
                 pooled=_pooled("mixtures", "pooled_darken"),
                 reference="Darken's relation from the self-diffusion coefficients, for comparison with Đ",
                 formula=r"Đ_\mathrm{D} = x_2 D_1 + x_1 D_2", inputs=("self_diffusion", "N_i"), statuses=(MISSING,)),
        Quantity("maxwell_stefan_infinite", "Đ∞", "Maxwell-Stefan diffusivity, finite-size corrected", "m^2/s",
                 derive=_lazy("mixtures", "maxwell_stefan_infinite"), pooled=_pooled("mixtures", "pooled_infinite"),
                 reference=_JAMALI,
                 formula=r"Đ_{\infty} = Đ + \frac{\xi k_B T}{6 \pi \eta L \, \Gamma}, \qquad L = V^{1/3}, "
                         r"\quad \xi = 2.837297",
                 inputs=("maxwell_stefan", "thermodynamic_factor", "temperature", "volume", "viscosity"),
                 statuses=(NOT_BINARY, MISSING)),
        Quantity("fick", "D_F", "Fick diffusivity Γ Đ", "m^2/s", derive=_lazy("mixtures", "fick"),
                 pooled=_pooled("mixtures", "pooled_fick"), reference=_KB_VD,
                 formula=r"D_\mathrm{F} = \Gamma \, Đ", inputs=("maxwell_stefan", "thermodynamic_factor"),
                 statuses=(NOT_BINARY, MISSING)),
        Quantity("fick_infinite", "D_F∞", "Fick diffusivity Γ Đ∞, finite-size corrected", "m^2/s",
                 derive=_lazy("mixtures", "fick_infinite"), pooled=_pooled("mixtures", "pooled_fick"),
                 reference=_JAMALI,
                 formula=r"D_{\mathrm{F}\infty} = \Gamma \, Đ_{\infty}",
                 inputs=("maxwell_stefan_infinite", "thermodynamic_factor", "temperature", "volume", "viscosity"),
                 statuses=(NOT_BINARY, MISSING)),
        Quantity("viscosity_component", "η_αβ", "shear viscosity from one stress component", "Pa s",
                 derive=_lazy("mixtures", "viscosity_components"),
                 curve_label=(r"$V \langle (\int P_{\alpha\beta}\, dt)^2 \rangle / 2 k_B T$", r"Pa$\cdot$s$^2$"),
                 reference="Helfand moment of each pressure-tensor component of viscosity.dat",
                 formula=r"\eta_{\alpha\beta} = \lim_{t \to \infty} \frac{V}{2 k_B T} \frac{d}{dt} \Big\langle \Big( "
                         r"\int_0^t P_{\alpha\beta}(t') \, dt' \Big)^2 \Big\rangle \quad \text{for each column "
                         r"MSD\_}\alpha\beta",
                 inputs=("viscosity.dat", "T"), statuses=FITTED),
        Quantity("bulk_viscosity", "η_B", "bulk viscosity", "Pa s", derive=_lazy("mixtures", "bulk_viscosity"),
                 curve_label=(r"$V \langle (\int \delta P\, dt)^2 \rangle / 2 k_B T$", r"Pa$\cdot$s$^2$"),
                 reference="Helfand moment of the pressure fluctuation",
                 formula=r"\eta_B = \lim_{t \to \infty} \frac{V}{2 k_B T} \frac{d}{dt} \Big\langle \Big( \int_0^t "
                         r"\delta P(t') \, dt' \Big)^2 \Big\rangle, \qquad \delta P = P - \langle P \rangle",
                 inputs=("viscosity.dat (MSD_bulkvisc)", "T"), statuses=FITTED),
        Quantity("transference_number", "t", "transference number (barycentric frame)", "1",
                 derive=_lazy("mixtures", "transference_number"), pooled=_pooled("mixtures", "pooled_transference"),
                 reduced=False, reference="t_i = q_i Σ_j q_j Λ_ij / Σ_kj q_k q_j Λ_kj",
                 formula=r"t_i = \frac{q_i \sum_j q_j \Lambda_{ij}}{\sum_{k,j} q_k q_j \Lambda_{kj}}",
                 inputs=("onsager", "charges"), statuses=(MISSING,)),
        Quantity("ionicity", "σ/σ_NE", "ionicity", "1", derive=_lazy("mixtures", "ionicity"),
                 pooled=_pooled("mixtures", "pooled_ratio"), reduced=False,
                 formula=r"\sigma / \sigma_\mathrm{NE}", inputs=("conductivity", "conductivity_nernst_einstein"),
                 passes_on=("conductivity", "conductivity_nernst_einstein")),
        Quantity("haven_ratio", "H", "Haven ratio σ_NE/σ", "1", derive=_lazy("mixtures", "haven_ratio"),
                 pooled=_pooled("mixtures", "pooled_ratio"), reduced=False,
                 formula=r"H = \sigma_\mathrm{NE} / \sigma", inputs=("conductivity_nernst_einstein", "conductivity"),
                 passes_on=("conductivity_nernst_einstein", "conductivity")),
    ]
    experiment = [
        Quantity("density", "ρ", "density", "kg/m^3", derive=_lazy("experiment", "simulated_density"),
                 reference="mean of the equilibrated part of density.dat (Chodera 2016)",
                 formula=r"\rho = \frac{1}{N - t_0} \sum_{t \ge t_0} \rho(t), " + _EQUILIBRATED,
                 inputs=("density.dat",),
                 statuses=(("not numbers", "density.dat holds no series to average: no rows, or values that "
                            "are not numbers"), ("unphysical", "the mean density is not positive"))),
        Quantity("density_error", "δρ_s", "standard error of the density from its statistical inefficiency",
                 "kg/m^3", derive=_lazy("experiment", "simulated_density_error"),
                 formula=r"\delta\rho_s = \sqrt{g \, \sigma_\rho^2 / (N - t_0)}, \qquad "
                         r"g = 1 + 2 \sum_t \Big(1 - \frac{t}{N}\Big) C(t)",
                 inputs=("density.dat",),
                 statuses=(("too few points", "too few equilibrated samples for an error"),)),
        Quantity("density_experiment", "ρ_exp", "experimental density (Laliberte)", "kg/m^3",
                 derive=_lazy("experiment", "density_experiment"), reduced=False,
                 reference="Laliberte and Cooper, J. Chem. Eng. Data 49, 1141 (2004)",
                 formula=r"\rho_\mathrm{exp} = \Big( \frac{w_w}{\rho_w(T)} + \frac{w_s}{\rho_{\mathrm{app},s}(T, w_s)} "
                         r"\Big)^{-1}",
                 inputs=_LALIBERTE, statuses=(MISSING, OUTSIDE_RANGE)),
        Quantity("density_deviation", "δρ", "relative deviation of the density from experiment", "1",
                 derive=_lazy("experiment", "density_deviation"), pooled=_pooled("experiment", "pooled_deviation"),
                 reduced=False,
                 formula=r"\delta\rho = \frac{\rho - \rho_\mathrm{exp}}{\rho_\mathrm{exp}}",
                 inputs=("density", "density_experiment"), passes_on=("density", "density_experiment")),
        Quantity("viscosity_experiment", "η_exp", "experimental viscosity (Laliberte)", "Pa s",
                 derive=_lazy("experiment", "viscosity_experiment"), reduced=False,
                 reference="Laliberte, J. Chem. Eng. Data 52, 321 (2007)",
                 formula=r"\ln \eta_\mathrm{exp} = w_w \ln \eta_w(T) + w_s \ln \eta_s(T, w_s)",
                 inputs=_LALIBERTE, statuses=(MISSING, OUTSIDE_RANGE)),
        Quantity("viscosity_deviation", "δη", "relative deviation of the viscosity from experiment", "1",
                 derive=_lazy("experiment", "viscosity_deviation"), pooled=_pooled("experiment", "pooled_deviation"),
                 reduced=False,
                 formula=r"\delta\eta = \frac{\eta - \eta_\mathrm{exp}}{\eta_\mathrm{exp}}",
                 inputs=("viscosity", "viscosity_experiment"), passes_on=("viscosity", "viscosity_experiment")),
        Quantity("conductivity_experiment", "σ_exp", "experimental electrical conductivity", "S/m",
                 derive=_lazy("experiment", "conductivity_experiment"), reduced=False,
                 reference="KOH: Gilliam et al., Int. J. Hydrogen Energy 32, 359 (2007); other salts: a segmented "
                           "molar-conductivity model",
                 formula=r"\sigma_\mathrm{exp} = \Lambda(c) \, c \quad \text{(a segmented molar-conductivity "
                         r"model of the molarity } c\text{; KOH: Gilliam's correlation of } c \text{ or } w_s, T)",
                 inputs=(*_LALIBERTE, "--conductivity-model"), statuses=(MISSING, OUTSIDE_RANGE)),
        Quantity("conductivity_deviation", "δσ", "relative deviation of the conductivity from experiment", "1",
                 derive=_lazy("experiment", "conductivity_deviation"),
                 pooled=_pooled("experiment", "pooled_deviation"), reduced=False,
                 formula=r"\delta\sigma = \frac{\sigma - \sigma_\mathrm{exp}}{\sigma_\mathrm{exp}}",
                 inputs=("conductivity", "conductivity_experiment"),
                 passes_on=("conductivity", "conductivity_experiment")),
        Quantity("proton_hop_time", "τ", "mean time between proton hops", "s",
                 derive=_lazy("experiment", "proton_hop_time"), pooled=_pooled("experiment", "pooled_hop_time"),
                 reduced=False, reference="τ = e² δ² N / (6 k_B T L³ (σ_exp − σ_md))",
                 formula=r"\tau = \frac{e^2 \delta^2 N}{6 k_B T L^3 (\sigma_\mathrm{exp} - \sigma_\mathrm{md})}",
                 inputs=_HOPPING, statuses=(MISSING, OUTSIDE_RANGE, _NO_DEFICIT)),
        Quantity("proton_hop_diffusion", "D_hop", "diffusion by proton hopping", "m^2/s",
                 derive=_lazy("experiment", "proton_hop_diffusion"),
                 pooled=_pooled("experiment", "pooled_hop_diffusion"), reduced=False,
                 reference="D_hop = δ² / (6τ)",
                 formula=r"D_\mathrm{hop} = \frac{\delta^2}{6 \tau}", inputs=_HOPPING,
                 statuses=(MISSING, OUTSIDE_RANGE, _NO_DEFICIT)),
        Quantity("self_diffusion_hop_corrected", "D+D_hop", "self-diffusion with proton hopping", "m^2/s",
                 derive=_lazy("experiment", "self_diffusion_hop_corrected"),
                 pooled=_pooled("experiment", "pooled_corrected"), reduced=False,
                 formula=r"D + D_\mathrm{hop}", inputs=("self_diffusion", *_HOPPING),
                 passes_on=("self_diffusion",), statuses=(MISSING, OUTSIDE_RANGE, _NO_DEFICIT)),
    ]
    thermodynamics = [
        Quantity("thermo_mean", "⟨x⟩", "equilibrated mean of a thermodynamic column", "SI by column",
                 derive=_lazy("thermo_averages", "thermo_mean"),
                 reference="Chodera, J. Chem. Theory Comput. 12, 1799 (2016)",
                 formula=r"\langle x \rangle = \frac{1}{N - t_0} \sum_{t \ge t_0} x(t), " + _EQUILIBRATED,
                 inputs=("nvt_prod.dat",),
                 statuses=(("not numbers", "the column holds no series to average: values that are not numbers"),)),
        Quantity("thermo_mean_error", "δ⟨x⟩", "its standard error from the statistical inefficiency", "SI by column",
                 derive=_lazy("thermo_averages", "thermo_mean_error"),
                 formula=r"\delta\langle x \rangle = \sqrt{g \, \sigma_x^2 / (N - t_0)}", inputs=("nvt_prod.dat",),
                 statuses=(("not numbers", "the column holds no series to average: values that are not numbers"),
                           ("too few points", "a single sample has no error"))),
        Quantity("mean_angle", "θ", "mean bond angle", "deg", derive=_lazy("thermo_averages", "mean_angle"),
                 reduced=False,
                 formula=r"\bar\theta = \frac{\sum_k \theta_k n_k}{\sum_k n_k}", inputs=("npt_prod_angle.dat",),
                 statuses=(MISSING, ("too few points", "the histogram is empty"))),
    ]
    for record in (*structure, *mixtures, *experiment, *thermodynamics):
        register(record)
