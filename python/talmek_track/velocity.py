"""Displacements as a velocity field: acquisition dates, map units, the outlier flag, uncertainty.

``vector_field`` turns the records of a matched grid into the variables that ``talmek_track``
publishes (see ``VARIABLES`` for each one's unit and meaning): displacements in pixels and in map
units, velocities per year when both acquisition dates are known, the correlation strength, the
status with vectors rejected by the outlier filter marked ``outlier``, and a per-vector
uncertainty. The records themselves are never changed.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

import numpy as np

import Talmek
from talmek_track._facts import Status
from talmek_track.dates import interval_days
from talmek_track.georef import grid_transform
from talmek_track.matching import displacements
from talmek_track.outliers import FILTERS, median_test
from talmek_track.readers import Transform

__all__ = [
    "DAYS_PER_YEAR", "OUTLIER", "SIGMA_SCALE", "VARIABLES", "Variable", "VectorField", "vector_field",
]

#: Status of an accepted match that the outlier filter rejected. The record keeps the engine's
#: status; only the published status says ``outlier``.
OUTLIER = int(Status.outlier)
ACCEPTED = int(Status.accepted)

#: Velocities are per Julian year.
DAYS_PER_YEAR = 365.25

#: sigma = SIGMA_SCALE[peak method] x rms (rms_1 for columns, rms_2 for rows): fitted on synthetic
#: pairs with a known displacement (textures under small rotations and sub-pixel shifts) so that
#: 68 % of the error components fall within one sigma; bench/bench_velocity.py prints the fit.
SIGMA_SCALE = {1: 1.09, 2: 1.43, 3: 1.63, 4: 0.70}

#: A stable-ground estimate needs at least this many vectors on stable ground.
MIN_STABLE = 10


@dataclass(frozen=True)
class Variable:
    name: str
    unit: str  # "pixel", "map" (the map unit), "map/yr", "1" or "" for codes
    long_name: str
    needs_dates: bool = False


VARIABLES: tuple[Variable, ...] = (
    Variable("dx", "pixel", "displacement along columns (to the right) in pixels of image 2"),
    Variable("dy", "pixel", "displacement along rows (downwards) in pixels of image 2"),
    Variable("dx_map", "map", "displacement along map x (east)"),
    Variable("dy_map", "map", "displacement along map y (north)"),
    Variable("vx", "map/yr", "velocity along map x (east)", True),
    Variable("vy", "map/yr", "velocity along map y (north)", True),
    Variable("v", "map/yr", "speed", True),
    Variable("strength", "1", "correlation peak strength"),
    Variable("status", "", "match status"),
    Variable("sigma_x", "pixel", "uncertainty (one standard deviation) of dx"),
    Variable("sigma_y", "pixel", "uncertainty (one standard deviation) of dy"),
)


# --- the field --------------------------------------------------------------------------------

@dataclass
class VectorField:
    """The published variables of a matched grid, as flat per-point arrays in grid order.

    ``values`` maps each present variable of ``VARIABLES`` (other than status) to a float64 array:
    the value of accepted points and of outliers, NaN elsewhere (strength is the record's for
    every point). ``grid(name)`` arranges one on the grid, outliers blanked out there.
    """

    records: np.ndarray
    shape: tuple[int, int]
    status: np.ndarray  # int32 per point: records' active, outliers as OUTLIER
    values: dict[str, np.ndarray]
    transform: Transform  # of the grid's cells
    crs: Any = None
    map_unit: str = "pixel"
    dates: tuple[datetime, datetime] | None = None
    dt_days: float | None = None
    attrs: dict[str, str] = field(default_factory=dict)

    @property
    def variables(self) -> list[Variable]:
        return [v for v in VARIABLES if v.name == "status" or v.name in self.values]

    def unit(self, var: Variable) -> str:
        if var.unit == "map":
            return self.map_unit
        if var.unit == "map/yr":
            return f"{self.map_unit}/yr"
        return var.unit

    def grid(self, name: str) -> np.ndarray:
        if name == "status":
            return self.status.reshape(self.shape)
        values = self.values[name]
        if name != "strength":
            values = np.where(self.status == ACCEPTED, values, np.nan)
        return values.reshape(self.shape)

    def coordinates(self) -> tuple[np.ndarray, np.ndarray]:
        """Map x of each grid column's cell centre and map y of each grid row's."""
        a, _, c, _, e, f = self.transform
        return c + a * (np.arange(self.shape[1]) + 0.5), f + e * (np.arange(self.shape[0]) + 0.5)


def plain_transform(rows: int) -> Transform:
    """The map frame of an image without georeference: one unit per pixel, x the column and y the
    row counted upwards from the bottom row, as its matches' x1, y1 are."""
    return (1.0, 0.0, -0.5, 0.0, -1.0, rows - 0.5)


