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
import re
from collections.abc import Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import Talmek
from talmek_track._facts import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN, Status
from talmek_track.errors import OptionError
from talmek_track.fill import fill_gaps
from talmek_track.matching import RECORD_DTYPE, as_image, grid_points, match_points
from talmek_track.outliers import median_test
from talmek_track.prefilter import core_count
from talmek_track.readers import ImageSource, Window

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
#: The largest reduction: beyond it a 32-px chip covers more than 512 px of ground and the
#: texture it sees has little to do with the full-resolution image.
MAX_FACTOR = 16
_FACTORS = tuple(2**k for k in range(MAX_FACTOR.bit_length()))
#: Rows of image 2 deformed at a time (bounds the memory of the coordinate arrays).
_STRIP_ROWS = 256


@dataclass(frozen=True)
class Pass:
    """One pass: the images reduced by ``factor`` (1: full resolution on the deformed image 2),
    searched ``margin`` pixels (of that pass) around each prediction with a reference chip of
    ``chip`` (width, height) pixels of that pass (None: the run's chip)."""

    factor: int
    margin: int
    chip: tuple[int, int] | None = None

    def chip_or(self, chip: tuple[int, int]) -> tuple[int, int]:
        """This pass's chip, or ``chip`` when it names none."""
        return chip if self.chip is None else self.chip

    def __str__(self) -> str:
        if self.chip is None:
            return f"{self.factor}/{self.margin}"
        w, h = self.chip
        return f"{self.factor}:{w if w == h else f'{w}x{h}'}/{self.margin}"


_PASS = re.compile(r"^(\d+)(?::(\d+)(?:x(\d+))?)?/(\d+)$")


def parse_passes(text: str) -> tuple[Pass, ...]:
    """Passes written ``REDUCTION:CHIP/MARGIN`` (CHIP one size or WIDTHxHEIGHT; ``REDUCTION/MARGIN``
    keeps the run's chip), separated by commas: ``8:32/12,2:32/6,1:32/4``. ValueError for text
    of another form (the limits are ``check_passes``'s)."""
    passes = []
    for item in str(text).split(","):
        found = _PASS.match(item.strip())
        if found is None:
            raise ValueError(f"expected passes as REDUCTION:CHIP/MARGIN separated by commas (such as "
                             f"8:32/12,2:32/6,1:32/4), got {item.strip()!r}")
        factor, w, h, margin = found.groups()
        chip = None if w is None else (int(w), int(h if h is not None else w))
        passes.append(Pass(int(factor), int(margin), chip))
    return tuple(passes)


def check_passes(passes: Sequence[Pass], chip: tuple[int, int]) -> tuple[Pass, ...]:
    """The passes, checked against the engine's limits with ``chip`` (width, height) the run's
    chip; OptionError naming the first pass beyond them and the limit."""
    passes = tuple(passes)
    if not passes:
        raise OptionError("give at least one pass")
    if passes[-1].factor != 1:
        raise OptionError(f"the last pass must be at full resolution (reduction 1), got {passes[-1]}")
    for k, p in enumerate(passes, 1):
        w, h = p.chip_or(chip)
        if p.factor not in _FACTORS:
            raise OptionError(f"pass {k} ({p}): the reduction must be a power of two from 1 to "
                              f"{MAX_FACTOR}, got {p.factor}")
        if not (REF_CHIP_MIN <= min(w, h) and max(w, h) <= REF_CHIP_MAX):
            raise OptionError(f"pass {k} ({p}): the chip {w}x{h} is beyond the engine's limits of "
                              f"{REF_CHIP_MIN}..{REF_CHIP_MAX} px")
        low, high = min(w, h) + 2 * p.margin, max(w, h) + 2 * p.margin
        if not (SEARCH_CHIP_MIN <= low and high <= SEARCH_CHIP_MAX):
            raise OptionError(f"pass {k} ({p}): the chip plus both margins makes a search chip of "
                              f"{low if low < SEARCH_CHIP_MIN else high} px, beyond the engine's limits "
                              f"of {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX} px")
    return passes


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
    return (ndimage.gaussian_filter(dx, sigma, mode="nearest", truncate=3.0),
            ndimage.gaussian_filter(dy, sigma, mode="nearest", truncate=3.0))


