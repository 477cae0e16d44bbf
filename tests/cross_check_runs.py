"""Copies of the sample run with one input made wrong, for the cross-check tests."""

import json
import pathlib
import shutil
import warnings

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "run"
TRUTH = json.loads((SAMPLE / "truth.json").read_text())


def sample_copy(tmp_path, replicas=4):
    """A copy of the sample run with its first `replicas` replicas; the run directory."""
    run = tmp_path / "run"
    run.mkdir()
    for k in range(1, replicas + 1):
        shutil.copytree(SAMPLE / f"replica_{k}", run / f"replica_{k}")
    return run


def edit_lines(path, change):
    """Replace the lines of a text file with `change(lines)`."""
    path = pathlib.Path(path)
    lines = path.read_text().splitlines()
    path.write_text("\n".join(change(lines)) + "\n")


def edit_rows(path, change):
    """Apply `change(rows)` to the rows of numbers of a table (its '#' lines kept in front)."""

    def apply(lines):
        head = [line for line in lines if line.lstrip().startswith("#")]
        rows = [line for line in lines if line.strip() and not line.lstrip().startswith("#")]
        return head + change(rows)

    edit_lines(path, apply)


def drop_column(path, name):
    """Remove the column `name` (from the '#Time' header and every row) of a transport table."""

    def apply(lines):
        out, position = [], None
        for line in lines:
            if line.startswith("#Time"):
                names = line.lstrip("#").split()
                position = names.index(name)
                out.append("#" + "\t".join(n for n in names if n != name) + "\t")
            elif line.startswith("#") or position is None:
                out.append(line)
            else:
                fields = line.split()
                out.append(" " + "\t".join(f for k, f in enumerate(fields) if k != position))
        return out

    edit_lines(path, apply)


def rename_in_header(path, old, new):
    edit_lines(path, lambda lines: [line.replace(old, new) if line.startswith("#Time") else line for line in lines])


def analyze_quietly(run, **options):
    import quor_pp

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quor_pp.analyze(str(run), **options)


def each_replica(run):
    return sorted(pathlib.Path(run).glob("replica_*"))
