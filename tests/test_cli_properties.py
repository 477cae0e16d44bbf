"""The `quor-pp` command and its `properties` subcommand, run as a user runs them."""

import argparse
import csv
import io
import json
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("chemicals")

import quor_pp  # noqa: E402
from quor_pp import cli  # noqa: E402
from quor_pp.cli.commands.common import Column, number_list, print_table  # noqa: E402
import quor_pp.properties.laliberte_table
import quor_pp.properties.salts

ENTRY_POINT = pathlib.Path(sys.executable).with_name("quor-pp")


def quor_pp_command(*args, entry_point=False):
    command = [str(ENTRY_POINT)] if entry_point else [sys.executable, "-m", "quor_pp"]
    return subprocess.run([*command, *args], capture_output=True, text=True, timeout=120)


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def test_entry_point_installed_with_version_and_help():
    if not ENTRY_POINT.exists():
        pytest.skip("the package is not installed with its scripts next to this interpreter")
    version = quor_pp_command("--version", entry_point=True)
    assert (version.returncode, version.stdout.strip()) == (0, f"quor-pp {quor_pp.__version__}")
    help_text = quor_pp_command("--help", entry_point=True)
    assert help_text.returncode == 0 and "properties" in help_text.stdout


def test_properties_help_shows_defaults_and_list_syntax():
    result = quor_pp_command("properties", "--help")
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    for expected in ("default: 298.15 K", "default: 0,0.5,1,2,4", "START:STOP[:STEP]", "--celsius"):
        assert expected in text


def test_default_table_is_plain_text_with_units():
    result = quor_pp_command("properties", "NaCl")
    assert result.returncode == 0 and result.stderr == ""
    title, header, *rows = result.stdout.splitlines()
    assert title.startswith("# NaCl (Sodium Chloride")
    assert header.split() == ["T/K", "molality/(mol/kg)", "molarity/(mol/L)", "mass_fraction",
                              "density/(kg/m3)", "viscosity/(mPa", "s)", "outside_fit"]
    assert [row.split()[1] for row in rows] == ["0.0000", "0.5000", "1.0000", "2.0000", "4.0000"]
    # Pure water at 25 °C: 997.05 kg/m3 and 0.890 mPa s.
    assert rows[0].split()[4:6] == ["997.045", "0.8902"]


def test_table_temperatures_in_the_unit_given():
    result = quor_pp_command("properties", "NaCl", "--celsius", "-T", "-5,60", "-b", "1")
    assert result.returncode == 0
    header, *rows = result.stdout.splitlines()[1:]
    assert header.split()[0] == "t/degC" and [row.split()[0] for row in rows] == ["-5.00", "60.00"]
    assert rows[0].split()[-1] == "both" and rows[1].split()[-1] == "-"


def test_csv_matches_the_python_api():
    result = quor_pp_command("properties", "potassium hydroxide", "-T", "280:300:10", "-b", "1,3", "--csv", "-")
    assert result.returncode == 0, result.stderr
    rows = csv_rows(result.stdout)
    assert [(float(r["temperature_K"]), float(r["molality_mol_per_kg"])) for r in rows] == [
        (280.0, 1.0), (280.0, 3.0), (290.0, 1.0), (290.0, 3.0), (300.0, 1.0), (300.0, 3.0)]
    koh = quor_pp.salt("KOH")
    for row in rows:
        t, b = float(row["temperature_K"]), float(row["molality_mol_per_kg"])
        assert float(row["density_kg_per_m3"]) == koh.density(t, b)
        assert float(row["viscosity_Pa_s"]) == koh.viscosity(t, b)
        assert float(row["conductivity_S_per_m"]) == koh.conductivity(t, b)


def test_celsius_and_kelvin_give_the_same_rows():
    kelvin = quor_pp_command("properties", "NaCl", "-T", "298.15,323.15", "-c", "1", "--csv", "-")
    celsius = quor_pp_command("properties", "NaCl", "--celsius", "-T", "25,50", "-c", "1", "--csv", "-")
    assert kelvin.returncode == celsius.returncode == 0
    assert csv_rows(kelvin.stdout) == csv_rows(celsius.stdout)
    assert float(csv_rows(kelvin.stdout)[0]["molarity_mol_per_L"]) == pytest.approx(1.0, abs=1e-9)


def test_json_file_holds_salt_rows_and_warnings(tmp_path):
    path = tmp_path / "koh.json"
    result = quor_pp_command("properties", "1310-58-3", "--celsius", "-T", "25,60", "-b", "1", "--json", str(path))
    assert result.returncode == 0 and result.stdout.startswith("# KOH")
    data = json.loads(path.read_text())
    assert data["salt"]["formula"] == "KOH" and data["salt"]["viscosity_fit"]["temperature_range_K"] == [259.05, 313.15]
    assert [row["outside_viscosity_fit"] for row in data["rows"]] == [False, True]
    assert len(data["warnings"]) == 1 and "viscosity fit" in data["warnings"][0]
    # The same warning reaches standard error, once.
    assert result.stderr.count("warning:") == 1 and "viscosity fit" in result.stderr


