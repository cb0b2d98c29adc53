"""The value types that options hold, with the text forms they are parsed from.

Each is small and checked when made: the value range of the conversion to 8 bits, the pre-filter,
the refinement and its checks, the guided passes, the reference map's paths, the grid and
resampling of a warp. The stages that act on them import them from here, so that the options stay
a leaf of the package. Also here: the defaults of the limits that several stages share, and the
names of the outlier filters, backends and output formats an option may name.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np

from talmek_track._facts import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN
from talmek_track.errors import OptionError

#: How to map values onto 0..255: "auto" (a percentile stretch), a fixed (low, high) range, or
#: None to refuse anything but uint8.
ValueRange = Literal["auto"] | tuple[float, float] | None


#: Percentiles of the valid values that the automatic range spans by default.
DEFAULT_PERCENTILES = (0.1, 99.9)


#: GDAL's resampling methods a warp onto another grid may use, by the names rasterio gives them.
WARP_RESAMPLING = ("nearest", "bilinear", "cubic", "cubic_spline", "lanczos")


#: The most pixels an input may hold (rows x columns, as its header claims) unless the caller
#: allows more: generous for satellite scenes (a Sentinel-2 tile at 10 m is 1.2e8), small enough
#: that a forged header cannot make a run decode or match for hours.
DEFAULT_MAX_PIXELS = 2**31


#: The largest remote file fetched whole unless the caller allows more: a whole Sentinel-2 or
#: Landsat band is far below it, a forged or mistaken URL cannot fill the temporary folder.
DEFAULT_MAX_DOWNLOAD = 4 * 2**30


#: The resampling a warp uses unless the run chooses another (``resampling``): cubic convolution
#: keeps the sub-pixel detail matching needs, where bilinear smooths it.
DEFAULT_RESAMPLING = "cubic"


_EPSG = re.compile(r"^EPSG:(\d{1,6}),([0-9.eE+-]+)$", re.IGNORECASE)


def parse_grid(name: str, value: object) -> str:
    """The grid option in its one form: "first", "second" or "EPSG:CODE,RES"; OptionError else."""
    text = str(value).strip() if isinstance(value, str) else ""
    if text.lower() in ("first", "second"):
        return text.lower()
    m = _EPSG.match(text)
    if m:
        try:
            res = float(m.group(2))
        except ValueError:
            res = float("nan")
        if math.isfinite(res) and res > 0:
            return f"EPSG:{int(m.group(1))},{res:g}"
    raise OptionError("{0} must be 'first', 'second' or 'EPSG:CODE,RES' (a pixel size above 0), "
                      "got {value!r}", options=(name,), value=value)


def parse_resampling(name: str, value: object) -> str:
    if value not in WARP_RESAMPLING:
        raise OptionError("{0} must be one of {choices}, got {value!r}", options=(name,),
                          choices=", ".join(WARP_RESAMPLING), value=value)
    return str(value)


#: Gaussian kernels reach this many standard deviations (SciPy's default).
TRUNCATE = 4.0


KINDS = ("none", "gauss", "highpass", "wallis")


@dataclass(frozen=True)
class Prefilter:
    """One pre-filter: ``kind`` is none, gauss, highpass or wallis; ``size`` is the Gaussian's
    sigma in pixels or the Wallis window's side (odd, at least 3)."""

    kind: str = "none"
    size: float = 0.0

    def __post_init__(self) -> None:
        if self.kind not in KINDS:
            raise ValueError(f"unknown pre-filter {self.kind!r}; expected one of {', '.join(KINDS)}")
        if self.kind in ("gauss", "highpass") and not (0.0 < self.size <= 64.0):
            raise ValueError(f"{self.kind} needs a sigma in (0, 64] pixels, got {self.size:g}")
        if self.kind == "wallis" and (self.size != int(self.size) or not 3 <= self.size <= 255
                                      or int(self.size) % 2 == 0):
            raise ValueError(f"wallis needs an odd window size 3..255, got {self.size:g}")

    def __str__(self) -> str:
        if self.kind == "none":
            return "none"
        return f"{self.kind}:{int(self.size) if self.kind == 'wallis' else f'{self.size:g}'}"

    def __call__(self, image: np.ndarray) -> np.ndarray:
        """The filtered image as uint8 (a uint8 input is returned as is for ``none``)."""
        return apply_prefilter(self, image)

    @property
    def halo(self) -> int:
        """Rows (and columns) beyond a pixel that its filtered value depends on."""
        if self.kind in ("gauss", "highpass"):
            return int(TRUNCATE * self.size + 0.5)
        if self.kind == "wallis":
            return int(self.size) // 2
        return 0


