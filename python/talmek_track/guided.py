"""Guided matching: coarse-to-fine passes for displacements far beyond one search window.

The engine searches at most ``SEARCH_CHIP_MAX`` pixels around a point, so a 32-px chip finds
displacements of up to (256 - 32) / 2 = 112 px, and a wide margin costs time and accepts more
wrong peaks. ``match_guided`` instead runs a few passes, each centring every point's search on
the prediction of the pass before it:

1. The first pass matches images reduced by ``factor`` (a power of two, block means) so that the
   largest expected displacement, ``max_displacement / factor`` plus ``COARSE_SLACK`` pixels,
   fits the margin the chip leaves within the engine's search limit. Its margin is just that.
2. Each further pass halves the reduction, down to 2, with ``margin`` pixels (of that pass;
   at least what makes the search chip the engine's least, 48 px).
3. The last pass runs at full resolution on image 2 deformed by the predicted field (each pixel
   q of the deformed image is image 2 at q + D(q), D the field interpolated between the grid
   points, bicubic), so that a chip sees neither the displacement nor its gradient (shear,
   stretch, turning); its search margin is ``margin`` pixels and the matched residual is added
   to the prediction at the point. ``iterations`` repeats this last pass on the improved field.

Between passes the field is cleaned by the normalised median test (``outliers.median_test``),
its gaps filled from their neighbours (``fill.fill_gaps``) and interpolated (bilinear between
grid points) at the next pass's points. The passes are returned as ``Pass`` objects
(``plan_passes``) and can be given instead.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy import ndimage

import Talmek
from talmek_track._facts import SEARCH_CHIP_MAX, SEARCH_CHIP_MIN, Status
from talmek_track.errors import OptionError
from talmek_track.fill import fill_gaps
from talmek_track.matching import RECORD_DTYPE, as_image, grid_points, match_points
from talmek_track.outliers import median_test

__all__ = ["GuidedMatch", "Pass", "match_guided", "plan_passes"]

#: Pixels (of the first pass) added to the largest displacement: the match of a point near its
#: margin must still find its peak inside the search chip.
COARSE_SLACK = 2
#: The margin of the later passes, in pixels of each: the prediction of the pass before is within
#: about one of its pixels (two of the next).
DEFAULT_MARGIN = 4
#: The largest reduction: beyond it a 32-px chip covers more than 512 px of ground and the
#: texture it sees has little to do with the full-resolution image.
MAX_FACTOR = 16
#: Rows of image 2 deformed at a time (bounds the memory of the coordinate arrays).
_STRIP_ROWS = 256


@dataclass(frozen=True)
class Pass:
    """One pass: the images reduced by ``factor`` (1: full resolution on the deformed image 2),
    searched ``margin`` pixels (of that pass) around each prediction."""

    factor: int
    margin: int


@dataclass(frozen=True)
class GuidedMatch:
    """The result of ``match_guided``, on the grid of ``grid_points``: ``dx``, ``dy`` the
    displacement in pixels (NaN where the last pass found none), ``strength`` and ``status`` of
    the last pass's records (whose positions are in the deformed image 2), ``predicted_dx``,
    ``predicted_dy`` the field the last pass started from, and the passes run."""

    records: np.ndarray
    dx: np.ndarray
    dy: np.ndarray
    strength: np.ndarray
    status: np.ndarray
    predicted_dx: np.ndarray
    predicted_dy: np.ndarray
    passes: tuple[Pass, ...]


def plan_passes(max_displacement: float, chip: tuple[int, int], *, margin: int = DEFAULT_MARGIN,
                iterations: int = 1) -> tuple[Pass, ...]:
    """The passes for displacements of up to ``max_displacement`` pixels with a reference chip of
    ``chip`` (width, height): see the module. OptionError when no reduction up to MAX_FACTOR
    fits the engine's search limit."""
    if not (math.isfinite(max_displacement) and max_displacement >= 0):
        raise OptionError(f"the largest displacement must be a number of pixels >= 0, got {max_displacement!r}")
    if margin < 1 or iterations < 1:
        raise OptionError(f"the guided margin and iterations must be at least 1, got {margin} and {iterations}")
    room = (SEARCH_CHIP_MAX - max(chip)) // 2  # the widest margin the chip leaves
    # The search chip has a least size too: a small chip is searched at least that far.
    margin = max(margin, -((min(chip) - SEARCH_CHIP_MIN) // 2))
    if margin > room:
        raise OptionError(f"a guided margin of {margin} px leaves the search chip beyond the engine's "
                          f"limit of {SEARCH_CHIP_MAX} px for a {max(chip)}-px chip")
    factor = 1
    while math.ceil(max_displacement / factor) + COARSE_SLACK > room:
        factor *= 2
        if factor > MAX_FACTOR:
            raise OptionError(
                f"displacements of {max_displacement:g} px need images reduced more than {MAX_FACTOR} "
                f"times to fit the engine's search limit of {SEARCH_CHIP_MAX} px (chip {max(chip)} px); "
                "lower the largest speed or take a pair closer in time")
    passes = [Pass(factor, math.ceil(max_displacement / factor) + COARSE_SLACK)]
    while factor > 2:
        factor //= 2
        passes.append(Pass(factor, margin))
    passes.extend(Pass(1, margin) for _ in range(iterations))
    return tuple(passes)


def _reduce(image: np.ndarray, factor: int) -> np.ndarray:
    """Block means over factor x factor pixels (a trailing part block is left out)."""
    if factor == 1:
        return image
    rows, cols = image.shape[0] // factor, image.shape[1] // factor
    blocks = image[:rows * factor, :cols * factor].reshape(rows, factor, cols, factor)
    return np.rint(blocks.mean(axis=(1, 3))).astype(np.uint8)


def _params(base: Talmek.MatchingParams, chip: tuple[int, int], margin: int) -> Talmek.MatchingParams:
    p = Talmek.MatchingParams()
    p.chipwidth_, p.chipheight_ = chip
    p.hoffset_ = p.voffset_ = margin
    p.peakmethod_, p.mincorr_, p.maxdiff_ = base.peakmethod_, base.mincorr_, base.maxdiff_
    return p


def _displacement(records: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    # Positions in pixels of the images matched: columns to the right, rows downwards.
    ok = records["active"] == Status.accepted
    dx = np.where(ok, records["x2"] - records["x1"], np.nan)
    dy = np.where(ok, records["y1"] - records["y2"], np.nan)
    return dx, dy


def _clean(dx: np.ndarray, dy: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The field with its outliers removed and every gap filled; OptionError when nothing was
    found (the prediction would be guesswork)."""
    bad = median_test(dx, dy)
    dx, dy = np.where(bad, np.nan, dx), np.where(bad, np.nan, dy)
    if not np.isfinite(dx).any():
        raise OptionError("the coarse pass found no displacement anywhere; check the largest speed, "
                          "the images and the chip")
    dx, dy, _ = fill_gaps(dx, dy)
    return dx, dy


def _at(grid: np.ndarray, axes: tuple[np.ndarray, np.ndarray], rows: npt.ArrayLike,
        cols: npt.ArrayLike) -> np.ndarray:
    """The grid (of points at rows axes[0] and columns axes[1], equally spaced) interpolated
    bilinearly at the given pixel positions, held constant beyond its border."""
    r_axis, c_axis = axes
    r_step = r_axis[1] - r_axis[0] if len(r_axis) > 1 else 1
    c_step = c_axis[1] - c_axis[0] if len(c_axis) > 1 else 1
    coords = [(np.asarray(rows, np.float64) - r_axis[0]) / r_step,
              (np.asarray(cols, np.float64) - c_axis[0]) / c_step]
    values: np.ndarray = ndimage.map_coordinates(grid, coords, order=1, mode="nearest")
    return values


def deform(image2: np.ndarray, dx: np.ndarray, dy: np.ndarray,
           axes: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    """Image 2 pulled back along the field: pixel q is image 2 at q + D(q) (bicubic; 0 outside),
    D the grid field interpolated bilinearly between its points."""
    out = np.empty(image2.shape, np.uint8)
    source = image2.astype(np.float32)
    cols = np.arange(image2.shape[1], dtype=np.float64)
    for top in range(0, image2.shape[0], _STRIP_ROWS):
        rows = np.arange(top, min(top + _STRIP_ROWS, image2.shape[0]), dtype=np.float64)
        rr, cc = np.meshgrid(rows, cols, indexing="ij")
        at_r = rr + _at(dy, axes, rr, cc)
        at_c = cc + _at(dx, axes, rr, cc)
        values = ndimage.map_coordinates(source, [at_r, at_c], order=3, mode="constant", cval=0.0)
        out[top:top + len(rows)] = np.clip(np.rint(values), 0, 255)
    return out


def _grid(shape: tuple[int, int], params: Talmek.MatchingParams
          ) -> tuple[np.ndarray, tuple[int, int], tuple[np.ndarray, np.ndarray]]:
    """The grid's points, its shape and the rows and columns of its points."""
    grid = _params(params, (params.chipwidth_, params.chipheight_), 0)
    grid.start_row_, grid.start_col_ = params.start_row_, params.start_col_
    grid.row_interval_, grid.col_interval_ = params.row_interval_, params.col_interval_
    points1, _, size = grid_points(shape, grid)
    axes = (points1[::max(size[1], 1), 0].astype(np.float64), points1[:size[1], 1].astype(np.float64))
    return points1, size, axes


def _run_pass(a1: np.ndarray, a2: np.ndarray, params: Talmek.MatchingParams, p: Pass,
              points1: np.ndarray, shape: tuple[int, int], axes: tuple[np.ndarray, np.ndarray],
              pdx: np.ndarray, pdy: np.ndarray, *, deformed: bool, threads: int | None
              ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """One pass from the prediction (pdx, pdy): its records and the displacement it measures
    (full-resolution pixels, NaN where nothing was accepted)."""
    chip = (params.chipwidth_, params.chipheight_)
    if p.factor == 1 and deformed:
        # Full resolution on image 2 deformed by the prediction: the residual is searched.
        target, p1, p2 = deform(a2, pdx, pdy, axes), points1, points1
    else:
        target = _reduce(a2, p.factor)
        p1 = np.rint(points1 / p.factor).astype(np.int64)
        shift = np.stack([pdy.ravel(), pdx.ravel()], axis=1) / p.factor
        p2 = np.rint(p1 + shift).astype(np.int64)
    if min(target.shape) < max(chip) + 2 * p.margin:
        raise OptionError(f"images reduced {p.factor} times ({target.shape[0]} x {target.shape[1]} px) are "
                          f"smaller than the search chip of {max(chip) + 2 * p.margin} px; lower the "
                          "largest speed or take a smaller chip")
    records = match_points(_reduce(a1, p.factor), target, p1, p2, _params(params, chip, p.margin),
                           threads=threads)
    mx, my = (d.reshape(shape) * p.factor for d in _displacement(records))
    if p.factor == 1 and deformed:
        mx, my = mx + pdx, my + pdy
    return records, mx, my


def predict(image1: np.ndarray, image2: np.ndarray, params: Talmek.MatchingParams,
            passes: Sequence[Pass], *, threads: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The field (dx, dy on the grid of ``params``, every gap filled) that ``passes`` predict, each
    starting from the one before; the last pass of the command runs on it."""
    a1, a2 = as_image("image1", image1), as_image("image2", image2)
    points1, shape, axes = _grid(a1.shape, params)
    pdx, pdy = np.zeros(shape), np.zeros(shape)
    for k, p in enumerate(passes):
        _, dx, dy = _run_pass(a1, a2, params, p, points1, shape, axes, pdx, pdy, deformed=k > 0,
                              threads=threads)
        pdx, pdy = _clean(dx, dy)
    return pdx, pdy


def match_guided(image1: npt.ArrayLike, image2: npt.ArrayLike, params: Talmek.MatchingParams,
                 max_displacement: float | None = None, *, passes: Sequence[Pass] | None = None,
                 margin: int = DEFAULT_MARGIN, iterations: int = 1,
                 threads: int | None = None) -> GuidedMatch:
    """Matches the grid of ``grid_points(image1.shape, params)`` in guided passes (see the
    module) for displacements of up to ``max_displacement`` pixels, or in the ``passes`` given.

    ``params`` gives the grid (start, step), the chip, the peak fit and the thresholds; its
    margins, offsets and georeferences are not used: each pass sets its own margin and the
    displacements are in pixels of the images. The images must be of one shape.
    """
    a1 = as_image("image1", image1)
    a2 = as_image("image2", image2)
    if a1.shape != a2.shape:
        raise OptionError(f"guided matching needs two images of one shape, got {a1.shape} and {a2.shape}")
    chip = (params.chipwidth_, params.chipheight_)
    if passes is None:
        if max_displacement is None:
            raise OptionError("give the largest displacement or the passes")
        passes = plan_passes(max_displacement, chip, margin=margin, iterations=iterations)
    passes = tuple(passes)
    if not passes or passes[-1].factor != 1:
        raise OptionError("the last pass must be at full resolution (factor 1)")
    for p in passes:
        searched = (min(chip) + 2 * p.margin, max(chip) + 2 * p.margin)
        if p.factor < 1 or not SEARCH_CHIP_MIN <= searched[0] <= searched[1] <= SEARCH_CHIP_MAX:
            raise OptionError(f"pass {p} is beyond the engine's limits (factor >= 1, chip plus both "
                              f"margins {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX} px)")
    points1, shape, axes = _grid(a1.shape, params)
    pdx, pdy = np.zeros(shape), np.zeros(shape)
    records, dx, dy = np.zeros(0, RECORD_DTYPE), pdx, pdy
    for k, p in enumerate(passes):
        if k > 0:
            pdx, pdy = _clean(dx, dy)
        records, dx, dy = _run_pass(a1, a2, params, p, points1, shape, axes, pdx, pdy,
                                    deformed=k > 0, threads=threads)
    status = records["active"].reshape(shape)
    return GuidedMatch(records, dx, dy, records["strength"].reshape(shape), status, pdx, pdy, passes)
