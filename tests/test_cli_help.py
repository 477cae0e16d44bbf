"""Every command's --help shows its defaults as a user types them, never as Python reprs."""
import re
import subprocess
import sys

import pytest

from quor_pp import cli
from quor_pp.cli.commands.common import as_typed


@pytest.mark.parametrize("command", [None, *cli.COMMANDS])
def test_help_shows_defaults_as_typed(command):
    result = subprocess.run([sys.executable, "-m", "quor_pp", *([command] if command else []), "--help"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    text = " ".join(result.stdout.split())
    defaults = re.findall(r"\(default:? ([^)]*)\)", text)
    assert command is None or defaults
    for shown in defaults:
        assert not re.match(r"[(\[{'\"]|None\b|\(\)", shown), shown
    assert not re.search(r"\('[^-]|\['|\bNone\b|\(default: \)", text)
    # A help text that says its default in words gets no second one.
    assert text.count("(default: png)") <= 1


@pytest.mark.parametrize("value, typed", [(("png",), "png"), (("png", "svg"), "png,svg"), (None, ""),
                                          (False, ""), (0.1, "0.1"), (60, "60"), (0.0, "0"), ("median", "median"),
                                          ({"Na": 1, "Cl": -1}, "Na=1,Cl=-1"), ([0.0, 0.5, 1.0], "0,0.5,1")])
def test_a_default_is_written_as_on_the_command_line(value, typed):
    assert as_typed(value) == typed
