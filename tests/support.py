"""What many tests share: image makers and exact comparisons."""
from __future__ import annotations

import numpy as np

import synthetic


def same_bits(a, b) -> bool:
    """Equal as stored numbers: the same type and shape, every float with the same bits (so 0.0
    and -0.0 differ) except that any NaN equals any NaN. Structured arrays compare field by field."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.names:
        return all(same_bits(a[name], b[name]) for name in a.dtype.names)
    if a.dtype.kind == "c":
        return same_bits(a.real, b.real) and same_bits(a.imag, b.imag)
    if a.dtype.kind != "f":
        return bool(np.array_equal(a, b))
    nan = np.isnan(a)
    if not np.array_equal(nan, np.isnan(b)):
        return False
    as_int = np.dtype(f"u{a.dtype.itemsize}")
    return bool(np.array_equal(a[~nan].view(as_int), b[~nan].view(as_int)))


def textured(rows: int, cols: int, seed: int = 4) -> np.ndarray:
    """A uint8 image of smoothed noise over the whole 0..255 range: every chip has texture."""
    return synthetic.textured(rows, cols, seed)
