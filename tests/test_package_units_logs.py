"""Unit conversions to SI, and group counts and unit style from LAMMPS logs."""
import pytest

import _quor_pp
import quor_pp
import quor_pp.analysis.quantities

LOG_HEAD = "LAMMPS (2 Aug 2023 - Update 3)\n  using 1 OpenMP thread(s) per MPI task\n"


# Conversion figures as published for the LAMMPS unit styles, to half a unit of their last digit.
@pytest.mark.parametrize("style, quantity, figure, rel", [
    ("real", "diffusion", 1e-5, 1e-12),  # A^2/fs -> m^2/s
    ("metal", "diffusion", 1e-8, 1e-12),  # A^2/ps -> m^2/s
    ("real", "viscosity", 1.01325e-10, 1e-12),  # atm fs -> Pa s
    ("metal", "viscosity", 1e-7, 1e-12),  # bar ps -> Pa s
    ("real", "thermal_conductivity", 6.9477e4, 1e-5),  # kcal/mol/(A fs K) -> W/(m K)
    ("metal", "thermal_conductivity", 1602.18, 5e-6),  # eV/(A ps K) -> W/(m K)
    ("real", "volume", 1e-30, 1e-12),
    ("si", "thermal_conductivity", 1.0, 0.0),
])
def test_conversion_factors_match_the_published_figures(style, quantity, figure, rel):
    assert getattr(quor_pp.unit_system(style), quantity) == pytest.approx(figure, rel=rel)


def test_reduced_units_stay_reduced():
    lj = quor_pp.unit_system("lj")
    assert (lj.diffusion, lj.viscosity, lj.boltzmann, lj.elementary_charge) == (1.0, 1.0, 1.0, 1.0)
    quantity = quor_pp.analysis.quantities.quantity
    assert quantity("viscosity").unit_in(lj.reduced) == "reduced" and quantity("temperature").unit_in(lj.reduced) == "K"


@pytest.mark.parametrize("style", ["cgs", "electron", "REAL", ""])
def test_unknown_unit_style_is_value_error(style):
    with pytest.raises(ValueError, match="not supported"):
        quor_pp.unit_system(style)


# The same groups written as example inputs write them: tabs, aligned blanks, a comment.
@pytest.mark.parametrize("separator", [" ", "\t", "\t\t", "          ", " \t "])
def test_group_counts_whatever_the_whitespace(write_file, separator):
    text = LOG_HEAD + (
        f"group{separator}wat{separator}type 1\n1000 atoms in group wat\n"
        f"group{separator}Na{separator}type 3   # cations\n18 atoms in group Na\n"
        "set type 3 charge 1.0\n  120 settings made for type\n"
    )
    path = write_file(text)
    assert quor_pp.group_counts(path) == {"wat": 1000, "Na": 18}
    if separator == " ":  # the native reader agrees where it can find the group
        assert _quor_pp.read_group_count(path, "wat") == 1000


def test_the_native_reader_misses_what_group_counts_finds(write_file):
    path = write_file(LOG_HEAD + "group\twater\ttype 1\n  216 atoms in group water\n")
    with pytest.raises(ValueError):
        _quor_pp.read_group_count(path, "water")
    assert quor_pp.group_counts(path) == {"water": 216}


def test_a_group_defined_again_keeps_its_last_count(write_file):
    path = write_file(LOG_HEAD + "group a type 1\n10 atoms in group a\ngroup b type 2\n5 atoms in group b\n"
                      "group a type 1 2\n15 atoms in group a\n")
    assert quor_pp.group_counts(path) == {"b": 5, "a": 15}


@pytest.mark.parametrize("lines, units", [
    ("units\t\treal\n", "real"),
    ("units metal   # switched\n", "metal"),
    ("units lj\nunits real\n", "real"),
    ("thermo_style custom step temp\n", None),
    ("# units real in a comment\n", None),
])
def test_unit_style_from_the_echoed_command(write_file, lines, units):
    log = quor_pp.read_log(write_file(LOG_HEAD + lines))
    assert log.units == units
    assert quor_pp.read(log.path).units == units


@pytest.mark.parametrize("content", ["", "#Time MSD\n0 0\n", "units real\n10 atoms in group a\n"])
def test_a_file_that_is_not_a_log_is_format_error(write_file, content):
    with pytest.raises(quor_pp.FormatError):
        quor_pp.group_counts(write_file(content))
