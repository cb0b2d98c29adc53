"""Pairs on different grids: one common grid, onto which an image is resampled as it is read.

Two images that differ in coordinate system or pixel size cannot be matched pixel against pixel.
``common_grid`` chooses the grid both are read on (``grid``: "first", image 1's own, by default;
"second", image 2's; or "EPSG:CODE,RES", a grid of that system and pixel size over image 1's
extent) and returns the sources with a ``Warp`` where a file is not on it. The file is then
resampled window by window, by a GDAL warped view that only this code builds (user-given VRT
descriptions stay refused), with exact per-pixel coordinates and, by default, cubic convolution:
no resampled copy of a scene is ever written. The vector field records the warp in its ``grid``
attribute.

Pairs on the same coordinate system and pixel size are read on their own grids as before (the
shift between them rounded to whole pixels and added to the expected offset).
"""

from __future__ import annotations

import dataclasses
import math

from talmek_track.errors import InputError, one_line
from talmek_track.options.values import DEFAULT_RESAMPLING
from talmek_track.sources.readers import ImageSource, RasterioReader, Transform, Warp

Bounds = tuple[float, float, float, float]


def _bounds(source: ImageSource) -> Bounds:
    assert source.transform is not None
    a, _, c, _, e, f = source.transform
    rows, cols = source.shape
    return c, f + e * rows, c + a * cols, f


def _shown(bounds: Bounds, crs: object) -> str:
    return f"x {bounds[0]:.6g}..{bounds[2]:.6g}, y {bounds[1]:.6g}..{bounds[3]:.6g} ({_crs_name(crs)})"


def _crs_name(crs: object) -> str:
    to_string = getattr(crs, "to_string", None)
    return str(to_string()) if callable(to_string) else str(crs)


def _in(bounds: Bounds, src: object, dst: object) -> Bounds:
    from rasterio.warp import transform_bounds

    if src == dst:
        return bounds
    x0, y0, x1, y1 = transform_bounds(src, dst, *bounds, densify_pts=21)
    return float(x0), float(y0), float(x1), float(y1)


def _overlap(a: Bounds, b: Bounds) -> Bounds | None:
    x0, y0, x1, y1 = max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3])
    return (x0, y0, x1, y1) if x0 < x1 and y0 < y1 else None


def _same_grid(s1: ImageSource, s2: ImageSource) -> bool:
    """Same coordinate system and pixel size: the pair is read on its own grids."""
    if s1.transform is None or s2.transform is None:
        return True  # plain images, or a mixed pair that georef refuses with its own message
    if (s1.crs is None) != (s2.crs is None):
        return True
    if s1.crs is not None and s1.crs != s2.crs:
        return False
    return (math.isclose(s1.transform[0], s2.transform[0], rel_tol=1e-9)
            and math.isclose(s1.transform[4], s2.transform[4], rel_tol=1e-9))


def _warped(source: ImageSource, crs: object, transform: Transform, shape: tuple[int, int],
            resampling: str) -> ImageSource:
    if source.reader != RasterioReader.name:
        raise InputError(f"{source.path} is on another grid than its pair and can only be resampled "
                         "onto it when read through rasterio (pip install 'talmek[geo]')")
    if source.transform is None or source.crs is None:
        raise InputError(f"{source.path} has no coordinate system to resample it from")
    a, b, _, d, e, _ = source.transform
    if b != 0 or d != 0:
        raise InputError(f"{source.path}: rotated or sheared pixels are not supported")
    warp = Warp(crs.to_wkt(), tuple(float(v) for v in transform), shape, resampling,  # type: ignore[attr-defined, arg-type]
                _crs_name(source.crs), abs(a), source.shape)
    return dataclasses.replace(source, shape=shape, transform=warp.transform, crs=crs, warp=warp)


