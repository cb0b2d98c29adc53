"""Import behaviour of the Talmek extension: attributes, caching, and the refusals at load time."""

import ctypes
import glob
import json
import os
import shutil
import subprocess
import sys
import textwrap
import types
from importlib.metadata import version

import pytest

# The version is written once, in pyproject.toml; the module has it from the build.
VERSION = version("talmek")
# Set by the import machinery before the module body runs.
MACHINERY = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
BODY = ["SelectedMatch", "LineSeg", "MatchingParams", "__version__", "version"]


def _run(code, *, python=sys.executable, cwd=None, pythonpath=None):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    return subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=120)


def test_attributes(talmek):
    # __doc__ already exists (as None) when the module object is created, so the body's
    # assignment keeps its early place; everything else follows in registration order.
    assert list(vars(talmek)) == MACHINERY + BODY
    assert callable(talmek.SelectedMatch)
    for cls in (talmek.LineSeg, talmek.MatchingParams):
        assert isinstance(cls, type) and cls.__module__ == "Talmek" and cls.__doc__ is None
    doc = talmek.__doc__
    assert type(doc) is str and doc.strip() and "\n" not in doc
    assert type(talmek.__version__) is str and type(talmek.version) is str
    assert talmek.__version__ == talmek.version == VERSION
    assert talmek.__version__ is not talmek.version


@pytest.mark.parametrize("how", ["reimport", "reload"])
def test_second_import_reuses_module(talmek, how):
    import importlib

    classes = (talmek.SelectedMatch, talmek.LineSeg, talmek.MatchingParams)
    saved = sys.modules.pop("Talmek") if how == "reimport" else None
    try:
        again = importlib.import_module("Talmek") if saved else importlib.reload(talmek)
    finally:
        if saved is not None:
            sys.modules["Talmek"] = saved
    assert again is talmek
    assert (again.SelectedMatch, again.LineSeg, again.MatchingParams) == classes
    assert list(vars(again)) == MACHINERY + BODY


def test_subinterpreter_refused(talmek):
    res = _run("""
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import Talmek")
        except interpreters.RunFailedError as exc:
            print(exc)
        else:
            print("imported")
        interpreters.destroy(sub)
        import Talmek
        print(Talmek.version)
    """, pythonpath=os.path.dirname(talmek.__file__))
    assert res.returncode == 0, res.stderr
    refusal, main_import = res.stdout.splitlines()
    assert "ImportError" in refusal and "does not support loading in subinterpreters" in refusal
    assert main_import == VERSION


def _other_python(minor):
    roots = [os.environ.get("PYENV_ROOT", "")]
    try:
        roots.append(subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                                    timeout=30).stdout.strip())
    except OSError:
        pass
    exe = f"python{minor}"
    for root in filter(None, roots):
        found = sorted(glob.glob(os.path.join(root, "versions", f"{minor}.*", "bin", exe)))
        if found:
            return found[-1]
    return shutil.which(exe)


@pytest.mark.parametrize("minor", ["3.11", "3.13"])
def test_other_python_version_refused(talmek, tmp_path, minor):
    python = _other_python(minor)
    if python is None:
        pytest.skip(f"no python{minor} found")
    shutil.copy(talmek.__file__, tmp_path / "Talmek.so")
    # Newer interpreters no longer export some private symbols the module links against; lazy
    # binding lets the loader reach the entry point so that its own version check answers.
    res = _run(f"""
        import json, os, sys
        sys.setdlopenflags(os.RTLD_LAZY)
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import Talmek
            error = None
        except ImportError as exc:
            error = str(exc)
        print(json.dumps([error, sys.version]))
    """, python=python, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    error, version = json.loads(res.stdout)
    assert error == ("Python version mismatch: module was compiled for Python 3.12, but the "
                     f"interpreter version is incompatible: {version}.")


# The module definition as the entry point hands it to the interpreter.
class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class _ModuleDef(ctypes.Structure):
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
                ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t),
                ("m_copy", ctypes.c_void_p), ("m_name", ctypes.c_char_p),
                ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(_Slot)),
                ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p),
                ("m_free", ctypes.c_void_p)]


@pytest.fixture(scope="module")
def moddef(talmek):
    entry = ctypes.PyDLL(talmek.__file__).PyInit_Talmek
    entry.restype = ctypes.c_void_p
    first = entry()
    assert entry() == first  # one static definition, reused
    definition = _ModuleDef.from_address(first)
    slots = []
    while True:
        slot = definition.m_slots[len(slots)]
        slots.append((slot.slot, slot.value))
        if slot.slot == 0:
            break
    create = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(slots[0][1])
    execute = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slots[1][1])
    return types.SimpleNamespace(d=definition, slots=slots, create=create, execute=execute)


def test_module_definition(moddef):
    d = moddef.d
    assert (d.m_name, d.m_doc, d.m_size, d.m_methods) == (b"Talmek", None, 0, None)
    assert (d.m_traverse, d.m_clear, d.m_free) == (None, None, None)
    assert [s for s, _ in moddef.slots] == [1, 2, 3, 0]
    create, execute, multi, end = (v for _, v in moddef.slots)
    assert create and execute and multi is None and end is None


@pytest.mark.parametrize("spec", [types.SimpleNamespace(name=None), types.SimpleNamespace()],
                         ids=["name-None", "no-name"])
def test_create_needs_spec_name(moddef, spec):
    with pytest.raises(ImportError, match="^module spec is missing a name$"):
        moddef.create(spec, None)


def test_create_and_exec_steps(moddef, talmek):
    assert moddef.create(types.SimpleNamespace(name="Talmek"), None) is talmek
    fresh = moddef.create(types.SimpleNamespace(name="Talmek_probe"), None)
    assert type(fresh) is types.ModuleType and fresh.__name__ == "Talmek_probe"
    assert "LineSeg" not in vars(fresh)
    # No spec to name it: a Python error, reported with its cause.
    with pytest.raises(ImportError, match="^initialization failed$") as info:
        moddef.execute(fresh)
    assert isinstance(info.value.__cause__, AttributeError)
    # A name already initialised in this interpreter: the body does not run again.
    fresh.__spec__ = types.SimpleNamespace(name="Talmek")
    assert moddef.execute(fresh) == 0
    assert "LineSeg" not in vars(fresh)
    # A new name runs the body, which cannot register the classes twice: the native
    # exception's own text becomes the ImportError.
    fresh.__spec__ = types.SimpleNamespace(name="Talmek_probe")
    with pytest.raises(ImportError, match='type "LineSeg" is already registered'):
        moddef.execute(fresh)
    assert talmek.LineSeg().get_length() == 0.0
