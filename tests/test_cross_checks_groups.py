"""Molecule counts against the log: groups in command order, replicate and appended data files, printed counts."""

import pytest

from cross_check_runs import analyze_quietly, each_replica, edit_lines, sample_copy
from quor_pp.reading.group_replay import replay_groups
from quor_pp.reading.log_scan import scan_setup
from quor_pp.reading.molecules import read_data_file

CHARGES = {"Na": 1, "Cl": -1}


@pytest.fixture(scope="module")
def untouched(tmp_path_factory):
    return analyze_quietly(sample_copy(tmp_path_factory.mktemp("sample"), replicas=2), charges=CHARGES)


def _log_setup(lines, groups):
    """The sample log with its group commands replaced by `groups` (commands and printed counts)."""
    head = [line for line in lines if not line.startswith(("group", "  using")) and " atoms in group " not in line]
    at = head.index(next(line for line in head if line.startswith("velocity")))
    return head[:at] + groups + head[at:]


def _set_log(run, groups, after_read=()):
    def change(lines):
        lines = _log_setup(lines, groups)
        at = lines.index("  3036 velocities") + 1
        return lines[:at] + list(after_read) + lines[at:]

    for replica in each_replica(run):
        edit_lines(replica / "log.lammps", change)


SPECIES = ["group wat type 1", "{wat} atoms in group wat", "group Na type 3", "{Na} atoms in group Na",
           "group Cl type 4", "{Cl} atoms in group Cl"]


def _species(wat=1000, Na=18, Cl=18):
    return [line.format(wat=wat, Na=Na, Cl=Cl) for line in SPECIES]


@pytest.mark.parametrize("after_read, factor", [
    (["replicate 2 2 2", "Replication is creating a 2x2x2 = 8 times larger system...",
      "  orthogonal box = (0 0 0) to (62.53 62.53 62.53)", "  24288 atoms"], 8),
    (["read_data nacl.data add append", "Reading data file ...", "  reading atoms ...", "  3036 atoms"], 2),
    (["read_data nacl.data add append group extra", "  3036 atoms", "replicate 1 1 2", "  12144 atoms"], 4),
])
def test_counts_follow_replicate_and_appended_data_files(tmp_path, untouched, after_read, factor):
    # LAMMPS prints the counts of the larger box; D is the slope over that many molecules.
    run = sample_copy(tmp_path, replicas=2)
    _set_log(run, _species(1000 * factor, 18 * factor, 18 * factor), after_read)
    report = analyze_quietly(run, charges=CHARGES)
    for species in ("wat", "Na", "Cl"):
        row = report.row("self_diffusion", species)
        assert row.status == "ok", row.message
        assert row.value == pytest.approx(untouched.row("self_diffusion", species).value / factor, rel=1e-12)


@pytest.mark.parametrize("printed, words", [
    (_species(wat=8000), ["1000", "8000", "wat"]),
    (_species(Na=36), ["18", "36", "Na"]),
])
def test_a_count_the_log_disagrees_with_is_a_status_naming_both(tmp_path, printed, words):
    run = sample_copy(tmp_path, replicas=1)
    _set_log(run, printed)
    report = analyze_quietly(run)
    species = words[2]
    row = report.row("self_diffusion", species)
    assert row.value is None and row.status == "missing"
    assert all(word in row.message for word in words)
    others = [s for s in ("wat", "Na", "Cl") if s != species]
    assert all(report.row("self_diffusion", s).status == "ok" for s in others)


def test_a_data_file_that_is_not_the_one_the_log_read_counts_nothing(tmp_path):
    run = sample_copy(tmp_path, replicas=1)
    edit_lines(each_replica(run)[0] / "log.lammps",
               lambda lines: [line.replace("  3036 atoms", "  3072 atoms") for line in lines])
    report = analyze_quietly(run)
    row = report.row("self_diffusion", "Na")
    assert row.value is None and "3072" in row.message and "3036" in row.message


def test_groups_are_fixed_when_their_command_runs(tmp_path, untouched):
    # x is type 1 when wat is made of it; adding type 3 to x afterwards leaves wat as it was.
    run = sample_copy(tmp_path, replicas=2)
    _set_log(run, ["group x type 1", "1000 atoms in group x", "group wat union x", "1000 atoms in group wat",
                   "group x type 3", "1018 atoms in group x", *_species()[2:]])
    report = analyze_quietly(run, charges=CHARGES)
    assert report.row("self_diffusion", "wat").value == untouched.row("self_diffusion", "wat").value


