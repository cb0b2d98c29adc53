"""The prediction that centres each point's search: the guided passes (coarse-to-fine, on reduced
images, then on image 2 deformed by the field so far) and a reference velocity map turned into a
field, each ending in the field that the last pass's blocks deform image 2 by."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from datetime import datetime

import numpy as np

import Talmek
from talmek_track._facts import Status
from talmek_track.errors import OptionError
from talmek_track.guided.passes import (
    Field,
    chip_sigma,
    clean_field,
    plan_passes,
    read_reduced,
    smooth_field,
    wide_margin,
)
from talmek_track.guided.reference import ReferencePrediction, margin_limits
from talmek_track.matching.backends import run_blocks
from talmek_track.matching.blocks import assemble, first_fitting, last_fitting, plan_blocks
from talmek_track.matching.engine import RECORD_DTYPE, match_points
from talmek_track.matching.masking import chips_touch
from talmek_track.matching.prefilter import filter_rows
from talmek_track.matching.settings import Settings, pass_params, status_of, with_search
from talmek_track.options.core import TrackOptions
from talmek_track.options.dates import DAYS_PER_YEAR, interval_days
from talmek_track.options.values import Pass
from talmek_track.sources.readers import (
    ImageSource,
)
from talmek_track.sources.validity import ImageValidity
from talmek_track.stages import stage


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
    ok = status_of(records) == Status.accepted
    grid = Settings.of(params)
    cs = grid.cellsize2
    c2 = (records["x2"] - grid.origin2[0]) / cs
    r2 = (rows2 - 1) - (records["y2"] - grid.origin2[1]) / cs
    return (np.where(ok, c2 - records["col1"], np.nan), np.where(ok, r2 - records["row1"], np.nan))


def _pass_params(params: Talmek.MatchingParams, chip: tuple[int, int], margin: int) -> Talmek.MatchingParams:
    return with_search(params, chip, (margin, margin))


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
        with stage("reduced read"):
            pixels, invalid = read_reduced(source, f)
        if prefilter.kind != "none":
            with stage("pre-filter"):
                # In strips of rows on every core, as the blocks are filtered.
                pixels = filter_rows(prefilter, pixels, 0, pixels.shape[0], 0, pixels.shape[1])
                if prefilter.halo and invalid.any():
                    from scipy import ndimage

                    invalid = ndimage.maximum_filter(invalid.view(np.uint8), size=2 * prefilter.halo + 1,
                                                     mode="constant") > 0
        return pixels, invalid

    (a1, invalid1), (a2, invalid2) = reduced(source1), reduced(source2)
    # The pass's chips overlap by half: every stride-th grid point each way.
    stride = max(1, (f * min(chip)) // (2 * max(1, min(Settings.of(params).step))))
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
        p2[:, axis] = np.clip(p2[:, axis], first_fitting(extent), last_fitting(extent, a2.shape[axis]))
    skip = (chips_touch(invalid1, p1, chip[0], chip[1]) | chips_touch(invalid2, p2, search[0], search[1]))
    records = np.zeros(len(points), RECORD_DTYPE)
    pp = pass_params(params, chip, p.margin)
    with stage("match points"):
        records[~skip] = match_points(a1, a2, p1[~skip], p2[~skip], pp, threads=options.threads)
    status_of(records)[skip] = Status.nodata
    ok = status_of(records) == Status.accepted
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
    cols, rows = Settings.of(params).offset
    offset = (np.full(len(points1), float(cols)), np.full(len(points1), float(rows)))
    prediction = _grid_field(offset, points1, grid_shape)
    for k, p in enumerate(passes):
        with stage(f"guided pass {p}"):
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
    offset = tuple(float(v) for v in Settings.of(params).offset)
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
        with stage(f"guided pass {p}"):
            mx, my = _full_measure(source1, source2, params, options, p, prediction, points1, grid_shape,
                                   validity, deformed=True, margins=own)
        try:
            mx, my = clean_field(mx, my)
        except OptionError:  # nothing accepted, or only outliers
            warnings.warn(f"the deformed pass {p} found no displacement; the prediction before it stands",
                          stacklevel=4)
            continue
        prediction = _grid_field(smooth_field(mx, my, chip_sigma(params, passes[k + 1:])), points1, grid_shape)
    return prediction
