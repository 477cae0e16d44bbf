"""Molecule counts of groups from a LAMMPS data file: three-site waters and one-site ions."""
import gzip
import random

import pytest

from quor_pp.reading.errors import FormatError
from quor_pp.reading.molecules import NoMoleculeIdError, count_groups, count_molecules, read_data_file, scan_commands

WATERS, SODIUM, CHLORIDE = 5, 2, 3


def atoms():
    """(atom ID, molecule ID, type, charge): waters O (type 1) H H (type 2), then Na (3), then Cl (4)."""
    rows = []
    for w in range(WATERS):
        rows += [(3 * w + 1, w + 1, 1, -0.8476), (3 * w + 2, w + 1, 2, 0.4238), (3 * w + 3, w + 1, 2, 0.4238)]
    for k in range(SODIUM + CHLORIDE):
        rows.append((3 * WATERS + k + 1, WATERS + k + 1, 3 if k < SODIUM else 4, 1.0 if k < SODIUM else -1.0))
    return rows


def data_text(style="full", comment=True, count=None, labels=False):
    rows = atoms()
    random.Random(4).shuffle(rows)  # read_data takes atoms in any order
    lines = ["LAMMPS data file: made for a test", "", f"{count or len(rows)} atoms", f"{WATERS * 2} bonds",
             "4 atom types", "1 bond types", "", "0.0 20.0 xlo xhi", "0 20 ylo yhi", "0.0 20.0 zlo zhi", "",
             "Masses", "", "1 15.9994", "2 1.008 # H", "3 22.99", "4 35.45", ""]
    if labels:
        lines += ["Atom Type Labels", "", "1 OW", "2 HW", "3 Na", "4 Cl", ""]
    lines += ["Atoms" + (f"  # {style}" if comment else ""), ""]
    for n, (atom, molecule, kind, charge) in enumerate(rows):
        image = " 0 0 1" if n % 2 else ""
        fields = {"full": f"{atom} {molecule} {kind} {charge}", "molecular": f"{atom} {molecule} {kind}",
                  "atomic": f"{atom} {kind}", "charge": f"{atom} {kind} {charge}",
                  "template": f"{atom} {kind} {molecule} 1 1"}[style]
        lines.append(f"{fields} 1.0 2.0 3.0{image}")
    lines += ["", "Velocities", "", *[f"{atom} 0 0 0" for atom, *_ in rows], "", "Bonds", ""]
    lines += [f"{2 * w + b + 1} 1 {3 * w + 1} {3 * w + 2 + b}" for w in range(WATERS) for b in range(2)]
    return "\n".join(lines) + "\n"


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "system.data"
    path.write_text(data_text())
    return path


@pytest.mark.parametrize("commands, expected_atoms, expected_molecules", [
    (["type 1 2"], 3 * WATERS, WATERS),
    ([["type", "1*2"]], 3 * WATERS, WATERS),
    (["type 1", "type 2"], 3 * WATERS, WATERS),  # a group defined again adds to itself
    (["type <> 3 4"], SODIUM + CHLORIDE, SODIUM + CHLORIDE),
    (["type >= 4"], CHLORIDE, CHLORIDE),
    (["type 2"], 2 * WATERS, WATERS),  # the hydrogens alone still span every water
    (["molecule <> 1 5"], 3 * WATERS, WATERS),
    (["molecule 6*"], SODIUM + CHLORIDE, SODIUM + CHLORIDE),
    (["molecule *2 9"], 7, 3),
    (["id 1*9"], 9, 3),
    (["id <= 4"], 4, 2),
    (["id 16 17"], SODIUM, SODIUM),
    (["id != 1"], 3 * WATERS + SODIUM + CHLORIDE - 1, WATERS + SODIUM + CHLORIDE),
    (["empty"], 0, 0),
])
def test_group_styles(data_file, commands, expected_atoms, expected_molecules):
    counts = count_groups(data_file, {"g": commands})
    assert (counts["g"].atoms, counts["g"].molecules) == (expected_atoms, expected_molecules)


def test_groups_built_from_groups(data_file):
    groups = {"wat": ["type 1 2"], "Na": ["type 3"], "Cl": ["type 4"], "ions": ["union Na Cl"],
              "solute": ["subtract all wat"], "none": ["intersect wat ions"], "OW": ["intersect wat ions", "type 1"]}
    counts = count_groups(data_file, groups)
    assert {name: (c.atoms, c.molecules) for name, c in counts.items()} == {
        "wat": (15, 5), "Na": (2, 2), "Cl": (3, 3), "ions": (5, 5), "solute": (5, 5), "none": (0, 0), "OW": (5, 5)}
    assert count_molecules(data_file, groups)["wat"] == WATERS


