"""Result files out, one writer per format, in a registry.

A writer is a function ``writer(folder, result) -> list[pathlib.Path]``: it writes its files into
``folder`` (an existing folder; during a command run a staging folder that is published whole
afterwards, so the writer must not write anywhere else) from ``result`` (a ``TrackResult``) and
returns the paths it wrote, or an empty list when its format does not apply (the rasters need a
georeferenced input). It raises ``OSError`` (or ``OutputError``) when it cannot write. Register
a new format with ``@register_writer("name")``; ``track_files(formats=[...])`` picks formats by
name and writes ``DEFAULT_FORMATS`` by default. ``write_result`` runs the chosen writers on a
finished result and publishes their files, all or none; writers registered with
``side_by_side=True`` (the built-in ones but NetCDF) run on threads at the same time.
"""

from __future__ import annotations

import contextlib
import dataclasses
import enum
import errno
import importlib.util
import json
import logging
import math
import os
import shutil
import sys
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

from talmek_track._facts import Status, status_name
from talmek_track.errors import OutputError, TrackError, describe_error, path_text, public_path, require
from talmek_track.matching.engine import RECORD_DTYPE
from talmek_track.matching.settings import Settings, status_of
from talmek_track.options.values import DEFAULT_FORMATS, FORMAT_WRITERS
from talmek_track.output.geojson import write_geojson_wgs84
from talmek_track.output.geopackage import write_gpkg as write_gpkg_file
from talmek_track.output.geotiff import write_cog
from talmek_track.output.netcdf import write_netcdf
from talmek_track.output.publish import Staging, staged
from talmek_track.products.quality import PREFIX as QUALITY
from talmek_track.products.results import TrackResult
from talmek_track.products.velocity import ACCEPTED, OUTLIER, VARIABLES, VectorField
from talmek_track.sources.readers import ImageSource
from talmek_track.stages import stage

Writer = Callable[[Path, TrackResult], list[Path]]

VARIABLES_BY_NAME = {var.name: var for var in VARIABLES}

#: The registered writers by format name, in the order they run (the registry the options check
#: formats against).
WRITERS: dict[str, Writer] = FORMAT_WRITERS


def register_writer(name: str, *, side_by_side: bool = False) -> Callable[[Writer], Writer]:
    """Registers ``writer`` under ``name`` (replacing one of that name); use as a decorator.

    Parameters
    ----------
    name : str
        The format's name, as ``track_files(formats=...)`` and the command take it.
    side_by_side : bool
        The writer may run on a thread of its own beside the other such writers of a run (it
        touches only its own files and objects). Others run one after another once those are
        done.

    Returns
    -------
    callable
        The decorator, which returns the writer (with ``side_by_side``, marked so).
    """
    def add(writer: Writer) -> Writer:
        if side_by_side:
            writer.side_by_side = True  # type: ignore[attr-defined]
        WRITERS[name] = writer
        return writer
    return add


def output_names(formats: Iterable[str] | None, plot: bool, writing: bool) -> list[str]:
    """The writers a run uses (none when it writes nothing), their packages present; ``formats``
    are registered names (``TrackOptions`` checks them), None for ``DEFAULT_FORMATS``."""
    names = list(formats) if formats is not None else [
        n for n in DEFAULT_FORMATS if n != "gpkg" or _has_gpkg_writer()]
    if not plot:
        names = [n for n in names if n != "plot"]
    if not writing:
        return []
    if "plot" in names:
        require("matplotlib", "cli")
    if "nc" in names:
        require("xarray", "xarray")
        require("rioxarray", "xarray")
    return names


def require_writers(names: list[str], source1: ImageSource) -> None:
    """The packages that the writers need for this (georeferenced or plain) image 1."""
    if source1.transform is not None and {"tif", "gpkg"} & set(names):
        require("rasterio", "geo")
    if "gpkg" in names and source1.crs is not None and not _has_gpkg_writer():
        require("pyogrio", "geo")


def _has_gpkg_writer() -> bool:
    return any(importlib.util.find_spec(m) is not None for m in ("pyogrio", "fiona"))


