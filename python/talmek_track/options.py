"""The options of a run, in one frozen object: every default and every check lives here.

``TrackOptions`` holds what ``track_files``, ``track_xarray``, ``match_stack`` and the
``talmek-track`` command take: the grid and the match settings, how the inputs are read and
converted, the pre-filter and the outlier filter, the outputs, and where the matching runs. Each
field is checked and brought to one form when the object is made (a single whole number becomes
the pair (n, n), text dates become two datetimes, a pre-filter's text a ``Prefilter``), so the run
reads them without checking again. A wrong option raises ``OptionError`` naming the option by its
keyword; the command words it as its flag.

A new option is a field here with its default and its check (``_CHECKS``), a line in the keyword
dictionary of the entry points that take it (``ArrayKeywords``, ``RunKeywords``), and, for the
command, a flag in ``cli.py``.
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
from talmek_track._facts import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN
from talmek_track.backends import BACKENDS
from talmek_track.blocks import DEFAULT_BLOCK_PIXELS
from talmek_track.convert import DEFAULT_PERCENTILES, ValueRange
from talmek_track.dates import interval_days, parse_date, parse_dates
from talmek_track.errors import OptionError
from talmek_track.guided import Pass, check_passes, parse_passes
from talmek_track.matching import MAX_GRID_POINTS
from talmek_track.outliers import FILTERS
from talmek_track.prefilter import Prefilter, parse_prefilter
from talmek_track.readers import DEFAULT_MAX_DOWNLOAD, DEFAULT_MAX_PIXELS
from talmek_track.reference import parse_reference
from talmek_track.refine import Refinement, parse_refine
from talmek_track.warp import DEFAULT_RESAMPLING, parse_grid, parse_resampling
from talmek_track.writers import WRITERS

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
#: "slow" (the slowest quarter of the accepted vectors) or "none".
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
        if item not in WRITERS:
            raise _refuse("unknown output format {item!r} in {0}; choose from {known}", name,
                          item=item, known=", ".join(WRITERS))
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
    return _choice(BACKENDS)(name, value)


#: Each field's check: it takes the option's name and value and returns the value in its one form.
_CHECKS: dict[str, Callable[[str, Any], Any]] = {
    "chip": _chip, "margin": _margin, "step": _step, "start": _optional(_pair), "offset": _pair,
    "peak": _choice(PEAK_METHODS), "min_strength": _not_nan, "max_displacement": _optional(_not_nan),
    "nodata": _optional(_real), "band": _optional(_from_one), "page": _optional(_from_one),
    "value_range": _value_range, "percentiles": _percentiles,
    "threads": _optional(_at_least_one), "formats": _formats, "plot": lambda name, v: bool(v),
    "backend": _backend, "client": lambda name, v: v, "scheduler": _optional(_address),
    "workers": _optional(_at_least_one), "dates": _dates, "prefilter": _prefilter,
    "filter": _choice(FILTERS), "stable": _stable, "block_pixels": _at_least_one,
    "max_pixels": _optional(_at_least_one), "max_points": _optional(_at_least_one),
    "max_download": _optional(_at_least_one),
    "allow_any_source": _flag, "connect_timeout": _optional(_seconds),
    "handshake_timeout": _optional(_seconds),
    "refine": _refine, "backmatch": _tolerance(0.01, 2.0, 0.5), "similarity": _tolerance(-1.0, 0.99, 0.5),
    "saturation": lambda name, v: bool(v), "mask1": _mask, "mask2": _mask,
    "grid": parse_grid, "resampling": parse_resampling, "asset": _optional(_asset),
    "fill": _flag, "strain": _flag, "max_speed": _optional(_speed), "guided_margin": _at_least_one,
    "reference": parse_reference, "reference_error": _optional(_error),
    "passes": _passes,
}


@dataclass(frozen=True)
class TrackOptions:
    """The options of a run, checked, each in one form; see ``track_files`` for their meaning.

    Made with the keywords of ``track_files`` (``TrackOptions(chip=24, prefilter="none")``), in
    the forms it takes them; the fields hold them in one form: pairs as (x, y) tuples, ``dates``
    as two datetimes or None, ``prefilter`` as a ``Prefilter``, ``formats`` as a tuple or None,
    ``stable`` as a path text or an array. ``replace`` gives a copy with some options changed,
    checked alike. OptionError names the first wrong option by its keyword.
    """

    chip: tuple[int, int] = (32, 32)
    margin: tuple[int, int] = (8, 8)
    step: tuple[int, int] = (16, 16)
    start: tuple[int, int] | None = None
    offset: tuple[int, int] = (0, 0)
    peak: str = "log"
    min_strength: float = 2.0
    max_displacement: float | None = None
    nodata: float | None = None
    band: int | None = None
    page: int | None = None
    value_range: ValueRange = "auto"
    percentiles: tuple[float, float] = DEFAULT_PERCENTILES
    threads: int | None = None
    formats: tuple[str, ...] | None = None
    plot: bool = True
    backend: str = "threads"
    client: Any = field(default=None, compare=False)
    scheduler: str | None = None
    workers: int | None = None
    dates: tuple[datetime, datetime] | None = None
    prefilter: Prefilter = parse_prefilter("wallis:15")
    filter: str = "median"
    stable: str | np.ndarray | None = field(default=None, compare=False)
    block_pixels: int = DEFAULT_BLOCK_PIXELS
    max_pixels: int | None = DEFAULT_MAX_PIXELS
    max_points: int | None = DEFAULT_MAX_POINTS
    max_download: int | None = DEFAULT_MAX_DOWNLOAD
    allow_any_source: bool = False
    connect_timeout: float | None = None
    handshake_timeout: float | None = None
    refine: str = "cubic:2"
    backmatch: float | None = 0.5
    similarity: float | None = 0.5
    saturation: bool = True
    grid: str = "first"
    resampling: str = DEFAULT_RESAMPLING
    asset: str | None = None
    mask1: str | np.ndarray | None = field(default=None, compare=False)
    mask2: str | np.ndarray | None = field(default=None, compare=False)
    fill: bool = False
    strain: bool = False
    max_speed: float | None = None
    guided_margin: int = 4
    reference: tuple[str, ...] | None = None
    reference_error: float | None = None
    passes: tuple[Pass, ...] | None = None

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
    def stable_method(self) -> str:
        """How the stable-ground offset is measured: none, mask or slow."""
        if self.stable is None:
            return "none"
        return "slow" if isinstance(self.stable, str) and self.stable == "slow" else "mask"

    @property
    def refinement(self) -> Refinement | None:
        """What the blocks do after matching (``talmek_track.refine``), None for nothing."""
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
