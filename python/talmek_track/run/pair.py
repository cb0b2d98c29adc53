"""One pair of images from its sources to a finished result: prepare, plan, match, finish.

The entry points (``track_files``, ``track_xarray``, ``match_stack``) open or build the
``ImageSource``s (files through ``open_images``, under one policy for remote files) and settle
each image's value range once (``settle_ranges``); from there every run goes the same way, one
step after the other and never back:

``prepare_pair``
    puts the two sources on one grid and completes the MatchingParams of the options
    (``prepare_sources``: the shift between the pixel grids, the grid start).
``plan_pair``
    lays the grid and cuts it into block jobs (``PairPlan``).
``match_plan``, ``match_pairs``
    match the jobs of one pair, or of a stack's pairs at once, on the chosen backend.
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
from talmek_track.errors import InputError, OptionError, require
from talmek_track.guided.bend import bend_test
from talmek_track.guided.missed import missed_reach
from talmek_track.guided.prediction import (
    guided_passes,
    guided_prediction,
    predicted_points,
    reference_passes,
    reference_prediction,
)
from talmek_track.guided.reference import reference_points
from talmek_track.matching.backends import get_runner, run_block_groups, run_blocks, service
from talmek_track.matching.blocks import BlockJob, BlockRecords, assemble, plan_blocks
from talmek_track.matching.deform import Field
from talmek_track.matching.engine import grid_points, on_grid
from talmek_track.matching.refine import split
from talmek_track.matching.settings import Settings, auto_start, with_georeference, with_search
from talmek_track.options.core import TrackOptions
from talmek_track.options.dates import DAYS_PER_YEAR, interval_days
from talmek_track.options.values import DEFAULT_BLOCK_PIXELS, Pass, Refinement, SourcePolicy
from talmek_track.products.results import TrackResult
from talmek_track.products.velocity import VectorField, fill_field, strain_field, vector_field
from talmek_track.sources.convert import check_pixel_type
from talmek_track.sources.gate import Role, admit, check_pixels
from talmek_track.sources.georef import check_offsets, pair_georeference
from talmek_track.sources.readers import ImageSource, SampleGrid, SamplePart, open_source
from talmek_track.sources.remote import fetch_once, http_url
from talmek_track.sources.stac import is_stac, item_image
from talmek_track.sources.validity import ImageValidity, open_mask, saturation_applies
from talmek_track.sources.warp import common_grid, grid_note
from talmek_track.stages import stage

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
    (``remote.fetch_once``), by Dask workers on this machine too; without ``fetch`` it is read in
    place, window by window, like S3."""
    text = os.fspath(path)
    when = None
    if is_stac(text):
        image = item_image(text, options.asset, options.source_policy, options.timeout)
        if image.datetime is None and options.dates is None:
            raise InputError(f"{text}: item {image.item} has no datetime; give the dates (--dates)")
        text, when = image.href, image.datetime
    admit(text, options.source_policy)  # before any byte is fetched
    if fetch:
        fetch_once(text, options.timeout, max_bytes=options.max_download)
    source = open_source(text, band=options.band, page=options.page, nodata=options.nodata,
                         max_pixels=options.max_pixels, allow_any_source=options.allow_any_source,
                         allow_remote=options.allow_remote, timeout=options.timeout)
    if when is not None:
        source = dataclasses.replace(source, tags={**source.tags, "ACQUISITION_DATETIME": when.isoformat()})
    return source


def open_images(paths: Sequence[str | os.PathLike[str]], options: TrackOptions) -> list[ImageSource]:
    """A run's inputs opened (``open_image``), each once, under one policy for remote files:
    HTTP(S) files are fetched whole once unless a cluster's workers cannot all see this
    machine's files (``fetch_copies``)."""
    warn_repeated(paths)
    fetch = fetch_copies([os.fspath(p) for p in paths], options)
    return [open_image(p, options, fetch=fetch) for p in paths]


def _same_input(a: str, b: str) -> bool:
    if a == b:
        return True
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):  # not a local file (a URL, a GDAL path, an item), or gone
        return False


