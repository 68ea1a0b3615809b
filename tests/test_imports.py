"""The package's modules import each other without a circle, and the flat
package stays small."""

from __future__ import annotations

import ast
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import quarn

PACKAGE = Path(quarn.__file__).parent


def _module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _runtime_imports(tree: ast.Module) -> list[ast.AST]:
    """Import statements anywhere in the module (functions included), except
    those under ``if TYPE_CHECKING:``, which never run."""
    found: list[ast.AST] = []

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            found.append(node)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


def import_graph() -> dict[str, set[str]]:
    """Module name -> the package's modules it imports."""
    paths = {_module_name(p): p for p in PACKAGE.rglob("*.py")}
    # The compiled modules (``from quarn import _engine``) import nothing of
    # the package.
    compiled = {
        f"quarn.{p.name.split('.')[0]}"
        for p in PACKAGE.iterdir()
        if any(p.name.endswith(suffix) for suffix in EXTENSION_SUFFIXES)
    }
    graph: dict[str, set[str]] = {name: set() for name in compiled}
    for name, path in paths.items():
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        targets: set[str] = set()
        for node in _runtime_imports(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                targets.update(alias.name for alias in node.names)
                continue
            assert isinstance(node, ast.ImportFrom)
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                module = ".".join(base + ([node.module] if node.module else []))
            else:
                module = node.module or ""
            for alias in node.names:
                sub = f"{module}.{alias.name}"
                targets.add(sub if sub in paths or sub in compiled else module)
        graph[name] = {t for t in targets if (t in paths or t in compiled) and t != name}
    return graph


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    """One import circle as a list of modules (first == last), or None."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for target in sorted(graph.get(node, ())):
            if state.get(target) == 1:
                return path[path.index(target) :] + [target]
            if target not in state and (cycle := visit(target)):
                return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (cycle := visit(node)):
            return cycle
    return None


def test_cycle_finder_sees_a_circle_and_a_clean_graph() -> None:
    assert find_cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert find_cycle({"a": {"b", "c"}, "b": {"c"}, "c": set()}) is None


def test_no_import_circle_among_the_package_modules() -> None:
    graph = import_graph()
    assert "quarn.cli.parser" in graph and "quarn._engine" in graph["quarn._runner"]
    assert find_cycle(graph) is None


def test_the_flat_package_holds_at_most_twenty_modules() -> None:
    assert len(list(PACKAGE.glob("*.py"))) <= 20