def test_salt_without_viscosity_fit_gives_a_note_and_empty_viscosity():
    result = quor_pp_command("properties", "CaSO4", "-b", "0.005", "--csv", "-")
    assert result.returncode == 0
    assert csv_rows(result.stdout)[0]["viscosity_Pa_s"] == ""
    assert "no viscosity fit for CaSO4" in result.stderr


def test_list_shows_every_salt():
    result = quor_pp_command("properties", "--list")
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert len(lines) == 2 + len(quor_pp.properties.laliberte_table.laliberte_table())
    assert any(line.split()[0] == "NaCl" for line in lines[2:])


@pytest.mark.parametrize("args, status, message", [
    (["properties", "NaCll"], 1, "close matches: NaCl (Sodium Chloride)"),
    (["properties", "NaCl", "-T", "25"], 2, "for 25 °C give 298.15, or give --celsius"),
    (["properties", "NaCl", "--celsius", "-T", "-150"], 2, "below -100 °C"),
    (["properties", "NaCl", "-b", "1,,2"], 2, "argument -b/--molality: '1,,2' is not a list of numbers"),
    (["properties", "NaCl", "-T", "700"], 2, "above water's critical temperature, 647.096 K"),
    (["properties", "NaCl", "-b", "0:1e9:1e-3"], 2, "more than 10000 values"),
    (["properties", "NaCl", "-b", "1e308"], 1, "no finite result"),
    (["properties", "NaCl", "-c", "1e-20"], 1, "below the smallest the conversion resolves"),
    (["properties", "NaCl", "-b", "1", "-c", "1"], 2, "not allowed with argument"),
    (["properties", "NaCl", "-b", "-1"], 2, "is negative"),
    (["properties"], 2, "give a SALT"),
    (["properties", "NaCl", "--json", "-", "--csv", "-"], 2, "cannot both"),
    (["properties", "NaCl", "-c", "1e4"], 1, "reaches no molality"),
    (["properties", "NaCl", "--json", "/nonexistent/dir/out.json"], 1, "cannot write /nonexistent/dir/out.json"),
    (["frobnicate"], 2, "invalid choice"),
    ([], 2, "required: COMMAND"),
])
def test_failures_exit_with_one_line_and_no_traceback(args, status, message):
    result = quor_pp_command(*args)
    assert result.returncode == status
    last = result.stderr.strip().splitlines()[-1]
    assert message in last and "Traceback" not in result.stderr
    if status == 1:
        assert result.stderr.count("\n") == 1 + result.stderr.count("warning:")


def test_missing_chemicals_exits_1_with_the_install_hint(monkeypatch, capsys):
    import importlib.util
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *rest: None if name == "chemicals" else real(name, *rest))
    assert cli.main(["properties", "NaCl"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install 'quor-pp[properties]'" in err


def test_closed_pipe_ends_quietly():
    with subprocess.Popen([sys.executable, "-m", "quor_pp", "properties", "NaCl", "-b", "0:4:0.0005"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdout.readline()
        process.stdout.close()
        assert process.wait(timeout=120) == 0
        assert process.stderr.read() == b""


@pytest.mark.parametrize("text, values", [
    ("1", [1.0]),
    ("0.5,1,2", [0.5, 1.0, 2.0]),
    ("0:1:0.25", [0.0, 0.25, 0.5, 0.75, 1.0]),
    ("0:0.3:0.1", [0.0, 0.1, 0.2, 0.3]),  # decimal steps land on the written values, stop included
    ("1:3", [1.0, 2.0, 3.0]),
    ("280:300:15,373.15", [280.0, 295.0, 373.15]),
    ("-10:10:10", [-10.0, 0.0, 10.0]),
    (" 2 , 1e-3 ", [2.0, 0.001]),
])
def test_number_lists(text, values):
    assert number_list(text) == values


@pytest.mark.parametrize("text", ["", "1,,2", "a", "nan", "inf", "1e999", "1:0", "0:1:0", "0:1:-1", "1:2:3:4"])
def test_bad_number_lists(text):
    with pytest.raises(argparse.ArgumentTypeError):
        number_list(text)


def test_terminal_table_uses_unicode_units():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    stream = Terminal()
    print_table([Column("density/(kg/m3)", "ρ\n[kg/m³]")], [["1000.000"]], title="water", stream=stream)
    assert "[kg/m³]" in stream.getvalue() and "1000.000" in stream.getvalue()
    # Too wide for the terminal: plain text rather than cut numbers.
    stream = Terminal()
    print_table([Column(f"c{i}", f"c{i}") for i in range(12)], [["123456789"] * 12], stream=stream)
    assert stream.getvalue().splitlines()[1] == "  ".join(["123456789"] * 12)
