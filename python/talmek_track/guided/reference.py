"""A reference velocity map as each point's prediction: search centres and margins per point.

A reference is a velocity field in map units per year on any grid: two rasters (vx, vy) or one
product holding both (a ``vectors.tif`` or ``vectors.nc`` of an earlier run, an ITS_LIVE-like
mosaic). ``reference_points`` turns it into what the blocks need for every grid point of image 1:

1. **Resampling.** Each layer is read onto the grid of points (each cell centred on its point,
   in image 1's coordinate system) with GDAL's warper, bilinear, missing values (nodata, NaN,
   outside the map) left out of the weights; two files may lie on different grids.
2. **Centre.** Velocity × dt is a displacement on the reference's map; in another coordinate
   system the point and the displaced point are both transformed, so the vector turns and
   scales with the projection. The map displacement becomes pixels of image 1 through the
   inverse of its affine transform (rows grow downwards on a north-up grid: no sign is assumed),
   and the search centre is the grid's usual expected position plus that, rounded.
3. **Margin.** With an error (``reference_error`` for every point, else the map's own error
   layers: vx_error/vy_error, vx_err/vy_err, or v_error), the margin covers ``ERROR_SIGMAS``
   times the larger component's error in pixels plus ``SLACK``, at least the floor (the guided
   margin, raised to what the least search chip needs) and at most what the chip leaves within
   the largest search chip. Without an error every point takes the floor. Margins are square:
   the engine's automatic displacement limit is the smaller margin less 2.
4. **Coverage.** A point without a usable reference value (outside the map, nodata, NaN, or a
   displacement larger than the image, which no velocity can be) keeps the usual centre and
   the blind margin here. The run warns how many, and the field's attributes count them.

The command does not search around these centres alone: ``prediction.reference_prediction`` turns
the displacements into the predicted field of a guided run (points without a value filled from
their neighbours) and matches image 2 deformed by it, the first deformed pass searching each
point at least as far as its margin here.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

import numpy as np
import numpy.typing as npt

import Talmek
from talmek_track._facts import SEARCH_CHIP_MAX, SEARCH_CHIP_MIN
from talmek_track.errors import InputError, OptionError, describe_error
from talmek_track.matching.settings import Settings
from talmek_track.options.dates import DAYS_PER_YEAR, interval_days
from talmek_track.options.values import SourcePolicy, parse_reference
from talmek_track.sources.gate import REFERENCE_DRIVERS, Role, admit, check_pixels, open_raster, refusal, subdataset
from talmek_track.sources.readers import WARP_TOLERANCE, ImageSource
from talmek_track.sources.remote import gdal_path

__all__ = ["ERROR_SIGMAS", "SLACK", "ReferencePrediction", "parse_reference", "reference_points"]

#: Standard errors of the reference that a search margin covers (per component: 99.7 %).
ERROR_SIGMAS = 3.0
#: Pixels added to the covered error: one for rounding the centre to a whole pixel, two for the
#: peak tests (the peak must lie two cells inside the surface; the automatic displacement limit
#: is the margin less 2).
SLACK = 3

#: Names of the layers a product may hold, each with the names it goes by.
LAYER_NAMES: dict[str, tuple[str, ...]] = {
    "vx": ("vx",), "vy": ("vy",),
    "vx_error": ("vx_error", "vx_err"), "vy_error": ("vy_error", "vy_err"),
    "v_error": ("v_error", "v_err"),
}


@dataclass(frozen=True)
class _Layer:
    path: str  # what rasterio opens (a NetCDF variable as its subdataset)
    band: int
    name: str  # the layer's name in messages and attributes
    file: str  # the file as given
    driver: str | None = None  # the one GDAL driver the gate admitted the file with


@dataclass(frozen=True)
class ReferencePrediction:
    """What a reference predicts for a grid (points row by row, ``shape``): the expected
    positions in image 2 (``points2``, int64 (n, 2)), each point's search margins (``margins``,
    int64 (n, 2): columns, rows), the predicted displacement in pixels (``dx``, ``dy`` on the
    grid, NaN where the reference has no value), which points it covers, and the attributes
    the vector field carries (``attrs``)."""

    points2: npt.NDArray[np.int64]
    margins: npt.NDArray[np.int64]
    dx: np.ndarray
    dy: np.ndarray
    covered: npt.NDArray[np.bool_]
    attrs: dict[str, object] = field(default_factory=dict)


#: The reference as messages name it, with its option.
REFERENCE = Role("the reference", "reference")


def _unreadable(path: str, reason: str) -> InputError:
    return refusal(path, reason, REFERENCE)


def _named_layers(file: str, policy: SourcePolicy) -> tuple[dict[str, _Layer], _Layer | None]:
    """The layers of one file by their names (band descriptions, NetCDF variables), and its only
    layer when it holds just one (None otherwise)."""
    driver = admit(file, policy, drivers=REFERENCE_DRIVERS, role=REFERENCE)
    layers: dict[str, _Layer] = {}
    with open_raster(file, driver, name=gdal_path(file), role=REFERENCE) as ds:
        check_pixels(file, ds.height, ds.width, policy.max_pixels, REFERENCE)
        subdatasets = [subdataset(gdal_path(file), sub, driver, REFERENCE) for sub in ds.subdatasets]
        count = 0 if subdatasets else ds.count
        for band in range(1, count + 1):
            name = ds.descriptions[band - 1] or ds.tags(band).get("NETCDF_VARNAME", "")
            if name:
                layers.setdefault(name, _Layer(file, band, name, file, driver))
    for sub in subdatasets:  # a NetCDF of several variables
        variable = sub.rsplit(":", 1)[-1].strip('"')
        layers.setdefault(variable, _Layer(sub, 1, variable, file, driver))
    only = None
    if count == 1:
        only = next(iter(layers.values()), _Layer(file, 1, "band 1", file, driver))
    elif len(subdatasets) == 1:
        only = next(iter(layers.values()))
    return layers, only


def _find(layers: dict[str, _Layer], kind: str) -> _Layer | None:
    for name in LAYER_NAMES[kind]:
        if name in layers:
            return layers[name]
    return None


def _layers(paths: Sequence[str], policy: SourcePolicy) -> dict[str, _Layer]:
    """The velocity layers (vx, vy) and any error layers of the reference's files: one product's
    layers by their names; of two files, the first's vx and the second's vy (by name, else its
    only layer) with the error layers each holds."""
    named = [_named_layers(p, policy) for p in paths]
    found: dict[str, _Layer] = {}
    if len(paths) == 1:
        layers = named[0][0]
        for kind in LAYER_NAMES:
            layer = _find(layers, kind)
            if layer is not None:
                found[kind] = layer
        if "vx" not in found or "vy" not in found:
            raise InputError(f"the reference {paths[0]} holds no bands or variables named vx and vy; "
                             "give the two rasters of velocity as VX,VY")
        return found
    for path, (layers, only), kind in zip(paths, named, ("vx", "vy")):
        layer = _find(layers, kind) or only
        if layer is None:
            raise InputError(f"the reference {path} holds several layers and none named {kind} "
                             f"(it holds {', '.join(layers) or 'unnamed bands'}); give a raster of "
                             f"one band or one with a band named {kind}")
        found[kind] = layer
        for error in (f"{kind}_error", "v_error"):
            if error not in found and _find(layers, error) is not None:
                found[error] = _find(layers, error)  # type: ignore[assignment]
    return found


def _grid_affine(source1: ImageSource, params: Talmek.MatchingParams) -> Any:
    from affine import Affine

    assert source1.transform is not None
    grid = Settings.of(params)
    sx, sy = grid.step
    return (Affine(*source1.transform[:6])
            @ Affine.translation(grid.start[0] + 0.5 - 0.5 * sx, grid.start[1] + 0.5 - 0.5 * sy)
            @ Affine.scale(sx, sy))


def _sample(layer: _Layer, shape: tuple[int, int], transform: Any, crs: Any,
            policy: SourcePolicy) -> tuple[np.ndarray, Any, float]:
    """The layer resampled (bilinear) onto the cells of ``transform`` and ``shape`` in ``crs``:
    NaN where it has no value; with its coordinate system and pixel size."""
    from rasterio import band
    from rasterio.enums import Resampling
    from rasterio.warp import reproject

    out = np.full(shape, np.nan, np.float64)
    with open_raster(layer.file, layer.driver, name=gdal_path(layer.path), role=REFERENCE) as ds:
        check_pixels(f"{layer.file} ({layer.name})", ds.height, ds.width, policy.max_pixels, REFERENCE)
        if ds.crs is None:
            raise InputError(f"the reference {layer.file} ({layer.name}) has no coordinate system")
        nodata = ds.nodatavals[layer.band - 1]
        if nodata is None and np.dtype(ds.dtypes[layer.band - 1]).kind == "f":
            nodata = math.nan
        try:
            reproject(band(ds, layer.band), out, src_nodata=nodata, dst_transform=transform,
                      dst_crs=crs, dst_nodata=math.nan, resampling=Resampling.bilinear,
                      tolerance=WARP_TOLERANCE)
        except Exception as e:  # noqa: BLE001 - whatever GDAL raised, the file is unusable
            raise _unreadable(f"{layer.file} ({layer.name})", describe_error(e)) from None
        scale, offset = ds.scales[layer.band - 1], ds.offsets[layer.band - 1]
        ref_crs, pixel = ds.crs, float(min(abs(ds.res[0]), abs(ds.res[1])))
    if (scale, offset) != (1.0, 0.0):
        out = out * scale + offset
    return out, ref_crs, pixel


def _map_jacobian(x: np.ndarray, y: np.ndarray, ref_crs: Any, crs: Any, step: float
                  ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The points in the reference's system and, per point, how a step along its x and along its
    y moves on image 1's map (columns of the local Jacobian, per reference map unit)."""
    from rasterio.warp import transform

    xr, yr = (np.asarray(v) for v in transform(crs, ref_crs, x.tolist(), y.tolist()))
    xs = np.concatenate([xr + step, xr])
    ys = np.concatenate([yr, yr + step])
    bx, by = (np.asarray(v) for v in transform(ref_crs, crs, xs.tolist(), ys.tolist()))
    n = len(x)
    jx = np.stack([bx[:n] - x, by[:n] - y]) / step
    jy = np.stack([bx[n:] - x, by[n:] - y]) / step
    return np.stack([xr, yr]), jx, jy


