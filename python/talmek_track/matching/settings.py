"""The engine's settings in the package's words.

``Talmek.MatchingParams`` names its fields as the engine does (``chipwidth_``, ``hoffset_``,
``mincorr_``, ``srch_cellsize_``, …) and a record's status is its ``active`` field. Those names stay
in the matching stage: the stages after it read a grid's settings through ``Settings`` (chip,
margin, step, start, offset, minimum strength, the two georeferences) and change them through
``with_search``, and read a status through ``status_of``.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass

import numpy as np

import Talmek
from talmek_track.matching.blocks import first_fitting

__all__ = ["Settings", "auto_start", "pass_params", "status_of", "with_georeference", "with_search"]


@dataclass(frozen=True)
class Settings:
    """What a ``MatchingParams`` sets, read once: sizes and spacings as (x, y) = (columns, rows),
    positions as (column, row), each image's cell size and the map position of its lower-left
    corner (x, y)."""

    chip: tuple[int, int]
    margin: tuple[int, int]
    step: tuple[int, int]
    start: tuple[int, int]
    offset: tuple[int, int]
    peak: int
    min_strength: float
    max_displacement: float
    cellsize1: float
    origin1: tuple[float, float]
    cellsize2: float
    origin2: tuple[float, float]

    @classmethod
    def of(cls, params: Talmek.MatchingParams) -> Settings:
        return cls(chip=(params.chipwidth_, params.chipheight_), margin=(params.hoffset_, params.voffset_),
                   step=(params.col_interval_, params.row_interval_),
                   start=(params.start_col_, params.start_row_),
                   offset=(params.col_offset_, params.row_offset_), peak=params.peakmethod_,
                   min_strength=params.mincorr_, max_displacement=params.maxdiff_,
                   cellsize1=params.ref_cellsize_, origin1=(params.ref_xll_, params.ref_yll_),
                   cellsize2=params.srch_cellsize_, origin2=(params.srch_xll_, params.srch_yll_))


def with_search(params: Talmek.MatchingParams, chip: tuple[int, int] | None = None,
                margin: tuple[int, int] | None = None) -> Talmek.MatchingParams:
    """A copy of ``params`` with another chip (width, height) and search margin (x, y)."""
    p = copy.copy(params)
    if chip is not None:
        p.chipwidth_, p.chipheight_ = chip
    if margin is not None:
        p.hoffset_, p.voffset_ = margin
    return p


def pass_params(base: Talmek.MatchingParams, chip: tuple[int, int], margin: int) -> Talmek.MatchingParams:
    """Fresh settings of one pass on arrays: ``chip`` and ``margin``, the peak fit and thresholds
    of ``base``, no georeference (positions in pixels)."""
    p = Talmek.MatchingParams()
    p.chipwidth_, p.chipheight_ = chip
    p.hoffset_ = p.voffset_ = margin
    p.peakmethod_, p.mincorr_, p.maxdiff_ = base.peakmethod_, base.mincorr_, base.maxdiff_
    return p


def auto_start(params: Talmek.MatchingParams) -> Talmek.MatchingParams:
    """A copy of ``params`` whose grid starts at the first point whose chips fit in both images."""
    p = copy.copy(params)
    p.start_col_ = max(0, first_fitting(p.chipwidth_),
                       first_fitting(p.chipwidth_ + 2 * p.hoffset_) - p.col_offset_)
    p.start_row_ = max(0, first_fitting(p.chipheight_),
                       first_fitting(p.chipheight_ + 2 * p.voffset_) - p.row_offset_)
    return p


def with_georeference(params: Talmek.MatchingParams, image1: tuple[float, float, float],
                      image2: tuple[float, float, float], offset: tuple[int, int]) -> Talmek.MatchingParams:
    """A copy of ``params`` with each image's georeference (cell size, map x and y of the
    lower-left corner) and the grid's expected offset (column, row)."""
    p = copy.copy(params)
    p.ref_cellsize_, p.ref_xll_, p.ref_yll_ = image1
    p.srch_cellsize_, p.srch_xll_, p.srch_yll_ = image2
    p.col_offset_, p.row_offset_ = offset
    return p


def status_of(records: np.ndarray) -> np.ndarray:
    """The status code of each record (the engine's, or the package's own: nodata, error)."""
    status: np.ndarray = records["active"]
    return status
