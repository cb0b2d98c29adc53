"""Guided matching of two arrays: the run's guided passes (``guided.prediction``, blocks on image 2
deformed by the prediction), whole images in memory, without refinement or the bend test."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import Talmek
from talmek_track._facts import SEARCH_CHIP_MAX, SEARCH_CHIP_MIN
from talmek_track.errors import OptionError
from talmek_track.guided.passes import DEFAULT_MARGIN, plan_passes
from talmek_track.matching.blocks import assemble
from talmek_track.matching.engine import as_image, grid_arrays
from talmek_track.matching.settings import Settings
from talmek_track.options.core import PEAK_METHODS, TrackOptions
from talmek_track.options.values import Pass, check_passes, parse_prefilter
from talmek_track.run.pair import match_plan, plan_pair, prepare_sources
from talmek_track.sources.readers import source_from_array

__all__ = ["GuidedMatch", "match_guided"]


@dataclass(frozen=True)
class GuidedMatch:
    """The result of ``match_guided``, on the grid of ``grid_points``: ``dx``, ``dy`` the
    displacement in pixels (NaN where the last pass found none), ``strength`` and ``status`` of
    the last pass's records (whose positions are in image 2, the prediction included),
    ``predicted_dx``, ``predicted_dy`` the field the last pass deformed image 2 by (zero when it
    is the only pass), and the passes run."""

    records: np.ndarray
    dx: np.ndarray
    dy: np.ndarray
    strength: np.ndarray
    status: np.ndarray
    predicted_dx: np.ndarray
    predicted_dy: np.ndarray
    passes: tuple[Pass, ...]


def match_guided(image1: npt.ArrayLike, image2: npt.ArrayLike, params: Talmek.MatchingParams,
                 max_displacement: float | None = None, *, passes: Sequence[Pass] | None = None,
                 margin: int = DEFAULT_MARGIN, iterations: int = 1,
                 threads: int | None = None) -> GuidedMatch:
    """Matches the grid of ``grid_points(image1.shape, params)`` in the guided passes that
    ``plan_passes`` lays out for displacements of up to ``max_displacement`` pixels (with
    ``margin`` and ``iterations``), or in the ``passes`` given, as a guided run does
    (``guided.prediction``): no pre-filter, no refinement, no bend test, no outlier filter.

    ``params`` gives the grid (start, step), the chip, the peak fit and the thresholds; its
    margins, offsets and georeferences are not used: each pass sets its own margin and the
    displacements are in pixels of the images. The images must be of one shape; other types
    than uint8 become 8-bit grey as for ``match_grid``.
    """
    a1 = as_image("image1", image1)
    a2 = as_image("image2", image2)
    if a1.shape != a2.shape:
        raise OptionError(f"guided matching needs two images of one shape, got {a1.shape} and {a2.shape}")
    chip = Settings.of(params).chip
    if passes is None:
        if max_displacement is None:
            raise OptionError("give the largest displacement or the passes")
        passes = plan_passes(max_displacement, chip, margin=margin, iterations=iterations)
    passes = check_passes(passes, chip)
    options = _options(params, passes, threads)
    source1, source2 = (source_from_array(name, a).with_range(None)
                        for name, a in (("image1", a1), ("image2", a2)))
    completed = prepare_sources(source1, source2, options.params(), start_given=True)
    plan = plan_pair(source1, source2, completed, options)
    records = assemble(match_plan(plan, options), plan.total)
    grid = grid_arrays(records, plan.grid_shape, plan.params)
    if plan.prediction is not None:
        pdx, pdy = plan.prediction.dx, plan.prediction.dy
    else:
        pdx, pdy = np.zeros(plan.grid_shape), np.zeros(plan.grid_shape)
    return GuidedMatch(records, grid.dx, grid.dy, grid.strength, grid.status, pdx, pdy, passes)


def _options(params: Talmek.MatchingParams, passes: tuple[Pass, ...], threads: int | None) -> TrackOptions:
    """The options of a run that matches as ``params`` say in ``passes``: its grid, chip, peak fit
    and thresholds, nothing before the matching or after it, no offset, no limit on the points."""
    grid = Settings.of(params)
    chip = grid.chip
    peak = next((name for name, code in PEAK_METHODS.items() if code == grid.peak), None)
    if peak is None:
        raise OptionError(f"params.peakmethod_ must be one of {sorted(PEAK_METHODS.values())}, "
                          f"got {grid.peak}")
    # The run's own margin is the last pass's; the options' margin only has to make a search chip
    # the engine takes with the options' chip.
    least = max(0, -((min(chip) - SEARCH_CHIP_MIN) // 2))
    widest = max(least, (SEARCH_CHIP_MAX - max(chip)) // 2)
    margin = min(max(passes[-1].margin, least), widest)
    return TrackOptions(
        chip=chip, margin=(margin, margin),
        step=grid.step, start=grid.start, peak=peak, min_strength=grid.min_strength,
        max_displacement=grid.max_displacement, threads=threads,
        prefilter=parse_prefilter("none"), refine="none", backmatch=None, similarity=None, filter="none",
        max_points=None, passes=passes)
