"""Many threads at once: shared arguments, lists changed under a call, no GIL brought back.

On an interpreter with a GIL these check that threads see the single-threaded
results; on a free-threaded one, with the GIL off, they also run truly in parallel,
and the stress runs longer there.
"""
import array
import os
import random
import struct
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import _quor_pp as qp

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_OFF = FREE_THREADED and not sys._is_gil_enabled()
THREADS = 8


def fingerprint(value):
    """A hashable, bit-exact picture of a result or of a raised exception."""
    if isinstance(value, BaseException):
        return ("raised", type(value), value.args, tuple(getattr(value, "__notes__", ())))
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(fingerprint(v) for v in value))
    if isinstance(value, dict):
        return ("dict", tuple((k, fingerprint(v)) for k, v in value.items()))
    return (type(value).__name__, value)


def outcome(call):
    try:
        return fingerprint(call())
    except BaseException as error:  # noqa: B036 - exceptions are results here
        return fingerprint(error)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.fixture
def shared_calls(write_file):
    """Calls of all nineteen functions, results and errors alike, on shared arguments."""
    table = write_file("# run\n#Time MSD_a MSD_b\n" + "".join(
        f"{t} {0.06 * t + 0.01 * (t % 3)} {t ** 1.1}\n" for t in range(1, 60)))
    thermo = write_file("title\n# Step Temp Press\n0 300.5 1.0\n10 299.5 -2.5e3\n20 nan 3\n")
    volume = write_file("h1\nh2\n0 12.5\n100 13.0\n")
    angles = write_file("t\ns\n# Index Coord Count Count/Total\n9 9 9 9\n1 0.5 3 0.25\n2 1.5 9 0.75\n")
    log = write_file("group water type 1 2\n648 atoms in group water\n")
    missing = os.path.join(os.path.dirname(table), "missing.dat")

    rng = random.Random(7)
    time_ = [0.1 * k for k in range(1, 120)]
    msd = [6e-9 * t * (1 + 0.02 * rng.random()) for t in time_]
    temperatures = [273.15 + 2.5 * k for k in range(41)]
    molalities = [0.25 * (k % 13) for k in range(41)]
    nacl = (58.44, -0.00433, 0.06471, 1.0166, 0.014624, 3315.6)
    viscosity = (58.44, 16.22, 1.3229, 1.4849, 0.0074691, 30.78, 2.0583)
    data = tuple(rng.random() for _ in range(200))
    buffer = array.array("d", data)
    mixed = [1.0, Floaty(2.5), 3, True, float("nan"), float("-inf")]
    return [
        lambda: qp.parse_quor_file(table),
        lambda: qp.parse_quor_file(missing),
        lambda: qp.parse_thermoprop(thermo),
        lambda: qp.parse_volume_density(volume),
        lambda: qp.parse_bond_angle(angles),
        lambda: qp.read_group_count(log, "water"),
        lambda: qp.read_group_count(log, "ions"),
        lambda: qp.local_maximum_finder(buffer, 3, 2),
        lambda: qp.local_maximum_finder(data, -1, 2),
        lambda: qp.repacking_results(mixed),
        lambda: qp.repacking_results({}),
        lambda: qp.repacking_results([1.0, "2"]),
        lambda: qp.diff_calculator(time_, msd, 0.1, 5, 50, 0.1, 0.0),
        lambda: qp.diff_calculator(time_, msd[:10], 0.1, 5, 50, 0.1, 0.0),
        lambda: qp.laliberte_density(temperatures, molalities, *nacl),
        lambda: qp.laliberte_density(temperatures, molalities[:3], *nacl),
        lambda: qp.laliberte_viscosity(temperatures, molalities, *viscosity),
        lambda: qp.mass_fraction_to_molality(data, 58.44),
        lambda: qp.molality_to_mass_fraction(molalities, 58.44),
        lambda: qp.mole_fraction_to_molality(buffer, 18.015),
        lambda: qp.molality_to_mole_fraction(mixed, 18.015),
        lambda: qp.dewane_eval([0.5, 1.5, 2.5], [0.0, 1.0, 3.0], [float(k % 7) for k in range(20)]),
        lambda: qp.dewane_eval([9.0], [0.0, 1.0, 3.0], [1.0] * 20),
        lambda: qp.koh_gilliam_eval(temperatures, molalities, 56.1, *nacl[1:]),
        lambda: qp.molarity_to_molality([0.5, 1.0, 2.0], 298.15, *nacl, 1e-10, 200),
        lambda: qp.molarity_to_molality([1e6], 298.15, *nacl, 1e-10, 200),
        lambda: qp.tau_calculator(11.0, 9.5, 298.15, 4e-9, 648.0, 2.5e-10),
        lambda: qp.diffusion_adjustment(1e-12, 2.5e-10),
        lambda: qp.diffusion_adjustment("1", 2.5e-10),
    ]


