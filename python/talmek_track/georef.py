"""Georeferences: what MatchingParams needs of each image and the shift between two pixel grids."""

from __future__ import annotations

import math
from dataclasses import dataclass

from talmek_track.errors import InputError
from talmek_track.readers import Raster, Transform


@dataclass
class Georeference:
    """What MatchingParams needs of one image: pixel size and the lower-left pixel's centre."""

    cellsize: float
    xll: float
    yll: float

    def top(self, rows: int) -> float:
        return self.yll + (rows - 1) * self.cellsize


def georeference(r: Raster) -> Georeference:
    """The georeference of a north-up image with square pixels; InputError for any other."""
    if r.transform is None:
        raise InputError(f"{r.path} is not georeferenced")
    a, b, c, d, e, f = r.transform
    if b != 0 or d != 0:
        raise InputError(f"{r.path}: rotated or sheared pixels are not supported")
    if a <= 0 or e >= 0:
        raise InputError(f"{r.path}: only north-up images are supported")
    if not math.isclose(a, -e, rel_tol=1e-9):
        raise InputError(f"{r.path}: pixels are not square ({a:g} by {-e:g})")
    rows = r.pixels.shape[0]
    # Map positions name pixel centres; the geotransform names corners.
    return Georeference(a, c + 0.5 * a, f + e * (rows - 0.5))


def pair_georeference(r1: Raster, r2: Raster) -> tuple[Georeference, Georeference, tuple[int, int]]:
    """Both images' georeferences and the (row, col) shift that takes a pixel of image 1 to the
    pixel of image 2 at the same map position (rounded). Plain images are aligned at their
    top-left pixels, with image 1's rows counted upwards from its bottom as map y."""
    rows1, rows2 = r1.pixels.shape[0], r2.pixels.shape[0]
    if r1.transform is None and r2.transform is None:
        return Georeference(1.0, 0.0, 0.0), Georeference(1.0, 0.0, float(rows1 - rows2)), (0, 0)
    if r1.transform is None or r2.transform is None:
        geo, plain = (r1, r2) if r2.transform is None else (r2, r1)
        raise InputError(f"{geo.path} is georeferenced but {plain.path} is not")
    if (r1.crs is None) != (r2.crs is None) or (r1.crs is not None and r1.crs != r2.crs):
        raise InputError(f"{r1.path} and {r2.path} are in different coordinate systems")
    g1, g2 = georeference(r1), georeference(r2)
    if not math.isclose(g1.cellsize, g2.cellsize, rel_tol=1e-9):
        raise InputError(f"{r1.path} and {r2.path} have different pixel sizes "
                         f"({g1.cellsize:g} and {g2.cellsize:g}); resample one first")
    shift = (round((g2.top(rows2) - g1.top(rows1)) / g1.cellsize), round((g1.xll - g2.xll) / g1.cellsize))
    return g1, g2, shift


def grid_transform(transform: Transform, start: tuple[int, int], step: tuple[int, int]) -> Transform:
    """The geotransform of the result grid whose cell (i, j) is centred on pixel
    (start_row + i * row_step, start_col + j * col_step) of an image with ``transform``."""
    a, _, c, _, e, f = transform
    (r0, c0), (sy, sx) = start, step
    return (a * sx, 0.0, c + a * (c0 + 0.5 - 0.5 * sx), 0.0, e * sy, f + e * (r0 + 0.5 - 0.5 * sy))
