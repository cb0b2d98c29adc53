"""Guided matching: coarse-to-fine passes for displacements far beyond one search window.

The engine searches at most ``SEARCH_CHIP_MAX`` pixels around a point, so a 32-px chip finds
displacements of up to (256 - 32) / 2 = 112 px, and a wide margin costs time and accepts more
wrong peaks. A guided run instead runs a few passes, each centring every point's search on the
prediction of the pass before it:

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
grid points) at the next pass's points. ``plan_passes`` lays the passes out as ``Pass`` objects
(they can be given instead); ``guided.prediction`` runs them on the run's sources and blocks, and
``run.guided.match_guided`` does the same on two arrays. Here are the plan, the field's cleaning
and smoothing between passes and the reduced reads.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

import Talmek
from talmek_track._facts import SEARCH_CHIP_MAX, SEARCH_CHIP_MIN
from talmek_track.errors import OptionError
from talmek_track.guided.fill import fill_gaps
from talmek_track.guided.outliers import median_test
from talmek_track.matching.deform import _STRIP_PIXELS, Deformation, Field
from talmek_track.matching.settings import Settings
from talmek_track.options.values import MAX_FACTOR, Pass, check_passes, parse_passes
from talmek_track.sources.readers import ImageSource, Window
from talmek_track.stages import stage

__all__ = ["Deformation", "Field", "Pass", "check_passes", "parse_passes", "plan_passes", "read_reduced"]

#: Pixels (of the first pass) added to the largest displacement: the match of a point near its
#: margin must still find its peak inside the search chip.
COARSE_SLACK = 2
#: The widest search chip of the first pass unless the reach needs more: a 128-px transform
#: costs a quarter of a 256-px one, and a coarser image searched less far predicts as well.
COARSE_SEARCH = 128
#: The margin of the later passes, in pixels of each: the prediction of the pass before is within
#: about one of its pixels (two of the next).
DEFAULT_MARGIN = 4


def plan_passes(max_displacement: float, chip: tuple[int, int], *, margin: int = DEFAULT_MARGIN,
                iterations: int = 1) -> tuple[Pass, ...]:
    """The passes for displacements of up to ``max_displacement`` pixels with a chip (of image 1) of
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
    grid = Settings.of(params)
    chip = following[0].chip_or(grid.chip) if following else grid.chip
    return max(chip) / 2 / max(1, grid.step[1]), max(chip) / 2 / max(1, grid.step[0])


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
