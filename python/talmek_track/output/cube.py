"""A stack's pairs in one velocity cube on disk: ``cube.zarr`` with dimensions (mid_date, y, x).

Every pair's vector field becomes one step along ``mid_date`` (the middle of its two acquisition
dates), with ``acquisition_date_img1``, ``acquisition_date_img2`` and ``date_dt`` (days) along it
as data variables, every product variable of the pair in float32 and the grid's CRS, laid out as
the public (ITS_LIVE) cubes are so that ``xr.concat`` joins ours with theirs: ``mid_date`` is
unique (a pair whose middle date another pair holds already is moved on by a millisecond at a
time), ``vx_error`` and ``vy_error`` are one number per pair (the median of the pair's accepted
vectors' errors; each vector's own error is ``vx_error_point``, ``vy_error_point``), each pair's
stable-ground shift is ``vx_stable_shift``, ``vy_stable_shift``, ``stable_shift_flag`` and
``stable_count_stationary`` or ``stable_count_slow``, the grid mapping is also given as
``mapping`` (with ``spatial_epsg``, ``proj4text`` and ``GeoTransform``), and the cube carries
``projection`` and ``author``. A cube of an earlier release is brought to this layout when a run
appends to it. Pairs are appended as they finish, each whole or not at all:

* while pairs are appended every variable holds one chunk per pair, so that an append writes new
  chunk files only and never rewrites one that holds finished pairs;
* the consolidated metadata (``.zmetadata``) is what readers go by, and it is published after a
  pair's chunks and array headers are written, through the journalled commit of
  ``talmek_track.output.publish`` (its staging folder inside the cube): a run killed before that leaves
  the cube of the pairs before, whose stale headers the next writer puts back;
* the first pair's cube, and once the stack is complete the cube rewritten into chunks of every
  pair x 32 x 32 points (fast time-series reads), are built whole in a staging folder beside the
  cube and published over it as one folder by the same commit; the earlier cube is kept until
  the commit stands, and a repair (every run's, or ``talmek-track repair``) undoes an unfinished
  one, as for pair results;
* every chunk is written, also one that holds no value: a chunk missing from the disk is damage,
  and a cube with one is refused rather than read as empty pairs.

Nothing at the cube's path that this package did not write is ever removed or replaced: a
folder that is not a cube of ours is refused. ``recover`` also finishes or undoes the
``cube.zarr.new`` and ``cube.zarr.old`` folders that earlier releases built and swapped cubes in.

The settings of the matching are recorded in the cube (``talmek_settings``); a rerun with other
settings is refused, since its pairs would not be comparable with those in the cube. A rerun with
the same settings finds the pairs already in the cube by their two dates and appends only the
others.
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

from talmek_track.errors import InputError, OptionError, OutputError, path_text, require

__all__ = ["CUBE_NAME", "Cube", "cube_settings", "open_cube", "recover"]

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

#: The cube's title, by which a cube of ours is told from other zarr stores.
TITLE = "velocity cube of image pairs (Talmek)"

#: The cube's attribute that holds the settings its pairs were matched with (JSON text; "null"
#: when not known). Its presence also tells that every chunk of the cube was written.
SETTINGS_ATTR = "talmek_settings"

#: Options that change how a run goes but not its values; a rerun may change them.
_RUN_ONLY = ("threads", "formats", "plot", "backend", "client", "scheduler", "workers", "dates",
             "block_pixels", "max_pixels", "max_points", "max_download", "allow_any_source",
             "connect_timeout", "handshake_timeout")


#: The cube's per-pair dates, data variables along mid_date (coordinates in earlier releases).
_DATES = ("acquisition_date_img1", "acquisition_date_img2", "date_dt")

#: ``stable_shift_flag`` by the pair's stable-ground method, and the name of its count.
_STABLE_FLAG = {"none": 0, "mask": 1, "slow": 2}
_STABLE_COUNT = {"mask": "stable_count_stationary", "slow": "stable_count_slow"}

_MS = np.timedelta64(1, "ms")


def pair_errors(ds: Any) -> Any:
    """``ds`` (a pair, or pairs along mid_date) with each vector's ``vx_error``, ``vy_error`` moved to
    ``vx_error_point``, ``vy_error_point`` and ``vx_error``, ``vy_error`` the median of those of
    the accepted vectors, one number per pair."""
    from talmek_track._facts import Status

    for comp in ("vx", "vy"):
        name = f"{comp}_error"
        if name not in ds or "x" not in ds[name].dims:
            continue
        point = ds[name]
        if "status" in ds:
            point = point.where(ds["status"] == int(Status.accepted))
        scalar = point.chunk({"y": -1, "x": -1}).median(("y", "x")) if point.chunks else \
            point.median(("y", "x"))
        ds = ds.rename({name: f"{name}_point"})
        ds[f"{name}_point"].attrs = {**ds[f"{name}_point"].attrs,
                                     "long_name": f"uncertainty (one standard deviation) of {comp} at each vector"}
        ds[name] = scalar.astype(np.float32)
        ds[name].attrs = {"long_name": f"typical uncertainty of {comp} in the pair: the median of the "
                          "accepted vectors' errors", "units": ds[f"{name}_point"].attrs.get("units", "")}
        ds[name].encoding = {}
    return ds


def _upgraded(ds: Any) -> Any:
    """A cube of an earlier release in today's layout: the dates as data variables, the errors of
    each vector beside one per pair, the ``mapping`` variable and ``author``."""
    from talmek_track.output.dataset import AUTHOR, mapping_variable

    ds = ds.reset_coords([n for n in _DATES if n in ds.coords])
    ds = ds.assign({n: v.astype(np.float32) for n, v in ds.data_vars.items()
                    if v.dtype == np.float64 and "x" in v.dims})
    ds = pair_errors(ds)
    if "spatial_ref" in ds.variables and "mapping" not in ds.variables:
        ds["mapping"] = mapping_variable(ds)
    ds.attrs.setdefault("author", AUTHOR)
    return ds


def _old(path: Path) -> Path:
    return path.with_name(path.name + ".old")


def _new(path: Path) -> Path:
    return path.with_name(path.name + ".new")


def cube_settings(options: Any) -> dict[str, Any]:
    """The settings of ``options`` (a ``TrackOptions``) that shape a pair's values, as plain JSON
    values by their keywords: what a cube records, and what a rerun must match."""
    import dataclasses

    from talmek_track.errors import public_path
    from talmek_track.output.writers import _jsonable

    chosen: dict[str, Any] = {}
    for f in dataclasses.fields(options):
        if f.name in _RUN_ONLY:
            continue
        value = getattr(options, f.name)
        if f.name in ("stable", "mask1", "mask2") and isinstance(value, str):
            value = public_path(value)
        elif f.name == "reference" and value is not None:
            value = [public_path(v) for v in value]
        chosen[f.name] = str(value) if f.name == "prefilter" else _jsonable(value)
    return chosen


def _refused(path: Path, why: str) -> InputError:
    return InputError("{path} {why}; it is left as it is: move it away or write the cube elsewhere",
                      path=path_text(path), why=why)


def _metadata(path: Path) -> dict[str, Any]:
    """The consolidated metadata of the cube at ``path``, every key checked to name a file of the
    cube itself (a header of the group or of one of its arrays); InputError otherwise."""
    try:
        data = json.loads((path / ".zmetadata").read_text())
        metadata = data["metadata"]
        if not isinstance(metadata, dict) or not all(isinstance(v, dict) for v in metadata.values()):
            raise ValueError("not a mapping of headers")
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise InputError("{path}: the cube's metadata (.zmetadata) cannot be read ({reason}); remove "
                         "the cube to build it anew", path=path_text(path), reason=_reason(e)) from None
    for key in metadata:
        if not _inside(key):
            raise InputError("{path}: the cube's metadata names {key}, which is no file of the cube; "
                             "remove the cube to build it anew", path=path_text(path), key=repr(key))
    return metadata


def _inside(key: object) -> bool:
    """Whether a key of the consolidated metadata names a header of the group or of one of its
    arrays: one plain name, a slash and the header."""
    if not isinstance(key, str):
        return False
    if key in (".zgroup", ".zattrs"):
        return True
    name, _, header = key.rpartition("/")
    return (header in (".zarray", ".zattrs") and name not in ("", ".", "..") and "/" not in name
            and os.sep not in name and (os.altsep is None or os.altsep not in name) and "\\" not in name
            and "\0" not in name)


def _reason(e: BaseException) -> str:
    if isinstance(e, OSError):
        return e.strerror or type(e).__name__
    return " ".join(str(e).split()) or type(e).__name__


def _ours(path: Path) -> bool:
    """Whether ``path`` is a whole cube that this package wrote (by its title in the consolidated
    metadata); InputError when its metadata cannot be read."""
    if path.is_symlink() or not path.is_dir() or not (path / ".zmetadata").is_file():
        return False
    top = _metadata(path).get(".zattrs", {})
    return bool(top.get("title") == TITLE)


def _titled(path: Path) -> bool:
    """Whether the group attributes at ``path`` carry the cube's title."""
    try:
        return bool(json.loads((path / ".zattrs").read_text()).get("title") == TITLE)
    except (OSError, ValueError, AttributeError):
        return False


