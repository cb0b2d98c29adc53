"""The engine's fast transform must agree with the plain one bit for bit."""
import numpy as np
import pytest

from support import same_bits


def random_grid(n, seed, scale):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-scale, scale, (n, n)) + 1j * rng.uniform(-scale, scale, (n, n))).astype(np.complex64)


@pytest.mark.parametrize("n", [1, 2, 64, 128, 256])
@pytest.mark.parametrize("sign", [1, -1])
@pytest.mark.parametrize("transposed", [False, True])
def test_fast_equals_plain(engine, n, sign, transposed):
    data = random_grid(n, seed=n + sign, scale=255.0)
    # With `transposed` the wrapper lays the data out transposed, as the correlation does.
    assert same_bits(engine.fft2d_fast(data, sign, transposed), engine.fft2d(data, sign))


@pytest.mark.parametrize("n, rows, cols", [(64, 48, 40), (64, 32, 32), (256, 168, 168), (256, 128, 100), (64, 20, 60)])
def test_pruned_transforms_equal_plain(engine, n, rows, cols):
    """Padding left out of the forward transforms, unread outputs out of the inverse: what is read
    stays bit for bit the same."""
    grid = np.zeros((n, n), np.complex64)
    chip = np.random.default_rng(rows + cols).integers(0, 256, (rows, cols))
    grid[:cols, :rows] = chip.T  # the chip laid in transposed, as the correlation does
    plain = engine.fft2d(grid, 1)
    forward = engine.fft2d_fast(grid, 1, True, first=[cols, rows, n], second=[n, cols, n])
    assert same_bits(forward, plain)

    product = (plain[..., 0] + 1j * plain[..., 1]).astype(np.complex64)
    want_b, want_a = n - rows + 1, n - cols + 1
    inverse = engine.fft2d_fast(product, -1, first=[n, n, want_b], second=[want_b, n, want_a])
    assert same_bits(inverse[:want_a, :want_b], engine.fft2d(product, -1)[:want_a, :want_b])


def test_padding_beside_negative_zero(engine):
    """A row paired with padding keeps -0 where the butterfly keeps it and loses it where the
    butterfly adds +0."""
    grid = np.zeros((8, 8), np.complex64)
    grid[:3, :3] = -0.0
    grid[2, 1] = 5.0
    plain = engine.fft2d(grid, 1)
    fast = engine.fft2d_fast(grid, 1, True, first=[3, 3, 8], second=[8, 3, 8])
    assert same_bits(fast, plain)


@pytest.mark.parametrize("kernel", ["baseline", "avx2", "avx512"])
@pytest.mark.parametrize("n", [64, 256])
def test_every_kernel_build_gives_the_same_bits(engine, kernel, n):
    if not engine.kernel_supported(kernel):
        pytest.skip(f"this processor does not run the {kernel} build")
    data = random_grid(n, seed=7, scale=255.0)
    for sign in (1, -1):
        assert same_bits(engine.fft2d_fast(data, sign, kernel=kernel), engine.fft2d(data, sign))
