"""The whole `quor-pp` parser, every subcommand registered, for the command reference page.

The page renders help texts as reStructuredText: the descriptions, laid out by hand for
the terminal, become literal blocks, and the option helps, with their defaults as
`--help` shows them, have the characters that mean markup there escaped.
"""

import argparse
import importlib
import re
import textwrap

from quor_pp import cli
from quor_pp.cli.commands.common import HelpFormatter

_MARKUP = re.compile(r"([\\*|`_])")


def _escaped(text: str) -> str:
    return _MARKUP.sub(r"\\\1", text)


def _literal(text: str) -> str:
    return "::\n\n" + textwrap.indent(text.rstrip(), "    ") + "\n"


def parser() -> argparse.ArgumentParser:
    """`quor-pp` with every subcommand in full (the command itself registers only the one it runs)."""
    whole = argparse.ArgumentParser(prog="quor-pp", formatter_class=HelpFormatter,
                                    description="Post-processing of molecular-dynamics runs of aqueous electrolytes.")
    subparsers = whole.add_subparsers(dest="command", metavar="COMMAND")
    for name in cli.COMMANDS:
        importlib.import_module(f"quor_pp.cli.commands.{name}").register(subparsers)
    for sub in subparsers.choices.values():
        if sub.description:
            sub.description = _literal(sub.description)
        if sub.epilog:
            sub.epilog = _literal(sub.epilog)
        formatter = HelpFormatter("quor-pp")
        for action in sub._actions:
            if action.help and action.help is not argparse.SUPPRESS:
                # The help as the terminal shows it, its default as a user types it; the page
                # then prints no default of its own (it would print Python's repr); "%%" because
                # the page formats the help with the action's fields once more.
                action.help = _escaped(formatter._expand_help(action)).replace("%", "%%")
                action.default = argparse.SUPPRESS
    for action in subparsers._choices_actions:
        if action.help:
            action.help = _escaped(action.help)
    return whole
