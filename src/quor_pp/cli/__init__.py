"""The `quor-pp` command: parses the command line and runs one subcommand under one error policy.

The top floor: it may import every layer of the package, and none imports it.

Each subcommand lives in its own module ``quor_pp.cli.commands.<name>`` with a
``register(subparsers)`` function that adds its parser and sets ``run`` (called
with the parsed arguments, returning the exit status). Only the
module of the subcommand being run is imported: ``quor-pp --help`` and a mistyped
command start without NumPy, the extension or rich. Adding a subcommand is adding
its module and a line to `COMMANDS`.

Exit status: 0 on success; 1 with a one-line message on standard error for an
expected failure (a `CommandError`: bad data, a missing file or package, standard
output closed or full; a `ClusterError`: the Dask scheduler lost); 2 for usage
errors (an `OutputPathError` among them: an output aimed at an input, or two
outputs at one file); 128 + the signal's number when stopped by SIGINT (130),
SIGTERM (143) or SIGHUP (129); a subcommand may document more. Anything else is a
bug and keeps its traceback.
"""

from __future__ import annotations

import argparse
import errno
import importlib
import io
import os
import sys

from .. import __version__
from .commands.common import CommandError, HelpFormatter, UsageError

# `--help`, `--version` and usage errors end in the parser: the modules that only a
# running command needs (workers, outputs, typing) are imported after it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Final

#: Every subcommand, with the one line `quor-pp --help` shows for it.
COMMANDS: Final = {
    "analyze": "transport coefficients of a run over its replicas, with plots of the fits",
    "sweep": "every state point of a tree of runs as one table, with plots against molality and T",
    "read": "what one output file holds: its kind, columns and first rows",
    "properties": "density, viscosity and conductivity of a salt solution (Laliberte)",
    "example": "copy the sample run shipped with quor-pp into a directory, to try the commands on",
}


def _chosen(argv: Sequence[str]) -> str | None:
    """The subcommand named on the command line, if any (the first word that is not an option)."""
    for word in argv:
        if not word.startswith("-"):
            return word if word in COMMANDS else None
    return None


def build_parser(argv: Sequence[str] = ()) -> argparse.ArgumentParser:
    """The parser of `quor-pp`: the subcommand named in `argv` in full, the others by name and summary."""
    parser = argparse.ArgumentParser(
        prog="quor-pp", formatter_class=HelpFormatter,
        description="Post-processing of molecular-dynamics runs of aqueous electrolytes.",
        epilog="Run 'quor-pp COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    chosen = _chosen(argv)
    for name, summary in COMMANDS.items():
        if name == chosen:
            importlib.import_module(f"{__package__}.commands.{name}").register(subparsers)
            subparsers.choices[name].set_defaults(parser=subparsers.choices[name])
        else:
            subparsers.add_parser(name, help=summary, add_help=False, formatter_class=HelpFormatter)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run `quor-pp` with `argv` (default: the process's arguments) and return its exit status."""
    words = list(sys.argv[1:] if argv is None else argv)
    closed = sys.stdout is None
    if closed:
        sys.stdout = _ClosedOutput()
    try:
        args = build_parser(words).parse_args(words)
        parser: argparse.ArgumentParser = args.parser
        from ..core.outputs import OutputPathError
        from ..workflow.workers import ClusterError, stop_on_signals

        # SIGTERM and SIGHUP (from a batch system, a closed terminal) end the command
        # as Ctrl-C does: worker processes stopped, temporary files removed.
        with stop_on_signals():
            try:
                status: int = args.run(args)
                sys.stdout.flush()
                return status
            except (UsageError, OutputPathError) as error:
                parser.error(str(error))  # prints the usage line and the message, exits 2
            except (CommandError, ClusterError) as error:
                print(f"{parser.prog}: {error}", file=sys.stderr)
                return 1
            except BrokenPipeError:
                # The reader of standard output went away (`quor-pp ... | head`): stop quietly,
                # and keep the interpreter from complaining when it flushes at exit.
                _discard_output()
                return 0
            except OSError as error:
                if not _output_failed(error):
                    raise
                # Standard output is closed or its disk is full: one line, and nothing
                # left in the buffer for the interpreter to fail on at exit.
                print(f"{parser.prog}: cannot write to standard output: {error.strerror or error}",
                      file=sys.stderr)
                _discard_output()
                return 1
    except KeyboardInterrupt as stop:
        import signal

        from ..workflow.workers import Interrupted, exit_status

        return exit_status(stop.signum if isinstance(stop, Interrupted) else signal.SIGINT)
    finally:
        if closed:
            sys.stdout = None


# What writing to a closed, full or failing standard output raises.
_OUTPUT_ERRORS: Final = frozenset({errno.EBADF, errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO})


class _ClosedOutput(io.TextIOBase):
    """Standard output when the process has none: writing to it is an error, as on a closed descriptor."""

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))


def _output_failed(error: OSError) -> bool:
    """Whether `error`, which no command turned into a message, came from writing standard output.

    Errors about files name them; a stream's write error names nothing.
    """
    if isinstance(sys.stdout, _ClosedOutput):
        return True
    if error.filename is None and error.errno in _OUTPUT_ERRORS:
        return True
    try:
        sys.stdout.flush()
    except OSError:
        return True
    return False


def _discard_output() -> None:
    import contextlib

    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


if __name__ == "__main__":
    sys.exit(main())
