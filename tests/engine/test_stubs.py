"""The installed type stubs: mypy resolves `import Talmek` through them and reports misuse."""
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

CLEAN = """
    import pickle

    import numpy as np
    import Talmek

    image = np.zeros((64, 64), np.uint8)
    params = Talmek.MatchingParams()
    params.chipwidth_ = params.chipheight_ = 16
    params.hoffset_ = 8
    params.mincorr_ = 3
    params.srch_xll_ = 2.5
    seg: Talmek.LineSeg = Talmek.SelectedMatch(image, image, (32, 32), [np.int32(32), 33], params)
    status: int = seg.active
    coords: list[float] = [seg.x1, seg.y1, seg.x2, seg.y2, seg.get_length(), seg.strength, seg.rms_1]
    seg.set_coors(0.0, 0.0, 3, 4)
    copy = pickle.loads(pickle.dumps(seg))
    version: str = Talmek.__version__ + Talmek.version
    Talmek.SelectedMatch(image1=[[0]], image2=image, row=bytearray(b"ab"), col=range(2), params=params)
"""

# Each line marked "# E" must be reported, and no other.
PLANTED = """
    import numpy as np
    import Talmek

    image = np.zeros((64, 64), np.uint8)
    params = Talmek.MatchingParams()
    params.chipwidth_ = 32.5  # E float into an int setting
    params.mincorr_ = "high"  # E
    seg = Talmek.SelectedMatch(image, image, [10, 12], [1.5, 2.0], params)  # E float points
    Talmek.SelectedMatch(image, image, {10, 12}, [1, 2], params)  # E a set is not a sequence
    Talmek.SelectedMatch(image, image, [10, 12], [1, 2])  # E params missing
    Talmek.SelectedMatch(image, image, [10, 12], [1, 2], seg)  # E
    text: str = seg.active  # E
    seg.x3  # E no such field
    seg.set_coors(1.0, 2.0)  # E
    Talmek.LineSeg(1)  # E
    Talmek.selectedmatch  # E
"""


def mypy(tmp_path, source):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    # Run from an empty folder so that no project configuration applies, against this interpreter's
    # site-packages, where the stubs are installed.
    res = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--config-file=",
                          "--python-executable", sys.executable, "--show-error-codes", script.name],
                         capture_output=True, text=True, cwd=tmp_path, timeout=300)
    errors = {int(m.group(1)) for m in re.finditer(r"^script\.py:(\d+): error:", res.stdout, re.M)}
    return res, errors


def test_clean_script_passes(tmp_path):
    res, errors = mypy(tmp_path, CLEAN)
    assert res.returncode == 0 and not errors, res.stdout + res.stderr


def test_planted_errors_reported(tmp_path):
    res, errors = mypy(tmp_path, PLANTED)
    lines = textwrap.dedent(PLANTED).splitlines()
    planted = {n for n, line in enumerate(lines, 1) if "# E" in line}
    assert errors == planted, res.stdout
    assert "import-not-found" not in res.stdout and "import-untyped" not in res.stdout, res.stdout
