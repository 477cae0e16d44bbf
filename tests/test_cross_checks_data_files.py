"""Data files written by hand: molecule counts and charges as LAMMPS would give them, and files that must be refused."""

import gzip
import json
import os
import subprocess
import sys
import zlib

import pytest

from quor_pp.reading.errors import FormatError
from quor_pp.reading.group_replay import replay_groups
from quor_pp.reading.log_scan import scan_setup
from quor_pp.reading.molecules import count_groups, molecule_charges, read_data_file, scan_commands

# Two waters (molecules 1, 2), two free Na (molecule ID 0) and a Cl in molecule 7.
FULL = """handmade: two waters, two free Na and a Cl

7 atoms
3 atom types

Atoms # full

1 1 1 -0.8 0 0 0
2 1 2 0.4 0 0 0
3 1 2 0.4 0 0 0
4 2 1 -0.8 1 1 1
5 2 2 0.4 1 1 1
6 2 2 0.4 1 1 1
7 0 3 1.0 2 2 2
8 0 3 1.0 3 3 3
9 7 4 -1.0 4 4 4
""".replace("7 atoms", "9 atoms").replace("3 atom types", "4 atom types")

MOLECULAR = """handmade: molecule IDs without charges

4 atoms
2 atom types

Atoms # molecular

1 1 1 0 0 0
2 1 2 0 0 0
3 2 1 0 0 0
4 2 2 0 0 0
"""


@pytest.fixture
def full(tmp_path):
    path = tmp_path / "full.data"
    path.write_text(FULL)
    return read_data_file(path)


@pytest.mark.parametrize("groups, molecules, atoms", [
    ({"wat": ["type 1 2"]}, 2, 6),
    ({"Na": ["type 3"]}, 2, 2),  # two atoms in no molecule: two molecules, as LAMMPS' count of ions
    ({"ions": ["type 3 4"]}, 3, 3),
    ({"all_but_water": ["id 7:9"]}, 3, 3),
    ({"odd": ["id 1:9:2"]}, 4, 5),  # atoms 1 3 5 7 9: molecules 1 and 2, a free Na, molecule 7
    ({"half": ["molecule 1"], "wat": ["union half"]}, 1, 3),
])
def test_molecule_counts_of_hand_written_files(full, groups, molecules, atoms):
    name = list(groups)[-1]
    count = count_groups(full, groups)[name]
    assert (count.molecules, count.atoms) == (molecules, atoms)


def test_charges_of_molecules(full):
    charges = molecule_charges(full, {"wat": ["type 1 2"], "Cl": ["type 4"], "ions": ["type 3 4"],
                                      "O": ["type 1"]})
    # A group whose molecules differ in charge (ions) gives none; a group selecting part of
    # a molecule (O) gives the whole molecule's charge.
    assert charges == {"wat": 0.0, "Cl": -1.0, "O": 0.0}


def test_molecule_ids_without_charges_give_no_charges(tmp_path):
    path = tmp_path / "molecular.data"
    path.write_text(MOLECULAR)
    data = read_data_file(path)
    assert data.charges is None
    assert molecule_charges(data, {"all2": ["type 1 2"]}) == {}
    replay = replay_groups(scan_setup("LAMMPS (x)\nread_data m.data\ngroup m type 1 2\n4 atoms in group m\n").events,
                           lambda name, style: data)
    assert replay.groups["m"].charge is None and replay.groups["m"].molecules == 2


@pytest.mark.parametrize("log, group, charge", [
    ("group Na type 3\n2 atoms in group Na\n", "Na", 1.0),  # atoms in no molecule carry their own charge
    ("group ions type 3 4\n3 atoms in group ions\n", "ions", None),
    ("set type 3 charge 2.0\ngroup Na type 3\n2 atoms in group Na\n", "Na", 2.0),  # the input's set wins
    ("group wat type 1\n2 atoms in group wat\n", "wat", 0.0),
])
def test_replayed_charges(full, log, group, charge):
    replay = replay_groups(scan_setup("LAMMPS (x)\nread_data full.data\n" + log).events, lambda name, style: full)
    assert replay.groups[group].charge == charge
    assert replay.groups[group].why == ""


