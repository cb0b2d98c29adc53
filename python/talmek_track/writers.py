"""Result files out, one writer per format, in a registry.

A writer is a function ``writer(folder, result) -> list[pathlib.Path]``: it writes its files into
``folder`` (an existing folder; during a command run a staging folder that is published whole
afterwards, so the writer must not write anywhere else) from ``result`` (a ``TrackResult``) and
returns the paths it wrote, or an empty list when its format does not apply (the rasters need a
georeferenced input). It raises ``OSError`` (or ``OutputError``) when it cannot write. Register
a new format with ``@register_writer("name")``; ``track_files(formats=[...])`` picks formats by
name and writes ``DEFAULT_FORMATS`` by default. ``write_result`` runs the chosen writers on a
finished result and publishes their files, all or none.
"""

from __future__ import annotations

import importlib.util
from collections.abc import Callable, Iterable
from pathlib import Path

import numpy as np

from talmek_track import vector_formats
from talmek_track._facts import STATUS_NAMES, Status, status_name
from talmek_track.errors import require
from talmek_track.matching import RECORD_DTYPE
from talmek_track.publish import Staging, staged
from talmek_track.readers import ImageSource
from talmek_track.results import TrackResult
from talmek_track.velocity import VectorField

Writer = Callable[[Path, TrackResult], list[Path]]

#: The registered writers by format name, in the order they run.
WRITERS: dict[str, Writer] = {}

#: The formats written when none are named: every one but NetCDF (which needs the xarray extra);
#: the GeoPackage only when pyogrio or fiona is installed.
DEFAULT_FORMATS: tuple[str, ...] = ("csv", "geojson", "tif", "gpkg", "plot")


def register_writer(name: str) -> Callable[[Writer], Writer]:
    """Registers ``writer`` under ``name`` (replacing one of that name); use as a decorator.

    Parameters
    ----------
    name : str
        The format's name, as ``track_files(formats=...)`` and the command take it.

    Returns
    -------
    callable
        The decorator, which returns the writer unchanged.
    """
    def add(writer: Writer) -> Writer:
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


def publish_result(staging: Staging, names: list[str], result: TrackResult) -> list[Path]:
    """Writes ``result`` with the writers ``names`` (in that order) into ``staging`` and
    publishes their files, all or none; returns the published paths."""
    written = [path for name in names for path in WRITERS[name](staging.folder, result)]
    return staging.publish(written)


def write_result(out: Path, names: list[str], result: TrackResult) -> list[Path]:
    """``publish_result`` into ``out`` through a staging folder of its own."""
    with staged(out) as staging:
        return publish_result(staging, names, result)


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