#: Wallis filter: target local standard deviation and the largest contrast gain, in grey levels.
WALLIS_CONTRAST = 40.0


WALLIS_MAX_GAIN = 8.0


MID_GREY = 127.5


def apply_prefilter(prefilter: Prefilter, image: np.ndarray) -> np.ndarray:
    """``image`` filtered by ``prefilter``, as uint8 (a uint8 input is returned as is for
    ``none``)."""
    image = np.asarray(image)
    if image.ndim != 2:
        raise ValueError(f"a pre-filter needs a two-dimensional image, got shape {image.shape}")
    if image.dtype.kind not in "uif":
        raise TypeError(f"a pre-filter needs real grey values, got {image.dtype}")
    if prefilter.kind == "none":
        return image if image.dtype == np.uint8 else _round(image.astype(np.float64))
    from scipy import ndimage

    f = image.astype(np.float64)
    if prefilter.kind == "gauss":
        out = ndimage.gaussian_filter(f, prefilter.size, mode="reflect", truncate=TRUNCATE)
    elif prefilter.kind == "highpass":
        out = f - ndimage.gaussian_filter(f, prefilter.size, mode="reflect", truncate=TRUNCATE) + MID_GREY
    else:
        n = int(prefilter.size)
        box = np.ones(n)

        def window_sum(a: np.ndarray) -> np.ndarray:
            # Direct sums per output pixel (not running sums), so a pixel's value does not
            # depend on where the array starts.
            rows = ndimage.correlate1d(a, box, 0, mode="reflect")
            summed: np.ndarray = ndimage.correlate1d(rows, box, 1, mode="reflect")
            return summed

        mean = window_sum(f) / (n * n)
        var = np.maximum(window_sum(f * f) / (n * n) - mean * mean, 0.0)
        gain = WALLIS_MAX_GAIN * WALLIS_CONTRAST / (WALLIS_MAX_GAIN * np.sqrt(var) + WALLIS_CONTRAST)
        out = (f - mean) * gain + MID_GREY
    return _round(out)


