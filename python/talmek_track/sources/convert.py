"""Pixel values to the 8-bit grey that the engine matches.

The engine works on uint8 pixels. Any other real pixel type is mapped linearly onto 0..255 by
``to_uint8``: by default the range between two percentiles of the image's valid values (0.1 and
99.9), taken from a regular subsample so that it costs little on a large image and is the same
whether the image is converted whole or block by block; values outside the range saturate.
Correlation does not mind a linear change of brightness, and a percentile range keeps a few hot or
dead pixels from squeezing the texture into a handful of grey levels.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import numpy.typing as npt

from talmek_track.errors import ImageWarning, OptionError
from talmek_track.options.values import DEFAULT_PERCENTILES, ValueRange

# About this many pixels make up the subsample that the automatic range is computed on.
_SAMPLE_PIXELS = 1_000_000
# Rows converted at a time, so that float temporaries stay small on large images.
_CHUNK_PIXELS = 1 << 22


def check_pixel_type(dtype: np.dtype, name: str = "image") -> None:
    """Refuses pixel types that have no grey value: bool, complex, object, text and records."""
    if dtype.kind not in "uif":
        kind = {"b": "boolean", "c": "complex"}.get(dtype.kind, str(dtype))
        raise TypeError(f"{name} holds {kind} pixels, which have no grey value to match; "
                        "convert it to a real type first")


def sample_step(shape: tuple[int, ...]) -> int:
    """The row and column step of the regular subsample that the automatic range uses."""
    pixels = math.prod(shape[:2])
    return max(1, math.ceil(math.sqrt(pixels / _SAMPLE_PIXELS)))


def percentile_range(sample: np.ndarray, percentiles: tuple[float, float] = DEFAULT_PERCENTILES,
                     nodata: float | None = None) -> tuple[float, float]:
    """The (low, high) percentiles of a sample's valid values: finite and not ``nodata``.

    Parameters
    ----------
    sample : numpy.ndarray
        Pixel values, any real type.
    percentiles : (float, float)
        The low and high percentile, 0..100.
    nodata : float, optional
        A value that marks missing pixels.

    Returns
    -------
    (float, float)
        The range; (0, 0) when the sample holds no valid value.
    """
    lo_p, hi_p = percentiles
    if not 0 <= lo_p < hi_p <= 100:
        raise OptionError(f"percentiles must rise within 0..100, got {percentiles}")
    values = np.asarray(sample).ravel()
    valid = np.ones(values.shape, bool)
    if values.dtype.kind == "f":
        valid &= np.isfinite(values)
    if nodata is not None and not math.isnan(nodata):
        valid &= values != nodata
    values = values[valid].astype(np.float64)
    if values.size == 0:
        return 0.0, 0.0
    lo, hi = np.percentile(values, [lo_p, hi_p])
    return float(lo), float(hi)


def apply_range(image: np.ndarray, lo: float, hi: float) -> npt.NDArray[np.uint8]:
    """Maps ``lo`` to 0 and ``hi`` to 255, rounding to nearest and saturating outside; values that
    are not a number become 0. Element by element, so blocks convert exactly like the whole."""
    if not (math.isfinite(lo) and math.isfinite(hi)) or hi < lo:
        raise ValueError(f"value range must be two finite numbers, low <= high, got {lo}..{hi}")
    out = np.empty(image.shape, np.uint8)
    scale = 255.0 / (hi - lo) if hi > lo else 0.0
    flat_in = image.reshape(image.shape[0], -1) if image.ndim else image.reshape(1, 1)
    flat_out = out.reshape(flat_in.shape)
    rows = max(1, _CHUNK_PIXELS // max(1, flat_in.shape[1]))
    for r in range(0, flat_in.shape[0], rows):
        part = flat_in[r:r + rows].astype(np.float64)
        part -= lo
        part *= scale
        np.rint(part, out=part)
        np.clip(part, 0.0, 255.0, out=part)
        part[np.isnan(part)] = 0.0
        flat_out[r:r + rows] = part
    return out


def scale_range(image: np.ndarray, lo: float, hi: float) -> npt.NDArray[np.float64]:
    """``apply_range`` before its rounding: ``lo`` maps to 0 and ``hi`` to 255, saturating outside,
    not-a-number to 0, as float64. Pre-filters work on these values, so that a wide pixel type
    is filtered before it is reduced to 256 levels; ``np.rint`` of the result is ``apply_range``."""
    if not (math.isfinite(lo) and math.isfinite(hi)) or hi < lo:
        raise ValueError(f"value range must be two finite numbers, low <= high, got {lo}..{hi}")
    scale = 255.0 / (hi - lo) if hi > lo else 0.0
    out = image.astype(np.float64)
    out -= lo
    out *= scale
    np.clip(out, 0.0, 255.0, out=out)
    out[np.isnan(out)] = 0.0
    return out


def resolve_range(image: np.ndarray, value_range: ValueRange,
                  percentiles: tuple[float, float] = DEFAULT_PERCENTILES,
                  nodata: float | None = None, name: str = "image") -> tuple[float, float] | None:
    """The (low, high) range that ``to_uint8`` would use, None for uint8 (taken as is).

    Raises TypeError for a pixel type that cannot be matched or when ``value_range`` is None
    and the image is not uint8; warns once, naming the range, when it is computed.
    """
    check_pixel_type(image.dtype, name)
    if image.dtype == np.uint8:
        return None
    if value_range is None:
        raise TypeError(f"{name} holds {image.dtype} pixels, not uint8; give a value range "
                        "(or 'auto') to convert them")
    if value_range == "auto":
        k = sample_step(image.shape)
        lo, hi = percentile_range(image[::k, ::k], percentiles, nodata)
        warn_range(name, image.dtype, lo, hi, percentiles)
        return lo, hi
    try:
        if isinstance(value_range, (str, bytes)):
            raise TypeError
        lo, hi = (float(v) for v in value_range)
    except (TypeError, ValueError):
        raise OptionError(f"value_range must be 'auto', (low, high) or None, got {value_range!r}") from None
    if not lo < hi:  # an empty range maps every pixel to one grey: nothing could match
        raise OptionError(f"value_range must rise (low < high), got {value_range!r}")
    return lo, hi


def warn_range(name: str, dtype: np.dtype, lo: float, hi: float,
               percentiles: tuple[float, float]) -> None:
    values = f"{dtype} values {lo:g}..{hi:g}"
    used = f"percentiles {percentiles[0]:g} to {percentiles[1]:g}"
    warnings.warn(ImageWarning(name, f"{values} ({used}) stretched to 8 bits", "stretched to 8 bits",
                               f"{values}, {used}"), stacklevel=4)


def to_uint8(image: npt.ArrayLike, value_range: ValueRange = "auto", *,
             percentiles: tuple[float, float] = DEFAULT_PERCENTILES, nodata: float | None = None,
             name: str = "image") -> npt.NDArray[np.uint8]:
    """An image as the 8-bit grey that Talmek matches.

    uint8 images are returned as they are. Other real types are mapped linearly onto 0..255:
    ``low`` to 0 and ``high`` to 255, rounded to nearest, saturating outside the range; NaN
    becomes 0.

    Parameters
    ----------
    image : array_like
        Pixel values of a real type (unsigned or signed integers, floats).
    value_range : "auto", (float, float) or None
        "auto" (default) takes the range between two percentiles of the valid values, computed
        on a regular subsample of about a million pixels, and warns once naming it. A pair
        (low, high) is used as given, without a warning. None refuses anything but uint8.
    percentiles : (float, float)
        The percentiles of the automatic range (default 0.1 and 99.9).
    nodata : float, optional
        A value marking missing pixels, left out of the automatic range (NaN always is).
    name : str
        How messages call the image.

    Returns
    -------
    numpy.ndarray of uint8
        The same shape as ``image``.

    Raises
    ------
    TypeError
        Boolean, complex, object or text pixels, or a non-uint8 image with ``value_range=None``.

    Warns
    -----
    UserWarning
        With ``value_range="auto"`` on a non-uint8 image: the range used.
    """
    array = np.asarray(image)
    bounds = resolve_range(array, value_range, percentiles, nodata, name)
    if bounds is None:
        return array
    return apply_range(array, *bounds)
