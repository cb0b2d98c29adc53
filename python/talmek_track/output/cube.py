"""A stack's pairs in one velocity cube on disk: ``cube.zarr`` with dimensions (mid_date, y, x).

Every pair's vector field becomes one step along ``mid_date`` (the middle of its two acquisition
dates), with ``acquisition_date_img1``, ``acquisition_date_img2`` and ``date_dt`` (days) along it
(the names of ITS_LIVE's cubes), every product variable of the pair and the grid's CRS. Pairs
are appended as they finish, each whole or not at all:

* while pairs are appended every variable holds one chunk per pair, so that an append writes new
  chunk files only and never rewrites one that holds finished pairs;
* the consolidated metadata (``.zmetadata``) is what readers go by, and it is replaced in one
  rename after a pair's chunks and array headers are written: a run killed before that leaves the
  cube of the pairs before, whose stale headers the next writer puts back;
* once the stack is complete the cube is rewritten into chunks of every pair x 32 x 32 points
  (fast time-series reads) beside the old one and swapped in by renames.

A rerun finds the pairs already in the cube by their two dates and appends only the others.
"""

from __future__ import annotations

import json
import os
import shutil
from collections.abc import Iterable
from datetime import datetime
from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.errors import OptionError, OutputError, require

__all__ = ["CUBE_NAME", "Cube", "open_cube"]

#: The cube's folder inside a stack's output folder.
CUBE_NAME = "cube.zarr"

#: Points per chunk along y and x of a finished cube.
SPATIAL_CHUNK = 32

#: Variables of a pair's field that the cube leaves out: displacements in pixels and map units
#: vary with each pair's interval; the velocities carry them.
_LEFT_OUT = ("dx", "dy", "dx_map", "dy_map", "sigma_x", "sigma_y")

#: A pair's own time coordinates and global attributes: in the cube these are along mid_date.
_PAIR_TIME = ("time", "time_bnds")
_PAIR_ATTRS = ("date1", "date2", "dt_days", "acquisition_date_img1", "acquisition_date_img2",
               "date_center", "date_dt")


def _old(path: Path) -> Path:
    return path.with_name(path.name + ".old")


def _new(path: Path) -> Path:
    return path.with_name(path.name + ".new")


def recover(path: Path) -> None:
    """Brings a cube left by a killed run back to its last whole state: an interrupted swap is
    finished or undone, and array headers written past the consolidated metadata are put back."""
    old, new = _old(path), _new(path)
    if not path.exists() and old.exists():
        os.replace(old, path)  # killed between the two renames of a swap
    if old.exists():
        shutil.rmtree(old)
    if new.exists():
        shutil.rmtree(new)
    meta = path / ".zmetadata"
    if not meta.exists():
        if path.exists():  # killed before the first pair was committed
            shutil.rmtree(path)
        return
    committed = json.loads(meta.read_text())["metadata"]
    for key, value in committed.items():
        if key.endswith(".zarray"):
            header = path / key
            if not header.exists() or json.loads(header.read_text()) != value:
                _write_json(header, value)


def _write_json(target: Path, value: Any) -> None:
    partial = target.with_name(target.name + ".partial")
    partial.write_text(json.dumps(value, indent=2, allow_nan=True))
    with open(partial, "rb") as f:
        os.fsync(f.fileno())
    os.replace(partial, target)


def _commit(path: Path) -> None:
    """Writes the consolidated metadata of the cube from its headers, in one rename."""
    metadata: dict[str, Any] = {}
    for name in (".zgroup", ".zattrs"):
        if (path / name).exists():
            metadata[name] = json.loads((path / name).read_text())
    for child in sorted(p for p in path.iterdir() if p.is_dir()):
        for name in (".zarray", ".zattrs"):
            if (child / name).exists():
                metadata[f"{child.name}/{name}"] = json.loads((child / name).read_text())
    _write_json(path / ".zmetadata", {"metadata": metadata, "zarr_consolidated_format": 1})


def _naive(d: datetime) -> np.datetime64:
    if d.tzinfo is not None:
        from datetime import UTC

        d = d.astimezone(UTC).replace(tzinfo=None)
    return np.datetime64(d, "ms")


