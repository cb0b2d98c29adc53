"""The synthetic ground that tests and benchmarks measure against moves exactly as it claims."""
import numpy as np
import pytest

import synthetic


@pytest.mark.parametrize("dy, dx", [(3, -2), (-7, 11), (0.5, -0.25), (1.3, -2.6)])
def test_shift_is_exact(dy, dx):
    ground = synthetic.terrain((96, 80), seed=2)
    moved = synthetic.shift(ground, dy, dx)
    # Two moves of half the amount land where one whole move does; whole pixels equal a roll. (Only
    # the Nyquist terms, about 1e-9 of the field, cannot move by half pixels.)
    half = synthetic.shift(synthetic.shift(ground, dy / 2, dx / 2), dy / 2, dx / 2)
    assert np.allclose(half, moved, atol=1e-8)
    assert np.allclose(synthetic.shift(moved, -dy, -dx), ground, atol=1e-8)
    if float(dy).is_integer() and float(dx).is_integer():
        assert np.allclose(moved, np.roll(ground, (dy, dx), axis=(0, 1)), atol=1e-12)


def test_shifted_pair_quantises_both_images_alike():
    first, second = synthetic.shifted_pair((64, 72), 4, -5, seed=3)
    assert first.dtype == second.dtype == np.uint8 and first.shape == (64, 72)
    # A whole-pixel move leaves every value as it was, a rounding tie aside.
    assert np.mean(second == np.roll(first, (4, -5), axis=(0, 1))) > 0.999
    assert 100 < first.mean() < 156 and first.std() > 30


def test_window_texture_equals_the_same_window_of_the_whole():
    whole = synthetic.window_texture(np.arange(100, 140), np.arange(7, 57))
    part = synthetic.window_texture(np.arange(120, 131), np.arange(30, 50))
    assert np.array_equal(part, whole[20:31, 23:43])
    assert 0 <= whole.min() and whole.max() <= 1
