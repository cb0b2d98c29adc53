"""Pixels not to match beside nodata: validity masks and saturated areas.

A validity mask is a raster whose non-zero pixels are invalid in one image (a cloud mask, a scene
classification reduced to its bad classes). It may lie on any grid: it is read on the image's
grid, each image pixel taking the mask pixel under its centre (nearest, through rasterio's
warped view when the grids differ); pixels outside the mask count as valid. Saturated areas are
where bright clouds or snow clip the sensor: pixels whose 3 x 3 neighbourhood lies wholly at the
largest value of the data's range (4095 for 12-bit values stored in 16 bits, 65535 for 16 bits,
...; 8-bit images are left alone). Both feed the nodata masking of the blocks: a point whose
chip touches such a pixel is not matched.

Stable-ground masks (non-zero = stable) are read the same way and sampled at the grid points.
Every mask file passes the gate of all rasters (``gate.py``): the run's source policy and pixel
limit, and errors that name the option that gave the mask.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from talmek_track.errors import InputError, TrackError
from talmek_track.options.values import SourcePolicy
from talmek_track.sources.gate import Role, admit, check_pixels, open_raster, read_failed
from talmek_track.sources.readers import ImageSource, Transform, Window

__all__ = ["ImageValidity", "MaskSource", "open_mask", "saturation_applies", "top_of_range"]

#: A raster mask: a path of a plain image file (any source the run allows), or an array of the
#: image's shape.
Mask = str | os.PathLike[str] | np.ndarray

#: Saturated pixels count only in areas at least this wide and high.
SATURATED_AREA = 3


@dataclass(frozen=True)
class MaskSource:
    """A mask read on one image's grid: ``read(window)`` is True where the mask is non-zero.
    ``role`` names the mask and its option in messages; ``driver`` is the one GDAL driver its
    file is opened with (None: any, with ``allow_any_source``)."""

    name: str
    shape: tuple[int, int]
    path: str | None = None
    array: np.ndarray | None = None
    # The image's grid, when the mask file must be warped onto it.
    transform: Transform | None = None
    crs: Any = None
    role: Role | None = None
    driver: str | None = None

    def read(self, window: Window) -> npt.NDArray[np.bool_]:
        window = Window(*window)
        if self.array is not None:
            part: npt.NDArray[np.bool_] = self.array[window.row0:window.row1, window.col0:window.col1] != 0
            return part
        try:
            data, nodata = self._read_file(window)
        except TrackError:
            raise
        except Exception as e:  # noqa: BLE001 - whatever GDAL raised, the mask is unreadable
            raise read_failed(str(self.path), e, self.role, window.describe()) from None
        on: npt.NDArray[np.bool_] = np.asarray(data != 0)
        if data.dtype.kind == "f":
            on &= np.isfinite(data)
        if nodata is not None and not (isinstance(nodata, float) and math.isnan(nodata)):
            on &= data != nodata
        return on

    def _read_file(self, window: Window) -> tuple[np.ndarray, Any]:
        from rasterio.windows import Window as RioWindow

        rio_window = RioWindow(window.col0, window.row0, window.col1 - window.col0,
                               window.row1 - window.row0)
        with open_raster(str(self.path), self.driver, role=self.role) as ds:
            if self.transform is None:
                data = ds.read(1, window=rio_window)
                nodata = ds.nodata
            else:
                from rasterio.enums import Resampling
                from rasterio.vrt import WarpedVRT

                # Pixels beyond the mask read 0 (valid); a declared nodata is not stable/invalid.
                nodata = ds.nodata
                with WarpedVRT(ds, crs=self.crs, transform=_affine(self.transform),
                               width=self.shape[1], height=self.shape[0],
                               resampling=Resampling.nearest) as vrt:
                    data = vrt.read(1, window=rio_window)
        return data, nodata

    def at_points(self, points: npt.NDArray[np.integer]) -> npt.NDArray[np.bool_]:
        """The mask at each (row, col) point, read one row of points at a time."""
        on = np.zeros(len(points), bool)
        if len(points) == 0:
            return on
        if self.array is not None:
            result: npt.NDArray[np.bool_] = self.array[points[:, 0], points[:, 1]] != 0
            return result
        rows = np.unique(points[:, 0])
        lo, hi = int(points[:, 1].min()), int(points[:, 1].max()) + 1
        # Runs of rows read as one window of at most about 4 million pixels.
        span = max(1, 4_000_000 // max(hi - lo, 1))
        at = 0
        while at < len(rows):
            end = int(np.searchsorted(rows, rows[at] + span, side="left"))
            end = max(end, at + 1)
            first, last = int(rows[at]), int(rows[end - 1])
            block = self.read(Window(first, last + 1, lo, hi))
            sel = (points[:, 0] >= first) & (points[:, 0] <= last)
            on[sel] = block[points[sel, 0] - first, points[sel, 1] - lo]
            at = end
        return on


def _affine(transform: Transform) -> Any:
    from rasterio.transform import Affine

    return Affine(*transform)


def open_mask(mask: Mask, image: ImageSource, name: str, role: Role | None = None,
              policy: SourcePolicy | None = None) -> MaskSource:
    """The mask ``name`` (for messages: "the validity mask of image 1") read on ``image``'s grid,
    its file admitted by ``policy`` (default: the default one) like any input; ``role`` names
    the option that gave it. InputError when it is refused or cannot be read, has no grid to
    relate to the image's and differs in size, or does not overlap the image at all."""
    role = role or Role(name, "mask")
    policy = policy or SourcePolicy()
    if isinstance(mask, np.ndarray):
        if mask.shape != image.shape:
            raise InputError(f"{name}: the mask is {mask.shape[-1]}x{mask.shape[0]} pixels, "
                             f"the image {image.shape[1]}x{image.shape[0]}")
        return MaskSource(name, image.shape, array=np.asarray(mask), role=role)
    path = os.fspath(mask)
    try:
        import rasterio  # noqa: F401
    except ImportError:
        # Without rasterio: a plain raster of the image's own size.
        from talmek_track.sources.readers import open_source

        plain = open_source(path, max_pixels=policy.max_pixels, allow_any_source=policy.allow_any_source,
                            allow_remote=policy.allow_remote, role=role)
        if plain.shape != image.shape:
            raise InputError(f"{path}: {name} is {plain.shape[1]}x{plain.shape[0]} pixels, the image "
                             f"{image.shape[1]}x{image.shape[0]}") from None
        raw = plain.read_raw(Window.whole(plain.shape))[..., 0]
        return MaskSource(name, image.shape, array=raw, role=role)
    driver = admit(path, policy, role=role)
    try:
        with open_raster(path, driver, role=role) as ds:
            shape = (ds.height, ds.width)
            check_pixels(path, *shape, policy.max_pixels, role)
            georef = ds.crs is not None and not ds.transform.is_identity
            bounds, crs = ds.bounds, ds.crs
    except TrackError:
        raise
    except Exception as e:  # noqa: BLE001 - whatever GDAL says, the mask is unreadable
        raise read_failed(path, e, role) from None
    if not georef or image.transform is None or image.crs is None:
        if shape != image.shape:
            raise _unusable(path, f"it is {shape[1]}x{shape[0]} pixels, the image "
                          f"{image.shape[1]}x{image.shape[0]}, and one of them has no "
                          "georeference to relate the two", role)
        return MaskSource(name, image.shape, path=path, role=role, driver=driver)
    from rasterio.warp import transform_bounds

    try:
        left, bottom, right, top = transform_bounds(crs, image.crs, *bounds)
    except Exception as e:  # noqa: BLE001 - no transformation between the two systems
        raise _unusable(path, f"it cannot be related to the image's coordinate system: {e}", role) from e
    a, _, c, _, e_, f = image.transform
    xs = sorted((c, c + a * image.shape[1]))
    ys = sorted((f, f + e_ * image.shape[0]))
    if right <= xs[0] or left >= xs[1] or top <= ys[0] or bottom >= ys[1]:
        raise _unusable(path, "it does not overlap the image", role)
    return MaskSource(name, image.shape, path=path, transform=image.transform, crs=image.crs,
                      role=role, driver=driver)


