"""One pair of images from its sources to a finished result: prepare, plan, match, finish.

The entry points (``track_files``, ``track_xarray``, ``match_stack``) open or build the two
``ImageSource``s and settle their value ranges; from there every run goes the same way, one step
after the other and never back:

``prepare_sources``
    relates the two georeferences and completes the MatchingParams of the options (the shift
    between the pixel grids, the grid start).
``plan_pair``
    lays the grid and cuts it into block jobs (``PairPlan``).
``match_plan``
    matches the jobs on the chosen backend.
``finish_plan``
    assembles the blocks' records and builds the ``TrackResult``, whole: the grid, the vector
    field and, when a figure is wanted, the preview. Writers then read it.
"""

from __future__ import annotations

import copy
import dataclasses
import os
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime

import numpy as np

import Talmek
from talmek_track._facts import Status, chip_origin
from talmek_track.backends import get_runner, run_blocks
from talmek_track.blocks import DEFAULT_BLOCK_PIXELS, BlockJob, BlockRecords, plan_blocks
from talmek_track.convert import check_pixel_type
from talmek_track.dates import interval_days
from talmek_track.errors import InputError, OptionError, require
from talmek_track.georef import check_offsets, pair_georeference
from talmek_track.guided import (
    Field,
    Pass,
    chip_sigma,
    clean_field,
    pass_params,
    plan_passes,
    read_reduced,
    smooth_field,
    wide_margin,
)
from talmek_track.masking import chips_touch
from talmek_track.matching import RECORD_DTYPE, grid_points, match_points, on_grid, warn_failures
from talmek_track.options import TrackOptions
from talmek_track.prefilter import filter_rows
from talmek_track.readers import (
    ImageSource,
    SampleGrid,
    SamplePart,
    check_pixels,
    fetch_once,
    http_url,
    open_source,
)
from talmek_track.reference import ReferencePrediction, margin_limits, reference_points
from talmek_track.refine import BACKMATCH_MISSED, BENT, EXTRA_FIELDS, Refinement, split
from talmek_track.results import TrackResult
from talmek_track.stac import is_stac, item_image
from talmek_track.validity import ImageValidity, open_mask, saturation_applies
from talmek_track.velocity import DAYS_PER_YEAR, VectorField, fill_field, strain_field, vector_field
from talmek_track.warp import common_grid, grid_note

#: The longest side of the picture of the first image that figures are drawn on.
PREVIEW_SIDE = 2000

#: A progress report over one pair: (points done, points of the grid).
PairProgress = Callable[[int, int], object]


def require_backend(options: TrackOptions) -> None:
    """OptionError when the chosen backend cannot run here (its packages are missing)."""
    try:
        get_runner(options.backend)
    except ValueError as e:
        raise OptionError(str(e)) from None


def open_image(path: str | os.PathLike[str], options: TrackOptions, *, fetch: bool = True) -> ImageSource:
    """One input opened with the options' band, page and nodata (value range not yet settled).

    A STAC item (``.json``) stands for its asset (``options.asset``), its ``properties.datetime``
    becoming the image's acquisition date. An HTTP(S) file is fetched once and read locally
    (``readers.fetch_once``), by Dask workers on this machine too; without ``fetch`` it is read in
    place, window by window, like S3."""
    text = os.fspath(path)
    when = None
    if is_stac(text):
        image = item_image(text, options.asset)
        if image.datetime is None and options.dates is None:
            raise InputError(f"{text}: item {image.item} has no datetime; give the dates (--dates)")
        text, when = image.href, image.datetime
    if fetch:
        fetch_once(text, max_bytes=options.max_download)
    source = open_source(text, band=options.band, page=options.page, nodata=options.nodata,
                         max_pixels=options.max_pixels, allow_any_source=options.allow_any_source)
    if when is not None:
        source = dataclasses.replace(source, tags={**source.tags, "ACQUISITION_DATETIME": when.isoformat()})
    return source


