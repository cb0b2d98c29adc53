"""The normalised median test for spurious vectors of a grid (Westerweel and Scarano, 2005).

For each vector U0 the median Um of its valid neighbours in the 3 x 3 block around it is taken,
then the median rm of the neighbours' own residuals |Ui - Um|. The vector's normalised residual is
|U0 - Um| / (rm + eps), per component; a vector whose two components' residuals, combined as
sqrt(rx^2 + ry^2), exceed the threshold is an outlier. eps (0.1 pixel) stands for the noise level
of the matches, so that a nearly uniform field does not flag vectors for differences of a few
hundredths of a pixel. Vectors with fewer than ``min_neighbours`` valid neighbours are left alone.
Beyond the border of the field the neighbours are continued linearly (see ``_neighbours``), so
that the test does not mistake a steady gradient for an outlier there.
"""

from __future__ import annotations

import warnings

import numpy as np

from talmek_track.options.values import FILTERS

__all__ = ["FILTERS", "median_test"]

THRESHOLD = 2.0
EPSILON = 0.1
MIN_NEIGHBOURS = 3


def _neighbours(grid: np.ndarray, extend: bool = False) -> np.ndarray:
    """The 8 neighbours of every cell as a (8, rows, cols) stack. Beyond the grid they are NaN or,
    with ``extend``, continued linearly from the second and third row (column) inside, so that a
    cell on the border is not judged against neighbours on one side only. (On a steady gradient a
    one-sided median differs from the cell by a grid step's worth of the gradient, which the
    test would take for an outlier.) The continuation never uses the border cell itself."""
    rows, cols = grid.shape
    padded = np.full((rows + 2, cols + 2), np.nan)
    padded[1:-1, 1:-1] = grid
    if extend and rows >= 3 and cols >= 3:
        padded[1:-1, 0] = 3 * padded[1:-1, 2] - 2 * padded[1:-1, 3]
        padded[1:-1, -1] = 3 * padded[1:-1, -3] - 2 * padded[1:-1, -4]
        padded[0, :] = 3 * padded[2, :] - 2 * padded[3, :]
        padded[-1, :] = 3 * padded[-3, :] - 2 * padded[-4, :]
    return np.stack([padded[1 + i:1 + i + rows, 1 + j:1 + j + cols]
                     for i in (-1, 0, 1) for j in (-1, 0, 1) if (i, j) != (0, 0)])


def _residual(u: np.ndarray, eps: float) -> np.ndarray:
    near = _neighbours(u, extend=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN neighbourhoods give NaN
        um = np.nanmedian(near, axis=0)
        rm = np.nanmedian(np.abs(near - um), axis=0)
    residual: np.ndarray = np.abs(u - um) / (rm + eps)
    return residual


def median_test(dx: np.ndarray, dy: np.ndarray, *, threshold: float = THRESHOLD,
                eps: float = EPSILON, min_neighbours: int = MIN_NEIGHBOURS) -> np.ndarray:
    """True for each vector of the grids ``dx``, ``dy`` (pixels, NaN where no vector) that the
    normalised median test rejects. Only cells holding a vector can be outliers."""
    dx = np.asarray(dx, np.float64)
    dy = np.asarray(dy, np.float64)
    if dx.shape != dy.shape or dx.ndim != 2:
        raise ValueError(f"dx and dy must be grids of one shape, got {dx.shape} and {dy.shape}")
    if not threshold > 0 or not eps > 0:
        raise ValueError("threshold and eps must be positive")
    valid = np.isfinite(dx) & np.isfinite(dy)
    found: np.ndarray = np.zeros(valid.shape, bool)
    if not valid.any():
        return found
    # The border of the field is that of the rows and columns holding vectors: a grid that
    # overhangs the image ends in whole rows or columns without any.
    rows, cols = np.flatnonzero(valid.any(axis=1)), np.flatnonzero(valid.any(axis=0))
    box = (slice(rows[0], rows[-1] + 1), slice(cols[0], cols[-1] + 1))
    valid = valid[box]
    u, v = np.where(valid, dx[box], np.nan), np.where(valid, dy[box], np.nan)
    enough = (_neighbours(valid.astype(np.float64)) == 1.0).sum(axis=0) >= min_neighbours
    with np.errstate(invalid="ignore"):
        r = np.hypot(_residual(u, eps), _residual(v, eps))
        found[box] = valid & enough & (r > threshold)
    return found
