"""Every benchmark script runs through its whole path on a tiny input (``--smoke``), so that a
change of the package that a script relies on fails here, not at the next benchmark run."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
#: What a script needs beyond the test extra; the peers of the bench extra (OpenCV, OpenPIV,
#: scikit-image) it leaves out by itself when they are missing.
NEEDS = {"bench_engine.py": "_talmek_testsupport", "bench_profile.py": "_talmek_testsupport"}


def scripts() -> list[str]:
    return sorted(p.name for p in BENCH.glob("bench_*.py"))


def test_every_script_is_run():
    # The helpers beside them (machine.py, compare.py, run_all.py) are no bench_ scripts.
    assert "bench_command.py" in scripts() and "machine.py" not in scripts()


@pytest.mark.parametrize("script", scripts())
def test_script_runs_on_a_tiny_input(script, tmp_path):
    if script in NEEDS:
        pytest.importorskip(NEEDS[script])
    if script == "bench_cache_model.py":
        compiler = os.environ.get("CXX", "g++")
        if shutil.which("valgrind") is None or shutil.which(compiler) is None:
            pytest.skip(f"the cache model needs valgrind and a C++ compiler ({compiler})")
    if script == "bench_scene.py" and not os.path.exists("/usr/bin/time"):
        pytest.skip("bench_scene.py measures through /usr/bin/time, which is not installed")
    if script in ("bench_dask.py", "bench_sources.py"):
        pytest.importorskip("distributed")
    env = {**os.environ, "MPLBACKEND": "Agg", "TMPDIR": str(tmp_path)}
    done = subprocess.run([sys.executable, str(BENCH / script), "--smoke"], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, f"{script} --smoke: exit status {done.returncode}\n{done.stdout[-3000:]}\n" \
                                 f"{done.stderr[-3000:]}"
    assert done.stdout.strip(), f"{script} --smoke printed nothing"