def open_cube(path: str | os.PathLike[str], **open_kwargs: Any) -> Any:
    """The cube at ``path`` as an ``xarray.Dataset`` (lazily, on Dask): its pairs committed last,
    also while a run is appending to it. Changes nothing on disk."""
    require("xarray", "xarray")
    import xarray as xr

    target = Path(path)
    if not (target / ".zmetadata").exists() and (_old(target) / ".zmetadata").exists():
        target = _old(target)  # caught between the two renames of a rechunking
    if not (target / ".zmetadata").exists():
        raise OutputError(f"{target}: no cube there (no pair was written)")
    return xr.open_zarr(target, consolidated=True, **open_kwargs)


class Cube:
    """Writes the pairs of a stack into ``path``, pair by pair."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        require("xarray", "xarray")
        require("zarr", "xarray")
        self.path = Path(path)
        recover(self.path)  # only a writer repairs: readers go by the committed metadata alone
        self.keys: set[tuple[np.datetime64, np.datetime64]] = set()
        self.length = 0
        if self.path.exists():
            ds = open_cube(self.path)
            self.length = ds.sizes["mid_date"]
            self.keys = {(np.datetime64(a, "ms"), np.datetime64(b, "ms"))
                         for a, b in zip(ds["acquisition_date_img1"].values, ds["acquisition_date_img2"].values)}
            self._grid = (ds["x"].values, ds["y"].values)
            chunked = ds["vx"].encoding.get("chunks", (1,))[0] if "vx" in ds else 1
            ds.close()
            if chunked != 1:  # a finished cube: back to one chunk per pair before appending
                self._rewrite(1)

    def has(self, date1: datetime, date2: datetime) -> bool:
        """Whether the pair of these dates is in the cube already."""
        return (_naive(date1), _naive(date2)) in self.keys

    def missing(self, dates: Iterable[tuple[datetime, datetime]]) -> list[bool]:
        """For each pair of dates, whether the cube lacks it."""
        return [not self.has(a, b) for a, b in dates]

    def append(self, field_ds: Any, date1: datetime, date2: datetime) -> None:
        """Appends one pair's field (an ``xarray.Dataset`` with dims (y, x)) as a whole."""
        d1, d2 = _naive(date1), _naive(date2)
        if (d1, d2) in self.keys:
            return
        ds = field_ds.drop_vars([v for v in (*_LEFT_OUT, *_PAIR_TIME) if v in field_ds.variables])
        # the settings of the run (text) hold for every pair; counts and shifts are each pair's own
        ds.attrs = {k: v for k, v in ds.attrs.items() if k not in _PAIR_ATTRS and isinstance(v, str)}
        ds.attrs["title"] = "velocity cube of image pairs (Talmek)"
        mid = d1 + (d2 - d1) / 2
        dt_days = float((d2 - d1) / np.timedelta64(1, "ms")) / 86_400_000.0
        ds = ds.expand_dims(mid_date=[mid]).assign_coords(
            acquisition_date_img1=("mid_date", [d1], {"long_name": "acquisition date of image 1"}),
            acquisition_date_img2=("mid_date", [d2], {"long_name": "acquisition date of image 2"}),
            date_dt=("mid_date", [dt_days], {"long_name": "time between the acquisitions",
                                             "units": "days"}))
        ds["mid_date"].attrs["long_name"] = "middle of the two acquisition dates"
        for name in ds.data_vars:
            ds[name].encoding = {}
            if "spatial_ref" in ds.coords:
                ds[name].attrs["grid_mapping"] = "spatial_ref"
        if self.length == 0:
            self._create(ds)
        else:
            x, y = self._grid
            if not (np.array_equal(x, ds["x"].values) and np.array_equal(y, ds["y"].values)):
                raise OutputError(f"{self.path}: the pair of {d1} and {d2} lies on another grid "
                                  "than the pairs in the cube (other image extents or grid "
                                  "settings); write it to another cube")
            spatial = [n for n in ds.variables if "mid_date" not in ds[n].dims]
            ds.drop_vars(spatial).to_zarr(self.path, append_dim="mid_date", consolidated=False,
                                          zarr_format=2)
        _commit(self.path)
        self.keys.add((d1, d2))
        self.length += 1

    def _create(self, ds: Any) -> None:
        staging = _new(self.path)
        if staging.exists():
            shutil.rmtree(staging)
        ny, nx = ds.sizes["y"], ds.sizes["x"]
        encoding: dict[str, dict[str, Any]] = {name: {"chunks": (1, ny, nx)} for name in ds.data_vars}
        encoding["mid_date"] = {"units": "milliseconds since 1970-01-01", "dtype": "int64",
                                "chunks": (1,)}
        for name in ("acquisition_date_img1", "acquisition_date_img2"):
            encoding[name] = {"units": "milliseconds since 1970-01-01", "dtype": "int64",
                              "chunks": (1,)}
        encoding["date_dt"] = {"chunks": (1,)}
        ds.to_zarr(staging, mode="w", consolidated=False, zarr_format=2, encoding=encoding)
        _commit(staging)
        os.replace(staging, self.path)
        self._grid = (ds["x"].values, ds["y"].values)

    def _rewrite(self, time_chunk: int | None) -> None:
        """Rewrites the cube beside itself with ``time_chunk`` pairs a chunk (None: all) and
        swaps it in."""
        import xarray as xr

        # Streamed through Dask chunk by chunk, never the whole cube in memory.
        src = xr.open_zarr(self.path, consolidated=True)
        ds = src.sortby("mid_date") if time_chunk is None else src
        n = ds.sizes["mid_date"]
        along = n if time_chunk is None else time_chunk
        ys = ds.sizes["y"] if time_chunk == 1 else min(SPATIAL_CHUNK, ds.sizes["y"])
        xs = ds.sizes["x"] if time_chunk == 1 else min(SPATIAL_CHUNK, ds.sizes["x"])
        ds = ds.chunk({"mid_date": along, "y": ys, "x": xs})
        encoding: dict[str, dict[str, Any]] = {}
        for name in ds.data_vars:
            if ds[name].dims == ("mid_date", "y", "x"):
                encoding[name] = {"chunks": (along, ys, xs)}
            ds[name].encoding = {k: v for k, v in ds[name].encoding.items()
                                 if k in ("units", "dtype", "_FillValue", "calendar", "grid_mapping")}
        for name in ("mid_date", "acquisition_date_img1", "acquisition_date_img2", "date_dt"):
            keep = {k: v for k, v in ds[name].encoding.items() if k in ("units", "dtype", "calendar")}
            ds[name].encoding = {}
            encoding[name] = {**keep, "chunks": (along,)}
        staging, old = _new(self.path), _old(self.path)
        if staging.exists():
            shutil.rmtree(staging)
        try:
            ds.to_zarr(staging, mode="w", consolidated=False, zarr_format=2, encoding=encoding)
        finally:
            src.close()
        _commit(staging)
        os.replace(self.path, old)
        os.replace(staging, self.path)
        shutil.rmtree(old)

    def counts(self, pairs: list[tuple[int, int]], dates: list[tuple[datetime, datetime]]
               ) -> list[tuple[int, int]]:
        """Grid points and accepted points of pairs already in the cube, by their dates."""
        from talmek_track._facts import Status

        with open_cube(self.path) as ds:
            keys = [(np.datetime64(a, "ms"), np.datetime64(b, "ms"))
                    for a, b in zip(ds["acquisition_date_img1"].values, ds["acquisition_date_img2"].values)]
            found = []
            for a, b in dates:
                k = keys.index((_naive(a), _naive(b)))
                status = ds["status"].isel(mid_date=k).values if "status" in ds else None
                points = int(ds.sizes["y"] * ds.sizes["x"])
                found.append((points, 0 if status is None else
                              int(np.count_nonzero(status == int(Status.accepted)))))
        return found

    def finish(self) -> None:
        """Rechunks a cube of several pairs for reads along time (every pair x 32 x 32)."""
        if self.length > 1:
            self._rewrite(None)


def require_dated(pairs: Iterable[tuple[datetime | None, datetime | None]], where: str) -> None:
    """Refuses a cube of pairs whose dates are not all known."""
    for d1, d2 in pairs:
        if d1 is None or d2 is None:
            raise OptionError(f"{where} needs every image's acquisition date (a pair has none); "
                              "give the dates")
