"""The package's floors hold: no import cycle at run time, the layers contract kept, no warehouse module."""
import ast
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).parents[1]
PACKAGE = ROOT / "src" / "quor_pp"


def _module_name(path: pathlib.Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _run_time_imports() -> dict[str, set[str]]:
    """Every module's imports of the package's modules, those inside functions included (not TYPE_CHECKING)."""
    paths = {_module_name(p): p for p in PACKAGE.rglob("*.py")}
    graph: dict[str, set[str]] = {}
    for name, path in paths.items():
        tree = ast.parse(path.read_text(encoding="utf-8"))
        hidden = {id(node) for branch in ast.walk(tree)
                  if isinstance(branch, ast.If) and "TYPE_CHECKING" in ast.unparse(branch.test)
                  for node in ast.walk(branch)}
        package = name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
        found = set()
        for node in ast.walk(tree):
            if id(node) in hidden:
                continue
            if isinstance(node, ast.ImportFrom):
                base = package[:len(package) - node.level + 1] if node.level else []
                module = ".".join(base + ([node.module] if node.module else [])) if node.level else node.module or ""
                for alias in node.names:
                    target = f"{module}.{alias.name}"
                    found.add(target if target in paths else module)
            elif isinstance(node, ast.Import):
                found.update(alias.name for alias in node.names)
        graph[name] = {target for target in found if target in paths and target != name}
    return graph


def _cycle(graph: dict[str, set[str]]) -> list[str]:
    """One import cycle of the graph, or [] (depth-first search with colours)."""
    state: dict[str, int] = {}
    stack: list[str] = []

    def visit(node: str) -> list[str]:
        state[node] = 1
        stack.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == 1:
                return stack[stack.index(target):] + [target]
            if target not in state and (found := visit(target)):
                return found
        stack.pop()
        state[node] = 2
        return []

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return []


def test_no_import_cycle_at_run_time():
    graph = _run_time_imports()
    assert len(graph) > 40 and sum(map(len, graph.values())) > 100  # the graph was read, not empty
    assert _cycle(graph) == []


def test_a_cycle_is_found_where_there_is_one():
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]


def test_lower_floors_import_no_upper_floor():
    if shutil.which("lint-imports") is None:
        pytest.skip("import-linter is not installed")
    result = subprocess.run(["lint-imports", "--no-cache"], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "broken" not in result.stdout.replace("0 broken", "")


@pytest.mark.parametrize("path", sorted(PACKAGE.rglob("*.py")), ids=lambda p: str(p.relative_to(PACKAGE)))
def test_no_module_is_a_warehouse(path):
    assert len(path.read_text(encoding="utf-8").splitlines()) <= 620