def map_unit_of(crs: Any) -> str:
    if crs is None:
        return "pixel"
    try:
        if crs.is_geographic:
            return "degree"
        unit = crs.linear_units
    except AttributeError:
        return "map unit"
    return {"metre": "m", "meter": "m", "metres": "m", "meters": "m", "foot": "ft",
            "us survey foot": "US ft"}.get(str(unit).lower(), str(unit) or "map unit")


def stable_sigma(dx: np.ndarray, dy: np.ndarray, stable: np.ndarray) -> tuple[float, float] | None:
    """Root mean square of dx and dy (pixels) over the given stable-ground vectors, whose true
    displacement is zero: the spread that glacier studies report as the measurement uncertainty.
    None when fewer than MIN_STABLE such vectors exist."""
    use = stable & np.isfinite(dx) & np.isfinite(dy)
    n = int(use.sum())
    if n < MIN_STABLE:
        return None
    return float(np.sqrt(np.mean(dx[use] ** 2))), float(np.sqrt(np.mean(dy[use] ** 2)))


def vector_field(records: np.ndarray, shape: tuple[int, int], params: Talmek.MatchingParams, *,
                 image_transform: Transform | None = None, image_rows: int | None = None, crs: Any = None,
                 dates: tuple[datetime, datetime] | None = None, filter: str = "median",
                 stable: np.ndarray | None = None, attrs: Mapping[str, str] | None = None) -> VectorField:
    """The published variables of a grid's records (grid order, row by row).

    ``image_transform`` is image 1's geotransform (None for a plain image of ``image_rows`` rows);
    ``dates`` the two acquisition times (velocities only with them); ``filter`` none or median
    (the outlier test over accepted vectors); ``stable`` an optional per-point bool array marking
    grid points on stable ground, whose spread then gives sigma_x and sigma_y instead of the
    calibrated scale of rms_1 and rms_2.
    """
    if filter not in FILTERS:
        raise ValueError(f"unknown filter {filter!r}; expected one of {', '.join(FILTERS)}")
    n = len(records)
    if n != shape[0] * shape[1]:
        raise ValueError(f"{n} records do not fill a {shape[0]} x {shape[1]} grid")
    if image_transform is None:
        if image_rows is None:
            raise ValueError("a plain image needs image_rows")
        image_transform = plain_transform(image_rows)
    accepted = records["active"] == ACCEPTED
    dx, dy, dx_map, dy_map = displacements(records, params.srch_cellsize_)
    values = {"dx": dx, "dy": dy, "dx_map": dx_map, "dy_map": dy_map}

    status = records["active"].astype(np.int32)
    if filter == "median" and n:
        outlier = median_test(dx.reshape(shape), dy.reshape(shape)).ravel()
        status[outlier] = OUTLIER
    good = status == ACCEPTED

    dt_days = None
    if dates is not None:
        dt_days = interval_days(*dates)
        # Left to right: a whole-pixel shift s gives exactly s * cellsize * 365.25 / days.
        values["vx"] = dx_map * DAYS_PER_YEAR / dt_days
        values["vy"] = dy_map * DAYS_PER_YEAR / dt_days
        values["v"] = np.hypot(values["vx"], values["vy"])
        if map_unit_of(crs) == "degree":
            warnings.warn("the images are in a geographic coordinate system: velocities are in "
                          "degrees per year; reproject both images to a projected one for m/yr",
                          stacklevel=2)
    values["strength"] = records["strength"].astype(np.float64)

    attrs = dict(attrs or {})
    spread = None
    if stable is not None:
        stable = np.asarray(stable, bool).ravel()
        if stable.shape != (n,):
            raise ValueError(f"the stable-ground mask holds {stable.size} points, the grid {n}")
        spread = stable_sigma(dx, dy, stable & good)
        if spread is None:
            warnings.warn(f"fewer than {MIN_STABLE} accepted vectors on stable ground; sigma_x and "
                          "sigma_y use the calibrated fit error instead", stacklevel=2)
    if spread is not None:
        values["sigma_x"] = np.where(accepted, spread[0], np.nan)
        values["sigma_y"] = np.where(accepted, spread[1], np.nan)
        attrs["uncertainty"] = (f"stable ground: RMS of {int((stable & good).sum())} vectors, "
                                f"sigma_x {spread[0]:.4g} px, sigma_y {spread[1]:.4g} px")
    else:
        k = SIGMA_SCALE.get(int(params.peakmethod_), SIGMA_SCALE[3])  # others fit reciprocally
        values["sigma_x"] = np.where(accepted, k * records["rms_1"].astype(np.float64), np.nan)
        values["sigma_y"] = np.where(accepted, k * records["rms_2"].astype(np.float64), np.nan)
        attrs["uncertainty"] = f"calibrated: {k:g} x rms_1, rms_2"
    attrs["filter"] = filter
    return VectorField(records, (int(shape[0]), int(shape[1])), status, values,
                       grid_transform(image_transform, (params.start_row_, params.start_col_),
                                      (params.row_interval_, params.col_interval_)),
                       crs, map_unit_of(crs), dates, dt_days, attrs)