def test_calls_cover_every_function(shared_calls):
    names = {call.__code__.co_names[1] for call in shared_calls}
    assert names == set(qp.__all__)


def test_threads_see_the_single_threaded_results(shared_calls):
    expected = [outcome(call) for call in shared_calls]
    assert any(e[0] == "raised" for e in expected) and any(e[0] != "raised" for e in expected)
    rounds = 40 if GIL_OFF else 8
    barrier = threading.Barrier(THREADS)
    mismatches = []

    def worker(seed):
        order = list(range(len(shared_calls)))
        random.Random(seed).shuffle(order)
        barrier.wait()
        for _ in range(rounds):
            for k in order:
                got = outcome(shared_calls[k])
                if got != expected[k]:
                    mismatches.append((k, got))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


# Every value the changing list can ever hold, and each one's image under the
# conversion below (molality_to_mass_fraction is monotonic, so the image is unique).
POOL = [0.5 * k for k in range(1, 41)]


def image(values):
    return qp.molality_to_mass_fraction(values, 1000.0)


def mutate(shared, rng, stop):
    """Replaces items and resizes the list until told to stop; fresh objects each time."""
    while not stop.is_set():
        action = rng.randrange(7)
        value = rng.choice(POOL)
        if action == 0 and shared:
            shared[rng.randrange(len(shared))] = value + 0.0
        elif action == 1:
            shared.append(Floaty(value) if rng.random() < 0.2 else value + 0.0)
        elif action == 2 and shared:
            shared.pop(rng.randrange(len(shared)))
        elif action == 3:
            shared.extend([value + 0.0] * rng.randrange(1, 64))
        elif action == 4:
            start = rng.randrange(len(shared) + 1)
            del shared[start:start + rng.randrange(1, 80)]
        elif action == 5 and len(shared) > 200:
            shared.clear()
        elif action == 6:
            shared[:rng.randrange(len(shared) + 1)] = [value + 0.0, Floaty(value)]
        if len(shared) > 2000:
            del shared[1000:]


@pytest.mark.parametrize("converters", [1, THREADS - 1])
def test_converting_a_list_that_another_thread_changes(converters):
    """Each result is made of values the list held, never longer than the list ever was."""
    allowed = set(image(POOL))
    shared = [POOL[k % len(POOL)] for k in range(500)]
    stop = threading.Event()
    seconds = 4.0 if GIL_OFF else 0.5
    failures, calls = [], []

    def convert():
        deadline = time.monotonic() + seconds
        try:
            while time.monotonic() < deadline:
                got = image(shared)
                if len(got) > 2000 + 64 or not allowed.issuperset(got):
                    failures.append(got)
                    return
                count = qp.repacking_results(shared)[2]
                if count > 2000 + 64:
                    failures.append(count)
                    return
                calls.append(None)
        except BaseException as error:  # noqa: B036 - reported by the test, not the thread
            failures.append(error)

    def keep_mutating():
        try:
            mutate(shared, random.Random(converters), stop)
        except BaseException as error:  # noqa: B036
            failures.append(error)

    mutator = threading.Thread(target=keep_mutating)
    workers = [threading.Thread(target=convert) for _ in range(converters)]
    mutator.start()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    stop.set()
    mutator.join()
    assert failures == []
    assert len(calls) >= converters


def growing_list():
    data = [1.0, 2.0, None, 4.0, 5.0]

    class Grower:
        def __float__(self):
            data.extend([6.0, 7.0])
            data[3] = 40.0
            return 3.0

    data[2] = Grower()
    return data


def test_an_item_that_changes_its_own_list_reads_like_iteration():
    by_iteration = [float(x) for x in growing_list()]
    assert by_iteration == [1.0, 2.0, 3.0, 40.0, 5.0, 6.0, 7.0]
    assert image(growing_list()) == image(by_iteration)


@pytest.mark.parametrize("module", ["_quor_pp", "quor_pp"])
def test_import_keeps_the_gil_off(module):
    if not FREE_THREADED:
        pytest.skip("the interpreter has a GIL")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    script = f"import sys, {module}; print(sys._is_gil_enabled())"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60, env=env)
    assert result.stdout.strip() == "False", result.stderr
