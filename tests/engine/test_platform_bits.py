"""The engine's own logarithm and twiddle sines: the same bits whatever the C library gives."""
import hashlib
import math
import platform
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
try:
    import twiddle_sines
except ImportError:  # tests run without the source tree's tools
    twiddle_sines = None

TURN = 6.28318530717959
# SHA-256 of log_float's results on sample_floats(), as glibc's logf gives them on x86-64.
LOG_SAMPLE_DIGEST = "305ccc1bacdfcdb8e341c15ec940bf3ced6da78bab4a89c998686e0ab194c574"


def sample_floats():
    """Four million floats >= 1: a million in a row from 1 up, three million spread evenly (with a
    stride prime to the span) over every float up to the largest finite one, infinity and NaN."""
    first, last = 0x3F800000, 0x7F7FFFFF
    span = np.uint64(last - first + 1)
    spread = (np.arange(3_000_000, dtype=np.uint64) * np.uint64(2_654_435_761)) % span + np.uint64(first)
    run = np.arange(first, first + 1_000_000, dtype=np.uint64)
    special = np.array([0x7F800000, 0x7FC00000], dtype=np.uint64)
    return np.concatenate([run, spread, special]).astype(np.uint32).view(np.float32)


def glibc_x86_64():
    return platform.machine().lower() in ("x86_64", "amd64") and platform.libc_ver()[0] == "glibc"


def test_log_float_gives_the_recorded_values(engine):
    got = engine.log_float(sample_floats())
    assert hashlib.sha256(got.tobytes()).hexdigest() == LOG_SAMPLE_DIGEST


@pytest.mark.skipif(not glibc_x86_64(), reason="the reference values are glibc's on x86-64")
def test_log_float_equals_glibc_logf(engine):
    x = sample_floats()
    got, want = engine.log_float(x), engine.platform_logf(x)
    differ = np.flatnonzero((got.view(np.uint32) != want.view(np.uint32)) & ~(np.isnan(got) & np.isnan(want)))
    assert differ.size == 0, f"{differ.size} differences, first at {float(x[differ[0]]).hex()}"


def test_log_float_special_arguments(engine):
    x = np.array([1.0, 0.0, -0.0, -1.0, np.inf, -np.inf, np.nan, 1e-45, 2.0], dtype=np.float32)
    got = engine.log_float(x)
    assert got[0] == 0.0 and not math.copysign(1.0, got[0]) < 0
    assert got[1] == got[2] == -np.inf
    assert np.isnan(got[3]) and got[4] == np.inf and np.isnan(got[5]) and np.isnan(got[6])
    assert got[7] == np.float32(-103.27893)  # the smallest subnormal
    assert got[8] == np.float32(math.log(2.0))


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


@pytest.mark.parametrize("sign", [1, -1])
def test_twiddle_sines_are_correctly_rounded_by_either_path(engine, sign):
    """Through the C library's sine and through the stored values (forced by a sine that is always
    one unit off), every transform angle gives the correctly rounded sine."""
    count = engine.twiddle_sine_count()
    assert count >= 31  # every angle of a transform with extents up to 2^30, halved
    for j in range(1, count + 1):
        theta = sign * TURN / 2.0**j
        want = sign * engine.stored_twiddle_sine(j)
        assert bits(engine.twiddle_sine(theta)) == bits(want), j
        assert bits(engine.twiddle_sine(theta, faulty_platform=True)) == bits(want), j


def test_other_angles_take_the_library_sine(engine):
    assert engine.twiddle_sine(0.1, faulty_platform=True) == math.nextafter(math.sin(0.1), 2.0)
    assert engine.twiddle_sine(TURN / 3.0) == math.sin(TURN / 3.0)


@pytest.mark.skipif(twiddle_sines is None, reason="tools/twiddle_sines.py not found")
def test_stored_sines_match_a_fresh_derivation(engine):
    """The committed table is what the generator derives in decimal arithmetic."""
    stored = [engine.stored_twiddle_sine(j) for j in range(1, engine.twiddle_sine_count() + 1)]
    assert len(stored) == twiddle_sines.COUNT
    assert [bits(s) for s in stored] == [bits(s) for _, _, s in twiddle_sines.table()]
