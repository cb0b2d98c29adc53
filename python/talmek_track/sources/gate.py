"""The one gate every raster passes on its way in: what may be opened, and how.

Every raster a run reads is admitted and opened here, whatever it is for: the two images, the
validity masks (``--mask1``, ``--mask2``), the stable-ground mask (``--stable``), the layers of a
reference velocity map (NetCDF variables too), the assets STAC items name. All of them meet the
same rules (``SourcePolicy``):

- ``admit`` checks a name before GDAL or a decoder sees it: only plain files of the formats the
  role takes (told by their first bytes), HTTP(S), S3 and GDAL's in-memory files; no GDAL
  descriptions (VRT and other XML), driver strings or other ``/vsi`` file systems, unless any
  source is allowed; no remote input at all where remote inputs are not allowed. It returns the
  one GDAL driver the raster is opened with from then on, by every process.
- ``open_raster`` is the only place rasterio opens a raster; ``open_tiff`` and ``decode_image``
  the only places tifffile and imageio do. Each refuses a raster whose tiles or strips would
  decode to more than the image itself, or than ``MAX_BLOCK_BYTES`` (``check_blocks``), before a
  pixel is decoded; ``check_pixels`` holds the image to ``max_pixels``.
- ``stac_href`` holds the addresses STAC items name to the item's own place.

A refusal is an ``InputError`` on one line; for a raster that an option names (a mask, the
reference) the message names the option (``Role``), so that the command words it as its flag.
"""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any
from urllib.parse import urljoin, urlsplit

import numpy as np

from talmek_track.errors import InputError, describe_error, one_line, require
from talmek_track.options.values import SourcePolicy

#: The most bytes one tile or strip of a raster may decode to beyond the size of the image itself:
#: a tile a little larger than a small image is common (a 512 x 512 tile over 100 x 100 pixels),
#: one of 32768 x 32768 over 400 x 400 pixels is a decompression bomb (a file of 2 MB that takes
#: a minute and 2 GB to read).
MAX_BLOCK_BYTES = 64 * 2**20


@dataclass(frozen=True)
class Role:
    """What a raster that an option names is for, as messages say it: ``label`` ("the
    stable-ground mask") and ``option``, the keyword that names it ("stable")."""

    label: str
    option: str


def refusal(path: str, reason: str, role: Role | None = None) -> InputError:
    """The InputError of a raster that cannot be read: "cannot read PATH: REASON", with the role
    and its option named for a raster that an option names."""
    if role is None:
        return InputError("cannot read {path}: {reason}", path=path, reason=reason)
    return InputError("cannot read {label} ({0}) {path}: {reason}", options=(role.option,),
                      label=role.label, path=path, reason=reason)


# --- the source policy on names -------------------------------------------------------------------

#: GDAL drivers by the first bytes of a file.
_MAGIC: tuple[tuple[bytes, str], ...] = (
    (b"II*\x00", "GTiff"), (b"MM\x00*", "GTiff"), (b"II+\x00", "GTiff"), (b"MM\x00+", "GTiff"),
    (b"\x89PNG\r\n\x1a\n", "PNG"), (b"\xff\xd8\xff", "JPEG"), (b"GIF87a", "GIF"),
    (b"GIF89a", "GIF"), (b"BM", "BMP"), (b"\x00\x00\x00\x0cjP  \r\n\x87\n", "JP2OpenJPEG"),
    (b"\xff\x4f\xff\x51", "JP2OpenJPEG"),
    (b"CDF\x01", "netCDF"), (b"CDF\x02", "netCDF"), (b"CDF\x05", "netCDF"),
    (b"\x89HDF\r\n\x1a\n", "netCDF"),
)
#: The same drivers by file suffix, for remote inputs (whose first bytes are not read here).
_SUFFIXES = {".tif": "GTiff", ".tiff": "GTiff", ".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG",
             ".gif": "GIF", ".bmp": "BMP", ".jp2": "JP2OpenJPEG", ".nc": "netCDF", ".nc4": "netCDF"}

