"""Image inputs: what a file holds, and any window of it as 8-bit grey.

``open_source`` inspects an input (a local file, or with rasterio anything GDAL opens: ``/vsi*``
paths, URLs, any raster format) without reading its pixels and returns an ``ImageSource``: a
small, picklable description (path, reader, size, bands, page, nodata, georeference, metadata
tags and the value range that maps its pixels onto 0..255). ``ImageSource.read`` reads one
``Window`` of it, so that matching needs only the windows its chips cover; every process (a
worker of a distributed run too) opens the file itself.

Every kind of input has one reader class: ``RasterioReader`` when rasterio is installed;
otherwise ``TifffileReader`` for TIFF (memory-mapped when the file is stored plainly) and
``ImageioReader`` for PNG and JPEG, read whole; ``ArrayReader`` for images given as arrays.
Colour (RGB) becomes grey with weights 0.299, 0.587, 0.114; an alpha channel is ignored; other
multi-band files give one band (``band``, default 1); a multi-page TIFF needs ``page``. A new
kind of input is a new ``Reader`` subclass registered in ``READERS``, with a branch in
``open_source`` that chooses it. Every file is admitted and opened through ``gate.py``, the one
gate of all rasters (the source policy, the pixel and tile limits).
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import re
import shutil
import threading
import warnings
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime
from typing import Any, ClassVar, NamedTuple

import numpy as np
import numpy.typing as npt

from talmek_track.errors import ImageWarning, InputError, TrackError, describe_error, one_line
from talmek_track.options.dates import date_from_tags
from talmek_track.options.values import (
    DEFAULT_MAX_PIXELS,
    DEFAULT_PERCENTILES,
    SourcePolicy,
    ValueRange,
)
from talmek_track.sources.convert import (
    apply_range,
    check_pixel_type,
    percentile_range,
    sample_step,
    scale_range,
    warn_range,
)
from talmek_track.sources.gate import (
    Role,
    admit,
    check_pixels,
    check_tiff_page,
    decode_image,
    image_shape,
    open_raster,
    open_tiff,
)
from talmek_track.sources.gate import is_local as _is_local
from talmek_track.sources.remote import _LOCAL_COPIES, gdal_path, network_settings, remove_stale_copies

#: An affine geotransform (a, b, c, d, e, f), as rasterio's Affine lists it.
Transform = tuple[float, float, float, float, float, float]


class Window(NamedTuple):
    """A window of an image: rows ``row0`` to ``row1`` and columns ``col0`` to ``col1``, ends
    exclusive, in the image's own pixels."""

    row0: int
    row1: int
    col0: int
    col1: int

    @classmethod
    def whole(cls, shape: tuple[int, int]) -> Window:
        """The whole image of ``shape`` (rows, cols)."""
        return cls(0, shape[0], 0, shape[1])

    @property
    def shape(self) -> tuple[int, int]:
        """(rows, cols) of the window."""
        return self.row1 - self.row0, self.col1 - self.col0

    def inside(self, shape: tuple[int, int]) -> bool:
        """Whether the window lies within an image of ``shape``, ends not before starts."""
        return 0 <= self.row0 <= self.row1 <= shape[0] and 0 <= self.col0 <= self.col1 <= shape[1]

    def widened(self, by: int, shape: tuple[int, int]) -> Window:
        """The window grown by ``by`` pixels on every side, cut to an image of ``shape``."""
        return Window(max(0, self.row0 - by), min(shape[0], self.row1 + by),
                      max(0, self.col0 - by), min(shape[1], self.col1 + by))

    def describe(self) -> str:
        """'rows a..b columns c..d', last ones included, for messages."""
        return f"rows {self.row0}..{self.row1 - 1} columns {self.col0}..{self.col1 - 1}"


_GREY_WEIGHTS = np.array([0.299, 0.587, 0.114])


#: The largest error, in pixels, of the approximated coordinate transform of a warp.
WARP_TOLERANCE = 0.001


@dataclass(frozen=True)
class Warp:
    """The grid an image is read on when it is not its own: the file is resampled onto it window
    by window as it is read (a GDAL warped view built here, never a file).

    Attributes
    ----------
    crs : str
        The grid's coordinate system as WKT.
    transform : tuple of float
        The grid's geotransform.
    shape : (int, int)
        The grid's (rows, cols).
    resampling : str
        One of ``WARP_RESAMPLING``.
    source_crs : str
        The file's own coordinate system, as text for messages and records.
    source_cellsize : float
        The file's own pixel size, in its own map units.
    source_shape : (int, int)
        The file's own (rows, cols).
    """

    crs: str
    transform: Transform
    shape: tuple[int, int]
    resampling: str
    source_crs: str = ""
    source_cellsize: float = 0.0
    source_shape: tuple[int, int] = (0, 0)

    def describe(self) -> str:
        """One line: from which grid to which, and how."""
        return (f"resampled ({self.resampling}) from {self.source_crs}, {self.source_cellsize:g} "
                f"per pixel, onto {self.shape[1]} x {self.shape[0]} pixels of {self.transform[0]:g}")


