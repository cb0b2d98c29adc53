"""What users install: the default wheel carries no test-only module and no test-only code."""
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# Code that only the test suite's private module may hold: the plain transform it checks the fast
# one against.
TEST_ONLY = ("fft2d", "is_power_of_two")


@pytest.fixture(scope="module")
def default_wheel(tmp_path_factory):
    """TALMEK_WHEEL names a wheel to inspect; TALMEK_WHEEL_TEST=1 builds one with the defaults
    (minutes the first time; build/wheel-default is kept for the next run)."""
    if given := os.environ.get("TALMEK_WHEEL"):
        return Path(given)
    if os.environ.get("TALMEK_WHEEL_TEST") != "1":
        pytest.skip("builds a wheel: set TALMEK_WHEEL_TEST=1, or TALMEK_WHEEL to a built one")
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation", "-q",
                    "-Cbuild-dir=build/wheel-default", "-w", str(out)], cwd=ROOT, check=True, timeout=1800)
    (wheel,) = out.glob("talmek-*.whl")
    return wheel


def test_default_wheel_holds_no_test_module(default_wheel):
    names = zipfile.ZipFile(default_wheel).namelist()
    assert any(n.startswith("Talmek.") and n.endswith(".so") for n in names)
    assert any(n.startswith("talmek_track/_batch.") for n in names)
    assert not [n for n in names if "testsupport" in n]


@pytest.mark.skipif(not shutil.which("nm"), reason="needs nm")
@pytest.mark.parametrize("build", ["dev", "wheel-default"])
def test_engine_library_holds_no_test_only_code(build, request):
    """The modules are stripped, so the library that every module links is inspected instead: the
    development install's (make test) and, when it was built here, the default wheel's."""
    if build == "wheel-default":
        request.getfixturevalue("default_wheel")
    library = ROOT / "build" / build / "libtalmek_engine.a"
    if not library.exists():
        pytest.skip(f"{library} not built")
    symbols = subprocess.run(["nm", "-C", "--defined-only", str(library)], capture_output=True, text=True,
                             check=True).stdout
    assert "talmek::SplitGrid::transform" in symbols  # the listing is readable
    assert not [s for s in symbols.splitlines() if any(f"talmek::{name}(" in s for name in TEST_ONLY)]
    # The convenience forms without a kept workspace were only ever called by tests.
    calls = [s for s in symbols.splitlines() if "talmek::correlate_" in s]
    assert calls and all("&)" in s and ("Workspace" in s or "SplitGrid" in s) for s in calls)