@pytest.mark.parametrize("lines, groups", [
    (["group wat type &", "  1 2", "group Na type 3"], {"wat": [["type", "1", "2"]], "Na": [["type", "3"]]}),
    (["group wat &", "  type &", "1 # oxygens", "read_data a.data"], {"wat": [["type", "1"]]}),
])
def test_input_lines_continue_after_ampersand(lines, groups):
    assert scan_commands(lines).groups == groups


def _cut(path):
    data = gzip.compress(FULL.encode())
    path.write_bytes(data[:len(data) // 2])


def _huge_id(path):
    path.write_text(FULL.replace("9 7 4 -1.0", "9 99999999999999999999 4 -1.0"))


def _bom(path):
    path.write_bytes(b"\xef\xbb\xbf" + FULL.encode())


@pytest.mark.parametrize("write, words", [
    (_cut, "ends early"),
    (_huge_id, "line 16"),
])
def test_bad_data_files_are_refused_naming_the_file(tmp_path, write, words):
    path = tmp_path / "bad.data.gz"
    write(path)
    with pytest.raises(FormatError, match=words) as caught:
        read_data_file(path)
    assert str(path) in str(caught.value)


def test_a_byte_order_mark_is_passed_over(tmp_path):
    path = tmp_path / "bom.data"
    _bom(path)
    assert len(read_data_file(path).ids) == 9


_CHILD = """
import json, resource, sys
from quor_pp.reading.molecules import read_data_file
try:
    read_data_file(sys.argv[1])
    outcome = "read"
except ValueError as error:
    outcome = type(error).__name__ + ": " + str(error)
print(json.dumps([outcome, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss]))
"""


def _bomb(path, filler, size):
    """A gzip data file whose Atoms section inflates to `size` bytes of `filler`, written a piece at a time."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    piece = filler * ((1 << 22) // len(filler))
    with open(path, "wb") as stream:
        stream.write(packer.compress(b"bomb\n\n3 atoms\n1 atom types\n\nAtoms # full\n\n"))
        for _ in range(size // len(piece)):
            stream.write(packer.compress(piece))
        stream.write(packer.flush())


# Under AddressSanitizer (the sanitizer job) a process reserves terabytes of shadow memory:
# an address-space cap cannot be set, and its resident memory is not the reader's.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="memory is not measurable under ASan")
@pytest.mark.parametrize("filler, size, words", [
    (b"\0", 1 << 30, "a line of more than"),
    (b"1 1 1 0.0 0 0 0\n", 1 << 28, "line 11"),
])
def test_a_compressed_bomb_is_refused_in_little_memory(tmp_path, filler, size, words):
    path = tmp_path / "bomb.data.gz"
    _bomb(path, filler, size)
    assert path.stat().st_size < (1 << 22)
    done = subprocess.run([sys.executable, "-c", _CHILD, str(path)], capture_output=True, text=True, timeout=300)
    outcome, peak_kib = json.loads(done.stdout)
    assert outcome.startswith("FormatError") and words in outcome
    assert peak_kib < 300 * 1024


def test_clear_starts_the_replay_again(tmp_path, full):
    small = tmp_path / "small.data"
    small.write_text(MOLECULAR)
    files = {"small.data": read_data_file(small), "full.data": full}
    log = ("LAMMPS (x)\nread_data small.data\ngroup a type 1\n2 atoms in group a\nclear\n"
           "read_data full.data\n  9 atoms\ngroup a type 3\n2 atoms in group a\n")
    replay = replay_groups(scan_setup(log).events, lambda name, style: files[name])
    assert replay.groups["a"].atoms == 2 and replay.groups["a"].why == ""
    assert [path.endswith("full.data") for path in replay.data_files] == [True]
