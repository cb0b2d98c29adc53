"""Files of a vector field: Cloud-Optimised GeoTIFF, CF NetCDF, GeoJSON (RFC 7946), GeoPackage.

Each writer takes a ``VectorField`` and a path. Rasters hold the grid (``vectors.tif``, one band
per variable; ``vectors.nc``); vector files hold one LineString per accepted or outlier vector, from
its position in image 1 to its match in image 2, with every variable as a property and the
status by name.
"""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.output.dataset import STATUS_FLAGS, TIME_UNITS, attr_name, talmek_version, to_dataset
from talmek_track.products.velocity import ACCEPTED, OUTLIER, VectorField

__all__ = ["write_cog", "write_geojson_wgs84", "write_gpkg", "write_netcdf"]

# --- rasters ----------------------------------------------------------------------------------


def write_cog(path: Path, field: VectorField) -> None:
    """One Cloud-Optimised GeoTIFF, float32, one band per variable with its name as the band
    description, its unit, NaN as nodata (the status band has no missing cell)."""
    from affine import Affine
    from rasterio.io import MemoryFile
    from rasterio.shutil import copy as copy_dataset

    variables = field.variables
    rows, cols = field.shape
    profile = dict(driver="GTiff", width=cols, height=rows, count=len(variables), dtype="float32",
                   crs=field.crs, transform=Affine(*field.transform), nodata=float("nan"))
    tags = {attr_name(k): _tag_text(v) for k, v in field.attrs.items()}
    tags.update(TITLE="displacement vectors (Talmek)", source=f"Talmek {talmek_version()}")
    if field.dates is not None:
        tags.update(DATE1=field.dates[0].isoformat(), DATE2=field.dates[1].isoformat(),
                    DT_DAYS=repr(field.dt_days))
    with MemoryFile() as memory:
        with memory.open(**profile) as ds:
            for band, var in enumerate(variables, start=1):
                ds.write(field.grid(var.name).astype(np.float32), band)
                ds.set_band_description(band, var.name)
                ds.set_band_unit(band, field.unit(var))
                band_tags = {"long_name": var.long_name}
                if var.name == "status":
                    band_tags["flag_values"] = " ".join(str(k) for k in STATUS_FLAGS)
                    band_tags["flag_meanings"] = " ".join(STATUS_FLAGS.values())
                ds.update_tags(band, **band_tags)
            ds.update_tags(**tags)
        with memory.open() as src:
            copy_dataset(src, str(path), driver="COG", COMPRESS="DEFLATE", PREDICTOR="YES")


def _tag_text(value: Any) -> str:
    """A GeoTIFF tag's text: strings as they are, anything else as JSON (numbers in full)."""
    if isinstance(value, str):
        return value
    if isinstance(value, np.generic):
        value = value.item()
    return json.dumps(value, default=str)


def write_netcdf(path: Path, field: VectorField) -> None:
    """CF-conventions NetCDF of the field's Dataset: float32 variables with NaN fill, int32
    status, the grid mapping from rioxarray on every data variable so that GDAL and xarray find
    the CRS, ``time`` and ``time_bnds`` as days since 1970 in the standard calendar."""
    ds = to_dataset(field)
    encoding: dict[str, dict[str, Any]] = {}
    for name, var in ds.data_vars.items():
        if "coordinates" in var.encoding:  # an attribute to xarray's writer, not an encoding
            var.attrs["coordinates"] = var.encoding.pop("coordinates")
        encoding[str(name)] = dict(var.encoding)  # keeps rioxarray's grid_mapping
        if name == "status":
            encoding[str(name)].update(dtype="int32", _FillValue=None)
        elif var.dtype.kind == "f" and var.dims == ("y", "x"):
            encoding[str(name)].update(dtype="float32", _FillValue=np.float32(np.nan), zlib=True)
    for name in ("x", "y"):
        encoding[name] = {"_FillValue": None}
    for name in ("time", "time_bnds"):
        if name in ds.variables:
            encoding[name] = {**ds[name].encoding, "units": TIME_UNITS, "calendar": "standard",
                              "dtype": "float64", "_FillValue": None}
    ds.to_netcdf(path, encoding=encoding, engine=_netcdf_engine())


def _netcdf_engine() -> str:
    for module, engine in (("netCDF4", "netcdf4"), ("h5netcdf", "h5netcdf")):
        try:
            __import__(module)
            return engine
        except ImportError:
            continue
    raise ImportError("writing NetCDF needs netCDF4 or h5netcdf (pip install 'talmek[geo]')")


# --- vectors ----------------------------------------------------------------------------------

_PER_POINT = ("row1", "col1", "row2", "col2", "x1", "y1", "x2", "y2", "strength", "displacement",
              "rms_1", "rms_2", "active")


def _features(field: VectorField) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    """Indices of the accepted and outlier points and their properties, column by column."""
    index = np.flatnonzero((field.status == ACCEPTED) | (field.status == OUTLIER))
    rec = field.records[index]
    props: dict[str, np.ndarray] = {name: rec[name] for name in _PER_POINT}
    codes, inverse = np.unique(field.status[index], return_inverse=True)
    props["status"] = np.array([STATUS_FLAGS[int(c)] for c in codes], dtype=object)[inverse.ravel()]
    for name, values in field.values.items():
        if name != "strength":
            props[name] = values[index]
    return index, props


def _plain(value: Any) -> Any:
    if isinstance(value, np.floating):
        v = float(str(value))  # float32 as its shortest decimal
        return v if math.isfinite(v) else None
    if isinstance(value, np.integer):
        return int(value)
    return value


#: Features of a vector file formatted at a time, so that their text never exists whole.
FEATURES_AT_ONCE = 16384