@pytest.mark.parametrize("style", ["full", "molecular", "template"])
def test_atom_styles_with_molecule_ids(tmp_path, style):
    path = tmp_path / "system.data"
    path.write_text(data_text(style))
    assert count_molecules(path, {"wat": ["type 1 2"], "Cl": ["type 4"]}) == {"wat": WATERS, "Cl": CHLORIDE}


@pytest.mark.parametrize("style", ["atomic", "charge"])
def test_styles_without_molecule_ids_count_atoms_only(tmp_path, style):
    path = tmp_path / "system.data"
    path.write_text(data_text(style))
    assert count_groups(path, {"wat": ["type 1 2"]})["wat"].to_dict() == {"atoms": 15, "molecules": None}
    with pytest.raises(NoMoleculeIdError, match="no molecule IDs"):
        count_molecules(path, {"wat": ["type 1 2"]})
    with pytest.raises(NoMoleculeIdError):
        count_groups(path, {"wat": ["molecule 1*5"]})


def test_data_file_contents_labels_and_gzip(tmp_path):
    path = tmp_path / "system.data.gz"
    path.write_bytes(gzip.compress(data_text(labels=True).encode()))
    data = read_data_file(path)
    assert data.atom_style == "full" and data.counts["atoms"] == 20 and data.counts["atom types"] == 4
    assert data.masses[2] == 1.008 and data.type_labels["Na"] == 3
    assert sorted(data.ids.tolist()) == list(range(1, 21)) and not data.molecules.flags.writeable
    assert count_molecules(data, {"wat": ["type OW HW"], "Na": ["type Na"]}) == {"wat": WATERS, "Na": SODIUM}


def test_style_given_when_the_file_names_none(tmp_path):
    path = tmp_path / "system.data"
    path.write_text(data_text(comment=False))
    with pytest.raises(FormatError, match="atom_style"):
        read_data_file(path)
    assert count_molecules(path, {"Na": ["type 3"]}, atom_style="full") == {"Na": SODIUM}


@pytest.mark.parametrize("text, match", [
    (data_text(count=21), "header says 21"),
    ("title\n\n20 atoms\n\nMasses\n\n1 1.0\n", "no Atoms section"),
    ("title\n\nAtoms # full\n\n1 1 1 0 0 0 0\n", "no 'N atoms'"),
    (data_text().replace("Atoms  # full", "Atoms  # bogus"), "atom style 'bogus'"),
    (data_text().replace("\n1 1 1 -0.8476", "\n1 x 1 -0.8476"), "style full"),
    ("title\n\n1 atoms\n\nAtoms # full\n\n1 1\n", "line 7"),
    ("title\n\n1 atoms\n\nAtoms # full\n\n1 1 1 0 0 0 0\n\nNonsense\n", "Nonsense"),
])
def test_malformed_data_files(tmp_path, text, match):
    path = tmp_path / "bad.data"
    path.write_text(text)
    with pytest.raises(FormatError, match=match):
        read_data_file(path)


@pytest.mark.parametrize("groups, match", [
    ({"ions": ["union Na Cl"]}, "not defined"),
    ({"wat": ["region box"]}, "'region' cannot be counted"),
    ({"wat": ["type water"]}, "not a number"),
    ({"wat": ["type <> 1"]}, "expected 2"),
    ({"wat": ["type"]}, "no values"),
    ({"wat": [""]}, "empty command"),
])
def test_bad_groups(data_file, groups, match):
    with pytest.raises(ValueError, match=match):
        count_groups(data_file, groups)


def test_groups_from_the_commands_a_log_echoes(data_file):
    log = ["LAMMPS (29 Aug 2024)", "units real", "atom_style full", f"read_data {data_file.name}",
           "Reading data file ...", "  20 atoms", "group tmp type 1", "5 atoms in group tmp", "group tmp delete",
           "group wat type 1 2 # water", "15 atoms in group wat", "group ions type 3", "group ions clear",
           "group ions type 3 4", "group Na type 3", "group all_ions union ions Na"]
    setup = scan_commands(log)
    assert setup.data_files == (data_file.name,) and setup.atom_style == "full"
    assert list(setup.groups) == ["wat", "ions", "Na", "all_ions"]
    counts = count_groups(data_file.parent / setup.data_files[0], setup.groups, setup.atom_style)
    assert {name: c.atoms for name, c in counts.items()} == {"wat": 15, "ions": 5, "Na": 2, "all_ions": 5}


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        count_molecules(tmp_path / "absent.data", {"wat": ["type 1"]})


def test_docstring_examples_run():
    import doctest

    import quor_pp.reading.molecules

    assert doctest.testmod(quor_pp.reading.molecules).failed == 0
