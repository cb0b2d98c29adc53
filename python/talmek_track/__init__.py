"""Talmek on many points at once: batches and regular grids matched on every core.

``match_points`` matches point pairs of one image pair with the same engine as
``Talmek.SelectedMatch``, record for record bit-identical, on native threads with the interpreter
lock released. ``grid_points`` lays the grid that a ``MatchingParams`` describes over an image and
``match_grid`` matches it and arranges the results on that grid. The ``talmek-track`` command
(module ``talmek_track.cli``) does the same for image files.
"""

from __future__ import annotations

import operator
import warnings
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np

import Talmek  # registers MatchingParams before the native part reads one
from talmek_track import _batch

__all__ = [
    "GridMatch", "NODATA", "RECORD_DTYPE", "STATUS_NAMES", "grid_points", "match_grid",
    "match_points", "status_name",
]

#: The structured record of one matched point: the pair as given, then the LineSeg fields.
RECORD_DTYPE: np.dtype = _batch.record_dtype

#: Status of a point that was never matched because a chip held a nodata pixel (the command-line
#: tool's masking); the engine itself never produces it.
NODATA = -1

#: Names of the status codes found in ``active``. 0 marks a point whose match failed inside the
#: native code (for example memory exhausted), recorded all zero like SelectedMatch's result.
STATUS_NAMES = {
    0: "error",
    1: "accepted",
    2: "border",
    3: "ambiguous",
    4: "weak",
    5: "too_far",
    204: "bad_chip_size",
    205: "chip_outside",
    NODATA: "nodata",
}

_INT32 = np.iinfo(np.int32)


def status_name(code: int) -> str:
    return STATUS_NAMES.get(int(code), f"status_{int(code)}")


class GridMatch(NamedTuple):
    """A matched grid. ``records`` lists the grid points row by row; the other arrays have the
    grid's shape. ``dx``/``dy`` hold the displacement of accepted points in pixels of image 2
    (columns to the right, rows downwards) and NaN elsewhere; see ``match_grid``."""

    records: np.ndarray
    dx: np.ndarray
    dy: np.ndarray
    strength: np.ndarray
    status: np.ndarray


def _require_params(params: object) -> None:
    if not isinstance(params, Talmek.MatchingParams):
        raise TypeError(f"params must be a Talmek.MatchingParams, got {type(params).__name__}")


def _image(name: str, image: object) -> np.ndarray:
    # Only the shape is checked here; the native side converts to uint8 exactly as SelectedMatch
    # does, reading uint8 arrays in place.
    array = image if isinstance(image, np.ndarray) else np.asarray(image)
    if array.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional array, got shape {array.shape}")
    return array


def _points(name: str, points: object) -> np.ndarray:
    array = np.asarray(points)
    if array.shape == (0,):
        array = array.reshape(0, 2)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"{name} must be an (n, 2) array of (row, col), got shape {array.shape}")
    if array.size == 0:
        return np.empty((0, 2), np.int32)
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must hold integers, got {array.dtype}")
    if array.min() < _INT32.min or array.max() > _INT32.max:
        raise ValueError(f"{name} holds a value outside the 32-bit integer range")
    return array.astype(np.int32, copy=False)


def _threads(threads: Any) -> int:
    if threads is None:
        return 0  # the native side takes every core
    if isinstance(threads, bool):
        raise TypeError("threads must be an integer or None")
    try:
        n = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an integer or None, got {type(threads).__name__}") from None
    if n < 1:
        raise ValueError(f"threads must be at least 1, got {n}")
    return min(n, 4096)