#: Modules that writers import when they first run, loaded ahead by ``preload``.
WRITER_MODULES: dict[str, tuple[str, ...]] = {
    "plot": ("matplotlib.figure", "matplotlib.backends.backend_agg"),
    "gpkg": ("pyogrio.raw",),
    "tif": ("rasterio.io", "rasterio.shutil"),
    "geojson": ("rasterio.warp",),
}


def preload(names: Iterable[str]) -> threading.Thread | None:
    """Starts importing the modules of the writers ``names`` on a helper thread, so that their
    imports (a second or more for Matplotlib and pyogrio) overlap the matching instead of
    following it. A module that cannot be imported is left to its writer to report."""
    modules = [m for n in names for m in WRITER_MODULES.get(n, ()) if m not in sys.modules]
    if not modules:
        return None

    def load() -> None:
        for module in modules:
            try:
                importlib.import_module(module)
            except Exception:  # noqa: BLE001, S112 - the writer imports it again and says why
                continue

    thread = threading.Thread(target=load, name="talmek-preload", daemon=True)  # an interrupted run need not wait
    thread.start()
    return thread


def publish_result(staging: Staging, names: list[str], result: TrackResult) -> list[Path]:
    """Writes ``result`` with the writers ``names`` (in that order) into ``staging`` and
    publishes their files, all or none; returns the published paths."""
    with stage("writers"):
        written = write_outputs(names, staging.folder, result, staging.user_path)
    with stage("publish"):
        return staging.publish(written)


def write_result(out: Path, names: list[str], result: TrackResult) -> list[Path]:
    """``publish_result`` into ``out`` through a staging folder of its own."""
    with staged(out) as staging:
        return publish_result(staging, names, result)


#: The file each built-in writer makes, for messages about a writer that failed.
FILE_NAMES = {"csv": "vectors.csv", "geojson": "vectors.geojson", "tif": "vectors.tif",
              "nc": "vectors.nc", "gpkg": "vectors.gpkg", "plot": "vectors.png"}

#: Free space below which a failing writer is taken to have filled the filesystem (drivers report
#: a full disk in their own words, NetCDF even as "Permission denied").
FULL_DISK_BYTES = 256 * 1024


def _write(name: str, folder: Path, result: TrackResult) -> list[Path]:
    with stage(f"writer {name}"):
        return WRITERS[name](folder, result)


def write_outputs(names: list[str], folder: Path, result: TrackResult,
                  user_path: Callable[[Path], Path] = lambda p: p) -> list[Path]:
    """Runs the writers ``names`` into ``folder``; returns the files written, in the writers'
    order. The writers registered ``side_by_side`` run on threads at the same time, the others
    one after another once those are done. Any failure of a writer (no space, permissions, a
    driver's error) is an OutputError naming the file, as ``user_path`` shows it, and the cause in
    one line; where several fail, the first in ``names``."""
    together = [n for n in names if getattr(WRITERS[n], "side_by_side", False)]
    written: dict[str, list[Path]] = {}
    with _driver_errors() as errors, _plain_alias(folder) as where:
        if together:
            pool = ThreadPoolExecutor(max_workers=len(together), thread_name_prefix="talmek-write")
            try:
                futures = {n: pool.submit(_write, n, where, result) for n in together}
                failures = {n: f.exception() for n, f in futures.items()}
            finally:
                # An interrupt while waiting: what has not started never starts, and the folder
                # is left alone only once every running writer has returned.
                pool.shutdown(wait=True, cancel_futures=True)
            for name in together:
                error = failures[name]
                if error is not None:
                    _raise_failure(error, folder, folder / FILE_NAMES.get(name, f"{name} output"), user_path)
            written = {n: [folder / p.name for p in futures[n].result()] for n in together}
        for name in names:
            if name in written:
                continue
            before = set(os.listdir(folder))
            try:
                written[name] = [folder / p.name for p in _write(name, where, result)]
            except Exception as e:  # noqa: BLE001 - named as its file below
                made = sorted(set(os.listdir(folder)) - before)
                path = folder / (FILE_NAMES.get(name) or (made[0] if made else f"{name} output"))
                _raise_failure(e, folder, path, user_path)
    paths = [p for n in names for p in written[n]]
    if errors:  # GDAL reported failures and went on: the files must read back
        try:
            _check_rasters(paths, errors)
        except OSError as e:
            _raise_failure(e, folder, next(p for p in paths if p.suffix.lower() in (".tif", ".tiff")),
                           user_path)
    return paths