@dataclass(frozen=True)
class LocalCopy:
    """A whole copy of a remote file that this run fetched: its path, and the identity of the
    file there (machine, device, inode, size, modification time). A process elsewhere cannot
    find the same file at that path, so it never takes another file for the copy."""

    path: str
    identity: tuple[str, int, int, int, int]

    @classmethod
    def of(cls, path: str) -> LocalCopy:
        return cls(path, _identity(path))

    def usable(self) -> str | None:
        """The copy's path when this process sees that very file, else None."""
        try:
            return self.path if _identity(self.path) == self.identity else None
        except OSError:
            return None


def _identity(path: str) -> tuple[str, int, int, int, int]:
    import socket

    st = os.stat(path)
    return socket.gethostname(), st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


@dataclass(frozen=True)
class ImageSource:
    """One image input as ``open_source`` found it; picklable, holds no open file.

    Attributes
    ----------
    path : str
        The input as the user gave it (messages name it).
    reader : {"rasterio", "tifffile", "imageio", "array"}
        The name of the reader (a key of ``READERS``) that reads it.
    shape : (int, int)
        (rows, cols).
    dtype : str
        The pixel type of the bands read.
    bands : tuple of int
        The bands read, counted from 1; three bands are colour, combined to grey.
    page : int or None
        The TIFF page read, counted from 1, for a multi-page file.
    nodata : float or None
        The value that marks missing pixels (NaN in float images always does).
    transform : tuple of float or None
        The affine geotransform at pixel corners; None for a plain image.
    crs : object or None
        The coordinate system (a rasterio CRS).
    value_range : (float, float) or None
        The range mapped onto 0..255; None takes uint8 pixels as they are.
    array : numpy.ndarray or None
        The pixels themselves (rows, cols, bands) for an image given as an array
        (reader "array").
    tags : mapping of str to str
        The metadata tags read when the input was opened (GDAL metadata of the dataset and its
        band, the TIFF DateTime tag, a DataArray's attrs); ``acquisition_date`` reads them.
    driver : str or None
        The one GDAL driver that may open the input (every process opens it with that driver
        alone); None lets GDAL choose any (``allow_any_source``).
    warp : Warp or None
        The grid the file is resampled onto as it is read (``shape``, ``transform`` and ``crs``
        then describe that grid, and pixels outside the file read as missing); None: its own.
    copy : LocalCopy or None
        For a remote file that this run fetched whole: where the copy lies, so that every
        process on the same machine (Dask workers too) reads the copy instead of the network;
        a process elsewhere reads the file itself.
    held : Window or None
        For the reader "held": the part of the image that ``array`` holds, as stored (rows, cols,
        bands read); reads outside it are refused (see ``holding``).
    timeout : (float, float) or None
        For a file read over the network (S3, HTTP(S) not fetched whole): GDAL's connect and
        read timeouts, in seconds (``network_settings``); None: ``DEFAULT_TIMEOUT``.
    """

    path: str
    reader: str
    shape: tuple[int, int]
    dtype: str
    bands: tuple[int, ...] = (1,)
    page: int | None = None
    nodata: float | None = None
    transform: Transform | None = None
    crs: Any = None
    value_range: tuple[float, float] | None = None
    array: np.ndarray | None = dataclasses.field(default=None, compare=False, repr=False)
    tags: Mapping[str, str] = dataclasses.field(default_factory=dict, compare=False, repr=False)
    driver: str | None = None
    warp: Warp | None = None
    copy: LocalCopy | None = dataclasses.field(default=None, compare=False, repr=False)
    held: Window | None = dataclasses.field(default=None, compare=False, repr=False)
    timeout: tuple[float, float] | None = dataclasses.field(default=None, compare=False, repr=False)

    @property
    def colour(self) -> bool:
        return len(self.bands) == 3

    @property
    def warp_source_shape(self) -> tuple[int, int]:
        """(rows, cols) of the file itself (for a warped source, not of the grid it is read on)."""
        return self.shape if self.warp is None else self.warp.source_shape

    @property
    def _reader(self) -> Reader:
        return READERS[self.reader]

    def acquisition_date(self) -> datetime | None:
        """The acquisition date its metadata tags name, or None."""
        return date_from_tags(self.tags, self.path)

    def read_raw(self, window: Window | tuple[int, int, int, int]) -> npt.NDArray[Any]:
        """The window's pixels as stored, (rows, cols, bands)."""
        window = Window(*window)
        if not window.inside(self.shape):
            raise ValueError(f"window {tuple(window)} leaves the image of shape {self.shape}")
        return self._reader.read(self, window)

    def read(self, window: Window | None = None) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
        """The window (default: the whole image) as 8-bit grey, and where pixels are missing.

        Returns
        -------
        pixels : numpy.ndarray of uint8, shape (rows, cols)
            Converted with ``value_range`` (missing pixels hold 0).
        invalid : numpy.ndarray of bool, shape (rows, cols)
            True where a pixel is not finite or equals ``nodata`` in any band read.
        """
        raw = self.read_raw(window or Window.whole(self.shape))
        invalid = self.invalid_of(raw)
        grey = self._grey(raw)
        if self.value_range is None:
            if grey.dtype.kind == "f" and self.warp is not None:
                grey = np.where(invalid, 0.0, grey)  # outside the file: NaN, to be left out
            if grey.dtype != np.uint8:
                grey = np.clip(np.rint(grey), 0, 255).astype(np.uint8)
            return grey, invalid
        return apply_range(grey, *self.value_range), invalid

    def read_scaled(self, window: Window | None = None) -> tuple[np.ndarray, npt.NDArray[np.bool_]]:
        """As ``read``, but a wider pixel type comes before its rounding to 8 bits: the grey values
        scaled by ``value_range`` onto 0..255 as float64 (``read`` rounds exactly these). uint8
        images come as ``read`` gives them. Pre-filters read through here."""
        if self.value_range is None:
            return self.read(window)
        raw = self.read_raw(window or Window.whole(self.shape))
        return scale_range(self._grey(raw), *self.value_range), self.invalid_of(raw)

    def invalid_of(self, raw: np.ndarray) -> npt.NDArray[np.bool_]:
        """Where raw pixels (rows, cols, bands) are missing: not finite, or ``nodata`` in a band."""
        invalid = np.zeros(raw.shape[:2], bool)
        if raw.dtype.kind == "f":
            invalid |= ~np.isfinite(raw).all(axis=-1)
        if self.nodata is not None and not math.isnan(self.nodata):
            invalid |= (raw == self.nodata).any(axis=-1)
        return invalid

    def _grey(self, raw: np.ndarray) -> np.ndarray:
        if self.colour:
            grey: np.ndarray = raw.astype(np.float64) @ _GREY_WEIGHTS
            return grey
        return raw[..., 0]

    def sample(self) -> np.ndarray:
        """Grey values of a regular subsample: every k-th row and column (``sample_step``), the
        same pixels whether the image is read whole or by windows."""
        k = sample_step(self.shape)
        try:
            parts = [self._grey(raw)[:, ::k] for raw in self.read_rows(range(0, self.shape[0], k))]
        except (TrackError, MemoryError):
            raise
        except Exception as e:  # noqa: BLE001 - a damaged or vanished file is an unreadable input
            raise InputError(f"cannot read {self.path} (its value-range sample): {describe_error(e)}") from e
        if not parts:
            return np.empty((0, 0))
        return np.concatenate(parts, axis=0)

    def holding(self, raw: np.ndarray, region: Window) -> ImageSource:
        """This source read from ``raw``, the pixels of ``region`` as stored (rows, cols, bands
        read), instead of from its file: every read of a window inside the region gives what the
        file gives, and a read outside it is an error, never a silent read of the file."""
        region = Window(*region)
        if raw.shape[:2] != region.shape or raw.shape[2:] != (len(self.bands),):
            raise ValueError(f"held pixels of shape {raw.shape} do not fit {region.describe()}")
        return dataclasses.replace(self, reader=HeldReader.name, array=raw, held=region)

    def read_rows(self, rows: Iterable[int]) -> Iterator[np.ndarray]:
        """Whole rows as stored, one (1, cols, bands) array per row, opening the file once."""
        return self._reader.rows(self, rows)

    def with_range(self, value_range: ValueRange,
                   percentiles: tuple[float, float] = DEFAULT_PERCENTILES) -> ImageSource:
        """This source with the range that maps its pixels onto 0..255 settled (see ``to_uint8``):
        computed once for the whole image, so every window converts alike."""
        check_pixel_type(np.dtype(self.dtype), self.path)
        if self.warp is not None:
            # The range of the file's own pixels: the same as without the warp, and read from
            # the file as it is stored.
            own = dataclasses.replace(self, warp=None, shape=self.warp_source_shape,
                                      nodata=self.nodata).with_range(value_range, percentiles)
            return dataclasses.replace(self, value_range=own.value_range)
        if self.dtype == "uint8":
            return dataclasses.replace(self, value_range=None)
        if value_range is None:
            raise InputError(f"{self.path} holds {self.dtype} pixels, not uint8, and no value "
                             "range was allowed to convert them")
        if value_range == "auto":
            return self.with_sample(self.sample(), percentiles)
        lo, hi = (float(v) for v in value_range)
        if not (math.isfinite(lo) and math.isfinite(hi) and lo <= hi):
            raise InputError(f"value range {lo:g}..{hi:g} must be two finite numbers, low <= high")
        return dataclasses.replace(self, value_range=(lo, hi))

    def with_sample(self, sample: np.ndarray,
                    percentiles: tuple[float, float] = DEFAULT_PERCENTILES) -> ImageSource:
        """This source with the automatic range of ``sample``, the grey values of the pixels that
        ``sample`` reads (in any order: the range depends on their values alone), so that a run
        that gathered them elsewhere (``SampleGrid``) settles the range ``with_range`` would."""
        lo, hi = percentile_range(sample, percentiles, self.nodata)
        warn_range(self.path, np.dtype(self.dtype), lo, hi, percentiles)
        return dataclasses.replace(self, value_range=(lo, hi))

    def preview(self, max_side: int = 2000) -> tuple[npt.NDArray[np.uint8], int]:
        """The image as 8-bit grey, every k-th pixel, at most about ``max_side`` on its longer
        side; returns it and k."""
        k = max(1, math.ceil(max(self.shape) / max_side))
        grey = self._grey(self._reader.decimated(self, k))
        if self.warp is not None:
            grey = np.nan_to_num(grey, nan=0.0)  # outside the file
        if self.value_range is None:
            return np.clip(np.rint(grey), 0, 255).astype(np.uint8), k
        return apply_range(grey, *self.value_range), k


