"""A vector field as features: one LineString per accepted or outlier vector, from its position in
image 1 to its match in image 2, with every variable as a property and the status by name; the
properties of the GeoJSON and GeoPackage writers."""

from __future__ import annotations

import json
import math
from typing import Any

import numpy as np

from talmek_track.output.dataset import STATUS_FLAGS
from talmek_track.products.velocity import ACCEPTED, OUTLIER, VectorField

__all__ = ["features", "json_column", "plain"]


_PER_POINT = ("row1", "col1", "row2", "col2", "x1", "y1", "x2", "y2", "strength", "displacement",
              "rms_1", "rms_2", "active")


def features(field: VectorField) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    """Indices of the accepted and outlier points and their properties, column by column."""
    index = np.flatnonzero((field.status == ACCEPTED) | (field.status == OUTLIER))
    rec = field.records[index]
    props: dict[str, np.ndarray] = {name: rec[name] for name in _PER_POINT}
    codes, inverse = np.unique(field.status[index], return_inverse=True)
    props["status"] = np.array([STATUS_FLAGS[int(c)] for c in codes], dtype=object)[inverse.ravel()]
    for name, values in field.values.items():
        if name != "strength":
            props[name] = values[index]
    return index, props


def plain(value: Any) -> Any:
    if isinstance(value, np.floating):
        v = float(str(value))  # float32 as its shortest decimal
        return v if math.isfinite(v) else None
    if isinstance(value, np.integer):
        return int(value)
    return value


def json_column(values: np.ndarray) -> list[str]:
    """Each value's JSON text as ``json.dumps(plain(value))`` writes it, a whole column at once:
    integers in decimal, floats as the shortest text that reads back to the same double (a float32
    first as its own shortest decimal, read as a double), not-a-number and infinities as null."""
    kind = values.dtype.kind
    if kind in "iu":
        text: list[str] = values.astype(str).tolist()
        return text
    if kind == "f":
        if values.dtype != np.float64:
            values = values.astype(str).astype(np.float64)
        # NumPy's text of a double is Python's repr, which json writes.
        shown = values.astype(str)
        shown[~np.isfinite(values)] = "null"
        text = shown.tolist()
        return text
    return [json.dumps(plain(v), allow_nan=False) for v in values]