def _raise_failure(e: BaseException, folder: Path, path: Path, user_path: Callable[[Path], Path]) -> NoReturn:
    """A writer's failure as an OutputError naming ``path`` (a TrackError, or an interrupt, as it
    is)."""
    if isinstance(e, TrackError) or not isinstance(e, Exception):
        raise e
    raise OutputError(f"cannot write {path_text(user_path(path))}: {write_failure(e, folder)}") from None


@contextlib.contextmanager
def _plain_alias(folder: Path) -> Iterator[Path]:
    """``folder``, or where its name holds characters that some drivers cannot pass on (SQLite
    drops a newline), a symbolic link to it under a plain name in the temporary folder."""
    if os.fsdecode(folder).isprintable():
        yield folder
        return
    import tempfile

    holder = Path(tempfile.mkdtemp(prefix="talmek-out-"))
    alias = holder / "staging"
    try:
        os.symlink(folder.absolute(), alias, target_is_directory=True)
        yield alias
    finally:
        alias.unlink(missing_ok=True)
        holder.rmdir()


class _Collect(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.getMessage().startswith("GDAL signalled an error"):
            self.messages.append(str(record.args[1] if isinstance(record.args, tuple) and
                                     len(record.args) > 1 else record.getMessage()))


@contextlib.contextmanager
def _driver_errors() -> Iterator[list[str]]:
    """The failures that GDAL reports through rasterio's log while a writer runs: some failed
    writes (libtiff on a full disk) are logged, not raised. rasterio logs them at INFO, since GDAL
    also reports failures that it then overcomes; they are collected here, not shown."""
    collect = _Collect()
    logger = logging.getLogger("rasterio._env")
    level, propagate = logger.level, logger.propagate
    quiet = not logger.isEnabledFor(logging.INFO)
    if quiet:
        logger.setLevel(logging.INFO)
        logger.propagate = False
    logger.addHandler(collect)
    try:
        yield collect.messages
    finally:
        logger.removeHandler(collect)
        if quiet:
            logger.setLevel(level)
            logger.propagate = propagate


def _check_rasters(paths: list[Path], errors: list[str]) -> None:
    """After GDAL reported failures: every GeoTIFF written reads back whole, else OSError."""
    from talmek_track.sources.gate import open_raster

    for path in paths:
        if path.suffix.lower() not in (".tif", ".tiff"):
            continue
        try:
            with open_raster(str(path), "GTiff") as ds:
                ds.read()
        except Exception:  # noqa: BLE001 - unreadable: the write failed
            raise OSError(errors[0]) from None


def write_failure(e: BaseException, folder: Path) -> str:
    """The cause of a writer's failure in one line: a full filesystem and missing permissions
    named as such, whatever words the driver used."""
    code = e.errno if isinstance(e, OSError) else None
    try:
        full = shutil.disk_usage(folder).free < FULL_DISK_BYTES
    except OSError:
        full = False
    if code == errno.ENOSPC or code == errno.EDQUOT or full:
        return os.strerror(errno.ENOSPC)
    if code in (errno.EACCES, errno.EPERM):
        return os.strerror(errno.EACCES)
    if isinstance(e, OSError) and e.strerror:
        return e.strerror  # the system's own reason
    if os.path.isdir(folder) and not os.access(folder, os.W_OK):  # a driver's words for it
        return os.strerror(errno.EACCES)
    return describe_error(e)


FIELDS: tuple[str, ...] = tuple(RECORD_DTYPE.names or ())
#: Rows of vectors.csv formatted at a time.
CSV_ROWS_AT_ONCE = 16384
CSV_COLUMNS = FIELDS + ("status", "dx", "dy")


def _vector_field(result: TrackResult) -> VectorField:
    if result.vector_field is None:
        raise ValueError("this writer needs the result's vector field")
    return result.vector_field


def _text(values: np.ndarray) -> np.ndarray:
    # NumPy's text form of a float is the shortest that reads back to the same value.
    text = values.astype(str).astype(object)
    text[np.isnan(values)] = ""
    return text


def _status_names(codes: np.ndarray) -> np.ndarray:
    """The name of each status code (``status_name``), looked up once per distinct code."""
    distinct, inverse = np.unique(codes, return_inverse=True)
    names: np.ndarray = np.array([status_name(int(c)) for c in distinct], dtype=object)[inverse.ravel()]
    return names


@register_writer("csv", side_by_side=True)
def write_csv(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.csv: every point, its record, its status name, dx, dy and, with a vector field, the
    displacement in map units, velocities and dt_days (when dated) and sigma_x, sigma_y. Outliers
    keep their values; their status says ``outlier`` while ``active`` keeps the engine's code."""
    path = folder / "vectors.csv"
    records = result.records
    vf = result.vector_field
    status = status_of(records) if vf is None else vf.status
    header = list(CSV_COLUMNS)
    extra: list[tuple[str, np.ndarray | None]] = []  # (name, values); None: dt_days, one value
    if vf is not None:
        # Every other variable of the field (the record holds strength), dt_days after the speed.
        for var in vf.variables:
            if var.name in ("dx", "dy", "strength", "status"):
                continue
            extra.append((var.name, vf.values[var.name]))
            if var.name == "v" and vf.dt_days is not None:
                extra.append(("dt_days", None))
    header += [name for name, _ in extra]
    dx, dy = (result.dx, result.dy) if vf is None else (vf.values["dx"], vf.values["dy"])
    # Rows go out in slices, so that their text never exists for the whole grid at once.
    with open(path, "w", newline="") as f:
        f.write(",".join(header) + "\n")
        for start in range(0, len(records), CSV_ROWS_AT_ONCE):
            part = slice(start, start + CSV_ROWS_AT_ONCE)
            columns = [records[name][part].astype(str) for name in FIELDS]
            columns.append(_status_names(status[part]))
            columns += [_text(dx[part]), _text(dy[part])]
            for _name, values in extra:
                if values is None:
                    columns.append(np.full(len(columns[0]), repr(vf.dt_days) if vf else "", dtype=object))
                else:
                    columns.append(_text(values[part]))
            f.writelines(",".join(row) + "\n" for row in zip(*columns))
    return [path]


@register_writer("geojson", side_by_side=True)
def write_geojson(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.geojson (RFC 7946): the accepted and outlier vectors as lines in WGS 84 longitude
    and latitude, every variable as a property."""
    path = folder / "vectors.geojson"
    write_geojson_wgs84(path, _vector_field(result))
    return [path]


@register_writer("tif", side_by_side=True)
def write_tif(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.tif: a Cloud-Optimised GeoTIFF of the grid, one band per variable, for
    georeferenced input."""
    if result.grid_transform is None or result.records.size == 0:
        return []
    path = folder / "vectors.tif"
    write_cog(path, _vector_field(result))
    return [path]


@register_writer("nc")
def write_nc(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.nc: CF NetCDF of the grid with its coordinates and CRS."""
    require("xarray", "xarray")
    path = folder / "vectors.nc"
    write_netcdf(path, _vector_field(result))
    return [path]


@register_writer("gpkg", side_by_side=True)
def write_gpkg(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.gpkg: the accepted and outlier vectors in the input's CRS, for georeferenced
    input."""
    if result.crs is None:
        return []
    path = folder / "vectors.gpkg"
    write_gpkg_file(path, _vector_field(result))
    return [path]


#: The engine's settings as the run completed them (the grid start, the offsets with the shift
#: between the pixel grids, both georeferences), by their MatchingParams names.
PARAM_FIELDS: tuple[str, ...] = (
    "chipwidth_", "chipheight_", "hoffset_", "voffset_", "col_interval_", "row_interval_", "start_col_",
    "start_row_", "col_offset_", "row_offset_", "peakmethod_", "corrtype_", "mincorr_", "maxdiff_",
    "ref_cellsize_", "ref_xll_", "ref_yll_", "srch_cellsize_", "srch_xll_", "srch_yll_")


def _jsonable(value: Any) -> Any:
    """A value as plain JSON: numbers (NaN and infinities as null), text, lists and objects;
    datetimes in ISO 8601, a CRS as its authority code or WKT, anything else as its text."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (int, float)):
        return value if not isinstance(value, float) or math.isfinite(value) else None
    if isinstance(value, datetime):
        return value.isoformat()
    if isinstance(value, Path):
        return str(value)
    if isinstance(value, enum.Enum):
        return _jsonable(value.value)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _jsonable(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if isinstance(value, Mapping):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, np.ndarray) and value.size > 64:  # a mask: its shape, not its pixels
        return {"array": list(value.shape), "dtype": str(value.dtype)}
    if isinstance(value, (list, tuple, set, frozenset, np.ndarray)):
        return [_jsonable(v) for v in (sorted(value, key=str) if isinstance(value, (set, frozenset)) else value)]
    if hasattr(value, "to_wkt"):  # a CRS
        text = value.to_string() if hasattr(value, "to_string") else None
        return text if text and not text.startswith(("PROJCS", "GEOGCS", "LOCAL_CS")) else value.to_wkt()
    return str(value)


def _options(result: TrackResult) -> dict[str, Any] | None:
    """Every option of the run by its keyword: a pre-filter in its text form (``wallis:15``), a
    stable-ground mask array by its shape, a Dask client by its text, the paths of a reference
    velocity map and of masks given as files as ``public_path`` shows them."""
    options = result.options
    if options is None:
        return None
    chosen: dict[str, Any] = {}
    for f in dataclasses.fields(options):
        value = getattr(options, f.name)
        chosen[f.name] = str(value) if f.name in ("prefilter", "client") and value is not None else _jsonable(value)
    if options.reference is not None:  # maps may be signed URLs, as inputs may
        chosen["reference"] = [public_path(p) for p in options.reference]
    for name in ("stable", "mask1", "mask2"):  # so may masks given as files
        if isinstance(getattr(options, name), str):
            chosen[name] = public_path(getattr(options, name))
    return chosen


def run_record(result: TrackResult) -> dict[str, Any]:
    """What ``run.json`` holds: the version, the inputs, the run's options (when the result carries
    them) and the engine's settings as completed, the dates, the grid and its georeference, the
    vector field's attributes (every one) and the count of points by status."""
    from talmek_track.output.dataset import talmek_version

    vf = result.vector_field
    status = status_of(result.records) if vf is None else vf.status
    codes, counts = np.unique(status, return_counts=True)
    record: dict[str, Any] = {
        "software": "Talmek",
        "version": talmek_version(),
        "created": datetime.now(UTC).isoformat(timespec="seconds"),
        "inputs": {"image1": public_path(result.image1), "image2": public_path(result.image2)},
        "options": _options(result),
        "params": {name.rstrip("_"): _jsonable(getattr(result.params, name)) for name in PARAM_FIELDS},
        "dates": None,
        "image": {"shape": list(result.image_shape), "transform": _jsonable(result.transform),
                  "crs": _jsonable(result.crs)},
        "grid": {"shape": list(result.grid.dx.shape), "transform": _jsonable(result.grid_transform)},
        "attrs": _jsonable(vf.attrs) if vf is not None else {},
        "counts": {status_name(int(c)): int(n) for c, n in zip(codes, counts)},
        "quality": {k[len(QUALITY):]: _jsonable(v) for k, v in (vf.attrs if vf is not None else {}).items()
                    if k.startswith(QUALITY)},
    }
    if vf is not None and vf.dates is not None:
        t1, t2 = vf.dates
        record["dates"] = {"image1": t1.isoformat(), "image2": t2.isoformat(), "dt_days": vf.dt_days,
                           "center": (t1 + (t2 - t1) / 2).isoformat()}
    return record


@register_writer("run", side_by_side=True)
def write_run(folder: Path, result: TrackResult) -> list[Path]:
    """run.json: the record of the run (``run_record``), so that the outputs beside it can be
    traced to their inputs, settings and version."""
    path = folder / "run.json"
    with open(path, "w") as f:
        json.dump(run_record(result), f, indent=1, allow_nan=False)
        f.write("\n")
    return [path]


#: The most arrows or markers the figure draws along each grid axis; denser grids are thinned.
PLOT_POINTS_PER_SIDE = 150
#: The most arrows the figure draws along each grid axis, few enough to be read one by one.
PLOT_ARROWS_PER_SIDE = 40
#: The figure's image is drawn from at most this many pixels a side: about the axes' own pixels
#: (Matplotlib resamples in double precision, some 70 bytes per pixel drawn). The colour layer of
#: the grid is drawn from at most as many cells a side.
PLOT_IMAGE_SIDE = 1000


@dataclass
class _Frame:
    """Where the figure draws: image pixel (row, col) at display (x, y) = (x0 + col * sx,
    y0 + row * sy), with axis labels."""

    x0: float
    y0: float
    sx: float
    sy: float
    xlabel: str
    ylabel: str

    def x(self, col: np.ndarray | float) -> np.ndarray:
        return np.asarray(self.x0 + np.asarray(col, np.float64) * self.sx)

    def y(self, row: np.ndarray | float) -> np.ndarray:
        return np.asarray(self.y0 + np.asarray(row, np.float64) * self.sy)


def _frame(result: TrackResult, vf: VectorField | None) -> _Frame:
    """Map coordinates for a georeferenced image 1 (in km where metres would run past 5000),
    image pixels otherwise."""
    rows, cols = result.image_shape
    if result.transform is None or vf is None or vf.crs is None:
        return _Frame(0.0, 0.0, 1.0, 1.0, "column (pixels)", "row (pixels)")
    a, _, c, _, e, f = result.transform
    unit, scale = vf.map_unit, 1.0
    if unit == "m" and max(abs(a) * cols, abs(e) * rows) >= 5000:
        unit, scale = "km", 1000.0
    crs = vf.crs.to_string() if hasattr(vf.crs, "to_string") else str(vf.crs)
    if unit == "degree":
        xlabel, ylabel = "longitude (°)", "latitude (°)"
    else:
        xlabel, ylabel = f"easting ({unit})", f"northing ({unit})"
    # Pixel centres: pixel (row, col) covers c + a * col .. c + a * (col + 1).
    return _Frame((c + 0.5 * a) / scale, (f + 0.5 * e) / scale, a / scale, e / scale,
                  f"{xlabel}, {crs}", ylabel)


def _nice(value: float) -> float:
    """The largest of 1, 2, 5 x 10^k not above ``value``."""
    power = 10.0 ** math.floor(math.log10(value))
    return next(m * power for m in (5.0, 2.0, 1.0) if m * power <= value * (1 + 1e-9))


def _when(t: datetime) -> str:
    return t.strftime("%Y-%m-%d" if (t.hour, t.minute, t.second) == (0, 0, 0) else "%Y-%m-%d %H:%M")


def _plot_quantity(result: TrackResult, vf: VectorField | None, index: np.ndarray
                   ) -> tuple[np.ndarray, np.ndarray, np.ndarray, str, str]:
    """The vector drawn at the grid points ``index`` in the figure's data frame (map x and y, or
    image columns and rows downwards), its length, the colour bar's label and the unit of the scale arrow: speed
    when dated, else the displacement in map units (in pixels for a plain image). NaN where no
    accepted vector is."""
    georeferenced = vf is not None and vf.crs is not None
    if vf is None:
        u, w = result.dx[index], result.dy[index]
        return u, w, np.hypot(u, w), "displacement (pixels)", "px"
    ok = vf.status[index] == ACCEPTED
    if "vx" in vf.values:
        u, w, unit, what = vf.values["vx"][index], vf.values["vy"][index], vf.unit(VARIABLES_BY_NAME["vx"]), "speed"
        if not georeferenced:
            unit = "px/yr"
    else:
        u, w, unit, what = vf.values["dx_map"][index], vf.values["dy_map"][index], vf.map_unit, "displacement"
        if not georeferenced:
            unit = "px"
    if not georeferenced:
        w = -w  # the map frame's y counts upwards, the figure's rows downwards
    u, w = np.where(ok, u, np.nan), np.where(ok, w, np.nan)
    label = f"{what} ({unit.replace('pixel', 'px')})"
    return u, w, np.hypot(u, w), label, unit.replace("pixel", "px")


def _thinned(frame: _Frame, grid: tuple[np.ndarray, np.ndarray, np.ndarray], per_side: int
             ) -> tuple[int, np.ndarray, np.ndarray, np.ndarray]:
    """Every thin-th grid point along both axes, at most ``per_side`` a side: thin, the points'
    indices and their figure coordinates."""
    index, rows, cols = grid
    thin = max(1, -(-max(index.shape) // per_side))
    shown = index[::thin, ::thin]
    at_x = frame.x(np.broadcast_to(cols[::thin], shown.shape).ravel())
    at_y = frame.y(np.broadcast_to(rows[::thin, np.newaxis], shown.shape).ravel())
    return thin, shown.ravel(), at_x, at_y


def _draw_marks(ax: Any, frame: _Frame, grid: tuple[np.ndarray, np.ndarray, np.ndarray],
                all_status: np.ndarray) -> int:
    """Small grey marks where no vector is: crosses for outliers, dots for the rest."""
    thin, shown, at_x, at_y = _thinned(frame, grid, PLOT_POINTS_PER_SIDE)
    status = all_status[shown]
    outlier_everywhere = all_status == OUTLIER
    none_everywhere = (all_status != ACCEPTED) & ~outlier_everywhere
    for sel, everywhere, marker, size, name in (
            (status == OUTLIER, outlier_everywhere, "x", 10, "outlier"),
            ((status != ACCEPTED) & (status != OUTLIER), none_everywhere, ".", 6, "no vector")):
        if sel.any():
            ax.scatter(at_x[sel], at_y[sel], s=size, marker=marker, color="0.3", alpha=0.8, linewidths=0.6,
                       label=f"{name} ({int(np.count_nonzero(everywhere))})", zorder=2)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(loc="lower right", fontsize="x-small", framealpha=0.7, markerscale=1.5)
    return thin


def _draw_arrows(ax: Any, frame: _Frame, grid: tuple[np.ndarray, np.ndarray, np.ndarray],
                 result: TrackResult, unit: str) -> int:
    """Arrows on the accepted vectors, scaled so that the fast flow (the 95th percentile of the
    lengths drawn) spans about one arrow spacing, with a scale arrow of a round value."""
    thin, shown, at_x, at_y = _thinned(frame, grid, PLOT_ARROWS_PER_SIDE)
    u, w, length, _, _ = _plot_quantity(result, result.vector_field, shown)
    drawn = np.isfinite(length)
    typical = float(np.percentile(length[drawn], 95)) if drawn.any() else 0.0
    if not typical > 0:
        return thin
    step = Settings.of(result.params).step
    spacing = thin * min(abs(step[0] * frame.sx), abs(step[1] * frame.sy))
    per_unit = 0.9 * spacing / typical
    # minlength 0: vectors far shorter than the scale (stable ground) draw nothing, not a dot.
    q = ax.quiver(at_x[drawn], at_y[drawn], u[drawn], w[drawn], angles="xy", scale_units="xy",
                  scale=1.0 / per_unit, color="white", edgecolor="black", linewidth=0.5,
                  width=0.003, headwidth=4, minlength=0, zorder=3)
    key = _nice(typical)
    ax.quiverkey(q, 0.84, 1.015, key, f"{key:g} {unit}", labelpos="E", coordinates="axes",
                 color="black", fontproperties={"size": "small"})
    return thin


@register_writer("plot", side_by_side=True)
def write_plot(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.png: the vector field over a grey rendering of image 1.

    Colour shows the speed (map units per year) where the run is dated, else the displacement
    (map units, or pixels for a plain image), on the grid's cells; arrows on the accepted
    vectors are scaled to that same quantity, with a scale arrow labelled in its unit. A
    georeferenced run has map axes (easting and northing, in km past 5 km of metres) and the
    dates in the title. Rejected points are small grey marks (outliers as crosses).

    Drawn on ``result.preview`` (image 1 downsampled to at most about 2000 pixels a side, and
    further to ``PLOT_IMAGE_SIDE``), the colour layer on at most ``PLOT_IMAGE_SIDE`` cells a side
    and, on dense grids, the arrows and marks on every k-th grid row and column only, so that
    its cost stays bounded however large the scene; the title and the legend count every point.
    """
    if result.preview is None:
        return []
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    path = folder / "vectors.png"
    vf = result.vector_field
    p = result.params
    reduce = -(-max(result.preview.shape) // PLOT_IMAGE_SIDE)
    image, k = result.preview[::reduce, ::reduce], result.preview_step * reduce
    all_status = status_of(result.records) if vf is None else vf.status
    grid_shape = result.grid.dx.shape
    accepted_count = int(np.count_nonzero(all_status == Status.accepted))
    rows, cols = result.image_shape
    frame = _frame(result, vf)
    scale = 10.0 / max(rows, cols)
    fig = Figure(figsize=(max(cols * scale, 4.0) + 2.0, max(rows * scale, 4.0) + 0.4), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    # A preview pixel covers k x k image pixels.
    ax.imshow(image, cmap="gray", vmin=0, vmax=255, interpolation="nearest",
              extent=(float(frame.x(-0.5)), float(frame.x(image.shape[1] * k - 0.5)),
                      float(frame.y(image.shape[0] * k - 0.5)), float(frame.y(-0.5))))
    title = ""
    if all_status.size:
        point_index = np.arange(all_status.size).reshape(grid_shape)
        settings = Settings.of(p)
        grid_rows = settings.start[1] + settings.step[1] * np.arange(grid_shape[0])
        grid_cols = settings.start[0] + settings.step[0] * np.arange(grid_shape[1])

        # The colour layer: every r-th cell, each drawn r cells wide around its own centre.
        r = max(1, -(-max(grid_shape) // PLOT_IMAGE_SIDE))
        cells = point_index[::r, ::r]
        _, _, colour, label, unit = _plot_quantity(result, vf, cells.ravel())
        colour = colour.reshape(cells.shape)
        finite = colour[np.isfinite(colour)]
        top = float(np.percentile(finite, 99)) if finite.size else 1.0
        sx, sy = r * settings.step[0], r * settings.step[1]
        layer = ax.imshow(colour, cmap="viridis", vmin=0.0, vmax=top if top > 0 else 1.0, alpha=0.65,
                          interpolation="nearest",
                          extent=(float(frame.x(grid_cols[0] - sx / 2)),
                                  float(frame.x(grid_cols[0] + (cells.shape[1] - 0.5) * sx)),
                                  float(frame.y(grid_rows[0] + (cells.shape[0] - 0.5) * sy)),
                                  float(frame.y(grid_rows[0] - sy / 2))))
        fig.colorbar(layer, ax=ax, label=label, fraction=0.046, pad=0.04, extend="max")

        grid = (point_index, grid_rows, grid_cols)
        _draw_marks(ax, frame, grid, all_status)
        thin = _draw_arrows(ax, frame, grid, result, unit)
        if thin > 1:
            title = f"; arrows on one grid point in {thin}x{thin}"
    what = "Displacement" if vf is None or vf.dt_days is None else "Speed"
    if vf is not None and vf.dates is not None and vf.dt_days is not None:
        what += f", {_when(vf.dates[0])} to {_when(vf.dates[1])} ({vf.dt_days:g} days)"
    ax.set_title(f"{what}\n{accepted_count} of {len(all_status)} points accepted{title}", fontsize="medium")
    ax.set_xlim(float(frame.x(-0.5)), float(frame.x(cols - 0.5)))
    ax.set_ylim(float(frame.y(rows - 0.5)), float(frame.y(-0.5)))
    ax.set_xlabel(frame.xlabel)
    ax.set_ylabel(frame.ylabel)
    fig.savefig(path, dpi=100)
    return [path]
