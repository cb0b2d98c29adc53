"""Georeferences: what MatchingParams needs of each image and the shift between two pixel grids."""

from __future__ import annotations

import math
from dataclasses import dataclass

from talmek_track.errors import InputError
from talmek_track.sources.readers import ImageSource, Transform

# Pixel positions and offsets must stay well inside the engine's 32-bit integers.
_LIMIT = 2**31 - 1


@dataclass
class Georeference:
    """What MatchingParams needs of one image: pixel size and the lower-left pixel's centre."""

    cellsize: float
    xll: float
    yll: float

    def top(self, rows: int) -> float:
        return self.yll + (rows - 1) * self.cellsize


def georeference(source: ImageSource) -> Georeference:
    """The georeference of a north-up image with square pixels; InputError for any other."""
    if source.transform is None:
        raise InputError(f"{source.path} is not georeferenced")
    a, b, c, d, e, f = source.transform
    if not all(math.isfinite(v) for v in source.transform):
        raise InputError(f"{source.path}: its georeference holds a value that is not a finite number")
    if b != 0 or d != 0:
        raise InputError(f"{source.path}: rotated or sheared pixels are not supported")
    if a <= 0 or e >= 0:
        raise InputError(f"{source.path}: only north-up images are supported")
    if not math.isclose(a, -e, rel_tol=1e-9):
        raise InputError(f"{source.path}: pixels are not square ({a:g} by {-e:g})")
    rows = source.shape[0]
    # Map positions name pixel centres; the geotransform names corners.
    geo = Georeference(a, c + 0.5 * a, f + e * (rows - 0.5))
    right = geo.xll + (source.shape[1] - 1) * a
    if not all(math.isfinite(v) for v in (geo.xll, geo.yll, geo.top(rows), right, f, c + a * source.shape[1])):
        raise InputError(f"{source.path}: its georeference lies beyond the range of map coordinates")
    return geo


def pair_georeference(s1: ImageSource, s2: ImageSource
                      ) -> tuple[Georeference, Georeference, tuple[int, int]]:
    """Both images' georeferences and the (row, col) shift that takes a pixel of image 1 to the
    pixel of image 2 at the same map position (rounded). Plain images are aligned at their
    top-left pixels, with image 1's rows counted upwards from its bottom as map y. InputError
    when the two cannot be related or do not overlap."""
    rows1, rows2 = s1.shape[0], s2.shape[0]
    if s1.transform is None and s2.transform is None:
        return Georeference(1.0, 0.0, 0.0), Georeference(1.0, 0.0, float(rows1 - rows2)), (0, 0)
    if s1.transform is None or s2.transform is None:
        geo, plain = (s1, s2) if s2.transform is None else (s2, s1)
        raise InputError(f"{geo.path} is georeferenced but {plain.path} is not")
    if (s1.crs is None) != (s2.crs is None) or (s1.crs is not None and s1.crs != s2.crs):
        raise InputError(f"{s1.path} and {s2.path} are in different coordinate systems")
    g1, g2 = georeference(s1), georeference(s2)
    if not math.isclose(g1.cellsize, g2.cellsize, rel_tol=1e-9):
        raise InputError(f"{s1.path} and {s2.path} have different pixel sizes "
                         f"({g1.cellsize:g} and {g2.cellsize:g}); resample one first")
    rows = (g2.top(rows2) - g1.top(rows1)) / g1.cellsize
    cols = (g1.xll - g2.xll) / g1.cellsize
    # Pixel (r, c) of image 1 lies on pixel (r + rows, c + cols) of image 2.
    apart = not (math.isfinite(rows) and math.isfinite(cols))
    if not apart:
        apart = not (max(0.0, -rows) < min(rows1, rows2 - rows) - 0.5
                     and max(0.0, -cols) < min(s1.shape[1], s2.shape[1] - cols) - 0.5)
    if apart:
        raise InputError(f"{s1.path} and {s2.path} do not overlap")
    return g1, g2, (round(rows), round(cols))


def check_offsets(s1: ImageSource, s2: ImageSource, offset: tuple[int, int]) -> None:
    """InputError unless every grid point and its expected position in image 2, moved by
    ``offset`` (rows, cols), stays within the engine's 32-bit pixel range."""
    for axis, name in ((0, "row"), (1, "column")):
        reach = max(s1.shape[axis], s2.shape[axis]) + abs(offset[axis])
        if reach > _LIMIT:
            raise InputError(f"the expected {name} offset {offset[axis]} between {s1.path} and "
                             f"{s2.path} reaches beyond the 32-bit pixel range")


def grid_transform(transform: Transform, start: tuple[int, int], step: tuple[int, int]) -> Transform:
    """The geotransform of the result grid whose cell (i, j) is centred on pixel
    (start_row + i * row_step, start_col + j * col_step) of an image with ``transform``."""
    a, _, c, _, e, f = transform
    (r0, c0), (sy, sx) = start, step
    return (a * sx, 0.0, c + a * (c0 + 0.5 - 0.5 * sx), 0.0, e * sy, f + e * (r0 + 0.5 - 0.5 * sy))
