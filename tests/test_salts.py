"""Salt table lookup and solution properties: references, units, ranges and bad input."""

import doctest
import importlib.util
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("chemicals")

import quor_pp  # noqa: E402
import quor_pp.properties.laliberte_table  # noqa: E402
import quor_pp.properties.salts  # noqa: E402
from quor_pp import RangeWarning, UnknownSaltError  # noqa: E402

NACL_CAS, KOH_CAS = "7647-14-5", "1310-58-3"


@pytest.fixture(autouse=True)
def range_warnings_are_errors():
    """A stray RangeWarning fails the test; tests that expect one say so."""
    with warnings.catch_warnings():
        warnings.simplefilter("error", RangeWarning)
        yield


# Lookup

@pytest.mark.parametrize("key, cas", [
    ("NaCl", NACL_CAS), ("nacl", NACL_CAS), (" Na Cl ", NACL_CAS), ("Sodium Chloride", NACL_CAS),
    ("sodium_chloride", NACL_CAS), ("SODIUM-CHLORIDE", NACL_CAS), ("7647-14-5", NACL_CAS),
    ("KOH", KOH_CAS), ("potassium hydroxide", KOH_CAS), ("1310-58-3", KOH_CAS),
    ("(NH4)2SO4", "7783-20-2"), ("ammonium sulphate", "7783-20-2"), ("aluminium sulfate", "10043-01-3"),
    ("Manganese(II) Sulfate", "449146-65-0"),  # spelt "sulphate" in lower case in the table
    ("7558-79-4", "7558-79-4"),  # written with a leading blank in the table
])
def test_lookup_by_name_formula_or_cas(key, cas):
    assert quor_pp.salt(key).cas == cas


def test_every_salt_is_found_by_each_of_its_keys():
    table = quor_pp.properties.laliberte_table.laliberte_table()
    assert 100 <= len(table) <= 120
    for entry in table:
        for key in (entry.name, entry.formula, entry.cas):
            assert quor_pp.salt(key) is entry, key


@pytest.mark.parametrize("key, expected", [
    ("NaCll", ["NaCl (Sodium Chloride)"]),
    ("chloride", ["AlCl3 (Aluminum Chloride)", "BaCl2 (Barium Chloride)"]),
    ("K0H", ["KOH (Potassium Hydroxide)"]),
    ("unobtainium", []),
])
def test_unknown_salt_lists_close_matches(key, expected):
    with pytest.raises(UnknownSaltError) as caught:
        quor_pp.salt(key)
    assert isinstance(caught.value, LookupError) and caught.value.key == key
    assert list(caught.value.close_matches[:len(expected)]) == expected
    assert repr(key) in str(caught.value) and "\n" not in str(caught.value)
    assert ("close matches" in str(caught.value)) == bool(expected)


def test_missing_chemicals_names_the_extra(monkeypatch):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *rest: None if name == "chemicals" else real(name, *rest))
    with pytest.raises(ImportError, match=r"pip install 'quor-pp\[properties\]'"):
        quor_pp.salt("NaCl")


HEADER = ("Name\tCASRN\tFormula\tMW\tc0\tc1\tc2\tc3\tc4\tMin T\tMax T\tMax w\tNo of points in corr\t"
          "v1\tv2\tv3\tv4\tv5\tv6\tMin T\tMax T\tMax w\tNo of points in corr\n")


def test_table_in_the_same_layout_with_gaps(tmp_path):
    path = tmp_path / "salts.tsv"
    path.write_text(HEADER
                    + "Salt A\t 1-2-3\tAb\t10\t1\t2\t3\t4\t5\t0\t50\t0.25\t7\t\t\t\t\t\t\t\t\t\t\n"
                    + "Salt B\t4-5-6\tCd\t20\t1\t2\t3\t4\t5\t10\t20\t0.5\t3\t1\t2\t3\t4\t5\t6\t15\t25\t0.4\t9\n"
                    + "No density\t7-8-9\tEf\t30" + "\t" * 19 + "\n")
    a, b = quor_pp.salt("1-2-3", table=path), quor_pp.salt("salt b", table=path)
    assert a.viscosity_fit is None and a.density_fit.temperature_range == (273.15, 323.15)
    assert (b.viscosity_fit.v6, b.viscosity_fit.temperature_range, b.viscosity_fit.points) == (6, (288.15, 298.15), 9)
    with pytest.raises(UnknownSaltError):
        quor_pp.salt("Ef", table=path)  # a row without density parameters is left out
    with pytest.raises(ValueError, match="viscosity fit"):
        a.viscosity(298.15, 1.0)


