"""Batches of point pairs and regular grids matched on native threads."""

from __future__ import annotations

import operator
import warnings
from collections.abc import Callable
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import Talmek  # registers MatchingParams before the native part reads one
from talmek_track import _batch
from talmek_track._facts import Status
from talmek_track.errors import OptionError
from talmek_track.options.values import DEFAULT_PERCENTILES, MAX_GRID_POINTS, ValueRange
from talmek_track.sources.convert import to_uint8

#: The structured record of one matched point: the pair as given, then the LineSeg fields.
RECORD_DTYPE: np.dtype = _batch.record_dtype

#: A progress report: called with the number of points done so far.
Progress = Callable[[int], object]

_INT32 = np.iinfo(np.int32)


class GridMatch(NamedTuple):
    """A matched grid. ``records`` lists the grid points row by row; the other arrays have the
    grid's shape. ``dx``/``dy`` hold the displacement of accepted points in pixels of image 2
    (columns to the right, rows downwards) and NaN elsewhere; see ``match_grid``."""

    records: np.ndarray
    dx: np.ndarray
    dy: np.ndarray
    strength: np.ndarray
    status: np.ndarray


def require_params(params: object) -> None:
    if not isinstance(params, Talmek.MatchingParams):
        raise TypeError(f"params must be a Talmek.MatchingParams, got {type(params).__name__}")


def as_image(name: str, image: npt.ArrayLike, value_range: ValueRange = "auto",
             percentiles: tuple[float, float] = DEFAULT_PERCENTILES) -> npt.NDArray[np.uint8]:
    """A two-dimensional image as uint8: uint8 arrays as they are (read in place, not copied),
    other real types through ``to_uint8``."""
    array = image if isinstance(image, np.ndarray) else np.asarray(image)
    if array.ndim != 2:
        raise OptionError(f"{name} must be a two-dimensional array, got shape {array.shape}")
    return to_uint8(array, value_range, percentiles=percentiles, name=name)


def as_points(name: str, points: npt.ArrayLike) -> npt.NDArray[np.int32]:
    array = np.asarray(points)
    if array.shape == (0,):
        array = array.reshape(0, 2)
    if array.ndim != 2 or array.shape[1] != 2:
        raise OptionError(f"{name} must be an (n, 2) array of (row, col), got shape {array.shape}")
    if array.size == 0:
        return np.empty((0, 2), np.int32)
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must hold integers, got {array.dtype}")
    if array.min() < _INT32.min or array.max() > _INT32.max:
        raise OptionError(f"{name} holds a value outside the 32-bit integer range")
    return array.astype(np.int32, copy=False)


def thread_count(threads: int | None) -> int:
    """0 (every core) for None, else the count checked and capped."""
    if threads is None:
        return 0
    if isinstance(threads, bool):
        raise TypeError("threads must be an integer or None")
    try:
        n = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an integer or None, got {type(threads).__name__}") from None
    if n < 1:
        raise OptionError(f"threads must be at least 1, got {n}")
    return min(n, 4096)


def pair_array(points1: npt.ArrayLike, points2: npt.ArrayLike) -> npt.NDArray[np.int32]:
    """The (n, 4) rows of (row1, col1, row2, col2) that the native side takes."""
    p1 = as_points("points1", points1)
    p2 = as_points("points2", points2)
    if len(p1) != len(p2):
        raise OptionError(f"points1 and points2 differ in length ({len(p1)} and {len(p2)})")
    pairs = np.empty((len(p1), 4), np.int32)
    pairs[:, :2] = p1
    pairs[:, 2:] = p2
    return pairs


def warn_failures(failed: int, total: int, first_error: str, stacklevel: int = 1) -> None:
    """The one warning for points that failed inside the native code (memory exhausted, or chip
    buffers that cannot be had), whichever way they were matched; ``stacklevel`` as for
    ``warnings.warn``, counted from the caller."""
    if failed:
        warnings.warn(f"{failed} of {total} points could not be matched inside the native code and "
                      f"hold all-zero records with status error (active 0): "
                      f"{first_error or 'no reason given'}", RuntimeWarning, stacklevel=stacklevel + 1)