def open_pair(path1: str | os.PathLike[str], path2: str | os.PathLike[str],
              options: TrackOptions) -> tuple[ImageSource, ImageSource]:
    """Both inputs opened (``open_image``) and put on one grid (``warp.common_grid``). HTTP(S)
    files are fetched whole once unless a cluster's workers cannot all see this machine's
    files (``fetch_copies``)."""
    fetch = fetch_copies((os.fspath(path1), os.fspath(path2)), options)
    return on_common_grid(open_image(path1, options, fetch=fetch), open_image(path2, options, fetch=fetch),
                          options)


def fetch_copies(paths: Sequence[str], options: TrackOptions) -> bool:
    """Whether a run fetches its HTTP(S) inputs whole before it reads them: yes, unless it runs
    on a Dask cluster of which some workers cannot see this machine's files
    (``dask_backend.workers_see_here``). Such workers would read the files window by window
    beside the copy, so the run reads them in place instead, as it reads S3, and gathers the
    value-range sample from the matching's own reads (``match_sampled``). A guided search or a
    reference reads the images on this machine too (its predicting passes), and keeps the copy."""
    if options.backend != "dask" or options.guided or options.reference is not None:
        return True
    if options.client is None and options.scheduler is None:
        return True  # the embedded cluster runs on this machine
    if not any(p.startswith("/vsi") or "://" in p or is_stac(p) for p in paths):
        return True
    from talmek_track.dask_backend import workers_see_here

    return workers_see_here(**options.cluster)


def read_in_place(source: ImageSource) -> bool:
    """Whether each process reads ``source`` from its remote storage itself (S3, HTTP(S) not
    fetched whole), rather than from a file on this machine."""
    path = source.path
    remote = http_url(path) is not None or path.startswith(("s3://", "/vsis3/"))
    return remote and source.copy is None and source.reader == "rasterio"


def samples_from_blocks(source: ImageSource, options: TrackOptions) -> bool:
    """Whether the source's value range is settled from the pixels the matching reads
    (``match_sampled``) instead of by a sample of its own (``ImageSource.with_range``): on Dask,
    for an image read in place whose range is automatic and not uint8, single-band and on its own
    grid, in a run that reads nothing before the blocks (no guided search, no reference). The
    range is the same either way; only the reads differ."""
    return (options.backend == "dask" and options.value_range == "auto" and source.value_range is None
            and source.dtype != "uint8" and len(source.bands) == 1 and source.warp is None
            and not options.guided and options.reference is None and read_in_place(source))


def settle_ranges(source1: ImageSource, source2: ImageSource,
                  options: TrackOptions) -> tuple[ImageSource, ImageSource]:
    """Both sources with their value ranges settled (``ImageSource.with_range``), but those that
    ``samples_from_blocks`` leaves to the matching's reads: ``track_sources`` settles them."""
    settled = []
    for source in (source1, source2):
        if samples_from_blocks(source, options):
            check_pixel_type(np.dtype(source.dtype), source.path)
            settled.append(source)
        else:
            settled.append(source.with_range(options.value_range, options.percentiles))
    return settled[0], settled[1]


def on_common_grid(source1: ImageSource, source2: ImageSource,
                   options: TrackOptions) -> tuple[ImageSource, ImageSource]:
    """The pair on the grid the options choose; a grid laid anew is held to the pixel limit."""
    s1, s2 = common_grid(source1, source2, options.grid, options.resampling)
    if s1.warp is not None:
        check_pixels(s1.path, *s1.shape, options.max_pixels)
    return s1, s2


def _first_fitting(size: int) -> int:
    # The smallest centre from 0 up whose chip starts at index 0 or later.
    return int(np.flatnonzero(chip_origin(np.arange(size + 1), size) >= 0)[0])


def _last_fitting(size: int, extent: int) -> int:
    # The largest centre whose chip of ``size`` ends inside an image ``extent`` pixels long.
    centres = np.arange(extent)
    fits = np.flatnonzero(chip_origin(centres, size) + size <= extent)
    return int(fits[-1]) if len(fits) else 0


