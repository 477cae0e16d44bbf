"""`quor-pp example`: copy the sample run shipped with the package into a directory, to try the other commands on."""

from __future__ import annotations

import os
import shlex

from .common import CommandError, HelpFormatter

TYPE_CHECKING = False  # typing is not imported at run time: `example --help` starts without it
if TYPE_CHECKING:
    from typing import Any

DEFAULT_DIRECTORY = "quor-pp-sample"

DESCRIPTION = """\
Copies the sample run that comes with quor-pp (1 mol/kg NaCl in water, four
replicas of a LAMMPS run in real units) into DIR, which must not exist yet or
be empty, and prints the command that analyses it.

examples:
  quor-pp example
  quor-pp example /tmp/nacl && quor-pp analyze /tmp/nacl --charge Na=1,Cl=-1
"""


def register(subparsers: Any) -> None:
    """Add the `example` subcommand to the `quor-pp` parser."""
    parser = subparsers.add_parser("example", help="copy the sample run shipped with quor-pp into a directory",
                                   description=DESCRIPTION, formatter_class=HelpFormatter)
    parser.add_argument("directory", metavar="DIR", nargs="?", default=DEFAULT_DIRECTORY,
                        help="where the replicas go (default: %(default)s)")
    parser.add_argument("--path", action="store_true",
                        help="print where the installed sample run is, and copy nothing")
    parser.set_defaults(run=run, parser=parser)


def run(args: Any) -> int:
    """Run `quor-pp example` with parsed arguments; return the exit status."""
    from ...datasets import SAMPLE_CHARGES, copy_sample_run, sample_run

    try:
        if args.path:
            print(sample_run())
            return 0
        target = copy_sample_run(args.directory)
    except OSError as error:
        raise CommandError(str(error)) from None
    charges = ",".join(f"{ion}={charge:+d}".replace("+", "") for ion, charge in SAMPLE_CHARGES.items())
    replicas = sorted(name for name in os.listdir(target) if name.startswith("replica_"))
    print(f"copied the sample run ({len(replicas)} replicas) to {target}")
    print(f"next: quor-pp analyze {shlex.quote(target)} --charge {charges}")
    return 0