# --- readers ------------------------------------------------------------------------------------

class Reader:
    """How one kind of input is read. Readers hold no state: an ``ImageSource`` names its reader,
    and every process looks the reader up by that name and opens the input itself."""

    name: ClassVar[str]

    def read(self, source: ImageSource, window: Window) -> np.ndarray:
        """The window's pixels as stored, (rows, cols, bands); the window lies inside."""
        raise NotImplementedError

    def rows(self, source: ImageSource, rows: Iterable[int]) -> Iterator[np.ndarray]:
        """Whole rows, one (1, cols, bands) array each."""
        for r in rows:
            yield self.read(source, Window(r, r + 1, 0, source.shape[1]))

    def decimated(self, source: ImageSource, k: int) -> np.ndarray:
        """Every k-th pixel of every k-th row, (rows, cols, bands)."""
        return self.read(source, Window.whole(source.shape))[::k, ::k]


class RasterioReader(Reader):
    """Anything GDAL opens, through rasterio, window by window."""

    name = "rasterio"

    def read(self, source: ImageSource, window: Window) -> np.ndarray:
        from rasterio.windows import Window as RioWindow

        rows, cols = window.shape
        with _open_source(source) as ds:
            data = ds.read(list(source.bands), window=RioWindow(window.col0, window.row0, cols, rows))
        return np.moveaxis(data, 0, -1)

    def rows(self, source: ImageSource, rows: Iterable[int]) -> Iterator[np.ndarray]:
        from rasterio.windows import Window as RioWindow

        with _open_source(source) as ds:
            for r in rows:
                data = ds.read(list(source.bands), window=RioWindow(0, r, source.shape[1], 1))
                yield np.moveaxis(data, 0, -1)

    def decimated(self, source: ImageSource, k: int) -> np.ndarray:
        from rasterio.enums import Resampling

        rows, cols = (math.ceil(n / k) for n in source.shape)
        with _open_source(source) as ds:
            data = ds.read(list(source.bands), out_shape=(len(source.bands), rows, cols),
                           resampling=Resampling.nearest)
        return np.moveaxis(data, 0, -1)


