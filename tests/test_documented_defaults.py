"""What `--help` says of files and defaults is what the package does.

The command keeps its own copies of a few constants, so that `--help` starts without
importing NumPy; the docs write them from the package's own (docs/_ext/scale_out_facts.py).
A copy that drifted would have the help and the docs disagree.
"""

import pytest

from quor_pp import cli
from quor_pp.workflow.dask_engine import WORKER_TIMEOUT
from quor_pp.workflow.sweeps import STATE_FILE


def help_text(capsys, command):
    with pytest.raises(SystemExit) as stop:
        cli.main([command, "--help"])
    assert stop.value.code == 0
    return " ".join(capsys.readouterr().out.split())  # as one line: argparse wraps where it likes


@pytest.mark.parametrize("command, stated", [
    ("sweep", f"The state of a point comes from a {STATE_FILE} in its directory"),
    ("sweep", f"(default: from {STATE_FILE} files)"),
    ("analyze", f"for this long, at the start or during the run (default: {WORKER_TIMEOUT:g})"),
    ("sweep", f"for this long, at the start or during the run (default: {WORKER_TIMEOUT:g})"),
])
def test_help_states_the_packages_file_names_and_defaults(capsys, command, stated):
    assert stated in help_text(capsys, command)