def json_column(values: np.ndarray) -> list[str]:
    """Each value's JSON text as ``json.dumps(_plain(value))`` writes it, a whole column at once:
    integers in decimal, floats as the shortest text that reads back to the same double (a float32
    first as its own shortest decimal, read as a double), not-a-number and infinities as null."""
    kind = values.dtype.kind
    if kind in "iu":
        text: list[str] = values.astype(str).tolist()
        return text
    if kind == "f":
        if values.dtype != np.float64:
            values = values.astype(str).astype(np.float64)
        # NumPy's text of a double is Python's repr, which json writes.
        shown = values.astype(str)
        shown[~np.isfinite(values)] = "null"
        text = shown.tolist()
        return text
    return [json.dumps(_plain(v), allow_nan=False) for v in values]


def _feature_template(names: list[str]) -> str:
    """The text of one GeoJSON LineString feature as ``json.dumps`` writes it, with a ``%s`` for
    each of the four coordinates and each property."""
    props = ", ".join(f"{json.dumps(name)}: %s" for name in (n.replace("%", "%%") for n in names))
    return ('{"type": "Feature", "geometry": {"type": "LineString", "coordinates": [[%s, %s], [%s, %s]]}, '
            '"properties": {' + props + "}}")


def write_geojson_wgs84(path: Path, field: VectorField) -> None:
    """GeoJSON as RFC 7946 asks: WGS 84 longitude and latitude, no ``crs`` member. The ends are
    reprojected from the field's CRS with rasterio (PROJ). A field without a CRS keeps its image
    coordinates (columns, rows upwards), which no reprojection can place on the Earth."""
    index, props = _features(field)
    rec = field.records[index]
    x = np.concatenate([rec["x1"], rec["x2"]]).astype(np.float64)
    y = np.concatenate([rec["y1"], rec["y2"]]).astype(np.float64)
    if field.crs is not None and len(x):
        from rasterio.warp import transform

        lon, lat = transform(field.crs, "EPSG:4326", x.tolist(), y.tolist())
        x, y = np.round(np.asarray(lon), 9), np.round(np.asarray(lat), 9)
    if not (np.isfinite(x).all() and np.isfinite(y).all()):
        raise ValueError("a vector's end has no finite position in WGS 84; GeoJSON cannot hold it")
    n = len(index)
    head: dict[str, Any] = {"type": "FeatureCollection"}
    if field.dates is not None:
        head["dates"] = [t.isoformat() for t in field.dates]  # a foreign member (RFC 7946, 6.1)
    template = _feature_template(list(props))
    # The same text as one json.dumps of the whole document, formatted a slice of features at a
    # time, column by column, so that the document never exists whole in memory.
    with open(path, "w") as out:
        out.write(json.dumps(head)[:-1] + ', "features": [')
        for start in range(0, n, FEATURES_AT_ONCE):
            part = slice(start, min(n, start + FEATURES_AT_ONCE))
            ends = (x[part], y[part], x[n:][part], y[n:][part])
            columns = [json_column(c) for c in ends] + [json_column(col[part]) for col in props.values()]
            out.write((", " if start else "") + ", ".join([template % row for row in zip(*columns)]))
        out.write("]}")


def _linestrings_wkb(x1: np.ndarray, y1: np.ndarray, x2: np.ndarray, y2: np.ndarray) -> np.ndarray:
    """Little-endian WKB LineStrings of two points each: byte order, type 2, point count,
    coordinates; laid out for all lines at once."""
    layout = np.dtype([("order", "u1"), ("type", "<u4"), ("points", "<u4"), ("xy", "<f8", (4,))])
    wkb = np.empty(len(x1), layout)
    wkb["order"], wkb["type"], wkb["points"] = 1, 2, 2
    wkb["xy"] = np.stack([x1, y1, x2, y2], axis=1)
    size = layout.itemsize
    raw = wkb.tobytes()
    return np.array([raw[k:k + size] for k in range(0, len(raw), size)], dtype=object)


def write_gpkg(path: Path, field: VectorField) -> None:
    """The vectors in a GeoPackage layer ``vectors`` in the field's own CRS, through pyogrio (or
    fiona when pyogrio is absent)."""
    index, props = _features(field)
    rec = field.records[index]
    crs = str(field.crs.to_wkt()) if field.crs is not None else None
    try:
        import pyogrio.raw
    except ImportError:
        _write_gpkg_fiona(path, rec, props, crs)
        return
    geometry = _linestrings_wkb(rec["x1"], rec["y1"], rec["x2"], rec["y2"])
    names = list(props)
    data = [np.asarray(props[k]) if props[k].dtype != object else props[k] for k in names]
    pyogrio.raw.write(str(path), geometry, data, names, layer="vectors", driver="GPKG",
                      geometry_type="LineString", crs=crs)


def _write_gpkg_fiona(path: Path, rec: np.ndarray, props: dict[str, np.ndarray], crs: str | None) -> None:
    import fiona

    kinds = {"f": "float", "i": "int", "u": "int", "O": "str"}
    schema = {"geometry": "LineString",
              "properties": {k: kinds.get(v.dtype.kind, "str") for k, v in props.items()}}
    with fiona.open(str(path), "w", driver="GPKG", layer="vectors", schema=schema, crs_wkt=crs) as dst:
        for k in range(len(rec)):
            dst.write({"geometry": {"type": "LineString",
                                    "coordinates": [(float(rec["x1"][k]), float(rec["y1"][k])),
                                                    (float(rec["x2"][k]), float(rec["y2"][k]))]},
                       "properties": {n: _plain(c[k]) for n, c in props.items()}})
