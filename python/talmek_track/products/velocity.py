"""Displacements as a velocity field: acquisition dates, map units, the outlier flag, uncertainty.

``vector_field`` turns the records of a matched grid into the variables that ``talmek_track``
publishes (see ``VARIABLES`` for each one's unit and meaning): displacements in pixels and in map
units, velocities per year when both acquisition dates are known, the correlation strength, the
status with vectors rejected by the outlier filter marked ``outlier``, and a per-vector
uncertainty. The records themselves are never changed.
"""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

import numpy as np

import Talmek
from talmek_track._facts import Status
from talmek_track.guided.fill import fill_gaps
from talmek_track.guided.outliers import median_test
from talmek_track.matching.engine import displacements
from talmek_track.matching.settings import Settings, status_of
from talmek_track.options.dates import DAYS_PER_YEAR, interval_days
from talmek_track.options.values import FILTERS
from talmek_track.products.quality import PREFIX as QUALITY
from talmek_track.products.quality import quality_report
from talmek_track.products.stable import MIN_STABLE, STABLE_METHODS, StableShift, selection, stable_shift
from talmek_track.products.strain import STRAIN_NAMES, strain_rates
from talmek_track.sources.georef import grid_transform
from talmek_track.sources.readers import Transform

__all__ = [
    "DAYS_PER_YEAR", "OUTLIER", "SIGMA_SCALE", "VARIABLES", "Variable", "VectorField", "vector_field",
]

#: Status of an accepted match that the outlier filter rejected. The record keeps the engine's
#: status; only the published status says ``outlier``.
OUTLIER = int(Status.outlier)
ACCEPTED = int(Status.accepted)


#: sigma = SIGMA_SCALE[peak method] x rms (rms_1 for columns, rms_2 for rows): fitted on synthetic
#: pairs with a known displacement (textures under small rotations and sub-pixel shifts) so that
#: 68 % of the error components fall within one sigma; bench/bench_velocity.py prints the fit.
SIGMA_SCALE = {1: 1.09, 2: 1.43, 3: 1.63, 4: 0.70}
#: Matches refined on image 2 resampled at their estimate (talmek_track.matching.refine) take the same
#: scale of their refined fit's rms: it covers 66 % of the errors on the stable ground of
#: bench/bench_glacier.py.


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
    Variable("vx_error", "map/yr", "uncertainty (one standard deviation) of vx", True),
    Variable("vy_error", "map/yr", "uncertainty (one standard deviation) of vy", True),
    Variable("v_error", "map/yr", "uncertainty (one standard deviation) of v", True),
    Variable("interp_mask", "", "1 where the vector was filled from its neighbours, else 0"),
    Variable("exx", "1/yr", "strain rate along map x", True),
    Variable("eyy", "1/yr", "strain rate along map y", True),
    Variable("exy", "1/yr", "shear strain rate in the map plane", True),
    Variable("effective_strain_rate", "1/yr", "effective strain rate (second invariant)", True),
)

#: Variables derived from the arranged (filtered, possibly filled) field: published as they are,
#: not blanked where the point's own match was rejected.
DERIVED = frozenset({"interp_mask", *STRAIN_NAMES})


# --- the field --------------------------------------------------------------------------------

@dataclass(frozen=True)
class VectorField:
    """The published variables of a matched grid, as flat per-point arrays in grid order; built
    whole, and each product added to it (``fill_field``, ``strain_field``) makes a new one.

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
    attrs: dict[str, Any] = field(default_factory=dict)
    stable_shift: StableShift | None = None
    refinement: np.ndarray | None = None  # per point: talmek_track.matching.refine.EXTRA_FIELDS
    filled: dict[str, np.ndarray] = field(default_factory=dict)  # values at filled points (fill)

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
        if name != "strength" and name not in DERIVED:
            shown = np.where(self.status == ACCEPTED, values, np.nan)
            if name in self.filled:
                shown = np.where(self.values["interp_mask"] == 1, self.filled[name], shown)
            values = shown
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
    displacement is zero. None when fewer than MIN_STABLE such vectors exist."""
    use = stable & np.isfinite(dx) & np.isfinite(dy)
    n = int(use.sum())
    if n < MIN_STABLE:
        return None
    return float(np.sqrt(np.mean(dx[use] ** 2))), float(np.sqrt(np.mean(dy[use] ** 2)))