def chip_sigma(params: Talmek.MatchingParams, following: Sequence[Pass]) -> tuple[float, float]:
    """The smoothing (rows, columns, in grid steps) of a prediction for the pass that follows:
    half its chip, so that a chip sees a nearly linear prediction and the residual it measures
    belongs to its centre."""
    chip = following[0].chip_or((params.chipwidth_, params.chipheight_)) if following else (
        params.chipwidth_, params.chipheight_)
    return max(chip) / 2 / max(1, params.row_interval_), max(chip) / 2 / max(1, params.col_interval_)


def _at(grid: np.ndarray, axes: tuple[np.ndarray, np.ndarray], rows: npt.ArrayLike,
        cols: npt.ArrayLike) -> np.ndarray:
    """The grid (of points at rows axes[0] and columns axes[1], equally spaced) interpolated
    bilinearly at the given pixel positions, held constant beyond its border."""
    from scipy import ndimage

    r_axis, c_axis = axes
    r_step = r_axis[1] - r_axis[0] if len(r_axis) > 1 else 1
    c_step = c_axis[1] - c_axis[0] if len(c_axis) > 1 else 1
    coords = [(np.asarray(rows, np.float64) - r_axis[0]) / r_step,
              (np.asarray(cols, np.float64) - c_axis[0]) / c_step]
    values: np.ndarray = ndimage.map_coordinates(grid, coords, order=1, mode="nearest")
    return values


def _grid_coordinates(axis: np.ndarray, positions: npt.ArrayLike) -> np.ndarray:
    """Pixel positions in grid steps of ``axis`` (equally spaced points), as ``_at`` takes them."""
    step = axis[1] - axis[0] if len(axis) > 1 else 1
    coords: np.ndarray = (np.asarray(positions, np.float64) - axis[0]) / step
    return coords


_Weights = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]


def _axis_weights(coords: np.ndarray, n: int) -> _Weights:
    """The linear spline's taps and weights at ``coords`` along an axis of ``n`` grid points, in
    SciPy's arithmetic (``map_coordinates`` of order 1, ``nearest``): the lower weight is one
    less the fraction, the upper one less the lower, and a tap beyond the border is the border
    point."""
    start = np.floor(coords)
    lower = 1.0 - (coords - start)
    return (np.clip(start, 0, n - 1).astype(np.intp), np.clip(start + 1, 0, n - 1).astype(np.intp),
            lower, 1.0 - lower)


def _bilinear_mesh(grid: np.ndarray, r: _Weights, c: _Weights) -> np.ndarray:
    """The grid interpolated at every pair of a row position and a column position (weights of
    ``_axis_weights``): each tap's value times its row weight times its column weight, summed in
    SciPy's order, so that the result equals ``_at`` on the positions' mesh bit for bit."""
    r0, r1, wr0, wr1 = r
    c0, c1, wc0, wc1 = c
    upper = grid[r0] * wr0[:, None]
    lower = grid[r1] * wr1[:, None]
    out: np.ndarray = upper[:, c0] * wc0
    out += 0.0  # SciPy's sum starts at +0.0: a first term of -0.0 becomes +0.0
    out += upper[:, c1] * wc1
    out += lower[:, c0] * wc0
    out += lower[:, c1] * wc1
    return out


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


