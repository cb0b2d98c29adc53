"""The outcome of a run, as writers and callers see it: built whole once the matching is done."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

import Talmek
from talmek_track.matching.engine import GridMatch
from talmek_track.products.stable import StableShift
from talmek_track.products.velocity import VectorField
from talmek_track.sources.readers import Transform


@dataclass(frozen=True)
class TrackResult:
    """Everything a run produced, complete when it is made (``pipeline.finish_plan``); the
    writers read it and change nothing. A run that writes files returns a copy that names them
    in ``paths`` and no longer holds the preview.

    Attributes
    ----------
    image1, image2 : str
        The inputs as given.
    records : numpy.ndarray of RECORD_DTYPE
        One record per grid point, row by row; points whose chips touch missing pixels carry
        ``Status.nodata`` and are otherwise zero.
    grid : GridMatch
        The records arranged on the grid (``dx``, ``dy``, ``strength``, ``status``).
    params : Talmek.MatchingParams
        The settings matched with, georeferences and grid start included.
    image_shape : tuple of int
        (rows, cols) of image 1.
    transform : tuple of float or None
        Image 1's affine geotransform (a, b, c, d, e, f), None for a plain image.
    crs : rasterio.crs.CRS or None
        Image 1's coordinate system.
    grid_transform : tuple of float or None
        The geotransform of the result grid: cell (i, j) is centred on grid point (i, j); None
        for a plain image 1 or an empty grid.
    preview : numpy.ndarray or None
        Image 1 as 8-bit grey for figures, possibly downsampled by ``preview_step``; only while
        a run's figure is to be drawn.
    preview_step : int
        Pixels of image 1 per preview pixel along each axis.
    vector_field : VectorField or None
        The published variables (displacements in pixels and map units, velocities when dated,
        strength, status with outliers flagged, sigma_x, sigma_y).
    paths : list of pathlib.Path
        The files written, at their final place.
    options : TrackOptions or None
        The options the run was made with (None for a result built by hand).
    """

    image1: str
    image2: str
    records: np.ndarray
    grid: GridMatch
    params: Talmek.MatchingParams
    image_shape: tuple[int, int]
    transform: Transform | None = None
    crs: Any = None
    grid_transform: Transform | None = None
    preview: np.ndarray | None = None
    preview_step: int = 1
    vector_field: VectorField | None = None
    paths: list[Path] = field(default_factory=list)
    options: Any = None  # a TrackOptions; the options module imports the writers, which import this one

    @property
    def dx(self) -> np.ndarray:
        """Column displacement of each record in pixels of image 2 (NaN unless accepted)."""
        return self.grid.dx.ravel()

    @property
    def dy(self) -> np.ndarray:
        """Row displacement of each record in pixels of image 2 (NaN unless accepted)."""
        return self.grid.dy.ravel()

    @property
    def georeferenced(self) -> bool:
        return self.transform is not None

    @property
    def stable_shift(self) -> StableShift | None:
        """The stable-ground offset removed from the velocities (pixels, with its method, count
        and spread), None when none was; the vector field's attrs hold it in map units per year
        too (``stable_shift_vx``, ``stable_shift_vy``)."""
        return None if self.vector_field is None else self.vector_field.stable_shift