def warn_repeated(paths: Sequence[str | os.PathLike[str]]) -> None:
    """A warning for each input given more than once (by the same name or another path to the
    same file): a pair of one file with itself finds no motion at all."""
    names = [os.fspath(p) for p in paths]
    seen: dict[int, list[int]] = {}
    for k, name in enumerate(names):
        first = next((i for i in seen if _same_input(names[i], name)), None)
        if first is None:
            seen[k] = [k]
        else:
            seen[first].append(k)
    for first, ks in seen.items():
        if len(ks) < 2:
            continue
        if len(names) == 2:
            warnings.warn(f"both images are the same file ({names[first]}): every displacement is "
                          "zero", stacklevel=3)
        else:
            warnings.warn(f"{names[first]} is given {len(ks)} times (images "
                          f"{', '.join(map(str, ks))}): a pair of it with itself finds no motion",
                          stacklevel=3)


def open_pair(path1: str | os.PathLike[str], path2: str | os.PathLike[str],
              options: TrackOptions) -> tuple[ImageSource, ImageSource]:
    """Both inputs opened (``open_images``) and put on one grid (``warp.common_grid``)."""
    source1, source2 = open_images((path1, path2), options)
    return on_common_grid(source1, source2, options)


def fetch_copies(paths: Sequence[str], options: TrackOptions) -> bool:
    """Whether a run fetches its HTTP(S) inputs whole before it reads them: yes, unless it runs
    on a Dask cluster of which some workers cannot see this machine's files
    (the Dask backend's ``workers_see_here``). Such workers would read the files window by window
    beside the copy, so the run reads them in place instead, as it reads S3, and gathers the
    value-range sample from the matching's own reads (``match_sampled``). A guided search or a
    reference reads the images on this machine too (its predicting passes), and keeps the copy."""
    if options.backend != "dask" or options.guided or options.reference is not None:
        return True
    if options.client is None and options.scheduler is None:
        return True  # the embedded cluster runs on this machine
    if not any(p.startswith("/vsi") or "://" in p or is_stac(p) for p in paths):
        return True
    return bool(service("dask", "workers_see_here")(**options.cluster))


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


def settle_ranges(sources: Sequence[ImageSource], options: TrackOptions, *,
                  from_blocks: bool = True) -> list[ImageSource]:
    """The sources with their value ranges settled (``ImageSource.with_range``), each once, but
    those that ``samples_from_blocks`` leaves to the matching's reads (unless ``from_blocks`` is
    False: an image that a run also reads through a warp): ``match_pairs`` settles them. A warped
    source's range is that of its file's own pixels, so an image's range is the same on every
    grid it is matched on."""
    settled = []
    with stage("value range"):
        for source in sources:
            if from_blocks and samples_from_blocks(source, options):
                check_pixel_type(np.dtype(source.dtype), source.path)
                settled.append(source)
            else:
                settled.append(source.with_range(options.value_range, options.percentiles))
    return settled


def on_common_grid(source1: ImageSource, source2: ImageSource,
                   options: TrackOptions) -> tuple[ImageSource, ImageSource]:
    """The pair on the grid the options choose; a grid laid anew is held to the pixel limit."""
    s1, s2 = common_grid(source1, source2, options.grid, options.resampling)
    if s1.warp is not None:
        check_pixels(s1.path, *s1.shape, options.max_pixels)
    return s1, s2


def prepare_pair(source1: ImageSource, source2: ImageSource,
                 options: TrackOptions) -> tuple[ImageSource, ImageSource, Talmek.MatchingParams]:
    """Two opened sources put on the options' grid (``on_common_grid``) and the MatchingParams of
    the options completed for them (``prepare_sources``)."""
    source1, source2 = on_common_grid(source1, source2, options)
    params = prepare_sources(source1, source2, options.params(), start_given=options.start_given)
    return source1, source2, params


def prepare_sources(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams, *,
                    start_given: bool) -> Talmek.MatchingParams:
    """Relates two sources' georeferences and returns ``params`` completed (a copy):
    georeferences, the shift between the pixel grids, the grid start. InputError when they
    cannot be matched together."""
    geo1, geo2, shift = pair_georeference(source1, source2)
    cols, rows = Settings.of(params).offset
    offset = (rows + shift[0], cols + shift[1])
    check_offsets(source1, source2, offset)
    params = with_georeference(params, (geo1.cellsize, geo1.xll, geo1.yll), (geo2.cellsize, geo2.xll, geo2.yll),
                               (offset[1], offset[0]))
    return params if start_given else auto_start(params)


#: The masks an option names, as messages name them.
STABLE_MASK = Role("the stable-ground mask", "stable")
VALIDITY_MASKS = (Role("the validity mask of image 1", "mask1"), Role("the validity mask of image 2", "mask2"))