def auto_start(p: Talmek.MatchingParams) -> None:
    """Sets the grid start to the first point whose chips fit in both images."""
    p.start_col_ = max(0, _first_fitting(p.chipwidth_),
                       _first_fitting(p.chipwidth_ + 2 * p.hoffset_) - p.col_offset_)
    p.start_row_ = max(0, _first_fitting(p.chipheight_),
                       _first_fitting(p.chipheight_ + 2 * p.voffset_) - p.row_offset_)


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


def stable_points(stable: str | np.ndarray, source1: ImageSource, points: np.ndarray) -> np.ndarray:
    """Whether each grid point lies on stable ground: the mask (an array of image 1's shape, or a
    raster on any grid read on image 1's, nearest) at each point."""
    return open_mask(stable, source1, "the stable-ground mask").at_points(points)


def image_validity(source: ImageSource, mask: str | np.ndarray | None, saturation: bool,
                   name: str) -> ImageValidity | None:
    """What besides nodata makes the image's pixels invalid (None: nothing)."""
    validity = ImageValidity(None if mask is None else open_mask(mask, source, name),
                             saturation and saturation_applies(source))
    return validity if validity.active else None


def check_grid_size(shape: tuple[int, int], params: Talmek.MatchingParams, max_points: int | None) -> None:
    """OptionError when the grid over an image of ``shape`` would hold more than ``max_points``
    points; counted before any point is laid out."""
    rows = len(range(params.start_row_, shape[0], max(1, params.row_interval_)))
    cols = len(range(params.start_col_, shape[1], max(1, params.col_interval_)))
    if max_points is not None and rows * cols > max_points:
        raise OptionError("the grid would hold {rows} x {cols} = {n} points, more than {0} allows "
                          "({limit}); widen {1}", options=("max_points", "step"), rows=rows,
                          cols=cols, n=rows * cols, limit=max_points)


@dataclass(frozen=True)
class PairPlan:
    """One pair planned for matching: its sources and completed settings, the grid and its
    block jobs, the options it was planned with, and what the vector field needs besides them
    (dates, the grid points on stable ground, attributes of the prediction for the field)."""

    source1: ImageSource
    source2: ImageSource
    params: Talmek.MatchingParams
    grid_shape: tuple[int, int]
    jobs: list[BlockJob]
    options: TrackOptions
    dates: tuple[datetime, datetime] | None = None
    stable_points: np.ndarray | None = None
    attrs: Mapping[str, object] = dataclasses.field(default_factory=dict)

    @property
    def total(self) -> int:
        """Points of the grid."""
        return self.grid_shape[0] * self.grid_shape[1]


def guided_passes(source1: ImageSource, options: TrackOptions,
                  dates: tuple[datetime, datetime] | None) -> tuple[Pass, ...]:
    """The guided run's passes: the options' ``passes``, else those ``plan_passes`` lays out for
    speeds up to ``max_speed`` over the pair's interval."""
    if options.passes is not None:
        return options.passes
    if dates is None:
        raise OptionError("{0} needs the acquisition dates ({1})", options=("max_speed", "dates"))
    cellsize = abs(source1.transform[0]) if source1.transform is not None else 1.0
    reach = options.max_speed * interval_days(*dates) / DAYS_PER_YEAR / cellsize  # type: ignore[operator]
    return plan_passes(reach, options.chip, margin=options.guided_margin, iterations=GUIDED_ITERATIONS)


#: Deformed full-resolution passes the planned passes end with: the first corrects the coarse
#: prediction where the flow shears it, the last measures.
GUIDED_ITERATIONS = 2


def _grid_field(values: tuple[np.ndarray, np.ndarray], points1: np.ndarray,
                grid_shape: tuple[int, int]) -> Field:
    rows = points1[::max(grid_shape[1], 1), 0].astype(np.float64)
    cols = points1[:grid_shape[1], 1].astype(np.float64)
    return Field(values[0].reshape(grid_shape), values[1].reshape(grid_shape), rows, cols)


