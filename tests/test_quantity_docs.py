"""What each quantity's documentation page is made of: a formula, inputs and statuses that match the code."""
import ast
import pathlib
import re

import pytest

import quor_pp
from quor_pp.analysis import quantities, statuses

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "src" / "quor_pp"
NAMES = [q.name for q in quantities.quantities()]
# The modules that word the statuses for the documentation: a status counts as real only
# when the code that computes a value gives it.
_WORDING = {"statuses.py", "quantity_records.py", "quantities.py"}


@pytest.mark.parametrize("name", NAMES)
def test_every_quantity_has_a_formula_its_inputs_and_its_statuses(name):
    found = quantities.quantity(name)
    assert found.formula.strip() and found.inputs
    assert statuses.documented(name), "no status documented, neither its own nor passed on"
    assert set(found.passes_on) <= set(found.inputs), "a status is passed on from an input it does not name"
    # A formula that MathJax can set: braces balanced, \left and \right paired.
    depth = 0
    for character in re.sub(r"\\[{}]", "", found.formula):
        depth += {"{": 1, "}": -1}.get(character, 0)
        assert depth >= 0, found.formula
    assert depth == 0 and found.formula.count(r"\left") == found.formula.count(r"\right")
    for status, why in found.statuses:
        assert status != "ok" and why.strip()


def _literals():
    """Every string constant of the package's code, outside the modules that only word the statuses."""
    found = set()
    for path in SOURCE.rglob("*.py"):
        if path.name not in _WORDING:
            tree = ast.parse(path.read_text(encoding="utf-8"))
            found |= {node.value for node in ast.walk(tree) if isinstance(node, ast.Constant)
                      and isinstance(node.value, str)}
    return found


def test_every_documented_status_is_one_the_package_gives():
    given = _literals()
    documented = {status for q in quantities.quantities() for status, _ in q.statuses}
    documented |= {status for status, _ in statuses.ROW_STATUSES}
    assert sorted(documented - given) == []


@pytest.fixture(scope="module")
def sample_reports():
    from quor_pp.analysis.settings import AnalysisSettings
    from quor_pp.datasets import SAMPLE_CHARGES, sample_run

    # The KOH run as the README analyses it: against experiment, with proton hopping.
    koh = AnalysisSettings(charges={"K": 1.0, "OH": -1.0}, salt="KOH", molality=6.0, hopping_ion="OH")
    return [quor_pp.analyze(sample_run(), charges=SAMPLE_CHARGES),
            quor_pp.analyze(str(ROOT / "examples" / "data" / "mixture")),
            quor_pp.analyze(str(ROOT / "examples" / "data" / "koh"), koh)]


def test_the_statuses_of_the_sample_runs_are_documented_for_their_quantity(sample_reports):
    rows = {status for status, _ in statuses.ROW_STATUSES}
    seen = set()
    for report in sample_reports:
        for row in report.rows:
            allowed = set(statuses.documented(row.quantity)) | rows | {"ok"}
            assert row.status in allowed, (row.quantity, row.species, row.status, row.message)
            seen.add(row.status)
        for replica in report.replicas:
            for estimate in replica.estimates:
                assert estimate.status in set(statuses.documented(estimate.quantity)) | {"ok"}, estimate
                seen.add(estimate.status)
    assert seen > {"ok"}, "the samples gave no status but ok: the check checked nothing"


def test_a_status_passed_on_names_the_input_it_comes_from():
    haven = statuses.documented("haven_ratio")
    assert haven["no window"][1] == "conductivity" and haven["missing"][1] in ("conductivity_nernst_einstein",
                                                                               "conductivity")
    assert statuses.documented("fick_infinite")["not binary"][1] == ""
