"""The science: window fits, the registry of quantities, one replica's transport coefficients, structure, mixtures.

Holds `fitting` (window fits of displacement curves), `registry`, `quantities` and
`quantity_records` (each quantity declared once), `transport` (one replica's
quantities, `analyze_replica`), `results` (estimates and failures), `settings`,
`statistics`, `structure` (shells and each pair's integral), `rdf_correction` (which
g(r) is measured in the box, and its correction), `kirkwood_buff` (the finite-volume
extrapolation), `mixture_thermodynamics` (Γ, partial molar volumes), `pairs` (one
order of species across replicas), `pair_structure` (the curves kept for figures),
`mixtures`, `experiment`, `thermo_averages` and `display` (symbols and units for people).
May import: `quor_pp.core`, `quor_pp.reading` and `quor_pp.properties`; never the
workflow, the views or the command.
"""
