"""A vector field as an ``xarray.Dataset``: grid coordinates, CF attributes and the CRS (rioxarray).

The Dataset follows the CF conventions so that a time series can be built from many pairs: a
scalar ``time`` coordinate at the middle of the two acquisitions with ``time_bnds`` spanning them,
UDUNITS units on every variable and axis, CF standard names where the standard-name table has one,
the grid mapping on every data variable, and the acquisition dates under the names that ITS_LIVE
granules use (``acquisition_date_img1``, ``acquisition_date_img2``, ``date_center``,
``date_dt``). docs/variables.md lists the mapping.
"""

from __future__ import annotations

import json
import re
from datetime import UTC, datetime
from typing import Any

import numpy as np

from talmek_track._facts import STATUS_NAMES
from talmek_track.velocity import Variable, VectorField

__all__ = ["CONVENTIONS", "STATUS_FLAGS", "attr_name", "cf_units", "global_attrs", "talmek_version", "to_dataset",
           "track_xarray"]

#: Every status code a published field can hold, with its name, in code order.
STATUS_FLAGS: dict[int, str] = dict(sorted(STATUS_NAMES.items()))

CONVENTIONS = "CF-1.8"

#: Map units (as ``velocity.map_unit_of`` names them) in their UDUNITS spelling.
_UDUNITS_LENGTH = {"m": "m", "ft": "ft", "US ft": "US_survey_foot", "km": "km"}

#: Velocities are per year of 365.25 days. UDUNITS' ``year`` and ``yr`` are the tropical year
#: (365.2422 days) and its ``a`` is the are (100 m²), so the exact spelling is the Julian year.
YEAR = "Julian_year"

#: CF standard names of variables whose map unit is a length (a projected CRS): x and y are the
#: grid's axes there, as the names say.
_STANDARD_NAMES = {
    "vx": "land_ice_surface_x_velocity",
    "vy": "land_ice_surface_y_velocity",
    "vx_error": "land_ice_surface_x_velocity standard_error",
    "vy_error": "land_ice_surface_y_velocity standard_error",
}

#: Days from 1970 on, as a float: the encoding of ``time`` and ``time_bnds`` in NetCDF.
TIME_UNITS = "days since 1970-01-01 00:00:00"


def talmek_version() -> str:
    """The installed package's version (the native module's when run from a source tree)."""
    from importlib import metadata

    try:
        return metadata.version("talmek")
    except metadata.PackageNotFoundError:
        import Talmek

        return str(Talmek.__version__)


def _map_units(field: VectorField) -> str:
    """The field's map unit in UDUNITS: pixels of a plain image are counts (``1``)."""
    if field.crs is None:
        return "1"
    return _UDUNITS_LENGTH.get(field.map_unit, field.map_unit)


def _length_units(field: VectorField) -> bool:
    return field.crs is not None and field.map_unit in _UDUNITS_LENGTH


def cf_units(field: VectorField, var: Variable) -> str:
    """The UDUNITS form of a variable's unit (empty for codes, which carry none): pixel offsets and
    counts are ``1``, velocities per ``Julian_year``."""
    if var.unit == "pixel":
        return "1"
    if var.unit == "map":
        return _map_units(field)
    if var.unit == "map/yr":
        unit = _map_units(field)
        return f"{YEAR}-1" if unit == "1" else f"{unit}/{YEAR}"
    return var.unit


def _variable_attrs(field: VectorField, var: Variable) -> dict[str, Any]:
    attrs: dict[str, Any] = {"long_name": var.long_name}
    units = cf_units(field, var)
    if units:
        attrs["units"] = units
    if var.unit == "pixel":
        attrs["description"] = "a number of pixels of image 2"
    elif field.crs is None and var.unit == "map":
        attrs["description"] = "a number of pixels (the image has no georeference)"
    elif field.crs is None and var.unit == "map/yr":
        attrs["description"] = "pixels per year of 365.25 days (the image has no georeference)"
    elif var.unit == "map/yr":
        attrs["description"] = f"{field.map_unit} per year of 365.25 days"
    standard = _STANDARD_NAMES.get(var.name)
    if standard and _length_units(field):
        attrs["standard_name"] = standard
    if var.name == "status":
        attrs["standard_name"] = "status_flag"
        attrs["flag_values"] = np.array(list(STATUS_FLAGS), np.int32)
        attrs["flag_meanings"] = " ".join(STATUS_FLAGS.values())
    else:
        attrs["ancillary_variables"] = "status"
    return attrs


