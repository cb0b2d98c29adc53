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

With --opencv it prints instead the CPU time per match against OpenCV on one thread
(matchTemplate TM_CCOEFF_NORMED + minMaxLoc + a three-point Gaussian fit), at --points points per
size, every method called point by point in a rotating order in one process (the median counting):
SelectedMatch, and the engine's correlate_and_locate from the test-support module on the same
chips with the widest kernel build and with the AVX2 build forced, beside the goals.

With --smoke both run with the shortest timings and a few points (the OpenCV part only where
OpenCV is installed): the script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import importlib.util
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


GOALS = {(32, 48): 1.0, (64, 96): 1.25, (128, 168): 1.5}


def gaussian3(lo: float, mid: float, hi: float) -> float:
    """Sub-pixel offset of the peak of a Gaussian through three samples (a parabola without logs)."""
    if lo > 0 and mid > 0 and hi > 0:
        lo, mid, hi = np.log(lo), np.log(mid), np.log(hi)
    den = 2.0 * lo - 4.0 * mid + 2.0 * hi
    return 0.0 if den == 0 else float((lo - hi) / den)


def against_opencv(points: int, passes: int) -> None:
    """CPU time per match, Talmek against OpenCV on one thread, interleaved point by point."""
    try:
        import cv2

        import _talmek_testsupport as engine
    except ImportError as exc:
        sys.exit(f"--opencv needs OpenCV and the test-support module ({exc})")
    cv2.setNumThreads(1)
    image1, image2 = synthetic.shifted_pair((1000, 1000), *SHIFT, seed=11)
    rng = np.random.default_rng(5)
    centres = rng.integers(150, 850, (points, 2))
    kernels = ["avx512", "avx2"] if engine.kernel_supported("avx512") else ["avx2"]
    names = ["SelectedMatch"] + [f"engine, {k} kernel" for k in kernels] + ["cv2 + Gaussian 3-pt"]
    print(f"CPU time per match, median of {points} points x {passes} passes, interleaved; OpenCV {cv2.__version__} "
          "on one thread")
    for kernel in kernels:
        engine.force_fft(kernel=kernel)
        plans = [f"{n}: {engine.transform_plan(n, 1)['schedule']}/{engine.transform_plan(n, -1)['schedule']}"
                 for n in (64, 128, 256)]
        print(f"  {kernel} kernel, schedules (forward/inverse) " + ", ".join(plans))
    engine.reset_fft()
    print(f"{'chips':>8s}  " + "".join(f"{n:>22s}" for n in names) + "   ratios to OpenCV (goal)")
    for ref, search in SIZES:
        p = Talmek.MatchingParams()
        p.chipwidth_ = p.chipheight_ = ref
        p.hoffset_ = p.voffset_ = m = (search - ref) // 2
        p.mincorr_ = 0.0
        chips = []
        for r, c in centres:
            s0, r0 = r - search // 2 + 1, r - ref // 2 + 1
            t0, c0 = c - search // 2 + 1, c - ref // 2 + 1
            chips.append((image2[s0:s0 + search, t0:t0 + search].copy(), image1[r0:r0 + ref, c0:c0 + ref].copy()))

        def talmek(r, c):
            return lambda: Talmek.SelectedMatch(image1, image2, [r, r], [c, c], p)

        def core(k):
            search_chip, ref_chip = (x.astype(np.float32) for x in chips[k])
            args = (np.float32(0.0), 2, np.float32(-2.0), np.float32(m), np.float32(m))
            return lambda: engine.correlate_and_locate(search_chip, ref_chip, *args, keep_workspace=True)

        def opencv(k):
            search_chip, ref_chip = chips[k]

            def run():
                res = cv2.matchTemplate(search_chip, ref_chip, cv2.TM_CCOEFF_NORMED)
                _, _, _, (x, y) = cv2.minMaxLoc(res)
                oy = gaussian3(res[y - 1, x], res[y, x], res[y + 1, x]) if 0 < y < res.shape[0] - 1 else 0.0
                ox = gaussian3(res[y, x - 1], res[y, x], res[y, x + 1]) if 0 < x < res.shape[1] - 1 else 0.0
                return y - m + oy, x - m + ox
            return run

        times: dict[str, list[int]] = {name: [] for name in names}
        for sweep in range(passes):
            for k, (r, c) in enumerate(centres):
                calls = [(names[0], None, talmek(r, c))]
                calls += [(f"engine, {kern} kernel", kern, core(k)) for kern in kernels]
                calls.append((names[-1], None, opencv(k)))
                turn = (k + sweep) % len(calls)
                for name, kern, fn in calls[turn:] + calls[:turn]:
                    if kern is not None and kern != kernels[0]:
                        engine.force_fft(kernel=kern)
                    t0 = time.thread_time_ns()
                    fn()
                    times[name].append(time.thread_time_ns() - t0)
                    engine.reset_fft()
        med = {name: float(np.median(t)) / 1e3 for name, t in times.items()}
        cv = med[names[-1]]
        ratios = ", ".join(f"{med[n] / cv:.2f}" for n in names[:-1])
        print(f"{ref:>3d}/{search:<4d}  " + "".join(f"{med[n]:19.1f} us" for n in names) +
              f"   {ratios} (<= {GOALS[(ref, search)]:.2f})")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=0.4, help="time per measurement run")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--opencv", action="store_true", help="only the CPU time per match against OpenCV")
    ap.add_argument("--points", type=int, default=100, help="points per size with --opencv")
    ap.add_argument("--passes", type=int, default=3, help="passes over the points with --opencv")
    ap.add_argument("--smoke", action="store_true", help="both parts, briefly: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.seconds, args.repeat = 0.002, 1
    if args.opencv:
        return against_opencv(args.points, args.passes)

    image1, image2 = synthetic.shifted_pair((1000, 1000), *SHIFT, seed=11)
    as_float = (image1.astype(np.float64), image2.astype(np.float64))
    grid = [(r, c) for r in np.linspace(150, 850, 10, dtype=int) for c in np.linspace(150, 850, 20, dtype=int)]
    if args.smoke:
        grid = grid[::20]
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
    if args.smoke:
        if importlib.util.find_spec("cv2") is None:
            print("\nagainst OpenCV: skipped, OpenCV is not installed")
        else:
            print()
            against_opencv(3, 1)


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
