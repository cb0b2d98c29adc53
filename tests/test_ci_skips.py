"""Absent test data skips locally, saying where the data belongs, and fails the run when CI is set;
under the project's pytest settings stray warnings and unexpected passes fail too."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

PROBE = """
import pytest

def test_vectors(case):
    pass

def test_dependency():
    pytest.importorskip("talmek_no_such_module")

def test_other_skip():
    pytest.skip("this processor does not run it")
"""

# A whole test file that needs a package.
MODULE_PROBE = """
import pytest

pytest.importorskip("talmek_no_such_module")

def test_nothing():
    pass
"""

# What the project's pytest settings turn into failures.
STRICT_PROBE = """
import warnings

import pytest

def test_stray_warning():
    warnings.warn("nobody expects this", UserWarning)

@pytest.mark.xfail(reason="known fault")
def test_unexpected_pass():
    pass
"""


@pytest.mark.parametrize("ci", [None, "true"])
def test_missing_data(tmp_path, ci):
    res, out = run_probe(tmp_path, ci, PROBE)
    if ci:
        assert res.returncode == 1, out
        assert "1 failed, 1 passed, 1 skipped, 1 error" in out, out
        assert out.count("CI is set, so this may not skip") == 2, out
    else:
        assert res.returncode == 0, out
        assert "1 passed, 3 skipped" in out, out
        assert str(tmp_path / "checkout" / "shared" / "conformance") not in out
        assert str(tmp_path / "shared" / "conformance") in out and "TALMEK_CONFORMANCE" in out, out


@pytest.mark.parametrize("ci", [None, "1"])
def test_missing_package_for_a_file(tmp_path, ci):
    res, out = run_probe(tmp_path, ci, MODULE_PROBE)
    if ci:
        assert res.returncode != 0 and "CI is set, so this may not skip" in out, out
    else:
        assert res.returncode == 0 and "1 passed, 1 skipped" in out, out


def test_stray_warnings_and_unexpected_passes_fail(tmp_path):
    res, out = run_probe(tmp_path, None, STRICT_PROBE)
    assert res.returncode == 1 and "2 failed, 1 passed" in out, out
    assert "UserWarning: nobody expects this" in out and "[XPASS(strict)] known fault" in out, out


def run_probe(tmp_path, ci, probe):
    # A checkout with no shared folder beside it, under the project's pytest settings.
    tests = tmp_path / "checkout" / "tests"
    tests.mkdir(parents=True)
    shutil.copy(HERE.parent / "pyproject.toml", tests.parent)
    for helper in HERE.glob("*.py"):  # conftest.py and the modules it imports, no tests
        if not helper.name.startswith("test_"):
            shutil.copy(helper, tests)
    (tests / "test_probe.py").write_text(probe)
    (tests / "test_plain.py").write_text("def test_plain():\n    pass\n")
    env = {k: v for k, v in os.environ.items() if k not in ("CI", "TALMEK_CONFORMANCE", "PYTEST_ADDOPTS")}
    if ci:
        env["CI"] = ci
    res = subprocess.run([sys.executable, "-m", "pytest", "-rs", "-p", "no:cacheprovider", str(tests)],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
    return res, res.stdout + res.stderr