def stable_points(stable: str | np.ndarray, source1: ImageSource, points: np.ndarray,
                  policy: SourcePolicy | None = None) -> np.ndarray:
    """Whether each grid point lies on stable ground: the mask (an array of image 1's shape, or a
    raster on any grid read on image 1's, nearest) at each point."""
    return open_mask(stable, source1, STABLE_MASK.label, STABLE_MASK, policy).at_points(points)


def image_validity(source: ImageSource, mask: str | np.ndarray | None, saturation: bool,
                   role: Role, policy: SourcePolicy | None = None) -> ImageValidity | None:
    """What besides nodata makes the image's pixels invalid (None: nothing)."""
    validity = ImageValidity(None if mask is None else open_mask(mask, source, role.label, role, policy),
                             saturation and saturation_applies(source))
    return validity if validity.active else None


def check_grid_size(shape: tuple[int, int], params: Talmek.MatchingParams, max_points: int | None) -> None:
    """OptionError when the grid over an image of ``shape`` would hold more than ``max_points``
    points; counted before any point is laid out."""
    grid = Settings.of(params)
    rows = len(range(grid.start[1], shape[0], max(1, grid.step[1])))
    cols = len(range(grid.start[0], shape[1], max(1, grid.step[0])))
    if max_points is not None and rows * cols > max_points:
        raise OptionError("the grid would hold {rows} x {cols} = {n} points, more than {0} allows "
                          "({limit}); widen {1}", options=("max_points", "step"), rows=rows,
                          cols=cols, n=rows * cols, limit=max_points)


@dataclass(frozen=True)
class PairPlan:
    """One pair planned for matching: its sources and completed settings, the grid and its
    block jobs, the options it was planned with, and what the vector field needs besides them
    (dates, the grid points on stable ground, attributes of the prediction for the field); a
    guided plan's ``prediction`` is the field its jobs deform image 2 by."""

    source1: ImageSource
    source2: ImageSource
    params: Talmek.MatchingParams
    grid_shape: tuple[int, int]
    jobs: list[BlockJob]
    options: TrackOptions
    dates: tuple[datetime, datetime] | None = None
    stable_points: np.ndarray | None = None
    attrs: Mapping[str, object] = dataclasses.field(default_factory=dict)
    prediction: Field | None = None

    @property
    def total(self) -> int:
        """Points of the grid."""
        return self.grid_shape[0] * self.grid_shape[1]


def block_slots(options: TrackOptions) -> int | None:
    """The threads a cluster runs a pair's blocks on, when the blocks are cut for them: on the
    Dask backend with ``block_pixels`` at its default (a size the user gives is kept as given)
    and more than one thread (one runs the blocks of the threads backend, with its records)."""
    if options.backend != "dask" or options.block_pixels != DEFAULT_BLOCK_PIXELS:
        return None
    cluster = options.cluster
    slots = service("dask", "cluster_slots")(cluster["client"], cluster["scheduler"], cluster["workers"],
                                             options.threads)
    return slots if slots is not None and slots > 1 else None


def plan_pair(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
              options: TrackOptions, *, dates: tuple[datetime, datetime] | None = None) -> PairPlan:
    """The grid of two sources whose value ranges are settled and whose settings
    ``prepare_sources`` completed, cut into block jobs (nodata and validity masking, the
    pre-filter and the refinement happen inside each block); ``dates`` are the pair's
    acquisition dates, if known."""
    with stage("plan"):
        return _plan_pair(source1, source2, params, options, dates)


