"""The package's module graph: every module imports alone, no module imports itself again through
others, and the lower layers import nothing above them."""
import ast
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "vantrel"


def module_names():
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        yield ".".join(parts[:-1] if parts[-1] == "__init__" else parts), path


MODULES = dict(module_names())


def _type_checking_only(node) -> bool:
    return isinstance(node, ast.If) and isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING"


def imports_of(name: str, path: Path) -> set:
    """The package's modules that `name` imports when it runs, at its top or inside its functions
    (what a type checker alone reads is left out)."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    stack = [ast.parse(path.read_text())]
    while stack:
        node = stack.pop()
        if _type_checking_only(node):
            stack.extend(node.orelse)
            continue
        stack.extend(ast.iter_child_nodes(node))
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            if node.module:  # `from . import x` reads the package being imported already
                found.add(base)
            found.update(f"{base}.{alias.name}" for alias in node.names)
    return {module for module in found if module in MODULES and module != name}


GRAPH = {name: imports_of(name, path) for name, path in MODULES.items()}


def test_the_graph_reads_the_imports_it_should():
    # Relative, absolute, lazy and type-checking-only imports of the methods and the analysis.
    assert GRAPH["vantrel.methods.learned"] >= {"vantrel.methods.base", "vantrel.methods.network"}
    assert "vantrel.settings" not in GRAPH["vantrel.methods.learned"]
    assert GRAPH["vantrel.analysis"] >= {"vantrel.errors", "vantrel.methods", "vantrel.settings",
                                         "vantrel.scene_limits"}


def test_no_import_circle():
    def visit(name, path):
        for target in sorted(GRAPH[name]):
            assert target not in path, " -> ".join([*path[path.index(target):], target])
            visit(target, [*path, target])

    for name in GRAPH:
        visit(name, [name])


@pytest.mark.parametrize("layer, above", [
    ("vantrel.errors", ("vantrel.",)),
    ("vantrel.methods", ("vantrel.analysis", "vantrel.settings", "vantrel.rows", "vantrel.cli", "vantrel.outputs")),
    ("vantrel.settings", ("vantrel.analysis", "vantrel.rows", "vantrel.cli", "vantrel.outputs")),
    ("vantrel.analysis", ("vantrel.rows", "vantrel.cli", "vantrel.outputs")),
])
def test_a_lower_layer_imports_nothing_above_it(layer, above):
    for name, targets in GRAPH.items():
        if name == layer or name.startswith(layer + "."):
            assert not [t for t in targets if t.startswith(above) and not t.startswith(layer)], name


def test_every_module_imports_alone():
    failed = {}
    for name in MODULES:
        run = subprocess.run([sys.executable, "-c", f"import {name}"], capture_output=True, text=True)
        if run.returncode:
            failed[name] = run.stderr.strip().splitlines()[-1]
    assert failed == {}
