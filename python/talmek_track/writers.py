"""Result files out, one writer per format, in a registry.

A writer is a function ``writer(folder, result) -> list[pathlib.Path]``: it writes its files into
``folder`` (an existing folder; during a command run a staging folder that is published whole
afterwards, so the writer must not write anywhere else) from ``result`` (a ``TrackResult``) and
returns the paths it wrote, or an empty list when its format does not apply (the rasters need a
georeferenced input). It raises ``OSError`` (or ``OutputError``) when it cannot write. Register
a new format with ``@register_writer("name")``; ``track_files(formats=[...])`` picks formats by
name and writes every registered one by default.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from pathlib import Path

import numpy as np

from talmek_track._facts import STATUS_NAMES, Status, status_name
from talmek_track.matching import RECORD_DTYPE
from talmek_track.results import TrackResult

Writer = Callable[[Path, TrackResult], list[Path]]

#: The registered writers by format name, in the order they run.
WRITERS: dict[str, Writer] = {}


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


FIELDS: tuple[str, ...] = tuple(RECORD_DTYPE.names or ())
CSV_COLUMNS = FIELDS + ("status", "dx", "dy")


@register_writer("csv")
def write_csv(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.csv: every point, its record, its status name and dx, dy."""
    path = folder / "vectors.csv"
    records = result.records
    # NumPy's text form of a float is the shortest that reads back to the same value.
    columns = [records[name].astype(str) for name in FIELDS]
    columns.append(np.array([status_name(a) for a in records["active"]], dtype=object))
    for d in (result.dx, result.dy):
        text = d.astype(str).astype(object)
        text[np.isnan(d)] = ""
        columns.append(text)
    with open(path, "w", newline="") as f:
        f.write(",".join(CSV_COLUMNS) + "\n")
        for row in zip(*columns):
            f.write(",".join(row) + "\n")
    return [path]


def _plain(value: object) -> object:
    if isinstance(value, np.floating):
        v = float(str(value))  # float32 as its shortest decimal
        return v if math.isfinite(v) else None
    if isinstance(value, np.integer):
        return int(value)
    return value


@register_writer("geojson")
def write_geojson(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.geojson: the accepted vectors as lines in image 1's coordinate system."""
    path = folder / "vectors.geojson"
    records, dx, dy = result.records, result.dx, result.dy
    features = []
    for i in np.flatnonzero(records["active"] == Status.accepted):
        rec = records[i]
        props = {name: _plain(rec[name]) for name in FIELDS}
        props.update(status=status_name(Status.accepted), dx=_plain(dx[i]), dy=_plain(dy[i]))
        features.append({
            "type": "Feature",
            "geometry": {"type": "LineString",
                         "coordinates": [[float(rec["x1"]), float(rec["y1"])], [float(rec["x2"]), float(rec["y2"])]]},
            "properties": props,
        })
    doc: dict[str, object] = {"type": "FeatureCollection"}
    epsg = result.crs.to_epsg() if result.crs is not None else None
    if epsg:
        doc["crs"] = {"type": "name", "properties": {"name": f"urn:ogc:def:crs:EPSG::{epsg}"}}
    doc["features"] = features
    path.write_text(json.dumps(doc, allow_nan=False))
    return [path]


@register_writer("rasters")
def write_grid_rasters(folder: Path, result: TrackResult) -> list[Path]:
    """dx.tif, dy.tif, strength.tif and status.tif on the grid, for georeferenced input."""
    if result.grid_transform is None:
        return []
    import rasterio
    from affine import Affine

    grid = result.grid
    written = []
    for name, values in (("dx", grid.dx), ("dy", grid.dy), ("strength", grid.strength),
                         ("status", grid.status)):
        dtype = "int32" if values.dtype.kind == "i" else "float32"
        nodata = None if dtype == "int32" else float("nan")
        path = folder / f"{name}.tif"
        with rasterio.open(path, "w", driver="GTiff", width=values.shape[1],
                           height=values.shape[0], count=1, dtype=dtype, crs=result.crs,
                           transform=Affine(*result.grid_transform), nodata=nodata) as ds:
            ds.write(values.astype(dtype), 1)
        written.append(path)
    return written


_MARKERS = {"error": "x", "border": "s", "ambiguous": "D", "weak": "v", "too_far": "^",
            "bad_chip_size": "P", "chip_outside": "o", "nodata": "X"}


@register_writer("plot")
def write_plot(folder: Path, result: TrackResult) -> list[Path]:
    """vectors.png: the accepted vectors over image 1, rejected points marked by status."""
    if result.preview is None:
        return []
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    path = folder / "vectors.png"
    image, k = result.preview, result.preview_step
    records, dx, dy = result.records, result.dx, result.dy
    step = float(min(result.params.col_interval_, result.params.row_interval_))
    rows, cols = result.image_shape
    scale = 10.0 / max(rows, cols)
    fig = Figure(figsize=(max(cols * scale, 4.0) + 2.0, max(rows * scale, 4.0)), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    # A preview pixel covers k x k image pixels; extent keeps the axes in image pixels.
    ax.imshow(image, cmap="gray", vmin=0, vmax=255, interpolation="nearest",
              extent=(-0.5, image.shape[1] * k - 0.5, image.shape[0] * k - 0.5, -0.5))
    accepted = records["active"] == Status.accepted
    title = f"{int(accepted.sum())} of {len(records)} points accepted"
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
    for code in sorted(set(records["active"].tolist()) - {int(Status.accepted)}):
        sel = records["active"] == code
        name = STATUS_NAMES.get(code, str(code))
        ax.scatter(records["col1"][sel], records["row1"][sel], s=12, marker=_MARKERS.get(name, "o"),
                   label=f"{name} ({int(sel.sum())})")
    if (~accepted).any():
        ax.legend(loc="upper right", fontsize="small", framealpha=0.8)
    ax.set_xlim(-0.5, cols - 0.5)
    ax.set_ylim(rows - 0.5, -0.5)
    ax.set_title(title)
    fig.savefig(path, dpi=100)
    return [path]