def roughness(values: np.ndarray, shape: tuple[int, int],
              neighbours: np.ndarray | None = None) -> np.ndarray:
    """How far each vector departs from a plane through its neighbours: the median, over the four
    pairs of opposite neighbours in its 3 x 3 block that are both valid, of |U0 - (Ua + Ub) / 2|.
    Zero on a steady gradient; it grows with the field's curvature at the grid's scale (the part
    of the motion that a chip averages away) and with noise. ``neighbours`` (default
    ``values``) are the values the neighbours take, NaN where invalid. 0 where no pair is
    complete, NaN where the vector itself is."""
    centre = values.reshape(shape)
    pad = np.pad((values if neighbours is None else neighbours).reshape(shape), 1,
                 constant_values=np.nan)
    pairs = ((pad[:-2, 1:-1], pad[2:, 1:-1]), (pad[1:-1, :-2], pad[1:-1, 2:]),
             (pad[:-2, :-2], pad[2:, 2:]), (pad[:-2, 2:], pad[2:, :-2]))
    residuals = np.stack([np.abs(centre - (a + b) / 2) for a, b in pairs])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN stacks
        result = np.nanmedian(residuals, axis=0)
    result = np.where(np.isnan(result) & np.isfinite(centre), 0.0, result)
    out: np.ndarray = result.ravel()
    return out


def _per_year(dt_days: float) -> float:
    return DAYS_PER_YEAR / dt_days