def _pixel_displacement(records: np.ndarray, params: Talmek.MatchingParams,
                        rows2: int) -> tuple[np.ndarray, np.ndarray]:
    """(dx, dy) in pixels from each point to its match in image 2 (NaN where none was
    accepted), from the records' end points and image 2's georeference."""
    ok = records["active"] == Status.accepted
    cs = params.srch_cellsize_
    c2 = (records["x2"] - params.srch_xll_) / cs
    r2 = (rows2 - 1) - (records["y2"] - params.srch_yll_) / cs
    return (np.where(ok, c2 - records["col1"], np.nan), np.where(ok, r2 - records["row1"], np.nan))


def _pass_params(params: Talmek.MatchingParams, chip: tuple[int, int], margin: int) -> Talmek.MatchingParams:
    p = copy.copy(params)
    p.chipwidth_, p.chipheight_ = chip
    p.hoffset_ = p.voffset_ = margin
    return p


def _reduced_pass(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
                  options: TrackOptions, p: Pass, prediction: Field, points1: np.ndarray,
                  grid_shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray]:
    """One pass on both images reduced by ``p.factor`` (read reduced, pre-filtered), over every
    ``stride``-th point of the grid each way; the field it measures, cleaned and interpolated at
    every grid point."""
    f = p.factor
    chip = p.chip_or(options.chip)
    prefilter = options.prefilter

    def reduced(source: ImageSource) -> tuple[np.ndarray, np.ndarray]:
        pixels, invalid = read_reduced(source, f)
        if prefilter.kind != "none":
            # In strips of rows on every core, as the blocks are filtered.
            pixels = filter_rows(prefilter, pixels, 0, pixels.shape[0], 0, pixels.shape[1])
            if prefilter.halo and invalid.any():
                from scipy import ndimage

                invalid = ndimage.maximum_filter(invalid.view(np.uint8), size=2 * prefilter.halo + 1,
                                                 mode="constant") > 0
        return pixels, invalid

    (a1, invalid1), (a2, invalid2) = reduced(source1), reduced(source2)
    # The pass's chips overlap by half: every stride-th grid point each way.
    stride = max(1, (f * min(chip)) // (2 * max(1, min(params.row_interval_, params.col_interval_))))
    grid = points1.reshape(grid_shape[0], grid_shape[1], 2)[::stride, ::stride]
    shape = grid.shape[:2]
    points = grid.reshape(-1, 2)
    pdx, pdy = prediction.at(points[:, 0], points[:, 1])
    p1 = np.rint(points / f).astype(np.int64)
    p2 = np.rint(np.stack([points[:, 0] + pdy, points[:, 1] + pdx], axis=1) / f).astype(np.int64)
    search = (chip[0] + 2 * p.margin, chip[1] + 2 * p.margin)
    if min(a1.shape) < max(search) or min(a2.shape) < max(search):
        raise OptionError(f"images reduced {f} times ({a1.shape[0]} x {a1.shape[1]} px) are smaller than "
                          f"the search chip of {max(search)} px; lower the largest speed or take a "
                          "smaller chip")
    # A search chip that would leave the image is moved inside it: it still holds the match of a
    # point near the border unless the match lies beyond the part it lost.
    for axis, extent in ((0, search[1]), (1, search[0])):
        p2[:, axis] = np.clip(p2[:, axis], _first_fitting(extent), _last_fitting(extent, a2.shape[axis]))
    skip = (chips_touch(invalid1, p1, chip[0], chip[1]) | chips_touch(invalid2, p2, search[0], search[1]))
    records = np.zeros(len(points), RECORD_DTYPE)
    pp = pass_params(params, chip, p.margin)
    records[~skip] = match_points(a1, a2, p1[~skip], p2[~skip], pp, threads=options.threads)
    records["active"][skip] = Status.nodata
    ok = records["active"] == Status.accepted
    dx = np.where(ok, (records["x2"] - records["x1"]) * f, np.nan).reshape(shape)
    dy = np.where(ok, (records["y1"] - records["y2"]) * f, np.nan).reshape(shape)
    dx, dy = clean_field(dx, dy)
    coarse = Field(dx, dy, grid[:, 0, 0].astype(np.float64), grid[0, :, 1].astype(np.float64))
    return coarse.at(points1[:, 0], points1[:, 1])


def _full_pass(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
               options: TrackOptions, p: Pass, prediction: Field, points1: np.ndarray,
               grid_shape: tuple[int, int], validity: tuple[ImageValidity | None, ImageValidity | None],
               *, deformed: bool) -> tuple[np.ndarray, np.ndarray]:
    """One full-resolution pass through the blocks (on this process's threads, without
    refinement), on image 2 deformed by ``prediction`` or centred on it; the field it measures,
    cleaned."""
    return clean_field(*_full_measure(source1, source2, params, options, p, prediction, points1,
                                      grid_shape, validity, deformed=deformed))


def _full_measure(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
                  options: TrackOptions, p: Pass, prediction: Field, points1: np.ndarray,
                  grid_shape: tuple[int, int], validity: tuple[ImageValidity | None, ImageValidity | None],
                  *, deformed: bool, margins: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The field one full-resolution pass measures (NaN where it accepted nothing), each point
    searched ``p.margin`` pixels around the prediction or, given, its own ``margins``."""
    pp = _pass_params(params, p.chip_or(options.chip), p.margin)
    points2 = predicted_points(points1, prediction)
    prefilter = options.prefilter if options.prefilter.kind != "none" else None
    jobs = plan_blocks(source1, source2, pp, points1, points2, grid_shape, threads=options.threads,
                       block_pixels=options.block_pixels, prefilter=prefilter, validity=validity,
                       margins=margins, deformation=prediction if deformed else None)
    records = assemble(run_blocks(jobs, backend="threads", threads=options.threads), len(points1))
    dx, dy = _pixel_displacement(records, pp, source2.shape[0])
    return dx.reshape(grid_shape), dy.reshape(grid_shape)


def predicted_points(points1: np.ndarray, prediction: Field) -> np.ndarray:
    """Each point's predicted position in image 2, to the nearest pixel."""
    dx, dy = prediction.at(points1[:, 0], points1[:, 1])
    shift = np.stack([np.rint(dy), np.rint(dx)], axis=1).astype(np.int64)
    guided: np.ndarray = points1 + shift
    return guided


def guided_prediction(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
                      options: TrackOptions, passes: Sequence[Pass], last: Pass, points1: np.ndarray,
                      grid_shape: tuple[int, int],
                      validity: tuple[ImageValidity | None, ImageValidity | None] = (None, None)) -> Field:
    """The field that ``passes`` predict on the grid, each pass starting from the one before and
    the first from the grid's offset: reduced passes on the images read reduced, full-resolution
    ones through the blocks (the first centred on the offset, later ones on image 2 deformed by
    the prediction). Memory follows the reduced images and the blocks, never the whole images."""
    offset = (np.full(len(points1), float(params.col_offset_)), np.full(len(points1), float(params.row_offset_)))
    prediction = _grid_field(offset, points1, grid_shape)
    for k, p in enumerate(passes):
        if p.factor > 1:
            field = _reduced_pass(source1, source2, params, options, p, prediction, points1, grid_shape)
        else:
            field = _full_pass(source1, source2, params, options, p, prediction, points1, grid_shape,
                               validity, deformed=k > 0)
        dx, dy = (np.reshape(v, grid_shape) for v in field)
        following = (*passes[k + 1:], last)
        prediction = _grid_field(smooth_field(dx, dy, chip_sigma(params, following)), points1, grid_shape)
    return prediction


def reference_passes(options: TrackOptions, params: Talmek.MatchingParams,
                     reference: ReferencePrediction) -> tuple[Pass, ...]:
    """The full-resolution passes a reference's prediction leads to, all on image 2 deformed by
    the prediction: the full-resolution passes of ``passes`` when given, else one pass as wide as
    the least transform allows and the last with the guided margin. Every pass but the last
    searches each point at least as far as the reference's margin there (capped by what the chip
    leaves within the engine's search limit); the margin shown is the widest."""
    chip = options.chip
    if options.passes is not None:
        full = tuple(p for p in options.passes if p.factor == 1)
    else:
        least, _ = margin_limits(chip, options.guided_margin)
        full = (Pass(1, wide_margin(chip, least)), Pass(1, least))
    widest = int(reference.margins.max()) if len(reference.margins) else 0
    return tuple(Pass(1, max(p.margin, min(widest, _room(p.chip_or(chip)))), p.chip)
                 for p in full[:-1]) + full[-1:]


def _room(chip: tuple[int, int]) -> int:
    # The widest margin the chip leaves within the engine's largest search chip.
    return margin_limits(chip, 1)[1]


def reference_prediction(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
                         options: TrackOptions, reference: ReferencePrediction, passes: Sequence[Pass],
                         points1: np.ndarray, grid_shape: tuple[int, int],
                         validity: tuple[ImageValidity | None, ImageValidity | None] = (None, None)) -> Field:
    """The field a reference predicts, improved by ``passes`` but the last (each on image 2
    deformed by the prediction): the reference's displacements plus the grid's offset, cleaned
    by the median test, the points it misses filled from their neighbours (the grid's offset
    where it covers none), smoothed to the next pass's chip. A pass's margins are each point's
    reference margin raised to its own (points the reference misses: the blind margin raised to
    it). A pass that accepts nothing leaves the prediction as it was."""
    offset = (float(params.col_offset_), float(params.row_offset_))
    dx = offset[0] + reference.dx
    dy = offset[1] + reference.dy
    if np.isfinite(dx).any():
        dx, dy = clean_field(dx, dy)
    else:
        dx, dy = np.full(grid_shape, offset[0]), np.full(grid_shape, offset[1])
    prediction = _grid_field(smooth_field(dx, dy, chip_sigma(params, passes)), points1, grid_shape)
    for k, p in enumerate(passes[:-1]):
        own = np.maximum(reference.margins, p.margin) if len(reference.margins) else None
        if own is not None:
            own = np.minimum(own, _room(p.chip_or(options.chip)))
        mx, my = _full_measure(source1, source2, params, options, p, prediction, points1, grid_shape,
                               validity, deformed=True, margins=own)
        try:
            mx, my = clean_field(mx, my)
        except OptionError:  # nothing accepted, or only outliers
            warnings.warn(f"the deformed pass {p} found no displacement; the prediction before it stands",
                          stacklevel=3)
            continue
        prediction = _grid_field(smooth_field(mx, my, chip_sigma(params, passes[k + 1:])), points1, grid_shape)
    return prediction


def block_slots(options: TrackOptions) -> int | None:
    """The threads a cluster runs a pair's blocks on, when the blocks are cut for them: on the
    Dask backend with ``block_pixels`` at its default (a size the user gives is kept as given)
    and more than one thread (one runs the blocks of the threads backend, with its records)."""
    if options.backend != "dask" or options.block_pixels != DEFAULT_BLOCK_PIXELS:
        return None
    from talmek_track.dask_backend import cluster_slots

    cluster = options.cluster
    slots = cluster_slots(cluster["client"], cluster["scheduler"], cluster["workers"], options.threads)
    return slots if slots is not None and slots > 1 else None


def plan_pair(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
              options: TrackOptions, *, dates: tuple[datetime, datetime] | None = None) -> PairPlan:
    """The grid of two sources whose value ranges are settled and whose settings
    ``prepare_sources`` completed, cut into block jobs (nodata and validity masking, the
    pre-filter and the refinement happen inside each block); ``dates`` are the pair's
    acquisition dates, if known."""
    if options.strain and dates is None:
        raise OptionError("{0} needs the acquisition dates (velocities per year)", options=("strain",))
    prefilter = options.prefilter
    if prefilter.kind != "none":
        require("scipy", "cli")
    check_grid_size(source1.shape, params, options.max_points)
    points1, points2, grid_shape = grid_points(source1.shape, params, max_points=options.max_points)
    validity = (image_validity(source1, options.mask1, options.saturation, "the validity mask of image 1"),
                image_validity(source2, options.mask2, options.saturation, "the validity mask of image 2"))
    notes: Mapping[str, object] = {}
    deformation = None
    if options.reference is not None:  # the reference's prediction replaces the reduced passes
        predicted = reference_points(source1, params, points1, points2, grid_shape,
                                     reference=options.reference, dates=dates,
                                     error=options.reference_error, guided_margin=options.guided_margin,
                                     allow_any_source=options.allow_any_source)
        passes = reference_passes(options, params, predicted)
        notes = {**predicted.attrs, "guided_passes": ",".join(
            ["reference", *(str(Pass(p.factor, p.margin, p.chip_or(options.chip))) for p in passes)])}
        if len(points1):
            deformation = reference_prediction(source1, source2, params, options, predicted, passes,
                                               points1, grid_shape, validity)
            points2 = predicted_points(points1, deformation)
        params.chipwidth_, params.chipheight_ = passes[-1].chip_or(options.chip)
        params.hoffset_ = params.voffset_ = passes[-1].margin
    elif options.guided and len(points1):
        passes = guided_passes(source1, options, dates)
        if len(passes) > 1:
            deformation = guided_prediction(source1, source2, params, options, passes[:-1], passes[-1],
                                            points1, grid_shape, validity)
            points2 = predicted_points(points1, deformation)
        # The last pass's chip and margin are the run's.
        params.chipwidth_, params.chipheight_ = passes[-1].chip_or(options.chip)
        params.hoffset_ = params.voffset_ = passes[-1].margin
    if len(points1) == 0:
        warnings.warn("the grid holds no point inside image 1; check the grid's start and step",
                      stacklevel=3)
    stable = None
    if options.stable_method == "mask":
        stable = stable_points(options.stable, source1, points1)  # type: ignore[arg-type]
    jobs = plan_blocks(source1, source2, params, points1, points2, grid_shape, threads=options.threads,
                       block_pixels=options.block_pixels,
                       prefilter=None if prefilter.kind == "none" else prefilter,
                       refine=options.refinement, validity=validity,
                       deformation=deformation, slots=block_slots(options))
    return PairPlan(source1, source2, params, grid_shape, jobs, options, dates, stable, notes)


def match_plan(plan: PairPlan, options: TrackOptions,
               progress: PairProgress | None = None) -> list[BlockRecords]:
    """The plan's blocks matched on the options' backend, in job order."""
    total = plan.total
    report = None if progress is None else (lambda done: progress(done, total))
    return run_blocks(plan.jobs, backend=options.backend, threads=options.threads, progress=report,
                      **options.cluster)


def assemble(blocks: Iterable[BlockRecords], total: int) -> np.ndarray:
    """The grid's records from its blocks (job order), with the refinement's fields when the
    blocks carry them; one warning for the points that failed inside the native code, with the
    first failure's message."""
    records = None
    at, failed, first_error = 0, 0, ""
    for block in blocks:
        if records is None:
            records = np.zeros(total, block.records.dtype if block.records.dtype.names else RECORD_DTYPE)
        records[at:at + len(block.records)] = block.records
        at += len(block.records)
        failed += block.failed
        first_error = first_error or block.first_error
    warn_failures(failed, total, first_error, stacklevel=3)
    return np.zeros(total, RECORD_DTYPE) if records is None else records


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
    usable = (records["active"] == Status.accepted) & (extra["check"] < BACKMATCH_MISSED)
    cs = params.srch_cellsize_
    refined = np.isfinite(extra["refine_dx"]) & np.isfinite(extra["refine_dy"])
    dx = (records["x2"] - records["x1"]) / cs + np.where(refined, extra["refine_dx"], 0.0)
    dy = (records["y1"] - records["y2"]) / cs + np.where(refined, extra["refine_dy"], 0.0)
    bias = np.zeros(grid_shape)
    steps = (max(1, params.row_interval_), max(1, params.col_interval_))
    chips = (params.chipheight_, params.chipwidth_)
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


def finish_plan(plan: PairPlan, blocks: Iterable[BlockRecords], *, preview: bool = False) -> TrackResult:
    """A planned pair's result from its matched blocks (job order): the records, the vector field,
    the grid arranged from the field's displacements, the grid's geotransform (georeferenced
    input) and, with ``preview``, image 1's picture for a figure."""
    source1, params = plan.source1, plan.params
    records, extra = split(assemble(blocks, plan.total))
    options = plan.options
    attrs: dict[str, object] = {"prefilter": str(options.prefilter),
                                "refine": str(options.refinement or Refinement(0, None, None))}
    if options.guided or options.reference is not None:
        if options.reference is None:  # a reference run's passes are among its notes
            passes = guided_passes(source1, options, plan.dates)
            attrs["guided_passes"] = ",".join(str(Pass(p.factor, p.margin, p.chip_or(options.chip)))
                                              for p in passes)
        if records.size:
            extra, attrs["bend_rejected"] = bend_test(records, extra, plan.grid_shape, params)
    note = grid_note(source1, plan.source2)
    if note is not None:
        attrs["grid"] = note
    attrs.update(plan.attrs)
    field = vector_field(
        records, plan.grid_shape, params, image_transform=source1.transform,
        image_rows=source1.shape[0], crs=source1.crs, dates=plan.dates, filter=options.filter,
        stable=plan.stable_points, stable_method=options.stable_method, extra=extra, attrs=attrs)
    finish_field(field, options)
    grid = on_grid(records, plan.grid_shape, field.values["dx"], field.values["dy"])
    grid_transform = field.transform if source1.transform is not None and records.size else None
    picture, step = source1.preview(PREVIEW_SIDE) if preview else (None, 1)
    return TrackResult(source1.path, plan.source2.path, records, grid, params, source1.shape,
                       source1.transform, source1.crs, grid_transform, picture, step, field,
                       options=options)


def finish_field(field: VectorField, options: TrackOptions | None) -> None:
    """The products the options add to the field: gaps filled (``fill``), strain rates."""
    if options is None:
        return
    if options.fill:
        fill_field(field)
    if options.strain:
        strain_field(field)


def match_sampled(plan: PairPlan, options: TrackOptions,
                  progress: PairProgress | None = None) -> tuple[PairPlan, list[BlockRecords]]:
    """The plan's blocks matched on Dask in two passes (``dask_backend.run_sampled``) when the
    value range of a source is left to the matching's reads (``samples_from_blocks``): the
    workers read each such image once, in strips of whole rows of tiles, and hold them; the
    sample pixels among them come back and this process settles the ranges exactly as
    ``with_range`` would (the same pixels, each once); the blocks then match from the strips.
    Returns the plan with the settled sources and the blocks (job order)."""
    from talmek_track.dask_backend import run_sampled

    sources = [plan.source1, plan.source2]
    sampled = (samples_from_blocks(plan.source1, options), samples_from_blocks(plan.source2, options))
    grids = [SampleGrid(s) if on else None for s, on in zip(sources, sampled, strict=True)]

    def settle(parts: tuple[list[SamplePart], list[SamplePart]]) -> list[BlockJob]:
        for k, grid in enumerate(grids):
            if grid is not None:
                for part in parts[k]:
                    grid.add(part)
                sources[k] = sources[k].with_sample(grid.sample(), options.percentiles)
        jobs[:] = [dataclasses.replace(job, source1=sources[0], source2=sources[1]) for job in plan.jobs]
        return jobs

    jobs: list[BlockJob] = []
    total = plan.total
    report = None if progress is None else (lambda done: progress(done, total))
    blocks = run_sampled(plan.jobs, (plan.source1, plan.source2), sampled, settle, threads=options.threads,
                         progress=report, **options.cluster)
    return dataclasses.replace(plan, source1=sources[0], source2=sources[1], jobs=jobs), blocks


def track_sources(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
                  options: TrackOptions, *, dates: tuple[datetime, datetime] | None = None,
                  progress: PairProgress | None = None, preview: bool = False) -> TrackResult:
    """Plans, matches and finishes one pair of prepared sources (see the module's steps); a source
    whose range ``settle_ranges`` left to its blocks is settled while they are matched."""
    plan = plan_pair(source1, source2, params, options, dates=dates)
    if samples_from_blocks(source1, options) or samples_from_blocks(source2, options):
        plan, blocks = match_sampled(plan, options, progress)
        return finish_plan(plan, blocks, preview=preview)
    return finish_plan(plan, match_plan(plan, options, progress), preview=preview)
