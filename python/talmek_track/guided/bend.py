"""The bend test of guided runs: a vector whose field bends too sharply for its chip (the chip's
bias, curvature x chip^2 / 24, above a sixth of a pixel) is rejected (check ``bent``)."""

from __future__ import annotations

import numpy as np

import Talmek
from talmek_track._facts import Status
from talmek_track.matching.refine import BACKMATCH_MISSED, BENT, EXTRA_FIELDS
from talmek_track.matching.settings import Settings, status_of

#: The bend test of guided runs: a chip measures the mean displacement over itself, which differs
#: from the displacement at its centre by about curvature x chip^2 / 24. Where the measured field
#: bends so that this exceeds BEND_LIMIT pixels (a shear margin, where ice meets rock), the vector
#: is rejected: the deformed search makes such places measurable, not their centres exact.
BEND_LIMIT = 1.0 / 6.0


def _second_differences(grid: np.ndarray, axis: int) -> np.ndarray:
    """Each point's second difference along ``axis``: between its two neighbours where both have
    values, else over the next two points on the side that has them (the curvature a step away
    standing in for its own); NaN where neither can be formed."""
    n = grid.shape[axis]

    def shifted(k: int) -> np.ndarray:
        # The value k points further along the axis (NaN beyond the grid).
        out = np.full(grid.shape, np.nan)
        source, target = [slice(None), slice(None)], [slice(None), slice(None)]
        source[axis], target[axis] = (slice(k, None), slice(0, n - k)) if k > 0 else (slice(0, n + k), slice(-k, None))
        out[tuple(target)] = grid[tuple(source)]
        return out

    centred = shifted(1) - 2 * grid + shifted(-1)
    ahead = grid - 2 * shifted(1) + shifted(2)
    behind = grid - 2 * shifted(-1) + shifted(-2)
    bend: np.ndarray = np.where(np.isfinite(centred), centred, np.where(np.isfinite(ahead), ahead, behind))
    return bend


def bend_test(records: np.ndarray, extra: np.ndarray | None, grid_shape: tuple[int, int],
              params: Talmek.MatchingParams) -> tuple[np.ndarray, int]:
    """The refinement's fields with ``check`` set to ``BENT`` where the accepted, checked field
    bends beyond ``BEND_LIMIT`` (second differences of dx and dy along rows and along columns:
    between a point's two neighbours, or, where one of them has no vector, over the next two
    points on the other side); made (nothing refined) when the run had none. Returns them and
    the number rejected.

    The one-sided differences matter where the field ends: at the ice margins, beside missing
    pixels and beside rejected vectors. There the prediction the last pass deformed image 2 by
    was filled in from further away, so its chips see more of the flow's bending than anywhere,
    and a centred difference cannot be formed."""
    if extra is None:
        extra = np.zeros(len(records), np.dtype(EXTRA_FIELDS))
        for name in ("refine_dx", "refine_dy", "refine_rms_1", "refine_rms_2", "refine_corr"):
            extra[name] = np.nan
    usable = (status_of(records) == Status.accepted) & (extra["check"] < BACKMATCH_MISSED)
    settings = Settings.of(params)
    cs = settings.cellsize2
    refined = np.isfinite(extra["refine_dx"]) & np.isfinite(extra["refine_dy"])
    dx = (records["x2"] - records["x1"]) / cs + np.where(refined, extra["refine_dx"], 0.0)
    dy = (records["y1"] - records["y2"]) / cs + np.where(refined, extra["refine_dy"], 0.0)
    bias = np.zeros(grid_shape)
    steps = (max(1, settings.step[1]), max(1, settings.step[0]))
    chips = (settings.chip[1], settings.chip[0])
    for values in (dx, dy):
        grid = np.where(usable, values, np.nan).reshape(grid_shape)
        for axis in (0, 1):
            if grid_shape[axis] < 3:
                continue
            bend = _second_differences(grid, axis)
            bias = np.fmax(bias, np.abs(bend) / steps[axis] ** 2 * chips[axis] ** 2 / 24.0)
    bent = usable & (bias.ravel() > BEND_LIMIT)
    extra = extra.copy()
    extra["check"][bent] = BENT
    return extra, int(bent.sum())
