"""Image pre-filters applied to both images before matching.

A pre-filter works on the grey values of an image on the 8-bit scale (a uint8 array, or real
values in 0..255 before their rounding) and returns the uint8 image that is matched:

``gauss:SIGMA``
    Gaussian smoothing with standard deviation SIGMA pixels. Widens a sharp correlation peak (white
    noise, one-pixel particles) so that its neighbours carry the sub-pixel information.
``highpass:SIGMA``
    The image minus its Gaussian smoothing at SIGMA, plus mid-grey: removes shading and slow
    brightness changes between the acquisitions.
``wallis:SIZE``
    Wallis filter over SIZE x SIZE windows: each pixel's difference from its local mean, scaled to a
    common local contrast (standard deviation 40 grey levels, gain at most 8), plus mid-grey.
    Evens out shadows and snow against bare rock.

Every filter is a sum over a window of fixed radius (``Prefilter.halo``), computed with SciPy's
ndimage one output pixel at a time. Filtering a window together with ``halo`` pixels around it
therefore gives exactly the pixels of filtering the whole image (``filter_window``), which is how
images read in blocks are filtered, and a window is filtered in strips of rows side by side on every
core (``filter_rows``) for the same reason.
"""

from __future__ import annotations

import os
from collections.abc import Callable

import numpy as np

from talmek_track.options.values import Prefilter, parse_prefilter
from talmek_track.stages import stage

__all__ = ["Prefilter", "filter_rows", "filter_window", "parse_prefilter"]


def filter_window(prefilter: Prefilter, read: Callable[[int, int, int, int], np.ndarray],
                  shape: tuple[int, int], row0: int, row1: int, col0: int, col1: int, *,
                  threads: int | None = None) -> np.ndarray:
    """The window rows row0..row1, columns col0..col1 of the filtered image, reading only that
    window widened by the halo (within the image).

    ``read(r0, r1, c0, c1)`` returns that window of the source image of ``shape`` (grey values on
    the 8-bit scale: uint8, or a fixed conversion's real values before rounding). The result
    equals ``prefilter(whole image)[row0:row1, col0:col1]`` bit for bit. The window is filtered
    in strips of rows side by side on ``threads`` threads (None: every core; ``filter_rows``).
    """
    rows, cols = shape
    if not (0 <= row0 <= row1 <= rows and 0 <= col0 <= col1 <= cols):
        raise ValueError(f"window {row0}..{row1} x {col0}..{col1} is not inside an image of {rows} x {cols}")
    h = prefilter.halo
    r0, r1, c0, c1 = max(0, row0 - h), min(rows, row1 + h), max(0, col0 - h), min(cols, col1 + h)
    image = read(r0, r1, c0, c1)
    with stage("pre-filter"):
        return filter_rows(prefilter, image, row0 - r0, row1 - r0, col0 - c0, col1 - c0, threads=threads)


#: Output rows below which a strip is not worth a thread of its own.
STRIP_ROWS_MIN = 64


def core_count() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def filter_rows(prefilter: Prefilter, image: np.ndarray, row0: int, row1: int, col0: int, col1: int,
                *, threads: int | None = None) -> np.ndarray:
    """``prefilter(image)[row0:row1, col0:col1]``, bit for bit, computed in strips of rows on
    ``threads`` threads (None: every core).

    Each strip is filtered with ``halo`` rows of ``image`` above and below it (fewer at the
    image's edges, where the whole image's filter reflects too): a filtered pixel is a sum over
    its own neighbourhood, so it does not depend on where the array it was computed in ends.
    SciPy's filters and NumPy's arithmetic release the interpreter lock, so the strips run on
    separate cores."""
    image = np.asarray(image)
    n = core_count() if threads is None else max(1, threads)
    n = min(n, max(1, (row1 - row0) // STRIP_ROWS_MIN))
    if n <= 1 or image.ndim != 2:
        return prefilter(image)[row0:row1, col0:col1]
    h = prefilter.halo
    cuts = [row0 + (row1 - row0) * k // n for k in range(n + 1)]
    out = np.empty((row1 - row0, col1 - col0), np.uint8)

    def strip(k: int) -> None:
        a, b = cuts[k], cuts[k + 1]
        top, bottom = max(0, a - h), min(image.shape[0], b + h)
        out[a - row0:b - row0] = prefilter(image[top:bottom])[a - top:b - top, col0:col1]

    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=n, thread_name_prefix="talmek-prefilter") as pool:
        for done in [pool.submit(strip, k) for k in range(n)]:
            done.result()
    return out