def _moved(x: np.ndarray, y: np.ndarray, at_ref: np.ndarray, dxr: np.ndarray, dyr: np.ndarray,
           ref_crs: Any, crs: Any) -> tuple[np.ndarray, np.ndarray]:
    """Displacements (map units of image 1) of the points moved by (dxr, dyr) on the reference's
    map: the displaced point transformed back, so that the vector turns with the projection."""
    from rasterio.warp import transform

    ok = np.isfinite(dxr) & np.isfinite(dyr)
    dx, dy = np.full(len(x), np.nan), np.full(len(x), np.nan)
    if ok.any():
        bx, by = transform(ref_crs, crs, (at_ref[0][ok] + dxr[ok]).tolist(), (at_ref[1][ok] + dyr[ok]).tolist())
        dx[ok], dy[ok] = np.asarray(bx) - x[ok], np.asarray(by) - y[ok]
    return dx, dy


def margin_limits(chip: tuple[int, int], guided_margin: int) -> tuple[int, int]:
    """The least and the largest square margin of a predicted point: the guided margin raised to
    what the least search chip needs, and what the chip leaves within the largest."""
    least = max(guided_margin, *(math.ceil((SEARCH_CHIP_MIN - c) / 2) for c in chip))
    most = min((SEARCH_CHIP_MAX - c) // 2 for c in chip)
    if least > most:
        raise OptionError("a guided margin of {m} px leaves the search chip beyond the engine's limit of "
                          "{limit} px for a {c}-px chip", options=("guided_margin",), m=least,
                          limit=SEARCH_CHIP_MAX, c=max(chip))
    return least, most


def _public(path: str) -> str:
    # A file's name as attributes show it: no folders, no query (signed URLs carry credentials).
    return os.path.basename(path.split("?", 1)[0]) or path


def reference_points(source1: ImageSource, params: Talmek.MatchingParams, points1: np.ndarray,
                     points2: np.ndarray, grid_shape: tuple[int, int], *, reference: Sequence[str],
                     dates: tuple[datetime, datetime] | None, error: float | None = None,
                     guided_margin: int = 4, policy: SourcePolicy | None = None) -> ReferencePrediction:
    """Each grid point's expected position in image 2 and its search margins from a reference
    velocity map (see the module). ``points1``, ``points2`` are the grid's points and their
    usual expected positions (``grid_points``), ``params`` the completed settings (their margins
    are the blind search's). OptionError without ``dates``; InputError for a reference that
    cannot be read or that ``policy`` (the source policy of every input; default: the default
    one) refuses, or an image 1 without a georeference."""
    policy = policy or SourcePolicy()
    if dates is None:
        raise OptionError("{0} needs the acquisition dates ({1})", options=("reference", "dates"))
    if source1.transform is None or source1.crs is None:
        raise InputError(f"a reference velocity map needs a georeferenced image 1; {source1.path} "
                         "has no coordinate system")
    if len(reference) not in (1, 2):
        raise OptionError("{0} must be one or two paths", options=("reference",))
    chip = Settings.of(params).chip
    least, most = margin_limits(chip, guided_margin)
    if len(points1) == 0:
        nothing = np.full(grid_shape, np.nan)
        return ReferencePrediction(points2, np.zeros((0, 2), np.int64), nothing, nothing,
                                   np.zeros(0, bool))
    years = interval_days(*dates) / DAYS_PER_YEAR
    layers = _layers(reference, policy)
    transform, crs = _grid_affine(source1, params), source1.crs
    # Each point's map position (pixel centres) on image 1's map.
    a, b, c, d, e, f = source1.transform[:6]
    col = points1[:, 1].astype(np.float64) + 0.5
    row = points1[:, 0].astype(np.float64) + 0.5
    x, y = a * col + b * row + c, d * col + e * row + f
    sampled = {kind: _sample(layer, grid_shape, transform, crs, policy)
               for kind, layer in layers.items() if kind in ("vx", "vy") or error is None}
    _, ref_crs, ref_pixel = sampled["vx"]
    _, crs_y, pixel_y = sampled["vy"]
    values = {kind: v[0].ravel() for kind, v in sampled.items()}
    # Displacements on image 1's map: a vector of the reference's map turns and scales with the
    # projection; each component comes from its own file's system.
    if crs_y != ref_crs:
        raise InputError(f"the reference's vx ({layers['vx'].file}) and vy ({layers['vy'].file}) are "
                         "in different coordinate systems: their components point along different axes")
    jac: tuple[np.ndarray, np.ndarray] | None = None
    if ref_crs == crs:
        mx, my = values["vx"] * years, values["vy"] * years
    else:
        at_ref, jx, jy = _map_jacobian(x, y, ref_crs, crs, min(ref_pixel, pixel_y))
        mx, my = _moved(x, y, at_ref, values["vx"] * years, values["vy"] * years, ref_crs, crs)
        jac = (jx, jy)
    # Map displacement to pixels of image 1: the inverse of the transform's linear part.
    inverse = np.linalg.inv(np.array([[a, b], [d, e]], np.float64))
    dcol = inverse[0, 0] * mx + inverse[0, 1] * my
    drow = inverse[1, 0] * mx + inverse[1, 1] * my
    rows, cols = source1.shape
    covered = (np.isfinite(dcol) & np.isfinite(drow) & (np.abs(dcol) <= max(rows, cols))
               & (np.abs(drow) <= max(rows, cols)))
    dcol, drow = np.where(covered, dcol, np.nan), np.where(covered, drow, np.nan)
    shift = np.stack([np.rint(np.where(covered, drow, 0.0)), np.rint(np.where(covered, dcol, 0.0))],
                     axis=1).astype(np.int64)
    predicted: npt.NDArray[np.int64] = points2 + shift

    # The margins: the error in pixels along rows and columns, each component's error carried
    # through the projection's Jacobian and the inverse transform as a bound (absolute values).
    margins = np.empty((len(points1), 2), np.int64)
    margins[:, 0], margins[:, 1] = Settings.of(params).margin
    if error is not None:
        ex = ey = np.full(len(points1), float(error))
        how = f"given: {error:g} map units/yr"
    elif "vx_error" in values and "vy_error" in values:
        ex, ey = values["vx_error"], values["vy_error"]
        how = f"layers {layers['vx_error'].name}, {layers['vy_error'].name}"
    elif "v_error" in values:
        ex = ey = values["v_error"]
        how = f"layer {layers['v_error'].name}"
    else:
        ex = ey = np.full(len(points1), np.nan)
        how = "none"
    ex, ey = np.abs(ex) * abs(years), np.abs(ey) * abs(years)
    if jac is not None:
        jx, jy = jac
        ex, ey = np.abs(jx[0]) * ex + np.abs(jy[0]) * ey, np.abs(jx[1]) * ex + np.abs(jy[1]) * ey
    spread = np.maximum(np.abs(inverse[0, 0]) * ex + np.abs(inverse[0, 1]) * ey,
                        np.abs(inverse[1, 0]) * ex + np.abs(inverse[1, 1]) * ey)
    known = np.isfinite(spread)
    wanted = np.full(len(points1), float(least))
    wanted[known] = np.ceil(ERROR_SIGMAS * spread[known] + SLACK)
    capped = covered & (wanted > most)
    square = np.clip(wanted, least, most).astype(np.int64)
    margins[covered] = square[covered, None]

    blind = int((~covered).sum())
    total = len(points1)
    attrs: dict[str, object] = {
        "reference": ", ".join(sorted({_public(layer.file) for layer in layers.values()})),
        "reference_error": how,
        "reference_points": total - blind,
        "reference_blind_points": blind,
        "reference_capped_points": int(capped.sum()),
    }
    if blind and total:
        least_x, least_y = Settings.of(params).margin
        warnings.warn(f"the reference velocity map has no value at {blind} of {total} grid points "
                      f"(outside it, nodata or NaN); they are predicted from their neighbours (the grid's offset "
                      f"where it covers none) and searched at least {least_x},{least_y} px around that", stacklevel=3)
    shape = grid_shape
    return ReferencePrediction(predicted, margins, dcol.reshape(shape), drow.reshape(shape), covered, attrs)