def _unusable(path: str, reason: str, role: Role) -> InputError:
    return InputError("{label} ({0}) {path}: {reason}", options=(role.option,), label=role.label,
                      path=path, reason=reason)


def saturation_applies(source: ImageSource) -> bool:
    """Whether saturated areas can be told in the image: integer pixels wider than 8 bits. (An
    8-bit image's 255 is as often a contrast stretch's clip, over texture, as a sensor's.)"""
    kind = np.dtype(source.dtype)
    return kind.kind in "ui" and kind.itemsize > 1


def top_of_range(raw: np.ndarray, nodata: float | None) -> int | None:
    """The top of the data's range if the pixels reach it: the smallest 2^k - 1 at or above the
    largest valid value (1023, 4095, 65535, ...), when that value is it; else None."""
    values = raw if nodata is None or math.isnan(nodata) else raw[raw != nodata]
    if values.dtype.kind == "f":
        values = values[np.isfinite(values)]  # outside a warped image's file
    if values.size == 0:
        return None
    top = int(values.max())
    if top < 1 or top != 2 ** math.ceil(math.log2(top + 1)) - 1:
        return None
    return top


@dataclass(frozen=True)
class ImageValidity:
    """What besides nodata makes one image's pixels invalid: a mask, and saturated areas."""

    mask: MaskSource | None = None
    saturated: bool = False

    @property
    def active(self) -> bool:
        return self.mask is not None or self.saturated

    def invalid(self, source: ImageSource, window: Window) -> npt.NDArray[np.bool_] | None:
        """The window's invalid pixels by these rules (None: none apply)."""
        window = Window(*window)
        result = None
        if self.mask is not None:
            result = self.mask.read(window)
        if self.saturated:
            from scipy import ndimage

            # The window's own top: a saturated area's chips lie in windows that hold it, so
            # every block finds the same areas.
            raw = source.read_raw(window)
            if source.warp is not None:
                raw = np.rint(raw)  # resampled: flat areas at the top come within rounding of it
            top = top_of_range(raw, source.nodata)
            if top is None:
                return result
            at_top = raw[..., 0] == top
            for band in range(1, raw.shape[-1]):
                at_top |= raw[..., band] == top
            del raw
            if at_top.any():
                # The middle pixels of squares at the top value: lone bright pixels are texture.
                square = np.ones((SATURATED_AREA, SATURATED_AREA), bool)
                at_top = ndimage.binary_erosion(at_top, structure=square)
                result = at_top if result is None else result | at_top
        return result
