"""The displacement of stable ground: the offset between the two images' georeferences that every
vector carries, and the spread left after removing it.

Stable ground (rock, roads, buildings) does not move, so the median of its vectors is the
co-registration offset of the pair, and the spread around that median the error that the images
(not the fit) add. ``stable_shift`` measures both over the accepted vectors that a stable-ground
mask marks (``mask``), or, where no mask exists (``slow``), over the vectors of the field's
slowest dense cluster: stable ground is where many vectors agree on one small displacement, the
ice moves by different amounts from point to point (``slow_ground``).
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

__all__ = ["MIN_STABLE", "SLOW_SHARE", "STABLE_METHODS", "StableShift", "stable_shift"]

#: none: no correction; mask: the stable-ground mask's vectors; slow: the slowest accepted vectors.
STABLE_METHODS = ("none", "mask", "slow")
#: A shift needs at least this many stable vectors; with fewer none is removed.
MIN_STABLE = 10
#: ``slow`` looks for the stable ground among this share of the accepted vectors, the slowest first.
SLOW_SHARE = 0.25
#: ``slow`` keeps the vectors within this many standard deviations of the stable cluster's centre.
SLOW_SIGMAS = 3.0
#: The histogram bin, in pixels, that finds the densest displacement among the slowest vectors.
SLOW_BIN = 0.05
#: The least spread, in pixels, that the cluster's window is drawn with.
SLOW_LEAST_SPREAD = 0.01
#: The median absolute deviation times this is the standard deviation of a normal distribution.
MAD_TO_SIGMA = 1.4826


@dataclass(frozen=True)
class StableShift:
    """The median displacement of the stable vectors and their spread around it, in pixels
    (``dx`` columns to the right, ``dy`` rows downwards, as the vectors' dx and dy)."""

    method: str
    count: int
    dx: float
    dy: float
    spread_x: float
    spread_y: float

    @property
    def standard_error(self) -> tuple[float, float]:
        """The uncertainty of the median itself (about 1.25 sigma / sqrt(n))."""
        k = 1.2533 / np.sqrt(self.count)
        return float(self.spread_x * k), float(self.spread_y * k)


def selection(dx: np.ndarray, dy: np.ndarray, good: np.ndarray, method: str,
              on_stable: np.ndarray | None) -> np.ndarray:
    """Which vectors count as stable ground: accepted (``good``) and on the mask, or the
    slowest ``SLOW_SHARE`` of the accepted ones."""
    use = good & np.isfinite(dx) & np.isfinite(dy)
    if method == "mask":
        if on_stable is None:
            raise ValueError("the mask method needs a stable-ground mask")
        result: np.ndarray = use & on_stable
        return result
    if method == "slow":
        return slow_ground(dx, dy, use)
    raise ValueError(f"unknown stable-ground method {method!r}; expected mask or slow")


def _spread(values: np.ndarray, centre: float) -> float:
    return max(MAD_TO_SIGMA * float(np.median(np.abs(values - centre))), SLOW_LEAST_SPREAD)


def slow_ground(dx: np.ndarray, dy: np.ndarray, use: np.ndarray) -> np.ndarray:
    """The vectors (among ``use``) of the stable ground of a field without a mask.

    The slowest ``SLOW_SHARE`` of the vectors are only where to look: by themselves they hold the
    slow ice as well, and those nearest zero displacement, not nearest the pair's offset, so their
    median is pulled towards zero and their spread is too narrow. Stable ground is the densest
    cluster among them (many points agreeing on one displacement, to a tenth of a pixel); its
    centre starts at the densest cell of their histogram (``SLOW_BIN``), then the vectors within
    ``SLOW_SIGMAS`` spreads of it (the median absolute deviation of each component, over all the
    vectors, not only the slowest) give the next centre and spreads, until the chosen vectors no
    longer change. Moving ice agrees with the stable ground only where it is slower than the
    ground's own noise, so it hardly pulls the median, and the spread is that of the ground."""
    chosen = np.zeros(len(dx), bool)
    index = np.flatnonzero(use)
    take = int(np.floor(len(index) * SLOW_SHARE))
    if take < MIN_STABLE:
        chosen[index[np.argsort(np.hypot(dx[index], dy[index]), kind="stable")[:take]]] = True
        return chosen
    x, y = dx[index], dy[index]
    slowest = np.argsort(np.hypot(x, y), kind="stable")[:take]
    sx, sy = x[slowest], y[slowest]
    lo_x, hi_x = np.percentile(sx, [1, 99])
    lo_y, hi_y = np.percentile(sy, [1, 99])
    bins = (max(1, int(np.ceil((hi_x - lo_x) / SLOW_BIN))), max(1, int(np.ceil((hi_y - lo_y) / SLOW_BIN))))
    counts, edges_x, edges_y = np.histogram2d(sx, sy, bins=bins, range=((lo_x, hi_x + 1e-9), (lo_y, hi_y + 1e-9)))
    padded = np.pad(counts, 1)  # a 3 x 3 sum: the densest neighbourhood, not one lucky cell
    dense = np.zeros_like(counts)
    for a in range(3):
        for b in range(3):
            dense += padded[a:a + counts.shape[0], b:b + counts.shape[1]]
    i, j = np.unravel_index(int(np.argmax(dense)), dense.shape)
    cx, cy = (edges_x[i] + edges_x[i + 1]) / 2, (edges_y[j] + edges_y[j + 1]) / 2
    spread_x, spread_y = _spread(sx, cx), _spread(sy, cy)
    inside = np.zeros(len(x), bool)
    for _ in range(50):
        now = ((x - cx) / spread_x) ** 2 + ((y - cy) / spread_y) ** 2 <= SLOW_SIGMAS**2
        if now.sum() < MIN_STABLE or np.array_equal(now, inside):
            break
        inside = now
        cx, cy = float(np.median(x[inside])), float(np.median(y[inside]))
        spread_x, spread_y = _spread(x[inside], cx), _spread(y[inside], cy)
    if inside.sum() < MIN_STABLE:
        inside[:] = False
        inside[slowest] = True
    chosen[index[inside]] = True
    return chosen


def stable_shift(dx: np.ndarray, dy: np.ndarray, good: np.ndarray, method: str,
                 on_stable: np.ndarray | None = None, *, stacklevel: int = 2) -> StableShift | None:
    """The stable-ground shift of a field's dx, dy (pixels); None, with a warning, when fewer
    than ``MIN_STABLE`` vectors qualify, and for method ``none``."""
    if method == "none":
        return None
    chosen = selection(dx, dy, good, method, on_stable)
    n = int(chosen.sum())
    if n < MIN_STABLE:
        where = "on stable ground" if method == "mask" else "to take the slowest quarter of"
        warnings.warn(f"{n} accepted vectors {where}, fewer than {MIN_STABLE}: no stable-ground "
                      "offset is removed and the uncertainty is the fit's alone",
                      stacklevel=stacklevel + 1)
        return None
    sx, sy = dx[chosen], dy[chosen]
    mx, my = float(np.median(sx)), float(np.median(sy))
    spread_x = MAD_TO_SIGMA * float(np.median(np.abs(sx - mx)))
    spread_y = MAD_TO_SIGMA * float(np.median(np.abs(sy - my)))
    return StableShift(method, n, mx, my, spread_x, spread_y)