#: The formats of images and masks, and what messages call them.
IMAGE_DRIVERS = ("GTiff", "PNG", "JPEG", "GIF", "BMP", "JP2OpenJPEG")
#: The formats of reference velocity maps.
REFERENCE_DRIVERS = ("GTiff", "netCDF")
_KINDS = {IMAGE_DRIVERS: "an image in a plain format (TIFF, PNG, JPEG, GIF, BMP, JPEG 2000)",
          REFERENCE_DRIVERS: "a GeoTIFF or a NetCDF file"}

#: Remote inputs allowed without ``allow_any_source``: HTTP(S) and S3, and GDAL's in-memory files
#: (which only this process can have made).
_REMOTE_PREFIXES = ("/vsicurl/http://", "/vsicurl/https://", "/vsis3/", "http://", "https://",
                    "s3://", "/vsimem/")
#: Of those, the ones that reach another machine.
_NETWORK_PREFIXES = ("/vsicurl/", "/vsis3/", "http://", "https://", "s3://")
_ALLOW_HINT = "other sources only with allow_any_source=True (--allow-any-source)"
_REMOTE_HINT = "remote inputs are not allowed in this run (allow_remote=False, --no-remote)"


def is_local(path: str) -> bool:
    """Whether ``path`` names a file of this machine's file system (no ``/vsi`` path, no URL)."""
    return not (path.startswith("/vsi") or "://" in path)


def is_network(path: str) -> bool:
    """Whether reading ``path`` reaches another machine (HTTP(S), S3, a URL of any kind)."""
    return path.startswith(_NETWORK_PREFIXES) or (not path.startswith("/vsi") and "://" in path)


def check_local(path: str, role: Role | None = None) -> None:
    """InputError unless ``path`` is a readable, non-empty file."""
    if not os.path.exists(path):
        raise refusal(path, "no such file", role)
    if os.path.isdir(path):
        raise refusal(path, "it is a folder, not an image" if role is None else "it is a folder", role)
    if not os.access(path, os.R_OK):
        raise refusal(path, "permission denied", role)
    if os.path.getsize(path) == 0:
        raise refusal(path, "the file is empty", role)


def source_driver(text: str, allow_any_source: bool = False, *, drivers: Sequence[str] = IMAGE_DRIVERS,
                  allow_remote: bool = True, role: Role | None = None) -> str | None:
    """The one GDAL driver that may open the input ``text``, or None when any may
    (``allow_any_source``). Without it only plain files of ``drivers`` (told by their first
    bytes) and such files over HTTP(S), S3 or in GDAL's memory are allowed: no GDAL description
    of other sources (VRT and other XML), no driver strings (``NETCDF:...``), no other ``/vsi``
    file systems. Without ``allow_remote`` no input that reaches another machine is allowed,
    whatever else is. InputError names what is refused."""
    if not allow_remote and is_network(text):
        raise refusal(text, _REMOTE_HINT, role)
    if allow_any_source:
        return None
    if text.startswith("<"):
        raise refusal(f"{text[:40]}...", f"a GDAL description is not a plain image file; {_ALLOW_HINT}", role)
    kind = _KINDS.get(tuple(drivers), "a plain file of " + ", ".join(drivers))
    if is_local(text):
        if re.match(r"^[A-Za-z0-9_]{2,}:", text) and not os.path.exists(text):
            raise refusal(text, f"a GDAL driver string is not a plain image file; {_ALLOW_HINT}", role)
        check_local(text, role)
        with open(text, "rb") as f:
            head = f.read(16)
        for magic, driver in _MAGIC:
            if head.startswith(magic) and driver in drivers:
                return driver
        raise refusal(text, f"not {kind}; {_ALLOW_HINT}", role)
    if not text.startswith(_REMOTE_PREFIXES):
        raise refusal(text, f"only local files, HTTP(S) and S3 are read; {_ALLOW_HINT}", role)
    suffix = os.path.splitext(text.split("?", 1)[0])[1].lower()
    driver = _SUFFIXES.get(suffix, "GTiff")
    if driver not in drivers:
        raise refusal(text, f"not {kind}; {_ALLOW_HINT}", role)
    return driver


