"""What people look at: figures of fits, structure and sweeps, and the self-contained HTML pages.

Holds `plots`, `structure_plots`, `figure_style` (what every figure shares) and
`html` (`write_report`, `write_sweep_report`). Draws what the analysis computed.
May import: `quor_pp.workflow` and every layer below it; never the command.
"""
