"""The options of a run, in one frozen object: every default and every check lives here.

``TrackOptions`` holds what ``track_files``, ``track_xarray``, ``match_stack`` and the
``talmek-track`` command take: the grid and the match settings, how the inputs are read and
converted, the pre-filter and the outlier filter, the outputs, and where the matching runs. Each
field is checked and brought to one form when the object is made (a single whole number becomes
the pair (n, n), text dates become two datetimes, a pre-filter's text a ``Prefilter``), so the run
reads them without checking again. A wrong option raises ``OptionError`` naming the option by its
keyword; the command words it as its flag.

Each option is declared in one place, its field: ``option(default, check, Flag(...))`` gives its
default, its check (a function of the option's name and value that returns the value in its one
form or raises OptionError) and, for an option the command takes, its ``Flag``: the place in
``--help`` (``rank``), the help text (``{default}`` stands for the default), the metavar, the
parser of the flag's text (``options.flags``: ``text_pair``, ``text_count``, ... or ``float``,
``int``) or the choices, and the flag's name when it is not the keyword with dashes. The command
makes its parser and the options of a run from these declarations (``cli.command``), so that a
new flag needs nothing there. To add an option:

1. add the field here, ``name: type = option(default, _check, Flag(rank, "help", ...))``, with a
   rank between those of the flags it goes between in ``--help`` (and ``group="limits"`` or
   ``group="Dask"`` for those sections), or no Flag for a library-only option; for example
   ``timeout: float | None = option(None, _optional(_seconds), Flag(35, "how long to wait for a
   server (default: {default})", metavar="SECONDS", parse=text_seconds, group="limits"))``
   places --timeout after --max-download; its errors are worded with the flag by themselves;
2. add a line to the keyword dictionaries of the entry points that take it (``MatchKeywords``,
   ``FieldKeywords``, ``StackKeywords``, ``ArrayKeywords``; type checkers need them written out,
   and tests/options/test_core.py holds them to the fields);
3. describe the keyword in ``track_files``'s docstring.
"""

from __future__ import annotations

import dataclasses
import math
import operator
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, TypedDict

import numpy as np

import Talmek
from talmek_track._facts import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN, Status
from talmek_track.errors import OptionError
from talmek_track.options.dates import interval_days, parse_date, parse_dates
from talmek_track.options.flags import (
    Flag,
    text_count,
    text_formats,
    text_limit,
    text_off_or_number,
    text_pair,
    text_range,
    text_seconds,
    text_start,
    text_timeout,
)
from talmek_track.options.values import (
    BACKEND_NAMES,
    DEFAULT_BLOCK_PIXELS,
    DEFAULT_FORMATS,
    DEFAULT_MAX_DOWNLOAD,
    DEFAULT_MAX_PIXELS,
    DEFAULT_PERCENTILES,
    DEFAULT_RESAMPLING,
    DEFAULT_TIMEOUT,
    FILTERS,
    MAX_GRID_POINTS,
    WARP_RESAMPLING,
    Pass,
    Prefilter,
    Refinement,
    SourcePolicy,
    ValueRange,
    check_passes,
    format_names,
    parse_grid,
    parse_passes,
    parse_prefilter,
    parse_reference,
    parse_refine,
    parse_resampling,
)

__all__ = ["ArrayKeywords", "PEAK_METHODS", "RunKeywords", "StackKeywords", "TrackOptions"]

#: Sub-pixel peak fits by name, as MatchingParams.peakmethod_ takes them.
PEAK_METHODS = {"linear": 1, "log": 2, "reciprocal": 3, "integer": 4}

#: Sizes, spacings, starts and offsets stay below this many pixels: the engine's pixel positions
#: are 32-bit.
PIXEL_LIMIT = 2**30

#: The most grid points a run lays out unless the caller allows more (each costs some 250 bytes
#: while the run lasts): far beyond a scene's usual grids, small enough that a forged header or a
#: step of 1 over a huge image is refused before the grid is laid.
DEFAULT_MAX_POINTS = MAX_GRID_POINTS

#: A size or spacing: one whole number for both directions, or (x, y) = (columns, rows).
Pair = int | tuple[int, int]

#: Acquisition dates: "DATE1,DATE2" as the command takes them, or two datetimes.
Dates = str | tuple[datetime, datetime]

#: Stable ground: a mask raster (any grid, non-zero: stable) or an array of image 1's shape, or
#: "slow" (the densest cluster among the slowest quarter of the accepted vectors) or "none".
Stable = str | os.PathLike[str] | np.ndarray

