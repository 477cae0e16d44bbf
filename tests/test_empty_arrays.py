"""Empty arrays through every conversion path: the same results as an empty list."""
import array

import pytest

import _quor_pp as qp

def empty_arrays():
    yield "list", []
    yield "tuple", ()
    yield "array('d')", array.array("d")
    yield "array('d') emptied", array.array("d", [1.0])[1:]
    yield "memoryview of array('d')", memoryview(array.array("d"))
    yield "memoryview slice", memoryview(array.array("d", [1.0, 2.0]))[2:]
    yield "bytes", b""


CASES = dict(empty_arrays())

NUMPY_CASES = {
    "ndarray": lambda np: np.array([]),
    "ndarray empty": lambda np: np.empty(0),
    "ndarray strided": lambda np: np.arange(4.0)[4::2],
    "ndarray big-endian": lambda np: np.array([], dtype=">f8"),
    "ndarray from 2-d": lambda np: np.zeros((3, 0)).ravel(),
    "memoryview of ndarray": lambda np: memoryview(np.array([])),
}

CALLS = {
    "repacking_results": lambda a: qp.repacking_results(a),
    "local_maximum_finder": lambda a: qp.local_maximum_finder(a, 3, 1),
    "molality_to_mass_fraction": lambda a: qp.molality_to_mass_fraction(a, 58.44),
    "laliberte_density": lambda a: qp.laliberte_density(a, a, 58.44, 1, 1, 1, 1, 1),
    "diff_calculator": lambda a: qp.diff_calculator(a, a, 0.1, 1, 5, 0.1, 0.0),
    "dewane_eval": lambda a: qp.dewane_eval(a, [0.0, 1.0], [1.0] * 10),
}


def result_or_error(call):
    try:
        return "result", repr(call())
    except Exception as error:
        return "error", type(error), error.args


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
@pytest.mark.parametrize("argument", CASES.values(), ids=CASES)
def test_empty_array_is_an_empty_list(call, argument):
    assert result_or_error(lambda: call(argument)) == result_or_error(lambda: call([]))


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
@pytest.mark.parametrize("make", NUMPY_CASES.values(), ids=NUMPY_CASES)
def test_empty_numpy_array_is_an_empty_list(call, make):
    argument = make(pytest.importorskip("numpy"))
    assert result_or_error(lambda: call(argument)) == result_or_error(lambda: call([]))
