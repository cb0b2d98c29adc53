"""Image files in: PNG, JPEG and TIFF as 8-bit grey arrays with a mask of missing pixels and, for a
GeoTIFF read through rasterio, the affine geotransform (x = a*col + b*row + c,
y = d*col + e*row + f at pixel corners) and the coordinate system."""

from __future__ import annotations

import importlib
import math
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.errors import InputError, one_line, require

#: An affine geotransform (a, b, c, d, e, f), as rasterio's Affine lists it.
Transform = tuple[float, float, float, float, float, float]


@dataclass
class Raster:
    """One image as read: 2-D uint8 pixels, where data is missing, and the georeference."""

    path: str
    pixels: np.ndarray
    invalid: np.ndarray | None  # True where a pixel holds no data
    transform: Transform | None = None
    crs: Any = None


# TIFF tags that make a GeoTIFF: pixel scale, tie points, transformation, geo keys.
_GEO_TAGS = (33550, 33922, 34264, 34735)
_GDAL_NODATA = 42113


def read_raster(path: str, nodata: float | None = None) -> Raster:
    """Reads one image.

    Parameters
    ----------
    path : str
        A PNG, JPEG or TIFF file; a GeoTIFF keeps its georeference when rasterio is installed.
    nodata : float, optional
        The value that marks missing pixels, overriding the one the file declares.

    Returns
    -------
    Raster
        The image as 8-bit grey.

    Raises
    ------
    InputError
        The file is missing or cannot be read as an image.
    """
    p = Path(path)
    if not p.is_file():
        raise InputError(f"cannot read {path}: no such file")
    try:
        if p.suffix.lower() in (".tif", ".tiff"):
            return _read_tiff(path, nodata)
        iio = require("imageio.v3", "cli")
        data = np.asarray(iio.imread(path))
        return _finish(path, data, nodata)
    except InputError:
        raise
    except Exception as e:  # noqa: BLE001 - any reader failure is an unreadable input
        raise InputError(f"cannot read {path}: {one_line(e)}") from None


def raster_from_array(name: str, data: np.ndarray, nodata: float | None = None) -> Raster:
    """An image given as an array (rows, cols) or (rows, cols, bands), read as a file's pixels
    would be; ``name`` stands for the path in messages."""
    return _finish(name, np.asarray(data), nodata)


def _read_tiff(path: str, nodata: float | None) -> Raster:
    tifffile = require("tifffile", "cli")
    with tifffile.TiffFile(path) as tif:
        tags = tif.pages[0].tags
        is_geo = any(t in tags for t in _GEO_TAGS)
        declared = tags[_GDAL_NODATA].value if _GDAL_NODATA in tags else None
        if is_geo:
            try:
                importlib.import_module("rasterio")
            except ImportError:
                warnings.warn(f"{path}: rasterio is not installed (pip install 'talmek[geo]'), "
                              "so this GeoTIFF is read without its georeference", stacklevel=2)
            else:
                return _read_geotiff(path, nodata)
        data = tif.asarray()
    if nodata is None and declared is not None:
        nodata = _parse_nodata(declared)
    data = np.asarray(data)
    # tifffile gives planar colour as (bands, rows, cols).
    if data.ndim == 3 and data.shape[0] in (2, 3, 4) and data.shape[-1] not in (2, 3, 4):
        data = np.moveaxis(data, 0, -1)
    return _finish(path, data, nodata)


def _read_geotiff(path: str, nodata: float | None) -> Raster:
    import rasterio

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
        with rasterio.open(path) as ds:
            data = ds.read()  # (bands, rows, cols)
            crs = ds.crs
            transform = None if crs is None and ds.transform.is_identity else tuple(ds.transform)[:6]
            if nodata is None:
                nodata = ds.nodata
    raster = _finish(path, np.moveaxis(data, 0, -1), nodata)
    raster.transform = transform
    raster.crs = crs
    return raster


def _parse_nodata(text: object) -> float | None:
    try:
        return float(str(text).strip().strip("\x00"))
    except ValueError:
        return None


def _finish(path: str, data: np.ndarray, nodata: float | None) -> Raster:
    if data.ndim == 3 and data.shape[-1] == 1:
        data = data[..., 0]
    if data.ndim == 3 and data.shape[-1] in (2, 3, 4):
        bands = data
    elif data.ndim == 2:
        bands = data[..., np.newaxis]
    else:
        raise InputError(f"cannot read {path}: unsupported image shape {data.shape}")
    if bands.dtype.kind not in "biuf":
        raise InputError(f"cannot read {path}: unsupported pixel type {bands.dtype}")

    invalid = np.zeros(bands.shape[:2], bool)
    if bands.dtype.kind == "f":
        invalid |= ~np.isfinite(bands).all(axis=-1)
    if nodata is not None and not math.isnan(nodata):  # NaN is caught above
        invalid |= (bands == nodata).any(axis=-1)

    if bands.shape[-1] >= 3:
        warnings.warn(f"{path}: colour image converted to grey", stacklevel=3)
        grey = bands[..., :3].astype(np.float64) @ np.array([0.299, 0.587, 0.114])
    else:
        if bands.shape[-1] == 2:
            warnings.warn(f"{path}: alpha channel ignored", stacklevel=3)
        grey = bands[..., 0]
    pixels = _to_uint8(path, grey, bands.dtype, invalid)
    return Raster(path, pixels, invalid if invalid.any() else None)


def _to_uint8(path: str, grey: np.ndarray, source: np.dtype, invalid: np.ndarray) -> np.ndarray:
    if source == np.uint8:
        return np.clip(np.rint(grey), 0, 255).astype(np.uint8)
    if source == np.bool_:
        return grey.astype(np.uint8) * 255
    # Wider values are stretched linearly over their valid range; correlation does not mind a
    # linear change of brightness.
    valid = grey[~invalid].astype(np.float64)
    lo, hi = (float(valid.min()), float(valid.max())) if valid.size else (0.0, 0.0)
    warnings.warn(f"{path}: {source} values {lo:g}..{hi:g} scaled to 8 bits", stacklevel=3)
    scale = 255.0 / (hi - lo) if hi > lo else 0.0
    with np.errstate(invalid="ignore"):
        out = np.clip(np.rint((grey.astype(np.float64) - lo) * scale), 0, 255)
    out[invalid] = 0
    return out.astype(np.uint8)