def _shown(value: Any) -> str:
    """A recorded setting as a message shows it: pairs as X,Y, None as none."""
    if value is None:
        return "none"
    if isinstance(value, list):
        return ",".join(_shown(v) for v in value)
    return str(value)


def _empty_folder(path: Path) -> bool:
    return path.is_dir() and not path.is_symlink() and not any(path.iterdir())


def _foreign(path: Path, role: str) -> str | None:
    """Why ``path`` (the cube, or its ``new`` or ``old`` folder, as ``role`` says) is none of
    ours; None when it is ours, empty or absent."""
    if not path.exists() and not path.is_symlink():
        return None
    if path.is_symlink():
        return "is a symbolic link (give the folder it points to)"
    if not path.is_dir():
        return "exists and is not a folder"
    if _empty_folder(path):  # nothing to lose
        return None
    if _ours(path):
        return None
    if role == "new" and _titled(path):  # a cube an earlier release was building
        return None
    if (path / "zarr.json").exists():
        return "is a zarr store that Talmek did not write"
    if (path / ".zgroup").exists() or (path / ".zarray").exists():
        return "is a zarr store that Talmek did not write (no consolidated metadata of a velocity cube)"
    return "is a folder that is not a velocity cube"


def recover(path: Path, *, strict: bool = True) -> list[str]:
    """Brings a cube left by a killed run back to its last whole state: an unfinished commit of
    its metadata or of the whole cube is undone (``talmek_track.output.publish.repair`` of the cube and
    of the folder holding it), the ``.new`` and ``.old`` folders of earlier releases are
    finished or undone, and array headers written past the consolidated metadata are put back.
    Returns a line for each thing done.

    Nothing that this package did not write is removed: a folder at ``path``, ``path.new`` or
    ``path.old`` that is not one of ours, or a cube whose metadata cannot be trusted, raises
    InputError (``strict``) or is left as it is, with a line that says so. OutputError when a
    commit cannot be undone or a folder cannot be moved or removed."""
    from talmek_track.output.publish import repair

    done = repair(path.parent) + repair(path)
    try:
        return done + _recover(path)
    except InputError as e:
        if strict:
            raise
        if not (_old(path).exists() or _new(path).exists()):
            return done  # nothing was left to repair: a store of others, or damage, is no business here
        return [*done, f"{e}"]
    except OSError as e:
        raise OutputError("cannot repair the cube {path}: {reason}", path=path_text(path),
                          reason=_reason(e)) from None