def _axis_attrs(field: VectorField, axis: str) -> dict[str, str]:
    if field.map_unit == "degree":
        return {"standard_name": "longitude" if axis == "x" else "latitude",
                "units": "degrees_east" if axis == "x" else "degrees_north"}
    if field.crs is None:
        return {"long_name": f"image {'column' if axis == 'x' else 'row counted upwards from the bottom row'}",
                "units": "1", "axis": axis.upper(),
                "description": "pixel centres of image 1, which has no georeference"}
    return {"standard_name": f"projection_{axis}_coordinate", "units": _map_units(field),
            "long_name": f"{axis} of the grid cell centre", "axis": axis.upper()}


def _utc(t: datetime) -> np.datetime64:
    if t.tzinfo is not None:
        t = t.astimezone(UTC).replace(tzinfo=None)
    return np.datetime64(t, "ns")


def _attr_value(value: Any) -> Any:
    """An attribute value NetCDF can store: text, a number or a one-dimensional numeric array.
    Anything else (None, booleans, mappings, nested lists) is kept as its JSON text."""
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value)).lower()
    if isinstance(value, (str, int, float, np.integer, np.floating)):
        return value
    if isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype.kind in "iuf":
        return value
    if isinstance(value, (list, tuple)) and value and all(
            isinstance(v, (int, float)) and not isinstance(v, bool) for v in value):
        return np.asarray(value)
    return json.dumps(value, default=str)


_NOT_IN_NAMES = re.compile(r"[^A-Za-z0-9_.+@-]")


def attr_name(key: object) -> str:
    """An attribute or tag name NetCDF and GDAL take: letters, digits and ``_.+@-``, starting with
    a letter."""
    name = _NOT_IN_NAMES.sub("_", str(key))
    return name if name[:1].isalpha() else f"attr_{name}"


def global_attrs(field: VectorField) -> dict[str, Any]:
    """The field's global attributes: the conventions, the acquisition dates (ITS_LIVE's names and
    the ``date1``, ``date2``, ``dt_days`` of earlier releases) and every one of ``field.attrs``
    (the run's filter, pre-filter, uncertainty, stable-ground shift and whatever else), each
    turned into a value NetCDF can store."""
    meta: dict[str, Any] = {}
    for key, value in field.attrs.items():
        meta[attr_name(key)] = _attr_value(value)
    meta.update(Conventions=CONVENTIONS, title="displacement vectors (Talmek)",
                source=f"Talmek {talmek_version()}")
    if field.dates is not None and field.dt_days is not None:
        t1, t2 = field.dates
        meta.update(date1=t1.isoformat(), date2=t2.isoformat(), dt_days=field.dt_days,
                    acquisition_date_img1=t1.isoformat(), acquisition_date_img2=t2.isoformat(),
                    date_center=(t1 + (t2 - t1) / 2).isoformat(), date_dt=field.dt_days)
    return meta


def _time_coords(field: VectorField) -> dict[str, Any]:
    """The scalar ``time`` at the middle of the two acquisitions and ``time_bnds`` spanning them
    (earlier first, whichever image that is). ``bounds`` sits in the encoding, where xarray keeps
    it when it reads a file, so that ``time_bnds`` is written as the bounds it is rather than as
    a coordinate of the whole file."""
    if field.dates is None:
        return {}
    import xarray as xr

    t1, t2 = (_utc(t) for t in field.dates)
    middle = t1 + (t2 - t1) // 2
    time = xr.Variable((), middle, {"standard_name": "time", "long_name": "middle of the two acquisitions"},
                       encoding={"bounds": "time_bnds"})
    bounds = xr.Variable(("nv",), np.array(sorted([t1, t2])),
                         {"long_name": "acquisition times of the two images, earlier first"})
    return {"time": time, "time_bnds": bounds}


def to_dataset(field: VectorField) -> Any:
    """The field as an ``xarray.Dataset`` with dimensions (y, x): one data variable per published
    variable (outliers blanked out, status keeps them flagged), coordinates at the grid cells'
    centres, a scalar ``time`` (the middle date) with ``time_bnds`` when dated, CF attributes
    and, when georeferenced, the CRS written by rioxarray as every data variable's grid
    mapping."""
    import xarray as xr

    x, y = field.coordinates()
    data_vars = {var.name: (("y", "x"), field.grid(var.name), _variable_attrs(field, var))
                 for var in field.variables}
    ds = xr.Dataset(data_vars, coords={"y": ("y", y, _axis_attrs(field, "y")),
                                       "x": ("x", x, _axis_attrs(field, "x"))},
                    attrs=global_attrs(field))
    if field.crs is not None:
        import rioxarray  # noqa: F401 - registers the .rio accessor

        ds = ds.rio.write_crs(_crs_text(field.crs))
        from affine import Affine

        ds = ds.rio.write_transform(Affine(*field.transform))
        ds = ds.rio.write_coordinate_system()
    if field.dates is None:
        return ds
    # After the CRS, so that the grid mapping goes to the grid's variables only. Named in each
    # variable's encoding: xarray would leave a scalar coordinate out of ``coordinates`` when its
    # name is part of a bounds variable's name.
    ds = ds.assign_coords(_time_coords(field))
    for var in ds.data_vars.values():
        var.encoding["coordinates"] = "time"
    return ds


