"""`quor-pp read`: what one output file holds: its kind, columns, row count and first rows."""

from __future__ import annotations

import argparse
import math
import sys
import warnings
from ...reading.layouts import LAYOUTS
from .common import Column, CommandError, HelpFormatter, print_table

TYPE_CHECKING = False  # typing is not imported at run time: `read --help` starts without it
if TYPE_CHECKING:
    from typing import Any

    from ...reading.files import Table
    from ...reading.logs import RunLog

DEFAULT_ROWS = 5

DESCRIPTION = """\
Tells what one output file of a run holds, as quor-pp reads it: the kind of file
(its layout, recognised from the content), its columns, the number of rows and
the first rows. For a LAMMPS log: the unit style, the atom count of every group,
and a summary of the thermodynamic output of its last run, if it has one.

Kinds: """ + ", ".join(LAYOUTS) + """.

examples:
  quor-pp read run/replica_1/diffself.dat
  quor-pp read run/replica_1/log.lammps
  quor-pp read density.dat --rows 0
"""


def register(subparsers: Any) -> None:
    """Add the `read` subcommand to the `quor-pp` parser."""
    parser = subparsers.add_parser("read", help="what is in one output file: kind, columns, rows",
                                   description=DESCRIPTION, formatter_class=HelpFormatter)
    parser.add_argument("file", metavar="FILE", help="an output file of a run, or a LAMMPS log")
    parser.add_argument("-n", "--rows", type=_rows, default=DEFAULT_ROWS, metavar="N",
                        help="how many of the first rows to show (0: none)")
    parser.add_argument("--kind", choices=list(LAYOUTS),
                        help="read the file as this kind, instead of recognising it (a mismatch is an error)")
    parser.set_defaults(run=run, parser=parser)


def _rows(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a count of rows (0 or more)")
    return value


def run(args: argparse.Namespace) -> int:
    """Run `quor-pp read` with parsed arguments; return the exit status."""
    from ...reading.errors import FormatError
    from ...reading.files import read  # NumPy and the native reader, only once there is a file to read
    from ...reading.logs import RunLog

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            data = read(args.file, kind=args.kind)
        except FormatError as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"{error.filename or args.file}: {error.strerror or error}") from None
        except ValueError as error:  # a path the system cannot take
            raise CommandError(str(error)) from None
    for warning in caught:
        print(f"{args.parser.prog}: warning: {warning.message}", file=sys.stderr)
    if not isinstance(data, RunLog):
        _warn_not_numbers(args.parser.prog, data)
    if isinstance(data, RunLog):
        _print_log(data)
    else:
        _print_table(data, args.rows)
    return 0


def _warn_not_numbers(prog: str, table: Table) -> None:
    """Say which rows hold NaN or an infinity: in a run's output, the mark of a simulation that blew up."""
    import numpy as np

    if not len(table) or not table.row_count:
        return
    bad = np.flatnonzero(~np.logical_and.reduce([np.isfinite(column) for column in table.values()]))
    if len(bad):
        rows = ", ".join(str(int(k) + 1) for k in bad[:5]) + (", ..." if len(bad) > 5 else "")
        print(f"{prog}: warning: {table.path}: {len(bad)} of {table.row_count} rows hold values that are not "
              f"numbers (rows {rows}); an analysis gives the curves with them no value", file=sys.stderr)


def _number(value: float) -> str:
    return format(value, ".12g")


def _print_table(table: Table, rows: int) -> None:
    shown = min(rows, table.row_count)
    print(f"file     {table.path}")
    print(f"kind     {table.kind}: {LAYOUTS[table.kind]}")
    print(f"rows     {table.row_count}")
    print(f"columns  {len(table)}: {', '.join(table)}")
    if shown == 0:
        return
    columns = [Column(name, name) for name in table]
    cells = [[_number(float(table[name][k])) for name in table] for k in range(shown)]
    sys.stdout.write("\n")
    print_table(columns, cells, title=f"first {shown} of {table.row_count} rows")


def _print_log(log: RunLog) -> None:
    print(f"file     {log.path}")
    print(f"kind     log: {LAYOUTS['log']}")
    print(f"units    {log.units if log.units is not None else '(no units line)'}")
    print(f"groups   {len(log.groups)}{': ' + ', '.join(log.groups) if log.groups else ''}")
    if log.groups:
        sys.stdout.write("\n")
        print_table([Column("group", "group", left=True), Column("atoms", "atoms")],
                    [[name, str(count)] for name, count in log.groups.items()], title="groups")
    if log.read_data:
        print(f"data     {', '.join(log.read_data)}")
    runs = log.thermo
    if not runs:
        print("thermo   (no thermodynamic output)")
        return
    last = runs[-1]
    sizes = ", ".join(str(run.row_count) for run in runs)
    print(f"thermo   {len(runs)} run{'s' if len(runs) != 1 else ''} ({sizes} rows); the last one:")
    columns = [Column("column", "column", left=True), Column("first", "first"), Column("last", "last"),
               Column("mean", "mean"), Column("min", "min"), Column("max", "max")]
    cells = []
    for name, column in last.items():
        values = column.tolist()
        cells.append([name, _number(values[0]), _number(values[-1]), _number(math.fsum(values) / len(values)),
                      _number(min(values)), _number(max(values))])
    sys.stdout.write("\n")
    print_table(columns, cells, title=f"thermodynamic output of the last run, {last.row_count} rows")