@dataclass(frozen=True)
class Field:
    """A displacement field on a regular grid of image 1's pixels: ``dx``, ``dy`` (rows, cols)
    in pixels of image 2 from each point (columns to the right, rows downwards), the grid's rows
    at image-1 rows ``rows`` and its columns at ``cols`` (each equally spaced). Between its points
    it is interpolated bilinearly, beyond its border held constant."""

    dx: np.ndarray
    dy: np.ndarray
    rows: np.ndarray
    cols: np.ndarray

    def at(self, rows: npt.ArrayLike, cols: npt.ArrayLike) -> tuple[np.ndarray, np.ndarray]:
        """(dx, dy) at the given pixel positions of image 1 (any shape, real)."""
        axes = (self.rows, self.cols)
        return _at(self.dx, axes, rows, cols), _at(self.dy, axes, rows, cols)

    def on_pixels(self, rows: np.ndarray, cols: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """(dx, dy) at every pixel of image 1's rows ``rows`` and columns ``cols`` (1-D, real),
        shape (len(rows), len(cols)): ``at`` on their mesh, bit for bit, at a fraction of its
        cost (the weights along each axis are computed once, and each grid row is weighted once
        per pixel row)."""
        axes = (self.rows, self.cols)
        r = _axis_weights(_grid_coordinates(axes[0], rows), len(axes[0]))
        c = _axis_weights(_grid_coordinates(axes[1], cols), len(axes[1]))
        return _bilinear_mesh(self.dx, r, c), _bilinear_mesh(self.dy, r, c)

    def rows_between(self, first: float, last: float) -> Field:
        """The part of the field that its values between image rows ``first`` and ``last`` depend
        on (the grid rows bracketing them)."""
        n = len(self.rows)
        step = self.rows[1] - self.rows[0] if n > 1 else 1.0
        lo = int(np.clip(math.floor((first - self.rows[0]) / step), 0, n - 1))
        hi = int(np.clip(math.floor((last - self.rows[0]) / step) + 1, 0, n - 1))
        part = slice(lo, hi + 1)
        return Field(self.dx[part], self.dy[part], self.rows[part], self.cols)


#: Pixels a deformed sample draws on around the floor of its position: the cubic spline's four
#: taps (floor - 1 .. floor + 2) and one more each side for the spline prefilter's reach.
_DRAWS_BELOW, _DRAWS_ABOVE = 2, 3
#: Pixels by which the image-2 window of a deformed block extends beyond the positions it
#: samples: the prefilter of the cubic spline is computed on the window, and its influence falls
#: by 0.27 per pixel, below 1e-5 of a grey level here.
SOURCE_PAD = 12


@dataclass(frozen=True)
class Deformation:
    """Image 2 deformed onto image 1's geometry inside one block: pixel q of the deformed image
    is image 2 at q + D(q) (cubic spline), D the predicted ``field``; ``window`` is the part of
    image 1's geometry (first row, end row, first column, end column) that the block's deformed
    image covers."""

    field: Field
    window: tuple[int, int, int, int]

    def source_window(self, shape2: tuple[int, int]) -> tuple[int, int, int, int]:
        """The window of image 2 (``shape2``) that the deformed window samples, with the spline's
        margin; at least one pixel."""
        r0, r1, c0, c1 = self.window
        pad = SOURCE_PAD + _DRAWS_ABOVE
        bounds = []
        for lo, hi, d, size in ((r0, r1, self.field.dy, shape2[0]), (c0, c1, self.field.dx, shape2[1])):
            a = max(0, math.floor(lo + float(d.min())) - pad)
            b = min(size, math.ceil(hi - 1 + float(d.max())) + 1 + pad)
            if a >= b:
                a = min(max(a, 0), size - 1)
                b = a + 1
            bounds += [a, b]
        return bounds[0], bounds[1], bounds[2], bounds[3]

    def apply(self, pixels2: np.ndarray, invalid2: np.ndarray, source: tuple[int, int, int, int]
              ) -> tuple[np.ndarray, np.ndarray]:
        """The deformed window (uint8) and where it is invalid, from image 2's window ``source``
        (``pixels2`` and its ``invalid`` pixels): a sample is invalid when any pixel it draws on
        is, or lies outside the window read."""
        from scipy import ndimage

        r0, r1, c0, c1 = self.window
        out = np.zeros((r1 - r0, c1 - c0), np.uint8)
        invalid = np.ones(out.shape, bool)
        rows2, cols2 = pixels2.shape
        if out.size == 0 or pixels2.size == 0:
            return out, invalid
        missing = invalid2.view(np.uint8) if invalid2.dtype == bool else invalid2.astype(np.uint8)
        bad: np.ndarray | None = None  # None: only the samples outside the window are invalid
        if missing.any():
            width = _DRAWS_BELOW + _DRAWS_ABOVE + 1
            bad = ndimage.maximum_filter(missing, size=width, mode="constant", cval=0,
                                         origin=_DRAWS_BELOW - width // 2)
        cols = np.arange(c0, c1, dtype=np.float64)
        strip = max(1, _STRIP_PIXELS // max(1, c1 - c0))

        def deform_strip(top: int) -> None:
            rows = np.arange(top, min(top + strip, r1), dtype=np.float64)
            at_c, at_r = self.field.on_pixels(rows, cols)
            at_r += rows[:, None]
            at_r -= source[0]
            at_c += cols
            at_c -= source[2]
            values = ndimage.map_coordinates(coefficients, [at_r, at_c], order=3, mode="mirror",
                                             prefilter=False)
            fr, fc = np.floor(at_r, out=at_r), np.floor(at_c, out=at_c)
            outside = ~((fr >= _DRAWS_BELOW) & (fc >= _DRAWS_BELOW) & (fr + _DRAWS_ABOVE < rows2)
                        & (fc + _DRAWS_ABOVE < cols2))
            part = slice(top - r0, top - r0 + len(rows))
            if bad is not None:
                ir = np.clip(fr, 0, rows2 - 1).astype(np.intp)
                ic = np.clip(fc, 0, cols2 - 1).astype(np.intp)
                outside |= bad[ir, ic] > 0
            invalid[part] = outside
            out[part] = np.clip(np.rint(values), 0, 255)

        # Lines of the spline's prefilter and strips of the deformed window are independent, and
        # SciPy and NumPy release the interpreter lock: they run on every core.
        tops = range(r0, r1, strip)
        workers = max(1, min(len(tops), core_count()))
        with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="talmek-deform") as pool:
            coefficients = _spline_coefficients(pixels2, pool, workers)
            for done in [pool.submit(deform_strip, top) for top in tops]:
                done.result()
        return out, invalid

    def restore(self, records: np.ndarray, params: Talmek.MatchingParams, shape1: tuple[int, int],
                shape2: tuple[int, int]) -> np.ndarray:
        """Records matched on the deformed image (whose georeference is image 1's) rebuilt in image
        2's real coordinates (``params``' georeferences; ``shape1``, ``shape2`` the images'
        sizes): an accepted match found at q in the deformed image lies at q + D(q) in image 2,
        which gives its end point, length and displacement (pixels from the point plus the
        grid's offset); any other keeps the expected position (row2, col2). Strength, errors and
        status stay the deformed match's; refinement's corrections (``refine_dx``, ``refine_dy``,
        found on the deformed image) become corrections in image 2."""
        out = records.copy()
        if len(out) == 0:
            return out
        accepted = out["active"] == Status.accepted
        cs1, cs2 = params.ref_cellsize_, params.srch_cellsize_
        qc = (out["x2"] - params.ref_xll_) / cs1
        qr = (shape1[0] - 1) - (out["y2"] - params.ref_yll_) / cs1
        dx, dy = self.field.at(qr, qc)
        c2 = np.where(accepted, qc + dx, out["col2"])
        r2 = np.where(accepted, qr + dy, out["row2"])
        out["x2"] = cs2 * c2 + params.srch_xll_
        out["y2"] = ((shape2[0] - 1) * cs2 + params.srch_yll_) - cs2 * r2
        out["length"] = np.sqrt((out["x1"] - out["x2"]) ** 2 + (out["y1"] - out["y2"]) ** 2)
        moved = np.hypot(c2 - out["col1"] - params.col_offset_, r2 - out["row1"] - params.row_offset_)
        out["displacement"] = np.where(accepted, moved, out["displacement"])
        names = out.dtype.names or ()
        if "refine_dx" in names:
            refined = accepted & np.isfinite(out["refine_dx"]) & np.isfinite(out["refine_dy"])
            fr, fc = qr + np.where(refined, out["refine_dy"], 0.0), qc + np.where(refined, out["refine_dx"], 0.0)
            fdx, fdy = self.field.at(fr, fc)
            out["refine_dx"] = np.where(refined, fc + fdx - c2, np.nan)
            out["refine_dy"] = np.where(refined, fr + fdy - r2, np.nan)
        return out


def _spline_coefficients(pixels: np.ndarray, pool: Executor, parts: int) -> np.ndarray:
    """``ndimage.spline_filter(pixels, 3, mode="mirror")`` in float64, bit for bit, in ``parts``
    bands on ``pool``: the filter runs along each column, then along each row, every line on its
    own."""
    from scipy import ndimage

    out = pixels.astype(np.float64)
    for axis in (0, 1):
        n = out.shape[1 - axis]
        cuts = [n * k // parts for k in range(parts + 1)]

        def filter_band(k: int, axis: int = axis, cuts: list[int] = cuts) -> None:
            band = out[:, cuts[k]:cuts[k + 1]] if axis == 0 else out[cuts[k]:cuts[k + 1]]
            ndimage.spline_filter1d(band, 3, axis=axis, output=band, mode="mirror")

        for done in [pool.submit(filter_band, k) for k in range(parts) if cuts[k] < cuts[k + 1]]:
            done.result()
    return out


#: Pixels of the deformed window computed at a time (bounds the coordinate arrays' memory).
_STRIP_PIXELS = 1 << 19


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
