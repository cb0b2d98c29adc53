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
import warnings
from datetime import UTC, datetime
from typing import Any

import numpy as np

from talmek_track._facts import STATUS_NAMES
from talmek_track.products.velocity import Variable, VectorField

__all__ = ["AUTHOR", "CONVENTIONS", "INTERP_FLAGS", "STATUS_FLAGS", "attr_name", "cf_units", "global_attrs",
           "mapping_variable", "pair_info", "projection", "talmek_version", "to_dataset"]

#: Every status code a published field can hold, with its name, in code order.
STATUS_FLAGS: dict[int, str] = dict(sorted(STATUS_NAMES.items()))

#: The codes of ``interp_mask`` with their names (ITS_LIVE's, whose granules name them alike).
INTERP_FLAGS: dict[int, str] = {0: "measured", 1: "interpolated"}

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
    """The UDUNITS form of a variable's unit, the one spelling every file uses (empty for status
    codes, which carry none): pixel offsets, counts and flags are ``1``, velocities per
    ``Julian_year`` and strain rates ``Julian_year-1``."""
    if var.unit == "pixel" or var.name == "interp_mask":
        return "1"
    if var.unit == "1/yr":
        return f"{YEAR}-1"
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
    elif var.unit == "1/yr":
        attrs["description"] = "per year of 365.25 days"
    standard = _STANDARD_NAMES.get(var.name)
    if standard and _length_units(field):
        attrs["standard_name"] = standard
    if var.name == "status":
        attrs["standard_name"] = "status_flag"
        attrs["flag_values"] = np.array(list(STATUS_FLAGS), np.int32)
        attrs["flag_meanings"] = " ".join(STATUS_FLAGS.values())
    elif var.name == "interp_mask":
        attrs["flag_values"] = np.array(list(INTERP_FLAGS), np.float32)
        attrs["flag_meanings"] = " ".join(INTERP_FLAGS.values())
        attrs["ancillary_variables"] = "status"
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
                source=f"Talmek {talmek_version()}", author=AUTHOR)
    if field.crs is not None:
        meta["projection"] = projection(field.crs)
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
        for axis in ("x", "y"):  # the axes in the field's own unit spelling, not rioxarray's
            ds[axis].attrs = _axis_attrs(field, axis)
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


#: Who wrote a file, in the ``author`` attribute (by which readers of the public cubes tell
#: whose layout a file follows).
AUTHOR = "Talmek"


def projection(crs: Any) -> str:
    """The ``projection`` attribute of the public cubes: the CRS's EPSG code as text where it has
    one, else its WKT."""
    epsg = crs.to_epsg() if hasattr(crs, "to_epsg") else None
    return str(epsg) if epsg else _crs_text(crs)


def mapping_variable(ds: Any) -> Any:
    """The ``mapping`` variable of the public granules and cubes, beside CF's ``spatial_ref``: the
    same grid mapping with ``spatial_epsg``, ``proj4text`` and ``GeoTransform``."""
    import xarray as xr
    from pyproj import CRS

    ref = ds["spatial_ref"]
    crs = CRS.from_wkt(ref.attrs.get("crs_wkt") or ref.attrs["spatial_ref"])
    attrs = {k: v for k, v in ref.attrs.items() if k != "spatial_ref"}
    with warnings.catch_warnings():  # PROJ strings lose some of a CRS: the WKT stays beside
        warnings.simplefilter("ignore", UserWarning)
        proj4 = crs.to_proj4()
    attrs.update(spatial_epsg=np.int32(crs.to_epsg() or 0), proj4text=proj4,
                 GeoTransform=ref.attrs.get("GeoTransform", ""),
                 long_name="grid mapping (as spatial_ref, with the EPSG code and PROJ text)")
    return xr.Variable((), np.int32(0), attrs)


#: The text form of dates in the public granules' ``img_pair_info``.
PAIR_DATE_FORMAT = "%Y%m%dT%H:%M:%S.%f"


def pair_info(field: VectorField) -> Any:
    """The ``img_pair_info`` variable of the public granules: the acquisition dates in their text
    form (UTC), the middle date and the interval in days. None for an undated field."""
    if field.dates is None or field.dt_days is None:
        return None
    import xarray as xr

    t1, t2 = (t.astimezone(UTC) if t.tzinfo is not None else t for t in field.dates)
    attrs = {"acquisition_date_img1": t1.strftime(PAIR_DATE_FORMAT),
             "acquisition_date_img2": t2.strftime(PAIR_DATE_FORMAT),
             "date_center": (t1 + (t2 - t1) / 2).strftime(PAIR_DATE_FORMAT),
             "date_dt": np.float64(field.dt_days), "time_standard_img1": "UTC",
             "time_standard_img2": "UTC", "long_name": "the two acquisitions of the pair"}
    return xr.Variable((), np.int32(0), attrs)
