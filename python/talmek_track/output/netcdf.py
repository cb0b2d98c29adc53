"""The CF NetCDF of a vector field: its ``xarray.Dataset`` form written with the grid mapping
and compression."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.output.dataset import TIME_UNITS, mapping_variable, pair_info, to_dataset
from talmek_track.products.velocity import VectorField

__all__ = ["write_netcdf"]


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
    # The public granules' forms beside CF's: the grid mapping as ``mapping`` and the dates in
    # ``img_pair_info``.
    extra = {"mapping": mapping_variable(ds) if "spatial_ref" in ds.variables else None,
             "img_pair_info": pair_info(field)}
    ds = ds.assign({k: v for k, v in extra.items() if v is not None})
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
