"""Python code run while the module makes its lazily created objects may call the module again.

Each case runs in a fresh interpreter, where the first call with a non-sequence array
argument imports collections.abc; code run by that import calls the module once more.
A hang is a failure, caught by the timeout. The inner call gets the usual error, or,
when it lands while collections is half imported, the import system's own error.
"""
import subprocess
import sys
import textwrap

import pytest

SEQUENCE_MESSAGE = "'dict' object is not an instance of 'Sequence'"

# Each script re-enters the module once from inside the first call.
SCRIPTS = {
    "audit hook": """
        import sys, _quor_pp as qp
        inner = []
        def hook(event, args):
            if event == "import" and args[0] == "collections.abc" and not inner:
                inner.append(None)
                try:
                    qp.repacking_results({})
                except Exception as error:
                    inner[-1] = type(error).__name__, str(error)
        sys.addaudithook(hook)
    """,
    "finalizer": """
        import gc, _quor_pp as qp
        inner = []
        class Cycle:
            def __init__(self):
                self.me = self
            def __del__(self):
                if not inner:
                    inner.append(None)
                    try:
                        qp.repacking_results({})
                    except Exception as error:
                        inner[-1] = type(error).__name__, str(error)
        # Garbage waits for the first collection, which the import inside the call runs.
        gc.disable()
        Cycle()
        gc.set_threshold(1, 0)
        gc.enable()
    """,
}

OUTER_CALL = """
    for _ in range(2):
        try:
            qp.repacking_results({})
        except TypeError as error:
            print(str(error), error.__notes__)
    print(inner)
"""


@pytest.mark.parametrize("how", SCRIPTS)
def test_reentry_while_the_sequence_type_is_made(how):
    script = textwrap.dedent(SCRIPTS[how]) + textwrap.dedent(OUTER_CALL)
    result = subprocess.run([sys.executable, "-X", "faulthandler", "-c", script],
                            capture_output=True, text=True, timeout=60)
    *outer, inner = result.stdout.splitlines() or [""]
    assert outer == [f"{SEQUENCE_MESSAGE} [\"while processing 'd_array'\"]"] * 2, result.stderr
    assert inner in (str([("TypeError", SEQUENCE_MESSAGE)]),
                     str([("ModuleNotFoundError", "No module named 'collections.abc'")])), result.stderr
