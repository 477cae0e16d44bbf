"""What the command and the package import before they do any work, and the help layout that keeps it so."""

import argparse
import os
import shutil
import subprocess
import sys

import pytest

import quor_pp
from quor_pp import cli
from quor_pp.cli.commands import common

from sample_truth import RUN

# Nothing of these is needed to print help or to refuse a command line: the numerical
# stack, the terminal and plotting libraries, and the standard modules that the
# package imports only where they are used.
HEAVY = ("numpy", "_quor_pp", "quor_pp._native", "rich", "matplotlib", "pandas", "distributed")
DEFERRED = ("typing", "dataclasses", "inspect", "json", "csv", "decimal", "tempfile", "shutil", "_colorize",
            "quor_pp.workflow.workers", "quor_pp.core.outputs", "quor_pp.analysis.settings", "quor_pp.analysis.results")


def imported_by(code: str, *, env: dict[str, str] | None = None) -> tuple[set[str], str]:
    """The modules a fresh interpreter holds after running `code` (stdout and stderr not a terminal)."""
    script = code + "\nimport sys\nprint('\\n' + ' '.join(sorted(sys.modules)))"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            env={**os.environ, **(env or {})})
    assert result.returncode == 0, result.stderr
    return set(result.stdout.splitlines()[-1].split()), result.stdout + result.stderr


def command(words: list[str]) -> str:
    """Code that runs `quor-pp WORDS` in this process and prints its exit status."""
    return (f"from quor_pp.cli import main\ntry:\n    status = main({words!r})\nexcept SystemExit as end:\n"
            "    status = end.code\nprint('status', status)")


@pytest.mark.parametrize("words, status", [
    (["--help"], 0),
    (["--version"], 0),
    ([], 2),
    (["analyse"], 2),
    (["analyze", "--help"], 0),
    (["sweep", "--help"], 0),
    (["example", "--help"], 0),
    (["properties", "--help"], 0),
    (["read", "--help"], 0),
    (["read"], 2),
    (["properties", "NaCl", "--kelvin"], 2),
    (["analyze"], 2),
    (["analyze", str(RUN), "--margin", "x"], 2),
    (["analyze", str(RUN), "-j", "0"], 2),
    (["sweep", str(RUN), "--bogus"], 2),
])
def test_help_and_usage_errors_import_only_the_parser(words, status):
    modules, output = imported_by(command(words))
    assert f"status {status}" in output
    assert not modules & {*HEAVY, *DEFERRED}, sorted(modules & {*HEAVY, *DEFERRED})
    package = {name for name in modules if name.split(".")[0] == "quor_pp"}
    assert package <= {"quor_pp", "quor_pp._version", "quor_pp.cli", "quor_pp.cli.commands", "quor_pp.cli.commands.common",
                       "quor_pp.cli.commands.options", "quor_pp.reading", "quor_pp.reading.layouts",
                       *(f"quor_pp.cli.commands.{word}" for word in cli.COMMANDS)}


def test_import_quor_pp_loads_no_module_until_a_name_is_used():
    modules, _ = imported_by("import quor_pp")
    assert {name for name in modules if name.startswith("quor_pp")} <= {"quor_pp", "quor_pp._version"}
    assert not modules & {*HEAVY, "typing", "dataclasses"}


@pytest.mark.parametrize("name", quor_pp.__all__)
def test_every_public_name_resolves_and_is_listed(name):
    value = getattr(quor_pp, name)
    assert name in dir(quor_pp)
    if name != "__version__":
        assert value.__module__.startswith("quor_pp.")


def test_an_unknown_name_is_an_attribute_error_and_a_submodule_is_the_module():
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        quor_pp.nothing  # noqa: B018
    assert quor_pp.parallel.__name__ == "quor_pp.workflow.parallel"


@pytest.mark.parametrize("environment", [
    {},
    {"COLUMNS": "52"},
    {"COLUMNS": "163"},
    {"COLUMNS": "0"},
    {"COLUMNS": "wide"},
    {"FORCE_COLOR": "1"},
    {"PYTHON_COLORS": "1", "COLUMNS": "70"},
    {"PYTHON_COLORS": "0", "FORCE_COLOR": "1"},
    {"NO_COLOR": "1", "FORCE_COLOR": "1"},
])
@pytest.mark.parametrize("words", [[], ["analyze"], ["sweep"]])
def test_help_reads_as_argparse_lays_it_out(monkeypatch, environment, words):
    """The formatter's own width and colour choice give what argparse's would, byte for byte."""
    for name in ("COLUMNS", "FORCE_COLOR", "PYTHON_COLORS", "NO_COLOR", "TERM"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)

    class Reference(common.HelpFormatter):
        __init__ = argparse.HelpFormatter.__init__
        _set_color = argparse.HelpFormatter._set_color

    parser = cli.build_parser(words)
    if words:
        parser = parser.parse_args([*words, str(RUN)]).parser
    ours = (parser.format_help(), parser.format_usage())
    parser.formatter_class = Reference
    assert ours == (parser.format_help(), parser.format_usage())


@pytest.mark.parametrize("columns", [None, "", "0", "-5", "x", "1", "33", "240"])
def test_terminal_width_is_the_one_shutil_finds(monkeypatch, columns):
    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    assert common._terminal_columns() == shutil.get_terminal_size().columns