class _WholeImageReader(Reader):
    """Files decoded (or memory-mapped) whole once per process; windows are slices of that."""

    def read(self, source: ImageSource, window: Window) -> np.ndarray:
        data = _whole(source, bands_only=False)[window.row0:window.row1, window.col0:window.col1]
        return np.asarray(data[..., [b - 1 for b in source.bands]])

    def decimated(self, source: ImageSource, k: int) -> np.ndarray:
        return _whole(source)[::k, ::k]


class TifffileReader(_WholeImageReader):
    """TIFF files without GDAL, memory-mapped where stored plainly."""

    name = "tifffile"


class ImageioReader(_WholeImageReader):
    """PNG and JPEG without GDAL, decoded whole."""

    name = "imageio"


class ArrayReader(Reader):
    """An image given as an array, held, not copied."""

    name = "array"

    def read(self, source: ImageSource, window: Window) -> np.ndarray:
        assert source.array is not None
        part = source.array[window.row0:window.row1, window.col0:window.col1]
        return np.asarray(part[..., [b - 1 for b in source.bands]])

    def decimated(self, source: ImageSource, k: int) -> np.ndarray:
        assert source.array is not None
        return source.array[..., [b - 1 for b in source.bands]][::k, ::k]


class HeldReader(Reader):
    """A part of an image already read, as stored (``ImageSource.holding``): a block whose windows
    were read once and are held reads them again from memory."""

    name = "held"

    def read(self, source: ImageSource, window: Window) -> np.ndarray:
        held = source.held
        assert source.array is not None and held is not None
        if not (held.row0 <= window.row0 <= window.row1 <= held.row1
                and held.col0 <= window.col0 <= window.col1 <= held.col1):
            raise ValueError(f"{window.describe()} of {source.path} lies outside the part held "
                             f"({held.describe()})")
        return source.array[window.row0 - held.row0:window.row1 - held.row0,
                            window.col0 - held.col0:window.col1 - held.col0]

    def decimated(self, source: ImageSource, k: int) -> np.ndarray:
        raise ValueError(f"{source.path}: only a part of the image is held")