def vector_field(records: np.ndarray, shape: tuple[int, int], params: Talmek.MatchingParams, *,
                 image_transform: Transform | None = None, image_rows: int | None = None, crs: Any = None,
                 dates: tuple[datetime, datetime] | None = None, filter: str = "median",
                 stable: np.ndarray | None = None, stable_method: str | None = None,
                 extra: np.ndarray | None = None,
                 attrs: Mapping[str, Any] | None = None) -> VectorField:
    """The published variables of a grid's records (grid order, row by row).

    ``image_transform`` is image 1's geotransform (None for a plain image of ``image_rows`` rows);
    ``dates`` the two acquisition times (velocities only with them); ``filter`` none or median
    (the outlier test over accepted vectors).

    ``stable`` is an optional per-point bool array marking grid points on stable ground and
    ``stable_method`` one of ``STABLE_METHODS`` (default: mask when ``stable`` is given, else
    none): the median displacement of the stable vectors is removed from dx_map, dy_map, vx, vy
    and v (dx, dy stay as measured), and the spread left adds to each vector's uncertainty.

    ``extra`` holds the fields that refinement adds per point (``talmek_track.matching.refine``): the
    corrections of dx and dy, the refined fit's rms, and the checks' outcome; vectors that
    failed the back-match test or whose chips are unlike at the refined position are rejected
    as outliers.
    """
    if filter not in FILTERS:
        raise ValueError(f"unknown filter {filter!r}; expected one of {', '.join(FILTERS)}")
    if stable_method is None:
        stable_method = "mask" if stable is not None else "none"
    if stable_method not in STABLE_METHODS:
        raise ValueError(f"unknown stable-ground method {stable_method!r}; expected one of "
                         f"{', '.join(STABLE_METHODS)}")
    n = len(records)
    if n != shape[0] * shape[1]:
        raise ValueError(f"{n} records do not fill a {shape[0]} x {shape[1]} grid")
    if extra is not None and len(extra) != n:
        raise ValueError(f"{len(extra)} refinements for {n} records")
    if image_transform is None:
        if image_rows is None:
            raise ValueError("a plain image needs image_rows")
        image_transform = plain_transform(image_rows)
    settings = Settings.of(params)
    accepted = status_of(records) == ACCEPTED
    cellsize = settings.cellsize2
    dx, dy, dx_map, dy_map = displacements(records, cellsize)
    with np.errstate(divide="ignore", invalid="ignore"):
        rms_x = records["rms_1"].astype(np.float64)
        rms_y = records["rms_2"].astype(np.float64)
        refined = np.zeros(n, bool)
        if extra is not None:
            refined = accepted & np.isfinite(extra["refine_dx"]) & np.isfinite(extra["refine_dy"])
            dx_map = np.where(refined, dx_map + extra["refine_dx"] * cellsize, dx_map)
            dy_map = np.where(refined, dy_map - extra["refine_dy"] * cellsize, dy_map)
            has_rms = refined & np.isfinite(extra["refine_rms_1"])
            rms_x = np.where(has_rms, extra["refine_rms_1"], rms_x)
            rms_y = np.where(has_rms, extra["refine_rms_2"], rms_y)
            dx = dx_map / cellsize
            dy = -dy_map / cellsize
    values = {"dx": dx, "dy": dy, "dx_map": dx_map, "dy_map": dy_map}

    status = status_of(records).astype(np.int32)
    attrs = dict(attrs or {})
    judged_dx, judged_dy = dx, dy
    if extra is not None:
        # Matches that failed the back-match test, whose chips are unlike at the refined
        # position or whose refining match did not confirm them are rejected, and left out of
        # the outlier test's neighbourhoods.
        missed = accepted & (extra["check"] >= 2)
        status[missed] = OUTLIER
        judged_dx, judged_dy = np.where(missed, np.nan, dx), np.where(missed, np.nan, dy)
        attrs["refined"] = int(refined.sum())
        attrs["backmatch_rejected"] = int((accepted & (extra["check"] == 2)).sum())
        attrs["unlike_rejected"] = int((accepted & (extra["check"] == 3)).sum())
        attrs["unconfirmed_rejected"] = int((accepted & (extra["check"] == 4)).sum())
    if filter == "median" and n:
        outlier = median_test(judged_dx.reshape(shape), judged_dy.reshape(shape)).ravel()
        status[outlier] = OUTLIER
    good = status == ACCEPTED

    on_stable = None
    if stable is not None:
        on_stable = np.asarray(stable, bool).ravel()
        if on_stable.shape != (n,):
            raise ValueError(f"the stable-ground mask holds {on_stable.size} points, the grid {n}")
    shift = stable_shift(dx, dy, good, stable_method, on_stable, stacklevel=2)
    if shift is not None:
        dx_map = dx_map - shift.dx * cellsize
        dy_map = dy_map + shift.dy * cellsize
        values["dx_map"], values["dy_map"] = dx_map, dy_map

    # Uncertainty: the calibrated fit error, the field's local roughness (deformation within the
    # chip and noise the fit does not see), and the stable-ground spread that both leave unexplained.
    k = SIGMA_SCALE.get(int(settings.peak), SIGMA_SCALE[3])  # other methods fit reciprocally
    fit_x = np.where(accepted, k * rms_x, np.nan)
    fit_y = np.where(accepted, k * rms_y, np.nan)
    if shift is not None:
        rough_x = roughness(dx, shape, np.where(good, dx, np.nan))
        rough_y = roughness(dy, shape, np.where(good, dy, np.nan))
        local_x, local_y = np.hypot(fit_x, rough_x), np.hypot(fit_y, rough_y)
        chosen = np.isfinite(local_x) & good & np.isfinite(dx)
        if stable_method == "mask" and on_stable is not None:
            chosen &= on_stable
        local_x2 = float(np.median(local_x[chosen] ** 2)) if chosen.any() else 0.0
        local_y2 = float(np.median(local_y[chosen] ** 2)) if chosen.any() else 0.0
        se_x, se_y = shift.standard_error
        left_x = np.sqrt(max(shift.spread_x**2 - local_x2, 0.0) + se_x**2)
        left_y = np.sqrt(max(shift.spread_y**2 - local_y2, 0.0) + se_y**2)
        values["sigma_x"] = np.hypot(local_x, left_x)
        values["sigma_y"] = np.hypot(local_y, left_y)
        attrs["uncertainty"] = (f"{k:g} x rms_1, rms_2 and the local roughness of the field, "
                                "combined with the stable-ground spread left after the shift: "
                                f"{left_x:.4g} px, {left_y:.4g} px")
    else:
        values["sigma_x"], values["sigma_y"] = fit_x, fit_y
        attrs["uncertainty"] = f"calibrated: {k:g} x rms_1, rms_2"

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
    if dt_days is not None:
        scale = abs(cellsize * _per_year(dt_days))
        ex, ey = values["sigma_x"] * scale, values["sigma_y"] * scale
        values["vx_error"], values["vy_error"] = ex, ey
        with np.errstate(divide="ignore", invalid="ignore"):
            v = values["v"]
            along = np.hypot(values["vx"] * ex, values["vy"] * ey) / v
            values["v_error"] = np.where(v > 0, along, np.hypot(ex, ey) / np.sqrt(2.0))

    attrs["filter"] = filter
    attrs["stable_shift_method"] = stable_method if shift is not None else "none"
    attrs["stable_shift_count"] = shift.count if shift is not None else 0
    attrs["stable_shift_dx"] = shift.dx if shift is not None else 0.0
    attrs["stable_shift_dy"] = shift.dy if shift is not None else 0.0
    if dt_days is not None:
        attrs["stable_shift_vx"] = (shift.dx * cellsize * _per_year(dt_days)) if shift else 0.0
        attrs["stable_shift_vy"] = (-shift.dy * cellsize * _per_year(dt_days)) if shift else 0.0
    # The quality report: the stable ground as the shift's method chose it (velocities after the
    # shift), the shares of the grid's points.
    chosen_stable = None
    if stable_method == "mask" and on_stable is not None:
        chosen_stable = on_stable
    elif stable_method == "slow":
        chosen_stable = selection(dx, dy, good, "slow", None)
    attrs.update(quality_report(status, (values["vx"], values["vy"]) if "vx" in values else None,
                                chosen_stable))
    return VectorField(records, (int(shape[0]), int(shape[1])), status, values,
                       grid_transform(image_transform, settings.start[::-1], settings.step[::-1]),
                       crs, map_unit_of(crs), dates, dt_days, attrs, shift, extra)