#: A reference velocity map: "VX,VY", one product's path, or one or two paths.
Reference = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]

#: A validity mask of one image: a raster (any grid, non-zero: invalid) or an array of its shape.
Mask = str | os.PathLike[str] | np.ndarray


def _refuse(template: str, *options: str, **values: object) -> OptionError:
    return OptionError(template, options=options, **values)


def _whole(name: str, value: object) -> int:
    if isinstance(value, bool):
        raise _refuse("{0} must be a whole number, got {value!r}", name, value=value)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise _refuse("{0} must be a whole number, got {value!r}", name, value=value) from None


def _pair(name: str, value: object) -> tuple[int, int]:
    try:
        items = [value, value] if not isinstance(value, Iterable) else list(value)
        if len(items) != 2:
            raise TypeError
        x, y = (_whole(name, v) for v in items)
    except (TypeError, OptionError):
        raise _refuse("{0} must be a whole number or a pair of them, got {value!r}", name,
                      value=value) from None
    if max(abs(x), abs(y)) >= PIXEL_LIMIT:
        raise _refuse("{0} must stay below 2^30 pixels, got {x},{y}", name, x=x, y=y)
    return x, y


def _real(name: str, value: object) -> float:
    if isinstance(value, (str, bytes, bool)):
        raise _refuse("{0} must be a number, got {value!r}", name, value=value)
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise _refuse("{0} must be a number, got {value!r}", name, value=value) from None
    return number


def _not_nan(name: str, value: object) -> float:
    number = _real(name, value)
    if math.isnan(number):
        raise _refuse("{0} must be a number, not NaN", name)
    return number


def _seconds(name: str, value: object) -> float:
    number = _real(name, value)
    if not 0 < number < 1e6:
        raise _refuse("{0} must be a number of seconds above 0 and below 1e6, got {value!r}", name,
                      value=value)
    return number


def _timeout(name: str, value: object) -> tuple[float, float]:
    """Seconds to connect and to wait for the next bytes: one number for both, or the pair."""
    items = list(value) if isinstance(value, Iterable) and not isinstance(value, (str, bytes)) else [value]
    if len(items) not in (1, 2):
        raise _refuse("{0} must be seconds, one number or (connect, read), got {value!r}", name, value=value)
    connect, read = (_seconds(name, v) for v in items * (3 - len(items)))
    return connect, read


def _address(name: str, value: object) -> str:
    if not isinstance(value, str) or not value.strip():
        raise _refuse("{0} must be a scheduler address such as tcp://host:8786, got {value!r}", name,
                      value=value)
    return value


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise _refuse("{0} must be True or False, got {value!r}", name, value=value)
    return bool(value)


def _optional(check: Callable[[str, Any], Any]) -> Callable[[str, Any], Any]:
    return lambda name, value: None if value is None else check(name, value)


def _chip(name: str, value: object) -> tuple[int, int]:
    w, h = _pair(name, value)
    if not (REF_CHIP_MIN <= w <= REF_CHIP_MAX and REF_CHIP_MIN <= h <= REF_CHIP_MAX):
        raise _refuse("{0} must be {lo}..{hi} pixels, got {w},{h}", name, lo=REF_CHIP_MIN,
                      hi=REF_CHIP_MAX, w=w, h=h)
    return w, h


def _margin(name: str, value: object) -> tuple[int, int]:
    x, y = _pair(name, value)
    if x < 0 or y < 0:
        raise _refuse("{0} must not be negative, got {x},{y}", name, x=x, y=y)
    return x, y


def _step(name: str, value: object) -> tuple[int, int]:
    x, y = _pair(name, value)
    if x < 1 or y < 1:
        raise _refuse("{0} must be at least 1, got {x},{y}", name, x=x, y=y)
    return x, y


def _choice(choices: Iterable[str]) -> Callable[[str, Any], str]:
    def check(name: str, value: Any) -> str:
        known = list(choices)
        if not isinstance(value, str) or value not in known:
            raise _refuse("{0} must be one of {known}, got {value!r}", name, known=", ".join(known),
                          value=value)
        return value
    return check


def _from_one(name: str, value: object) -> int:
    n = _whole(name, value)
    if n < 1:
        raise _refuse("{0} counts from 1, got {n}", name, n=n)
    return n


def _at_least_one(name: str, value: object) -> int:
    n = _whole(name, value)
    if n < 1:
        raise _refuse("{0} must be at least 1, got {n}", name, n=n)
    return n


