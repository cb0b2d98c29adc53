"""The GeoPackage of a vector field: its features in the input's own coordinate system."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from talmek_track.output.features import features, plain
from talmek_track.products.velocity import VectorField

__all__ = ["write_gpkg"]


def _linestrings_wkb(x1: np.ndarray, y1: np.ndarray, x2: np.ndarray, y2: np.ndarray) -> np.ndarray:
    """Little-endian WKB LineStrings of two points each: byte order, type 2, point count,
    coordinates; laid out for all lines at once."""
    layout = np.dtype([("order", "u1"), ("type", "<u4"), ("points", "<u4"), ("xy", "<f8", (4,))])
    wkb = np.empty(len(x1), layout)
    wkb["order"], wkb["type"], wkb["points"] = 1, 2, 2
    wkb["xy"] = np.stack([x1, y1, x2, y2], axis=1)
    size = layout.itemsize
    raw = wkb.tobytes()
    return np.array([raw[k:k + size] for k in range(0, len(raw), size)], dtype=object)


def write_gpkg(path: Path, field: VectorField) -> None:
    """The vectors in a GeoPackage layer ``vectors`` in the field's own CRS, through pyogrio (or
    fiona when pyogrio is absent)."""
    index, props = features(field)
    rec = field.records[index]
    crs = str(field.crs.to_wkt()) if field.crs is not None else None
    try:
        import pyogrio.raw
    except ImportError:
        _write_gpkg_fiona(path, rec, props, crs)
        return
    geometry = _linestrings_wkb(rec["x1"], rec["y1"], rec["x2"], rec["y2"])
    names = list(props)
    data = [np.asarray(props[k]) if props[k].dtype != object else props[k] for k in names]
    pyogrio.raw.write(str(path), geometry, data, names, layer="vectors", driver="GPKG",
                      geometry_type="LineString", crs=crs)


def _write_gpkg_fiona(path: Path, rec: np.ndarray, props: dict[str, np.ndarray], crs: str | None) -> None:
    import fiona

    kinds = {"f": "float", "i": "int", "u": "int", "O": "str"}
    schema = {"geometry": "LineString",
              "properties": {k: kinds.get(v.dtype.kind, "str") for k, v in props.items()}}
    with fiona.open(str(path), "w", driver="GPKG", layer="vectors", schema=schema, crs_wkt=crs) as dst:
        for k in range(len(rec)):
            dst.write({"geometry": {"type": "LineString",
                                    "coordinates": [(float(rec["x1"][k]), float(rec["y1"][k])),
                                                    (float(rec["x2"][k]), float(rec["y2"][k]))]},
                       "properties": {n: plain(c[k]) for n, c in props.items()}})
