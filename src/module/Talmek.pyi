"""Sub-pixel displacement of image features by normalised cross-correlation"""

from collections.abc import Sequence
from typing import SupportsIndex

import numpy.typing as npt

__version__: str
version: str

class LineSeg:
    """One displacement vector: both end points in map units, with the match's quality figures."""

    strength: float
    displacement: float
    rms_1: float
    rms_2: float
    x1: float
    y1: float
    x2: float
    y2: float
    active: int
    def __init__(self) -> None: ...
    def set_coors(self, arg0: float, arg1: float, arg2: float, arg3: float, /) -> None: ...
    def get_length(self) -> float: ...
    def __getstate__(self) -> tuple[float, float, float, float, float, float, float, float, int]: ...
    def __setstate__(self, arg0: tuple[object, ...], /) -> None: ...

class MatchingParams:
    """Every setting of a match; limits are applied when a match runs."""

    peakmethod_: int
    ref_cellsize_: float
    srch_cellsize_: float
    corrtype_: int
    maxdiff_: float
    mincorr_: float
    start_row_: int
    start_col_: int
    srch_xll_: float
    srch_yll_: float
    ref_xll_: float
    ref_yll_: float
    chipwidth_: int
    chipheight_: int
    hoffset_: int
    voffset_: int
    row_interval_: int
    col_interval_: int
    row_offset_: int
    col_offset_: int
    def __init__(self) -> None: ...
    def __getstate__(self) -> tuple[int | float, ...]: ...
    def __setstate__(self, arg0: tuple[object, ...], /) -> None: ...

def SelectedMatch(
    image1: npt.ArrayLike,
    image2: npt.ArrayLike,
    row: Sequence[SupportsIndex],
    col: Sequence[SupportsIndex],
    params: MatchingParams,
) -> LineSeg:
    """Image matchign with a selected pixel"""