def admit(path: str, policy: SourcePolicy, *, drivers: Sequence[str] = IMAGE_DRIVERS,
          role: Role | None = None) -> str | None:
    """The driver ``path`` is opened with under ``policy`` (``source_driver``), a local file
    checked to exist, be readable and hold bytes; InputError for what the policy refuses."""
    driver = source_driver(path, policy.allow_any_source, drivers=drivers,
                           allow_remote=policy.allow_remote, role=role)
    if is_local(path) and (driver is not None or os.path.exists(path)):
        check_local(path, role)
    return driver


def subdataset(file: str, name: str, driver: str | None, role: Role | None = None) -> str:
    """``name``, a subdataset GDAL listed in ``file`` (a NetCDF variable), when it is one of that
    very file: the driver's prefix, the file and a variable name. InputError otherwise, so that a
    file cannot list a name that opens another source."""
    if driver is None:
        return name
    match = re.fullmatch(r'([A-Za-z0-9_]+):"(.*)":([A-Za-z0-9_./-]+)', name)
    opened = (file, "/vsis3/" + file[5:] if file.startswith("s3://") else "/vsicurl/" + file)
    if match is None or match[1].lower() != driver.lower() or match[2] not in opened or ".." in match[3]:
        raise refusal(file, f"it names a part that is not one of its variables: {name[:80]}", role)
    return name


def check_pixels(path: str, rows: int, cols: int, max_pixels: int | None, role: Role | None = None) -> None:
    """InputError when an image of ``rows`` x ``cols`` holds more than ``max_pixels`` pixels."""
    if max_pixels is not None and rows * cols > max_pixels:
        raise refusal(path, f"its header claims {cols} x {rows} pixels, more than the limit of "
                      f"{max_pixels} (max_pixels, --max-pixels)", role)


def check_blocks(path: str, shape: tuple[int, int], block: tuple[int, int], pixel_bytes: int,
                 role: Role | None = None) -> None:
    """InputError when one tile or strip of ``block`` (rows, cols) would decode to more bytes
    (``pixel_bytes`` a pixel) than the image of ``shape`` itself and than ``MAX_BLOCK_BYTES``:
    told from the header, before anything is decoded."""
    rows, cols = (max(0, int(n)) for n in block)
    decoded = rows * cols * max(1, pixel_bytes)
    if decoded > max(shape[0] * shape[1] * max(1, pixel_bytes), MAX_BLOCK_BYTES):
        raise refusal(path, f"its header claims tiles or strips of {cols} x {rows} pixels "
                      f"({decoded} bytes each) for an image of {shape[1]} x {shape[0]}", role)


# --- opening --------------------------------------------------------------------------------------

#: GDAL's block cache while reading, unless the environment sets GDAL_CACHEMAX: GDAL's default
#: (5 % of the machine's memory) would otherwise dominate the memory of a block-wise run.
GDAL_CACHE_BYTES = 64 * 2**20

#: GDAL settings while reading an input that is not trusted to name other sources: a VRT (which
#: only ``allow_any_source`` lets in at all) may not read raw files or run code.
UNTRUSTED_GDAL_SETTINGS: dict[str, str] = {
    "GDAL_VRT_ENABLE_RAWRASTERBAND": "NO",
    "GDAL_VRT_ENABLE_PYTHON": "NO",
}

#: GDAL settings while reading a remote file, unless the environment sets them: no listing of
#: the file's folder on the server (a request per open, for side files that cloud images do not
#: have), and a few retries of failed requests.
REMOTE_GDAL_SETTINGS: dict[str, str] = {
    "GDAL_DISABLE_READDIR_ON_OPEN": "EMPTY_DIR",
    "GDAL_HTTP_MAX_RETRY": "3",
    "GDAL_HTTP_RETRY_DELAY": "1",
}


def _pixel_bytes(ds: Any) -> int:
    # A pixel-interleaved tile holds every band; a band-interleaved one a single band.
    sizes = [np.dtype(d).itemsize for d in ds.dtypes] or [1]
    interleave = getattr(getattr(ds, "interleave", None), "name", "")
    return int(sum(sizes) if str(interleave).lower() == "pixel" else max(sizes))


