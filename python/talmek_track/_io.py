"""Image files in and result files out for the talmek-track command.

Readers turn PNG, JPEG and TIFF files into 8-bit grey arrays with a mask of missing pixels and,
for a GeoTIFF read through rasterio, the affine geotransform (x = a*col + b*row + c,
y = d*col + e*row + f at pixel corners) and the coordinate system.
"""

from __future__ import annotations

import importlib
import json
import math
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from talmek_track import NODATA, RECORD_DTYPE, STATUS_NAMES, status_name


class InputError(Exception):
    """An input that cannot be read or used; the message is one line for the user."""


def require(module: str, extra: str):
    try:
        return importlib.import_module(module)
    except ImportError:
        raise InputError(f"{module} is not installed (pip install 'talmek[{extra}]')") from None


@dataclass
class Raster:
    path: str
    pixels: np.ndarray  # 2-D uint8
    invalid: np.ndarray | None  # True where a pixel holds no data
    transform: tuple[float, float, float, float, float, float] | None = None
    crs: object | None = None


# TIFF tags that make a GeoTIFF: pixel scale, tie points, transformation, geo keys.
_GEO_TAGS = (33550, 33922, 34264, 34735)
_GDAL_NODATA = 42113


def read_raster(path: str, nodata: float | None = None) -> Raster:
    """Reads one image; ``nodata`` overrides the value that the file declares."""
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
        raise InputError(f"cannot read {path}: {_one_line(e)}") from None


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
                              "so this GeoTIFF is read without its georeference")
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


def _parse_nodata(text) -> float | None:
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
        warnings.warn(f"{path}: colour image converted to grey")
        grey = bands[..., :3].astype(np.float64) @ np.array([0.299, 0.587, 0.114])
    else:
        if bands.shape[-1] == 2:
            warnings.warn(f"{path}: alpha channel ignored")
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
    warnings.warn(f"{path}: {source} values {lo:g}..{hi:g} scaled to 8 bits")
    scale = 255.0 / (hi - lo) if hi > lo else 0.0
    with np.errstate(invalid="ignore"):
        out = np.clip(np.rint((grey.astype(np.float64) - lo) * scale), 0, 255)
    out[invalid] = 0
    return out.astype(np.uint8)


def _one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__


# --- georeference ---------------------------------------------------------------------------

@dataclass
class Georeference:
    """What MatchingParams needs of one image: pixel size and the lower-left pixel's centre."""

    cellsize: float
    xll: float
    yll: float

    def top(self, rows: int) -> float:
        return self.yll + (rows - 1) * self.cellsize


def georeference(r: Raster) -> Georeference:
    assert r.transform is not None
    a, b, c, d, e, f = r.transform
    if b != 0 or d != 0:
        raise InputError(f"{r.path}: rotated or sheared pixels are not supported")
    if a <= 0 or e >= 0:
        raise InputError(f"{r.path}: only north-up images are supported")
    if not math.isclose(a, -e, rel_tol=1e-9):
        raise InputError(f"{r.path}: pixels are not square ({a:g} by {-e:g})")
    rows = r.pixels.shape[0]
    # Map positions name pixel centres; the geotransform names corners.
    return Georeference(a, c + 0.5 * a, f + e * (rows - 0.5))


def pair_georeference(r1: Raster, r2: Raster) -> tuple[Georeference, Georeference, tuple[int, int]]:
    """Both images' georeferences and the (row, col) shift that takes a pixel of image 1 to the
    pixel of image 2 at the same map position (rounded). Plain images are aligned at their
    top-left pixels, with image 1's rows counted upwards from its bottom as map y."""
    rows1, rows2 = r1.pixels.shape[0], r2.pixels.shape[0]
    if r1.transform is None and r2.transform is None:
        return Georeference(1.0, 0.0, 0.0), Georeference(1.0, 0.0, float(rows1 - rows2)), (0, 0)
    if r1.transform is None or r2.transform is None:
        geo, plain = (r1, r2) if r2.transform is None else (r2, r1)
        raise InputError(f"{geo.path} is georeferenced but {plain.path} is not")
    if (r1.crs is None) != (r2.crs is None) or (r1.crs is not None and r1.crs != r2.crs):
        raise InputError(f"{r1.path} and {r2.path} are in different coordinate systems")
    g1, g2 = georeference(r1), georeference(r2)
    if not math.isclose(g1.cellsize, g2.cellsize, rel_tol=1e-9):
        raise InputError(f"{r1.path} and {r2.path} have different pixel sizes "
                         f"({g1.cellsize:g} and {g2.cellsize:g}); resample one first")
    shift = (round((g2.top(rows2) - g1.top(rows1)) / g1.cellsize), round((g1.xll - g2.xll) / g1.cellsize))
    return g1, g2, shift


# --- nodata masking -------------------------------------------------------------------------

