"""The package's modules import in the order of its stages: no module imports a later stage, the
options import no other stage, nothing imports a cycle, and each module imports alone."""
import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "talmek_track"
#: The stages in the order a run flows through them; the package's top-level leaves (errors, the
#: engine's facts, interrupts, the stage timer) come before all of them, the package itself after.
STAGES = ("options", "sources", "matching", "guided", "products", "output", "run", "cli")
# A backend named by "module:function" text is imported when chosen: an import all the same.
_NAMED = re.compile(r"^(talmek_track(?:\.\w+)+):\w+$")


def module_names(package: Path = PACKAGE) -> list[str]:
    """Dotted names below talmek_track of every module (packages by their own name)."""
    names = []
    for path in sorted(package.rglob("*.py")):
        parts = path.relative_to(package).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        if parts and parts != ("__main__",):
            names.append(".".join(parts))
    return names


def _path(module: str, package: Path) -> Path:
    base = package.joinpath(*module.split("."))
    return base / "__init__.py" if base.is_dir() else base.with_suffix(".py")


def _known(name: str, package: Path) -> str | None:
    """The package module a dotted name below talmek_track stands for (its longest module prefix)."""
    parts = name.split(".")
    for k in range(len(parts), 0, -1):
        base = package.joinpath(*parts[:k])
        if base.is_dir() or base.with_suffix(".py").exists() or base.with_suffix(".pyi").exists():
            return ".".join(parts[:k])
    return None


def imports_of(module: str, package: Path | None = None) -> set[str]:
    """Every package module that ``module`` imports, at its top or inside a function ("" is the
    package itself)."""
    package = package or PACKAGE
    tree = ast.parse(_path(module, package).read_text())
    found: set[str | None] = set()

    def add(name: str) -> None:
        if name == "talmek_track":
            found.add("")
        elif name.startswith("talmek_track."):
            found.add(_known(name.removeprefix("talmek_track."), package))

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                add(alias.name)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            for alias in node.names:
                full = f"{node.module}.{alias.name}"
                if _known(full.removeprefix("talmek_track."), package) == full.removeprefix("talmek_track."):
                    add(full)  # a module imported from its package
                else:
                    add(node.module)
        elif isinstance(node, ast.Constant) and isinstance(node.value, str) and _NAMED.match(node.value):
            add(_NAMED.match(node.value)[1])
    return {m for m in found if m is not None} - {module}


def stage_of(module: str) -> int:
    """0 for the top-level leaves, 1.. for the stages in order, one past them for the package."""
    if module == "":
        return len(STAGES) + 1
    first = module.split(".")[0]
    return STAGES.index(first) + 1 if first in STAGES else 0


def test_no_module_imports_a_later_stage():
    modules = module_names()
    assert {m.split(".")[0] for m in modules} >= set(STAGES)
    later = []
    for module in modules:
        for imported in imports_of(module):
            if stage_of(imported) > stage_of(module):
                later.append(f"{module} -> {imported or 'talmek_track'}")
    assert not later, "\n".join(later)


def test_the_options_import_no_other_stage():
    for module in module_names():
        if module.startswith("options"):
            others = {m for m in imports_of(module) if stage_of(m) > 0 and not m.startswith("options")}
            assert not others, f"{module} imports {others}"


def test_the_dask_backend_is_reached_only_through_the_registry():
    for module in module_names():
        if module != "matching.backends" and not module.startswith("matching.backends.dask"):
            assert "matching.backends.dask" not in imports_of(module), module


def test_the_import_graph_has_no_cycle():
    graph = {m: imports_of(m) for m in module_names()}
    assert graph["run.track"]
    # Depth-first search; a module met again while still open closes a cycle. A subpackage's own
    # __init__ importing its modules is not a cycle with them.
    state: dict[str, str] = {}
    cycles = []

    def visit(module, path):
        state[module] = "open"
        for nxt in sorted(graph.get(module, ())):
            if module.startswith(nxt + ".") or nxt == "":
                continue
            if state.get(nxt) == "open":
                cycles.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[module] = "done"

    for module in graph:
        if module not in state:
            visit(module, [module])
    assert not cycles, " ; ".join(" -> ".join(c) for c in cycles)