@pytest.mark.parametrize("content, message", [
    ("", "empty file"),
    (HEADER.replace("c4", "c5"), "column 9 of the header is 'c5'"),
    (HEADER + "Salt\t1-1-1\tS\tten\t1\t2\t3\t4\t5\t0\t50\t0.25\t7\n", "line 2"),
])
def test_table_with_another_layout_is_refused(tmp_path, content, message):
    path = tmp_path / "other.tsv"
    path.write_text(content)
    with pytest.raises(ValueError, match=message):
        quor_pp.salt("S", table=path)


# Properties against an independent implementation of the same correlations

REFERENCE_SALTS = ["NaCl", "KOH", "CaCl2", "H2SO4", "MgSO4", "LiCl", "Na2SO4", "(NH4)2SO4"]
STATES = [(t, b) for t in (278.15, 298.15, 323.15, 353.15) for b in (0.05, 1.0, 3.0)]


def reference_states(salt):
    """Temperatures (K), molalities and the matching mass fractions of the reference points."""
    t, b = map(np.array, zip(*STATES))
    return t, b, b * salt.molecular_weight / (b * salt.molecular_weight + 1000)


@pytest.mark.parametrize("key", REFERENCE_SALTS)
def test_density_agrees_with_thermo(key):
    electrochem = pytest.importorskip("thermo.electrochem")
    salt = quor_pp.salt(key)
    t, b, w = reference_states(salt)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        density = salt.density(t, b)
    expected = [electrochem.Laliberte_density(ti, [wi], [salt.cas]) for ti, wi in zip(t, w)]
    np.testing.assert_allclose(density, expected, rtol=1e-12)


@pytest.mark.parametrize("key", REFERENCE_SALTS)
def test_viscosity_agrees_with_thermo(key):
    electrochem = pytest.importorskip("thermo.electrochem")
    salt = quor_pp.salt(key)
    t, b, w = reference_states(salt)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        eta, water = salt.viscosity(t, b), salt.viscosity(t, 0.0)
    # The solute's factor is the same correlation with the same parameters ...
    fit = salt.viscosity_fit
    solute = [(electrochem.Laliberte_viscosity_i(ti, 1 - wi, *fit.parameters().values()) * 1e3) ** wi
              for ti, wi in zip(t, w)]
    np.testing.assert_allclose(eta / 1e-3 / (water / 1e-3) ** (1 - w), solute, rtol=1e-12)
    # ... while pure water uses a rounder set of constants there (t + 246 over
    # (0.05594 t + 5.2842) t + 137.37), a few parts in 1e5 away.
    expected = [electrochem.Laliberte_viscosity(ti, [wi], [salt.cas]) for ti, wi in zip(t, w)]
    np.testing.assert_allclose(eta, expected, rtol=5e-5)


def test_pure_water_density_peaks_near_4_celsius():
    salt = quor_pp.salt("NaCl")
    celsius = np.linspace(0.0, 10.0, 10001)
    density = salt.density(celsius, 0.0, celsius=True)
    assert celsius[density.argmax()] == pytest.approx(3.98, abs=0.01)
    assert density.max() == pytest.approx(999.972, abs=0.001)


def test_koh_conductivity_peaks_near_30_percent():
    salt = quor_pp.salt("KOH")
    b = np.linspace(0.1, 15.0, 1500)
    sigma = salt.conductivity(298.15, b)
    peak = sigma.argmax()
    assert 0.25 < salt.mass_fraction(b[peak]) < 0.32 and 55 < sigma[peak] < 70  # S/m


def test_conductivity_is_for_koh_only():
    with pytest.raises(ValueError, match="KOH only"):
        quor_pp.salt("NaCl").conductivity(298.15, 1.0)


# Units, shapes and round trips

@pytest.mark.parametrize("method", ["density", "molarity", "viscosity", "molality"])
def test_celsius_and_kelvin_give_the_same_result(method):
    salt = quor_pp.salt("NaCl")
    evaluate = getattr(salt, method)
    np.testing.assert_array_equal(evaluate([25.0, 60.0], 2.0, celsius=True), evaluate([298.15, 333.15], 2.0))


