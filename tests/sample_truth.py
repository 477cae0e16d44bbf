"""What the generator of the sample run put into it: the values the analysis must recover."""
import json
import pathlib

RUN = pathlib.Path(__file__).parents[1] / "examples" / "data" / "run"
TRUTH = json.loads((RUN / "truth.json").read_text())
ERRORS = TRUTH["standard_error"]

# (quantity, species, true value in SI, the generator's standard error of the mean over replicas)
KNOWN = [
    *[("self_diffusion", s, TRUTH["self_diffusion_m2_s"][s], ERRORS["self_diffusion_m2_s"][s])
      for s in ("wat", "Na", "Cl")],
    *[("self_diffusion_infinite", s, TRUTH["self_diffusion_infinite_m2_s"][s],
       ERRORS["self_diffusion_infinite_m2_s"][s]) for s in ("wat", "Na", "Cl")],
    ("viscosity", "", TRUTH["viscosity_Pa_s"], ERRORS["viscosity_Pa_s"]),
    ("thermal_conductivity", "", TRUTH["thermal_conductivity_W_mK"], ERRORS["thermal_conductivity_W_mK"]),
    # Independent ions: the conductivity and its Nernst-Einstein estimate share one true value.
    ("conductivity", "", TRUTH["conductivity_S_m"], ERRORS["conductivity_S_m"]),
    ("conductivity_nernst_einstein", "", TRUTH["conductivity_S_m"], ERRORS["conductivity_S_m"]),
]
