"""Type information: mypy --strict passes on the installed package and its use, and the stubs match the module."""
import ast
import importlib.metadata
import inspect
import pathlib
import subprocess
import sys

import pytest

import _quor_pp

USAGE = '''
import pathlib

import numpy as np
import numpy.typing as npt

import _quor_pp
import quor_pp

table: quor_pp.Table = quor_pp.read(pathlib.Path("diffself.dat"), kind="transport")
time: npt.NDArray[np.float64] = table["Time"]
log: quor_pp.RunLog = quor_pp.read("log.lammps", kind="log")
anything: quor_pp.Table | quor_pp.RunLog = quor_pp.read("volume.dat")
counts: dict[str, int] = quor_pp.group_counts("log.lammps")
slope, t_fit, fit = _quor_pp.diff_calculator(time, [1.0, 2.0], 0.1, 10, 60, 0.1, 0.0)
window: list[float] = t_fit
mean, std, n = _quor_pp.repacking_results(np.array([slope]))
settings = quor_pp.AnalysisSettings(window=quor_pp.WindowSettings(margin=0.05), charges={"Na": 1.0})
report = quor_pp.analyze(["replica_1", pathlib.Path("replica_2")], settings, molecules={"wat": 1000})
value: float | None = report.row("self_diffusion", "Na").value
for path, estimate, result in report.fits("viscosity"):
    start: int = result.start
text: str = report.to_json()
frame = report.to_pandas()
factor: float = quor_pp.unit_system("real").diffusion
try:
    quor_pp.read("x")
except quor_pp.FormatError as error:
    line: int | None = error.line
'''

WRONG = {
    # The stub is seen: a float result does not fit an int.
    'x: int = _quor_pp.parse_volume_density("volume.dat")': "assignment",
    '_quor_pp.parse_quor_file(pathlib.Path("a"))': "arg-type",
    'quor_pp.read("a", kind="csv")': "call-overload",
    'v: float = quor_pp.analyze("run").rows[0].value': "assignment",
}


def run_mypy(cwd, *targets):
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
               str(cwd / ".mypy_cache"), *targets]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    pytest.importorskip("mypy")
    # The package is checked together with the optional packages it names (the test extra
    # brings them and their stubs); without them mypy cannot see their types.
    for package in ("pandas-stubs", "matplotlib"):
        try:
            importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            pytest.skip(f"{package} is not installed")
    return tmp_path_factory.mktemp("mypy")


@pytest.mark.parametrize("targets", [["-p", "quor_pp"], ["usage.py"]])
def test_mypy_strict_accepts_the_package_and_its_use(workdir, targets):
    (workdir / "usage.py").write_text(USAGE)
    result = run_mypy(workdir, *targets)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_rejects_misuse(workdir):
    header = "import pathlib\nimport _quor_pp\nimport quor_pp\n"
    (workdir / "misuse.py").write_text(header + "\n".join(WRONG) + "\n")
    result = run_mypy(workdir, "misuse.py")
    for number, code in enumerate(WRONG.values(), start=4):
        assert f"misuse.py:{number}: error:" in result.stdout and f"[{code}]" in result.stdout, result.stdout


def stub_functions():
    # The stub package installed beside the extension (PEP 561 stub-only package).
    root = pathlib.Path(_quor_pp.__file__).parent / "_quor_pp-stubs" / "__init__.pyi"
    tree = ast.parse(root.read_text())
    return {node.name: [a.arg for a in node.args.args] for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stubs_name_every_function_with_its_parameters():
    stubs = stub_functions()
    assert list(stubs) == list(_quor_pp.__all__)
    for name, parameters in stubs.items():
        assert parameters == list(inspect.signature(getattr(_quor_pp, name)).parameters), name


def test_package_is_marked_typed():
    import quor_pp

    assert (pathlib.Path(quor_pp.__file__).parent / "py.typed").is_file()
