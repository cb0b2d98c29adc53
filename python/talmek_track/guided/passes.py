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

import Talmek
from talmek_track._facts import SEARCH_CHIP_MAX, SEARCH_CHIP_MIN, Status
from talmek_track.errors import OptionError
from talmek_track.guided.fill import fill_gaps
from talmek_track.guided.outliers import median_test
from talmek_track.matching.deform import _STRIP_PIXELS, Deformation, Field, _at
from talmek_track.matching.engine import RECORD_DTYPE, as_image, grid_points, match_points
from talmek_track.options.values import MAX_FACTOR, Pass, check_passes, parse_passes
from talmek_track.sources.readers import ImageSource, Window
from talmek_track.stages import stage

__all__ = ["Deformation", "Field", "GuidedMatch", "Pass", "check_passes", "match_guided", "parse_passes",
           "plan_passes", "read_reduced"]

#: Pixels (of the first pass) added to the largest displacement: the match of a point near its
#: margin must still find its peak inside the search chip.
COARSE_SLACK = 2
#: The widest search chip of the first pass unless the reach needs more: a 128-px transform
#: costs a quarter of a 256-px one, and a coarser image searched less far predicts as well.
COARSE_SEARCH = 128
#: The margin of the later passes, in pixels of each: the prediction of the pass before is within
#: about one of its pixels (two of the next).
DEFAULT_MARGIN = 4
#: Rows of image 2 deformed at a time (bounds the memory of the coordinate arrays).
_STRIP_ROWS = 256


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
    factor = _first_factor(max_displacement, chip, min(room, (COARSE_SEARCH - max(chip)) // 2))
    if factor is None:
        factor = _first_factor(max_displacement, chip, room)
    if factor is None:
        raise OptionError(
            f"displacements of {max_displacement:g} px need images reduced more than {MAX_FACTOR} "
            f"times to fit the engine's search limit of {SEARCH_CHIP_MAX} px (chip {max(chip)} px); "
            "lower the largest speed or take a pair closer in time")
    passes = [Pass(factor, math.ceil(max_displacement / factor) + COARSE_SLACK)]
    # The passes between the first and the last search as far as the least transform allows
    # (at no extra cost): the coarse prediction is least sure where the flow shears.
    wide = max(margin, (_transform(max(chip) + 2 * margin) - max(chip)) // 2)
    while factor > 2:
        factor //= 2
        passes.append(Pass(factor, wide))
    if passes[0].factor > 1:
        passes.extend(Pass(1, wide) for _ in range(iterations - 1))
    else:
        passes.extend(Pass(1, margin) for _ in range(iterations - 1))
    passes.append(Pass(1, margin))
    return tuple(passes)


def wide_margin(chip: tuple[int, int], margin: int) -> int:
    """The widest margin (at least ``margin``) whose search chip needs no larger transform than
    ``margin``'s: the margin of the passes between the first and the last."""
    return max(margin, (_transform(max(chip) + 2 * margin) - max(chip)) // 2)


def _transform(search: int) -> int:
    """The side of the engine's transform grid for a search chip of ``search`` pixels."""
    side = 64
    while side < search:
        side *= 2
    return side


def _first_factor(reach: float, chip: tuple[int, int], widest: int) -> int | None:
    """The least power of two that brings ``reach`` plus the slack within ``widest`` pixels."""
    factor = 1
    while math.ceil(reach / factor) + COARSE_SLACK > widest:
        factor *= 2
        if factor > MAX_FACTOR:
            return None
    return factor


def _reduce(image: np.ndarray, factor: int) -> np.ndarray:
    """Block means over factor x factor pixels (a trailing part block is left out)."""
    if factor == 1:
        return image
    rows, cols = image.shape[0] // factor, image.shape[1] // factor
    blocks = image[:rows * factor, :cols * factor].reshape(rows, factor, cols, factor)
    return np.rint(blocks.mean(axis=(1, 3))).astype(np.uint8)


def pass_params(base: Talmek.MatchingParams, chip: tuple[int, int], margin: int) -> Talmek.MatchingParams:
    """Fresh settings of one pass on arrays: ``chip`` and ``margin``, the peak fit and thresholds
    of ``base``, no georeference (positions in pixels)."""
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


def clean_field(dx: np.ndarray, dy: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The field with its outliers removed and every gap filled; OptionError when nothing was
    found (the prediction would be guesswork)."""
    with stage("clean, fill"):
        bad = median_test(dx, dy)
        dx, dy = np.where(bad, np.nan, dx), np.where(bad, np.nan, dy)
        if not np.isfinite(dx).any():
            raise OptionError("the coarse pass found no displacement anywhere; check the largest speed, "
                              "the images and the chip")
        dx, dy, _ = fill_gaps(dx, dy)
        return dx, dy


def smooth_field(dx: np.ndarray, dy: np.ndarray, sigma: tuple[float, float]
                 ) -> tuple[np.ndarray, np.ndarray]:
    """A gap-free field smoothed by a Gaussian of ``sigma`` (rows, columns) grid steps (the border
    extended)."""
    from scipy import ndimage

    if max(sigma) <= 0:
        return dx, dy
    with stage("smooth"):
        return (ndimage.gaussian_filter(dx, sigma, mode="nearest", truncate=3.0),
                ndimage.gaussian_filter(dy, sigma, mode="nearest", truncate=3.0))


def chip_sigma(params: Talmek.MatchingParams, following: Sequence[Pass]) -> tuple[float, float]:
    """The smoothing (rows, columns, in grid steps) of a prediction for the pass that follows:
    half its chip, so that a chip sees a nearly linear prediction and the residual it measures
    belongs to its centre."""
    chip = following[0].chip_or((params.chipwidth_, params.chipheight_)) if following else (
        params.chipwidth_, params.chipheight_)
    return max(chip) / 2 / max(1, params.row_interval_), max(chip) / 2 / max(1, params.col_interval_)


def deform(image2: np.ndarray, dx: np.ndarray, dy: np.ndarray,
           axes: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    """Image 2 pulled back along the field: pixel q is image 2 at q + D(q) (bicubic; 0 outside),
    D the grid field interpolated bilinearly between its points."""
    from scipy import ndimage

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
    grid = pass_params(params, (params.chipwidth_, params.chipheight_), 0)
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
    chip = p.chip_or((params.chipwidth_, params.chipheight_))
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
    records = match_points(_reduce(a1, p.factor), target, p1, p2, pass_params(params, chip, p.margin),
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
        pdx, pdy = smooth_field(*clean_field(dx, dy), chip_sigma(params, passes[k + 1:]))
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
    passes = check_passes(passes, chip)
    points1, shape, axes = _grid(a1.shape, params)
    pdx, pdy = np.zeros(shape), np.zeros(shape)
    records, dx, dy = np.zeros(0, RECORD_DTYPE), pdx, pdy
    for k, p in enumerate(passes):
        if k > 0:
            pdx, pdy = smooth_field(*clean_field(dx, dy), chip_sigma(params, passes[k:]))
        records, dx, dy = _run_pass(a1, a2, params, p, points1, shape, axes, pdx, pdy,
                                    deformed=k > 0, threads=threads)
    status = records["active"].reshape(shape)
    return GuidedMatch(records, dx, dy, records["strength"].reshape(shape), status, pdx, pdy, passes)


def read_reduced(source: ImageSource, factor: int) -> tuple[np.ndarray, np.ndarray]:
    """An ``ImageSource`` reduced by ``factor`` (block means of its 8-bit grey values, a trailing
    part block left out) and where the reduced image is invalid (any pixel of its block
    missing), read a strip of rows at a time: the whole image is never held at full
    resolution."""
    rows, cols = source.shape[0] // factor, source.shape[1] // factor
    out = np.zeros((rows, cols), np.uint8)
    invalid = np.zeros((rows, cols), bool)
    if rows == 0 or cols == 0:
        return out, invalid
    per = max(1, _STRIP_PIXELS * 8 // (factor * factor * cols))
    for top in range(0, rows, per):
        end = min(rows, top + per)
        pixels, missing = source.read_scaled(Window(top * factor, end * factor, 0, cols * factor))
        if factor == 1:
            out[top:end] = pixels if pixels.dtype == np.uint8 else np.clip(np.rint(pixels), 0, 255)
            invalid[top:end] = missing
            continue
        shape = (end - top, factor, cols, factor)
        means = pixels.astype(np.float64).reshape(shape).mean(axis=(1, 3))
        out[top:end] = np.clip(np.rint(means), 0, 255)
        invalid[top:end] = missing.reshape(shape).any(axis=(1, 3))
    return out, invalid
