"""The engine's fixed facts as the batch module hands them to Python: codes, limits, chip origin."""
import math
from fractions import Fraction

import numpy as np
import pytest

_batch = pytest.importorskip("talmek_track._batch")

I32 = np.iinfo(np.int32)


def test_status_codes_and_limits():
    assert _batch.STATUS == {"accepted": 1, "border": 2, "ambiguous": 3, "weak": 4, "too_far": 5,
                             "bad_chip_size": 204, "chip_outside": 205}
    limits = (_batch.REF_CHIP_MIN, _batch.REF_CHIP_MAX, _batch.SEARCH_CHIP_MIN, _batch.SEARCH_CHIP_MAX)
    assert limits == (1, 128, 48, 256) and all(type(v) is int for v in limits)


@pytest.mark.parametrize("size", [1, 2, 5, 48, 63, 128, 256])
def test_chip_origin_is_where_the_engine_cuts(engine, size):
    """Every admissible position of a chip of this size: the cut chip starts at chip_origin, and
    the first position past either edge is refused."""
    image = (np.arange(300 * 300) % 251).astype(np.uint8).reshape(300, 300)
    centres = np.arange(-2, 303)
    first = _batch.chip_origin(centres, size)
    assert first.dtype == np.int64 and first.shape == centres.shape
    for centre, f in zip(centres.tolist(), first.tolist()):
        status, chip = engine.extract_chip(image, centre, 150, size, size, 1, 256)
        if 0 <= f and f + size <= 300:
            assert status == engine.CHIP_OK
            fc = int(_batch.chip_origin(150, size))
            assert np.array_equal(chip, image[f:f + size, fc:fc + size])
        else:
            assert status == _batch.STATUS["chip_outside"]


def test_chip_origin_broadcasts_and_stays_exact_at_the_int32_ends():
    centres = np.array([[I32.min], [0], [I32.max]], dtype=np.int32)
    sizes = np.array([1, 2, 255], dtype=np.uint8)
    got = _batch.chip_origin(centres, sizes)
    # Truncated towards zero, not floored: odd sizes round negative origins up.
    want = [[math.trunc(Fraction(int(c)) - Fraction(int(s), 2) + 1) for s in sizes] for c in centres[:, 0]]
    assert got.shape == (3, 3) and got.tolist() == want
    assert _batch.chip_origin(7, 4).shape == ()


@pytest.mark.parametrize("centres, size, error", [
    (np.array([1.5]), 4, TypeError),
    ([1], np.array([4.0]), TypeError),
    (np.array([2**63], dtype=np.uint64), 4, TypeError),
    ([I32.max + 1], 4, ValueError),
    ([0], I32.min - 1, ValueError),
])
def test_chip_origin_refuses_what_the_engine_cannot_take(centres, size, error):
    with pytest.raises(error):
        _batch.chip_origin(centres, size)