def _recover(path: Path) -> list[str]:
    old, new = _old(path), _new(path)
    for p, role in ((path, "cube"), (old, "old"), (new, "new")):
        why = _foreign(p, role)
        if why is not None:
            raise _refused(p, why)
    done: list[str] = []
    if old.exists():
        if not path.exists() or _empty_folder(path):
            os.replace(old, path)  # killed between the two renames of a swap: the old cube is back
            done.append(f"{path_text(path)}: undid an unfinished rechunking")
        else:
            shutil.rmtree(old)  # the swap was done
            done.append(f"{path_text(path)}: removed the cube it replaced")
    if new.exists():
        if (not path.exists() or _empty_folder(path)) and _ours(new):
            os.replace(new, path)  # a first pair committed but not yet moved in
            done.append(f"{path_text(path)}: moved in the cube built before the run was cut short")
        else:
            shutil.rmtree(new)
            done.append(f"{path_text(path)}: removed a cube left half-built")
    if not (path / ".zmetadata").exists():
        return done
    committed = _metadata(path)
    inside = path.resolve()
    for key, value in committed.items():
        if key.endswith(".zarray"):
            header = path / key
            if header.parent.is_symlink() or header.parent.resolve().parent != inside:
                raise InputError("{path}: the folder of {key} lies outside the cube; remove the cube "
                                 "to build it anew", path=path_text(path), key=repr(key))
            if not header.parent.is_dir():
                continue  # a whole array gone: damage, which reading the cube reports
            if not header.exists() or json.loads(header.read_text()) != value:
                _write_json(header, value)
                done.append(f"{path_text(path)}: put back the header {key} of the last whole pair")
    return done


