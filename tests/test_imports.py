"""The package's modules import one way: no cycle, and each one imports alone."""
import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "talmek_track"
MODULES = sorted(p.stem for p in PACKAGE.glob("*.py") if p.stem not in ("__init__", "__main__"))
# A backend named by "module:function" text is imported when chosen: an import all the same.
_NAMED = re.compile(r"^talmek_track\.(\w+):\w+$")


def _is_module(name: str) -> bool:
    return any(PACKAGE.glob(f"{name}.*"))  # the native _batch has a stub beside the sources


def _target(name: str) -> str | None:
    """The package module an imported name stands for (the package itself for its own names)."""
    if name == "talmek_track":
        return "__init__"
    if name.startswith("talmek_track."):
        first = name.split(".")[1]
        return first if _is_module(first) else None
    return None


def imports_of(module: str) -> set[str]:
    """Every package module that ``module`` imports, at its top or inside a function."""
    tree = ast.parse((PACKAGE / f"{module}.py").read_text())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found |= {_target(alias.name) for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            if node.module == "talmek_track":
                found |= {alias.name if _is_module(alias.name) else "__init__" for alias in node.names}
            else:
                found.add(_target(node.module))
        elif isinstance(node, ast.Constant) and isinstance(node.value, str) and _NAMED.match(node.value):
            found.add(_NAMED.match(node.value)[1])
    return {m for m in found if m is not None} - {module}


def test_the_import_graph_has_no_cycle():
    graph = {m: imports_of(m) for m in MODULES}
    assert graph["track"] and "__init__" not in set().union(*graph.values())
    # Depth-first search; a module met again while still open closes a cycle.
    state: dict[str, str] = {}
    cycles = []

    def visit(module, path):
        state[module] = "open"
        for nxt in sorted(graph.get(module, ())):
            if state.get(nxt) == "open":
                cycles.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[module] = "done"

    for module in MODULES:
        if module not in state:
            visit(module, [module])
    assert not cycles, " ; ".join(" -> ".join(c) for c in cycles)


def test_every_module_imports_alone():
    """Each module in a fresh interpreter, so that none works only after another was loaded."""
    failed = []
    for module in MODULES:
        if module == "dask_backend" and importlib.util.find_spec("distributed") is None:
            continue
        done = subprocess.run([sys.executable, "-c", f"import talmek_track.{module}"],
                              capture_output=True, text=True)
        if done.returncode:
            failed.append(f"{module}: {done.stderr.strip().splitlines()[-1]}")
    assert not failed, "\n".join(failed)


@pytest.mark.parametrize("source, expected", [
    ("from talmek_track import _batch\nfrom talmek_track.errors import InputError", {"_batch", "errors"}),
    ("def f():\n    from talmek_track.track import track_files", {"track"}),
    ("import talmek_track.blocks", {"blocks"}),
    ('RUN = {"x": "talmek_track.dask_backend:run_blocks"}', {"dask_backend"}),
    ("from talmek_track import TrackOptions", {"__init__"}),
])
def test_imports_are_found_wherever_they_are(tmp_path, monkeypatch, source, expected):
    for name in ("_batch", "errors", "track", "blocks", "dask_backend", "__init__"):
        (tmp_path / f"{name}.py").write_text("")
    (tmp_path / "probe.py").write_text(source)
    monkeypatch.setattr(sys.modules[__name__], "PACKAGE", tmp_path)
    assert imports_of("probe") == expected
