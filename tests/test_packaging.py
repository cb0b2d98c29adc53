"""What users install: the default wheel carries no test-only module and no test-only code, CI builds
and tries the wheel with the build tools of .venv, and the README check runs every command the
README shows."""
import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
spec = importlib.util.spec_from_file_location("check_readme", ROOT / "tools" / "check_readme.py")
check_readme = sys.modules["check_readme"] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_readme)
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


def test_builds_use_the_cmake_and_ninja_of_the_venv():
    """make test builds with the CMake and Ninja that tools/requirements.py build installs into
    .venv, never with whatever the machine has on PATH."""
    wanted = subprocess.run([sys.executable, str(ROOT / "tools" / "requirements.py"), "build"], capture_output=True,
                            text=True, check=True).stdout.split()
    assert {"cmake", "ninja"} <= {re.split(r"[<>=!~ ]", w)[0] for w in wanted}
    cache = ROOT / "build" / "dev" / "CMakeCache.txt"
    if sys.prefix == sys.base_prefix or not cache.exists():
        pytest.skip("needs the development build of make test, run from its .venv")
    entries = dict(re.findall(r"^(CMAKE_COMMAND|CMAKE_MAKE_PROGRAM):\w+=(.*)$", cache.read_text(), re.M))
    venv = Path(sys.prefix).resolve()
    for name in ("CMAKE_COMMAND", "CMAKE_MAKE_PROGRAM"):
        assert venv in Path(entries[name]).resolve().parents, (name, entries[name])


@pytest.mark.parametrize("failing, status", [(None, 0), ("wheel", 1), ("test", 1)])
def test_ci_runs_the_wheel_build_and_the_tests(tmp_path, failing, status):
    """.ci/run runs make wheel and make test (with the default wheel's check) whatever the other
    one did, and fails when either fails."""
    log = tmp_path / "calls"
    fake = tmp_path / "bin" / "make"
    fake.parent.mkdir()
    fake.write_text(f'#!/bin/sh\necho "$* TALMEK_WHEEL_TEST=$TALMEK_WHEEL_TEST" >> {log}\n'
                    f'[ "$1" != "{failing}" ]\n')
    fake.chmod(0o755)
    env = {**os.environ, "PATH": f"{fake.parent}:{os.environ['PATH']}"}
    env.pop("TALMEK_WHEEL_TEST", None)
    res = subprocess.run(["bash", str(ROOT / ".ci" / "run")], capture_output=True, text=True, env=env, timeout=60)
    assert res.returncode == status, res.stdout + res.stderr
    calls = log.read_text().splitlines()
    assert calls[0].startswith("wheel ") and calls[1] == "test TALMEK_WHEEL_TEST=1", calls


README = """
```sh
talmek-track a.tif b.tif --chip 32 \\
    --format csv,tif -o out   # a comment
talmek-track --step=8 -o out a.png b.png --dask
talmek-track stack scenes/*.tif -o series/ --pairs all --max-days 60 --no-plot
```

```python
talmek-track not.tif a.command.tif -o nothing
```

```
talmek-track x.tif y.tif --stable mask.tif -o z
```
"""


def test_readme_check_reads_every_shell_command():
    lines = check_readme.commands(README)
    parsed = [check_readme.parse(shlex.split(line, comments=True)[1:]) for line in lines]
    assert [(c.stack, c.images) for c in parsed] == [
        (False, ["a.tif", "b.tif"]), (False, ["a.png", "b.png"]), (True, ["scenes/*.tif"]), (False, ["x.tif", "y.tif"])]
    assert parsed[0].options == {"--chip": "32", "--format": "csv,tif", "-o": "out"}
    assert parsed[1].options == {"--step": "8", "-o": "out", "--dask": True}
    assert parsed[2].options == {"-o": "series/", "--pairs": "all", "--max-days": "60", "--no-plot": True}
    assert parsed[3].options["--stable"] == "mask.tif"


def test_readme_check_writes_a_dated_stack(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    command = check_readme.parse(["stack", "scenes/*.tif", "-o", "series/", "--max-days", "60"])
    image = np.arange(40 * 50, dtype=np.uint8).reshape(40, 50)
    check_readme.write_inputs(tmp_path, command, image)
    args = check_readme.expand(["stack", "scenes/*.tif", "-o", "series/"], tmp_path)
    names = [f"scenes/scene_{k}.tif" for k in range(check_readme.STACK_SIZE)]
    assert args == ["stack", *names, "-o", "series/"]
    dates = []
    for k, name in enumerate(names):
        with rasterio.open(tmp_path / name) as ds:
            assert (ds.read(1) == np.roll(image, (2 * k, 3 * k), axis=(0, 1))).all()
            dates.append(ds.tags()["ACQUISITION_DATE"])
    assert dates == ["2024-07-01", "2024-07-11", "2024-07-21"]