def _crs_text(crs: Any) -> str:
    return str(crs.to_wkt()) if hasattr(crs, "to_wkt") else str(crs)


def _source(name: str, image: Any, nodata: float | None) -> Any:
    """An image source of a DataArray (its rioxarray georeference and nodata) or a plain array."""
    from talmek_track.readers import source_from_array

    values = np.asarray(getattr(image, "values", image))
    if values.ndim == 3 and values.shape[0] == 1:
        values = values[0]  # rioxarray's band dimension
    rio = getattr(image, "rio", None) if hasattr(image, "dims") else None
    if rio is not None and nodata is None:
        nodata = rio.nodata
    transform, crs = None, None
    if rio is not None:
        a, b, c, d, e, f = (float(v) for v in tuple(rio.transform())[:6])
        if rio.crs is not None or (a, b, c, d, e, f) != (1.0, 0.0, 0.0, 0.0, 1.0, 0.0):
            transform, crs = (a, b, c, d, e, f), rio.crs
    return source_from_array(name, values, None if nodata is None else float(nodata), transform, crs,
                             tags=getattr(image, "attrs", None))


def track_xarray(image1: Any, image2: Any, *, chip: int | tuple[int, int] = 32,
                 margin: int | tuple[int, int] = 8, step: int | tuple[int, int] = 16,
                 start: int | tuple[int, int] | None = None, offset: int | tuple[int, int] = 0,
                 peak: str = "log", min_strength: float = 2.0, max_displacement: float | None = None,
                 nodata: float | None = None, threads: int | None = None,
                 dates: str | tuple[datetime, datetime] | None = None,
                 prefilter: str | None = "wallis:15", filter: str = "median",
                 stable: Any = None) -> Any:
    """Matches a grid of image 1 in image 2 and returns the vector field as an ``xarray.Dataset``.

    The same run as ``track_files`` (same options and defaults, same variables as
    ``vectors.nc``), on arrays instead of files, writing nothing.

    Parameters
    ----------
    image1, image2 : xarray.DataArray or array_like
        Grey images (rows, cols), or a single band (1, rows, cols) as ``rioxarray.open_rasterio``
        gives it. A DataArray's rioxarray georeference (``.rio.transform()``, ``.rio.crs``) and
        nodata are used; without one the image is plain, its map units pixels.
    chip, margin, step, start, offset, peak, min_strength, max_displacement, nodata, threads
        As for ``track_files``.
    dates : str or (datetime, datetime), optional
        Acquisition dates; default: from each DataArray's ``attrs`` (the tags rioxarray reads,
        such as ``TIFFTAG_DATETIME`` or ``ACQUISITION_DATE``), else none and no velocities.
    prefilter : str, optional
        ``none``, ``gauss:SIGMA``, ``highpass:SIGMA`` or ``wallis:SIZE`` (default wallis:15).
    filter : {"median", "none"}
        The outlier filter.
    stable : array_like or xarray.DataArray, optional
        Non-zero on stable ground, image 1's shape; sigma_x and sigma_y then come from there.

    Returns
    -------
    xarray.Dataset
        Variables on (y, x) with units and CF attributes, the CRS as ``spatial_ref``.
    """
    from talmek_track.dates import acquisition_dates
    from talmek_track.track import _velocity_options, make_params, prepare_sources, track_sources

    params = make_params(chip, margin, step, start, offset, peak, min_strength, max_displacement)
    chosen, dated = _velocity_options(prefilter, filter, dates)
    source1, source2 = _source("image1", image1, nodata), _source("image2", image2, nodata)
    prepare_sources(source1, source2, params, start_given=start is not None)
    source1, source2 = source1.with_range("auto"), source2.with_range("auto")
    if dated is None:
        dated = acquisition_dates(source1, source2)
    mask = None
    if stable is not None:
        mask = np.asarray(getattr(stable, "values", stable))
        mask = mask[0] if mask.ndim == 3 and mask.shape[0] == 1 else mask
    result = track_sources(source1, source2, params, threads=threads, prefilter=chosen,
                           filter=filter, dates=dated, stable=mask)
    assert result.vector_field is not None
    return to_dataset(result.vector_field)
