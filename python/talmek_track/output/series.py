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
    out = Path(folder)
    encoding: dict[str, dict[str, Any]] = {name: {"zlib": True, "complevel": 4}
                                           for name in series.data_vars if name != "time_bounds"}
    encoding["time"] = {"units": "days since 1970-01-01", "dtype": "float64", "_FillValue": None}
    encoding["time_bounds"] = {"units": "days since 1970-01-01", "dtype": "float64", "_FillValue": None}
    with staged(out) as staging:
        partial = staging.folder / SERIES_NAME
        series.to_netcdf(partial, encoding=encoding)
        return staging.publish([partial])[0]