def chips_touch(invalid: np.ndarray | None, points: np.ndarray, width: int, height: int) -> np.ndarray:
    """True for each (row, col) centre whose chip, as the engine cuts it, holds an invalid pixel
    (the part of the chip inside the image; a chip outside is the engine's to reject)."""
    if invalid is None or len(points) == 0:
        return np.zeros(len(points), bool)
    rows, cols = invalid.shape
    table = np.zeros((rows + 1, cols + 1), np.int64)
    table[1:, 1:] = invalid.cumsum(0).cumsum(1)
    r0 = np.trunc(points[:, 0] - height * 0.5 + 1.0).astype(np.int64)
    c0 = np.trunc(points[:, 1] - width * 0.5 + 1.0).astype(np.int64)
    r1, c1 = np.clip(r0 + height, 0, rows), np.clip(c0 + width, 0, cols)
    r0, c0 = np.clip(r0, 0, rows), np.clip(c0, 0, cols)
    return (table[r1, c1] - table[r0, c1] - table[r1, c0] + table[r0, c0]) > 0


# --- outputs --------------------------------------------------------------------------------

FIELDS: tuple[str, ...] = tuple(RECORD_DTYPE.names or ())
CSV_COLUMNS = FIELDS + ("status", "dx", "dy")


def write_csv(path: Path, records: np.ndarray, dx: np.ndarray, dy: np.ndarray) -> None:
    # NumPy's text form of a float is the shortest that reads back to the same value.
    columns = [records[name].astype(str) for name in FIELDS]
    columns.append(np.array([status_name(a) for a in records["active"]], dtype=object))
    for d in (dx, dy):
        text = d.astype(str).astype(object)
        text[np.isnan(d)] = ""
        columns.append(text)
    with open(path, "w", newline="") as f:
        f.write(",".join(CSV_COLUMNS) + "\n")
        for row in zip(*columns):
            f.write(",".join(row) + "\n")


def _plain(value):
    if isinstance(value, np.floating):
        v = float(str(value))  # float32 as its shortest decimal
        return v if math.isfinite(v) else None
    if isinstance(value, np.integer):
        return int(value)
    return value


def write_geojson(path: Path, records: np.ndarray, dx: np.ndarray, dy: np.ndarray, crs) -> None:
    features = []
    for i in np.flatnonzero(records["active"] == 1):
        rec = records[i]
        props = {name: _plain(rec[name]) for name in FIELDS}
        props.update(status="accepted", dx=_plain(dx[i]), dy=_plain(dy[i]))
        features.append({
            "type": "Feature",
            "geometry": {"type": "LineString",
                         "coordinates": [[float(rec["x1"]), float(rec["y1"])], [float(rec["x2"]), float(rec["y2"])]]},
            "properties": props,
        })
    doc: dict[str, object] = {"type": "FeatureCollection"}
    epsg = crs.to_epsg() if crs is not None else None
    if epsg:
        doc["crs"] = {"type": "name", "properties": {"name": f"urn:ogc:def:crs:EPSG::{epsg}"}}
    doc["features"] = features
    path.write_text(json.dumps(doc, allow_nan=False))


def write_grid_rasters(folder: Path, grids: dict[str, np.ndarray], transform, crs) -> None:
    import rasterio
    from affine import Affine

    for name, grid in grids.items():
        dtype = "int32" if grid.dtype.kind == "i" else "float32"
        nodata = None if dtype == "int32" else float("nan")
        with rasterio.open(folder / f"{name}.tif", "w", driver="GTiff", width=grid.shape[1],
                           height=grid.shape[0], count=1, dtype=dtype, crs=crs,
                           transform=Affine(*transform), nodata=nodata) as ds:
            ds.write(grid.astype(dtype), 1)


_MARKERS = {0: "x", 2: "s", 3: "D", 4: "v", 5: "^", 204: "P", 205: "o", NODATA: "X"}


def write_plot(path: Path, image: np.ndarray, records: np.ndarray, dx: np.ndarray, dy: np.ndarray,
               step: float) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    rows, cols = image.shape
    scale = 10.0 / max(rows, cols)
    fig = Figure(figsize=(max(cols * scale, 4.0) + 2.0, max(rows * scale, 4.0)), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    ax.imshow(image, cmap="gray", vmin=0, vmax=255, interpolation="nearest")
    accepted = records["active"] == 1
    title = f"{int(accepted.sum())} of {len(records)} points accepted"
    if accepted.any():
        u, v = dx[accepted], dy[accepted]
        lengths = np.hypot(u, v)
        typical = float(np.median(lengths))
        # Displacements are often far below the grid step: stretch them to be seen.
        gain = 0.8 * step / typical if typical > 0 else 1.0
        q = ax.quiver(records["col1"][accepted], records["row1"][accepted], u * gain, v * gain,
                      records["strength"][accepted], angles="xy", scale_units="xy", scale=1,
                      cmap="viridis", width=0.003)
        fig.colorbar(q, ax=ax, label="strength", fraction=0.046, pad=0.04)
        title += f"; arrows x{gain:.3g}"
    for code in sorted(set(records["active"].tolist()) - {1}):
        sel = records["active"] == code
        ax.scatter(records["col1"][sel], records["row1"][sel], s=12, marker=_MARKERS.get(code, "o"),
                   label=f"{STATUS_NAMES.get(code, code)} ({int(sel.sum())})")
    if (~accepted).any():
        ax.legend(loc="upper right", fontsize="small", framealpha=0.8)
    ax.set_xlim(-0.5, cols - 0.5)
    ax.set_ylim(rows - 0.5, -0.5)
    ax.set_title(title)
    fig.savefig(path, dpi=100)