def _value_range(name: str, value: object) -> ValueRange:
    if value is None:
        return None
    if isinstance(value, str) and value == "auto":
        return "auto"
    try:
        lo, hi = (float(v) for v in value)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        lo = hi = math.nan
    if not (math.isfinite(lo) and math.isfinite(hi) and lo < hi):  # an empty range is one grey
        raise _refuse("{0} must be 'auto', None or two finite numbers (low, high) with low < high, "
                      "got {value!r}", name, value=value)
    return lo, hi


def _percentiles(name: str, value: object) -> tuple[float, float]:
    try:
        lo, hi = (float(v) for v in value)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        lo = hi = math.nan
    if not 0 <= lo < hi <= 100:
        raise _refuse("{0} must rise within 0..100, got {value!r}", name, value=value)
    return lo, hi


def _formats(name: str, value: object) -> tuple[str, ...] | None:
    if value is None:
        return None
    if isinstance(value, str):
        names: tuple[Any, ...] = tuple(v.strip() for v in value.split(",") if v.strip())
    elif isinstance(value, Iterable):
        names = tuple(value)
    else:
        raise _refuse("{0} must be output format names (such as ['csv', 'tif']), got {value!r}",
                      name, value=value)
    for item in names:
        if item not in format_names():
            raise _refuse("unknown output format {item!r} in {0}; choose from {known}", name,
                          item=item, known=", ".join(format_names()))
    return names


def _dates(name: str, value: object) -> tuple[datetime, datetime] | None:
    if value is None:
        return None
    try:
        dated: tuple[Any, ...]
        if isinstance(value, str):
            dated = parse_dates(value)
        elif isinstance(value, Iterable):
            dated = tuple(parse_date(v) if isinstance(v, str) else v for v in value)
        else:
            raise TypeError
        if len(dated) != 2 or not all(isinstance(d, datetime) for d in dated):
            raise TypeError
        interval_days(*dated)
    except TypeError:
        raise _refuse("{0} must be 'DATE1,DATE2' or two dates (datetime or ISO text), first "
                      "image first, got {value!r}", name, value=value) from None
    except ValueError as e:
        raise _refuse("{0}: {reason}", name, reason=e) from None
    return dated[0], dated[1]


def _prefilter(name: str, value: object) -> Prefilter:
    try:
        return parse_prefilter(value)  # type: ignore[arg-type]
    except ValueError as e:
        raise _refuse("{0}: {reason}", name, reason=e) from None


def _stable(name: str, value: object) -> str | np.ndarray | None:
    if value is None or (isinstance(value, str) and value == "none"):
        return None
    if isinstance(value, (str, os.PathLike)):
        text = os.fspath(value)
        if text == "mask":
            raise _refuse("{0} takes a mask raster, 'slow' or 'none'; 'mask' names no file", name)
        return text
    mask = np.asarray(getattr(value, "values", value))  # an xarray.DataArray gives its values
    if mask.ndim == 3 and mask.shape[0] == 1:
        mask = mask[0]  # rioxarray's band dimension
    if mask.ndim != 2 or mask.dtype.kind not in "biuf":
        raise _refuse("{0} must be a mask file's path or an array of image 1's shape, got {value!r}",
                      name, value=value if mask.ndim == 0 else f"an array of shape {mask.shape}")
    return mask


def _mask(name: str, value: object) -> str | np.ndarray | None:
    if value is None:
        return None
    if isinstance(value, (str, os.PathLike)):
        return os.fspath(value)
    mask = np.asarray(getattr(value, "values", value))
    if mask.ndim == 3 and mask.shape[0] == 1:
        mask = mask[0]
    if mask.ndim != 2:
        raise _refuse("{0} must be a raster or a two-dimensional array, got {ndim} dimensions", name,
                      ndim=mask.ndim)
    return mask


def _refine(name: str, value: object) -> str:
    try:
        rounds = parse_refine(value if value is None else str(value)).rounds
    except ValueError as e:
        raise _refuse("{0}: {reason}", name, reason=e) from None
    return "none" if rounds == 0 else f"cubic:{rounds}"


def _tolerance(low: float, high: float, default: float) -> Callable[[str, Any], float | None]:
    """A threshold that True sets to its default and False or None switches off."""
    def check(name: str, value: Any) -> float | None:
        if value is None or value is False:
            return None
        number = default if value is True else _real(name, value)
        if not low <= number <= high:
            raise _refuse("{0} must be in {low:g}..{high:g}, got {number:g}", name, low=low, high=high,
                          number=number)
        return number
    return check


def _asset(name: str, value: object) -> str:
    if not isinstance(value, str) or not value:
        raise _refuse("{0} must be the name of an asset of the STAC items, got {value!r}", name, value=value)
    return value