@pytest.mark.parametrize("groups", [
    ["group Na id 3001:3018", "18 atoms in group Na", "group Cl molecule 1019:1036:1", "18 atoms in group Cl",
     "group wat type 1", "1000 atoms in group wat"],
    ["group Na id 3001:3017:2 3002:3018:2", "18 atoms in group Na", "group Cl type 4", "18 atoms in group Cl",
     "group wat type 1", "1000 atoms in group wat"],
    # a region group the data file cannot evaluate spoils no other count
    ["region half block 0 15 INF INF INF INF", "group left region half", "1517 atoms in group left",
     *_species(), "group ions union Na Cl", "36 atoms in group ions"],
])
def test_id_sequences_and_unrelated_region_groups(tmp_path, untouched, groups):
    run = sample_copy(tmp_path, replicas=2)
    _set_log(run, groups)
    report = analyze_quietly(run, charges=CHARGES)
    for species in ("wat", "Na", "Cl"):
        assert report.row("self_diffusion", species).value == untouched.row("self_diffusion", species).value


def test_atoms_deleted_after_the_data_file_leave_the_counts_missing(tmp_path):
    run = sample_copy(tmp_path, replicas=1)
    _set_log(run, _species(Na=17), ["delete_atoms group Na", "Deleted 1 atoms, new total = 3035"])
    # 'delete_atoms group X' must name an existing group: put it after the groups instead.
    edit_lines(each_replica(run)[0] / "log.lammps",
               lambda lines: [line for line in lines if not line.startswith(("delete_atoms", "Deleted"))][:-2]
               + ["delete_atoms porosity 0.1 4928", *lines[-2:]])
    report = analyze_quietly(run)
    row = report.row("self_diffusion", "Na")
    assert row.value is None and "delete_atoms" in row.message


def test_atoms_deleted_by_group_are_followed(tmp_path, untouched):
    # Half the Na deleted after the groups: D of Na is the slope over 9 molecules, not 18.
    run = sample_copy(tmp_path, replicas=2)
    _set_log(run, [*_species(), "group gone id 3001:3009", "9 atoms in group gone", "delete_atoms group gone",
                   "Deleted 9 atoms, new total = 3027"])
    report = analyze_quietly(run, charges=CHARGES, settings=_trusting())
    assert report.row("self_diffusion", "Na").value == pytest.approx(
        2 * untouched.row("self_diffusion", "Na").value, rel=1e-12)
    assert report.row("self_diffusion", "wat").value == untouched.row("self_diffusion", "wat").value


def _trusting():
    from quor_pp.analysis.settings import AnalysisSettings

    return AnalysisSettings(trust_charges=True)  # 9 Na and 18 Cl are not neutral: not the point here


WATER_AND_IONS = """handmade: two waters, a free ion pair and an ion in molecule 7

7 atoms
3 atom types

Atoms # full

1 1 1 -0.8 0 0 0
2 1 2 0.4 0 0 0
3 1 2 0.4 0 0 0
4 2 1 -0.8 1 1 1
5 0 3 1.0 2 2 2
6 0 3 1.0 3 3 3
7 7 3 -1.0 4 4 4
"""


def _replay(tmp_path, text, log):
    path = tmp_path / "system.data"
    path.write_text(text)
    setup = scan_setup("LAMMPS (2 Aug 2023)\n" + log)
    return replay_groups(setup.events, lambda name, style: read_data_file(path, style))


def test_log_commands_continue_over_ampersand_lines(tmp_path):
    replay = _replay(tmp_path, WATER_AND_IONS, "read_data system.data\ngroup ions type &\n  3\n"
                                               "3 atoms in group ions\ngroup wat &\n type 1 2\n")
    assert replay.groups["ions"].atoms == 3 and replay.groups["wat"].atoms == 4
    assert replay.groups["ions"].why == ""


def test_a_read_data_timing_line_is_no_data_file():
    setup = scan_setup("LAMMPS (29 Aug 2024)\nread_data a.data\n  read_data CPU = 0.003 seconds\n")
    assert [words for words in setup.events if words[0] == "read_data"] == [("read_data", "a.data")]
