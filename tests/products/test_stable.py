"""The stable ground of a field without a mask: the pair's offset, not pulled by moving ice."""

import numpy as np
import pytest

from talmek_track.products.stable import stable_shift

OFFSET = (0.35, -0.25)


@pytest.mark.parametrize("ground, seed", [(0.5, 1), (0.6, 2), (0.8, 3)])
def test_moving_ice_does_not_pull_the_offset_of_the_slow_ground(ground, seed):
    rng = np.random.default_rng(seed)
    n = 4000
    rock = rng.random(n) < ground
    # Ice: speeds from rest up to 6 px, all flowing one way.
    speed = 6.0 * rng.random(n)
    dx = np.where(rock, OFFSET[0], OFFSET[0] + 0.8 * speed) + rng.normal(0.0, 0.1, n)
    dy = np.where(rock, OFFSET[1], OFFSET[1] + 0.6 * speed) + rng.normal(0.0, 0.1, n)
    shift = stable_shift(dx, dy, np.ones(n, bool), "slow")
    own = stable_shift(dx, dy, np.ones(n, bool), "mask", rock)
    assert shift.dx == pytest.approx(own.dx, abs=0.01) and shift.dy == pytest.approx(own.dy, abs=0.01)
    # The spread is the ground's noise, not that of a slice cut out of it.
    assert shift.spread_x == pytest.approx(0.1, rel=0.2) and shift.spread_y == pytest.approx(0.1, rel=0.2)