def test_every_module_imports_alone():
    """Each module in a fresh interpreter, so that none works only after another was loaded."""
    failed = []
    code = "import importlib, sys\nfor m in sys.argv[1:]:\n    importlib.import_module(m)\n"
    for module in module_names():
        if module.startswith("matching.backends.dask") and importlib.util.find_spec("distributed") is None:
            continue
        done = subprocess.run([sys.executable, "-c", code, f"talmek_track.{module}"],
                              capture_output=True, text=True)
        if done.returncode:
            failed.append(f"{module}: {done.stderr.strip().splitlines()[-1]}")
    assert not failed, "\n".join(failed)


@pytest.mark.parametrize("source, expected", [
    ("from talmek_track import _batch\nfrom talmek_track.errors import InputError", {"_batch", "errors"}),
    ("def f():\n    from talmek_track.run.track import track_files", {"run.track"}),
    ("import talmek_track.matching.blocks", {"matching.blocks"}),
    ("from talmek_track.matching import blocks", {"matching.blocks"}),
    ('RUN = {"x": "talmek_track.matching.backends.dask:run_blocks"}', {"matching.backends.dask"}),
    ("from talmek_track import TrackOptions", {""}),
])
def test_imports_are_found_wherever_they_are(tmp_path, source, expected):
    for name in ("_batch.pyi", "errors.py", "run/track.py", "matching/blocks.py",
                 "matching/backends/dask.py", "matching/backends/__init__.py", "__init__.py"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    (tmp_path / "probe.py").write_text(source)
    assert imports_of("probe", tmp_path) == expected


@pytest.mark.parametrize("importer, imported, allowed", [
    ("sources.readers", "options.core", True),
    ("options.core", "sources.readers", False),
    ("output.writers", "products.results", True),
    ("guided.passes", "products.velocity", False),
    ("cli.command", "", False),
    ("run.pair", "errors", True),
])
def test_the_stage_order(importer, imported, allowed):
    assert (stage_of(imported) <= stage_of(importer)) is allowed


#: The engine's names: MatchingParams' fields and a record's status field.
ENGINE_NAMES = {"chipwidth_", "chipheight_", "hoffset_", "voffset_", "col_interval_", "row_interval_",
                "start_col_", "start_row_", "col_offset_", "row_offset_", "peakmethod_", "corrtype_",
                "mincorr_", "maxdiff_", "ref_cellsize_", "ref_xll_", "ref_yll_", "srch_cellsize_",
                "srch_xll_", "srch_yll_"}


def test_the_engines_names_stay_in_the_matching_stage():
    """Beyond matching (and the options, which build the engine's settings), settings are read as
    chip, margin, step, minimum strength (``matching.settings.Settings``) and statuses through
    ``status_of``, never by the engine's field names."""
    found = []
    for module in module_names():
        if module.split(".")[0] in ("matching", "options"):
            continue
        tree = ast.parse(_path(module, PACKAGE).read_text())
        for node in ast.walk(tree):
            if isinstance(node, ast.Attribute) and node.attr in ENGINE_NAMES:
                found.append(f"{module}:{node.lineno} .{node.attr}")
            elif (isinstance(node, ast.Subscript) and isinstance(node.slice, ast.Constant)
                  and node.slice.value == "active"):
                found.append(f"{module}:{node.lineno} ['active']")
    assert not found, "\n".join(found)
def test_the_command_starts_light_and_the_public_names_load_on_use():
    # The entry point installs its start-up signal handlers before NumPy, GDAL or the native
    # modules load; every public name still resolves, from the module it is documented in.
    code = ("import sys, talmek_track.cli, talmek_track as tt\n"
            "heavy = sorted(m for m in ('numpy', 'Talmek', 'rasterio', 'talmek_track.run') if m in sys.modules)\n"
            "names = [n for n in tt.__all__ if getattr(tt, n, None) is None]\n"
            "print(heavy, names, 'numpy' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["[]", "[]", "True"], done.stdout + done.stderr
    import talmek_track

    assert sorted(n for names in talmek_track._HOMES.values() for n in names) == sorted(talmek_track.__all__)