#: The readers by name, as ``ImageSource.reader`` names them.
READERS: dict[str, Reader] = {r.name: r for r in (RasterioReader(), TifffileReader(), ImageioReader(),
                                                   ArrayReader(), HeldReader())}


def tile_rows(source: ImageSource) -> int:
    """The rows of the blocks (tiles or strips) the file is stored in, 1 when no file says."""
    if source.reader != RasterioReader.name or source.warp is not None:
        return 1
    with _open_dataset(source.path, source.page, source.driver, source.copy, timeout=source.timeout) as ds:
        return int(ds.block_shapes[source.bands[0] - 1][0])


# --- the value-range sample gathered from windows ----------------------------------------------

@dataclass(frozen=True)
class SamplePart:
    """The pixels of the value-range sample (every k-th row and column) that one window holds:
    the grey values of sample rows ``row`` and columns ``col`` onward, counted in sample steps."""

    row: int
    col: int
    values: np.ndarray

    @classmethod
    def of(cls, source: ImageSource, raw: np.ndarray, window: Window) -> SamplePart:
        """The sample pixels in ``raw``, the pixels of ``window`` of ``source`` as stored."""
        k = sample_step(source.shape)
        r0, c0 = -(-window.row0 // k), -(-window.col0 // k)
        values = source._grey(raw[r0 * k - window.row0::k, c0 * k - window.col0::k])
        return cls(r0, c0, np.ascontiguousarray(values))


class SampleGrid:
    """The value-range sample of one source (the pixels ``ImageSource.sample`` reads) gathered
    from the windows that read it (``SamplePart``), overlaps counted once. The range it gives is
    ``with_range``'s, bit for bit: the same pixels, each once."""

    def __init__(self, source: ImageSource) -> None:
        self.source = source
        self.step = sample_step(source.shape)
        shape = tuple(-(-n // self.step) for n in source.shape)
        self.values = np.zeros(shape, np.float64 if source.colour else source.dtype)
        self.have = np.zeros(shape, bool)

    def add(self, part: SamplePart) -> None:
        rows, cols = part.values.shape
        self.values[part.row:part.row + rows, part.col:part.col + cols] = part.values
        self.have[part.row:part.row + rows, part.col:part.col + cols] = True

    def sample(self) -> np.ndarray:
        """The whole sample, (sample rows, sample columns), as ``ImageSource.sample`` gives it."""
        if not self.have.all():
            raise ValueError(f"{self.source.path}: {int((~self.have).sum())} sample pixels not read")
        return self.values


# --- opening an input -----------------------------------------------------------------------------

def _have_rasterio() -> bool:
    try:
        import rasterio  # noqa: F401
    except ImportError:
        return False
    return True


def open_source(path: str | os.PathLike[str], *, band: int | None = None, page: int | None = None,
                nodata: float | None = None, max_pixels: int | None = DEFAULT_MAX_PIXELS,
                allow_any_source: bool = False, allow_remote: bool = True,
                role: Role | None = None, timeout: tuple[float, float] | None = None) -> ImageSource:
    """Inspects one input without reading its pixels.

    Parameters
    ----------
    path : str or os.PathLike
        A file, or with rasterio installed anything GDAL opens (``/vsimem/...``,
        ``/vsicurl/https://...``, ``/vsizip/...``).
    band : int, optional
        The band to match, counted from 1 (default: grey from colour, else band 1).
    page : int, optional
        The page of a multi-page TIFF, counted from 1; required for such files, ignored for
        files of one page.
    nodata : float, optional
        The value that marks missing pixels, overriding the one the file declares.
    max_pixels : int or None
        The most pixels the image may hold, as its header claims (checked before any pixel is
        decoded); None: no limit.
    allow_any_source : bool
        Whether GDAL may open anything it can (VRT and other descriptions that name further
        files or URLs, driver strings, every ``/vsi`` file system). Without it only plain image
        files are read, locally, over HTTP(S) or S3 (see ``gate.source_driver``).
    allow_remote : bool
        Whether an input over HTTP(S) or S3 is read at all.
    role : gate.Role, optional
        What the raster is for when an option names it (a mask): refusals name the option.
    timeout : (float, float), optional
        For a file read over the network: how long to wait for a connection, and then for the
        next bytes of each answer, in seconds (default ``DEFAULT_TIMEOUT``); every later read of
        the source keeps it.

    Returns
    -------
    ImageSource
        With its metadata tags, and no value range settled yet (see ``ImageSource.with_range``).

    Raises
    ------
    InputError
        The input is missing, not an image, too large, not allowed, or ``band``/``page`` do not
        exist in it.
    """
    text = os.fspath(path)
    if band is not None and band < 1:
        raise InputError(f"bands count from 1, got band {band}")
    if page is not None and page < 1:
        raise InputError(f"pages count from 1, got page {page}")
    if max_pixels is not None and (isinstance(max_pixels, bool) or not isinstance(max_pixels, int)
                                   or max_pixels < 1):
        raise InputError(f"max_pixels must be a whole number of at least 1 or None, got {max_pixels!r}")
    driver = admit(text, SourcePolicy(allow_any_source, max_pixels, allow_remote), role=role)
    try:
        if _have_rasterio():
            source = _open_rasterio(text, band, page, nodata, driver, max_pixels, role, timeout)
        elif text.lower().endswith((".tif", ".tiff")):
            source = _open_tifffile(text, band, page, nodata, max_pixels, role)
        elif not _is_local(text):
            raise InputError(f"cannot read {text}: GDAL paths need rasterio (pip install 'talmek[geo]')")
        else:
            source = _open_imageio(text, band, page, nodata, max_pixels, role)
    except InputError:
        raise
    except Exception as e:  # noqa: BLE001 - any reader failure is an unreadable input
        raise InputError(f"cannot read {text}: {one_line(e)}") from None
    check = np.dtype(source.dtype)
    if check.kind not in "uif":
        raise InputError(f"cannot read {text}: its pixels are {check}, not a real type")
    if source.shape[0] < 1 or source.shape[1] < 1:
        raise InputError(f"cannot read {text}: the image holds no pixel")
    if text in _LOCAL_COPIES:
        source = dataclasses.replace(source, copy=LocalCopy.of(_LOCAL_COPIES[text]))
    return source


def source_from_array(name: str, data: npt.ArrayLike, nodata: float | None = None,
                      transform: Transform | None = None, crs: Any = None,
                      band: int | None = None, tags: Mapping[str, object] | None = None) -> ImageSource:
    """An image given as an array, (rows, cols) or (rows, cols, bands), as a source that reads
    like a file's; ``name`` stands for the path in messages, ``tags`` for a file's metadata (a
    DataArray's attrs). The array is held, not copied."""
    array = np.asarray(data)
    if array.ndim == 2:
        array = array[..., np.newaxis]
    if array.ndim != 3:
        raise InputError(f"{name} must be an image of (rows, cols) or (rows, cols, bands), got shape {array.shape}")
    if array.dtype.kind not in "uif":
        raise InputError(f"{name} holds {array.dtype} pixels, not a real type")
    count = array.shape[-1]
    bands = _pick_bands(name, count, count in (3, 4), count == 2, band)
    return ImageSource(name, ArrayReader.name, (array.shape[0], array.shape[1]), str(array.dtype), bands,
                       None, nodata, transform, crs, array=array,
                       tags={str(k): str(v) for k, v in (tags or {}).items()})


def _pick_bands(path: str, count: int, colour: bool, alpha_second: bool, band: int | None) -> tuple[int, ...]:
    if band is not None:
        if band > count:
            raise InputError(f"{path} has {count} band{'s' if count > 1 else ''}, no band {band}")
        return (band,)
    if colour:
        warnings.warn(ImageWarning(path, "colour image converted to grey", "converted from colour to grey"),
                      stacklevel=4)
        return (1, 2, 3)
    if count == 2 and alpha_second:
        warnings.warn(ImageWarning(path, "alpha channel ignored", "with their alpha channel ignored"),
                      stacklevel=4)
    elif count > 1:
        warnings.warn(ImageWarning(path, f"{count} bands; band 1 is matched (choose another by its "
                                   "number)", "of several bands, band 1 matched (choose another by its number)",
                                   f"{count} bands"), stacklevel=4)
    return (1,)


def _pages_error(path: str, pages: int) -> InputError:
    return InputError("{path} is a stack of {pages} pages; choose the page to match by its number, "
                      "from 1, with {0} (or store the layers as bands and choose a band)",
                      options=("page",), path=path, pages=pages)


# --- rasterio -------------------------------------------------------------------------------------

@contextmanager
def _open_dataset(path: str, page: int | None, driver: str | None = None,
                  copy: LocalCopy | None = None, role: Role | None = None,
                  timeout: tuple[float, float] | None = None) -> Iterator[Any]:
    local = _LOCAL_COPIES.get(path) or (copy.usable() if copy is not None else None)
    network = None if local is not None or _is_local(path) else network_settings(timeout)
    with open_raster(path, driver, name=local or gdal_path(path), page=page, role=role, network=network) as ds:
        yield ds


@contextmanager
def _open_source(source: ImageSource) -> Iterator[Any]:
    """The source's file opened for reading, through a warped view onto its grid if it has one."""
    with _open_dataset(source.path, source.page, source.driver, source.copy, timeout=source.timeout) as ds:
        if source.warp is None:
            yield ds
            return
        from affine import Affine
        from rasterio.crs import CRS
        from rasterio.enums import Resampling
        from rasterio.vrt import WarpedVRT

        warp = source.warp
        wide = np.dtype(source.dtype).itemsize >= 4 and np.dtype(source.dtype).kind != "f" \
            or np.dtype(source.dtype) == np.float64
        # GDAL's default approximation of the coordinate transform may move pixels by an eighth
        # of one, a matching error of that size; a thousandth of a pixel is far below what
        # matching resolves.
        with WarpedVRT(ds, crs=CRS.from_wkt(warp.crs), transform=Affine(*warp.transform),
                       width=warp.shape[1], height=warp.shape[0],
                       resampling=Resampling[warp.resampling], tolerance=WARP_TOLERANCE,
                       src_nodata=source.nodata, nodata=float("nan"),
                       dtype="float64" if wide else "float32") as vrt:
            yield vrt


def _open_rasterio(path: str, band: int | None, page: int | None, nodata: float | None,
                   driver: str | None = None, max_pixels: int | None = DEFAULT_MAX_PIXELS,
                   role: Role | None = None, timeout: tuple[float, float] | None = None) -> ImageSource:
    from rasterio.enums import ColorInterp

    with _open_dataset(path, None, driver, role=role, timeout=timeout) as ds:
        check_pixels(path, ds.height, ds.width, max_pixels, role)
        pages = len(ds.subdatasets) if ds.driver == "GTiff" else 0
        tags = {str(k): str(v) for k, v in ds.tags().items()}
    if pages > 1 and page is None:
        raise _pages_error(path, pages)
    if page is not None and pages > 1 and page > pages:
        raise InputError(f"{path} has {pages} pages, no page {page}")
    page = page if pages > 1 else None
    with _open_dataset(path, page, driver, role=role, timeout=timeout) as ds:
        check_pixels(path, ds.height, ds.width, max_pixels, role)
        interp = tuple(ds.colorinterp)
        rgb = ds.count >= 3 and interp[:3] == (ColorInterp.red, ColorInterp.green, ColorInterp.blue)
        alpha_second = ds.count == 2 and interp[1] == ColorInterp.alpha
        bands = _pick_bands(path, ds.count, rgb, alpha_second, band)
        dtype = ds.dtypes[bands[0] - 1]
        if len({ds.dtypes[b - 1] for b in bands}) > 1:
            raise InputError(f"cannot read {path}: its colour bands differ in pixel type")
        crs = ds.crs
        transform = None if crs is None and ds.transform.is_identity else tuple(ds.transform)[:6]
        declared = ds.nodatavals[bands[0] - 1]
        shape = (ds.height, ds.width)
        if page is not None:
            tags.update((str(k), str(v)) for k, v in ds.tags().items())
        tags.update((str(k), str(v)) for k, v in ds.tags(1).items())
    return ImageSource(path, RasterioReader.name, shape, str(dtype), bands, page,
                       nodata if nodata is not None else declared, transform, crs, tags=tags,
                       driver=driver, timeout=timeout)


# --- tifffile and imageio: the whole image, memory-mapped or cached -------------------------------

# TIFF tags that make a GeoTIFF: pixel scale, tie points, transformation, geo keys.
_GEO_TAGS = (33550, 33922, 34264, 34735)
_TIFF_DATETIME, _GDAL_METADATA, _GDAL_NODATA = 306, 42112, 42113


def _tiff_tags(tags: Any) -> dict[str, str]:
    """The TIFF DateTime tag and the GDAL metadata items of a page, as GDAL names them."""
    found: dict[str, str] = {}
    if _TIFF_DATETIME in tags:
        found["TIFFTAG_DATETIME"] = str(tags[_TIFF_DATETIME].value)
    if _GDAL_METADATA in tags:
        for name, value in re.findall(r'<Item name="([^"]+)"[^>]*>([^<]*)</Item>',
                                      str(tags[_GDAL_METADATA].value)):
            found[name] = value
    return found


def _open_tifffile(path: str, band: int | None, page: int | None, nodata: float | None,
                   max_pixels: int | None = DEFAULT_MAX_PIXELS, role: Role | None = None) -> ImageSource:
    with open_tiff(path) as tif:
        main = [i for i, p in enumerate(tif.pages) if not (getattr(p, "subfiletype", 0) & 5)]
        if len(main) > 1 and page is None:
            raise _pages_error(path, len(main))
        if page is not None and len(main) > 1 and page > len(main):
            raise InputError(f"{path} has {len(main)} pages, no page {page}")
        page = page if len(main) > 1 else None
        index = main[(page or 1) - 1]
        p = tif.pages[index]
        tags = p.tags
        if any(t in tags for t in _GEO_TAGS):
            warnings.warn(f"{path}: rasterio is not installed (pip install 'talmek[geo]'), "
                          "so this GeoTIFF is read without its georeference", stacklevel=4)
        declared = _parse_nodata(tags[_GDAL_NODATA].value) if _GDAL_NODATA in tags else None
        samples = int(p.samplesperpixel)
        rgb = samples >= 3 and int(p.photometric) == 2
        extra = tuple(getattr(p, "extrasamples", ()) or ())
        alpha_second = samples == 2 and len(extra) == 1 and int(extra[0]) in (1, 2)
        bands = _pick_bands(path, samples, rgb, alpha_second, band)
        shape = (int(p.imagelength), int(p.imagewidth))
        check_pixels(path, *shape, max_pixels, role)
        check_tiff_page(path, p, role)
        dtype = str(p.dtype)
        metadata = _tiff_tags(tif.pages.first.tags)
        if index != 0:
            metadata.update(_tiff_tags(tags))
    return ImageSource(path, TifffileReader.name, shape, dtype, bands, page,
                       nodata if nodata is not None else declared, tags=metadata)


def _open_imageio(path: str, band: int | None, page: int | None, nodata: float | None,
                  max_pixels: int | None = DEFAULT_MAX_PIXELS, role: Role | None = None) -> ImageSource:
    shape = image_shape(path)
    if shape is not None:
        check_pixels(path, *shape, max_pixels, role)
    source = ImageSource(path, ImageioReader.name, (0, 0), "uint8", (1,), None, nodata)
    data = _whole(source, bands_only=False)
    count = data.shape[-1]
    bands = _pick_bands(path, count, count >= 3, count == 2, band)
    return dataclasses.replace(source, shape=(data.shape[0], data.shape[1]), dtype=str(data.dtype),
                               bands=bands)


def _parse_nodata(text: object) -> float | None:
    try:
        return float(str(text).strip().strip("\x00"))
    except ValueError:
        return None


@functools.lru_cache(maxsize=2)
def _decoded(path: str, reader: str, page: int | None, stamp: float) -> np.ndarray:
    """The whole image, bands last: memory-mapped where tifffile can, else decoded once per
    process (the latest two files are kept)."""
    if reader == TifffileReader.name:
        with open_tiff(path) as tif:
            main = [p for p in tif.pages if not (getattr(p, "subfiletype", 0) & 5)]
            p = main[(page or 1) - 1]
            check_tiff_page(path, p)
            planar = int(p.planarconfig) == 2 and int(p.samplesperpixel) > 1
            try:
                data = p.asarray(out="memmap") if p.is_memmappable else p.asarray()
            except ValueError:
                data = p.asarray()
        data = np.asarray(data) if not isinstance(data, np.memmap) else data
        if planar:
            data = np.moveaxis(data, 0, -1)
    else:
        data = decode_image(path)
    if data.ndim == 2:
        data = data[..., np.newaxis]
    if data.ndim != 3:
        raise InputError(f"cannot read {path}: unsupported image shape {data.shape}")
    whole: np.ndarray = data
    return whole


def _whole(source: ImageSource, bands_only: bool = True) -> np.ndarray:
    stamp = os.stat(source.path).st_mtime if _is_local(source.path) else 0.0
    data = _decoded(source.path, source.reader, source.page, stamp)
    if not bands_only:
        return data
    return data[..., [b - 1 for b in source.bands]]


def forget_decoded() -> None:
    """Drops the images that tifffile and imageio decoded whole, and the local copies of remote
    files (those that killed runs left behind too). Runs call it through ``held_inputs``."""
    _decoded.cache_clear()
    while _LOCAL_COPIES:
        _, copy = _LOCAL_COPIES.popitem()
        shutil.rmtree(os.path.dirname(copy), ignore_errors=True)
    remove_stale_copies()


_HELD = threading.Lock()
_RUNS_HOLDING = 0


def hold_inputs() -> None:
    """A run starts: the inputs decoded whole and the remote files fetched are kept until the
    last run of this process that holds them releases them (``release_inputs``), so that two runs
    at once in one process never take each other's copies away."""
    global _RUNS_HOLDING
    with _HELD:
        _RUNS_HOLDING += 1


def release_inputs() -> None:
    """A run ends: the last one to end drops what the runs decoded and fetched
    (``forget_decoded``)."""
    global _RUNS_HOLDING
    with _HELD:
        _RUNS_HOLDING = max(0, _RUNS_HOLDING - 1)
        if _RUNS_HOLDING == 0:
            forget_decoded()
