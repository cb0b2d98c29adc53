"""The Cloud-Optimised GeoTIFF of a vector field: one band per variable over the grid."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.output.dataset import STATUS_FLAGS, attr_name, talmek_version
from talmek_track.products.velocity import VectorField

__all__ = ["write_cog"]


def write_cog(path: Path, field: VectorField) -> None:
    """One Cloud-Optimised GeoTIFF, float32, one band per variable with its name as the band
    description, its unit, NaN as nodata (the status band has no missing cell)."""
    from affine import Affine
    from rasterio.io import MemoryFile
    from rasterio.shutil import copy as copy_dataset

    variables = field.variables
    rows, cols = field.shape
    profile = dict(driver="GTiff", width=cols, height=rows, count=len(variables), dtype="float32",
                   crs=field.crs, transform=Affine(*field.transform), nodata=float("nan"))
    tags = {attr_name(k): _tag_text(v) for k, v in field.attrs.items()}
    tags.update(TITLE="displacement vectors (Talmek)", source=f"Talmek {talmek_version()}")
    if field.dates is not None:
        tags.update(DATE1=field.dates[0].isoformat(), DATE2=field.dates[1].isoformat(),
                    DT_DAYS=repr(field.dt_days))
    with MemoryFile() as memory:
        with memory.open(**profile) as ds:
            for band, var in enumerate(variables, start=1):
                ds.write(field.grid(var.name).astype(np.float32), band)
                ds.set_band_description(band, var.name)
                ds.set_band_unit(band, field.unit(var))
                band_tags = {"long_name": var.long_name}
                if var.name == "status":
                    band_tags["flag_values"] = " ".join(str(k) for k in STATUS_FLAGS)
                    band_tags["flag_meanings"] = " ".join(STATUS_FLAGS.values())
                ds.update_tags(band, **band_tags)
            ds.update_tags(**tags)
        with memory.open() as src:
            copy_dataset(src, str(path), driver="COG", COMPRESS="DEFLATE", PREDICTOR="YES")


def _tag_text(value: Any) -> str:
    """A GeoTIFF tag's text: strings as they are, anything else as JSON (numbers in full)."""
    if isinstance(value, str):
        return value
    if isinstance(value, np.generic):
        value = value.item()
    return json.dumps(value, default=str)
