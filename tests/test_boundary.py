"""The module surface: registration, binding, argument conversion, errors."""
import array
import inspect
import subprocess
import sys
import textwrap

import pytest

import _quor_pp as qp

FUNCTIONS = {
    "parse_quor_file": "(path)",
    "parse_thermoprop": "(path)",
    "parse_volume_density": "(path)",
    "parse_bond_angle": "(path)",
    "read_group_count": "(log_path, group_name)",
    "local_maximum_finder": "(data, search_start, neighbor_count)",
    "repacking_results": "(d_array)",
    "diff_calculator": "(time, msd_in, margin, min_window, max_window, max_error, min_displacement)",
    "laliberte_density": "(temperature, molality, molecular_weight, c0, c1, c2, c3, c4)",
    "laliberte_viscosity": "(temperature, molality, molecular_weight, v1, v2, v3, v4, v5, v6)",
    "mass_fraction_to_molality": "(mass_fraction, molecular_weight)",
    "molality_to_mass_fraction": "(molality, molecular_weight)",
    "mole_fraction_to_molality": "(mole_fraction, molecular_weight)",
    "molality_to_mole_fraction": "(molality, molecular_weight)",
    "dewane_eval": "(molarity, limits, coeffs)",
    "koh_gilliam_eval": "(temperature, molality, molecular_weight, c0, c1, c2, c3, c4)",
    "molarity_to_molality": "(molarity, temperature, molecular_weight, c0, c1, c2, c3, c4, tolerance, maximum_iterations)",
    "tau_calculator": "(experimental_conductivity, md_conductivity, temperature, box_length, particle_count, hop_distance)",
    "diffusion_adjustment": "(time_between_hops, hop_distance)",
}


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def test_module_surface():
    assert qp.__all__ == list(FUNCTIONS)
    assert qp.__doc__ == ""
    own = {name for name in vars(qp) if not name.startswith("__")}
    assert own == set(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_records(name):
    function = getattr(qp, name)
    assert function.__name__ == name
    assert function.__module__ == "_quor_pp"
    assert function.__self__ is None  # registered static: plain functions, not methods of the module
    assert function.__text_signature__ == FUNCTIONS[name]
    assert function.__doc__ and not function.__doc__.endswith("\n")
    parameters = inspect.signature(function).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


def test_docstrings_are_exact():
    assert qp.diff_calculator.__doc__.startswith("Fit MSD vs time data to extract a transport coefficient.\n\n")
    assert qp.repacking_results.__doc__ == "Compute nanmean, nanstd (population), and the count of finite values."
    assert qp.diffusion_adjustment.__doc__ == "Diffusion-coefficient adjustment `D_hop` = δ² / (6τ) in m²/s."
    assert "(N-1) segments × 10 coefficients each [L0, S, e, A, B, C, D, E, F, G]" in qp.dewane_eval.__doc__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qp.parse_quor_file(), "parse_quor_file() missing 1 required positional argument: 'path'"),
        (lambda: qp.diffusion_adjustment(hop_distance=1.0),
         "diffusion_adjustment() missing 1 required positional argument: 'time_between_hops'"),
        (lambda: qp.laliberte_density([], []),
         "laliberte_density() missing 6 required positional arguments: "
         "'molecular_weight', 'c0', 'c1', 'c2', 'c3', and 'c4'"),
        (lambda: qp.local_maximum_finder([1.0]),
         "local_maximum_finder() missing 2 required positional arguments: 'search_start' and 'neighbor_count'"),
        (lambda: qp.parse_quor_file("a", "b"), "parse_quor_file() takes 1 positional arguments but 2 were given"),
        (lambda: qp.parse_quor_file("a", "b", bogus=1), "parse_quor_file() takes 1 positional arguments but 2 were given"),
        (lambda: qp.parse_quor_file("a", path="b"), "parse_quor_file() got multiple values for argument 'path'"),
        (lambda: qp.parse_quor_file(file="a"), "parse_quor_file() got an unexpected keyword argument 'file'"),
        (lambda: qp.parse_quor_file(Path="a"), "parse_quor_file() got an unexpected keyword argument 'Path'"),
        (lambda: qp.diffusion_adjustment(1.0, bogus=2, time_between_hops=3),
         "diffusion_adjustment() got an unexpected keyword argument 'bogus'"),
        (lambda: qp.diffusion_adjustment(1.0, time_between_hops=3, bogus=2),
         "diffusion_adjustment() got multiple values for argument 'time_between_hops'"),
        (lambda: qp.diffusion_adjustment(1.0, 2.0, 3.0),
         "diffusion_adjustment() takes 2 positional arguments but 3 were given"),
    ],
)
def test_binding_errors(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert error.args == (message,)
    assert not getattr(error, "__notes__", None)


def test_keywords_bind_by_name():
    assert qp.diffusion_adjustment(hop_distance=2.0, time_between_hops=1.0) == 4.0 / 6.0
    assert qp.diffusion_adjustment(**{"time_between_hops": 2.0, "hop_distance": 1.0}) == 1.0 / 12.0


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class NoLen:
    def __getitem__(self, k):
        if k < 3:
            return float(k)
        raise IndexError


class LyingLen(list):
    def __len__(self):
        return 2**62


@pytest.mark.parametrize(
    "argument, expected",
    [
        ((1, True, 2.5), [1.0, 1.0, 2.5]),
        (b"\x01\x02", [1.0, 2.0]),
        (bytearray(b"\x03"), [3.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([], []),
        ([Floaty(), Indexy()], [2.5, 7.0]),
        (array.array("d", [1.5, -0.0]), [1.5, -0.0]),
        (array.array("i", [4, 5]), [4.0, 5.0]),
        (memoryview(array.array("d", [0.25, 8.0])), [0.25, 8.0]),
        (NoLen(), [0.0, 1.0, 2.0]),
        (LyingLen([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
        ([float("nan"), float("-inf")], [float("nan"), float("-inf")]),
    ],
)
def test_float_array_conversion(argument, expected):
    converted = qp.repacking_results(argument)
    finite = [x for x in expected if x == x and abs(x) != float("inf")]
    assert converted[2] == len(finite)
    if finite:
        assert converted[0] == sum(finite) / len(finite)


def test_every_array_path_gives_the_values_of_iteration():
    values = [0.1, -0.0, 1e-310, 1.7976931348623157e308, float("inf"), 3.0]
    expected = qp.molality_to_mass_fraction(values, 7.0)
    for argument in (tuple(values), array.array("d", values), memoryview(array.array("d", values)),
                     iter_only(values)):
        assert qp.molality_to_mass_fraction(argument, 7.0) == expected


def iter_only(values):
    class Sequence:
        def __getitem__(self, k):
            return values[k]
    return Sequence()


def test_list_changed_during_conversion_reads_like_iteration():
    data = [1.0, None, 3.0]

    class Shrinker:
        def __float__(self):
            del data[2:]
            return 2.0

    data[1] = Shrinker()
    assert qp.repacking_results(data) == (1.5, 0.5, 2)


def test_numpy_arrays():
    np = pytest.importorskip("numpy")
    base = np.arange(10, dtype=np.float64) / 3
    for argument in (base, base[::3], base.astype(">f8"), base.astype(np.float32), base.astype(np.int64)):
        expected = [float(x) for x in argument]
        assert qp.molality_to_mass_fraction(argument, 1000.0) == qp.molality_to_mass_fraction(expected, 1000.0)
    error = raised(lambda: qp.repacking_results(np.zeros((2, 2))))
    assert "while processing 'd_array'" in error.__notes__


@pytest.mark.parametrize(
    "call, kind, message, note",
    [
        (lambda: qp.parse_quor_file(5), TypeError, "'int' object is not an instance of 'str'", "path"),
        (lambda: qp.parse_quor_file(None), TypeError, "'None' is not an instance of 'str'", "path"),
        (lambda: qp.parse_quor_file(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
        (lambda: qp.parse_quor_file("\ud800"), UnicodeEncodeError, None, "path"),
        (lambda: qp.repacking_results("1 2 3"), TypeError, "Can't extract `str` to `Vec`", "d_array"),
        (lambda: qp.repacking_results({1.0: 2.0}), TypeError, "'dict' object is not an instance of 'Sequence'", "d_array"),
        (lambda: qp.repacking_results({1.0}), TypeError, "'set' object is not an instance of 'Sequence'", "d_array"),
        (lambda: qp.repacking_results(x for x in [1.0]), TypeError,
         "'generator' object is not an instance of 'Sequence'", "d_array"),
        (lambda: qp.repacking_results(None), TypeError, "'None' is not an instance of 'Sequence'", "d_array"),
        (lambda: qp.repacking_results(1.0), TypeError, "'float' object is not an instance of 'Sequence'", "d_array"),
        (lambda: qp.repacking_results([1.0, "2"]), TypeError, "must be real number, not str", "d_array"),
        (lambda: qp.repacking_results([1.0, 10**400]), OverflowError, None, "d_array"),
        (lambda: qp.local_maximum_finder([1.0], -1, 1), OverflowError, "can't convert negative int to unsigned", "search_start"),
        (lambda: qp.local_maximum_finder([1.0], 2**64, 1), OverflowError, None, "search_start"),
        (lambda: qp.local_maximum_finder([1.0], 1.0, 1), TypeError,
         "'float' object cannot be interpreted as an integer", "search_start"),
        (lambda: qp.local_maximum_finder([1.0], 0, None), TypeError, None, "neighbor_count"),
        (lambda: qp.diffusion_adjustment("2", 3), TypeError, "must be real number, not str", "time_between_hops"),
        (lambda: qp.diffusion_adjustment(1.0, 10**400), OverflowError, None, "hop_distance"),
        (lambda: qp.diff_calculator("x", "y", 0, 0, 0, 0, 0), TypeError, "Can't extract `str` to `Vec`", "time"),
    ],
)
def test_conversion_errors_carry_a_note(call, kind, message, note):
    error = raised(call)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{note}'"]


def test_conversions_accept_python_numbers():
    assert qp.diffusion_adjustment(2, 3) == 9.0 / 12.0
    assert qp.diffusion_adjustment(True, Floaty()) == 6.25 / 6.0
    assert qp.local_maximum_finder([], Indexy(), 0) == 7
    assert qp.local_maximum_finder([], True, 2**64 - 1 - 1) == 2**64 - 1
    assert qp.local_maximum_finder([], 2**64 - 1, 0) == 2**64 - 1


def test_failing_len_is_ignored_and_iteration_errors_propagate():
    class BadLen:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, k):
            if k == 0:
                return 4.0
            raise IndexError

    assert qp.repacking_results(BadLen()) == (4.0, 0.0, 1)

    class BadIter:
        def __getitem__(self, k):
            raise KeyError("boom")

    error = raised(lambda: qp.repacking_results(BadIter()))
    assert type(error) is KeyError and error.__notes__ == ["while processing 'd_array'"]


def test_unwritable_notes_drop_the_note_not_the_error():
    class Strict:
        def __float__(self):
            raise NoNotes("kept")

    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("refused")

    error = raised(lambda: qp.repacking_results([Strict()]))
    assert type(error) is NoNotes and error.args == ("kept",)
    assert not getattr(error, "__notes__", None)


def test_os_errors_are_the_base_kind(tmp_path):
    error = raised(lambda: qp.parse_quor_file(str(tmp_path / "missing.dat")))
    assert type(error) is OSError
    assert error.errno is None and error.filename is None
    assert len(error.args) == 1


def test_no_reference_leaks_on_failed_calls():
    data = [1.0, 2.0]
    name = "x" * 40
    before = sys.getrefcount(data), sys.getrefcount(name)
    for _ in range(1000):
        raised(lambda: qp.diff_calculator(data, data, 0.0, 0, 0, 0.0, "z"))
        raised(lambda: qp.parse_quor_file(name + "\0"))
        raised(lambda: qp.repacking_results([*data, "x"]))
        qp.diff_calculator(data, data, 0.0, 0, 3, 0.5, 0.0)
    assert (sys.getrefcount(data), sys.getrefcount(name)) == before


def test_lazy_objects_are_safe_under_racing_threads():
    script = textwrap.dedent(
        """
        import threading, _quor_pp as qp
        barrier = threading.Barrier(8)
        seen = []
        def worker():
            barrier.wait()
            try:
                qp.repacking_results({})
            except TypeError as e:
                seen.append((str(e), e.__notes__))
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert seen == [("'dict' object is not an instance of 'Sequence'", ["while processing 'd_array'"])] * 8, seen
        print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "ok", result.stderr


def test_exhausted_memory_is_a_memory_error():
    script = textwrap.dedent(
        """
        import resource, _quor_pp as qp
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            qp.repacking_results(range(400_000_000))
        except MemoryError as e:
            print("MemoryError", e.__notes__)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "MemoryError [\"while processing 'd_array'\"]", result.stderr