@contextmanager
def open_raster(path: str, driver: str | None, *, name: str | None = None, page: int | None = None,
                role: Role | None = None, network: Mapping[str, str] | None = None) -> Iterator[Any]:
    """The raster ``path`` open for reading with rasterio, by ``driver`` alone (None: any, for
    ``allow_any_source``); ``name`` is what GDAL opens when not ``path`` itself (a local copy of a
    remote file, a NetCDF variable, an S3 URL as ``/vsis3/``), ``page`` a page of a multi-page
    TIFF; ``network`` the GDAL settings of a remote read's time limits. Its tiles or strips are
    held to ``check_blocks`` before it is handed out. InputError, naming ``path``, when it cannot
    be opened."""
    import rasterio

    target = name or path
    settings: dict[str, Any] = {} if "GDAL_CACHEMAX" in os.environ else {"GDAL_CACHEMAX": GDAL_CACHE_BYTES}
    if driver is not None:
        settings.update(UNTRUSTED_GDAL_SETTINGS)
    if not is_local(target) or "/vsi" in target:
        remote = {**REMOTE_GDAL_SETTINGS, **(network or {})}
        settings.update((k, v) for k, v in remote.items() if k not in os.environ)
    if page is not None:
        target = f"GTIFF_DIR:{page}:{target}"
    with warnings.catch_warnings(), rasterio.Env(**settings):
        warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
        try:
            ds = rasterio.open(target, driver=driver)
        except rasterio.errors.RasterioIOError as e:
            text = one_line(e)
            if role is None and ("not recognized" in text or "not a supported" in text):
                kind = "GDAL reads" if driver is None else f"of its kind ({driver})"
                raise refusal(path, f"not an image in a format {kind}") from None
            raise refusal(path, timeout_hint(text if role is None else describe_error(e)), role) from None
        with ds:
            for block in set(ds.block_shapes):
                check_blocks(path, (ds.height, ds.width), block, _pixel_bytes(ds), role)
            yield ds


def timeout_hint(text: str) -> str:
    """GDAL's reason for a failed read, naming the option when the network timed out."""
    if "CURL error" in text and ("too slow" in text or "timed out" in text):
        return f"{text} (timeout, --timeout)"
    return text


def read_failed(path: str, e: BaseException, role: Role | None = None, where: str = "") -> InputError:
    """The InputError of a read from an open raster that failed (a damaged file, a network source
    gone), naming the raster, its role and the part read."""
    return refusal(f"{path} {where}".strip(), describe_error(e), role)


def _tiff_block(page: Any) -> tuple[int, int]:
    """(rows, cols) of one tile or strip of a tifffile page."""
    if getattr(page, "is_tiled", False) or int(getattr(page, "tilewidth", 0) or 0):
        return int(page.tilelength), int(page.tilewidth)
    rows = int(page.imagelength)
    per_strip = int(getattr(page, "rowsperstrip", 0) or rows)
    return min(per_strip, rows), int(page.imagewidth)


def check_tiff_page(path: str, page: Any, role: Role | None = None) -> None:
    """``check_blocks`` for a page that tifffile read the header of."""
    shape = (int(page.imagelength), int(page.imagewidth))
    samples = int(page.samplesperpixel) if int(getattr(page, "planarconfig", 1)) != 2 else 1
    check_blocks(path, shape, _tiff_block(page), samples * np.dtype(page.dtype).itemsize, role)


@contextmanager
def open_tiff(path: str) -> Iterator[Any]:
    """The TIFF file ``path`` open with tifffile (headers read, no pixel decoded); each page
    decoded must pass ``check_tiff_page`` first."""
    tifffile = require("tifffile", "cli")
    with tifffile.TiffFile(path) as tif:
        yield tif


def decode_image(path: str) -> np.ndarray:
    """A PNG, JPEG or TIFF decoded whole with imageio (its first frame), after its header passed
    ``image_shape`` and ``check_pixels``."""
    iio = require("imageio.v3", "cli")
    try:
        return np.asarray(iio.imread(path, index=0))
    except Exception:  # noqa: BLE001 - imageio's own text suggests plugins
        raise InputError(f"cannot read {path}: not a PNG, JPEG or TIFF image") from None