def match_points(image1: npt.ArrayLike, image2: npt.ArrayLike, points1: npt.ArrayLike,
                 points2: npt.ArrayLike, params: Talmek.MatchingParams, *,
                 threads: int | None = None, progress: Progress | None = None,
                 value_range: ValueRange = "auto") -> np.ndarray:
    """Matches image1 at points1[i] with image2 around points2[i] for every i.

    Parameters
    ----------
    image1, image2 : array_like
        Two-dimensional images. uint8 arrays are read in place (not copied) and must not be
        written to while the call runs; other real types become uint8 through ``to_uint8``
        with ``value_range`` (bool, complex and object arrays are refused).
    points1, points2 : array_like of int, shape (n, 2)
        (row, col) of each point in image 1 and of its expected position in image 2.
    params : Talmek.MatchingParams
        The match settings.
    threads : int, optional
        Native threads to work on (default: every core). The interpreter lock is released.
    progress : callable, optional
        Called on the calling thread with the number of points done, about every 50 ms and once
        at the end; an exception it raises (or Ctrl-C) stops the workers and propagates.
    value_range : "auto", (float, float) or None
        How images other than uint8 are converted; see ``to_uint8`` (None refuses them).

    Returns
    -------
    numpy.ndarray of RECORD_DTYPE, shape (n,)
        row1, col1, row2, col2 as given, then every LineSeg field, each record bit-identical to
        ``SelectedMatch(image1, image2, [r1, r2], [c1, c2], params)``.

    Warns
    -----
    RuntimeWarning
        Once, when points failed inside the native code (memory exhausted, or chip sizes whose
        buffers cannot be had); they hold all-zero records with active 0 (``Status.error``), as
        SelectedMatch returns.
    UserWarning
        Once per image converted with the automatic range, naming the range.
    """
    require_params(params)
    array1 = as_image("image1", image1, value_range)
    array2 = as_image("image2", image2, value_range)
    pairs = pair_array(points1, points2)
    n_threads = thread_count(threads)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    records, failed, message = _batch.match_points(array1, array2, pairs, params, n_threads, progress)
    warn_failures(failed, len(records), message, stacklevel=2)
    return records


def grid_points(shape: tuple[int, ...], params: Talmek.MatchingParams, *,
                max_points: int | None = MAX_GRID_POINTS
                ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], tuple[int, int]]:
    """The grid that params lays over an image and each point's expected position in image 2.

    Grid rows are start_row_, start_row_ + row_interval_, ... below shape[0], columns likewise
    with start_col_, col_interval_ and shape[1]. Each point is expected in image 2 at
    (row + row_offset_, col + col_offset_): the offsets are a displacement that is known
    beforehand (or a shift between the two images' pixel grids), so the search window is centred
    there. Points whose chips leave an image are kept; they match with ``Status.chip_outside``.

    Parameters
    ----------
    shape : tuple of int
        (rows, cols) of image 1.
    params : Talmek.MatchingParams
        The grid settings: start, interval and offset fields.
    max_points : int or None
        The most points the grid may hold (None: no limit); counted before any is laid out.

    Returns
    -------
    points1, points2 : numpy.ndarray of int64, shape (n, 2)
        (row, col) of the points in image 1 and their expected positions in image 2, row by row.
    grid_shape : tuple of int
        The grid's (rows, cols).

    Raises
    ------
    OptionError
        A grid of more than ``max_points`` points (a start far outside the image, a narrow
        interval over a huge shape).
    """
    require_params(params)
    try:
        rows, cols = (operator.index(v) for v in shape)
    except (TypeError, ValueError):
        raise TypeError(f"shape must be two integers (rows, cols), got {shape!r}") from None
    if rows < 0 or cols < 0:
        raise ValueError(f"shape must not be negative, got {(rows, cols)}")
    if params.row_interval_ <= 0 or params.col_interval_ <= 0:
        raise ValueError("row_interval_ and col_interval_ must be positive, got "
                         f"{params.row_interval_} and {params.col_interval_}")
    n_rows = len(range(params.start_row_, rows, params.row_interval_))
    n_cols = len(range(params.start_col_, cols, params.col_interval_))
    if max_points is not None and n_rows * n_cols > max_points:
        raise OptionError(f"the grid would hold {n_rows} x {n_cols} = {n_rows * n_cols} points, more than "
                          f"max_points allows ({max_points}); start the grid inside the image, widen "
                          "row_interval_ and col_interval_, or pass a larger max_points")
    r = np.arange(params.start_row_, rows, params.row_interval_, dtype=np.int64)
    c = np.arange(params.start_col_, cols, params.col_interval_, dtype=np.int64)
    rr, cc = np.meshgrid(r, c, indexing="ij")
    points1 = np.stack([rr.ravel(), cc.ravel()], axis=1)
    points2 = points1 + np.array([params.row_offset_, params.col_offset_], np.int64)
    return points1, points2, (len(r), len(c))


