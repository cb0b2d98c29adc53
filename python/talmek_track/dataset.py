"""A vector field as an ``xarray.Dataset``: grid coordinates, CF attributes and the CRS (rioxarray)."""

from __future__ import annotations

from datetime import datetime
from typing import Any

import numpy as np

from talmek_track._facts import STATUS_NAMES
from talmek_track.velocity import VectorField

__all__ = ["STATUS_FLAGS", "to_dataset", "track_xarray"]

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