def _speed(name: str, value: object) -> float:
    number = _real(name, value)
    if not (math.isfinite(number) and number > 0):
        raise _refuse("{0} must be a speed above 0 (map units per year), got {value!r}", name, value=value)
    return number


def _error(name: str, value: object) -> float:
    number = _real(name, value)
    if not (math.isfinite(number) and number >= 0):
        raise _refuse("{0} must be a speed of 0 or more (map units per year), got {value!r}", name,
                      value=value)
    return number


def _passes(name: str, value: object) -> tuple[Pass, ...] | None:
    if value is None:
        return None
    try:
        if isinstance(value, str):
            return parse_passes(value)
        if isinstance(value, Iterable):
            passes = tuple(value)
            if passes and all(isinstance(p, Pass) for p in passes):
                return passes
    except ValueError as e:
        raise _refuse("{0}: {reason}", name, reason=e) from None
    raise _refuse("{0} must be text such as '8:32/12,2:32/6,1:32/4' or guided.Pass objects, got {value!r}",
                  name, value=value)


def _backend(name: str, value: object) -> str:
    return _choice(BACKEND_NAMES)(name, value)


def option(default: Any, check: Callable[[str, Any], Any], flag: Flag | None = None, *,
           compare: bool = True) -> Any:
    """A field of ``TrackOptions``: its default, its check (it takes the option's name and value
    and returns the value in its one form) and, for an option the command takes, its flag."""
    return field(default=default, compare=compare, metadata={"check": check, "flag": flag})


