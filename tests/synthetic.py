"""Synthetic ground with known motion, shared by the tests, the benchmarks and the README check.

terrain() is Gaussian-smoothed white noise built in the Fourier domain: a periodic field with
texture at every scale down to a few pixels, like ground seen from above, so that every chip has
something to match. Because the field is periodic, a phase ramp moves it by any amount exactly,
sub-pixel amounts included (shift(), shifted_pair()): content at (r, c) of the first image is at
(r + dy, c + dx) of the second, with no interpolation blur in either.

window_texture() is a cheaper texture for scenes larger than memory: any window of it can be made
on its own and equals the same window cut from the whole.

Not part of the package: the benchmarks and tools import it by path.
"""
from __future__ import annotations

import numpy as np

Seed = int | np.random.Generator


def _frequencies(shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray]:
    return np.fft.fftfreq(shape[0])[:, None], np.fft.fftfreq(shape[1])[None, :]


def terrain_spectrum(shape: tuple[int, int], seed: Seed = 1, sigma: float = 2.0) -> np.ndarray:
    """The Fourier transform of terrain(): white noise under a Gaussian of sigma pixels. seed is a
    number or a Generator, which this draws from."""
    rng = np.random.default_rng(seed)
    fy, fx = _frequencies(shape)
    return np.fft.fft2(rng.standard_normal(shape)) * np.exp(-2 * (np.pi * sigma) ** 2 * (fx**2 + fy**2))


def terrain(shape: tuple[int, int], seed: Seed = 1, sigma: float = 2.0) -> np.ndarray:
    """Periodic smoothed noise (float64, mean near 0) of the given shape."""
    return np.fft.ifft2(terrain_spectrum(shape, seed, sigma)).real


def phase_ramp(shape: tuple[int, int], dy: float, dx: float) -> np.ndarray:
    """The factor that moves a periodic field's spectrum by dy rows and dx columns."""
    fy, fx = _frequencies(shape)
    return np.exp(-2j * np.pi * (fx * dx + fy * dy))


def shift(field: np.ndarray, dy: float, dx: float) -> np.ndarray:
    """field moved dy rows down and dx columns right, exactly, as a periodic signal."""
    field = np.asarray(field, dtype=np.float64)
    return np.fft.ifft2(np.fft.fft2(field) * phase_ramp(field.shape, dy, dx)).real


def to_uint8(field: np.ndarray, mean: float, sd: float) -> np.ndarray:
    """field as grey values around 128, 40 grey levels per sd, clipped to 0..255."""
    return np.clip(np.rint(128 + 40 * (field - mean) / sd), 0, 255).astype(np.uint8)


def stretch(field: np.ndarray, low: float = 0, high: float = 255, dtype: type = np.uint8) -> np.ndarray:
    """field's whole range mapped onto low..high and rounded to dtype."""
    field = field - field.min()
    return np.round(low + field / field.max() * (high - low)).astype(dtype)


def shifted_pair(shape: tuple[int, int], dy: float = 0.0, dx: float = 0.0, seed: Seed = 1,
                 sigma: float = 2.0) -> tuple[np.ndarray, np.ndarray]:
    """terrain() and the same terrain moved by (dy, dx) pixels, both quantised to uint8 alike (by
    the first one's mean and spread)."""
    spectrum = terrain_spectrum(shape, seed, sigma)
    first = np.fft.ifft2(spectrum).real
    second = np.fft.ifft2(spectrum * phase_ramp(shape, dy, dx)).real
    mean, sd = first.mean(), first.std()
    return to_uint8(first, mean, sd), to_uint8(second, mean, sd)


def textured(rows: int, cols: int, seed: Seed = 3, sigma: float = 2.0) -> np.ndarray:
    """A uint8 terrain over the whole 0..255 range."""
    return stretch(terrain((rows, cols), seed, sigma))


def window_texture(rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """Smoothed noise in 0..1 (float32) at the given global rows and columns (consecutive ranges),
    the same wherever a window is cut: each pixel's noise is a hash of its position, averaged over
    3 x 3 pixels."""
    r = np.arange(rows[0] - 1, rows[-1] + 2, dtype=np.uint64)[:, None]
    c = np.arange(cols[0] - 1, cols[-1] + 2, dtype=np.uint64)[None, :]
    with np.errstate(over="ignore"):
        h = (r * np.uint64(0x9E3779B97F4A7C15)) ^ (c * np.uint64(0xC2B2AE3D27D4EB4F))
        h ^= h >> np.uint64(29)
        h *= np.uint64(0xBF58476D1CE4E5B9)
        h ^= h >> np.uint64(32)
    noise = (h >> np.uint64(40)).astype(np.float32) / float(1 << 24)
    smooth = sum(noise[i:i + len(rows), j:j + len(cols)] for i in range(3) for j in range(3))
    return smooth / 9.0
