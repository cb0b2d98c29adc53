"""The Cloud-Optimised GeoTIFF of a vector field: one band per variable over the grid.

Its overviews are built here, band by band, rather than by the COG driver (which resamples every
band alike): codes (``status``, ``interp_mask``) by nearest neighbour, so that an overview holds
only codes the full grid holds, and values by the average of the valid cells (NaN where none is)."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from talmek_track.output.dataset import INTERP_FLAGS, STATUS_FLAGS, attr_name, cf_units, talmek_version
from talmek_track.products.velocity import VectorField

__all__ = ["write_cog"]

#: Bands whose overviews take the nearest cell: codes, which an average would turn into others.
NEAREST = frozenset({"status", "interp_mask"})
#: Overviews are halved until the coarsest fits in one tile of this many cells a side (as the COG
#: driver does).
TILE = 512


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
                ds.set_band_unit(band, cf_units(field, var))
                band_tags = {"long_name": var.long_name}
                flags = {"status": STATUS_FLAGS, "interp_mask": INTERP_FLAGS}.get(var.name)
                if flags is not None:
                    band_tags["flag_values"] = " ".join(str(k) for k in flags)
                    band_tags["flag_meanings"] = " ".join(flags.values())
                ds.update_tags(band, **band_tags)
            ds.update_tags(**tags)
        with memory.open() as src, _with_overviews(src, [v.name for v in variables]) as source:
            copy_dataset(source, str(path), driver="COG", COMPRESS="DEFLATE", PREDICTOR="YES",
                         OVERVIEWS="FORCE_USE_EXISTING")


def overview_factors(shape: tuple[int, int]) -> list[int]:
    """The reduction factors of the overviews of a grid of ``shape``: 2, 4, ... until the
    coarsest fits in one tile."""
    factors: list[int] = []
    factor = 1
    while -(-max(shape) // factor) > TILE:
        factor *= 2
        factors.append(factor)
    return factors


def reduce_band(values: np.ndarray, factor: int, nearest: bool) -> np.ndarray:
    """One band reduced by ``factor`` (cells ceil(n / factor) a side): the top-left cell of each
    block for codes, else the mean of the block's finite cells (NaN where none is)."""
    if nearest:
        return values[::factor, ::factor]
    rows, cols = values.shape
    padded = np.full((-(-rows // factor) * factor, -(-cols // factor) * factor), np.nan, np.float64)
    padded[:rows, :cols] = values
    blocks = padded.reshape(padded.shape[0] // factor, factor, padded.shape[1] // factor, factor)
    finite = np.isfinite(blocks)
    count = finite.sum(axis=(1, 3))
    total = np.where(finite, blocks, 0.0).sum(axis=(1, 3))
    with np.errstate(invalid="ignore", divide="ignore"):
        mean: np.ndarray = np.where(count > 0, total / np.maximum(count, 1), np.nan)
    return mean.astype(values.dtype)


@contextlib.contextmanager
def _with_overviews(src: Any, names: list[str]) -> Iterator[Any]:
    """``src`` (an open in-memory GeoTIFF) as a VRT with an overview per factor for each band,
    reduced as the band's kind asks (``reduce_band``); ``src`` itself where the grid needs none."""
    from xml.etree import ElementTree

    from affine import Affine
    from rasterio.io import MemoryFile
    from rasterio.shutil import copy as copy_dataset

    factors = overview_factors((src.height, src.width))
    if not factors:
        yield src
        return
    with contextlib.ExitStack() as stack:
        levels, writers = [], []
        for factor in factors:
            memory = stack.enter_context(MemoryFile())
            writers.append(stack.enter_context(memory.open(
                driver="GTiff", width=-(-src.width // factor), height=-(-src.height // factor),
                count=src.count, dtype=src.dtypes[0], nodata=src.nodata, crs=src.crs,
                transform=src.transform @ Affine.scale(factor))))
            levels.append(memory.name)
        for b, name in enumerate(names, start=1):  # one band in memory at a time
            values = src.read(b)
            for factor, level in zip(factors, writers):
                level.write(reduce_band(values, factor, name in NEAREST), b)
        for level in writers:
            level.close()
        vrt = stack.enter_context(MemoryFile(ext=".vrt"))
        copy_dataset(src, vrt.name, driver="VRT")
        tree = ElementTree.fromstring(vrt.read())
        for source in tree.iter("SourceFilename"):  # the sources by their full in-memory names
            source.set("relativeToVRT", "0")
            source.text = src.name
        for b, band in enumerate(tree.iter("VRTRasterBand"), start=1):
            for level in levels:
                overview = ElementTree.SubElement(band, "Overview")
                ElementTree.SubElement(overview, "SourceFilename", relativeToVRT="0").text = level
                ElementTree.SubElement(overview, "SourceBand").text = str(b)
        described = stack.enter_context(MemoryFile(ElementTree.tostring(tree), ext=".vrt"))
        yield stack.enter_context(described.open())


def _tag_text(value: Any) -> str:
    """A GeoTIFF tag's text: strings as they are, anything else as JSON (numbers in full)."""
    if isinstance(value, str):
        return value
    if isinstance(value, np.generic):
        value = value.item()
    return json.dumps(value, default=str)
