"""Runs of many replicas: finding them, analysing them on any engine, combining them into a report, sweeps.

Holds `report` (`analyze`, `Report`, `Row`), `sweeps` (`sweep`, `SweepReport`),
`parallel` (threads, processes, Dask), `workers` (worker processes that end with the
command) and `report_html` (the notebook views of reports and sweeps).
May import: `quor_pp.analysis` and the layers below it; never the views or the command.
"""
