"""The whole run from two image files to results and result files, callable from Python."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any

import numpy as np

import Talmek
from talmek_track._facts import (
    REF_CHIP_MAX,
    REF_CHIP_MIN,
    SEARCH_CHIP_MAX,
    SEARCH_CHIP_MIN,
    Status,
    chip_origin,
)
from talmek_track.backends import get_runner, run_blocks
from talmek_track.blocks import DEFAULT_BLOCK_PIXELS, BlockJob, plan_blocks
from talmek_track.convert import DEFAULT_PERCENTILES, ValueRange
from talmek_track.dates import acquisition_dates, interval_days, parse_dates
from talmek_track.errors import InputError, OptionError, require
from talmek_track.georef import check_offsets, grid_transform, pair_georeference
from talmek_track.matching import RECORD_DTYPE, grid_arrays, grid_points
from talmek_track.outliers import FILTERS
from talmek_track.prefilter import Prefilter, parse_prefilter
from talmek_track.publish import output_target, staged
from talmek_track.readers import ImageSource, forget_decoded, open_source
from talmek_track.results import TrackResult
from talmek_track.refine import Refinement, parse_refine, split
from talmek_track.stable import STABLE_METHODS
from talmek_track.validity import ImageValidity, Mask, open_mask, saturation_value
from talmek_track.velocity import vector_field
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

#: A stable-ground mask: an image file, or an array of image 1's shape (non-zero: stable); or
#: "slow" (the slowest quarter of the accepted vectors) or "none".
Stable = str | os.PathLike[str] | np.ndarray

#: Refinement of accepted matches, the back-match test and the masking of saturated areas, on
#: unless switched off (the measurements behind them are in docs/choosing-settings.md).
DEFAULT_REFINE = "cubic"
DEFAULT_BACKMATCH = True
DEFAULT_SIMILARITY = True
DEFAULT_SATURATION = True

#: A size or spacing: one whole number for both directions, or (x, y) = (columns, rows).
Pair = int | tuple[int, int]

#: The longest side of the picture of the first image that figures are drawn on.
PREVIEW_SIDE = 2000


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
    ox, oy = _xy("offset", offset)
    if max(abs(ox), abs(oy)) >= 2**30:
        raise OptionError(f"--offset must stay below 2^30 pixels, got {ox},{oy}")
    p = Talmek.MatchingParams()
    p.chipwidth_, p.chipheight_ = cw, ch
    p.hoffset_, p.voffset_ = mx, my
    p.col_interval_, p.row_interval_ = sx, sy
    p.col_offset_, p.row_offset_ = ox, oy
    p.peakmethod_ = PEAK_METHODS[peak]
    p.mincorr_ = float(min_strength)
    p.maxdiff_ = -2.0 if max_displacement is None else float(max_displacement)
    if start is not None:
        p.start_col_, p.start_row_ = _xy("start", start)
    return p


def _first_fitting(size: int) -> int:
    # The smallest centre from 0 up whose chip starts at index 0 or later.
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


def _stable_points(stable: Stable, shape: tuple[int, int], points: np.ndarray) -> np.ndarray:
    """Whether each grid point lies on stable ground; a mask file is read one grid row at a time."""
    rows = np.unique(points[:, 0])
    if isinstance(stable, np.ndarray):
        name, mask = "the stable-ground mask", np.asarray(stable)
        if mask.shape != shape:
            raise InputError(f"{name}: the stable-ground mask is {mask.shape[-1]}x{mask.shape[0]} "
                             f"pixels, IMAGE1 {shape[1]}x{shape[0]}")
        result: np.ndarray = mask[points[:, 0], points[:, 1]] != 0
        return result
    source = open_source(stable)
    if source.shape != shape:
        raise InputError(f"{source.path}: the stable-ground mask is {source.shape[1]}x{source.shape[0]} "
                         f"pixels, IMAGE1 {shape[1]}x{shape[0]}")
    on = np.zeros(len(points), bool)
    for r, raw in zip(rows.tolist(), source.read_rows(rows.tolist())):
        at = np.flatnonzero(points[:, 0] == r)
        values = raw[0, points[at, 1]]
        on[at] = (values != 0).any(axis=-1) & ~source.invalid_of(values[np.newaxis])[0]
    return on


def prepare_sources(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams, *,
                    start_given: bool) -> None:
    """Relates two sources' georeferences and completes ``params``: georeferences, the shift
    between the pixel grids, the grid start. InputError when they cannot be matched together."""
    geo1, geo2, shift = pair_georeference(source1, source2)
    offset = (params.row_offset_ + shift[0], params.col_offset_ + shift[1])
    check_offsets(source1, source2, offset)
    params.ref_cellsize_, params.ref_xll_, params.ref_yll_ = geo1.cellsize, geo1.xll, geo1.yll
    params.srch_cellsize_, params.srch_xll_, params.srch_yll_ = geo2.cellsize, geo2.xll, geo2.yll
    params.row_offset_, params.col_offset_ = offset
    if not start_given:
        auto_start(params)


def prepare(image1: str | os.PathLike[str], image2: str | os.PathLike[str], params: Talmek.MatchingParams,
            *, start_given: bool, band: int | None = None, page: int | None = None,
            nodata: float | None = None) -> tuple[ImageSource, ImageSource]:
    """Opens both inputs, relates their georeferences and completes ``params`` (georeferences,
    the shift between the pixel grids, the grid start). Every input check of a run happens here,
    before any pixel is matched; InputError names the first failure."""
    source1 = open_source(image1, band=band, page=page, nodata=nodata)
    source2 = open_source(image2, band=band, page=page, nodata=nodata)
    prepare_sources(source1, source2, params, start_given=start_given)
    return source1, source2


@dataclass
class PairPlan:
    """One pair planned for matching: its sources and completed settings, the grid and its
    block jobs; ``finish_plan`` turns the jobs' records into the pair's result."""

    source1: ImageSource
    source2: ImageSource
    params: Talmek.MatchingParams
    grid_shape: tuple[int, int]
    jobs: list[BlockJob]
    prefilter: Prefilter = NO_PREFILTER
    filter: str = DEFAULT_FILTER
    dates: tuple[datetime, datetime] | None = None
    stable_points: np.ndarray | None = None
    stable_method: str = "none"
    refine: Refinement | None = None

    @property
    def total(self) -> int:
        """Points of the grid."""
        return self.grid_shape[0] * self.grid_shape[1]


def plan_sources(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams, *,
                 threads: int | None = None, prefilter: Prefilter = NO_PREFILTER,
                 filter: str = DEFAULT_FILTER, dates: tuple[datetime, datetime] | None = None,
                 stable: Stable | None = None, block_pixels: int = DEFAULT_BLOCK_PIXELS,
                 refine: Refinement | None = None, mask1: Mask | None = None,
                 mask2: Mask | None = None, saturation: bool = False) -> PairPlan:
    """The grid of two sources whose value ranges are settled and whose settings
    ``prepare_sources`` completed, cut into block jobs (nodata masking, validity masks, the
    pre-filter and the refinement happen inside each block)."""
    if prefilter.kind != "none":
        require("scipy", "cli")
    points1, points2, grid_shape = grid_points(source1.shape, params)
    if len(points1) == 0:
        warnings.warn("the grid holds no point inside IMAGE1; check --start and --step", stacklevel=3)
    stable_method, stable_points = _stable_option(stable, source1, points1)
    validity = (_validity(source1, mask1, saturation, "the validity mask of IMAGE1"),
                _validity(source2, mask2, saturation, "the validity mask of IMAGE2"))
    jobs = plan_blocks(source1, source2, params, points1, points2, grid_shape, threads=threads,
                       block_pixels=block_pixels, prefilter=None if prefilter.kind == "none" else prefilter,
                       refine=refine, validity=validity)
    return PairPlan(source1, source2, params, grid_shape, jobs, prefilter, filter, dates, stable_points,
                    stable_method, refine)


def _stable_option(stable: Stable | None, source1: ImageSource,
                   points1: np.ndarray) -> tuple[str, np.ndarray | None]:
    """The stable-ground method and, for a mask, whether each grid point lies on stable ground."""
    if stable is None:
        return "none", None
    if isinstance(stable, str) and stable in STABLE_METHODS and stable != "mask":
        return stable, None
    if isinstance(stable, np.ndarray):
        return "mask", _stable_points(stable, source1.shape, points1)
    return "mask", open_mask(stable, source1, "the stable-ground mask").at_points(points1)


def _validity(source: ImageSource, mask: Mask | None, saturation: bool, name: str) -> ImageValidity | None:
    validity = ImageValidity(None if mask is None else open_mask(mask, source, name),
                             saturation_value(source) if saturation else None)
    return validity if validity.active else None


def finish_plan(plan: PairPlan, parts: Iterable[np.ndarray], *, preview: bool = False) -> TrackResult:
    """A planned pair's result from its jobs' records (job order): the grid and the vector field."""
    source1, params = plan.source1, plan.params
    records, extra = split(_run(parts, plan.total))
    result = TrackResult(source1.path, plan.source2.path, records,
                         grid_arrays(records, plan.grid_shape, params), params, source1.shape,
                         source1.transform, source1.crs)
    if source1.transform is not None and records.size:
        result.grid_transform = grid_transform(source1.transform,
                                               (params.start_row_, params.start_col_),
                                               (params.row_interval_, params.col_interval_))
    result.vector_field = vector_field(
        records, plan.grid_shape, params, image_transform=source1.transform,
        image_rows=source1.shape[0], crs=source1.crs, dates=plan.dates, filter=plan.filter,
        stable=plan.stable_points, stable_method=plan.stable_method, extra=extra,
        attrs={"prefilter": str(plan.prefilter), "refine": str(plan.refine or Refinement(0, None))})
    if preview:
        result.preview, result.preview_step = source1.preview(PREVIEW_SIDE)
    return result


def track_sources(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams, *,
                  backend: str = "threads", threads: int | None = None,
                  progress: Callable[[int, int], object] | None = None,
                  prefilter: Prefilter = NO_PREFILTER, filter: str = DEFAULT_FILTER,
                  dates: tuple[datetime, datetime] | None = None, stable: Stable | None = None,
                  block_pixels: int = DEFAULT_BLOCK_PIXELS, preview: bool = False,
                  cluster: dict[str, Any] | None = None, refine: Refinement | None = None,
                  mask1: Mask | None = None, mask2: Mask | None = None,
                  saturation: bool = False) -> TrackResult:
    """The matching part of ``track_files`` on two sources whose value ranges are settled and
    whose settings ``prepare_sources`` completed: the grid, matched block by block on
    ``backend`` (``cluster``: its client, scheduler and workers options), and the vector
    field."""
    plan = plan_sources(source1, source2, params, threads=threads, prefilter=prefilter,
                        filter=filter, dates=dates, stable=stable, block_pixels=block_pixels,
                        refine=refine, mask1=mask1, mask2=mask2, saturation=saturation)
    total = plan.total
    report = None if progress is None else (lambda done: progress(done, total))
    parts = run_blocks(plan.jobs, backend=backend, threads=threads, progress=report, **(cluster or {}))
    return finish_plan(plan, parts, preview=preview)


def track_files(image1: str | os.PathLike[str], image2: str | os.PathLike[str],
                output: str | os.PathLike[str] | None = None, *, chip: Pair = 32,
                margin: Pair = 8, step: Pair = 16, start: Pair | None = None, offset: Pair = 0,
                peak: str = "log", min_strength: float = 2.0,
                max_displacement: float | None = None, nodata: float | None = None,
                band: int | None = None, page: int | None = None,
                value_range: ValueRange = "auto",
                percentiles: tuple[float, float] = DEFAULT_PERCENTILES,
                threads: int | None = None, formats: Iterable[str] | None = None,
                plot: bool = True, progress: Callable[[int, int], object] | None = None,
                backend: str = "threads", dates: Dates | None = None,
                prefilter: str | Prefilter | None = DEFAULT_PREFILTER, filter: str = DEFAULT_FILTER,
                stable: str | os.PathLike[str] | None = None,
                block_pixels: int = DEFAULT_BLOCK_PIXELS, client: Any = None, scheduler: str | None = None,
                workers: int | None = None, refine: str | None = DEFAULT_REFINE,
                backmatch: bool | float = DEFAULT_BACKMATCH,
                similarity: bool | float = DEFAULT_SIMILARITY, mask1: Mask | None = None,
                mask2: Mask | None = None, saturation: bool = DEFAULT_SATURATION) -> TrackResult:
    """Matches a regular grid of points of image 1 in image 2 and writes the results.

    The grid is matched in blocks of grid rows; each block reads only the windows of both images
    that its chips cover, so memory follows the block size, not the images. Pairs of values are
    (x, y) = (columns, rows); a single whole number stands for both.

    Parameters
    ----------
    image1, image2 : str or os.PathLike
        The reference and the search image: PNG, JPEG, TIFF or, with rasterio, anything GDAL
        opens (GeoTIFF, ``/vsimem/``, ``/vsicurl/`` and other paths). Colour becomes grey.
    output : str or os.PathLike, optional
        Folder for the result files, created if missing (its parent must exist); files of the
        same names in it are replaced, all together or none. None writes nothing.
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
        Expected displacement in pixels where each search window is centred; for georeferenced
        input the shift between the two pixel grids is added.
    peak : {"linear", "log", "reciprocal", "integer"}
        Sub-pixel peak fit.
    min_strength : float
        Lowest correlation strength accepted.
    max_displacement : float, optional
        Longest displacement accepted from the expected position; None: the smaller margin
        minus 2.
    nodata : float, optional
        Pixel value marking missing data in both images (default: what the files declare).
        Points whose chips touch one are not matched and get ``Status.nodata``.
    band : int, optional
        The band of multi-band inputs to match, from 1 (default: grey from colour, else 1).
    page : int, optional
        The page of multi-page TIFF inputs, from 1 (required for them).
    value_range : "auto", (float, float) or None
        How pixels other than uint8 become 8-bit grey; see ``to_uint8``. The range is settled
        once per image before matching, so every block converts alike.
    percentiles : (float, float)
        The percentiles of the automatic range.
    threads : int, optional
        Threads to match on (default: every core).
    formats : iterable of str, optional
        Names of the writers to run (keys of ``talmek_track.writers.WRITERS``); default:
        ``DEFAULT_FORMATS`` (the GeoPackage only when pyogrio or fiona is installed).
    plot : bool
        False leaves out the figure (writer "plot"), whatever ``formats`` says.
    progress : callable, optional
        Called with (points done, points in all) while matching.
    backend : str
        Where to match (a key of ``talmek_track.backends.BACKENDS``): "threads" (this process)
        or "dask" (a Dask cluster, one task per block; see ``talmek_track.dask_backend``).
    dates : str or (datetime, datetime), optional
        Acquisition dates of image 1 and image 2 ("2024-07-01,2024-08-12", ISO timestamps
        allowed); default: from the files' metadata, else none. Velocities need them.
    prefilter : str or Prefilter, optional
        ``none``, ``gauss:SIGMA``, ``highpass:SIGMA`` or ``wallis:SIZE``, applied to both images
        before matching (default: wallis:15), block by block exactly as on the whole image.
    filter : {"median", "none"}
        Outlier filter over the accepted vectors; outliers get ``Status.outlier`` in the vector
        field and keep their values.
    stable : str or os.PathLike, optional
        A raster (any grid, read on image 1's, nearest) whose non-zero pixels are stable ground:
        the median displacement of the accepted vectors there is removed from dx_map, dy_map,
        vx, vy and v, and the spread left adds to each vector's uncertainty. "slow" takes the
        slowest quarter of the accepted vectors instead; "none" (or None) removes nothing.
    block_pixels : int
        Pixels of both images that one block reads at most (about; at least one grid row). On
        Dask one block is one task.
    client : distributed.Client, optional
        With backend "dask": the client of a cluster to use (left open).
    scheduler : str, optional
        With backend "dask": the address of a running scheduler (tcp://host:8786).
    workers : int, optional
        With backend "dask" and neither of the above: worker processes of the embedded
        LocalCluster; ``threads`` is then the threads per worker.
    refine : str, optional
        ``cubic`` (two rounds; ``cubic:N`` for N) refines each accepted match on image 2
        resampled at its estimate, free of the fit's pull towards whole pixels; ``none`` or
        None keeps the fit's estimate.
    backmatch : bool or float
        Match each found position back into image 1 and reject (as outliers) round trips that
        miss by more than 0.5 px (or the number given).
    similarity : bool or float
        Reject (as outliers) refined matches whose chips correlate below 0.5 (or the number
        given) at the refined position: clouds, shadows and other changes that the normalised
        correlation's peak alone does not show.
    mask1, mask2 : str, os.PathLike or numpy.ndarray, optional
        Validity masks of each image (any grid, read on the image's, nearest): points whose
        chips touch a non-zero pixel are not matched (status ``nodata``).
    saturation : bool
        Leave out chips touching areas at the top of the data's range (clipped clouds).

    Returns
    -------
    TrackResult
        The records, the grid, the vector field and, in ``paths``, the files written.

    Raises
    ------
    OptionError
        An option outside its limits.
    InputError
        An input that cannot be read or used; raised before any matching.
    OutputError
        The results cannot be written or published; earlier results in ``output`` are kept.
    """
    params = make_params(chip, margin, step, start, offset, peak, min_strength, max_displacement)
    chosen, dated = _velocity_options(prefilter, filter, dates)
    try:
        refinement = parse_refine(refine, backmatch, similarity)
    except ValueError as e:
        raise OptionError(f"--refine: {e}") from None
    out = output_target(output) if output is not None else None
    names = output_names(formats, plot, out is not None)
    cluster = {"client": client, "scheduler": scheduler, "workers": workers}
    check_backend(backend, threads, block_pixels, cluster)
    try:
        source1, source2 = prepare(image1, image2, params, start_given=start is not None,
                                   band=band, page=page, nodata=nodata)
        require_writers(names, source1)
        if dated is None:
            dated = acquisition_dates(source1, source2)
        source1 = source1.with_range(value_range, percentiles)
        source2 = source2.with_range(value_range, percentiles)

        def run(preview: bool) -> TrackResult:
            return track_sources(source1, source2, params, backend=backend, threads=threads,
                                 progress=progress, prefilter=chosen, filter=filter, dates=dated,
                                 stable=stable, block_pixels=block_pixels, preview=preview,
                                 cluster=cluster, refine=refinement, mask1=mask1, mask2=mask2,
                                 saturation=saturation)

        if out is None:
            return run(preview=False)
        return write_result(out, names, run)
    finally:
        forget_decoded()


def output_names(formats: Iterable[str] | None, plot: bool, writing: bool) -> list[str]:
    """The writers a run uses (none when it writes nothing), checked, their packages present."""
    names = list(formats) if formats is not None else [
        n for n in DEFAULT_FORMATS if n != "gpkg" or _has_gpkg_writer()]
    if not plot:
        names = [n for n in names if n != "plot"]
    unknown = [n for n in names if n not in WRITERS]
    if unknown:
        raise OptionError(f"unknown output format {unknown[0]!r}; choose from {', '.join(WRITERS)}")
    if not writing:
        return []
    if "plot" in names:
        require("matplotlib", "cli")
    if "nc" in names:
        require("xarray", "xarray")
        require("rioxarray", "xarray")
    return names


def require_writers(names: list[str], source1: ImageSource) -> None:
    """The packages that the writers need for this (georeferenced or plain) image 1."""
    if source1.transform is not None and {"tif", "gpkg"} & set(names):
        require("rasterio", "geo")
    if "gpkg" in names and source1.crs is not None and not _has_gpkg_writer():
        require("pyogrio", "geo")


def check_backend(backend: str, threads: int | None, block_pixels: int,
                  cluster: dict[str, Any]) -> None:
    """Checks the backend, its options and the block size."""
    if threads is not None and threads < 1:
        raise OptionError(f"--threads must be at least 1, got {threads}")
    if block_pixels < 1:
        raise OptionError(f"block_pixels must be positive, got {block_pixels}")
    try:
        get_runner(backend)
    except ValueError as e:
        raise OptionError(str(e)) from None
    given = [k for k, v in cluster.items() if v is not None]
    if given and backend == "threads":
        raise OptionError(f"{', '.join(given)} need a distributed backend (backend='dask')")


def write_result(out: Path, names: list[str], run: Callable[[bool], TrackResult]) -> TrackResult:
    """Runs ``run(preview)`` and publishes its result files into ``out``, all or none."""
    with staged(out) as staging:
        result = run("plot" in names)
        written = [path for name in names for path in WRITERS[name](staging.folder, result)]
        result.preview = None
        result.paths = staging.publish(written)
    return result


def _run(parts: Iterable[np.ndarray], total: int) -> np.ndarray:
    records = None
    at = 0
    for part in parts:
        if records is None:
            # Refined blocks carry extra fields beside the records.
            records = np.zeros(total, part.dtype if part.dtype.names else RECORD_DTYPE)
        records[at:at + len(part)] = part
        at += len(part)
    if records is None:
        records = np.zeros(total, RECORD_DTYPE)
    failed = int(np.count_nonzero(records["active"] == Status.error))
    if failed:
        warnings.warn(f"{failed} of {total} points could not be matched inside the native code "
                      "(memory exhausted?) and hold all-zero records with status error",
                      RuntimeWarning, stacklevel=3)
    return records


def _has_gpkg_writer() -> bool:
    import importlib.util

    return any(importlib.util.find_spec(m) is not None for m in ("pyogrio", "fiona"))