@dataclass(frozen=True)
class TrackOptions:
    """The options of a run, checked, each in one form; see ``track_files`` for their meaning.

    Made with the keywords of ``track_files`` (``TrackOptions(chip=24, prefilter="none")``), in
    the forms it takes them; the fields hold them in one form: pairs as (x, y) tuples, ``dates``
    as two datetimes or None, ``prefilter`` as a ``Prefilter``, ``formats`` as a tuple or None,
    ``stable`` as a path text or an array. ``replace`` gives a copy with some options changed,
    checked alike. OptionError names the first wrong option by its keyword.
    """

    chip: tuple[int, int] = option((32, 32), _chip, Flag(
        10, "size in pixels of the chip cut from IMAGE1 around each point, "
        f"{REF_CHIP_MIN}..{REF_CHIP_MAX} (default: {{default}})",
        metavar="N|W,H", parse=text_pair))
    margin: tuple[int, int] = option((8, 8), _margin, Flag(
        20, "search margin on each side of the chip, in pixels; the search window (chip + 2 x margin) "
        f"must be {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX} (default: {{default}})",
        metavar="N|X,Y", parse=text_pair))
    step: tuple[int, int] = option((16, 16), _step, Flag(
        30, "grid spacing in pixels of IMAGE1 (default: {default})", metavar="N|X,Y", parse=text_pair))
    start: tuple[int, int] | None = option(None, _optional(_pair), Flag(
        40, "column and row of the first grid point in IMAGE1; auto picks the first pixel whose chips "
        "fit in both images (default: auto)", metavar="auto|X,Y", parse=text_start))
    offset: tuple[int, int] = option((0, 0), _pair, Flag(
        50, "expected displacement in pixels (columns right, rows down) where each search window is "
        "centred; for GeoTIFF input the shift between the two pixel grids is added "
        "(default: {default})", metavar="X,Y", parse=text_pair))
    peak: str = option("log", _choice(PEAK_METHODS), Flag(
        60, "sub-pixel peak fit: linear (values), log (logarithms), reciprocal, or integer (no fit) "
        "(default: {default})", choices=PEAK_METHODS))
    min_strength: float = option(2.0, _not_nan, Flag(
        70, "lowest correlation strength accepted (default: {default})", metavar="S", parse=float))
    max_displacement: float | None = option(None, _optional(_not_nan), Flag(
        80, "longest displacement accepted, measured from the expected position; auto is the smaller "
        "margin minus 2 (default: auto)", metavar="PIXELS|auto", parse=text_limit))
    nodata: float | None = option(None, _optional(_real), Flag(
        90, "pixel value that marks missing data in both images; points whose chips touch one are not "
        f"matched (status {Status.nodata.name}) (default: the value the TIFF declares, else none)",
        metavar="VALUE", parse=float))
    band: int | None = option(None, _optional(_from_one), Flag(
        100, "band of multi-band images to match, from 1 (default: grey from colour, else band 1)",
        metavar="N", parse=int))
    page: int | None = option(None, _optional(_from_one), Flag(
        110, "page of multi-page TIFF stacks to match, from 1 (required for them)", metavar="N",
        parse=int))
    value_range: ValueRange = option("auto", _value_range, Flag(
        120, "how pixels other than 8 bits become 8-bit grey: auto stretches the 0.1 to 99.9 "
        "percentiles of each image's valid values, LOW,HIGH maps that range for both images, none "
        "refuses such images (default: auto)", metavar="auto|LOW,HIGH|none", parse=text_range,
        name="--range"))
    percentiles: tuple[float, float] = option(DEFAULT_PERCENTILES, _percentiles)
    threads: int | None = option(None, _optional(_at_least_one), Flag(
        330, "threads to match on (default: every core); with --dask, threads per worker process",
        metavar="N", parse=int))
    formats: tuple[str, ...] | None = option(None, _formats, Flag(
        320, lambda: f"outputs to write, from {', '.join(format_names())} (default: "
        f"{','.join(DEFAULT_FORMATS)}; gpkg only with pyogrio or fiona installed)",
        metavar="NAME[,NAME...]", parse=text_formats, name="--format"))
    plot: bool = option(True, lambda name, v: bool(v), Flag(
        340, "do not draw vectors.png", sets=False, name="--no-plot"))
    backend: str = option("threads", _backend, Flag(
        10, "match on a Dask LocalCluster that starts for the run and stops at its end (worker "
        "processes whose threads together equal the cores)", sets="dask", name="--dask",
        group="Dask"))
    client: Any = option(None, lambda name, v: v, compare=False)
    scheduler: str | None = option(None, _optional(_address), Flag(
        20, "match on the running Dask cluster of this scheduler, for example tcp://head:8786 "
        "(implies --dask)", metavar="ADDRESS", group="Dask"))
    workers: int | None = option(None, _optional(_at_least_one), Flag(
        30, "worker processes of the LocalCluster, --threads threads each (implies --dask; default: "
        "one single-threaded process per core)", metavar="N", parse=int, group="Dask"))
    dates: tuple[datetime, datetime] | None = option(None, _dates)
    prefilter: Prefilter = option(parse_prefilter("wallis:15"), _prefilter, Flag(
        130, "filter both images before matching: Gaussian smoothing (sharp peaks, particles, "
        "noise), high-pass, or Wallis local contrast (natural images) (default: {default})",
        metavar="none|gauss:SIGMA|highpass:SIGMA|wallis:SIZE"))
    filter: str = option("median", _choice(FILTERS), Flag(
        140, "outlier filter: the normalised median test over each accepted vector's 3x3 neighbours; "
        "rejected vectors keep their values with status outlier (default: {default})",
        choices=FILTERS))
    stable: str | np.ndarray | None = option(None, _stable, Flag(
        150, "stable ground: a raster (any grid, read on IMAGE1's; non-zero on rock, roads...) whose "
        "accepted vectors' median displacement, the images' co-registration offset, is removed "
        "from dx_map, dy_map, vx, vy and v, and whose spread enters each vector's error; slow takes "
        "the densest cluster of displacements among the slowest quarter of the accepted vectors "
        "instead (default: none)",
        metavar="MASK|slow|none"), compare=False)
    block_pixels: int = option(DEFAULT_BLOCK_PIXELS, _at_least_one)
    max_pixels: int | None = option(DEFAULT_MAX_PIXELS, _optional(_at_least_one), Flag(
        10, "refuse images whose header claims more pixels (rows x columns), before decoding any "
        "(default: {default})", metavar="N|none", parse=text_count, group="limits"))
    max_points: int | None = option(DEFAULT_MAX_POINTS, _optional(_at_least_one), Flag(
        20, "refuse grids of more points (default: {default})", metavar="N|none", parse=text_count,
        group="limits"))
    max_download: int | None = option(DEFAULT_MAX_DOWNLOAD, _optional(_at_least_one), Flag(
        30, "refuse HTTP(S) files larger than this, before fetching them whole (default: {default}, "
        "4 GiB)", metavar="BYTES|none", parse=text_count, group="limits"))
    allow_any_source: bool = option(False, _flag, Flag(
        40, "let GDAL open anything it can: VRT and other files that name further files or URLs, "
        "driver strings, every /vsi file system (default: plain image files only, locally, over "
        "HTTP(S) or S3)", sets=True, group="limits"))
    allow_remote: bool = option(True, _flag, Flag(
        50, "read no input over HTTP(S) or S3: images, masks, references, STAC items and the assets "
        "they name must all be files of this machine", sets=False, name="--no-remote", group="limits"))
    timeout: tuple[float, float] = option(DEFAULT_TIMEOUT, _timeout, Flag(
        35, lambda: "how long to wait for a remote input (HTTP(S), S3, a STAC item or API) to accept "
        "the connection, and then for the next bytes of each answer; one number for both (default: "
        f"{DEFAULT_TIMEOUT[0]:g},{DEFAULT_TIMEOUT[1]:g})", metavar="SECONDS|CONNECT,READ",
        parse=text_timeout, group="limits"))
    connect_timeout: float | None = option(None, _optional(_seconds), Flag(
        40, "how long to wait for --scheduler to accept the connection (default: 10)",
        metavar="SECONDS", parse=text_seconds, group="Dask"))
    handshake_timeout: float | None = option(None, _optional(_seconds), Flag(
        50, "how long to wait, once connected, for --scheduler to answer the handshake "
        "(default: 10)", metavar="SECONDS", parse=text_seconds, group="Dask"))
    refine: str = option("cubic:2", _refine, Flag(
        160, "refine each accepted match on IMAGE2 resampled by cubic splines at its estimate, free "
        "of the fit's pull towards whole pixels (default: cubic, two rounds); none keeps the fit's "
        "estimate", metavar="none|cubic|cubic:ROUNDS"))
    backmatch: float | None = option(0.5, _tolerance(0.01, 2.0, 0.5), Flag(
        170, "match each found position back into IMAGE1 and reject round trips that miss by more "
        "than PIXELS (default: {default:g})", metavar="PIXELS|none", parse=text_off_or_number))
    similarity: float | None = option(0.5, _tolerance(-1.0, 0.99, 0.5), Flag(
        180, "reject refined matches whose chips correlate below R at the refined position: clouds, "
        "shadows, changed ground (default: {default:g})", metavar="R|none",
        parse=text_off_or_number))
    saturation: bool = option(True, lambda name, v: bool(v), Flag(
        280, "do not leave out chips touching areas at the top of the data's range (clipped clouds; "
        "images wider than 8 bits)", sets=False, name="--no-saturation"))
    grid: str = option("first", parse_grid, Flag(
        290, "the grid both images are matched on when they differ in coordinate system or pixel "
        "size: IMAGE1's, IMAGE2's, or one of that EPSG system and pixel size over IMAGE1's extent; "
        "the other image is resampled onto it as it is read (see docs/sources.md) "
        "(default: {default})", metavar="first|second|EPSG:CODE,RES"))
    resampling: str = option(DEFAULT_RESAMPLING, parse_resampling, Flag(
        300, "how an image is resampled onto the common grid (default: {default})",
        choices=WARP_RESAMPLING))
    asset: str | None = option(None, _optional(_asset), Flag(
        310, "for STAC items (.json) given as images: the asset to match (default: the first with "
        "the role data)", metavar="NAME"))
    mask1: str | np.ndarray | None = option(None, _mask, Flag(
        260, "validity mask of IMAGE1: a raster (any grid, read on the image's), non-zero where "
        "pixels are not to be matched (clouds, shadows); such chips get the status nodata",
        metavar="MASK"), compare=False)
    mask2: str | np.ndarray | None = option(None, _mask, Flag(
        270, "validity mask of IMAGE2, as --mask1 (a cloud mask, a scene classification's bad "
        "classes)", metavar="MASK"), compare=False)
    fill: bool = option(False, _flag, Flag(
        240, "fill rejected and outlier vectors from their neighbours (the mean of the valid ones, "
        "ring by ring from the rim of each gap) in every output but vectors.csv's dx, dy; filled "
        "cells are flagged by the interp_mask variable", sets=True))
    strain: bool = option(False, _flag, Flag(
        250, "add the strain rates exx, eyy, exy and the effective strain rate per year (central "
        "differences over two grid steps); needs the dates", sets=True))
    max_speed: float | None = option(None, _optional(_speed), Flag(
        190, "the fastest motion expected, in map units per year (needs the dates): coarse-to-fine "
        "passes on reduced images predict each point's position, and the last passes match IMAGE2 "
        "deformed by the prediction, --guided-margin pixels around it", metavar="V", parse=float))
    guided_margin: int = option(4, _at_least_one, Flag(
        200, "search margin of the last pass, and the least of points --reference predicts "
        "(default: {default}, at least what the least search window needs)", metavar="PIXELS",
        parse=int))
    reference: tuple[str, ...] | None = option(None, parse_reference, Flag(
        210, "a velocity map in map units per year on any grid (needs the dates): two rasters of vx "
        "and vy, or one product holding both (an earlier vectors.tif or vectors.nc, an ITS_LIVE "
        "mosaic); each point's search is centred on its velocity x dt and, with an error "
        "(--reference-error or the map's vx_error, vy_error or v_error), sized to 3 x that error; "
        "points it misses are searched blind. Replaces the passes of --max-speed and --passes",
        metavar="VX,VY|PRODUCT"))
    reference_error: float | None = option(None, _optional(_error), Flag(
        220, "the error of each component of --reference, map units per year, for every point "
        "(default: the map's own error layers, else --guided-margin)", metavar="E", parse=float))
    passes: tuple[Pass, ...] | None = option(None, _passes, Flag(
        230, "the guided passes, coarse to fine, instead of those --max-speed plans: each the "
        "reduction F (1, 2, 4, 8 or 16), the chip and the search margin in pixels of that pass (such "
        "as 8:32/12,2:32/6,1:32/4; F/MARGIN keeps --chip); the last pass is at full resolution, on "
        "IMAGE2 deformed by the prediction", metavar="F:CHIP/MARGIN,..."))

    def __post_init__(self) -> None:
        for f in dataclasses.fields(self):
            object.__setattr__(self, f.name, _CHECKS[f.name](f.name, getattr(self, f.name)))
        if self.passes is not None:
            try:
                check_passes(self.passes, self.chip)
            except OptionError as e:
                raise _refuse("{0}: {reason}", "passes", reason=e) from None
        sw, sh = self.chip[0] + 2 * self.margin[0], self.chip[1] + 2 * self.margin[1]
        if not (SEARCH_CHIP_MIN <= sw <= SEARCH_CHIP_MAX and SEARCH_CHIP_MIN <= sh <= SEARCH_CHIP_MAX):
            raise _refuse("the search window {sw}x{sh} must be {lo}..{hi} pixels on each side; "
                          "widen {0} or {1}", "margin", "chip", sw=sw, sh=sh, lo=SEARCH_CHIP_MIN,
                          hi=SEARCH_CHIP_MAX)
        if self.reference_error is not None and self.reference is None:
            raise _refuse("{0} is the error of a reference velocity map; give the map ({1})",
                          "reference_error", "reference")
        cluster = [name for name in ("client", "scheduler", "workers", "connect_timeout",
                                     "handshake_timeout") if getattr(self, name) is not None]
        if cluster and self.backend == "threads":
            named = ", ".join("{%d}" % k for k in range(len(cluster)))
            verb = "need" if len(cluster) > 1 else "needs"
            raise _refuse(named + f" {verb} a distributed backend ({{{len(cluster)}}}='dask')",
                          *cluster, "backend")
        if self.client is not None and self.scheduler is not None:
            raise _refuse("give either a client or a scheduler address, not both")
        running = "client" if self.client is not None else "scheduler" if self.scheduler is not None else None
        if running is not None:
            shaping = [name for name in ("workers", "threads") if getattr(self, name) is not None]
            if shaping:
                named = " and ".join("{%d}" % k for k in range(len(shaping)))
                verb = "shape" if len(shaping) > 1 else "shapes"
                raise _refuse(named + f" {verb} the embedded cluster; a running cluster "
                              "({%d}) keeps its own" % len(shaping), *shaping, running)

    def replace(self, **changes: Any) -> TrackOptions:
        """A copy with ``changes`` (keywords as for making one), checked alike."""
        return dataclasses.replace(self, **changes)

    @classmethod
    def merged(cls, options: TrackOptions | None, keywords: Mapping[str, Any], allowed: Iterable[str],
               caller: str) -> TrackOptions:
        """The options of an entry point: ``options`` (default: every default) with the keywords
        given beside it taking precedence. TypeError for a keyword that ``caller`` does not take,
        as for any function."""
        unknown = sorted(set(keywords) - set(allowed))
        if unknown:
            raise TypeError(f"{caller}() got an unexpected keyword argument {unknown[0]!r}")
        if options is not None and not isinstance(options, TrackOptions):
            raise TypeError(f"options must be a TrackOptions, got {type(options).__name__}")
        if options is None:
            return cls(**keywords)
        return options.replace(**keywords) if keywords else options

    @property
    def source_policy(self) -> SourcePolicy:
        """What the run lets in: the gate's rules for every raster it opens (``gate.py``)."""
        return SourcePolicy(self.allow_any_source, self.max_pixels, self.allow_remote)

    @property
    def stable_method(self) -> str:
        """How the stable-ground offset is measured: none, mask or slow."""
        if self.stable is None:
            return "none"
        return "slow" if isinstance(self.stable, str) and self.stable == "slow" else "mask"

    @property
    def refinement(self) -> Refinement | None:
        """What the blocks do after matching (``talmek_track.matching.refine``), None for nothing."""
        how = Refinement(parse_refine(self.refine).rounds, self.backmatch,
                         self.similarity if self.refine != "none" else None)
        return how if how.active else None

    @property
    def guided(self) -> bool:
        """Whether the search is guided: coarse-to-fine passes (``max_speed`` or ``passes``)."""
        return self.max_speed is not None or self.passes is not None

    @property
    def start_given(self) -> bool:
        """Whether the grid start was given (else the first point whose chips fit is taken)."""
        return self.start is not None

    @property
    def cluster(self) -> dict[str, Any]:
        """The options of a distributed backend, by the names its runner takes."""
        found = {"client": self.client, "scheduler": self.scheduler, "workers": self.workers}
        for name in ("connect_timeout", "handshake_timeout"):
            if getattr(self, name) is not None:
                found[name] = getattr(self, name)
        return found

    def params(self) -> Talmek.MatchingParams:
        """Fresh MatchingParams of the grid and match settings; the georeferences and, unless
        ``start`` was given, the grid start are completed for a pair of images
        (``pipeline.prepare_sources``)."""
        p = Talmek.MatchingParams()
        p.chipwidth_, p.chipheight_ = self.chip
        p.hoffset_, p.voffset_ = self.margin
        p.col_interval_, p.row_interval_ = self.step
        p.col_offset_, p.row_offset_ = self.offset
        p.peakmethod_ = PEAK_METHODS[self.peak]
        p.mincorr_ = self.min_strength
        p.maxdiff_ = -2.0 if self.max_displacement is None else self.max_displacement
        if self.start is not None:
            p.start_col_, p.start_row_ = self.start
        return p


