"""The time series of a stack on disk: ``timeseries.nc`` written whole (staged, then published)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from talmek_track.output.publish import staged

__all__ = ["SERIES_NAME", "write_series"]

#: The time series' file inside a stack's output folder.
SERIES_NAME = "timeseries.nc"


def write_series(series: Any, folder: str | os.PathLike[str]) -> Path:
    """Writes ``timeseries.nc`` into ``folder`` whole (staged, then published)."""
    from talmek_track.output.dataset import TIME_UNITS, talmek_version

    out = Path(folder)
    # The grid mapping is named by each variable's grid_mapping alone: as a coordinate it would be
    # listed in their coordinates too, as an auxiliary coordinate (without units) it is not.
    series = series.reset_coords([n for n in ("spatial_ref",) if n in series.coords])
    series.attrs = {**series.attrs, "source": f"Talmek {talmek_version()}"}
    encoding: dict[str, dict[str, Any]] = {name: {"zlib": True, "complevel": 4}
                                           for name, var in series.data_vars.items()
                                           if name != "time_bounds" and var.ndim == 3}
    for name in ("time", "time_bounds", "acquisition_date_img1", "acquisition_date_img2"):
        if name in series.variables:
            encoding[name] = {"units": TIME_UNITS, "calendar": "standard", "dtype": "float64",
                              "_FillValue": None}
    for name in ("x", "y", "spatial_ref"):
        if name in series.variables:
            encoding[name] = {"_FillValue": None}
    with staged(out) as staging:
        partial = staging.folder / SERIES_NAME
        series.to_netcdf(partial, encoding=encoding)
        return staging.publish([partial])[0]