def _missing_chunk(path: Path, metadata: dict[str, Any]) -> str | None:
    """The first chunk that the metadata's arrays hold but the disk lacks, None when all are
    there."""
    import itertools

    for key, header in sorted(metadata.items()):
        if not key.endswith("/.zarray"):
            continue
        name = key.rpartition("/")[0]
        shape, chunks = header.get("shape", []), header.get("chunks", [])
        sep = header.get("dimension_separator") or "."
        if len(shape) != len(chunks):
            return f"{name} (its header)"
        counts = [-(-int(n) // max(int(c), 1)) for n, c in zip(shape, chunks)]
        try:
            there = set(os.listdir(path / name)) if sep == "." else None
        except OSError:
            there = set()
        for index in itertools.product(*(range(n) for n in counts)) if shape else [(0,)]:
            chunk = sep.join(str(i) for i in index)
            if (chunk not in there) if there is not None else not (path / name / chunk).is_file():
                return f"{name}/{chunk}"
    return None


def _check_whole(path: Path) -> dict[str, Any]:
    """The metadata of the cube at ``path``, checked: keys inside the cube and, in a cube whose
    every chunk is written, no chunk missing (InputError)."""
    metadata = _metadata(path)
    if SETTINGS_ATTR in metadata.get(".zattrs", {}):
        try:
            missing = _missing_chunk(path, metadata)
        except (ValueError, TypeError, AttributeError) as e:  # headers of no array's form
            raise InputError("{path}: the cube's metadata (.zmetadata) cannot be read ({reason}); "
                             "remove the cube to build it anew", path=path_text(path),
                             reason=_reason(e)) from None
        if missing is not None:
            raise InputError("{path} is damaged: its chunk {chunk} is missing; remove the cube to "
                             "build it anew", path=path_text(path), chunk=missing)
    return metadata


def _write_json(target: Path, value: Any) -> None:
    partial = target.with_name(target.name + ".partial")
    partial.write_text(json.dumps(value, indent=2, allow_nan=True))
    with open(partial, "rb") as f:
        os.fsync(f.fileno())
    os.replace(partial, target)


def _consolidate(path: Path, target: Path | None = None) -> None:
    """Writes the consolidated metadata of the cube at ``path`` from its headers into ``target``
    (default: the cube's own ``.zmetadata``)."""
    metadata: dict[str, Any] = {}
    for name in (".zgroup", ".zattrs"):
        if (path / name).exists():
            metadata[name] = json.loads((path / name).read_text())
    for child in sorted(p for p in path.iterdir() if p.is_dir() and not p.name.startswith(".")):
        for name in (".zarray", ".zattrs"):
            if (child / name).exists():
                metadata[f"{child.name}/{name}"] = json.loads((child / name).read_text())
    _write_json(target or path / ".zmetadata", {"metadata": metadata, "zarr_consolidated_format": 1})


def _kept(path: Path) -> Path | None:
    """The earlier cube that a publish of a whole cube keeps aside while it renames the new one
    in, where one is."""
    from talmek_track.output.publish import KEPT, STAGING_PREFIX, glob_escape

    for folder in path.parent.glob(f"{glob_escape(STAGING_PREFIX)}*"):
        if (folder / KEPT / path.name / ".zmetadata").is_file():
            return folder / KEPT / path.name
    return None


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

    for attempt in range(3):
        target = Path(path)
        if not (target / ".zmetadata").exists():  # caught between the two renames of a swap
            if (_old(target) / ".zmetadata").exists():
                target = _old(target)
            else:
                target = _kept(target) or target
        if not (target / ".zmetadata").exists():
            raise OutputError(f"{path_text(target)}: no cube there (no pair was written)")
        try:
            _check_whole(target)
            break
        except InputError:
            if attempt == 2:  # not a rechunking swapped in while the chunks were looked at
                raise
    try:
        return xr.open_zarr(target, consolidated=True, **open_kwargs)
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise InputError("{path}: the cube cannot be read ({reason}); remove the cube to build it "
                         "anew", path=path_text(target), reason=_reason(e)) from None


class Cube:
    """Writes the pairs of a stack into ``path``, pair by pair."""

    def __init__(self, path: str | os.PathLike[str], settings: dict[str, Any] | None = None) -> None:
        require("xarray", "xarray")
        require("zarr", "xarray")
        self.path = Path(path)
        recover(self.path)  # only a writer repairs: readers go by the committed metadata alone
        self.keys: set[tuple[np.datetime64, np.datetime64]] = set()
        self.mids: set[np.datetime64] = set()
        self.names: set[str] | None = None  # the variables in the cube (None: no cube yet)
        self.length = 0
        #: The settings attribute every pair appended carries (None: a cube written before
        #: settings were recorded, whose pairs' settings are not known).
        self.recorded: str | None = json.dumps(settings, sort_keys=True)
        if (self.path / ".zmetadata").exists():
            top = _check_whole(self.path).get(".zattrs", {})
            self.recorded = top.get(SETTINGS_ATTR)
            self._compare(settings)
            try:
                ds = open_cube(self.path)
                with ds:
                    self.length = ds.sizes["mid_date"]
                    self.keys = {(np.datetime64(a, "ms"), np.datetime64(b, "ms"))
                                 for a, b in zip(ds["acquisition_date_img1"].values,
                                                 ds["acquisition_date_img2"].values)}
                    self.mids = set(ds["mid_date"].values.astype("datetime64[ms]"))
                    self._grid = (ds["x"].values, ds["y"].values)
                    chunked = ds["vx"].encoding.get("chunks", (1,))[0] if "vx" in ds else 1
                    legacy = any(n in ds.coords for n in _DATES) or (
                        "vx_error" in ds and "x" in ds["vx_error"].dims)
            except (KeyError, ValueError, TypeError, OSError) as e:
                raise InputError("{path}: the cube cannot be read ({reason}); remove the cube to "
                                 "build it anew", path=path_text(self.path), reason=_reason(e)) from None
            if chunked != 1 or legacy:  # a finished cube: back to one chunk per pair before appending
                self._rewrite(1)
            self.names = {key.rpartition("/")[0] for key in _metadata(self.path) if key.endswith("/.zarray")}

    def _compare(self, settings: dict[str, Any] | None) -> None:
        """Refuses a run whose settings differ from those recorded in the cube."""
        if settings is None or self.recorded is None:
            return
        try:
            before = json.loads(self.recorded)
        except (ValueError, TypeError):
            before = {}
        if before is None:
            return  # settings not known (a cube rechunked from one that did not record them)
        if not isinstance(before, dict):
            before = {}
        now = json.loads(json.dumps(settings))
        # a setting that one side does not know (another version's) is not compared
        changed = sorted(k for k in set(before) & set(now) if before[k] != now[k])
        if not changed:
            return
        named = changed[:3]
        values: dict[str, object] = {"path": path_text(self.path)}
        parts = []
        for k, name in enumerate(named):
            values[f"was{k}"], values[f"now{k}"] = _shown(before.get(name)), _shown(now.get(name))
            parts.append(f"{{{k}}} {{was{k}}} there, {{now{k}}} now")
        more = f" and {len(changed) - 3} more" if len(changed) > 3 else ""
        raise InputError("{path} holds pairs matched with other settings (" + "; ".join(parts) + more
                         + "); write this run's cube elsewhere, or remove it to build it anew",
                         options=tuple(named), **values)

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
        from talmek_track.output.dataset import mapping_variable

        ds = field_ds.drop_vars([v for v in (*_LEFT_OUT, *_PAIR_TIME) if v in field_ds.variables])
        pair_attrs = dict(ds.attrs)
        # the settings of the run (text) hold for every pair; counts and shifts are each pair's own
        ds.attrs = {k: v for k, v in ds.attrs.items() if k not in _PAIR_ATTRS and isinstance(v, str)}
        ds.attrs["title"] = TITLE
        if self.recorded is not None:
            ds.attrs[SETTINGS_ATTR] = self.recorded
        mid = d1 + (d2 - d1) / 2
        while mid in self.mids:  # mid_date stays unique, as the public cubes keep it
            mid = mid + _MS
        dt_days = float((d2 - d1) / np.timedelta64(1, "ms")) / 86_400_000.0
        for name in list(ds.data_vars):
            if ds[name].dtype.kind == "f":
                ds[name] = ds[name].astype(np.float32)
        ds = pair_errors(ds)
        ds = ds.expand_dims(mid_date=[mid]).assign(
            acquisition_date_img1=("mid_date", [d1], {"long_name": "acquisition date of image 1"}),
            acquisition_date_img2=("mid_date", [d2], {"long_name": "acquisition date of image 2"}),
            date_dt=("mid_date", np.array([dt_days], np.float32),
                     {"long_name": "time between the acquisitions", "units": "days"}),
            **_stable_variables(pair_attrs, ds["vx"].attrs.get("units", "") if "vx" in ds else ""))
        ds["mid_date"].attrs["long_name"] = "middle of the two acquisition dates"
        for name in ds.data_vars:
            ds[name].encoding = {}
            if "spatial_ref" in ds.coords and {"y", "x"} <= set(ds[name].dims):
                ds[name].attrs["grid_mapping"] = "spatial_ref"
        if "spatial_ref" in ds.coords:
            ds["mapping"] = mapping_variable(ds)
        if self.names is not None:  # a cube of an earlier release lacks some per-pair variables
            ds = ds.drop_vars([n for n in ds.data_vars if n not in self.names])
        if self.length == 0:
            self._create(ds)
            self.mids.add(mid)
        else:
            x, y = self._grid
            if not (np.array_equal(x, ds["x"].values) and np.array_equal(y, ds["y"].values)):
                raise OutputError(f"{self.path}: the pair of {d1} and {d2} lies on another grid "
                                  "than the pairs in the cube (other image extents or grid "
                                  "settings); write it to another cube")
            spatial = [n for n in ds.variables if "mid_date" not in ds[n].dims]
            self.mids.add(mid)
            ds.drop_vars(spatial).to_zarr(self.path, append_dim="mid_date", consolidated=False,
                                          zarr_format=2, write_empty_chunks=True)
            self._publish_metadata()
        self.keys.add((d1, d2))
        self.length += 1

    def _publish_metadata(self) -> None:
        """Publishes the cube's consolidated metadata, written from its headers, into the cube."""
        from talmek_track.output.publish import staged

        with staged(self.path) as staging:
            _consolidate(self.path, staging.folder / ".zmetadata")
            staging.publish()

    def _publish_store(self, ds: Any, encoding: dict[str, dict[str, Any]],
                       done: Any = None) -> None:
        """Writes ``ds`` whole as a cube in a staging folder beside the cube and publishes it over
        the cube (``done`` is called once it is written, before it is published)."""
        from talmek_track.output.publish import staged

        with staged(self.path.parent) as staging:
            store = staging.folder / self.path.name
            try:
                ds.to_zarr(store, mode="w", consolidated=False, zarr_format=2, encoding=encoding,
                           write_empty_chunks=True)
            finally:
                if done is not None:
                    done()
            _consolidate(store)
            staging.publish([store], folders=True)

    def _create(self, ds: Any) -> None:
        ny, nx = ds.sizes["y"], ds.sizes["x"]
        encoding: dict[str, dict[str, Any]] = {
            name: {"chunks": (1, ny, nx) if ds[name].ndim == 3 else (1,) * ds[name].ndim}
            for name in ds.data_vars}
        encoding["mid_date"] = {"units": "milliseconds since 1970-01-01", "dtype": "int64",
                                "chunks": (1,)}
        for name in ("acquisition_date_img1", "acquisition_date_img2"):
            encoding[name] = {"units": "milliseconds since 1970-01-01", "dtype": "int64",
                              "chunks": (1,)}
        encoding["date_dt"] = {"chunks": (1,)}
        self._publish_store(ds, encoding)
        self.names = set(ds.data_vars)
        self._grid = (ds["x"].values, ds["y"].values)

    def _rewrite(self, time_chunk: int | None) -> None:
        """Rewrites the cube beside itself with ``time_chunk`` pairs a chunk (None: all) and
        swaps it in."""
        import xarray as xr

        # Streamed through Dask chunk by chunk, never the whole cube in memory.
        src = xr.open_zarr(self.path, consolidated=True)
        ds = _upgraded(src.sortby("mid_date") if time_chunk is None else src)
        n = ds.sizes["mid_date"]
        along = n if time_chunk is None else time_chunk
        ys = ds.sizes["y"] if time_chunk == 1 else min(SPATIAL_CHUNK, ds.sizes["y"])
        xs = ds.sizes["x"] if time_chunk == 1 else min(SPATIAL_CHUNK, ds.sizes["x"])
        ds = ds.chunk({"mid_date": along, "y": ys, "x": xs})
        encoding: dict[str, dict[str, Any]] = {}
        for name in ds.data_vars:
            if ds[name].dims == ("mid_date", "y", "x"):
                encoding[name] = {"chunks": (along, ys, xs)}
            elif ds[name].dims == ("mid_date",) and name not in _DATES:
                encoding[name] = {"chunks": (along,)}
            ds[name].encoding = {k: v for k, v in ds[name].encoding.items()
                                 if k in ("units", "dtype", "_FillValue", "calendar", "grid_mapping")}
        for name in ("mid_date", "acquisition_date_img1", "acquisition_date_img2", "date_dt"):
            keep = {k: v for k, v in ds[name].encoding.items() if k in ("units", "dtype", "calendar")}
            ds[name].encoding = {}
            encoding[name] = {**keep, "chunks": (along,)}
        # Every chunk is written from here on: a cube that did not record its settings gets the
        # attribute (settings not known) so that missing chunks are detected from now on.
        ds.attrs.setdefault(SETTINGS_ATTR, "null")
        self.recorded = ds.attrs[SETTINGS_ATTR]
        self._publish_store(ds, encoding, done=src.close)

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


def _stable_variables(attrs: dict[str, Any], units: str) -> dict[str, Any]:
    """A pair's stable-ground shift along mid_date, by the public cubes' names: the velocity
    removed (``vx_stable_shift``, ``vy_stable_shift``), how it was found (``stable_shift_flag``)
    and from how many vectors (``stable_count_stationary`` on a mask, ``stable_count_slow`` from
    the slowest vectors)."""
    method = str(attrs.get("stable_shift_method", "none"))
    out: dict[str, Any] = {
        "stable_shift_flag": ("mid_date", np.array([_STABLE_FLAG.get(method, 0)], np.uint8),
                              {"long_name": "stable-ground shift removed: 0 none, 1 from the "
                               "stable-ground mask, 2 from the slowest quarter of the vectors"})}
    if "stable_shift_vx" in attrs:
        for comp in ("vx", "vy"):
            out[f"{comp}_stable_shift"] = ("mid_date", np.array([attrs[f"stable_shift_{comp}"]], np.float32),
                                           {"long_name": f"stable-ground shift removed from {comp}",
                                            "units": units})
    for kind, name in _STABLE_COUNT.items():
        count = int(attrs.get("stable_shift_count", 0)) if method == kind else 0
        out[name] = ("mid_date", np.array([count], np.uint32),
                     {"long_name": f"stable-ground vectors the shift was measured on ({kind})"})
    return out


def require_dated(pairs: Iterable[tuple[datetime | None, datetime | None]], where: str) -> None:
    """Refuses a cube of pairs whose dates are not all known."""
    for d1, d2 in pairs:
        if d1 is None or d2 is None:
            raise OptionError(f"{where} needs every image's acquisition date (a pair has none); "
                              "give the dates")