def image_shape(path: str) -> tuple[int, int] | None:
    """(rows, cols) from the header of a plain image, read without decoding (PNG and JPEG by this
    code, others by Pillow's header reader); None when no header says."""
    shape = _header_shape(path)
    if shape is not None:
        return shape
    from PIL import Image

    try:
        with Image.open(path) as im:  # reads the header only
            return im.height, im.width
    except Image.DecompressionBombError:
        raise InputError(f"cannot read {path}: its header claims more pixels than the image "
                         "decoder accepts") from None
    except Exception:  # noqa: BLE001 - left to the decoder's own message
        return None


def _header_shape(path: str) -> tuple[int, int] | None:
    """(rows, cols) from a PNG's or JPEG's header, read without decoding; None for others."""
    with open(path, "rb") as f:
        head = f.read(24)
        if head.startswith(b"\x89PNG\r\n\x1a\n") and head[12:16] == b"IHDR":
            cols, rows = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
            return rows, cols
        if not head.startswith(b"\xff\xd8"):
            return None
        f.seek(2)
        while True:  # JPEG segments up to the first start-of-frame
            marker = f.read(2)
            if len(marker) < 2 or marker[0] != 0xFF:
                return None
            kind = marker[1]
            if kind in (0xD8, 0x01) or 0xD0 <= kind <= 0xD7:
                continue
            length = int.from_bytes(f.read(2), "big")
            if 0xC0 <= kind <= 0xCF and kind not in (0xC4, 0xC8, 0xCC):
                frame = f.read(5)
                if len(frame) < 5:
                    return None
                return int.from_bytes(frame[1:3], "big"), int.from_bytes(frame[3:5], "big")
            if length < 2:
                return None
            f.seek(length - 2, os.SEEK_CUR)


# --- STAC assets ----------------------------------------------------------------------------------

def stac_href(href: str, item: str, policy: SourcePolicy) -> str:
    """The address of an asset that the STAC item (or item collection) at ``item`` names as
    ``href``, held to the item's own place. A file's path, relative (to the item) or not, must
    lie inside the item's folder: on this machine for a local item, under the item's own URL for
    a remote one (a remote item never names a file of this machine). A remote address (HTTP(S),
    S3) is read only where remote inputs are allowed. ``allow_any_source`` lifts the rules on
    places, not ``allow_remote``. The address then meets the source policy like any input.
    InputError names the item and the address."""
    def refuse(why: str) -> InputError:
        return InputError("{item}: the asset {href} {why}", item=item, href=href, why=why)

    text = href.strip()
    scheme = urlsplit(text).scheme.lower() if "://" in text else ""
    if is_network(text) and scheme in ("", "http", "https", "s3"):
        if not policy.allow_remote:
            raise refuse(f"is remote; {_REMOTE_HINT}")
        return text
    if policy.allow_any_source:
        if scheme or text.startswith("/vsi") or os.path.isabs(text):
            return text
        if is_network(item):
            return urljoin(item.split("?", 1)[0], text)
        return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(item)), text))
    if scheme == "file" and not is_network(item):
        text = urlsplit(text).path
    elif scheme or text.startswith("/vsi"):
        raise refuse(f"is neither a file nor an HTTP(S) or S3 address; {_ALLOW_HINT}")
    if is_network(item):
        base = item.split("?", 1)[0].rsplit("/", 1)[0] + "/"
        joined = urljoin(base, text)
        if text.startswith("/") or not joined.startswith(base) or ".." in urlsplit(joined).path.split("/"):
            raise refuse(f"lies outside the item's folder {base}; {_ALLOW_HINT}")
        return joined
    folder = os.path.dirname(os.path.abspath(item))
    path = os.path.normpath(os.path.join(folder, text))
    # Inside by its name and by what it is: a link in the folder may lead anywhere.
    real = os.path.realpath(folder)
    if os.path.commonpath([folder, path]) != folder or \
            os.path.commonpath([real, os.path.realpath(path)]) != real:
        raise refuse(f"lies outside the item's folder {folder}; {_ALLOW_HINT}")
    return path
