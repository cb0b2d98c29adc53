#!/usr/bin/env python3
"""Whole SelectedMatch calls per second, and where a call's time goes.

On a 1000x1000 textured pair (the second image moved by 1.4 rows and -2.3 columns) this times,
for reference/search chips of 32/48, 64/96 and 128/168 pixels:

- full:    the call on the 1000x1000 uint8 images, at 200 points spread over the image;
- point:   the call at the single point (500, 500) of the 1000x1000 images;
- crop:    the same match on images cut down to just the two chips (same result, less to convert);
- reject:  a call whose reference chip lies outside the image (status chip_outside), on 1000x1000 and on
           the cropped images: argument conversion and call overhead without any matching;
- float64: the full call with float64 images, which NumPy casts to uint8 on every call.

Conversion of the two 1000x1000 images is then point - crop (or reject - reject crop), and matching
proper is crop - reject crop.
Every figure is the best of --repeat runs of about --seconds each.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import Talmek

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402

SIZES = [(32, 48), (64, 96), (128, 168)]
SHIFT = (1.4, -2.3)


def best_rate(fn, calls: int, seconds: float, repeat: int) -> float:
    """Seconds per call, best of `repeat` runs of about `seconds` each."""
    fn()
    loops = 1
    while True:  # grow the loop until one run takes a tenth of the target, then scale it up
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed > seconds / 10:
            break
        loops *= 2
    loops = max(1, round(loops * seconds / elapsed))
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - t0) / (loops * calls))
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=0.4, help="time per measurement run")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    image1, image2 = synthetic.shifted_pair((1000, 1000), *SHIFT, seed=11)
    as_float = (image1.astype(np.float64), image2.astype(np.float64))
    grid = [(r, c) for r in np.linspace(150, 850, 10, dtype=int) for c in np.linspace(150, 850, 20, dtype=int)]
    timing = lambda fn, calls=1: best_rate(fn, calls, args.seconds, args.repeat)

    print(f"SelectedMatch on a 1000x1000 uint8 pair, moved by {SHIFT[0]} rows and {SHIFT[1]} columns; "
          f"peak method 2; best of {args.repeat}")
    header = ("chips", "matches/s", "full us", "point us", "crop us", "reject us", "reject crop us", "float64 us",
              "convert us", "match us", "accepted")
    rows = []
    for ref, search in SIZES:
        p = Talmek.MatchingParams()
        p.chipwidth_ = p.chipheight_ = ref
        p.hoffset_ = p.voffset_ = (search - ref) // 2
        p.mincorr_ = 0.0

        def full(img=(image1, image2)):
            for r, c in grid:
                Talmek.SelectedMatch(img[0], img[1], [r, r], [c, c], p)

        statuses = [Talmek.SelectedMatch(image1, image2, [r, r], [c, c], p).active for r, c in grid]

        # The chips of the point (500, 500) and nothing else: both images cut to the search window.
        first = 500 - search // 2 + 1
        window = (slice(first, first + search), slice(first, first + search))
        crop1, crop2 = np.ascontiguousarray(image1[window]), np.ascontiguousarray(image2[window])
        centre = 500 - first
        same = Talmek.SelectedMatch(crop1, crop2, [centre, centre], [centre, centre], p)
        whole = Talmek.SelectedMatch(image1, image2, [500, 500], [500, 500], p)
        assert (same.active, same.displacement, same.strength) == (whole.active, whole.displacement, whole.strength)

        t_full = timing(full, len(grid))
        t_point = timing(lambda: Talmek.SelectedMatch(image1, image2, [500, 500], [500, 500], p))
        t_crop = timing(lambda: Talmek.SelectedMatch(crop1, crop2, [centre, centre], [centre, centre], p))
        t_rej = timing(lambda: Talmek.SelectedMatch(image1, image2, [0, 0], [0, 0], p))
        t_rej_crop = timing(lambda: Talmek.SelectedMatch(crop1, crop2, [0, 0], [0, 0], p))
        t_float = timing(lambda: full(as_float), len(grid))
        rows.append((f"{ref}/{search}", f"{1 / t_full:,.0f}", f"{t_full * 1e6:.1f}", f"{t_point * 1e6:.1f}",
                     f"{t_crop * 1e6:.1f}",
                     f"{t_rej * 1e6:.1f}", f"{t_rej_crop * 1e6:.1f}", f"{t_float * 1e6:.1f}",
                     f"{(t_point - t_crop) * 1e6:.1f}", f"{(t_crop - t_rej_crop) * 1e6:.1f}",
                     f"{statuses.count(1)}/{len(statuses)}"))

    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    for r in rows:
        print("  ".join(v.rjust(w) for v, w in zip(r, widths)))
    print_image_size_independence(timing)
    print("us = microseconds per call. convert = point - crop (the same match on 1000x1000 and chip-sized images);\n"
          "match = crop - reject crop (extraction, correlation, peak test and fit); reject = argument\n"
          "conversion and call overhead alone; float64 adds NumPy's cast of both images to each call.")


def print_image_size_independence(timing) -> None:
    """The same 32/48 match on a 400x400 and a 4000x4000 image: images are read in place, so the
    call's cost must not grow with them."""
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 32
    p.hoffset_ = p.voffset_ = 8
    p.mincorr_ = 0.0
    small1, small2 = synthetic.shifted_pair((400, 400), *SHIFT, seed=11)
    large1 = np.zeros((4000, 4000), np.uint8)
    large2 = np.zeros((4000, 4000), np.uint8)
    large1[1800:2200, 1800:2200] = small1
    large2[1800:2200, 1800:2200] = small2
    r = c = 200
    a = Talmek.SelectedMatch(small1, small2, [r, r], [c, c], p)
    b = Talmek.SelectedMatch(large1, large2, [r + 1800, r + 1800], [c + 1800, c + 1800], p)
    assert (a.active, a.displacement, a.strength, a.rms_1) == (b.active, b.displacement, b.strength, b.rms_1)
    t_small = timing(lambda: Talmek.SelectedMatch(small1, small2, [r, r], [c, c], p))
    t_large = timing(lambda: Talmek.SelectedMatch(large1, large2, [r + 1800, r + 1800], [c + 1800, c + 1800], p))
    print(f"\nthe same 32/48 match: 400x400 images {t_small * 1e6:.1f} us, 4000x4000 images {t_large * 1e6:.1f} us, "
          f"ratio {t_large / t_small:.2f}")


if __name__ == "__main__":
    main()
