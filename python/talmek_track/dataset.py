"""A vector field as an ``xarray.Dataset``: grid coordinates, CF attributes and the CRS (rioxarray)."""

from __future__ import annotations

from typing import Any

import numpy as np

from talmek_track._facts import STATUS_NAMES
from talmek_track.velocity import VectorField

__all__ = ["STATUS_FLAGS", "to_dataset"]

#: Every status code a published field can hold, with its name, in code order.
STATUS_FLAGS: dict[int, str] = dict(sorted(STATUS_NAMES.items()))


def _axis_attrs(field: VectorField, axis: str) -> dict[str, str]:
    if field.map_unit == "degree":
        return {"standard_name": "longitude" if axis == "x" else "latitude",
                "units": "degrees_east" if axis == "x" else "degrees_north"}
    if field.crs is None:
        return {"long_name": f"image {'column' if axis == 'x' else 'row from the bottom'}",
                "units": "pixel"}
    return {"standard_name": f"projection_{axis}_coordinate", "units": field.map_unit,
            "long_name": f"{axis} of the grid cell centre"}


def to_dataset(field: VectorField) -> Any:
    """The field as an ``xarray.Dataset`` with dimensions (y, x): one data variable per published
    variable (outliers blanked out, status keeps them flagged), coordinates at the grid cells'
    centres, CF attributes and, when georeferenced, the CRS written by rioxarray."""
    import xarray as xr

    x, y = field.coordinates()
    data_vars = {}
    for var in field.variables:
        grid = field.grid(var.name)
        attrs: dict[str, Any] = {"long_name": var.long_name}
        unit = field.unit(var)
        if unit:
            attrs["units"] = unit
        if var.name == "status":
            attrs["flag_values"] = np.array(list(STATUS_FLAGS), np.int32)
            attrs["flag_meanings"] = " ".join(STATUS_FLAGS.values())
        data_vars[var.name] = (("y", "x"), grid, attrs)
    meta: dict[str, Any] = {"Conventions": "CF-1.8", "title": "displacement vectors (Talmek)"}
    if field.dates is not None and field.dt_days is not None:
        meta.update(date1=field.dates[0].isoformat(), date2=field.dates[1].isoformat(),
                    dt_days=field.dt_days)
    meta.update(field.attrs)
    ds = xr.Dataset(data_vars, coords={"y": ("y", y, _axis_attrs(field, "y")),
                                       "x": ("x", x, _axis_attrs(field, "x"))}, attrs=meta)
    if field.crs is not None:
        import rioxarray  # noqa: F401 - registers the .rio accessor

        ds = ds.rio.write_crs(_crs_text(field.crs))
        from affine import Affine

        ds = ds.rio.write_transform(Affine(*field.transform))
        ds = ds.rio.write_coordinate_system()
    return ds


def _crs_text(crs: Any) -> str:
    return str(crs.to_wkt()) if hasattr(crs, "to_wkt") else str(crs)
