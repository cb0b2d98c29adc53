"""The inversion of a stack's velocity cube, given as a Dataset or by the path of its cube.zarr."""

from __future__ import annotations

import os
from datetime import datetime
from typing import Any

from talmek_track.output.cube import open_cube
from talmek_track.products import timeseries

__all__ = ["invert_series"]


def invert_series(cube: Any, step: float, *, start: datetime | str | None = None,
                  regularisation: float = 0.01, robust: int = 3) -> Any:
    if isinstance(cube, (str, os.PathLike)):
        cube = open_cube(cube)
    return timeseries.invert_series(cube, step, start=start, regularisation=regularisation, robust=robust)


invert_series.__doc__ = timeseries.invert_series.__doc__