class Displacements(NamedTuple):
    """The displacement of each record, accepted ones only (NaN elsewhere), flat in record
    order: in map units (x east, y north) and in pixels of image 2 (columns to the right, rows
    downwards)."""

    dx: npt.NDArray[np.float64]
    dy: npt.NDArray[np.float64]
    dx_map: npt.NDArray[np.float64]
    dy_map: npt.NDArray[np.float64]


def displacements(records: np.ndarray, cellsize: float) -> Displacements:
    """The displacements of records matched with a search image of pixel size ``cellsize``
    (``srch_cellsize_``): dx_map = x2 - x1, dy_map = y2 - y1, dx = dx_map / cellsize,
    dy = -dy_map / cellsize."""
    accepted = records["active"] == Status.accepted
    with np.errstate(divide="ignore", invalid="ignore"):
        dx_map = np.where(accepted, records["x2"] - records["x1"], np.nan)
        dy_map = np.where(accepted, records["y2"] - records["y1"], np.nan)
        dx = dx_map / cellsize
        dy = -dy_map / cellsize
    return Displacements(dx, dy, dx_map, dy_map)


def on_grid(records: np.ndarray, grid_shape: tuple[int, int], dx: np.ndarray,
            dy: np.ndarray) -> GridMatch:
    """Records and their pixel displacements (``displacements``) arranged on the grid."""
    # The grid holds +0.0 for no row displacement and a positive NaN where there is none, as it
    # always has (negating dy_map gives -0.0 and -NaN).
    dy = np.where(records["active"] == Status.accepted, dy + 0.0, np.nan)
    return GridMatch(records, dx.reshape(grid_shape), dy.reshape(grid_shape),
                     records["strength"].reshape(grid_shape), records["active"].reshape(grid_shape))


def grid_arrays(records: np.ndarray, grid_shape: tuple[int, int],
                params: Talmek.MatchingParams) -> GridMatch:
    """Arranges the records of a grid's points on the grid.

    Parameters
    ----------
    records : numpy.ndarray of RECORD_DTYPE
        One record per grid point, row by row, as ``match_points`` returns for the points of
        ``grid_points``.
    grid_shape : tuple of int
        The grid's (rows, cols).
    params : Talmek.MatchingParams
        The settings matched with; ``srch_cellsize_`` turns map units into pixels.

    Returns
    -------
    GridMatch
        See ``match_grid``.
    """
    moved = displacements(records, params.srch_cellsize_)
    return on_grid(records, grid_shape, moved.dx, moved.dy)


def match_grid(image1: npt.ArrayLike, image2: npt.ArrayLike, params: Talmek.MatchingParams, *,
               threads: int | None = None, progress: Progress | None = None,
               value_range: ValueRange = "auto", max_points: int | None = MAX_GRID_POINTS) -> GridMatch:
    """Matches the grid of ``grid_points(image1.shape, params)``.

    Parameters
    ----------
    image1, image2 : array_like
        Two-dimensional images, as for ``match_points``.
    params : Talmek.MatchingParams
        The match and grid settings.
    threads, progress, value_range
        As for ``match_points``.
    max_points : int or None
        As for ``grid_points``: a bigger grid is refused before anything is matched.

    Returns
    -------
    GridMatch
        ``records`` as ``match_points`` returns them, row by row over the grid; ``dx`` and ``dy``
        the displacement of each accepted point in pixels of image 2, measured through the map
        coordinates: dx = (x2 - x1) / srch_cellsize_ and dy = (y1 - y2) / srch_cellsize_, so
        columns count to the right and rows downwards. With equal georeferences and images of
        equal size (the defaults) this is the position found in image 2 minus the position in
        image 1, in pixels, the expected offsets included. Other points hold NaN; ``strength``
        and ``status`` are the records' ``strength`` and ``active``.
    """
    require_params(params)
    array1 = as_image("image1", image1, value_range)
    array2 = as_image("image2", image2, value_range)
    points1, points2, shape = grid_points(array1.shape, params, max_points=max_points)
    records = match_points(array1, array2, points1, points2, params, threads=threads,
                           progress=progress)
    return grid_arrays(records, shape, params)