@register_writer("csv")
def write_csv(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.csv: every point, its record, its status name, dx, dy and, with a vector field, the
    displacement in map units, velocities and dt_days (when dated) and sigma_x, sigma_y. Outliers
    keep their values; their status says ``outlier`` while ``active`` keeps the engine's code."""
    path = folder / "vectors.csv"
    records = result.records
    vf = result.vector_field
    status = records["active"] if vf is None else vf.status
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
            columns.append(np.array([status_name(a) for a in status[part]], dtype=object))
            columns += [_text(dx[part]), _text(dy[part])]
            for _name, values in extra:
                if values is None:
                    columns.append(np.full(len(columns[0]), repr(vf.dt_days) if vf else "", dtype=object))
                else:
                    columns.append(_text(values[part]))
            f.writelines(",".join(row) + "\n" for row in zip(*columns))
    return [path]


@register_writer("geojson")
def write_geojson(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.geojson (RFC 7946): the accepted and outlier vectors as lines in WGS 84 longitude
    and latitude, every variable as a property."""
    path = folder / "vectors.geojson"
    vector_formats.write_geojson_wgs84(path, _vector_field(result))
    return [path]


@register_writer("tif")
def write_tif(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.tif: a Cloud-Optimised GeoTIFF of the grid, one band per variable, for
    georeferenced input."""
    if result.grid_transform is None or result.records.size == 0:
        return []
    path = folder / "vectors.tif"
    vector_formats.write_cog(path, _vector_field(result))
    return [path]


@register_writer("nc")
def write_nc(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.nc: CF NetCDF of the grid with its coordinates and CRS."""
    require("xarray", "xarray")
    path = folder / "vectors.nc"
    vector_formats.write_netcdf(path, _vector_field(result))
    return [path]


@register_writer("gpkg")
def write_gpkg(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.gpkg: the accepted and outlier vectors in the input's CRS, for georeferenced
    input."""
    if result.crs is None:
        return []
    path = folder / "vectors.gpkg"
    vector_formats.write_gpkg(path, _vector_field(result))
    return [path]


_MARKERS = {"error": "x", "border": "s", "ambiguous": "D", "weak": "v", "too_far": "^",
            "bad_chip_size": "P", "chip_outside": "o", "nodata": "X", "outlier": "*"}


#: The most arrows or markers the figure draws along each grid axis; denser grids are thinned.
PLOT_POINTS_PER_SIDE = 150
#: The figure's image is drawn from at most this many pixels a side: about the axes' own pixels
#: (Matplotlib resamples in double precision, some 70 bytes per pixel drawn).
PLOT_IMAGE_SIDE = 1000


@register_writer("plot")
def write_plot(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.png: the accepted vectors over image 1, rejected points marked by status.

    Drawn on ``result.preview`` (image 1 downsampled to at most about 2000 pixels a side, and
    further to ``PLOT_IMAGE_SIDE``) and,
    on dense grids, with every k-th grid row and column only, so that its cost stays bounded
    however large the scene; the title and the legend count every point.
    """
    if result.preview is None:
        return []
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    path = folder / "vectors.png"
    reduce = -(-max(result.preview.shape) // PLOT_IMAGE_SIDE)
    image, k = result.preview[::reduce, ::reduce], result.preview_step * reduce
    all_status = result.records["active"] if result.vector_field is None else result.vector_field.status
    title = f"{int(np.count_nonzero(all_status == Status.accepted))} of {len(all_status)} points accepted"
    grid_shape = result.grid.dx.shape
    thin = max(1, -(-max(grid_shape) // PLOT_POINTS_PER_SIDE)) if all_status.size else 1
    shown = np.arange(all_status.size).reshape(grid_shape)[::thin, ::thin].ravel()
    records, dx, dy, status = result.records[shown], result.dx[shown], result.dy[shown], all_status[shown]
    step = float(min(result.params.col_interval_, result.params.row_interval_)) * thin
    rows, cols = result.image_shape
    scale = 10.0 / max(rows, cols)
    fig = Figure(figsize=(max(cols * scale, 4.0) + 2.0, max(rows * scale, 4.0)), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    # A preview pixel covers k x k image pixels; extent keeps the axes in image pixels.
    ax.imshow(image, cmap="gray", vmin=0, vmax=255, interpolation="nearest",
              extent=(-0.5, image.shape[1] * k - 0.5, image.shape[0] * k - 0.5, -0.5))
    accepted = status == Status.accepted
    if accepted.any():
        u, v = dx[accepted], dy[accepted]
        lengths = np.hypot(u, v)
        typical = float(np.median(lengths))
        # Displacements are often far below the grid step: stretch them to be seen.
        gain = 0.8 * step / typical if typical > 0 else 1.0
        q = ax.quiver(records["col1"][accepted], records["row1"][accepted], u * gain, v * gain,
                      records["strength"][accepted], angles="xy", scale_units="xy", scale=1,
                      cmap="viridis", width=0.003)
        fig.colorbar(q, ax=ax, label="strength", fraction=0.046, pad=0.04)
        title += f"; arrows x{gain:.3g}"
    if thin > 1:
        title += f"; one grid point in {thin}x{thin} drawn"
    for code in sorted(set(status.tolist()) - {int(Status.accepted)}):
        sel = status == code
        name = STATUS_NAMES.get(code, str(code))
        ax.scatter(records["col1"][sel], records["row1"][sel], s=12, marker=_MARKERS.get(name, "o"),
                   label=f"{name} ({int(np.count_nonzero(all_status == code))})")
    if (~accepted).any():
        ax.legend(loc="upper right", fontsize="small", framealpha=0.8)
    ax.set_xlim(-0.5, cols - 0.5)
    ax.set_ylim(rows - 0.5, -0.5)
    ax.set_title(title)
    fig.savefig(path, dpi=100)
    return [path]
