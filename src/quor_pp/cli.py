"""The `quor-pp` command: parses the command line and runs one subcommand under one error policy.

Each subcommand lives in its own module ``quor_pp.commands.<name>`` with a
``register(subparsers)`` function that adds its parser and sets ``run`` (called
with the parsed arguments, returning the exit status) and ``parser``. Adding a
subcommand is adding its module and its name to `COMMANDS`.

Exit status: 0 on success; 1 with a one-line message on standard error for an
expected failure (a `CommandError`: bad data, a missing file or package); 2 for
usage errors. Anything else is a bug and keeps its traceback.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence
from typing import Final

from . import __version__
from .commands.common import CommandError, HelpFormatter, UsageError

COMMANDS: Final = ("analyze", "sweep", "read", "properties")


def build_parser() -> argparse.ArgumentParser:
    """The parser of `quor-pp` with every subcommand of `COMMANDS` registered."""
    parser = argparse.ArgumentParser(
        prog="quor-pp", formatter_class=HelpFormatter,
        description="Post-processing of molecular-dynamics runs of aqueous electrolytes.",
        epilog="Run 'quor-pp COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in COMMANDS:
        importlib.import_module(f"{__package__}.commands.{name}").register(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run `quor-pp` with `argv` (default: the process's arguments) and return its exit status."""
    args = build_parser().parse_args(argv)
    parser: argparse.ArgumentParser = args.parser
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except UsageError as error:
        parser.error(str(error))  # prints the usage line and the message, exits 2
    except CommandError as error:
        print(f"{parser.prog}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (`quor-pp ... | head`): stop quietly,
        # and keep the interpreter from complaining when it flushes at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