#: Each field's check, by the field's name (declared with the field).
_CHECKS: dict[str, Callable[[str, Any], Any]] = {
    f.name: f.metadata["check"] for f in dataclasses.fields(TrackOptions)}


def check_path(name: str, value: object) -> Any:
    """``value`` when it is a path (text or os.PathLike), else TypeError naming ``name``."""
    if not isinstance(value, (str, os.PathLike)) or (isinstance(value, str) and not value):
        raise TypeError(f"{name} must be a path (str or os.PathLike), got {value!r}")
    return value


def check_progress(progress: object) -> None:
    """TypeError unless ``progress`` is callable or None."""
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, got {progress!r}")


class MatchKeywords(TypedDict, total=False):
    """The options of the matching itself, taken as keywords alike by every entry point."""

    chip: Pair
    margin: Pair
    step: Pair
    start: Pair | None
    offset: Pair
    peak: str
    min_strength: float
    max_displacement: float | None
    nodata: float | None
    threads: int | None
    prefilter: str | Prefilter | None
    filter: str
    max_points: int | None
    refine: str | None
    backmatch: bool | float | None
    similarity: bool | float | None
    saturation: bool


class FieldKeywords(MatchKeywords, total=False):
    """The options of the guided search and of the products drawn from the field, which every
    entry point takes."""

    fill: bool
    strain: bool
    max_speed: float | None
    guided_margin: int
    reference: Reference | None
    reference_error: float | None
    passes: str | Sequence[Pass] | None


class ArrayKeywords(FieldKeywords, total=False):
    """The options that ``track_xarray`` takes as keywords, in the forms it takes them."""

    dates: Dates | None
    stable: Any
    mask1: Any
    mask2: Any


class StackKeywords(FieldKeywords, total=False):
    """The options that ``match_stack`` takes as keywords (its dates are the images' own)."""

    band: int | None
    page: int | None
    value_range: ValueRange
    percentiles: tuple[float, float]
    formats: Iterable[str] | None
    plot: bool
    backend: str
    client: Any
    scheduler: str | None
    workers: int | None
    stable: Stable | None
    block_pixels: int
    max_pixels: int | None
    max_download: int | None
    allow_any_source: bool
    allow_remote: bool
    timeout: float | tuple[float, float]
    connect_timeout: float | None
    handshake_timeout: float | None
    mask1: Mask | None
    mask2: Mask | None
    grid: str
    resampling: str
    asset: str | None


class RunKeywords(StackKeywords, total=False):
    """The options that ``track_files`` takes as keywords."""

    dates: Dates | None
