"""The engine's fast transform must agree with the plain one bit for bit."""
import numpy as np
import pytest


def random_grid(n, seed, scale):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-scale, scale, (n, n)) + 1j * rng.uniform(-scale, scale, (n, n))).astype(np.complex64)


@pytest.mark.parametrize("n", [1, 2, 64, 128, 256])
@pytest.mark.parametrize("sign", [1, -1])
@pytest.mark.parametrize("transposed", [False, True])
def test_fast_equals_plain(engine, n, sign, transposed):
    data = random_grid(n, seed=n + sign, scale=255.0)
    # With `transposed` the wrapper lays the data out transposed, as the correlation does.
    assert engine.fft2d_fast(data, sign, transposed).tobytes() == engine.fft2d(data, sign).tobytes()


def test_fast_equals_plain_on_padded_chip(engine):
    """Mostly zero input, as a chip padded to the grid: signs of zero results must agree too."""
    grid = np.zeros((64, 64), np.complex64)
    grid[:48, :40] = np.random.default_rng(1).integers(0, 256, (48, 40))
    for sign in (1, -1):
        assert engine.fft2d_fast(grid, sign).tobytes() == engine.fft2d(grid, sign).tobytes()