#: The variables that gap filling fills (the others stay NaN at filled points).
FILLED = ("dx", "dy", "dx_map", "dy_map", "vx", "vy")


def fill_field(vf: VectorField) -> VectorField:
    """The field with the gaps of its accepted vectors filled from their neighbours
    (``fill.fill_gaps``): each gap's dx, dy, dx_map, dy_map, vx, vy (and v from them) is
    published with ``interp_mask`` 1; its status and the records keep what the match found."""
    good = (vf.status == ACCEPTED).reshape(vf.shape)
    mask = np.zeros(vf.shape, bool)
    filled = dict(vf.filled)
    for a, b in (("dx", "dy"), ("dx_map", "dy_map"), ("vx", "vy")):
        if a not in vf.values:
            continue
        u = np.where(good, vf.values[a].reshape(vf.shape), np.nan)
        w = np.where(good, vf.values[b].reshape(vf.shape), np.nan)
        u, w, mask = fill_gaps(u, w)
        filled[a], filled[b] = u.ravel(), w.ravel()
    if "vx" in filled:
        filled["v"] = np.hypot(filled["vx"], filled["vy"])
    values = {**vf.values, "interp_mask": mask.ravel().astype(np.float64)}
    attrs = {**vf.attrs, "fill": "mean of the valid neighbours, ring by ring from the rim of each gap",
             "filled": int(mask.sum())}
    if f"{QUALITY}filled_percent" in attrs and vf.status.size:
        attrs[f"{QUALITY}filled_percent"] = 100.0 * int(mask.sum()) / vf.status.size
    return dataclasses.replace(vf, values=values, attrs=attrs, filled=filled)


def strain_field(vf: VectorField) -> VectorField:
    """The field with the strain rates (``strain.strain_rates``, 1/yr) of its published velocity
    grids added (accepted vectors, and filled ones when the field was filled). Needs velocities
    (dates)."""
    if "vx" not in vf.values:
        raise ValueError("strain rates need velocities: give the acquisition dates")
    a, _, _, _, e, _ = vf.transform
    rates = strain_rates(vf.grid("vx"), vf.grid("vy"), (abs(a), abs(e)))
    values = {**vf.values, **{name: v.ravel() for name, v in rates.items()}}
    attrs = {**vf.attrs, "strain": "central differences over two grid steps, one-sided on the border"}
    return dataclasses.replace(vf, values=values, attrs=attrs)