def match_points(image1, image2, points1, points2, params, *, threads: int | None = None,
                 progress: Callable[[int], object] | None = None) -> np.ndarray:
    """Matches image1 at points1[i] with image2 around points2[i] for every i.

    points1 and points2 are (n, 2) integer arrays of (row, col). Returns an (n,) array of
    ``RECORD_DTYPE``: row1, col1, row2, col2 as given, then every LineSeg field, each record
    bit-identical to ``SelectedMatch(image1, image2, [r1, r2], [c1, c2], params)``.

    The images are read in place (a uint8 array is not copied) and must not be written to while
    the call runs. Work runs on ``threads`` native threads (default: every core) without the
    interpreter lock. ``progress``, if given, is called on the calling thread with the number of
    points done, about every 50 ms and once at the end; an exception it raises (or Ctrl-C) stops
    the workers and propagates. A point whose match fails inside the native code (memory
    exhausted, or chip sizes whose buffers cannot be had) gets an all-zero record with active 0,
    as SelectedMatch returns, and one RuntimeWarning summarises such failures.
    """
    _require_params(params)
    image1 = _image("image1", image1)
    image2 = _image("image2", image2)
    p1 = _points("points1", points1)
    p2 = _points("points2", points2)
    if len(p1) != len(p2):
        raise ValueError(f"points1 and points2 differ in length ({len(p1)} and {len(p2)})")
    n_threads = _threads(threads)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    pairs = np.empty((len(p1), 4), np.int32)
    pairs[:, :2] = p1
    pairs[:, 2:] = p2
    records, failed, message = _batch.match_points(image1, image2, pairs, params, n_threads, progress)
    if failed:
        warnings.warn(f"{failed} of {len(records)} points could not be matched and hold all-zero "
                      f"records with active 0: {message}", RuntimeWarning, stacklevel=2)
    return records


def grid_points(shape, params) -> tuple[np.ndarray, np.ndarray, tuple[int, int]]:
    """The grid that params lays over an image of ``shape`` (rows, cols) and the expected
    position of each of its points in the second image.

    Grid rows are start_row_, start_row_ + row_interval_, ... below shape[0], columns likewise
    with start_col_, col_interval_ and shape[1]. Each point is expected in image 2 at
    (row + row_offset_, col + col_offset_): the offsets are a displacement that is known
    beforehand (or a shift between the two images' pixel grids), so the search window is centred
    there. Returns points1 and points2 as (n, 2) int64 arrays of (row, col), row by row, and the
    grid's (rows, cols). Points whose chips leave an image are kept; they match with status 205.
    """
    _require_params(params)
    try:
        rows, cols = (operator.index(v) for v in shape)
    except (TypeError, ValueError):
        raise TypeError(f"shape must be two integers (rows, cols), got {shape!r}") from None
    if rows < 0 or cols < 0:
        raise ValueError(f"shape must not be negative, got {(rows, cols)}")
    if params.row_interval_ <= 0 or params.col_interval_ <= 0:
        raise ValueError("row_interval_ and col_interval_ must be positive, got "
                         f"{params.row_interval_} and {params.col_interval_}")
    r = np.arange(params.start_row_, rows, params.row_interval_, dtype=np.int64)
    c = np.arange(params.start_col_, cols, params.col_interval_, dtype=np.int64)
    rr, cc = np.meshgrid(r, c, indexing="ij")
    points1 = np.stack([rr.ravel(), cc.ravel()], axis=1)
    points2 = points1 + np.array([params.row_offset_, params.col_offset_], np.int64)
    return points1, points2, (len(r), len(c))


def grid_arrays(records: np.ndarray, grid_shape: tuple[int, int], params) -> GridMatch:
    """Arranges the records of a grid's points (row by row) on the grid; see ``match_grid``."""
    accepted = records["active"] == 1
    cellsize = params.srch_cellsize_
    with np.errstate(divide="ignore", invalid="ignore"):
        dx = np.where(accepted, (records["x2"] - records["x1"]) / cellsize, np.nan)
        dy = np.where(accepted, (records["y1"] - records["y2"]) / cellsize, np.nan)
    return GridMatch(records, dx.reshape(grid_shape), dy.reshape(grid_shape),
                     records["strength"].reshape(grid_shape), records["active"].reshape(grid_shape))


def match_grid(image1, image2, params, **kw) -> GridMatch:
    """Matches the grid of ``grid_points(image1.shape, params)``; keywords go to match_points.

    ``dx`` and ``dy`` are the displacement of each accepted point in pixels of image 2, measured
    through the map coordinates: dx = (x2 - x1) / srch_cellsize_ and dy = (y1 - y2) /
    srch_cellsize_, so columns count to the right and rows downwards. With equal georeferences
    and images of equal size (the defaults) this is the position found in image 2 minus the
    position in image 1, in pixels, the expected offsets included. Other points hold NaN;
    ``strength`` and ``status`` are the records' ``strength`` and ``active``.
    """
    image1 = _image("image1", image1)
    points1, points2, shape = grid_points(image1.shape, params)
    records = match_points(image1, image2, points1, points2, params, **kw)
    return grid_arrays(records, shape, params)
