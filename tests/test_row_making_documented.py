"""The documentation says, per quantity, whether a row is a mean of values or a function of mean inputs."""

import pathlib
import re

from quor_pp.analysis import quantities

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_readme_and_docs_name_exactly_the_pooled_quantities():
    pooled = {q.name for q in quantities.quantities() if q.pooled is not None}
    readme = ROOT.joinpath("README.md").read_text()
    listed = readme.split("**function of the inputs' means, with a jackknife error**", 1)[1].split("\n\n")[0]
    every = {q.name for q in quantities.quantities()}
    named = set(re.findall(r"`([a-z_]+)`", listed)) & every
    named |= {q for q in pooled if q.endswith("_deviation")} if "`*_deviation`" in listed else set()
    assert named == pooled
    docs = ROOT.joinpath("docs", "uncertainty.rst").read_text()
    assert all(f"``{name}``" in docs for name in pooled if not name.endswith("_deviation"))
