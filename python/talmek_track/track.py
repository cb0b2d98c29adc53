"""The whole run from two image files to results and result files, callable from Python."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Iterable
from datetime import datetime

import numpy as np

import Talmek
from talmek_track._facts import (
    NODATA,
    REF_CHIP_MAX,
    REF_CHIP_MIN,
    SEARCH_CHIP_MAX,
    SEARCH_CHIP_MIN,
    chip_origin,
)
from talmek_track.backends import Backend, get_backend
from talmek_track.errors import InputError, OptionError, require
from talmek_track.georef import grid_transform, pair_georeference
from talmek_track.masking import chips_touch
from talmek_track.matching import RECORD_DTYPE, grid_arrays, grid_points
from talmek_track.outliers import FILTERS
from talmek_track.prefilter import Prefilter, parse_prefilter
from talmek_track.publish import output_target, staged
from talmek_track.readers import Raster, read_raster
from talmek_track.results import TrackResult
from talmek_track.velocity import interval_days, parse_dates, read_dates, vector_field
from talmek_track.writers import DEFAULT_FORMATS, WRITERS

#: Sub-pixel peak fits by name, as MatchingParams.peakmethod_ takes them.
PEAK_METHODS = {"linear": 1, "log": 2, "reciprocal": 3, "integer": 4}

#: The pre-filter and the outlier filter that the command and ``track_files`` use by default; the
#: measurements behind them are in docs/choosing-settings.md.
DEFAULT_PREFILTER = "wallis:15"
DEFAULT_FILTER = "median"
NO_PREFILTER = Prefilter()

#: Acquisition dates: "DATE1,DATE2" as the command takes them, or two datetimes.
Dates = str | tuple[datetime, datetime]

#: A size or spacing: one whole number for both directions, or (x, y) = (columns, rows).
Pair = int | tuple[int, int]


def _xy(name: str, value: Pair) -> tuple[int, int]:
    pair = (value, value) if isinstance(value, int) else tuple(value)
    if len(pair) != 2 or not all(isinstance(v, int) and not isinstance(v, bool) for v in pair):
        raise OptionError(f"{name} must be a whole number or a pair of them, got {value!r}")
    return pair[0], pair[1]


def make_params(chip: Pair = 32, margin: Pair = 8, step: Pair = 16, start: Pair | None = None,
                offset: Pair = 0, peak: str = "log", min_strength: float = 2.0,
                max_displacement: float | None = None) -> Talmek.MatchingParams:
    """The MatchingParams of a run's options (see ``track_files``), checked against the engine's
    chip limits; OptionError names the offending option."""
    (cw, ch), (mx, my), (sx, sy) = _xy("chip", chip), _xy("margin", margin), _xy("step", step)
    if not (REF_CHIP_MIN <= cw <= REF_CHIP_MAX and REF_CHIP_MIN <= ch <= REF_CHIP_MAX):
        raise OptionError(f"--chip must be {REF_CHIP_MIN}..{REF_CHIP_MAX} pixels, got {cw},{ch}")
    if mx < 0 or my < 0:
        raise OptionError(f"--margin must not be negative, got {mx},{my}")
    sw, sh = cw + 2 * mx, ch + 2 * my
    if not (SEARCH_CHIP_MIN <= sw <= SEARCH_CHIP_MAX and SEARCH_CHIP_MIN <= sh <= SEARCH_CHIP_MAX):
        raise OptionError(f"the search window {sw}x{sh} must be {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX} "
                          "pixels on each side; widen --margin or --chip")
    if sx < 1 or sy < 1:
        raise OptionError(f"--step must be at least 1, got {sx},{sy}")
    if peak not in PEAK_METHODS:
        raise OptionError(f"--peak must be one of {', '.join(PEAK_METHODS)}, got {peak!r}")
    p = Talmek.MatchingParams()
    p.chipwidth_, p.chipheight_ = cw, ch
    p.hoffset_, p.voffset_ = mx, my
    p.col_interval_, p.row_interval_ = sx, sy
    p.col_offset_, p.row_offset_ = _xy("offset", offset)
    p.peakmethod_ = PEAK_METHODS[peak]
    p.mincorr_ = float(min_strength)
    p.maxdiff_ = -2.0 if max_displacement is None else float(max_displacement)
    if start is not None:
        p.start_col_, p.start_row_ = _xy("start", start)
    return p


def _first_fitting(size: int) -> int:
    # The smallest centre whose chip starts at index 0 or later.
    return int(np.flatnonzero(chip_origin(np.arange(size + 1), size) >= 0)[0])


def auto_start(p: Talmek.MatchingParams) -> None:
    """Sets the grid start to the first point whose chips fit in both images."""
    p.start_col_ = max(0, _first_fitting(p.chipwidth_),
                       _first_fitting(p.chipwidth_ + 2 * p.hoffset_) - p.col_offset_)
    p.start_row_ = max(0, _first_fitting(p.chipheight_),
                       _first_fitting(p.chipheight_ + 2 * p.voffset_) - p.row_offset_)


def _velocity_options(prefilter: str | Prefilter | None, filter: str,
                      dates: Dates | None) -> tuple[Prefilter, tuple[datetime, datetime] | None]:
    try:
        chosen = parse_prefilter(prefilter)
    except ValueError as e:
        raise OptionError(f"--prefilter: {e}") from None
    try:
        dated = parse_dates(dates) if isinstance(dates, str) else dates
        if dated is not None:
            if len(dated) != 2:
                raise ValueError("expected two dates, first image first")
            interval_days(*dated)
    except (ValueError, TypeError) as e:
        raise OptionError(f"--dates: {e}") from None
    if filter not in FILTERS:
        raise OptionError(f"--filter must be one of {', '.join(FILTERS)}, got {filter!r}")
    return chosen, dated


def _prefiltered(raster: Raster, prefilter: Prefilter) -> Raster:
    """The raster's pixels through the pre-filter; pixels that the filter mixes with a missing one
    (within its halo) count as missing too."""
    if prefilter.kind == "none":
        return raster
    require("scipy", "cli")
    from scipy import ndimage

    invalid = raster.invalid
    if invalid is not None:
        size = 2 * prefilter.halo + 1
        invalid = ndimage.maximum_filter(invalid.view(np.uint8), size=size, mode="constant") > 0
    return Raster(raster.path, prefilter(raster.pixels), invalid, raster.transform, raster.crs)


#: A stable-ground mask: an image file, or an array of image 1's shape (non-zero: stable).
Stable = str | os.PathLike[str] | np.ndarray


def _stable_points(source: Stable, shape: tuple[int, int], points: np.ndarray) -> np.ndarray:
    if isinstance(source, np.ndarray):
        name, stable = "the stable-ground mask", np.asarray(source) != 0
    else:
        mask = read_raster(os.fspath(source))
        name, stable = os.fspath(source), mask.pixels != 0
        if mask.invalid is not None:
            stable &= ~mask.invalid
    if stable.shape != shape:
        raise InputError(f"{name}: the stable-ground mask is {stable.shape[-1]}x{stable.shape[0]} "
                         f"pixels, IMAGE1 {shape[1]}x{shape[0]}")
    result: np.ndarray = stable[points[:, 0], points[:, 1]]
    return result


def track_rasters(raster1: Raster, raster2: Raster, params: Talmek.MatchingParams, *,
                  auto: bool, matcher: Backend,
                  progress: Callable[[int, int], object] | None = None,
                  prefilter: Prefilter = NO_PREFILTER, filter: str = DEFAULT_FILTER,
                  dates: tuple[datetime, datetime] | None = None,
                  stable: Stable | None = None) -> TrackResult:
    """The matching part of ``track_files`` on two images already read: georeferences, grid,
    nodata masking, pre-filter, matching and the vector field. ``params`` carries the grid
    settings; its georeference and (with ``auto``) its grid start are filled in here."""
    geo1, geo2, shift = pair_georeference(raster1, raster2)
    params.ref_cellsize_, params.ref_xll_, params.ref_yll_ = geo1.cellsize, geo1.xll, geo1.yll
    params.srch_cellsize_, params.srch_xll_, params.srch_yll_ = geo2.cellsize, geo2.xll, geo2.yll
    params.row_offset_ += shift[0]
    params.col_offset_ += shift[1]
    if auto:
        auto_start(params)

    shape = (raster1.pixels.shape[0], raster1.pixels.shape[1])
    points1, points2, grid_shape = grid_points(shape, params)
    if len(points1) == 0:
        warnings.warn("the grid holds no point inside IMAGE1; check --start and --step", stacklevel=3)
    stable_points = None if stable is None else _stable_points(stable, shape, points1)
    filtered1, filtered2 = _prefiltered(raster1, prefilter), _prefiltered(raster2, prefilter)
    skip = chips_touch(filtered1.invalid, points1, params.chipwidth_, params.chipheight_)
    skip |= chips_touch(filtered2.invalid, points2, params.chipwidth_ + 2 * params.hoffset_,
                        params.chipheight_ + 2 * params.voffset_)
    todo = ~skip
    total = int(todo.sum())
    matched = matcher.match(filtered1.pixels, filtered2.pixels, points1[todo], points2[todo], params,
                            None if progress is None else lambda done: progress(done, total))
    records = np.zeros(len(points1), RECORD_DTYPE)
    records[todo] = matched
    records["row1"], records["col1"] = points1[:, 0], points1[:, 1]
    records["row2"], records["col2"] = points2[:, 0], points2[:, 1]
    records["active"][skip] = NODATA

    result = TrackResult(
        raster1.path, raster2.path, records, grid_arrays(records, grid_shape, params),
        params, shape, raster1.transform, raster1.crs, preview=raster1.pixels)
    if raster1.transform is not None:
        result.grid_transform = grid_transform(raster1.transform,
                                               (params.start_row_, params.start_col_),
                                               (params.row_interval_, params.col_interval_))
    result.vector_field = vector_field(
        records, grid_shape, params, image_transform=raster1.transform, image_rows=shape[0],
        crs=raster1.crs, dates=dates, filter=filter, stable=stable_points,
        attrs={"prefilter": str(prefilter)})
    return result


def track_files(image1: str | os.PathLike[str], image2: str | os.PathLike[str],
                output: str | os.PathLike[str] | None = None, *, chip: Pair = 32,
                margin: Pair = 8, step: Pair = 16, start: Pair | None = None, offset: Pair = 0,
                peak: str = "log", min_strength: float = 2.0,
                max_displacement: float | None = None, nodata: float | None = None,
                threads: int | None = None, formats: Iterable[str] | None = None,
                progress: Callable[[int, int], object] | None = None,
                backend: str = "threads", dates: Dates | None = None,
                prefilter: str | Prefilter | None = DEFAULT_PREFILTER, filter: str = DEFAULT_FILTER,
                stable: str | os.PathLike[str] | None = None) -> TrackResult:
    """Matches a regular grid of points of image 1 in image 2 and writes the results.

    Pairs of values are (x, y) = (columns, rows); a single whole number stands for both.

    Parameters
    ----------
    image1, image2 : str or os.PathLike
        The reference and the search image: PNG, JPEG, TIFF or GeoTIFF. Colour becomes grey.
    output : str or os.PathLike, optional
        Folder for the result files, created if missing (its parent must exist); files of the
        same names in it are replaced. None writes nothing.
    chip : int or (int, int)
        Reference chip size in pixels.
    margin : int or (int, int)
        Search margin on each side of the chip; chip + 2 x margin is the search window.
    step : int or (int, int)
        Grid spacing in pixels of image 1.
    start : (int, int), optional
        Column and row of the first grid point; None picks the first pixel whose chips fit in
        both images.
    offset : int or (int, int)
        Expected displacement in pixels where each search window is centred; for GeoTIFF input
        the shift between the two pixel grids is added.
    peak : {"linear", "log", "reciprocal", "integer"}
        Sub-pixel peak fit.
    min_strength : float
        Lowest correlation strength accepted.
    max_displacement : float, optional
        Longest displacement accepted from the expected position; None: the smaller margin
        minus 2.
    nodata : float, optional
        Pixel value marking missing data in both images (default: what a TIFF declares).
        Points whose chips touch one are not matched and get ``Status.nodata``.
    threads : int, optional
        Threads to match on (default: every core).
    formats : iterable of str, optional
        Names of the writers to run (keys of ``talmek_track.writers.WRITERS``); default:
        ``DEFAULT_FORMATS`` (the GeoPackage only when pyogrio or fiona is installed).
    progress : callable, optional
        Called with (points done, points in all) while matching.
    backend : str
        Where to match (a key of ``talmek_track.backends.BACKENDS``).
    dates : str or (datetime, datetime), optional
        Acquisition dates of image 1 and image 2 ("2024-07-01,2024-08-12", ISO timestamps
        allowed); default: from the files' metadata, else none. Velocities need them.
    prefilter : str or Prefilter, optional
        ``none``, ``gauss:SIGMA``, ``highpass:SIGMA`` or ``wallis:SIZE``, applied to both images
        before matching (default: wallis:15).
    filter : {"median", "none"}
        Outlier filter over the accepted vectors; outliers get ``Status.outlier`` in the vector
        field and keep their values.
    stable : str or os.PathLike, optional
        An image of image 1's size whose non-zero pixels are stable ground; sigma_x and sigma_y
        are then the spread of the displacements measured there.

    Returns
    -------
    TrackResult
        The records, the grid, the vector field and, in ``paths``, the files written.

    Raises
    ------
    OptionError
        An option outside its limits.
    InputError
        An input that cannot be read or used.
    OSError
        The results cannot be written; nothing is published then.
    """
    params = make_params(chip, margin, step, start, offset, peak, min_strength, max_displacement)
    chosen, dated = _velocity_options(prefilter, filter, dates)
    names = list(formats) if formats is not None else [
        n for n in DEFAULT_FORMATS if n != "gpkg" or _has_gpkg_writer()]
    unknown = [n for n in names if n not in WRITERS]
    if unknown:
        raise OptionError(f"unknown output format {unknown[0]!r}; choose from {', '.join(WRITERS)}")
    if threads is not None and threads < 1:
        raise OptionError(f"--threads must be at least 1, got {threads}")
    matcher = get_backend(backend, threads)
    out = output_target(output) if output is not None else None
    if out is not None and "plot" in names:
        require("matplotlib", "cli")
    if out is not None and "nc" in names:
        require("xarray", "xarray")
        require("rioxarray", "xarray")
    raster1 = read_raster(os.fspath(image1), nodata)
    raster2 = read_raster(os.fspath(image2), nodata)
    if raster1.transform is not None and out is not None and {"tif", "gpkg"} & set(names):
        require("rasterio", "geo")
    if out is not None and "gpkg" in names and raster1.crs is not None and not _has_gpkg_writer():
        require("pyogrio", "geo")
    if dated is None:
        dated = read_dates(None, os.fspath(image1), os.fspath(image2))
    result = track_rasters(raster1, raster2, params, auto=start is None, matcher=matcher,
                           progress=progress, prefilter=chosen, filter=filter, dates=dated,
                           stable=stable)
    if out is not None:
        with staged(out) as staging:
            written = [p for name in names for p in WRITERS[name](staging, result)]
        result.paths = [out / p.name for p in written]
    return result


def _has_gpkg_writer() -> bool:
    import importlib.util

    return any(importlib.util.find_spec(m) is not None for m in ("pyogrio", "fiona"))
