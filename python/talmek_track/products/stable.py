"""The displacement of stable ground: the offset between the two images' georeferences that every
vector carries, and the spread left after removing it.

Stable ground (rock, roads, buildings) does not move, so the median of its vectors is the
co-registration offset of the pair, and the spread around that median the error that the images
(not the fit) add. ``stable_shift`` measures both over the accepted vectors that a stable-ground
mask marks (``mask``), or over the slowest quarter of the accepted vectors where no mask exists
(``slow``).
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
#: ``slow`` takes this share of the accepted vectors, the slowest first.
SLOW_SHARE = 0.25
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
        speed = np.where(use, np.hypot(dx, dy), np.inf)
        n = int(use.sum())
        take = int(np.floor(n * SLOW_SHARE))
        chosen = np.zeros(len(dx), bool)
        if take:
            chosen[np.argsort(speed, kind="stable")[:take]] = True
        return chosen & use
    raise ValueError(f"unknown stable-ground method {method!r}; expected mask or slow")


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