def common_grid(s1: ImageSource, s2: ImageSource, grid: str = "first",
                resampling: str = DEFAULT_RESAMPLING) -> tuple[ImageSource, ImageSource]:
    """Both sources on one grid: unchanged when they share coordinate system and pixel size and
    ``grid`` is "first"; else each one not on the chosen grid is read through a ``Warp`` onto it.
    InputError when the images do not overlap (naming both extents) or one cannot be warped."""
    if grid == "first" and _same_grid(s1, s2):
        return s1, s2
    for s in (s1, s2):
        if s.transform is None or s.crs is None:
            raise InputError(f"{s.path} has no coordinate system, so it cannot be put on another "
                             "grid; both images of a pair on different grids need one")
    b1, b2 = _bounds(s1), _bounds(s2)
    try:
        b2_in_1 = _in(b2, s2.crs, s1.crs)
    except Exception as e:  # noqa: BLE001 - PROJ's reason, on one line
        raise InputError(f"{s1.path} and {s2.path} are in different coordinate systems that cannot be "
                         f"related over their extents: {one_line(e)}") from None
    if not all(math.isfinite(v) for v in b2_in_1) or _overlap(b1, b2_in_1) is None:
        raise InputError(f"{s1.path} and {s2.path} do not overlap: {s1.path} covers "
                         f"{_shown(b1, s1.crs)}, {s2.path} covers {_shown(b2, s2.crs)}")
    if grid == "first":
        return s1, _warped(s2, s1.crs, s1.transform, s1.shape, resampling)  # type: ignore[arg-type]
    if grid == "second":
        return _warped(s1, s2.crs, s2.transform, s2.shape, resampling), s2  # type: ignore[arg-type]
    from rasterio.crs import CRS

    code, res_text = grid.split(":", 1)[1].split(",")
    crs = CRS.from_epsg(int(code))
    res = float(res_text)
    # Image 1's extent in that system, on a grid aligned to whole multiples of the pixel size.
    try:
        x0, y0, x1, y1 = _in(b1, s1.crs, crs)
    except Exception as e:  # noqa: BLE001
        raise InputError(f"{s1.path} cannot be put on a grid of {grid.split(',')[0]}: {one_line(e)}") from None
    x0, y1 = math.floor(x0 / res) * res, math.ceil(y1 / res) * res
    cols, rows = math.ceil((x1 - x0) / res), math.ceil((y1 - y0) / res)
    transform: Transform = (res, 0.0, x0, 0.0, -res, y1)
    return (_warped(s1, crs, transform, (rows, cols), resampling),
            _warped(s2, crs, transform, (rows, cols), resampling))


def grid_note(s1: ImageSource, s2: ImageSource) -> str | None:
    """The record of a pair's warp for the outputs (None when both are read on their own grids)."""
    notes = [f"image {k} {s.warp.describe()}" for k, s in ((1, s1), (2, s2)) if s.warp is not None]
    if not notes:
        return None
    return f"{'; '.join(notes)}; grid {_crs_name(s1.crs)}"


def overlap_share(s1: ImageSource, s2: ImageSource) -> float | None:
    """The share (0 to 1) of image 1's extent that image 2 covers: plain images aligned at their
    top-left pixels, georeferenced ones by their extents in image 1's coordinate system. None
    when the two cannot be related (one georeferenced, the other not, or systems PROJ cannot
    relate); preparing the pair then says why."""
    if s1.transform is None and s2.transform is None:
        (r1, c1), (r2, c2) = s1.shape, s2.shape
        return min(r1, r2) * min(c1, c2) / (r1 * c1) if r1 and c1 else None
    if s1.transform is None or s2.transform is None or (s1.crs is None) != (s2.crs is None):
        return None
    b1 = _bounds(s1)
    try:
        b2 = _in(_bounds(s2), s2.crs, s1.crs)
    except Exception:  # noqa: BLE001 - preparing the pair names the reason
        return None
    area = (b1[2] - b1[0]) * (b1[3] - b1[1])
    if not all(math.isfinite(v) for v in b2) or not area:
        return None
    both = _overlap(b1, b2)
    return 0.0 if both is None else min(1.0, abs((both[2] - both[0]) * (both[3] - both[1]) / area))