def _plan_pair(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
               options: TrackOptions, dates: tuple[datetime, datetime] | None) -> PairPlan:
    if options.strain and dates is None:
        raise OptionError("{0} needs the acquisition dates (velocities per year)", options=("strain",))
    if options.stable_method != "none" and dates is None:
        warnings.warn(f"stable ground given without acquisition dates ({source1.path} and "
                      f"{source2.path}): its offset corrects the displacements only and no "
                      "velocities are written; give the dates for velocities", stacklevel=3)
    prefilter = options.prefilter
    if prefilter.kind != "none":
        require("scipy", "cli")
    params = copy.copy(params)  # the plan holds settings of its own, whatever the caller does with its
    check_grid_size(source1.shape, params, options.max_points)
    points1, points2, grid_shape = grid_points(source1.shape, params, max_points=options.max_points)
    policy = options.source_policy
    validity = (image_validity(source1, options.mask1, options.saturation, VALIDITY_MASKS[0], policy),
                image_validity(source2, options.mask2, options.saturation, VALIDITY_MASKS[1], policy))
    notes: Mapping[str, object] = {}
    deformation = None
    if options.reference is not None:  # the reference's prediction replaces the reduced passes
        predicted = reference_points(source1, params, points1, points2, grid_shape,
                                     reference=options.reference, dates=dates,
                                     error=options.reference_error, guided_margin=options.guided_margin,
                                     policy=policy)
        passes = reference_passes(options, params, predicted)
        notes = {**predicted.attrs, "guided_passes": ",".join(
            ["reference", *(str(Pass(p.factor, p.margin, p.chip_or(options.chip))) for p in passes)])}
        if len(points1):
            with stage("guided prediction"):
                deformation = reference_prediction(source1, source2, params, options, predicted, passes,
                                                   points1, grid_shape, validity)
            points2 = predicted_points(points1, deformation)
        params = with_search(params, passes[-1].chip_or(options.chip), (passes[-1].margin,) * 2)
    elif options.guided and len(points1):
        passes = guided_passes(source1, options, dates)
        if len(passes) > 1:
            with stage("guided prediction"):
                deformation = guided_prediction(source1, source2, params, options, passes[:-1], passes[-1],
                                                points1, grid_shape, validity)
            points2 = predicted_points(points1, deformation)
        # The last pass's chip and margin are the run's.
        params = with_search(params, passes[-1].chip_or(options.chip), (passes[-1].margin,) * 2)
    if len(points1) == 0:
        warnings.warn("the grid holds no point inside image 1; check the grid's start and step",
                      stacklevel=4)
    stable = None
    if options.stable_method == "mask":
        stable = stable_points(options.stable, source1, points1, policy)  # type: ignore[arg-type]
    jobs = plan_blocks(source1, source2, params, points1, points2, grid_shape, threads=options.threads,
                       block_pixels=options.block_pixels,
                       prefilter=None if prefilter.kind == "none" else prefilter,
                       refine=options.refinement, validity=validity,
                       deformation=deformation, slots=block_slots(options))
    return PairPlan(source1, source2, params, grid_shape, jobs, options, dates, stable, notes, deformation)


def match_plan(plan: PairPlan, options: TrackOptions,
               progress: PairProgress | None = None) -> list[BlockRecords]:
    """The plan's blocks matched on the options' backend, in job order."""
    total = plan.total
    report = None if progress is None else (lambda done: progress(done, total))
    with stage("matching"):
        return run_blocks(plan.jobs, backend=options.backend, threads=options.threads, progress=report,
                          **options.cluster)


def finish_plan(plan: PairPlan, blocks: Iterable[BlockRecords], *, preview: bool = False) -> TrackResult:
    """A planned pair's result from its matched blocks (job order): the records, the vector field,
    the grid arranged from the field's displacements, the grid's geotransform (georeferenced
    input) and, with ``preview``, image 1's picture for a figure."""
    with stage("vector field"):
        result = _finish_plan(plan, blocks)
    if preview:
        with stage("preview"):
            picture, step = plan.source1.preview(PREVIEW_SIDE)
        result = dataclasses.replace(result, preview=picture, preview_step=step)
    return result


def _finish_plan(plan: PairPlan, blocks: Iterable[BlockRecords]) -> TrackResult:
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
            with stage("bend test"):
                extra, attrs["bend_rejected"] = bend_test(records, extra, plan.grid_shape, params)
    note = grid_note(source1, plan.source2)
    if note is not None:
        attrs["grid"] = note
    attrs.update(plan.attrs)
    per_year = None
    if plan.dates is not None:
        per_year = abs(Settings.of(params).cellsize2) * DAYS_PER_YEAR / interval_days(*plan.dates)
    missed = missed_reach(records, params, options, pixels_per_year=per_year, prediction=plan.prediction)
    attrs.update(missed.attrs())
    said = missed.warning()
    if said is not None:
        warnings.warn(said, stacklevel=4)
    field = vector_field(
        records, plan.grid_shape, params, image_transform=source1.transform,
        image_rows=source1.shape[0], crs=source1.crs, dates=plan.dates, filter=options.filter,
        stable=plan.stable_points, stable_method=options.stable_method, extra=extra, attrs=attrs)
    field = finish_field(field, options)
    grid = on_grid(records, plan.grid_shape, field.values["dx"], field.values["dy"])
    grid_transform = field.transform if source1.transform is not None and records.size else None
    return TrackResult(source1.path, plan.source2.path, records, grid, params, source1.shape,
                       source1.transform, source1.crs, grid_transform, None, 1, field,
                       options=options)