def _round(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        out: np.ndarray = np.clip(np.rint(np.nan_to_num(values, nan=0.0)), 0, 255).astype(np.uint8)
    return out


def parse_prefilter(text: str | Prefilter | None) -> Prefilter:
    """``none``, ``gauss:SIGMA``, ``highpass:SIGMA`` or ``wallis:SIZE`` as a Prefilter."""
    if text is None:
        return Prefilter()
    if isinstance(text, Prefilter):
        return text
    kind, _, value = str(text).strip().partition(":")
    kind = kind.lower()
    if kind == "none":
        if value:
            raise ValueError(f"'none' takes no value, got {text!r}")
        return Prefilter()
    if kind not in KINDS:
        raise ValueError(f"unknown pre-filter {text!r}; expected none, gauss:SIGMA, highpass:SIGMA "
                         "or wallis:SIZE")
    try:
        size = float(value)
    except ValueError:
        raise ValueError(f"{kind} needs a number after the colon, as in {kind}:"
                         f"{'15' if kind == 'wallis' else '1'}, got {text!r}") from None
    if not math.isfinite(size):
        raise ValueError(f"{kind} needs a finite number, got {text!r}")
    return Prefilter(kind, size)


REFINE_METHODS = ("none", "cubic")


#: Largest round-trip miss of the back-match test, in pixels.
BACKMATCH_TOLERANCE = 0.5


#: Smallest correlation coefficient of the two chips at a refined position.
MIN_SIMILARITY = 0.5


@dataclass(frozen=True)
class Refinement:
    """What ``refine_block`` does: ``rounds`` of resampling (0: none), the back-match test with
    its tolerance in pixels (None: off), and the smallest correlation coefficient of the chips
    at a refined position (None: any; refined matches only)."""

    rounds: int = 2
    backmatch: float | None = BACKMATCH_TOLERANCE
    similarity: float | None = MIN_SIMILARITY

    def __post_init__(self) -> None:
        if self.rounds not in (0, 1, 2, 3):
            raise ValueError(f"refinement rounds must be 0..3, got {self.rounds}")
        if self.backmatch is not None and not (0.0 < self.backmatch <= 2.0):
            raise ValueError(f"the back-match tolerance must be in (0, 2] pixels, got {self.backmatch}")
        if self.similarity is not None and not (-1.0 <= self.similarity < 1.0):
            raise ValueError(f"the smallest similarity must be in [-1, 1), got {self.similarity}")

    @property
    def active(self) -> bool:
        return self.rounds > 0 or self.backmatch is not None

    def __str__(self) -> str:
        parts = [f"cubic:{self.rounds}" if self.rounds else "none"]
        if self.backmatch is not None:
            parts.append(f"backmatch:{self.backmatch:g}")
        if self.rounds and self.similarity is not None:
            parts.append(f"similarity:{self.similarity:g}")
        return ",".join(parts)


def parse_refine(text: str | None, backmatch: float | None | bool = True,
                 similarity: float | None | bool = True) -> Refinement:
    """``none``, ``cubic`` (two rounds) or ``cubic:N``; ``backmatch`` and ``similarity`` True
    for the default tolerance and threshold, a number for another, False or None for none."""
    text = "none" if text is None else str(text).strip().lower()
    kind, _, arg = text.partition(":")
    if kind not in REFINE_METHODS:
        raise ValueError(f"unknown refinement {text!r}; expected none, cubic or cubic:ROUNDS")
    rounds = 0
    if kind == "cubic":
        try:
            rounds = int(arg) if arg else 2
        except ValueError:
            raise ValueError(f"cubic:ROUNDS needs a whole number of rounds, got {arg!r}") from None
    return Refinement(rounds, _threshold(backmatch, BACKMATCH_TOLERANCE), _threshold(similarity, MIN_SIMILARITY))


def _threshold(setting: bool | float | None, default: float) -> float | None:
    """A check's threshold: True for the default, False or None for none, else the number."""
    if setting is True:
        return default
    if setting is False or setting is None:
        return None
    return float(setting)


#: The largest reduction: beyond it a 32-px chip covers more than 512 px of ground and the
#: texture it sees has little to do with the full-resolution image.
MAX_FACTOR = 16


_FACTORS = tuple(2**k for k in range(MAX_FACTOR.bit_length()))


@dataclass(frozen=True)
class Pass:
    """One pass: the images reduced by ``factor`` (1: full resolution on the deformed image 2),
    searched ``margin`` pixels (of that pass) around each prediction with a chip (of image 1) of
    ``chip`` (width, height) pixels of that pass (None: the run's chip)."""

    factor: int
    margin: int
    chip: tuple[int, int] | None = None

    def chip_or(self, chip: tuple[int, int]) -> tuple[int, int]:
        """This pass's chip, or ``chip`` when it names none."""
        return chip if self.chip is None else self.chip

    def __str__(self) -> str:
        if self.chip is None:
            return f"{self.factor}/{self.margin}"
        w, h = self.chip
        return f"{self.factor}:{w if w == h else f'{w}x{h}'}/{self.margin}"


_PASS = re.compile(r"^(\d+)(?::(\d+)(?:x(\d+))?)?/(\d+)$")


def parse_passes(text: str) -> tuple[Pass, ...]:
    """Passes written ``REDUCTION:CHIP/MARGIN`` (CHIP one size or WIDTHxHEIGHT; ``REDUCTION/MARGIN``
    keeps the run's chip), separated by commas: ``8:32/12,2:32/6,1:32/4``. ValueError for text
    of another form (the limits are ``check_passes``'s)."""
    passes = []
    for item in str(text).split(","):
        found = _PASS.match(item.strip())
        if found is None:
            raise ValueError(f"expected passes as REDUCTION:CHIP/MARGIN separated by commas (such as "
                             f"8:32/12,2:32/6,1:32/4), got {item.strip()!r}")
        factor, w, h, margin = found.groups()
        chip = None if w is None else (int(w), int(h if h is not None else w))
        passes.append(Pass(int(factor), int(margin), chip))
    return tuple(passes)


def check_passes(passes: Sequence[Pass], chip: tuple[int, int]) -> tuple[Pass, ...]:
    """The passes, checked against the engine's limits with ``chip`` (width, height) the run's
    chip; OptionError naming the first pass beyond them and the limit."""
    passes = tuple(passes)
    if not passes:
        raise OptionError("give at least one pass")
    if passes[-1].factor != 1:
        raise OptionError(f"the last pass must be at full resolution (reduction 1), got {passes[-1]}")
    for k, p in enumerate(passes, 1):
        w, h = p.chip_or(chip)
        if p.factor not in _FACTORS:
            raise OptionError(f"pass {k} ({p}): the reduction must be a power of two from 1 to "
                              f"{MAX_FACTOR}, got {p.factor}")
        if not (REF_CHIP_MIN <= min(w, h) and max(w, h) <= REF_CHIP_MAX):
            raise OptionError(f"pass {k} ({p}): the chip {w}x{h} is beyond the engine's limits of "
                              f"{REF_CHIP_MIN}..{REF_CHIP_MAX} px")
        low, high = min(w, h) + 2 * p.margin, max(w, h) + 2 * p.margin
        if not (SEARCH_CHIP_MIN <= low and high <= SEARCH_CHIP_MAX):
            raise OptionError(f"pass {k} ({p}): the chip plus both margins makes a search chip of "
                              f"{low if low < SEARCH_CHIP_MIN else high} px, beyond the engine's limits "
                              f"of {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX} px")
    return passes


def parse_reference(name: str, value: object) -> tuple[str, ...] | None:
    """The reference as one or two path texts: ``"VX,VY"``, one product's path, or a sequence of
    one or two paths (None: no reference)."""
    if value is None:
        return None
    items: list[Any]
    if isinstance(value, (str, os.PathLike)):
        text = os.fspath(value)
        items = text.split(",") if isinstance(text, str) and "," in text else [text]
    elif isinstance(value, Iterable) and not isinstance(value, bytes):
        items = list(value)
    else:
        items = []
    paths = [os.fspath(v).strip() if isinstance(v, (str, os.PathLike)) else None for v in items]
    if not 1 <= len(paths) <= 2 or not all(isinstance(p, str) and p for p in paths):
        raise OptionError("{0} must be VX,VY (two rasters of velocity) or one product holding both "
                          "(vx and vy bands or variables), got {value!r}", options=(name,), value=value)
    return tuple(p for p in paths if isinstance(p, str))


FILTERS = ("none", "median")


#: Pixels of both windows together that one block reads by default (about 16 million each).
DEFAULT_BLOCK_PIXELS = 32_000_000


#: How long, in seconds, a remote input (and a STAC API) may take to accept a connection, and
#: then to send the next bytes of its answer (a server that accepts and never answers ends the
#: run after this long): (connect, read).
DEFAULT_TIMEOUT: tuple[float, float] = (10.0, 60.0)

#: The most points ``grid_points`` lays out unless told otherwise (each costs some 250 bytes while
#: a run lasts): far beyond a scene's usual grids, small enough that a start far outside the image
#: or a step of 1 over a huge image is refused before the grid is laid. Runs default to it too.
MAX_GRID_POINTS = 2**26

#: The backends a run may name; ``talmek_track.matching.backends.BACKENDS`` maps each to its runner.
BACKEND_NAMES = ("threads", "dask")

#: The output formats by name, each with its writer: the registry itself, filled by the writing
#: stage (``talmek_track.register_writer``), so that a run's formats are checked against what is
#: registered when its options are made, before any stage that writes is loaded.
FORMAT_WRITERS: dict[str, Any] = {}

#: The formats the writing stage brings, in the order it registers them: known to the options
#: before that stage is loaded (``import talmek_track`` loads its stages on first use).
BUILTIN_FORMATS: tuple[str, ...] = ("csv", "geojson", "tif", "nc", "gpkg", "run", "plot")


def format_names() -> list[str]:
    """Every format a run may name: the built-in ones and any other registered since."""
    return list(dict.fromkeys([*BUILTIN_FORMATS, *FORMAT_WRITERS]))


@dataclass(frozen=True)
class SourcePolicy:
    """What a run lets in.

    Attributes
    ----------
    allow_any_source : bool
        Whether GDAL may open anything it can (VRT and other descriptions that name further files
        or URLs, driver strings, every ``/vsi`` file system, STAC assets anywhere).
    max_pixels : int or None
        The most pixels a raster may hold, as its header claims; None: no limit.
    allow_remote : bool
        Whether remote inputs (HTTP(S), S3) are read at all.
    """

    allow_any_source: bool = False
    max_pixels: int | None = DEFAULT_MAX_PIXELS
    allow_remote: bool = True
#: The formats written when none are named: every one but NetCDF (which needs the xarray extra);
#: the GeoPackage only when pyogrio or fiona is installed.
DEFAULT_FORMATS: tuple[str, ...] = ("csv", "geojson", "tif", "gpkg", "plot", "run")
