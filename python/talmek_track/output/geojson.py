"""The GeoJSON of a vector field (RFC 7946): its features in WGS 84 longitude and latitude."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.output.features import features, json_column
from talmek_track.products.velocity import VectorField

__all__ = ["write_geojson_wgs84"]


#: Features of a vector file formatted at a time, so that their text never exists whole.
FEATURES_AT_ONCE = 16384


def _feature_template(names: list[str]) -> str:
    """The text of one GeoJSON LineString feature as ``json.dumps`` writes it, with a ``%s`` for
    each of the four coordinates and each property."""
    props = ", ".join(f"{json.dumps(name)}: %s" for name in (n.replace("%", "%%") for n in names))
    return ('{"type": "Feature", "geometry": {"type": "LineString", "coordinates": [[%s, %s], [%s, %s]]}, '
            '"properties": {' + props + "}}")


def write_geojson_wgs84(path: Path, field: VectorField) -> None:
    """GeoJSON as RFC 7946 asks: WGS 84 longitude and latitude, no ``crs`` member. The ends are
    reprojected from the field's CRS with rasterio (PROJ). A field without a CRS keeps its image
    coordinates (columns, rows upwards), which no reprojection can place on the Earth."""
    index, props = features(field)
    rec = field.records[index]
    x = np.concatenate([rec["x1"], rec["x2"]]).astype(np.float64)
    y = np.concatenate([rec["y1"], rec["y2"]]).astype(np.float64)
    if field.crs is not None and len(x):
        from rasterio.warp import transform

        lon, lat = transform(field.crs, "EPSG:4326", x.tolist(), y.tolist())
        x, y = np.round(np.asarray(lon), 9), np.round(np.asarray(lat), 9)
    if not (np.isfinite(x).all() and np.isfinite(y).all()):
        raise ValueError("a vector's end has no finite position in WGS 84; GeoJSON cannot hold it")
    n = len(index)
    head: dict[str, Any] = {"type": "FeatureCollection"}
    if field.dates is not None:
        head["dates"] = [t.isoformat() for t in field.dates]  # a foreign member (RFC 7946, 6.1)
    template = _feature_template(list(props))
    # The same text as one json.dumps of the whole document, formatted a slice of features at a
    # time, column by column, so that the document never exists whole in memory.
    with open(path, "w") as out:
        out.write(json.dumps(head)[:-1] + ', "features": [')
        for start in range(0, n, FEATURES_AT_ONCE):
            part = slice(start, min(n, start + FEATURES_AT_ONCE))
            ends = (x[part], y[part], x[n:][part], y[n:][part])
            columns = [json_column(c) for c in ends] + [json_column(col[part]) for col in props.values()]
            out.write((", " if start else "") + ", ".join([template % row for row in zip(*columns)]))
        out.write("]}")