def finish_field(field: VectorField, options: TrackOptions | None) -> VectorField:
    """The field with the products the options add: gaps filled (``fill``), strain rates."""
    if options is not None and options.fill:
        field = fill_field(field)
    if options is not None and options.strain:
        field = strain_field(field)
    return field


#: What a run does with each pair once all its blocks are in: its index among the plans, its
#: plan (with the ranges its blocks settled) and its blocks in job order.
PairDone = Callable[[int, PairPlan, list[BlockRecords]], object]


def match_pairs(plans: Sequence[PairPlan], images: Sequence[tuple[int, int]], options: TrackOptions,
                done: PairDone, progress: Callable[[int], object] | None = None,
                failed: Callable[[int, BaseException], object] | None = None) -> None:
    """The blocks of one or many planned pairs matched on the options' backend, all handed to it
    at once, earlier pairs first (``run_block_groups``); ``done`` gets each pair as soon as its
    last block is in. ``images`` names each pair's two images as indices into the run's images;
    ``progress`` gets the points done over all pairs. With ``failed``, a pair whose blocks
    cannot be read or matched is given up alone (``failed(index, error)``) and the others go on.

    A source whose range ``settle_ranges`` left to the matching's reads (``samples_from_blocks``)
    is matched in two passes on Dask (the Dask backend's ``run_sampled``): the workers read each
    such image once for all its pairs, in strips of whole rows of tiles, and hold them; the
    sample pixels among them come back and this process settles the image's range exactly as
    ``with_range`` would (the same pixels, each once); the blocks then match from the strips."""
    flags = [(samples_from_blocks(plan.source1, options), samples_from_blocks(plan.source2, options))
             for plan in plans]
    sampled: dict[int, ImageSource] = {}  # the images read in strips, by their index
    for plan, pair, flag in zip(plans, images, flags, strict=True):
        for k, source, on in zip(pair, (plan.source1, plan.source2), flag, strict=True):
            if on:
                sampled.setdefault(k, source)
    settled = list(plans)

    def finisher(n: int) -> Callable[[list[BlockRecords]], object]:
        return lambda blocks: done(n, settled[n], blocks)

    groups = [(plan.jobs, f"{plan.source1.path} and {plan.source2.path}", finisher(n))
              for n, plan in enumerate(plans)]
    with stage("matching"):
        if not sampled:
            run_block_groups(groups, backend=options.backend, threads=options.threads, progress=progress,
                             failed=failed, **options.cluster)
            return
        order = sorted(sampled)

        def settle(parts: Sequence[Sequence[SamplePart]]) -> list[list[BlockJob]]:
            ranges = {}
            for k, image_parts in zip(order, parts, strict=True):
                grid = SampleGrid(sampled[k])
                for part in image_parts:
                    grid.add(part)
                ranges[k] = sampled[k].with_sample(grid.sample(), options.percentiles).value_range
            for n, (plan, (i, j), (on1, on2)) in enumerate(zip(plans, images, flags, strict=True)):
                s1 = dataclasses.replace(plan.source1, value_range=ranges[i]) if on1 else plan.source1
                s2 = dataclasses.replace(plan.source2, value_range=ranges[j]) if on2 else plan.source2
                jobs = [dataclasses.replace(job, source1=s1, source2=s2) for job in plan.jobs]
                settled[n] = dataclasses.replace(plan, source1=s1, source2=s2, jobs=jobs)
            return [plan.jobs for plan in settled]

        held = [(order.index(i) if on1 else None, order.index(j) if on2 else None)
                for (i, j), (on1, on2) in zip(images, flags, strict=True)]
        extra = {} if failed is None else {"failed": failed}
        service("dask", "run_sampled")(groups, held, [sampled[k] for k in order], settle,
                                       threads=options.threads, progress=progress, **extra, **options.cluster)


def match_sampled(plan: PairPlan, options: TrackOptions,
                  progress: PairProgress | None = None) -> tuple[PairPlan, list[BlockRecords]]:
    """One pair's blocks matched by ``match_pairs``, its sources' ranges settled from the
    blocks' reads where ``samples_from_blocks`` says so. Returns the plan with the settled
    sources and the blocks (job order)."""
    finished: list[tuple[PairPlan, list[BlockRecords]]] = []
    total = plan.total
    report = None if progress is None else (lambda done: progress(done, total))
    match_pairs([plan], [(0, 1)], options, lambda _, settled, blocks: finished.append((settled, blocks)), report)
    return finished[0]


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
