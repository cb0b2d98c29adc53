"""Image 2 deformed by a predicted displacement field, inside one block.

``Field`` is a displacement field on a regular grid of image 1's pixels, interpolated bilinearly
between its points; ``Deformation`` resamples the part of image 2 that a block needs onto image
1's geometry by cubic splines, so that the block's last passes search only the residual of the
prediction. The guided passes and the reference maps make the fields; the blocks apply them.
"""

from __future__ import annotations

import math
from concurrent.futures import Executor, ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import Talmek
from talmek_track._facts import Status
from talmek_track.matching.prefilter import core_count


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
