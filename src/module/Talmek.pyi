"""Sub-pixel displacement of image features by normalised cross-correlation

Conventions (docs/reference.md has the whole reference): points are (row, column) with row 0 at the
top of an image; map coordinates are x = xll + column * cellsize and y = yll + (rows - 1 - row) *
cellsize, so map y counts upwards from the bottom row, and there is no half-pixel shift: (xll, yll)
is the position of the lower-left pixel itself. The default georeference (cellsize 1, xll = yll = 0)
gives x = column and y = rows - 1 - row.
"""

from collections.abc import Sequence
from typing import SupportsIndex

import numpy.typing as npt

__version__: str
version: str

class LineSeg:
    """One displacement vector: both end points in map units, with the match's quality figures."""

    strength: float
    """How far the correlation peak stands out, in standard deviations of the surface's background
    (not a coefficient in -1..1): the peak's lead over the background mean plus its lead over the
    next distinct peak. On photographs with 32-pixel chips true matches read about 2 to 25
    (median 7), chips with no true match 2 to 7; docs/reference.md has the measured scale.
    0 for statuses 2 and 3 (32-bit float)."""
    displacement: float
    """Length of the displacement vector in pixels of the second image; 0 unless the status is 1
    or 5 (32-bit float)."""
    rms_1: float
    """Error estimate of the column (x) displacement in pixels, from the fit's residuals; 0.5 when
    no sub-pixel fit was used (peak method 4, or a fit discarded for landing more than one cell
    away); 0 unless the status is 1. A ranking rather than a calibrated standard error (32-bit)."""
    rms_2: float
    """Error estimate of the row (y) displacement in pixels; as rms_1 (32-bit float)."""
    x1: float
    """Map x of the point in the first image: ref_xll_ + col[0] * ref_cellsize_."""
    y1: float
    """Map y of the point in the first image: ref_yll_ + (rows1 - 1 - row[0]) * ref_cellsize_
    (y counts upwards from the bottom row)."""
    x2: float
    """Map x of the matched point in the second image (the expected point, undisplaced, unless the
    status is 1): srch_xll_ + column * srch_cellsize_."""
    y2: float
    """Map y of the matched point in the second image: srch_yll_ + (rows2 - 1 - row) *
    srch_cellsize_, with the sub-pixel row of the match."""
    active: int
    """Match status: 1 accepted; 2 peak at the search window's border; 3 ambiguous peak; 4
    strength below mincorr_; 5 displacement beyond the limit; 204 chip size outside its limits;
    205 chip outside its image; 0 the call failed (an "Error: " line on standard error)."""
    def __init__(self) -> None:
        """A record with every field 0."""
    def set_coors(self, arg0: float, arg1: float, arg2: float, arg3: float, /) -> None:
        """Sets x1, y1, x2, y2 and recomputes the length (assigning a coordinate property does not)."""
    def get_length(self) -> float:
        """Distance between (x1, y1) and (x2, y2) in map units."""
    def __getstate__(self) -> tuple[float, float, float, float, float, float, float, float, int]: ...
    def __setstate__(self, arg0: tuple[object, ...], /) -> None: ...

class MatchingParams:
    """Every setting of a match; limits are applied when a match runs."""

    peakmethod_: int
    """Sub-pixel fit of the 5 x 5 cells around the peak (default 2): 1 fits a quadric to the
    correlation values; 2 to their negative logarithms weighted by value squared (a Gaussian peak);
    4 keeps the whole-pixel peak (rms 0.5); any other value fits reciprocals weighted by value**4.
    A fit landing more than one cell from the whole-pixel peak is discarded for that peak."""
    ref_cellsize_: float
    """Pixel size of the first image in map units (default 1.0)."""
    srch_cellsize_: float
    """Pixel size of the second image in map units (default 1.0)."""
    corrtype_: int
    """Correlation type (default 1): stored and pickled, but no match uses it."""
    maxdiff_: float
    """Longest accepted displacement in pixels of the second image (default -2.0); 0 or less uses
    min(hoffset_, voffset_) - 2. Longer displacements get status 5; NaN rejects nothing."""
    mincorr_: float
    """Lowest accepted strength (default 2.0, in the strength's units, see LineSeg.strength);
    weaker peaks get status 4."""
    start_row_: int
    """Grid: first row of the grid over the first image (default 0). Used by talmek_track's
    grids; SelectedMatch ignores it."""
    start_col_: int
    """Grid: first column of the grid over the first image (default 0); SelectedMatch ignores it."""
    srch_xll_: float
    """Map x of the second image's lower-left pixel (default 0.0)."""
    srch_yll_: float
    """Map y of the second image's lower-left pixel (default 0.0)."""
    ref_xll_: float
    """Map x of the first image's lower-left pixel (default 0.0)."""
    ref_yll_: float
    """Map y of the first image's lower-left pixel (default 0.0)."""
    chipwidth_: int
    """Width of the reference chip in pixels, 1..128 (default 128); outside that, status 204."""
    chipheight_: int
    """Height of the reference chip in pixels, 1..128 (default 128); outside that, status 204."""
    hoffset_: int
    """Search margin in columns on each side (default 0): the search chip is chipwidth_ +
    2 * hoffset_ wide and must be 48..256. Peaks within 2 columns of the margin's edge get
    status 2, so displacements up to hoffset_ - 2 columns can be found. With the default 0 every
    match ends with status 2."""
    voffset_: int
    """Search margin in rows on each side (default 0); as hoffset_, for rows."""
    row_interval_: int
    """Grid: step between grid rows in pixels (default 20); SelectedMatch ignores it."""
    col_interval_: int
    """Grid: step between grid columns in pixels (default 20); SelectedMatch ignores it."""
    row_offset_: int
    """Grid: rows added to each grid point for its expected position in the second image
    (default 0); SelectedMatch ignores it."""
    col_offset_: int
    """Grid: columns added to each grid point for its expected position in the second image
    (default 0); SelectedMatch ignores it."""
    def __init__(self) -> None:
        """The defaults: chip 128 x 128, margins 0, peak method 2, mincorr_ 2.0, maxdiff_ -2.0."""
    def __getstate__(self) -> tuple[int | float, ...]: ...
    def __setstate__(self, arg0: tuple[object, ...], /) -> None: ...

def SelectedMatch(
    image1: npt.ArrayLike,
    image2: npt.ArrayLike,
    row: Sequence[SupportsIndex],
    col: Sequence[SupportsIndex],
    params: MatchingParams,
) -> LineSeg:
    """Image matchign with a selected pixel

    Matches the chip around (row[0], col[0]) of image1 inside the search chip around the expected
    position (row[1], col[1]) of image2. Images are two-dimensional uint8 arrays (anything NumPy
    converts is accepted). The result's `active` holds the status; a failure inside the call
    writes one "Error: " line on standard error and returns an all-zero LineSeg.
    """