@pytest.mark.parametrize("method", ["density", "viscosity", "molality"])
def test_celsius_given_as_kelvin_is_refused(method):
    with pytest.raises(ValueError, match="celsius=True"):
        getattr(quor_pp.salt("NaCl"), method)(25.0, 1.0)


@pytest.mark.parametrize("temperature, concentration, message", [
    (298.15, -0.5, "must not be negative"), (float("nan"), 1.0, "finite"), (298.15, float("inf"), "finite"),
    (-300.0, 1.0, "below"), (700.0, 1.0, "critical"), ([298.15, 300.0], [1.0, 2.0, 3.0], "broadcast"),
])
def test_bad_values_are_refused(temperature, concentration, message):
    with pytest.raises(ValueError, match=message):
        quor_pp.salt("NaCl").density(temperature, concentration)


def test_results_take_the_broadcast_shape():
    salt = quor_pp.salt("NaCl")
    assert isinstance(salt.density(298.15, 1.0), float)
    assert salt.viscosity([[280.0], [300.0]], [0.5, 1.0, 2.0]).shape == (2, 3)


def test_molality_inverts_molarity():
    salt = quor_pp.salt("NaCl")
    t = np.array([[278.15], [323.15]])
    b = np.array([0.0, 0.01, 1.0, 4.0])
    np.testing.assert_allclose(salt.molality(t, salt.molarity(t, b)), np.broadcast_to(b, (2, 4)), atol=1e-9)


@pytest.mark.parametrize("molarity, message", [(1e4, "reaches no molality"), (1e-20, "below the smallest")])
def test_unreachable_molarity_is_refused(molarity, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RangeWarning)
        with pytest.raises(ValueError, match=message):
            quor_pp.salt("NaCl").molality(298.15, [1.0, molarity])


def test_properties_combine_every_model():
    koh = quor_pp.salt("KOH")
    result = koh.properties([298.15, 308.15], molarity=[1.0, 2.0])
    assert len(result) == 2 and result.viscosity is not None
    np.testing.assert_allclose(result.molarity, koh.molarity(result.temperature, result.molality), rtol=1e-12)
    np.testing.assert_array_equal(result.conductivity, koh.conductivity(result.temperature, result.molality))
    assert quor_pp.salt("NaCl").properties(298.15, molality=1.0).conductivity is None
    with pytest.raises(ValueError, match="either molality or molarity"):
        koh.properties(298.15)


# Range warnings: NaCl density covers 0 to 140 °C up to w = 0.266, its viscosity 5 to 154 °C
# up to w = 0.264; KOH viscosity only -14.1 to 40 °C.

@pytest.mark.parametrize("key, method, celsius, molality, warned", [
    ("NaCl", "density", 25.0, 1.0, None),
    ("NaCl", "density", -5.0, 1.0, "density fit"),
    ("NaCl", "density", 150.0, 1.0, "density fit"),
    ("NaCl", "density", 25.0, 7.0, "density fit"),  # w = 0.29
    ("NaCl", "viscosity", 2.0, 1.0, "viscosity fit"),  # inside the density fit
    ("KOH", "density", 60.0, 1.0, None),
    ("KOH", "viscosity", 60.0, 1.0, "viscosity fit"),
    ("KOH", "conductivity", 90.0, 20.0, None),  # the branch above 80 °C does not use the density fit
    ("KOH", "conductivity", 25.0, 20.0, "density fit"),
])
def test_points_outside_the_fit_warn(key, method, celsius, molality, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RangeWarning)
        getattr(quor_pp.salt(key), method)([20.0, celsius], [0.5, molality], celsius=True)
    messages = [str(w.message) for w in caught if w.category is RangeWarning]
    assert len(messages) == (warned is not None)
    if warned:
        assert warned in messages[0] and "1 of 2 points" in messages[0] and caught[0].filename == __file__


def test_properties_mark_the_points_outside_each_fit():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RangeWarning)
        result = quor_pp.salt("KOH").properties([25.0, 60.0, 100.0], molality=1.0, celsius=True)
    assert result.outside_density_fit.tolist() == [False, False, True]
    assert result.outside_viscosity_fit.tolist() == [False, True, True]
    assert len(caught) == 2


def test_docstring_examples_run():
    failures, tried = doctest.testmod(quor_pp.properties.salts, extraglobs={"quor_pp": quor_pp})
    assert tried > 5 and failures == 0
