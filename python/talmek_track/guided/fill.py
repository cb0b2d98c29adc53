"""Gaps of a vector grid filled from their neighbours.

A gap (NaN in either component) takes the mean of the valid vectors among its 8 neighbours. The
gaps that have at least one valid neighbour are filled together, then the next ring inwards from
what was just filled, and so on until no gap touches a vector: a hole closes from its rim towards
its middle, each filled value the mean of the ring outside it. Holes wider than ``max_rings``
rings stay (partly) open. Filled cells are reported, so that a product can flag them
(``interp_mask``); the records are never touched.
"""

from __future__ import annotations

import numpy as np

__all__ = ["fill_gaps"]

#: Without a limit a hole of any width is closed (a grid of one vector fills whole).
UNLIMITED = -1


def _neighbour_sum(grid: np.ndarray) -> np.ndarray:
    padded = np.pad(grid, 1)
    rows, cols = grid.shape
    total = np.zeros(grid.shape)
    for dr in (0, 1, 2):
        for dc in (0, 1, 2):
            if dr != 1 or dc != 1:
                total += padded[dr:dr + rows, dc:dc + cols]
    return total


def fill_gaps(dx: np.ndarray, dy: np.ndarray, *, max_rings: int = UNLIMITED
              ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The grids ``dx``, ``dy`` (NaN where no vector) with their gaps filled ring by ring from the
    neighbours' mean, and the mask of the cells filled. A grid without any vector stays empty."""
    dx = np.array(dx, np.float64)
    dy = np.array(dy, np.float64)
    if dx.shape != dy.shape or dx.ndim != 2:
        raise ValueError(f"dx and dy must be grids of one shape, got {dx.shape} and {dy.shape}")
    valid = np.isfinite(dx) & np.isfinite(dy)
    dx[~valid] = np.nan
    dy[~valid] = np.nan
    filled = np.zeros(valid.shape, bool)
    ring = 0
    while not valid.all() and valid.any() and (max_rings < 0 or ring < max_rings):
        weight = valid.astype(np.float64)
        count = _neighbour_sum(weight)
        todo = ~valid & (count > 0)
        sx = _neighbour_sum(np.where(valid, dx, 0.0))
        sy = _neighbour_sum(np.where(valid, dy, 0.0))
        dx[todo] = sx[todo] / count[todo]
        dy[todo] = sy[todo] / count[todo]
        valid |= todo
        filled |= todo
        ring += 1
    return dx, dy, filled
